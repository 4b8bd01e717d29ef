// The line log and the "log.level" set-variable.
#include "liblog/flog.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <vector>

#define ZLOG_TAG "tag"
#include "liblog/zlog.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/os/os_time_str.h"
#include "libpal/string/str_safe.h"
#include "libpal/value/var_mgr.h"

namespace {

struct flog_lock {
    explicit flog_lock(os_mutex *m) : mutex(m) { mutex_lock(mutex); }
    ~flog_lock() { mutex_unlock(mutex); }
    flog_lock(const flog_lock &) = delete;
    flog_lock &operator=(const flog_lock &) = delete;
    os_mutex *mutex;
};

int write_flush(FILE *stream, const char *text, size_t len)
{
    fwrite(text, 1, len, stream);
    fflush(stream);
    return ferror(stream) != 0 ? -1 : 0;
}

// Keeps the newest half of the file: the bytes after the first newline of its
// last max_size/2 bytes, so the file starts on a whole line. Without a newline
// there the whole half is kept. Any failure leaves the file as it is.
void keep_newest_half(flog *log)
{
    long end = ftell(log->stream);
    long keep = static_cast<long>(log->max_size / 2);
    if (end < 0 || keep <= 0 || keep > end)
        return;
    std::vector<char> tail;
    try {
        tail.resize(static_cast<size_t>(keep));
    } catch (const std::bad_alloc &) {
        return;
    }
    if (fseek(log->stream, end - keep, SEEK_SET) != 0 || fread(tail.data(), 1, tail.size(), log->stream) != tail.size()) {
        fseek(log->stream, 0, SEEK_END);
        return;
    }
    const char *from = tail.data();
    const void *nl = std::memchr(tail.data(), '\n', tail.size());
    if (nl != nullptr)
        from = static_cast<const char *>(nl) + 1;
    fclose(log->stream);
    log->stream = fopen(log->path, "w+");
    if (log->stream == nullptr)
        return;
    fwrite(from, 1, static_cast<size_t>(tail.data() + tail.size() - from), log->stream);
    fflush(log->stream);
    fseek(log->stream, 0, SEEK_END);
}

int flog_write_imp(flog *log, const char *text, size_t len)
{
    if (log->stream == nullptr)
        return -1;
    if (write_flush(log->stream, text, len) != 0) {
        fclose(log->stream);
        log->stream = fopen(log->path, "a+");
        if (log->stream == nullptr || write_flush(log->stream, text, len) != 0)
            return -1;
    }
    if (log->max_size == 0)
        return 0;
    if (fseek(log->stream, 0, SEEK_END) != 0)
        return 0;
    long pos = ftell(log->stream);
    if (pos >= 0 && static_cast<uint64_t>(pos) >= log->max_size)
        keep_newest_half(log);
    return 0;
}

}  // namespace

flog *flog_open(const char *path, const flog_opts *opts)
{
    if (path == nullptr)
        return nullptr;
    FILE *stream = fopen(path, "a+");
    if (stream == nullptr) {
        ZLOG_DBG("fopen %s error: %s\n", path, strerror(errno));
        return nullptr;
    }
    auto *log = static_cast<flog *>(os_malloc(sizeof(flog)));
    char *copy = static_cast<char *>(os_malloc(strlen(path) + 1));
    os_mutex *mutex = mutex_malloc();
    if (log == nullptr || copy == nullptr || mutex == nullptr) {
        os_free(log);
        os_free(copy);
        if (mutex != nullptr)
            mutex_free(mutex);
        fclose(stream);
        return nullptr;
    }
    std::memcpy(copy, path, strlen(path) + 1);
    *log = flog{stream, copy, opts != nullptr ? opts->max_size : 0, 0, opts != nullptr ? opts->opts : 0, mutex};
    return log;
}

int flog_write(flog *log, const char *text, size_t len)
{
    if (log == nullptr || text == nullptr)
        return -1;
    flog_lock lock(log->mutex);
    if ((log->opts & FLOG_OPT_TIME) != 0 && log->stream != nullptr) {
        char stamp[128];
        os_now_cstr(OS_TIME_DATE_TIME, stamp, sizeof(stamp));
        str_safecat(stamp, sizeof(stamp), " ");
        fwrite(stamp, 1, strlen(stamp), log->stream);
    }
    int rc = flog_write_imp(log, text, len);
    log->last_result = static_cast<uint32_t>(rc);
    return rc;
}

int flog_printf(flog *log, const char *fmt, ...)
{
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    int n = str_vsprintf_s2(text, sizeof(text), fmt, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    return flog_write(log, text, strlen(text));
}

int flog_last_result(const flog *log) { return log != nullptr ? static_cast<int>(log->last_result) : -1; }

int flog_close(flog *log)
{
    if (log == nullptr)
        return -1;
    os_free(log->path);
    if (log->stream != nullptr)
        fclose(log->stream);
    mutex_free(log->mutex);
    os_free(log);
    return 0;
}

int log_level_var_get(char *buf, size_t size)
{
    str_safecopy(buf, size, log2_get_level_str(nullptr));
    return 0;
}

int log_level_var_set(const char *value, char *err)
{
    if (log2_set_level_str(nullptr, value) != 0) {
        if (err != nullptr)
            str_sprintf_s2(err, DVAR_ERR_SIZE, "invalid param [%s]\n", value);
        return -1;
    }
    return 0;
}

int log_level_var_add(dvar_mgr *mgr)
{
    // Built once, on the main thread at shell start-up; the registry keeps its address.
    static dvar var = {"log.level", DVAR_TYPE_ENUM, log2_level_names(), "Set log output level", log_level_var_set,
                       log_level_var_get, {}};
    return dvar_mgr_add(mgr, &var);
}
