// File objects: path preparation, table choice, the three open forms, the
// dispatchers and controls, and the built-in device tables.
#include "libpal/os/os_file.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/random.h"
#include "libpal/os/os_path.h"
#include "libpal/os/os_xattr.h"
#include "libpal/os/posix/os_dev_info.h"
#include "libpal/os/posix/os_file_local.h"
#include "libpal/string/path.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

// Codes of the error table that named opens leave in errno.
constexpr int kVerrInvalidParam = -2;
constexpr int kVerrNotSupported = -37;

constexpr uint32_t kBuiltinBlockSize = 512;
constexpr int kTimeoutMinMs = 1000;
constexpr int kTimeoutMaxMs = 600000;

// The common slots of the built-in devices.
bool common_sync(uint64_t file)
{
    PL_ASSERT_RET(file, false);
    return true;
}

bool common_truncate(uint64_t file, uint64_t)
{
    PL_ASSERT_RET(file, false);
    return true;
}

int64_t common_seek(uint64_t file, int64_t, int)
{
    PL_ASSERT_RET(file, -1);
    return 0;
}

int64_t common_offset(uint64_t file)
{
    PL_ASSERT_RET(file, -1);
    return 0;
}

int64_t common_size(uint64_t file)
{
    PL_ASSERT_RET(file, 0);
    return 0;
}

bool common_ioctl(uint64_t file, uint32_t code, void *arg, uint64_t arg_size)
{
    PL_ASSERT_RET(file, false);
    switch (code) {
    case OS_FILE_GET_INFO: {
        if (!arg || arg_size < sizeof(os_file_info)) {
            errno = EINVAL;
            return false;
        }
        auto *info = static_cast<os_file_info *>(arg);
        info->type = OS_FILE_TYPE_BUILTIN;
        info->size = 0;
        info->offset = 0;
        info->block_size = kBuiltinBlockSize;
        info->name[0] = '\0';
        return true;
    }
    case OS_FILE_GET_ERR_CLASS:
        if (!arg || arg_size < sizeof(uint64_t)) {
            errno = EINVAL;
            return false;
        }
        *static_cast<uint64_t *>(arg) = 0;
        return true;
    default:
        return false;
    }
}

bool device_exit(uint64_t file)
{
    PL_ASSERT_RET(file, false);
    return true;
}

// The standard streams: the handle is the descriptor + 1; nothing is closed.
uint64_t stdin_init(const char *, uint64_t)
{
    return STDIN_FILENO + 1;
}

uint64_t stdout_init(const char *, uint64_t)
{
    return STDOUT_FILENO + 1;
}

uint64_t stderr_init(const char *, uint64_t)
{
    return STDERR_FILENO + 1;
}

int64_t stream_read(uint64_t file, void *buf, size_t count)
{
    PL_ASSERT_RET(file && buf, -1);
    return ::read(static_cast<int>(file - 1), buf, count);
}

int64_t stream_writ(uint64_t file, const void *buf, size_t count)
{
    PL_ASSERT_RET(file && buf, -1);
    return ::write(static_cast<int>(file - 1), buf, count);
}

bool stream_sync(uint64_t file)
{
    PL_ASSERT_RET(file, false);
    return fsync(static_cast<int>(file - 1)) == 0;
}

// The emulated devices hold the constant handle 1.
uint64_t device_init(const char *, uint64_t)
{
    return 1;
}

int64_t null_writ(uint64_t file, const void *buf, size_t count)
{
    PL_ASSERT_RET(file && buf, -1);
    return static_cast<int64_t>(count);
}

int64_t null_pwrit(uint64_t file, const void *buf, size_t count, uint64_t)
{
    PL_ASSERT_RET(file && buf, -1);
    return static_cast<int64_t>(count);
}

int64_t zero_read(uint64_t file, void *buf, size_t count)
{
    PL_ASSERT_RET(file && buf, -1);
    memset(buf, 0, count);
    return static_cast<int64_t>(count);
}

int64_t zero_pread(uint64_t file, void *buf, size_t count, uint64_t)
{
    return zero_read(file, buf, count);
}

int64_t random_read(uint64_t file, void *buf, size_t count)
{
    PL_ASSERT_RET(file && buf, -1);
    memory_random(buf, count);
    return static_cast<int64_t>(count);
}

int64_t random_pread(uint64_t file, void *buf, size_t count, uint64_t)
{
    return random_read(file, buf, count);
}

constexpr os_file_ops kStdinOps = {
    .name = "stdin", .init = stdin_init, .exit = device_exit, .read = stream_read,
    .sync = common_sync, .truncate = common_truncate, .seek = common_seek, .offset = common_offset,
    .size = common_size, .ioctl = common_ioctl,
};

constexpr os_file_ops kStdoutOps = {
    .name = "stdout", .init = stdout_init, .exit = device_exit, .writ = stream_writ,
    .sync = stream_sync, .truncate = common_truncate, .seek = common_seek, .offset = common_offset,
    .size = common_size, .ioctl = common_ioctl,
};

constexpr os_file_ops kStderrOps = {
    .name = "stderr", .init = stderr_init, .exit = device_exit, .writ = stream_writ,
    .sync = stream_sync, .truncate = common_truncate, .seek = common_seek, .offset = common_offset,
    .size = common_size, .ioctl = common_ioctl,
};

constexpr os_file_ops kNullOps = {
    .name = "null", .init = device_init, .exit = device_exit, .writ = null_writ, .pwrit = null_pwrit,
    .sync = common_sync, .truncate = common_truncate, .seek = common_seek, .offset = common_offset,
    .size = common_size, .ioctl = common_ioctl,
};

constexpr os_file_ops kZeroOps = {
    .name = "zero", .init = device_init, .exit = device_exit, .read = zero_read, .pread = zero_pread,
    .seek = common_seek, .offset = common_offset, .size = common_size, .ioctl = common_ioctl,
};

constexpr os_file_ops kRandomOps = {
    .name = "random", .init = device_init, .exit = device_exit, .read = random_read, .pread = random_pread,
    .seek = common_seek, .offset = common_offset, .size = common_size, .ioctl = common_ioctl,
};

// The names under "/dev/" that choose a built-in table, in the order compared.
constexpr std::array<const os_file_ops *, 7> kDevices = {
    &g_os_local_file_ops, &kStdinOps, &kStdoutOps, &kStderrOps, &kNullOps, &kZeroOps, &kRandomOps,
};

bool is_builtin_device(const os_file_ops *ops)
{
    return ops != &g_os_local_file_ops &&
           std::find(kDevices.begin(), kDevices.end(), ops) != kDevices.end();
}

constexpr size_t kMaxHooks = 4;
std::array<std::atomic<const os_file_hook *>, kMaxHooks> g_hooks{};

void ctx_free(os_file_ctx *ctx)
{
    os_free(ctx->path);
    os_free(ctx);
}
using ctx_ptr = pl_owned<os_file_ctx, ctx_free>;

ctx_ptr ctx_new()
{
    return ctx_ptr(static_cast<os_file_ctx *>(os_zalloc(sizeof(os_file_ctx))));
}

// The 4096-byte prepared path; false (errno ENAMETOOLONG) when it does not fit.
bool prepare_path(const char *path, char *out)
{
    if (!os_path_prepare(path, out))
        return false;
    std::array<char, PL_MAX_PATH> sys;
    os_path_to_sys(out, sys.data(), sys.size());
    str_safecopy(out, PL_MAX_PATH, sys.data());
    // The Windows name of the physical-memory device, once normalised.
    if (strcmp(out, "/./PhysicalMemory") == 0)
        str_safecopy(out, PL_MAX_PATH, "/dev/pmem");
    return true;
}

// Allocates, prepares the path, chooses the table and lets open_slot make the
// handle; the object records the caller's path.
template <typename Open>
os_file_ctx *open_with(const char *path, Open &&open_slot)
{
    if (!path) {
        errno = EINVAL;
        PL_ASSERT_RET(path, nullptr);
    }
    ctx_ptr ctx = ctx_new();
    if (!ctx)
        return nullptr;
    std::array<char, PL_MAX_PATH> prepared;
    if (!prepare_path(path, prepared.data()))
        return nullptr;
    const os_file_ops *ops = os_file_get_ops(prepared.data());
    ctx->handle = open_slot(ops, prepared.data());
    if (ctx->handle == 0)
        return nullptr;
    ctx->ops = ops;
    ctx->path = os_strdup(path);
    if (!ctx->path) {
        ops->exit(ctx->handle);
        errno = ENOMEM;
        return nullptr;
    }
    return ctx.release();
}

os_file_ctx *open_plain(const char *path, uint64_t flags)
{
    // Every table that a path can choose has an init slot.
    return open_with(path, [flags](const os_file_ops *ops, const char *prepared) {
        return ops->init(prepared, flags);
    });
}

os_file_ctx *open_named(const char *list, uint64_t flags)
{
    const char *parts[3] = {};
    size_t total = 0;
    int n = list ? str_split_zz(list, parts, 3, &total) : -1;
    if (n < 1) {
        os_set_errno_verr(kVerrInvalidParam);
        return nullptr;
    }
    if (n == 1)
        return open_plain(parts[0], flags);
    if (strcmp(parts[1], "X") != 0) {
        os_set_errno_verr(kVerrNotSupported);
        return nullptr;
    }
    ctx_ptr ctx = ctx_new();
    if (!ctx)
        return nullptr;
    ctx->handle = g_os_xattr_ops.open_named(parts[0], "X", n == 3 ? parts[2] : "", flags);
    if (ctx->handle == 0)
        return nullptr;
    ctx->ops = &g_os_xattr_ops;
    ctx->path = static_cast<char *>(os_memdup(list, total));
    if (!ctx->path) {
        g_os_xattr_ops.exit(ctx->handle);
        errno = ENOMEM;
        return nullptr;
    }
    return ctx.release();
}

}  // namespace

char *os_file_path_normalize(const char *path, char *out)
{
    prepare_path(path, out);
    return out;
}

const os_file_ops *os_file_get_ops(const char *path)
{
    for (const auto &slot : g_hooks) {
        const os_file_hook *hook = slot.load(std::memory_order_acquire);
        if (!hook)
            break;
        if (const os_file_ops *ops = hook->match(path))
            return ops;
    }
    if (strncmp(path, "/dev/", 5) == 0 || strncmp(path, "\\dev\\", 5) == 0) {
        std::string_view rest(path + 5);
        for (const os_file_ops *ops : kDevices) {
            if (rest == ops->name)
                return ops;
        }
    }
    return &g_os_local_file_ops;
}

os_file_ctx *os_file_open(const char *path, uint64_t flags)
{
    if (flags & OS_PF_NAMED)
        return open_named(path, flags);
    return open_plain(path, flags);
}

os_file_ctx *os_file_open_win(const char *path, uint32_t access, uint32_t share, void *,
                              uint32_t disposition, uint32_t attributes)
{
    return open_with(path, [=](const os_file_ops *ops, const char *prepared) {
        if (ops->open_disp)
            return ops->open_disp(prepared, access, share, disposition, attributes);
        return ops->init(prepared, os_winflag2pf(access, disposition));
    });
}

os_file_ctx *os_file_open_posix(const char *path, uint32_t flags, uint32_t mode)
{
    return open_with(path, [=](const os_file_ops *ops, const char *prepared) {
        if (ops->open_posix)
            return ops->open_posix(prepared, static_cast<uint32_t>(os_oflag2sysflag(flags)), mode);
        return ops->init(prepared, os_oflag2pf(flags));
    });
}

bool os_file_close(os_file_ctx *ctx)
{
    PL_ASSERT_RET(ctx, false);
    PL_ASSERT_RET(ctx->ops->exit, false);
    bool ok = ctx->ops->exit(ctx->handle);
    // A device name such as "/dev/null" is never removed: only what the
    // object's table stores in a file.
    if (ctx->delete_on_close && ctx->path && !is_builtin_device(ctx->ops)) {
        if (ctx->ops == &g_os_xattr_ops)
            os_remove_named(ctx->path);
        else
            os_remove(ctx->path);
    }
    ctx_free(ctx);
    return ok;
}

bool os_file_info_by_path(const char *path, os_file_info *info)
{
    os_file_ctx *ctx = os_file_open(path, OS_PF_RDONLY);
    if (!ctx)
        return false;
    bool ok = os_file_ioctl(ctx, OS_FILE_GET_INFO, info, sizeof(*info));
    os_file_close(ctx);
    return ok;
}

int64_t os_file_read(os_file_ctx *ctx, void *buf, size_t count)
{
    PL_ASSERT_RET(ctx, -1);
    PL_ASSERT_RET(ctx->ops->read, -1);
    return ctx->ops->read(ctx->handle, buf, count);
}

int64_t os_file_write(os_file_ctx *ctx, const void *buf, size_t count)
{
    PL_ASSERT_RET(ctx, -1);
    PL_ASSERT_RET(ctx->ops->writ, -1);
    return ctx->ops->writ(ctx->handle, buf, count);
}

int64_t os_file_pread(os_file_ctx *ctx, void *buf, size_t count, uint64_t offset)
{
    PL_ASSERT_RET(ctx, -1);
    PL_ASSERT_RET(ctx->ops->pread, -1);
    return ctx->ops->pread(ctx->handle, buf, count, offset);
}

int64_t os_file_pwrit(os_file_ctx *ctx, const void *buf, size_t count, uint64_t offset)
{
    PL_ASSERT_RET(ctx, -1);
    PL_ASSERT_RET(ctx->ops->pwrit, -1);
    return ctx->ops->pwrit(ctx->handle, buf, count, offset);
}

int64_t os_file_readv(os_file_ctx *ctx, const iovec *list, int count)
{
    PL_ASSERT_RET(ctx, -1);
    PL_ASSERT_RET(ctx->ops->readv, -1);
    return ctx->ops->readv(ctx->handle, list, count);
}

int64_t os_file_writv(os_file_ctx *ctx, const iovec *list, int count)
{
    PL_ASSERT_RET(ctx, -1);
    PL_ASSERT_RET(ctx->ops->writv, -1);
    return ctx->ops->writv(ctx->handle, list, count);
}

int64_t os_file_preadv(os_file_ctx *ctx, const iovec *list, int count, uint64_t offset)
{
    PL_ASSERT_RET(ctx, -1);
    PL_ASSERT_RET(ctx->ops->preadv, -1);
    return ctx->ops->preadv(ctx->handle, list, count, offset);
}

int64_t os_file_pwritv(os_file_ctx *ctx, const iovec *list, int count, uint64_t offset)
{
    PL_ASSERT_RET(ctx, -1);
    PL_ASSERT_RET(ctx->ops->pwritv, -1);
    return ctx->ops->pwritv(ctx->handle, list, count, offset);
}

bool os_file_fsync(os_file_ctx *ctx)
{
    PL_ASSERT_RET(ctx, false);
    PL_ASSERT_RET(ctx->ops->sync, false);
    return ctx->ops->sync(ctx->handle);
}

bool os_file_ftruncate(os_file_ctx *ctx, uint64_t length)
{
    PL_ASSERT_RET(ctx, false);
    PL_ASSERT_RET(ctx->ops->truncate, false);
    return ctx->ops->truncate(ctx->handle, length);
}

int64_t os_file_seek(os_file_ctx *ctx, int64_t offset, int whence)
{
    PL_ASSERT_RET(ctx, -1);
    PL_ASSERT_RET(ctx->ops->seek, -1);
    return ctx->ops->seek(ctx->handle, offset, whence);
}

int64_t os_file_offset(os_file_ctx *ctx)
{
    PL_ASSERT_RET(ctx, -1);
    PL_ASSERT_RET(ctx->ops->offset, -1);
    return ctx->ops->offset(ctx->handle);
}

int64_t os_file_size(os_file_ctx *ctx)
{
    PL_ASSERT_RET(ctx, -1);
    PL_ASSERT_RET(ctx->ops->size, -1);
    return ctx->ops->size(ctx->handle);
}

bool os_file_ioctl(os_file_ctx *ctx, uint32_t code, void *arg, uint64_t arg_size)
{
    if (!ctx)
        return false;
    PL_ASSERT_RET(ctx->ops->ioctl, false);
    bool ok = ctx->ops->ioctl(ctx->handle, code, arg, arg_size);
    if (code == OS_FILE_GET_INFO && arg && arg_size >= sizeof(os_file_info)) {
        auto *info = static_cast<os_file_info *>(arg);
        os_dev_info(nullptr, info->name, sizeof(info->name), ctx->path);
    }
    return ok;
}

bool os_file_stat(os_file_ctx *ctx, os_file_stat_info *info)
{
    return os_file_ioctl(ctx, OS_FILE_GET_STAT, info, sizeof(*info));
}

bool os_file_set_times(os_file_ctx *ctx, const os_file_times *times)
{
    return os_file_ioctl(ctx, OS_FILE_SET_TIMES, const_cast<os_file_times *>(times), sizeof(*times));
}

bool os_file_lock(os_file_ctx *ctx, uint32_t type, uint64_t offset, uint64_t length)
{
    os_file_lock_info lock = {type, offset, length};
    return os_file_ioctl(ctx, OS_FILE_LOCK, &lock, sizeof(lock));
}

bool os_file_chmod(os_file_ctx *ctx, uint32_t mode)
{
    return os_file_ioctl(ctx, OS_FILE_SET_MODE, reinterpret_cast<void *>(static_cast<uintptr_t>(mode)), 0);
}

bool os_file_chown(os_file_ctx *ctx, uint32_t uid, uint32_t gid)
{
    os_file_owner owner = {uid, gid};
    return os_file_ioctl(ctx, OS_FILE_SET_OWNER, &owner, sizeof(owner));
}

bool os_file_read_write_timeout(os_file_ctx *ctx, int is_read, int ms)
{
    if (ms < kTimeoutMinMs) {
        ZLOG_WARN("timeout=%ds fix=%ds error: too short\n", ms / 1000, kTimeoutMinMs / 1000);
        ms = kTimeoutMinMs;
    } else if (ms > kTimeoutMaxMs) {
        ZLOG_WARN("timeout=%ds fix=%ds error: too long\n", ms / 1000, kTimeoutMaxMs / 1000);
        ms = kTimeoutMaxMs;
    }
    uint32_t value = static_cast<uint32_t>(ms);
    return os_file_ioctl(ctx, is_read ? OS_FILE_SET_READ_TIMEOUT : OS_FILE_SET_WRITE_TIMEOUT, &value,
                         sizeof(value));
}

bool os_file_read_timeout(os_file_ctx *ctx, int ms)
{
    return os_file_read_write_timeout(ctx, 1, ms);
}

bool os_file_write_timeout(os_file_ctx *ctx, int ms)
{
    return os_file_read_write_timeout(ctx, 0, ms);
}

int os_file_hook_register(const os_file_hook *hook)
{
    for (auto &slot : g_hooks) {
        const os_file_hook *empty = nullptr;
        if (slot.compare_exchange_strong(empty, hook, std::memory_order_acq_rel))
            return 0;
    }
    return -1;
}

int os_file_fileno(const os_file_ctx *ctx)
{
    if (!ctx || ctx->handle == 0)
        return -1;
    return static_cast<int32_t>(ctx->handle - 1);
}

bool os_file_set_delete_on_close(os_file_ctx *ctx, bool flag)
{
    PL_ASSERT_RET(ctx, false);
    ctx->delete_on_close = flag ? 1 : 0;
    return true;
}

const char *os_file_get_path(const os_file_ctx *ctx)
{
    PL_ASSERT_RET(ctx, nullptr);
    return ctx->path;
}

int os_file_error_class(int kind, int error)
{
    constexpr int kMedium = 1, kGone = 2, kOther = 3;
    if (error == 0)
        return 0;
    if (kind == 1) {
        // Windows system errors: file not found, device gone; CRC, device I/O.
        switch (error) {
        case 55:
        case 2:
            return kGone;
        case 23:
        case 1117:
            return kMedium;
        default:
            return kOther;
        }
    }
    if (error == ENXIO)
        return kGone;
    if (error == EIO)
        return kMedium;
    return kOther;
}

int os_file_named_type(const char *list)
{
    if (!list)
        return -1;
    const char *parts[3] = {};
    int n = str_split_zz(list, parts, 3, nullptr);
    if (n < 1)
        return -1;
    if (n == 1)
        return 0;
    constexpr std::array<std::string_view, 3> kTypes = {"S", "A", "X"};
    for (size_t i = 0; i < kTypes.size(); i++) {
        if (kTypes[i] == parts[1])
            return static_cast<int>(i) + 1;
    }
    return -1;
}
