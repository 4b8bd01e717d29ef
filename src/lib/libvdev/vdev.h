// Virtual devices: named block devices described by a JSON file ("zero",
// "bad_zero", "random" and "file" kinds), for trying the service without real
// disks. vdev_init registers the open hook "vdev" with the file objects, so
// that opening a registered name (after path normalisation) gives the
// device's operation table; the block layer and the device lister then see it
// as any other device. Nothing starts the library unless the daemon's
// configuration names a description file.
//
// The description: {"ver": ..., "dev": [{"name", "type", "size", "sector_bytes",
// "info", "bad_sector_ranges": ["first-count", ...], "args":
// "read_random_delay_max_second=N"}, ...]}; every value is read as the text
// the JSON filter gives for it, so numbers may be strings too. A key not
// listed here, a value of another JSON type, a name holding a control byte
// (NUL included), or a bad range past the device's end refuses the device
// (or, at the top, the description) with an err line naming the entry and
// the reason; for a device, the same line names the entries after it, which
// are not loaded.
#pragma once

#include <cstdint>

struct os_file_ops;

struct bad_range {
    int64_t offset;  // first sector
    int32_t size;    // sectors
};

struct vdev_args {
    int32_t read_random_delay_max_second;
};

// One registered device; lives until vdev_exit.
struct vdev_info {
    uint32_t sector_bytes;  // 512, 1024, 2048 or 4096
    uint64_t size;          // bytes
    const os_file_ops *ops;
    char info[128];
    const bad_range *bad;  // "bad_zero": its ranges
    uint32_t bad_count;
    const vdev_args *args;  // "file": when "args" was given
};

// vdev_init: the registry, the description when path is given, the "vdev"
// hook (registered once per process). 0. vdev_exit: every device released
// (devices still open keep what they use); the hook then finds nothing. 0.
int vdev_init(const char *path);
int vdev_exit();
// 0 when the description was read and parsed, even when loading stopped at a
// bad device (the devices before it stay registered, none after it, and the
// err line says which were left out); -1 when
// it could not be read (missing, over the JSON filter's size bound), is not
// JSON, or is not an object of "ver" and a "dev" array. Every refusal is
// logged with its reason.
int vdev_init_form_file(const char *path);

// Look-ups by path, normalised first. Records and names stay valid until
// vdev_exit.
const vdev_info *vdev_find(const char *path);
const os_file_ops *vdev_hook_match(const char *path);
// The index-th registered name, in the description's order; nullptr past the end.
const char *vdev_name_at(int index);
