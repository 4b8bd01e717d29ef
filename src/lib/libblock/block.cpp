// Block devices: names to open devices, windows, and the I/O through them.
#define ZLOG_TAG "mblock2"

#include "libblock/block.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "libblock/bd_cipher.h"
#include "libblock/bd_file.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "libpal/env/pl_init.h"
#include "libpal/os/os_xattr.h"
#include "libpal/string/str_enc.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "libqdcli/client.h"
#include "liblog/zlog.h"

#define BD_ERR(rec, code, ...) verr_set((rec), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)

namespace {

constexpr uint32_t kCipherUnit = 512;
constexpr size_t kKeyBytes = 64;
constexpr uint32_t kSectorSizes[] = {512, 1024, 2048, 4096};
constexpr int kCodeParam = -2;
constexpr int kCodeNoSpace = -152;

// Filled by bd_init on the main thread during start-up, read afterwards.
std::vector<const bd_drv *> g_plugins;
std::vector<const bd_drv *> g_builtin;
const bd_drv *g_default = nullptr;
bool g_init_done = false;
std::atomic<bd_vol_finder> g_vol_finder{nullptr};

// A parameter of the name's query, whole (no value is too long to be seen).
bool query_param(const char *url, const char *key, std::string &out)
{
    if (!url_has_query(url, key))
        return false;
    std::vector<char> buf(URL_BUF_SIZE);
    url_get_query_imp(url, key, "", buf.data(), buf.size());
    out.assign(buf.data());
    explicit_bzero(buf.data(), buf.size());  // it may be a key
    return true;
}

// The whole text as a decimal number with an optional sign; no blanks.
template <typename T>
bool parse_whole(const std::string &text, T &out)
{
    std::string_view t(text);
    if (!t.empty() && t.front() == '+')
        t.remove_prefix(1);
    if (t.empty())
        return false;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
    return ec == std::errc() && end == t.data() + t.size();
}

// A parameter text for an error message: short enough for a 4096-byte text.
std::string shown(const std::string &value)
{
    constexpr size_t kMax = 64;
    return value.size() <= kMax ? value : value.substr(0, kMax) + "...";
}

// Wipes a key's bytes (text and binary) when it goes out of scope.
struct key_wiper {
    void *p;
    size_t n;
    ~key_wiper() { explicit_bzero(p, n); }
};

// The open's parameters, read and checked before anything is opened.
struct open_params {
    uint64_t flags = 0;
    uint32_t sector_size = 0;
    int vol_idx = 0;
    int64_t sector_off = 0;
    bd_cipher *cipher = nullptr;
};

int attach_cipher(const char *url, open_params &p, verr *err)
{
    std::string alg;
    if (!query_param(url, "alg", alg) || alg.empty())
        return 0;
    ZLOG_DBG("cipher=[%s]\n", shown(alg).c_str());
    errno = 0;
    p.cipher = bd_cipher_new(alg.c_str());
    bool absent = p.cipher == nullptr && errno == ENOSYS;
    if (p.cipher == nullptr && !absent) {
        BD_ERR(err, kCodeParam, "Unsupported encryption algorithm: %s", shown(alg).c_str());
        return -1;
    }
    std::string key_text;
    query_param(url, "key", key_text);
    key_wiper text_wipe{key_text.data(), key_text.size()};
    std::array<uint8_t, kKeyBytes> key{};
    key_wiper key_wipe{key.data(), key.size()};
    size_t count = 0;
    if (!hex_decode_n(key_text.data(), key_text.size(), key.data(), key.size(), &count)) {
        // The key itself is never shown, even a malformed one.
        BD_ERR(err, kCodeParam, "invalid encryption key: %s",
               key_text.size() > 2 * kKeyBytes ? "(longer than 64 bytes)" : "(not hexadecimal)");
        return -1;
    }
    if (absent) {
        BD_ERR(err, kCodeParam, "encryption algorithm [%s] is not in this build", shown(alg).c_str());
        return -1;
    }
    bd_cipher_set_key(p.cipher, key.data());
    return 0;
}

int read_params(const char *url, open_params &p, verr *err)
{
    if (attach_cipher(url, p, err) != 0)
        return -1;
    std::string v;
    if (query_param(url, "flags", v)) {
        std::vector<char> text(v.begin(), v.end());
        text.push_back('\0');
        p.flags |= os_sflag2pf(text.data());
    }
    if (query_param(url, "sector_size", v) && !parse_whole(v, p.sector_size)) {
        BD_ERR(err, kCodeParam, "invalid sector_size=[%s]", shown(v).c_str());
        return -1;
    }
    if (query_param(url, "vol_idx", v) && !parse_whole(v, p.vol_idx)) {
        BD_ERR(err, kCodeParam, "invalid vol_idx=[%s]", shown(v).c_str());
        return -1;
    }
    if (p.vol_idx < 0) {
        BD_ERR(err, kCodeParam, "vol_idx=%d is not a volume index", p.vol_idx);
        return -1;
    }
    if (query_param(url, "sector_off", v) && (!parse_whole(v, p.sector_off) || p.sector_off < 0)) {
        BD_ERR(err, kCodeParam, "invalid sector_off=[%s]", shown(v).c_str());
        return -1;
    }
    return 0;
}

// The volume's byte range through the registered finder, which opens the
// medium itself: with vol_idx 0 in its name so that it sees the whole medium.
int find_volume(char *url, int index, bd_volume &vol, verr *err)
{
    bd_vol_finder finder = g_vol_finder.load();
    if (finder == nullptr) {
        BD_ERR(err, kCodeParam, "vol_idx=%d: volume lookup is not in this build", index);
        return -1;
    }
    std::vector<char> text(VERR_MSG_SIZE);
    url_set_query_int(url, "vol_idx", 0, set_exist);
    int rc = finder(url, index, &vol, text.data());
    url_set_query_int(url, "vol_idx", index, set_exist);
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
    os_free(dev->name);
    os_free(dev);
}

// Fails the open: the device's own record (when it holds the reason) to the
// caller's, then the device released.
bd_dev *open_fail(bd_dev *dev, verr *err, bool copy_dev_err)
{
    if (copy_dev_err && err != nullptr)
        verr_copy(err, &dev->err);
    if (dev->drv != nullptr)
        bd_close(dev);
    else
        dev_free(dev);
    return nullptr;
}

bd_dev *open_core(const char *name, uint64_t flags, uint64_t opaque, verr *err)
{
    if (name == nullptr) {
        BD_ERR(err, kCodeParam, "no name given");
        return nullptr;
    }
    size_t len = strnlen(name, URL_BUF_SIZE);
    if (len >= URL_BUF_SIZE) {
        BD_ERR(err, kCodeParam, "name too long (at most %d bytes)", URL_BUF_SIZE - 1);
        return nullptr;
    }
    std::vector<char> url(URL_BUF_SIZE), safe(URL_BUF_SIZE);
    key_wiper url_wipe{url.data(), url.size()};  // the name may carry a key
    if (conf_client_resolve_url(name, url.data(), err) != 0) {
        if (err != nullptr && err->msg[0] == '\0')
            BD_ERR(err, -1, "cannot resolve [%s]", url_safe_fmt(name, safe.data()));
        return nullptr;
    }
    qd_conf_get_timeouts(url.data());

    open_params p;
    p.flags = flags;
    bool has_query = strchr(url.data(), '?') != nullptr;
    if (has_query && read_params(url.data(), p, err) != 0) {
        if (p.cipher != nullptr)
            bd_cipher_free(p.cipher);
        return nullptr;
    }
    auto *dev = static_cast<bd_dev *>(os_zalloc(sizeof(bd_dev)));
    if (dev == nullptr) {
        if (p.cipher != nullptr)
            bd_cipher_free(p.cipher);
        BD_ERR(err, -8, "%s", verr2str(-8));
        return nullptr;
    }
    dev->cipher = p.cipher;
    dev->sector_size = has_query ? p.sector_size : kSectorSizes[0];
    if (p.vol_idx != 0) {
        bd_volume vol{};
        if (find_volume(url.data(), p.vol_idx, vol, err) != 0)
            return open_fail(dev, err, false);
        dev->vol_start = vol.start;
        dev->vol_size = vol.size;
    }
    for (const char *key : {"connect_timeout", "read_timeout", "write_timeout"})
        url_set_query_int(url.data(), key, key[0] == 'c' ? 6 : key[0] == 'r' ? 15 : 8, set_not_exist);

    bool plain = strstr(url.data(), "://") == nullptr;
    const bd_drv *drv = plain && !(p.flags & BD_OPEN_PROBE) ? g_default : drv_probe(url.data(), p.flags);
    if (drv == nullptr) {
        if (!g_init_done)
            BD_ERR(err, -37, "no driver: the block layer is not initialised (bd_init)");
        else
            BD_ERR(err, -37, "no driver for [%s]", url_safe_fmt(url.data(), safe.data()));
        return open_fail(dev, err, false);
    }
    ZLOG_DBG("open [%s] flag=0x%x vol_idx=%d vol_start=%lld vol_size=%lld drv_type=[%s]\n",
             url_safe_fmt(url.data(), safe.data()), static_cast<unsigned>(p.flags), p.vol_idx,
             static_cast<long long>(dev->vol_start), static_cast<long long>(dev->vol_size), drv->name);
    if (p.flags & BD_OPEN_PROBE)
        p.flags |= BD_OPEN_NBD;
    bd_open_param param{opaque, static_cast<uint32_t>(p.flags), dev, drv->priv, name};
    void *handle = drv->open(url.data(), &param);
    if (handle == nullptr)
        return open_fail(dev, err, true);
    dev->handle = handle;
    dev->drv = drv;

    uint32_t sector = 0;
    if (bd_ioctl(dev, BD_IOCTL_SECTOR_SIZE, &sector, sizeof(sector)) != 0)
        return open_fail(dev, err, true);
    dev->sector_size = sector;
    ZLOG_DBG("fsize=%lld sector_size=%d\n", static_cast<long long>(dev->fsize), static_cast<int>(sector));

    ZLOG_DBG("sector_offset=%lld\n", static_cast<long long>(p.sector_off));
    uint64_t offset = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(p.sector_off), uint64_t{sector}, &offset)) {
        BD_ERR(err, kCodeParam, "sector_off=%lld is too large", static_cast<long long>(p.sector_off));
        return open_fail(dev, err, false);
    }
    dev->sector_offset = offset;
    if (offset != 0 && offset >= dev->fsize) {
        BD_ERR(err, -1, "dev_offset=%llu >= %llu", static_cast<unsigned long long>(offset),
               static_cast<unsigned long long>(dev->fsize));
        return open_fail(dev, err, false);
    }
    if (bd_seek(dev, offset) != 0)
        return open_fail(dev, err, true);
    if (dev->vol_size != 0) {
        uint64_t start = 0;
        uint64_t size = 0;
        if (!__builtin_add_overflow(dev->vol_start, offset, &start))
            size = bd_vol_size_fit(dev->fsize, start, dev->vol_size);
        if (size == 0) {
            BD_ERR(err, -1, "volume size error [start=%llu size=%llu]", static_cast<unsigned long long>(start),
                   static_cast<unsigned long long>(dev->vol_size));
            return open_fail(dev, err, false);
        }
        dev->vol_start = start;
        dev->vol_size = size;
        ZLOG_DBG("1_vol_start=%lld vol_size=%lld\n", static_cast<long long>(start), static_cast<long long>(size));
    } else {
        dev->vol_start = offset;
        dev->vol_size = dev->fsize - offset;
        ZLOG_DBG("2_vol_start=%lld vol_size=%lld\n", static_cast<long long>(offset),
                 static_cast<long long>(dev->vol_size));
    }
    dev->name = os_strdup(name);
    if (dev->name == nullptr) {
        BD_ERR(err, -8, "%s", verr2str(-8));
        return open_fail(dev, err, false);
    }
    return dev;
}

// The byte range [offset, offset + len) must lie inside the window; checked
// without overflow before any I/O.
bool range_ok(bd_dev *dev, uint32_t len, uint64_t &offset, bool write)
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
    BD_ERR(&dev->err, write ? kCodeNoSpace : kCodeParam, "%s offset=%llu len=%u beyond the end %llu",
           write ? "write" : "read", static_cast<unsigned long long>(at), len, static_cast<unsigned long long>(end));
    return false;
}

bool write_slot_ok(bd_dev *dev)
{
    if (dev->drv->write != nullptr)
        return true;
    BD_ERR(&dev->err, -12, "%s", verr2str(-12));
    return false;
}

int64_t read_imp(bd_dev *dev, void *buf, uint32_t len, void *extra, uint64_t offset, bool zero)
{
    PL_ASSERT_RET(dev != nullptr && (buf != nullptr || len == 0), -1);
    if (!range_ok(dev, len, offset, false))
        return -1;
    if (dev->cipher != nullptr && bd_crypt_check(dev, len, offset) != 0)
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

int64_t write_imp(bd_dev *dev, void *buf, uint32_t len, void *extra, uint64_t offset, bool zero)
{
    PL_ASSERT_RET(dev != nullptr && (buf != nullptr || len == 0), -1);
    if (!write_slot_ok(dev) || !range_ok(dev, len, offset, true))
        return -1;
    if (zero)
        PL_ASSERT_RET(dev->drv->bdrv_writez != nullptr, -1);
    if (dev->cipher != nullptr) {
        if (bd_crypt_check(dev, len, offset) != 0)
            return -1;
        bd_cipher_encrypt(dev->cipher, static_cast<int64_t>(offset), buf, len);
    }
    if (zero)
        return dev->drv->bdrv_writez(dev, dev->handle, offset, buf, len, extra);
    return dev->drv->write(dev, dev->handle, offset, buf, len);
}

int not_in_build(bd_dev *dev, const char *what)
{
    ZLOG_ERR("%s is not in this build\n", what);
    if (dev != nullptr)
        BD_ERR(&dev->err, -12, "%s is not in this build", what);
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
    g_plugins.clear();
    g_builtin.clear();
    g_plugins.shrink_to_fit();
    g_builtin.shrink_to_fit();
    return 0;
}

int bd_load_plugins(const char *)
{
    return not_in_build(nullptr, "the plug-in loader");
}

int bd_load_conf_plugins(const char *)
{
    return not_in_build(nullptr, "the plug-in loader");
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
    if (len % kCipherUnit != 0) {
        ZLOG_ERR("len=%u err: must 512 alignment\n", len);
        BD_ERR(&dev->err, kCodeParam, "len=%u err: must 512 alignment", len);
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

int64_t bd_size(bd_dev *dev)
{
    PL_ASSERT_RET(dev != nullptr && dev->drv != nullptr, -1);
    return dev->drv->size(dev, dev->handle);
}

int bd_sync(bd_dev *dev)
{
    return bd_ioctl(dev, BD_IOCTL_SYNC, nullptr, 0);
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
        return not_in_build(dev, "the positioned-write tool");
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
    default:
        break;
    }
    return dev->drv->ioctl(dev, dev->handle, code, arg, arg_size);
}

int bd_volume_get(bd_dev *dev, bd_volume *out)
{
    return bd_ioctl(dev, BD_IOCTL_VOLUME, out, sizeof(*out));
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

int bd_hash_open(bd_dev *dev, const void *)
{
    return not_in_build(dev, "the file-hash tool");
}

int bd_hash_cal(bd_dev *dev, const void *)
{
    return not_in_build(dev, "the file-hash tool");
}

int bd_hash_digest(bd_dev *dev, void *)
{
    return not_in_build(dev, "the file-hash tool");
}

int bd_hash_presult(bd_dev *dev, void *)
{
    return not_in_build(dev, "the file-hash tool");
}

int bd_bcount_open(bd_dev *dev, const void *)
{
    return not_in_build(dev, "the byte-count tool");
}

int bd_bcount_cal(bd_dev *dev, const void *)
{
    return not_in_build(dev, "the byte-count tool");
}

int bd_pwritex_init(bd_dev *dev, uint32_t, uint64_t)
{
    return bd_ioctl(dev, BD_IOCTL_PWRITEX_INIT, nullptr, 0);
}

int bd_pwritex(bd_dev *dev, uint32_t, uint64_t, uint64_t)
{
    return bd_ioctl(dev, BD_IOCTL_PWRITEX, nullptr, 0);
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
