// Lookups by name: the medium is opened read-only through the block layer
// (which calls back here for "vol_idx"), read through its byte-range reads,
// and closed on every return.
#define ZLOG_TAG "part"

#include <cstdio>

#include "libblock/block.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "libpart/libpart.h"
#include "liblog/zlog.h"

// Every volume the readers find can be named by an export's "vol_idx".
static_assert(LIBPART_MAX_ENTRIES == BD_VOL_IDX_MAX);

namespace {

constexpr uint64_t k_open_flags = BD_OPEN_PROBE | 1;  // read-only, drivers probed
constexpr size_t   k_err_size   = 4096;

int64_t dev_read(void *h, void *buf, uint32_t len, uint64_t offset)
{
    return bd_read_bytes(static_cast<bd_dev *>(h), buf, len, offset);
}

const char *dev_errstr(void *h)
{
    return bd_errstr(static_cast<bd_dev *>(h));
}

}  // namespace

int libpart_get(const char *name, libpart_info *info, char *err)
{
    bd_dev *dev = bd_open(name, k_open_flags, err);
    if (dev == nullptr) {
        char safe[URL_BUF_SIZE];
        ZLOG_DBG("open [%s] error: %s\n", url_safe_fmt(name, safe), err);
        return -1;
    }
    bd_dev_info di{};
    if (bd_ioctl(dev, GET_DEV_INFO, &di, sizeof(di)) != 0) {
        str_safecopy2(err, k_err_size, bd_errstr(dev));
        bd_close(dev);
        return -1;
    }
    libpart_medium m{dev, dev_read, dev_errstr, di.size, di.sector_size, ""};
    str_safecopy2(m.name, sizeof(m.name), di.model);
    const int rc = libpart_get_medium(&m, info, err);
    bd_close(dev);
    return rc;
}

int libpart_vol_get(const char *name, int index, bd_volume *out, char *err)
{
    libpart_info info{};
    if (libpart_get(name, &info, err) != 0)
        return -1;
    int rc = -1;
    if (index >= 1 && static_cast<uint64_t>(index) <= info.count) {
        const libpart_entry *e = info.entries[index - 1];
        // A table's numbers are the medium's to give: a range that does not
        // fit in 64 bits is no volume.
        if (!__builtin_mul_overflow(e->start, info.sector_size, &out->start) &&
            !__builtin_mul_overflow(e->count, info.sector_size, &out->size)) {
            rc = 0;
        } else {
            snprintf(err, k_err_size, "vol_idx=%d: volume out of range", index);
        }
    } else {
        snprintf(err, k_err_size, "vol_idx=%d valid values: 1-%d", index, static_cast<int>(info.count));
    }
    libpart_free(&info);
    return rc;
}

void libpart_init()
{
    bd_set_vol_finder(libpart_vol_get);
}
