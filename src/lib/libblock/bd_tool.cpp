// The block layer's tools: the device's positioned read, write and error
// copy handed to the platform's hashing, counting and writing tools.
#define ZLOG_TAG "mblock2"

#include "libblock/bd_tool.h"

#include <cstring>
#include <memory>
#include <new>

#include "libpal/env/pl_assert.h"

#define BD_ERR(rec, code, ...) verr_set((rec), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)

namespace {

constexpr int kCodeParam = -2;
constexpr int kCodeNoMem = -8;

bd_dev *dev_of(void *handle)
{
    return static_cast<bd_dev *>(handle);
}

// The tools ask for at most 64 MiB at once.
int64_t dev_read(void *handle, void *buf, size_t count, uint64_t offset)
{
    return bd_pread(dev_of(handle), buf, static_cast<uint32_t>(count), offset);
}

int dev_error(void *handle, verr *err)
{
    return bd_error_copy(dev_of(handle), err);
}

// bd_pwrite encrypts its buffer in place; the executor's buffer must stay
// clear text for the chunks after this one.
int64_t dev_write(void *handle, const void *buf, size_t count, uint64_t offset)
{
    bd_dev *dev = dev_of(handle);
    const auto len = static_cast<uint32_t>(count);
    if (dev->cipher == nullptr)
        return bd_pwrite(dev, const_cast<void *>(buf), len, offset);
    std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[count]);
    if (!copy) {
        BD_ERR(&dev->err, kCodeNoMem, "%s", verr2str(kCodeNoMem));
        return -1;
    }
    memcpy(copy.get(), buf, count);
    return bd_pwrite(dev, copy.get(), len, offset);
}

// Remote drivers run the tools themselves unless the request says local.
bool to_driver(const bd_dev *dev, uint8_t local)
{
    return dev->drv->type == BD_DRV_TYPE_REMOTE && local == 0;
}

template <typename T>
int driver_request(bd_dev *dev, uint32_t code, const T *req)
{
    return bd_ioctl(dev, code, const_cast<T *>(req), sizeof(T));
}

// Opens a job on the device: a remote driver's own tool (code) unless the
// request asks for the local one; else this layer's tool over the device's
// reads, replacing the job before. open(param) makes the tool.
template <typename Req, typename Tool, typename Open>
int tool_open(bd_dev *dev, const Req *req, uint8_t bd_dev::*local, Tool *bd_dev::*tool, uint32_t code,
              int (*close)(Tool *), const Open &open)
{
    PL_ASSERT_RET(dev != nullptr && dev->drv != nullptr && req != nullptr, -1);
    dev->*local = req->local;
    if (to_driver(dev, req->local))
        return driver_request(dev, code, req);
    close(dev->*tool);
    dev->*tool = nullptr;
    auto param = req->param;
    param.handle = dev;
    param.read = dev_read;
    param.on_error = dev_error;
    dev->*tool = open(param);
    return dev->*tool != nullptr ? 0 : -1;
}

// A call on the device's job: to the remote driver's tool (code) when the
// job went there, else run(tool) on this layer's tool, which must be open.
template <typename Req, typename Tool, typename Run>
int tool_call(bd_dev *dev, const Req *req, uint8_t bd_dev::*local, Tool *bd_dev::*tool, uint32_t code,
              const char *what, const Run &run)
{
    PL_ASSERT_RET(dev != nullptr && dev->drv != nullptr && req != nullptr, -1);
    if (to_driver(dev, dev->*local))
        return driver_request(dev, code, req);
    if (dev->*tool == nullptr) {
        BD_ERR(&dev->err, kCodeParam, "no %s job on this device: open one first", what);
        return -1;
    }
    return run(dev->*tool);
}

}  // namespace

int bd_hash_open(bd_dev *dev, const bd_hash_req *req)
{
    return tool_open(dev, req, &bd_dev::hash_local, &bd_dev::hash, BD_IOCTL_HASH_OPEN, file_hash_close,
                     [dev](file_hash_param &param) -> file_hash_ctx * {
                         const int64_t window = bd_size(dev);
                         if (window < 0)
                             return nullptr;
                         // Reads must stay inside the window: bd_pread refuses one that crosses it.
                         if (param.total_size <= 0 || param.total_size > window)
                             param.total_size = window;
                         return file_hash_open(&param, &dev->err);
                     });
}

int bd_hash_cal(bd_dev *dev, const bd_range_req *req)
{
    return tool_call(dev, req, &bd_dev::hash_local, &bd_dev::hash, BD_IOCTL_HASH_CAL, "hash",
                     [req](file_hash_ctx *t) { return file_hash_cal(t, req->offset, req->len); });
}

int bd_hash_digest(bd_dev *dev, const bd_hash_digest_req *req)
{
    return tool_call(dev, req, &bd_dev::hash_local, &bd_dev::hash, BD_IOCTL_HASH_DIGEST, "hash",
                     [dev, req](file_hash_ctx *t) {
                         if (file_hash_get_digest(t, req->flag, req->out, req->size) == 0)
                             return 0;
                         BD_ERR(&dev->err, kCodeParam, "no digest for flag=0x%x in %u bytes", req->flag, req->size);
                         return -1;
                     });
}

int bd_hash_presult(bd_dev *dev, const bd_hash_presult_req *req)
{
    return tool_call(dev, req, &bd_dev::hash_local, &bd_dev::hash, BD_IOCTL_HASH_PRESULT, "hash",
                     [dev, req](file_hash_ctx *t) {
                         if (file_hash_get_presult(t, req->out, req->size) == 0)
                             return 0;
                         BD_ERR(&dev->err, kCodeParam, "the per-block results do not fit in %u bytes", req->size);
                         return -1;
                     });
}

int bd_bcount_open(bd_dev *dev, const bd_bcount_req *req)
{
    return tool_open(dev, req, &bd_dev::bcount_local, &bd_dev::bcount, BD_IOCTL_BCOUNT_OPEN, file_bcount_close,
                     [dev](file_bcount_param &param) { return file_bcount_open(&param, &dev->err); });
}

int bd_bcount_cal(bd_dev *dev, const bd_range_req *req)
{
    return tool_call(dev, req, &bd_dev::bcount_local, &bd_dev::bcount, BD_IOCTL_BCOUNT_CAL, "byte-count",
                     [req](file_bcount_ctx *t) { return file_bcount_cal(t, req->offset, req->len); });
}

int bd_pwritex_init(bd_dev *dev, uint32_t fill, uint64_t buffer_size)
{
    bd_pwritex_init_arg arg{fill, buffer_size};
    return bd_ioctl(dev, BD_IOCTL_PWRITEX_INIT, &arg, sizeof(arg));
}

int bd_pwritex(bd_dev *dev, uint32_t unused, uint64_t len, uint64_t offset)
{
    bd_pwritex_arg arg{unused, offset, len};
    return bd_ioctl(dev, BD_IOCTL_PWRITEX, &arg, sizeof(arg));
}

int bd_pwritex_ioctl(bd_dev *dev, uint32_t code, void *arg, uint32_t arg_size)
{
    PL_ASSERT_RET(dev != nullptr, -1);
    if (code == BD_IOCTL_PWRITEX_INIT) {
        if (arg == nullptr || arg_size < sizeof(bd_pwritex_init_arg)) {
            BD_ERR(&dev->err, kCodeParam, "%s", verr2str(kCodeParam));
            return -1;
        }
        const auto *a = static_cast<const bd_pwritex_init_arg *>(arg);
        dev->pwx.write = dev_write;
        dev->pwx.on_error = dev_error;
        dev->pwx.err = &dev->err;
        return pwritex_init(&dev->pwx, dev, a->fill, a->size);
    }
    if (arg == nullptr || arg_size < sizeof(bd_pwritex_arg)) {
        BD_ERR(&dev->err, kCodeParam, "%s", verr2str(kCodeParam));
        return -1;
    }
    if (dev->pwx.buf == nullptr) {
        BD_ERR(&dev->err, kCodeParam, "no positioned-write buffer on this device: control %u first",
               BD_IOCTL_PWRITEX_INIT);
        return -1;
    }
    const auto *a = static_cast<const bd_pwritex_arg *>(arg);
    return pwritex_exec(&dev->pwx, a->len, a->offset) < 0 ? -1 : 0;
}

void bd_tool_release(bd_dev *dev)
{
    if (dev == nullptr)
        return;
    file_hash_close(dev->hash);
    dev->hash = nullptr;
    file_bcount_close(dev->bcount);
    dev->bcount = nullptr;
    if (dev->pwx.buf != nullptr)
        pwritex_free(&dev->pwx);
}
