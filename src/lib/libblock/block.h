// Block devices: an export name (a path or URL with "?" parameters, judged
// by bd_args.h: the block layer's own and those its driver declares) opened
// through a driver, with a start offset, a volume window and a sector
// size. Used by the NBD server and the partition readers. Offsets are bytes
// from the window's start, and every request is checked against the window
// before any I/O; calls return 0 or a count on success, -1 (or a negative
// code) on failure with the device's verr set. A key never reaches a log line
// or an error text: names are logged through url_safe_fmt.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libblock/bd_args.h"
#include "libpal/basic/verr.h"
#include "libpal/tframe/pwritex.h"

struct bd_cipher;
struct conf_handle;
struct bd_dev;
struct file_bcount_ctx;
struct file_hash_ctx;

// Open flags: the access bits of os_file.h (the first one set wins, none
// means read-only) plus the block layer's own. An NBD export is opened with
// BD_OPEN_NBD | BD_OPEN_RDONLY or BD_OPEN_NBD | BD_OPEN_RDWR.
constexpr uint64_t BD_OPEN_RDONLY = 0x01;   // OS_PF_RDONLY
constexpr uint64_t BD_OPEN_RDWR = 0x04;     // OS_PF_RDWR
constexpr uint64_t BD_OPEN_NBD = 0x80;      // an export for a client; no open acts on it
constexpr uint64_t BD_OPEN_PROBE = 0x8000;  // probe the drivers also for a plain path

// The current position, in place of an offset.
constexpr uint64_t BD_OFFSET_CUR = UINT64_MAX;

// Driver types.
enum : uint32_t {
    BD_DRV_TYPE_FILE = 1,
    BD_DRV_TYPE_REMOTE = 2,
    BD_DRV_TYPE_ZERO = 4,  // drivers with zero-transfer records
    BD_DRV_TYPE_PLUGIN = 10,
};

// Control codes of bd_ioctl.
enum : uint32_t {
    BD_IOCTL_SYNC = 5,
    BD_IOCTL_SEEK = 6,             // uint64_t offset inside the window
    BD_IOCTL_TELL = 7,             // uint64_t out
    BD_IOCTL_TRUNCATE = 8,         // uint64_t length of the underlying file
    BD_IOCTL_SECTOR_SIZE = 9,      // uint32_t out
    BD_IOCTL_SIZE_TYPE = 10,       // uint32_t out
    BD_IOCTL_FLUSH_CACHE = 11,
    BD_IOCTL_ZERO_ID = 12,         // uint32_t out
    BD_IOCTL_ZERO_GET = 13,        // bd_zero_rec out
    BD_IOCTL_ZERO_SET = 14,        // bd_zero_rec in
    BD_IOCTL_VOLUME = 15,          // bd_volume out
    BD_IOCTL_PWRITEX = 16,
    BD_IOCTL_PWRITEX_INIT = 23,
    BD_IOCTL_MAX_NAME = 24,        // uint64_t out: 4095
    BD_IOCTL_DRV_INFO = 25,        // bd_drv_info out
    GET_DEV_INFO = 26,             // bd_dev_info out
    BD_IOCTL_ERROR = 27,           // verr out
    BD_IOCTL_NAME = 28,            // char out[arg_size]
    BD_IOCTL_NOT_IMPLEMENTED = 29,
    BD_IOCTL_ZERO_RANGE = 30,      // bd_zero_range in; -1 with code -37 when the driver cannot
    BD_IOCTL_DATASYNC = 31,        // the data only; -1 with code -37 when the driver cannot
};

// Size types of bd_dev_info.
enum : uint32_t {
    BLOCK_SIZE_FIXED = 1,       // device types 5 and 6
    BLOCK_SIZE_EXTENSIBLE = 2,  // device type 2
    BLOCK_SIZE_UNLIMITED = 3,
};

struct bd_volume {
    uint64_t start;  // bytes on the medium
    uint64_t size;   // bytes
};

// Control 30: zero a range inside the window without writing buffers.
struct bd_zero_range {
    uint64_t offset;
    uint64_t len;
};

// A driver's 24-byte zero-transfer record (controls 13 and 14).
struct bd_zero_rec {
    uint8_t data[24];
};

// What a driver's open receives.
struct bd_open_param {
    uint64_t opaque;  // 0 from every caller in this system
    uint32_t flags;
    bd_dev *dev;
    void *priv;
    const char *name;  // as the caller gave it
};

// Control 25, filled by drivers.
struct bd_drv_info {
    uint32_t type;  // the os_file_info type
    uint64_t size;
    uint64_t offset;
    uint32_t sector_size;
    char name[128];
};

// Control 26.
struct bd_dev_info {
    uint32_t dev_type;
    uint32_t size_type;
    uint32_t sector_size;
    uint64_t vol_start;
    uint64_t size;
    uint64_t offset;  // current position relative to vol_start
    const char *size_type_name;
    char type_name[64];
    char model[128];
};

// A driver's operation table. read, size, ioctl, close and probe are called
// without testing the slot, so every driver fills them.
struct bd_drv {
    uint32_t type;
    void *priv;
    const char *name;
    const char *exts;
    uint32_t support_open;
    int (*probe)(const char *name, uint64_t flags, void *priv);  // 0: the driver takes name
    void *(*open)(const char *name, bd_open_param *param);        // failure text in param->dev->err
    int (*close)(void *handle);
    int64_t (*read)(bd_dev *dev, void *handle, uint64_t offset, void *buf, uint32_t len);
    int64_t (*bdrv_readz)(bd_dev *dev, void *handle, uint64_t offset, void *buf, uint32_t len, void *extra);
    int64_t (*write)(bd_dev *dev, void *handle, uint64_t offset, const void *buf, uint32_t len);
    int64_t (*bdrv_writez)(bd_dev *dev, void *handle, uint64_t offset, const void *buf, uint32_t len,
                           void *extra);
    int64_t (*size)(bd_dev *dev, void *handle);
    int (*ioctl)(bd_dev *dev, void *handle, uint32_t code, void *arg, uint32_t arg_size);
    // The "|"-separated names of the parameters the driver reads from a name
    // besides the block layer's own; nullptr for none. Any other parameter
    // refuses the open.
    const char *params;
};

// One open device; created by bd_open2s, freed by bd_close, used by one
// thread at a time.
struct bd_dev {
    void *handle;
    uint64_t fsize;        // the medium's size as the driver's open found it
    uint32_t sector_size;  // 512, 1024, 2048 or 4096
    char *name;
    uint64_t sector_offset;  // "sector_off" in bytes
    uint64_t vol_start;      // added to every positioned read and write
    uint64_t vol_size;       // the window's size
    bd_cipher *cipher;
    // The tools of bd_tool.h; local: the request bypassed a remote driver's own.
    file_hash_ctx *hash;
    uint8_t hash_local;
    file_bcount_ctx *bcount;
    uint8_t bcount_local;
    pwritex_ctx pwx;
    const bd_drv *drv;
    uint8_t zero_read;
    uint8_t zero_write;
    uint8_t readonly;  // by the open's flags, the name's, or the medium's own
    // "flags=sync": every write and zeroing is on stable storage (a data
    // sync) before its call returns, so before a client's reply.
    uint8_t sync_writes;
    // A cipher export's zeros are encrypted here, a piece at a time: taken at
    // its first zeroing that has to write, kept until the close.
    uint8_t *zero_scratch;
    verr err;
    // What the medium is, for the failed syncs every device of it shares:
    // BD_MEDIUM_FILE (device and inode), BD_MEDIUM_DISK (the device number
    // in medium_dev), or 0 when the driver cannot say (then only this device
    // remembers). Its generation tells a medium from a later one under the
    // same numbers (a loop device reattached, an inode reused): a disk's
    // sequence number or a file's birth time in ns in medium_gen, a file's
    // inode generation in medium_igen; 0 where none can be had. Set by the
    // driver's open.
    uint8_t medium_kind;
    uint64_t medium_dev;
    uint64_t medium_ino;
    uint64_t medium_gen;
    uint64_t medium_igen;
    uint8_t sync_lost;  // a sync of this device failed
};

enum : uint8_t {
    BD_MEDIUM_FILE = 1,
    BD_MEDIUM_DISK = 2,
};

// The volume finder (the partition readers, which open the medium through
// bd_open and so sit above this library) registers itself at start-up. It
// fills out with the byte range of volume index (1-based) of name, or returns
// -1 with the reason in err (4096 bytes). name is the medium as stored: the
// export name without its cipher, offset and volume (bd_args.h), so a
// table stored in clear is read in clear; a medium whose table only the
// cipher could read has none, and is one volume.
using bd_vol_finder = int (*)(const char *name, int index, bd_volume *out, char *err);
void bd_set_vol_finder(bd_vol_finder finder);

// Start and end. bd_init runs once per process (client configuration, the
// "file" driver as the default); bd_exit releases the driver lists. Both 0.
int bd_init();
int bd_exit();
// Plug-in drivers (bd_plugin.h), asked before the built-in ones in the order
// they were added. bd_load_plugins loads each "|"-separated path and adds
// those that load (0). bd_load_conf_plugins does the same with the values of
// the numeric keys of the section "bd_plugins_load" of a configuration file:
// 0, or -1 when the file does not load; bd_load_conf_plugins_from of a
// configuration already open (0). Requires: bd_init has run, and no device
// is open yet.
int bd_load_plugins(const char *list);
int bd_load_conf_plugins(const char *path);
int bd_load_conf_plugins_from(conf_handle *conf);
int bd_plugin_add(const bd_drv *drv);
int bd_plug_none();

// Opening and closing. err receives the reason (4096 bytes) on failure. Only
// regular files and block devices are opened: a character device, FIFO or
// socket is refused before its open ("not a regular file or block device").
bd_dev *bd_open(const char *name, uint64_t flags, char *err);
bd_dev *bd_open2(const char *name, uint64_t flags, uint64_t opaque, char *err);
bd_dev *bd_open_verr(const char *name, uint64_t flags, verr *err);
bd_dev *bd_open2s(const char *name, uint64_t flags, uint64_t opaque, verr *err) noexcept;
// The driver's close result; dev is freed.
int bd_close(bd_dev *dev);

// Drivers chosen for a name (probed with flag 1).
const bd_drv *bd_drv_find(const char *name);
uint32_t bd_drv_type_by_name(const char *name);  // 0 for none
const char *bd_drv_name_by_name(const char *name);  // "unkown" for none
uint32_t bd_drv_type(const bd_dev *dev);
const char *bd_drv_name(const bd_dev *dev);

// Data. Requires: with a cipher, len and offset multiples of 512. A request
// that would cross the window's end fails before any I/O (reads code -2,
// writes -152).
int64_t bd_pread(bd_dev *dev, void *buf, uint32_t len, uint64_t offset);
// With a cipher, buf holds the ciphertext afterwards.
int64_t bd_pwrite(bd_dev *dev, void *buf, uint32_t len, uint64_t offset);
// len zero bytes at offset (a position, not BD_OFFSET_CUR), checked as
// bd_pwrite. A file's range is zeroed by its file system, a disk's by the
// device; where neither can, zeros are written from one shared read-only
// buffer, and a cipher export writes them encrypted through the device's
// scratch piece (zero_scratch). Nothing is allocated per call. len, or -1
// (code -8 when the scratch piece cannot be had).
int64_t bd_pwrite_zeroes(bd_dev *dev, uint64_t len, uint64_t offset);
int64_t bd_preadz(bd_dev *dev, void *buf, uint32_t len, void *extra, uint64_t offset);
int64_t bd_pwritez(bd_dev *dev, void *buf, uint32_t len, void *extra, uint64_t offset);
int64_t bd_read(bd_dev *dev, void *buf, uint32_t len);
int64_t bd_readz(bd_dev *dev, void *buf, uint32_t len, void *extra);
int64_t bd_write(bd_dev *dev, void *buf, uint32_t len);
int64_t bd_writez(bd_dev *dev, void *buf, uint32_t len, void *extra);
// Any byte range, through whole sectors; len, or -1. Bytes a short read did
// not reach are zero.
int64_t bd_read_bytes(bd_dev *dev, void *buf, uint32_t len, uint64_t offset) noexcept;
int bd_crypt_check(bd_dev *dev, uint32_t len, uint64_t offset);

// Size and controls. A cipher device's size is whole 512-byte units: the
// tail past the last whole unit cannot be encrypted and is not served.
int64_t bd_size(bd_dev *dev);
// A failed sync is remembered for the medium (every device open on the same
// file or disk of the same generation, whichever session opened it) until
// the process ends: Linux
// reports a writeback error once and drops the pages it could not write, so
// a later sync that succeeded would call lost data durable. From then on
// every sync of it fails with code -250 (EIO), and one err line names it.
// A driver that cannot sync (code -37) is not remembered.
int bd_sync(bd_dev *dev);
// The data written so far on stable storage, without the metadata a full
// sync also writes (times); bd_sync where the driver has no such control.
int bd_datasync(bd_dev *dev);
// True once a sync of the device's medium has failed.
bool bd_sync_lost(const bd_dev *dev);
int bd_seek(bd_dev *dev, uint64_t offset);
int bd_truncate(bd_dev *dev, uint64_t length);
int64_t bd_tell(bd_dev *dev);
int bd_ioctl(bd_dev *dev, uint32_t code, void *arg, uint32_t arg_size);
int bd_get_dev_info(bd_dev *dev, bd_dev_info *info);
int bd_volume_get(bd_dev *dev, bd_volume *out);
// True when writes are refused: a read-only open, "flags=readonly" in the
// name, or a medium that cannot be written (a read-only file system or disk).
bool bd_is_readonly(const bd_dev *dev);
int bd_errno(const bd_dev *dev);
const char *bd_errstr(const bd_dev *dev);
int bd_error_copy(bd_dev *dev, verr *out);

// 0 when a write of len bytes at offset (BD_OFFSET_CUR: the position) fits or
// the device can grow to hold it; 1 when growing failed; BLOCK_SIZE_FIXED for
// a fixed-size device; -1 when the device information cannot be read.
int bd_extend_test(bd_dev *dev, uint64_t offset, uint64_t len);
// Switch the source's zero-read and the target's zero-write mode on when both
// sides agree on a zero-transfer identity. 1 switched on, 0 not, -1 error.
int bd_zero_pair(bd_dev *src, bd_dev *dst, bd_zero_rec *out);
int bd_zero_pair_clear(bd_dev *src, bd_dev *dst);
// 1 when the name is an ISO 9660 or UDF image, else 0.
int bd_is_optical_image(const char *name);

// The file-hash, byte-count and positioned-write tools: bd_tool.h.

// Small helpers.
bool bd_sector_size_valid(uint32_t size);
uint32_t bd_sector_size_by_index(uint32_t index);  // 1-4; else 0
const char *bd_sector_sizes_text();                // "512 1024 2048 4096"
uint32_t bd_size_type_of(uint32_t dev_type);
const char *bd_size_type_name(uint32_t size_type);
// 0 when start is at or past dev_size, else the smaller of the rest and want.
uint64_t bd_vol_size_fit(uint64_t dev_size, uint64_t start, uint64_t want);
