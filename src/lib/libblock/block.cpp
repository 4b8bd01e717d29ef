// Block devices: names to open devices, windows, and the I/O through them.
#define ZLOG_TAG "mblock2"

#include "libblock/block.h"

#include <strings.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "libblock/bd_cipher.h"
#include "libblock/bd_file.h"
#include "libblock/bd_plugin.h"
#include "libblock/bd_tool.h"
#include "libpal/basic/pl_own.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "libpal/env/pl_init.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_xattr.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_enc.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "libqdcli/client.h"
#include "liblog/zlog.h"

#define BD_ERR(rec, code, ...) verr_set((rec), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)

namespace {

constexpr uint32_t kCipherUnit = 512;
constexpr uint32_t kSectorSizes[] = {512, 1024, 2048, 4096};
constexpr int kCodeParam = -2;
constexpr int kCodeNoSpace = -152;
constexpr int kCodeNotSupported = -37;
constexpr uint32_t kZeroChunk = 1 << 20;
// A cipher export stores its zeros encrypted, a piece at a time, in a
// scratch piece its device keeps for its life: small beside what a session
// keeps between requests.
constexpr uint32_t kCipherScratch = 64 << 10;

static_assert(BD_OPEN_RDONLY == OS_PF_RDONLY && BD_OPEN_RDWR == OS_PF_RDWR);

// Filled by bd_init on the main thread during start-up, read afterwards.
std::vector<const bd_drv *> g_plugins;
std::vector<const bd_drv *> g_builtin;
const bd_drv *g_default = nullptr;
bool g_init_done = false;
std::atomic<bd_vol_finder> g_vol_finder{nullptr};

// The media whose sync failed, for the life of the process: a handful at
// most, each entered once.
struct lost_medium {
    uint8_t kind;
    uint64_t dev;
    uint64_t ino;
    uint64_t gen;
    uint64_t igen;
    bool operator==(const lost_medium &) const = default;
};
std::mutex g_lost_lock;
std::vector<lost_medium> g_lost;

// The volume's byte range through the registered finder, which opens the
// medium itself, as stored: its name keeps none of the parameters that work
// inside the window (bd_open_args_medium_name).
int find_volume(const char *url, int index, bd_volume &vol, verr *err)
{
    bd_vol_finder finder = g_vol_finder.load();
    if (finder == nullptr) {
        BD_ERR(err, kCodeParam, "vol_idx=%d: volume lookup is not in this build", index);
        return -1;
    }
    std::vector<char> medium(URL_BUF_SIZE);
    if (bd_open_args_medium_name(url, medium.data(), err) != 0)
        return -1;
    std::vector<char> text(VERR_MSG_SIZE);
    int rc = finder(medium.data(), index, &vol, text.data());
    if (rc != 0) {
        BD_ERR(err, kCodeParam, "%s", text.data());
        return -1;
    }
    return 0;
}

const bd_drv *drv_probe(const char *url, uint64_t flags)
{
    for (const bd_drv *d : g_plugins)
        if (d->probe(url, flags, d->priv) == 0)
            return d;
    for (auto it = g_builtin.rbegin(); it != g_builtin.rend(); ++it)
        if ((*it)->probe(url, flags, (*it)->priv) == 0)
            return *it;
    return nullptr;
}

void dev_free(bd_dev *dev)
{
    if (dev == nullptr)
        return;
    if (dev->cipher != nullptr)
        bd_cipher_free(dev->cipher);
    if (dev->name != nullptr)
        explicit_bzero(dev->name, strlen(dev->name));  // the name may carry a key
    os_free(dev->name);
    os_free(dev->zero_scratch);
    os_free(dev);
}

// Releases a device whose open failed; the reason is in the caller's record.
bd_dev *open_fail(bd_dev *dev)
{
    if (dev->drv != nullptr)
        bd_close(dev);
    else
        dev_free(dev);
    return nullptr;
}

// The name as a URL (a session name resolved) with the client configuration's
// time-outs, into url (URL_BUF_SIZE bytes).
int resolve_name(const char *name, char *url, verr *err)
{
    if (name == nullptr) {
        BD_ERR(err, kCodeParam, "no name given");
        return -1;
    }
    if (strnlen(name, URL_BUF_SIZE) >= URL_BUF_SIZE) {
        BD_ERR(err, kCodeParam, "name too long (at most %d bytes)", URL_BUF_SIZE - 1);
        return -1;
    }
    if (conf_client_resolve_url(name, url, err) != 0) {
        if (err != nullptr && err->msg[0] == '\0') {
            std::vector<char> safe(URL_BUF_SIZE);
            BD_ERR(err, -1, "cannot resolve [%s]", url_safe_fmt(name, safe.data()));
        }
        return -1;
    }
    qd_conf_get_timeouts(url);
    return 0;
}

// A new device with its cipher and volume, before any driver sees it; the
// URL gets the default time-outs it does not name. nullptr with the reason in
// err.
bd_dev *new_device(char *url, const bd_open_args &a, verr *err)
{
    auto *dev = static_cast<bd_dev *>(os_zalloc(sizeof(bd_dev)));
    if (dev == nullptr) {
        BD_ERR(err, -8, "%s", verr2str(-8));
        return nullptr;
    }
    dev->sector_size = a.sector_size;
    dev->readonly = a.readonly;
    dev->sync_writes = a.sync;
    if (a.alg[0] != '\0') {
        ZLOG_DBG("cipher=[%s]\n", a.alg);
        dev->cipher = bd_cipher_new(a.alg);
        if (dev->cipher == nullptr) {
            BD_ERR(err, -8, "%s", verr2str(-8));
            return open_fail(dev);
        }
        bd_cipher_set_key(dev->cipher, a.key);
    }
    if (a.vol_idx != 0) {
        bd_volume vol{};
        if (find_volume(url, a.vol_idx, vol, err) != 0)
            return open_fail(dev);
        dev->vol_start = vol.start;
        dev->vol_size = vol.size;
    }
    for (const char *key : {"connect_timeout", "read_timeout", "write_timeout"})
        url_set_query_int(url, key, key[0] == 'c' ? 6 : key[0] == 'r' ? 15 : 8, set_not_exist);
    return dev;
}

// The driver for the URL: the default one for a plain path (unless the
// open probes), else the first whose probe takes it. nullptr with the reason.
const bd_drv *choose_driver(const char *url, uint64_t flags, verr *err)
{
    bool plain = strstr(url, "://") == nullptr;
    const bd_drv *drv = plain && !(flags & BD_OPEN_PROBE) ? g_default : drv_probe(url, flags);
    if (drv == nullptr) {
        std::vector<char> safe(URL_BUF_SIZE);
        if (!g_init_done)
            BD_ERR(err, -37, "no driver: the block layer is not initialised (bd_init)");
        else
            BD_ERR(err, -37, "no driver for [%s]", url_safe_fmt(url, safe.data()));
    }
    return drv;
}

// The driver opens the device, which learns its sector size. 0, or -1 with
// the reason in err (dev is left for the caller).
int open_driver(bd_dev *dev, const bd_drv *drv, const char *url, const bd_open_args &a, uint64_t opaque,
                const char *name, verr *err)
{
    std::vector<char> safe(URL_BUF_SIZE);
    uint64_t flags = a.flags;
    ZLOG_DBG("open [%s] flag=0x%x vol_idx=%d vol_start=%lld vol_size=%lld drv_type=[%s]\n",
             url_safe_fmt(url, safe.data()), static_cast<unsigned>(flags), a.vol_idx,
             static_cast<long long>(dev->vol_start), static_cast<long long>(dev->vol_size), drv->name);
    if (flags & BD_OPEN_PROBE)
        flags |= BD_OPEN_NBD;
    bd_open_param param{opaque, static_cast<uint32_t>(flags), dev, drv->priv, name};
    void *handle = drv->open(url, &param);
    uint32_t sector = 0;
    if (handle != nullptr) {
        dev->handle = handle;
        dev->drv = drv;
        if (drv->write == nullptr)
            dev->readonly = 1;
    }
    if (handle == nullptr || bd_ioctl(dev, BD_IOCTL_SECTOR_SIZE, &sector, sizeof(sector)) != 0) {
        if (err != nullptr)
            verr_copy(err, &dev->err);
        return -1;
    }
    dev->sector_size = sector;
    ZLOG_DBG("fsize=%lld sector_size=%d\n", static_cast<long long>(dev->fsize), static_cast<int>(sector));
    return 0;
}

// The window: "sector_off" sectors in, inside the volume when there is one
// (its found range, cut at the medium's end), else inside the medium; it
// runs to the volume's or the medium's end and never past it. 0, or -1 with
// the reason in err.
int set_window(bd_dev *dev, const bd_open_args &a, verr *err)
{
    ZLOG_DBG("sector_offset=%lld\n", static_cast<long long>(a.sector_off));
    uint64_t offset = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(a.sector_off), uint64_t{dev->sector_size}, &offset)) {
        BD_ERR(err, kCodeParam, "sector_off=%lld is too large", static_cast<long long>(a.sector_off));
        return -1;
    }
    dev->sector_offset = offset;
    uint64_t start = 0;
    uint64_t size = dev->fsize;
    if (a.vol_idx != 0) {
        start = dev->vol_start;
        size = bd_vol_size_fit(dev->fsize, start, dev->vol_size);
        if (size == 0) {
            BD_ERR(err, -1, "volume size error [start=%llu size=%llu]", static_cast<unsigned long long>(start),
                   static_cast<unsigned long long>(dev->vol_size));
            return -1;
        }
        if (offset >= size) {
            BD_ERR(err, kCodeParam, "sector_off=%lld (%llu bytes) is at or past the end of vol_idx=%d (%llu bytes)",
                   static_cast<long long>(a.sector_off), static_cast<unsigned long long>(offset), a.vol_idx,
                   static_cast<unsigned long long>(size));
            return -1;
        }
    } else if (offset != 0 && offset >= size) {
        BD_ERR(err, -1, "dev_offset=%llu >= %llu", static_cast<unsigned long long>(offset),
               static_cast<unsigned long long>(size));
        return -1;
    }
    // An empty medium without a window keeps vol_size 0: its size is then
    // read from the medium, which may grow.
    dev->vol_start = start + offset;
    dev->vol_size = size - offset;
    ZLOG_DBG("vol_start=%lld vol_size=%lld\n", static_cast<long long>(dev->vol_start),
             static_cast<long long>(dev->vol_size));
    if (bd_seek(dev, 0) != 0) {
        if (err != nullptr)
            verr_copy(err, &dev->err);
        return -1;
    }
    return 0;
}

// A cipher works in whole units: the bytes past the last one are not served,
// and the operator learns which.
void note_cipher_tail(bd_dev *dev)
{
    const int64_t size = dev->cipher != nullptr ? dev->drv->size(dev, dev->handle) : 0;
    if (size <= 0 || size % kCipherUnit == 0)
        return;
    std::vector<char> safe(URL_BUF_SIZE);
    ZLOG_INFO("[%s] is served at %lld bytes: its last %lld bytes are not a whole %u-byte unit of the cipher\n",
              url_safe_fmt(dev->name, safe.data()), static_cast<long long>(size - size % kCipherUnit),
              static_cast<long long>(size % kCipherUnit), kCipherUnit);
}

// Resolve, parse, choose the driver and check the names against it, open,
// window: each step fails the open with its own text.
bd_dev *open_core(const char *name, uint64_t flags, uint64_t opaque, verr *err)
{
    std::vector<char> url(URL_BUF_SIZE);
    const pl_wipe_guard url_wipe(url.data(), url.size());
    if (resolve_name(name, url.data(), err) != 0 || bd_open_args_check_repeats(name, err) != 0)
        return nullptr;
    bd_open_args args{};
    const pl_wipe_guard args_wipe(&args, sizeof(args));
    if (bd_open_args_parse(url.data(), flags, &args, err) != 0)
        return nullptr;
    const bd_drv *drv = choose_driver(url.data(), args.flags, err);
    if (drv == nullptr || bd_open_args_check_names(url.data(), drv, err) != 0)
        return nullptr;
    bd_dev *dev = new_device(url.data(), args, err);
    if (dev == nullptr)
        return nullptr;
    if (open_driver(dev, drv, url.data(), args, opaque, name, err) != 0 || set_window(dev, args, err) != 0)
        return open_fail(dev);
    dev->name = os_strdup(name);
    if (dev->name == nullptr) {
        BD_ERR(err, -8, "%s", verr2str(-8));
        return open_fail(dev);
    }
    note_cipher_tail(dev);
    return dev;
}

// The byte range [offset, offset + len) must lie inside the window; checked
// without overflow before any I/O.
bool range_ok(bd_dev *dev, uint64_t len, uint64_t offset, bool write)
{
    uint64_t at = offset;
    if (at == BD_OFFSET_CUR) {
        int64_t pos = bd_tell(dev);
        if (pos < 0)
            return false;
        at = static_cast<uint64_t>(pos);
    }
    int64_t size = bd_size(dev);
    if (size < 0)
        return false;
    uint64_t end = static_cast<uint64_t>(size);
    if (at <= end && len <= end - at)
        return true;
    BD_ERR(&dev->err, write ? kCodeNoSpace : kCodeParam, "%s offset=%llu len=%llu beyond the end %llu",
           write ? "write" : "read", static_cast<unsigned long long>(at), static_cast<unsigned long long>(len),
           static_cast<unsigned long long>(end));
    return false;
}

bool write_slot_ok(bd_dev *dev)
{
    if (dev->drv->write != nullptr)
        return true;
    BD_ERR(&dev->err, -12, "%s", verr2str(-12));
    return false;
}

int crypt_check(bd_dev *dev, uint64_t len, uint64_t offset)
{
    if (len % kCipherUnit != 0) {
        auto shown_len = static_cast<unsigned long long>(len);
        ZLOG_ERR("len=%llu err: must 512 alignment\n", shown_len);
        BD_ERR(&dev->err, kCodeParam, "len=%llu err: must 512 alignment", shown_len);
        return -1;
    }
    if (offset == BD_OFFSET_CUR || offset % kCipherUnit != 0) {
        auto shown_off = static_cast<long long>(offset);
        ZLOG_ERR("offset=%lld err: must 512 alignment\n", shown_off);
        BD_ERR(&dev->err, kCodeParam, "offset=%lld err: must 512 alignment", shown_off);
        return -1;
    }
    return 0;
}

int64_t read_imp(bd_dev *dev, void *buf, uint32_t len, void *extra, uint64_t offset, bool zero)
{
    PL_ASSERT_RET(dev != nullptr && (buf != nullptr || len == 0), -1);
    if (!range_ok(dev, len, offset, false))
        return -1;
    if (dev->cipher != nullptr && crypt_check(dev, len, offset) != 0)
        return -1;
    int64_t n;
    if (zero) {
        PL_ASSERT_RET(dev->drv->bdrv_readz != nullptr, -1);
        n = dev->drv->bdrv_readz(dev, dev->handle, offset, buf, len, extra);
    } else {
        n = dev->drv->read(dev, dev->handle, offset, buf, len);
    }
    if (n > 0 && dev->cipher != nullptr)
        bd_cipher_decrypt(dev->cipher, static_cast<int64_t>(offset), buf, static_cast<uint64_t>(n));
    return n;
}

// A "sync" export's data is on stable storage before its write returns:
// n, or -1 when that data sync failed (the reason in the device).
int64_t settled(bd_dev *dev, int64_t n)
{
    if (n < 0 || dev->sync_writes == 0 || bd_datasync(dev) == 0)
        return n;
    return -1;
}

int64_t write_imp(bd_dev *dev, void *buf, uint32_t len, void *extra, uint64_t offset, bool zero)
{
    PL_ASSERT_RET(dev != nullptr && (buf != nullptr || len == 0), -1);
    if (!write_slot_ok(dev) || !range_ok(dev, len, offset, true))
        return -1;
    if (zero)
        PL_ASSERT_RET(dev->drv->bdrv_writez != nullptr, -1);
    if (dev->cipher != nullptr) {
        if (crypt_check(dev, len, offset) != 0)
            return -1;
        bd_cipher_encrypt(dev->cipher, static_cast<int64_t>(offset), buf, len);
    }
    if (zero)
        return settled(dev, dev->drv->bdrv_writez(dev, dev->handle, offset, buf, len, extra));
    return settled(dev, dev->drv->write(dev, dev->handle, offset, buf, len));
}

// What every zeroing that has to write is written from: one process-wide
// piece mapped read-only, all of it the kernel's zero page. Never handed to a
// cipher, which works in place; a stray write faults instead of spoiling it.
const uint8_t *shared_zeros()
{
    static const void *zeros = [] {
        void *p = mmap(nullptr, kZeroChunk, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }();
    return static_cast<const uint8_t *>(zeros);
}

// Zeros through the driver's write: from the shared zeros, or, with a cipher,
// encrypted into the device's scratch piece. len, or -1.
int64_t zero_by_writes(bd_dev *dev, uint64_t len, uint64_t offset)
{
    const bool cipher = dev->cipher != nullptr;
    if (cipher && dev->zero_scratch == nullptr)
        dev->zero_scratch = static_cast<uint8_t *>(os_malloc(kCipherScratch));
    const uint8_t *zeros = cipher ? dev->zero_scratch : shared_zeros();
    const uint64_t piece = cipher ? kCipherScratch : kZeroChunk;
    if (zeros == nullptr) {
        BD_ERR(&dev->err, -8, "%s", verr2str(-8));
        return -1;
    }
    for (uint64_t done = 0; done < len;) {
        auto n = static_cast<uint32_t>(std::min(piece, len - done));
        const uint8_t *data = zeros;
        if (cipher) {
            memset(dev->zero_scratch, 0, n);
            bd_cipher_encrypt(dev->cipher, static_cast<int64_t>(offset + done), dev->zero_scratch, n);
        }
        int64_t w = dev->drv->write(dev, dev->handle, offset + done, data, n);
        if (w != n) {
            if (w >= 0)
                BD_ERR(&dev->err, -250, "%s", verr2str(-250));
            return -1;
        }
        done += n;
    }
    return static_cast<int64_t>(len);
}

lost_medium medium_of(const bd_dev *dev)
{
    return lost_medium{dev->medium_kind, dev->medium_dev, dev->medium_ino, dev->medium_gen, dev->medium_igen};
}

bool medium_lost(const bd_dev *dev)
{
    if (dev->sync_lost != 0)
        return true;
    if (dev->medium_kind == 0)
        return false;
    std::lock_guard<std::mutex> hold(g_lost_lock);
    return std::find(g_lost.begin(), g_lost.end(), medium_of(dev)) != g_lost.end();
}

// The first failure of a medium is its one err line; every device of it
// learns from the list.
void remember_lost(bd_dev *dev)
{
    bool first = dev->sync_lost == 0;
    dev->sync_lost = 1;
    if (dev->medium_kind != 0) {
        std::lock_guard<std::mutex> hold(g_lost_lock);
        first = std::find(g_lost.begin(), g_lost.end(), medium_of(dev)) == g_lost.end();
        if (first) {
            try {
                g_lost.push_back(medium_of(dev));
            } catch (const std::bad_alloc &) {
                // This device still remembers.
            }
        }
    }
    if (first) {
        std::vector<char> safe(URL_BUF_SIZE);
        ZLOG_ERR("sync of [%s] failed: %s; its unwritten data may be lost, every later flush of it fails\n",
                 url_safe_fmt(dev->name != nullptr ? dev->name : "", safe.data()), verr_msg(&dev->err));
    }
}

// Sync and data sync: refused once the medium lost data, remembered when the
// driver's own fails.
int sync_checked(bd_dev *dev, uint32_t code)
{
    if (medium_lost(dev)) {
        dev->sync_lost = 1;
        BD_ERR(&dev->err, -250, "an earlier sync of this medium failed: data written before it may be lost");
        return -1;
    }
    if (dev->drv->ioctl(dev, dev->handle, code, nullptr, 0) == 0)
        return 0;
    if (dev->err.code != kCodeNotSupported)
        remember_lost(dev);
    return -1;
}

template <typename T>
int put_out(bd_dev *dev, void *arg, uint32_t arg_size, const T &value)
{
    if (arg == nullptr || arg_size < sizeof(T)) {
        BD_ERR(&dev->err, kCodeParam, "%s", verr2str(kCodeParam));
        return -1;
    }
    memcpy(arg, &value, sizeof(T));
    return 0;
}

}  // namespace

void bd_set_vol_finder(bd_vol_finder finder)
{
    g_vol_finder.store(finder);
}

int bd_init()
{
    if (g_init_done)
        return 0;
    g_init_done = true;
    pl_init();
    g_plugins.clear();
    g_builtin.clear();
    qd_conf_init();
    const bd_drv *file = bd_drv_file();
    g_builtin.push_back(file);
    g_default = file;
    return 0;
}

int bd_exit()
{
    bdrv_file_exit();
    for (const bd_drv *d : g_plugins)
        libplugin_free(d);
    g_plugins.clear();
    g_builtin.clear();
    g_plugins.shrink_to_fit();
    g_builtin.shrink_to_fit();
    return 0;
}

int bd_plugin_add(const bd_drv *drv)
{
    PL_ASSERT_RET(drv != nullptr, -1);
    try {
        g_plugins.push_back(drv);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}

int bd_plug_none()
{
    return 0;
}

bd_dev *bd_open2s(const char *name, uint64_t flags, uint64_t opaque, verr *err) noexcept
{
    try {
        return open_core(name, flags, opaque, err);
    } catch (const std::bad_alloc &) {
        BD_ERR(err, -8, "%s", verr2str(-8));
        return nullptr;
    }
}

bd_dev *bd_open_verr(const char *name, uint64_t flags, verr *err)
{
    return bd_open2s(name, flags, 0, err);
}

bd_dev *bd_open2(const char *name, uint64_t flags, uint64_t opaque, char *err)
{
    auto *rec = static_cast<verr *>(os_zalloc(sizeof(verr)));
    if (rec == nullptr) {
        if (err != nullptr)
            str_safecopy2(err, VERR_MSG_SIZE, verr2str(-8));
        return nullptr;
    }
    bd_dev *dev = bd_open2s(name, flags, opaque, rec);
    if (dev == nullptr && err != nullptr)
        str_safecopy2(err, VERR_MSG_SIZE, verr_msg(rec));
    os_free(rec);
    return dev;
}

bd_dev *bd_open(const char *name, uint64_t flags, char *err)
{
    return bd_open2(name, flags, 0, err);
}

int bd_close(bd_dev *dev)
{
    if (dev == nullptr)
        return 0;
    int rc = 0;
    // The tools read and write through the device: they go before its handle.
    bd_tool_release(dev);
    if (dev->drv != nullptr && dev->handle != nullptr)
        rc = dev->drv->close(dev->handle);
    dev_free(dev);
    return rc;
}

const bd_drv *bd_drv_find(const char *name)
{
    if (name == nullptr)
        return nullptr;
    try {
        std::vector<char> url(URL_BUF_SIZE);
        const pl_wipe_guard url_wipe(url.data(), url.size());
        if (conf_client_resolve_url(name, url.data(), nullptr) != 0)
            return nullptr;
        return drv_probe(url.data(), OS_PF_RDONLY);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

uint32_t bd_drv_type_by_name(const char *name)
{
    const bd_drv *d = bd_drv_find(name);
    return d != nullptr ? d->type : 0;
}

const char *bd_drv_name_by_name(const char *name)
{
    const bd_drv *d = bd_drv_find(name);
    return d != nullptr ? d->name : "unkown";
}

uint32_t bd_drv_type(const bd_dev *dev)
{
    return dev != nullptr && dev->drv != nullptr ? dev->drv->type : 0;
}

const char *bd_drv_name(const bd_dev *dev)
{
    return dev != nullptr && dev->drv != nullptr ? dev->drv->name : "unkown";
}

int64_t bd_pread(bd_dev *dev, void *buf, uint32_t len, uint64_t offset)
{
    return read_imp(dev, buf, len, nullptr, offset, false);
}

int64_t bd_pwrite(bd_dev *dev, void *buf, uint32_t len, uint64_t offset)
{
    return write_imp(dev, buf, len, nullptr, offset, false);
}

int64_t bd_pwrite_zeroes(bd_dev *dev, uint64_t len, uint64_t offset)
{
    PL_ASSERT_RET(dev != nullptr && dev->drv != nullptr, -1);
    if (offset == BD_OFFSET_CUR) {
        BD_ERR(&dev->err, kCodeParam, "%s", verr2str(kCodeParam));
        return -1;
    }
    if (!write_slot_ok(dev) || !range_ok(dev, len, offset, true))
        return -1;
    if (dev->cipher != nullptr && crypt_check(dev, len, offset) != 0)
        return -1;
    if (len == 0)
        return 0;
    // Ciphertext of zeros is not zeros: a cipher export always writes.
    if (dev->cipher == nullptr) {
        bd_zero_range range{offset, len};
        if (dev->drv->ioctl(dev, dev->handle, BD_IOCTL_ZERO_RANGE, &range, sizeof(range)) == 0)
            return settled(dev, static_cast<int64_t>(len));
        if (dev->err.code != kCodeNotSupported)
            return -1;
    }
    return settled(dev, zero_by_writes(dev, len, offset));
}

int64_t bd_preadz(bd_dev *dev, void *buf, uint32_t len, void *extra, uint64_t offset)
{
    return read_imp(dev, buf, len, extra, offset, dev != nullptr && dev->zero_read != 0);
}

int64_t bd_pwritez(bd_dev *dev, void *buf, uint32_t len, void *extra, uint64_t offset)
{
    return write_imp(dev, buf, len, extra, offset, dev != nullptr && dev->zero_write != 0);
}

int64_t bd_read(bd_dev *dev, void *buf, uint32_t len)
{
    return bd_pread(dev, buf, len, BD_OFFSET_CUR);
}

int64_t bd_readz(bd_dev *dev, void *buf, uint32_t len, void *extra)
{
    return bd_preadz(dev, buf, len, extra, BD_OFFSET_CUR);
}

int64_t bd_write(bd_dev *dev, void *buf, uint32_t len)
{
    return bd_pwrite(dev, buf, len, BD_OFFSET_CUR);
}

int64_t bd_writez(bd_dev *dev, void *buf, uint32_t len, void *extra)
{
    return bd_pwritez(dev, buf, len, extra, BD_OFFSET_CUR);
}

int64_t bd_read_bytes(bd_dev *dev, void *buf, uint32_t len, uint64_t offset) noexcept
{
    PL_ASSERT_RET(dev != nullptr && (buf != nullptr || len == 0) && dev->sector_size != 0, -1);
    int64_t size = bd_size(dev);
    if (size < 0)
        return -1;
    uint64_t end = static_cast<uint64_t>(size);
    if (offset > end || len > end - offset) {
        BD_ERR(&dev->err, kCodeParam, "read offset=%llu len=%u beyond the end %llu",
               static_cast<unsigned long long>(offset), len, static_cast<unsigned long long>(end));
        return -1;
    }
    try {
        const uint32_t ss = dev->sector_size;
        std::vector<uint8_t> sector(ss);
        auto *out = static_cast<uint8_t *>(buf);
        uint32_t done = 0;
        while (done < len) {
            uint64_t at = offset + done;
            uint64_t first = at - at % ss;
            // The window may end inside its last sector.
            auto want = static_cast<uint32_t>(std::min<uint64_t>(ss, end - first));
            std::fill(sector.begin(), sector.end(), 0);
            if (bd_pread(dev, sector.data(), want, first) < 0)
                return -1;
            auto skip = static_cast<uint32_t>(at - first);
            uint32_t take = std::min(want - skip, len - done);
            memcpy(out + done, sector.data() + skip, take);
            done += take;
        }
        return len;
    } catch (const std::bad_alloc &) {
        BD_ERR(&dev->err, -8, "%s", verr2str(-8));
        return -1;
    }
}

int bd_crypt_check(bd_dev *dev, uint32_t len, uint64_t offset)
{
    PL_ASSERT_RET(dev != nullptr, -1);
    return crypt_check(dev, len, offset);
}

int64_t bd_size(bd_dev *dev)
{
    PL_ASSERT_RET(dev != nullptr && dev->drv != nullptr, -1);
    const int64_t size = dev->drv->size(dev, dev->handle);
    return dev->cipher != nullptr && size > 0 ? size - size % kCipherUnit : size;
}

int bd_sync(bd_dev *dev)
{
    return bd_ioctl(dev, BD_IOCTL_SYNC, nullptr, 0);
}

int bd_datasync(bd_dev *dev)
{
    if (bd_ioctl(dev, BD_IOCTL_DATASYNC, nullptr, 0) == 0)
        return 0;
    return dev->err.code == kCodeNotSupported ? bd_sync(dev) : -1;
}

bool bd_sync_lost(const bd_dev *dev)
{
    return dev != nullptr && medium_lost(dev);
}

int bd_seek(bd_dev *dev, uint64_t offset)
{
    return bd_ioctl(dev, BD_IOCTL_SEEK, &offset, sizeof(offset));
}

int bd_truncate(bd_dev *dev, uint64_t length)
{
    return bd_ioctl(dev, BD_IOCTL_TRUNCATE, &length, sizeof(length));
}

int64_t bd_tell(bd_dev *dev)
{
    uint64_t pos = 0;
    if (bd_ioctl(dev, BD_IOCTL_TELL, &pos, sizeof(pos)) != 0)
        return -1;
    return static_cast<int64_t>(pos);
}

int bd_get_dev_info(bd_dev *dev, bd_dev_info *info)
{
    PL_ASSERT_RET(dev != nullptr && info != nullptr, -1);
    bd_drv_info di{};
    int rc = dev->drv->ioctl(dev, dev->handle, BD_IOCTL_DRV_INFO, &di, sizeof(di));
    if (rc < 0)
        return rc;
    *info = bd_dev_info{};
    info->dev_type = di.type;
    info->size_type = bd_size_type_of(di.type);
    info->size_type_name = bd_size_type_name(info->size_type);
    info->sector_size = bd_sector_size_valid(di.sector_size) ? di.sector_size : kSectorSizes[0];
    info->vol_start = dev->vol_start;
    info->size = di.size;
    info->offset = di.offset;
    constexpr std::string_view kTypePrefix = "bd_type=";
    if (strncmp(di.name, kTypePrefix.data(), kTypePrefix.size()) == 0) {
        str_safecopy2(info->type_name, sizeof(info->type_name), di.name + kTypePrefix.size());
        return 0;
    }
    const char *type_name = di.type == 3 ? "dev" : di.type == 5 ? "disk" : di.type == 6 ? "bdev" : "file";
    str_safecopy2(info->type_name, sizeof(info->type_name), type_name);
    if (di.type != 6)
        str_safecopy2(info->model, sizeof(info->model), di.name);
    return 0;
}

int bd_ioctl(bd_dev *dev, uint32_t code, void *arg, uint32_t arg_size)
{
    PL_ASSERT_RET(dev != nullptr && dev->drv != nullptr, -1);
    bool remote = dev->drv->type == BD_DRV_TYPE_REMOTE;
    switch (code) {
    case BD_IOCTL_TELL:
    case BD_IOCTL_SECTOR_SIZE:
    case BD_IOCTL_SIZE_TYPE: {
        bd_dev_info info;
        if (bd_get_dev_info(dev, &info) != 0)
            return -1;
        if (code == BD_IOCTL_TELL)
            return put_out(dev, arg, arg_size, info.offset);
        return put_out(dev, arg, arg_size, code == BD_IOCTL_SECTOR_SIZE ? info.sector_size : info.size_type);
    }
    case BD_IOCTL_PWRITEX:
    case BD_IOCTL_PWRITEX_INIT:
        if (remote)
            break;
        return bd_pwritex_ioctl(dev, code, arg, arg_size);
    case BD_IOCTL_MAX_NAME:
        if (remote)
            break;
        return put_out(dev, arg, arg_size, uint64_t{4095});
    case GET_DEV_INFO:
        if (arg == nullptr || arg_size < sizeof(bd_dev_info))
            return put_out(dev, nullptr, 0, 0);
        return bd_get_dev_info(dev, static_cast<bd_dev_info *>(arg));
    case BD_IOCTL_ERROR:
        if (arg == nullptr || arg_size < sizeof(verr))
            return put_out(dev, nullptr, 0, 0);
        verr_copy(static_cast<verr *>(arg), &dev->err);
        return 0;
    case BD_IOCTL_NAME:
        if (arg == nullptr || arg_size == 0)
            return put_out(dev, nullptr, 0, 0);
        str_safecopy2(static_cast<char *>(arg), arg_size, dev->name != nullptr ? dev->name : "");
        return 0;
    case BD_IOCTL_NOT_IMPLEMENTED:
        ZLOG_ERR("Not implemented\n");
        return -1;
    case BD_IOCTL_SYNC:
    case BD_IOCTL_DATASYNC:
        return sync_checked(dev, code);
    default:
        break;
    }
    return dev->drv->ioctl(dev, dev->handle, code, arg, arg_size);
}

int bd_volume_get(bd_dev *dev, bd_volume *out)
{
    return bd_ioctl(dev, BD_IOCTL_VOLUME, out, sizeof(*out));
}

bool bd_is_readonly(const bd_dev *dev)
{
    return dev == nullptr || dev->readonly != 0;
}

int bd_errno(const bd_dev *dev)
{
    return dev != nullptr ? dev->err.code : -2;
}

const char *bd_errstr(const bd_dev *dev)
{
    return dev != nullptr ? verr_msg(&dev->err) : verr2str(-2);
}

int bd_error_copy(bd_dev *dev, verr *out)
{
    return bd_ioctl(dev, BD_IOCTL_ERROR, out, sizeof(*out));
}

int bd_extend_test(bd_dev *dev, uint64_t offset, uint64_t len)
{
    PL_ASSERT_RET(dev != nullptr, -1);
    uint32_t type = bd_drv_type(dev);
    if (type != BD_DRV_TYPE_FILE && type != BD_DRV_TYPE_REMOTE) {
        ZLOG_DBG("not support\n");
        return 0;
    }
    bd_dev_info info;
    if (bd_get_dev_info(dev, &info) != 0) {
        ZLOG_DBG("bd_ioctl GET_DEV_INFO failed\n");
        return -1;
    }
    if (info.size_type == BLOCK_SIZE_UNLIMITED)
        return 0;
    uint64_t at = offset == BD_OFFSET_CUR ? info.offset : offset;
    uint64_t end = 0;
    if (!__builtin_add_overflow(at, len, &end) && end <= info.size)
        return 0;
    if (info.size_type == BLOCK_SIZE_FIXED) {
        ZLOG_DBG("type==BLOCK_SIZE_FIXED failed\n");
        return BLOCK_SIZE_FIXED;
    }
    // Growth is tried on the underlying file and undone at once. A window
    // that ends before the medium does cannot grow: setting the file's length
    // there would cut off the data after it.
    uint64_t old_end = dev->vol_start + info.size;
    uint64_t file_end = 0;
    if (old_end < dev->fsize || __builtin_add_overflow(end, dev->vol_start, &file_end) ||
        bd_truncate(dev, file_end) != 0)
        return 1;
    bd_truncate(dev, std::max(old_end, dev->fsize));
    bd_seek(dev, info.offset);
    return 0;
}

namespace {

uint32_t zero_id(bd_dev *dev)
{
    uint32_t id = 0;
    return bd_ioctl(dev, BD_IOCTL_ZERO_ID, &id, sizeof(id)) == 0 ? id : 0;
}

}  // namespace

int bd_zero_pair(bd_dev *src, bd_dev *dst, bd_zero_rec *out)
{
    PL_ASSERT_RET(src != nullptr && dst != nullptr, -1);
    bool zero_src = bd_drv_type(src) == BD_DRV_TYPE_ZERO;
    bool zero_dst = bd_drv_type(dst) == BD_DRV_TYPE_ZERO;
    if (!zero_src && !zero_dst) {
        uint32_t id = zero_id(src);
        if (id == 0 || id != zero_id(dst))
            return 0;
    } else {
        bd_zero_rec a{}, b{};
        if (bd_ioctl(src, BD_IOCTL_ZERO_GET, &a, sizeof(a)) != 0 ||
            bd_ioctl(dst, BD_IOCTL_ZERO_GET, &b, sizeof(b)) != 0)
            return -1;
        // The side that is a zero-transfer driver gives the record both keep.
        const bd_zero_rec &agreed = zero_src ? a : b;
        bd_dev *other = zero_src ? dst : src;
        if (memcmp(&a, &b, sizeof(a)) != 0 &&
            bd_ioctl(other, BD_IOCTL_ZERO_SET, const_cast<bd_zero_rec *>(&agreed), sizeof(agreed)) != 0)
            return -1;
        if (out != nullptr)
            *out = agreed;
    }
    src->zero_read = 1;
    dst->zero_write = 1;
    return 1;
}

int bd_zero_pair_clear(bd_dev *src, bd_dev *dst)
{
    if (src != nullptr)
        src->zero_read = 0;
    if (dst != nullptr)
        dst->zero_write = 0;
    return 0;
}

int bd_is_optical_image(const char *name)
{
    constexpr uint64_t kVolumeDescriptor = 32768;
    constexpr uint32_t kDescriptorSize = 2048;
    constexpr std::array<std::array<uint8_t, 7>, 2> kMagic = {{
        {0x01, 'C', 'D', '0', '0', '1', 0x01},  // ISO 9660
        {0x00, 'B', 'E', 'A', '0', '1', 0x01},  // UDF
    }};
    auto *err = static_cast<verr *>(os_zalloc(sizeof(verr)));
    if (err == nullptr)
        return 0;
    bd_dev *dev = bd_open_verr(name, OS_PF_RDONLY | BD_OPEN_NBD, err);
    os_free(err);
    if (dev == nullptr)
        return 0;
    std::array<uint8_t, kDescriptorSize> buf{};
    int64_t n = bd_pread(dev, buf.data(), kDescriptorSize, kVolumeDescriptor);
    bd_close(dev);
    if (n < static_cast<int64_t>(kMagic[0].size()))
        return 0;
    for (const auto &magic : kMagic)
        if (memcmp(buf.data(), magic.data(), magic.size()) == 0)
            return 1;
    return 0;
}

bool bd_sector_size_valid(uint32_t size)
{
    return std::find(std::begin(kSectorSizes), std::end(kSectorSizes), size) != std::end(kSectorSizes);
}

uint32_t bd_sector_size_by_index(uint32_t index)
{
    return index >= 1 && index <= std::size(kSectorSizes) ? kSectorSizes[index - 1] : 0;
}

const char *bd_sector_sizes_text()
{
    return "512 1024 2048 4096";
}

uint32_t bd_size_type_of(uint32_t dev_type)
{
    if (dev_type == 5 || dev_type == 6)
        return BLOCK_SIZE_FIXED;
    if (dev_type == 2)
        return BLOCK_SIZE_EXTENSIBLE;
    return BLOCK_SIZE_UNLIMITED;
}

const char *bd_size_type_name(uint32_t size_type)
{
    constexpr const char *kNames[] = {"fixed size type", "extensible size type", "unlimited size type"};
    return size_type >= 1 && size_type <= 3 ? kNames[size_type - 1] : "error size type";
}

uint64_t bd_vol_size_fit(uint64_t dev_size, uint64_t start, uint64_t want)
{
    return start >= dev_size ? 0 : std::min(dev_size - start, want);
}
