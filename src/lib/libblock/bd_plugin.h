// Block-driver plug-ins: a shared object that exports the qd_disk_plug_*
// entry points below becomes a block driver of type 10, asked before the
// built-in drivers by every probe. The block layer loads the list of
// bd_load_plugins / bd_load_conf_plugins (block.h) through libplugin_init and
// releases each with libplugin_free in bd_exit; a shared object that loaded
// stays mapped for the life of the process. A plug-in that lacks a required
// entry point, or whose init fails, is refused and unloaded before anything
// of it is registered.
#pragma once

#include <cstdint>

#include "libblock/block.h"

// What qd_disk_plug_init receives: the program's logger, which the plug-in
// may keep (level with flags, tag, file, line, function, errno (ignored),
// format, ...).
using bd_plugin_log_fn = int (*)(uint32_t level, const char *tag, const char *file, int line, const char *func,
                                 int eno, const char *fmt, ...);
struct bd_plugin_init_param {
    uint64_t size;  // 16
    bd_plugin_log_fn log;
};

// The entry points, resolved by name in this order; all but sync and
// support_params are required.
extern "C" {
using qd_disk_plug_name_fn = const char *(*)();
using qd_disk_plug_version_fn = const char *(*)();
using qd_disk_plug_support_exts_fn = const char *(*)();
using qd_disk_plug_support_open_fn = int (*)();
// Non-zero refuses the load.
using qd_disk_plug_init_fn = int (*)(const bd_plugin_init_param *param);
// 0: the plug-in takes path. plugin is the program's own record.
using qd_disk_plug_probe_fn = int (*)(const char *path, uint32_t flags, void *plugin);
// nullptr on failure, with the reason written into err (4096 bytes).
using qd_disk_plug_open_fn = void *(*)(const char *path, uint32_t flags, char *err);
using qd_disk_plug_close_fn = void (*)(void *handle);
// The errno of the handle's last failure.
using qd_disk_plug_last_errno_fn = int (*)(void *handle);
using qd_disk_plug_fsize_fn = uint64_t (*)(void *handle);
using qd_disk_plug_sector_size_fn = uint32_t (*)(void *handle);
// Non-zero: the object cannot grow.
using qd_disk_plug_is_fixed_size_fn = int (*)(void *handle);
// Bytes moved, or negative on failure.
using qd_disk_plug_pread_fn = int (*)(void *handle, void *buf, uint32_t count, uint64_t offset);
using qd_disk_plug_pwrite_fn = int (*)(void *handle, const void *buf, uint32_t count, uint64_t offset);
using qd_disk_plug_sync_fn = int (*)(void *handle);
// The "|"-separated names of the parameters the plug-in reads from a name
// besides the block layer's own (bd_drv::params); without it, none: an
// export name with any other parameter is refused.
using qd_disk_plug_support_params_fn = const char *(*)();
}

// One loaded plug-in, owned by its driver table (priv).
struct bd_plugin {
    uint32_t kind;  // 0
    char *path;
    const char *name;  // the plug-in's own text
    uint32_t used;     // 0 until the plug-in first takes a probe
    qd_disk_plug_name_fn name_fn;
    qd_disk_plug_version_fn version;
    qd_disk_plug_support_exts_fn support_exts;
    qd_disk_plug_support_open_fn support_open;
    qd_disk_plug_init_fn init;
    qd_disk_plug_probe_fn probe;
    qd_disk_plug_open_fn open;
    qd_disk_plug_close_fn close;
    qd_disk_plug_last_errno_fn last_errno;
    qd_disk_plug_fsize_fn fsize;
    qd_disk_plug_sector_size_fn sector_size;
    qd_disk_plug_is_fixed_size_fn is_fixed_size;
    qd_disk_plug_pread_fn pread;
    qd_disk_plug_pwrite_fn pwrite;
    qd_disk_plug_sync_fn sync;  // may be nullptr
    qd_disk_plug_support_params_fn support_params;  // may be nullptr
};

// An in-process driver served by the same common operations (kind 1): its
// driver table's priv points here. Failures of its calls return -1 without
// touching the device's error record; open fills the record itself.
struct comm_plugin_ops {
    uint32_t kind;  // 1
    const bd_drv *drv;  // whose name it reports
    void *(*open)(const char *path, uint32_t flags, uint64_t opaque, verr *err, const char *name);
    int (*close)(void *handle);
    uint64_t (*size)(void *handle);
    uint32_t (*sector_size)(void *handle);
    uint32_t (*size_mode)(void *handle);  // optional: 6
    int (*read)(void *handle, void *buf, uint32_t count, uint64_t pos);
    int (*write)(void *handle, const void *buf, uint32_t count, uint64_t pos);
    int (*sync)(void *handle);  // optional
};

// Size modes of an open object.
enum : uint32_t {
    BD_PLUGIN_GROWABLE = 2,
    BD_PLUGIN_FIXED = 6,
};

// One open object, owned by its block device.
struct bd_plugin_file {
    void *handle;
    uint64_t position;  // absolute byte position of the next sequential access
    uint32_t size_mode;
    const void *plugin;  // bd_plugin or comm_plugin_ops
};

// A new driver table for the shared object at path, or nullptr (the reason,
// the loader's own where it has one, logged at err level under "mblock2").
// Loading runs the object's code, so only a regular file is loaded and, in a
// process running as root, only one owned by root and writable by nobody
// else, as must be every directory on its way (links followed by hand; a
// sticky directory passes on only root's entries); anything else is refused
// unopened by the loader. A path with "/" is held and judged through one
// descriptor and loaded through that descriptor's /proc/self/fd name, so a
// file renamed into place meanwhile is not what loads; without procfs on
// /proc it is refused. A name without "/" is the dynamic linker's to find.
// The descriptor of a loaded object stays open for the process's life.
bd_drv *libplugin_init(const char *path);
// The path copy, the record and the table; the shared object stays loaded.
void libplugin_free(const bd_drv *drv);

// The driver slots.
int bdrv_plugin_probe(const char *path, uint64_t flags, void *priv);
void *comm_plugin_open(const char *path, bd_open_param *param);
int comm_plugin_close(void *file);
// Reads (and a fixed-size object's writes) are cut at the object's end; at or
// past it they return 0 without reaching the plug-in.
int64_t comm_plugin_read(bd_dev *dev, void *file, uint64_t offset, void *buf, uint32_t len);
int64_t comm_plugin_write(bd_dev *dev, void *file, uint64_t offset, const void *buf, uint32_t len);
int64_t comm_plugin_size(bd_dev *dev, void *file);
// Controls 5 (sync), 6 (seek), 12, 15 and 25; every other code -1 with -37.
int comm_plugin_ioctl(bd_dev *dev, void *file, uint32_t code, void *arg, uint32_t arg_size);
