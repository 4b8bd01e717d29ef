// The log file sink.
#include "liblog/log_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "libbsv/bsv.h"
#include "libbsvf/bsvf_pcap.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_thread_name.h"
#include "libpal/os/os_init.h"
#include "libpal/os/os_path.h"
#include "libpal/os/os_time_str.h"
#include "libpal/string/path.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpal/vfile/vfile.h"
#include "liblog/log2.h"

namespace {

constexpr uint32_t k_form_pcap = 1;
constexpr uint32_t k_form_text = 2;
constexpr uint32_t k_share = 0x20;
constexpr size_t k_path_size = 4096;
constexpr size_t k_prefix_size = 8192;
constexpr size_t k_name_size = 256;

struct os_free_deleter {
    void operator()(void *p) const { os_free(p); }
};

// The stream is opened readable too, so that the size cap can read back the
// tail it keeps.
VFILE *open_stream(const char *path, const char *mode)
{
    char rw[4];
    str_sprintf_s2(rw, sizeof(rw), "%c+", mode[0]);
    return qdfile_fopen_share(path, rw, k_share);
}

void close_stream(log_file *file)
{
    if (file->fp != nullptr) {
        qdfile_fclose(file->fp);
        file->fp = nullptr;
    }
}

// The file is re-created when it was removed or moved away from outside.
bool ensure_stream(log_file *file)
{
    if (file->fp != nullptr && os_file_exist(file->path) == 1)
        return true;
    close_stream(file);
    file->fp = open_stream(file->path, "a");
    return file->fp != nullptr;
}

bool write_all(VFILE *fp, const char *prefix, const char *text, size_t len)
{
    qdfile_fputs(prefix, fp);
    qdfile_fwrite(text, 1, len, fp);
    qdfile_fflush(fp);
    return qdfile_ferror(fp) == 0;
}

// Keeps the newest half of a file that reached its cap, starting after the
// first line end within it (all of it when it holds none).
void apply_cap(log_file *file)
{
    if (qdfile_fseek(file->fp, 0, SEEK_END) != 0)
        return;
    const int64_t size = qdfile_ftell(file->fp);
    if (size < static_cast<int64_t>(file->cap))
        return;
    const size_t half = file->cap / 2;
    std::unique_ptr<char, os_free_deleter> tail(static_cast<char *>(os_malloc(half)));
    if (!tail || qdfile_fseek(file->fp, size - static_cast<int64_t>(half), SEEK_SET) != 0)
        return;
    const size_t got = qdfile_fread(tail.get(), 1, half, file->fp);
    if (got == 0)
        return;
    close_stream(file);
    file->fp = open_stream(file->path, "w");
    if (file->fp == nullptr)
        return;
    const char *nl = static_cast<const char *>(memchr(tail.get(), '\n', got));
    const char *from = nl != nullptr ? nl + 1 : tail.get();
    qdfile_fwrite(from, 1, got - static_cast<size_t>(from - tail.get()), file->fp);
    qdfile_fflush(file->fp);
    qdfile_fseek(file->fp, 0, SEEK_END);
}

// Every record of the process goes to the pcap file from now on; mode "a"
// appends to an existing one.
int open_pcap(log_file *file, const char *full)
{
    file->form = k_form_pcap;
    log2_diag_printf("pcap_fopen=%s\n", full);
    const int type = bsv_log_type_id();
    file->pcap = file->mode[0] == 'a' ? bsvf_pcap_append(full, type) : bsvf_pcap_create(full, type);
    if (file->pcap == nullptr) {
        log2_diag_printf("bsvf_pcap_file %s err\n", full);
        fprintf(stderr, "log file %s cannot be opened: %s\n", full, strerror(errno));
        return -1;
    }
    bsv_set_file_cb(log_file_pcap_cb, file);
    return 0;
}

}  // namespace

void log_file_init(log_file *file)
{
    memset(file, 0, sizeof(*file));
    str_safecopy2(file->mode, sizeof(file->mode), "w");
    file->cap = LOG_FILE_DEFAULT_CAP;
    file->form = k_form_text;
}

int log_file_set_mode(log_file *file, const char *mode)
{
    if (mode == nullptr || (strcmp(mode, "a") != 0 && strcmp(mode, "w") != 0)) {
        log2_diag_printf("mode %s err\n", mode != nullptr ? mode : "");
        return -1;
    }
    str_safecopy2(file->mode, sizeof(file->mode), mode);
    return 0;
}

int log_file_set_dir(log_file *file, const char *dir)
{
    if (dir == nullptr || dir[0] == '\0') {
        file->dir[0] = '\0';
        return 0;
    }
    if (path_is_absolute(dir)) {
        str_safecopy2(file->dir, sizeof(file->dir), dir);
    } else {
        char exe_dir[k_path_size] = "";
        os_exe_get_dir(exe_dir, sizeof(exe_dir));
        path_build(file->dir, exe_dir, dir);
    }
    if (os_mkdirs(file->dir) != 0) {
        log2_diag_printf("os_mkdirs %s failed\n", file->dir);
        fprintf(stderr, "log file directory %s cannot be created: %s\n", file->dir, strerror(errno));
    }
    return 0;
}

int log_file_set_size(log_file *file, uint32_t cap)
{
    file->cap = std::max(cap, LOG_FILE_MIN_CAP);
    return 0;
}

int log_file_del_old(log_file *file, int keep)
{
    if (keep <= 1 || file->dir[0] == '\0' || file->pattern[0] == '\0')
        return 0;
    // The name pattern may carry directories of its own below file_dir: the
    // old files lie beside the file, and only its last component is a name.
    char where[k_path_size];
    const char *base = strrchr(file->pattern, '/');
    if (base == nullptr) {
        str_safecopy2(where, sizeof(where), file->dir);
        base = file->pattern;
    } else {
        char sub[k_path_size];
        str_safecopy2(sub, std::min(sizeof(sub), static_cast<size_t>(base - file->pattern) + 1), file->pattern);
        if (path_is_absolute(file->pattern))
            str_safecopy2(where, sizeof(where), sub);
        else
            path_build(where, file->dir, sub);
        base++;
    }
    os_dir_glob_del_old_file(where, base, static_cast<uint32_t>(keep));
    return 0;
}

int log_file_open(log_file *file, const char *path)
{
    log_file_close(file);
    file->path[0] = '\0';
    char expanded[k_path_size];
    if (path == nullptr || str_expand_vars_env_buf(path, expanded, sizeof(expanded)) != 0 || expanded[0] == '\0') {
        fprintf(stderr, "log file %s cannot be opened: the name is empty or too long\n", path != nullptr ? path : "");
        return -1;
    }
    if (str_expand_vars_mask_buf(path, file->pattern, sizeof(file->pattern)) != 0)
        file->pattern[0] = '\0';
    char full[k_path_size];
    if (!path_is_absolute(expanded) && file->dir[0] != '\0')
        str_sprintf_s2(full, sizeof(full), "%s%c%s", file->dir, '/', expanded);
    else
        str_safecopy2(full, sizeof(full), expanded);

    const size_t n = strlen(full);
    if (n >= 5 && strcmp(full + n - 5, ".pcap") == 0) {
        if (open_pcap(file, full) != 0)
            return -1;
    } else {
        file->form = k_form_text;
        log2_diag_printf("log_fopen=%s\n", full);
        file->fp = open_stream(full, file->mode);
        if (file->fp == nullptr) {
            log2_diag_printf("fopen %s err\n", full);
            fprintf(stderr, "log file %s cannot be opened: %s\n", full, strerror(errno));
            return -1;
        }
    }
    os_realpath(full, file->path);
    if (file->path[0] == '\0')
        str_safecopy2(file->path, sizeof(file->path), full);
    log2_diag_printf("log_file_path=%s\n", file->path);
    return 0;
}

void log_file_close(log_file *file)
{
    close_stream(file);
    if (file->pcap != nullptr) {
        // Once the setter returns no record is being written to the file.
        bsv_set_file_cb(nullptr, nullptr);
        bsvf_pcap_close(file->pcap);
        file->pcap = nullptr;
    }
}

void log_file_pcap_cb(uint32_t level, const void *rec, uint32_t len, void *arg)
{
    (void)level;
    auto *file = static_cast<log_file *>(arg);
    if (file == nullptr || file->pcap == nullptr)
        return;
    bsvf_pcap_write(file->pcap, rec, len);
    bsvf_pcap_set_fsize(file->pcap, file->cap);
    bsvf_pcap_flush(file->pcap);
}

int log_file_write(log_file *file, int level, const char *tag, const char *text, int len)
{
    if (file->form != k_form_text || file->path[0] == '\0' || text == nullptr)
        return -1;
    if (!ensure_stream(file))
        return -1;
    char now[64];
    os_now_cstr(OS_TIME_DATE_TIME_US, now, sizeof(now));
    char name[k_name_size] = "";
    os_thread_name_get(name, sizeof(name));
    char prefix[k_prefix_size];
    str_sprintf_s2(prefix, sizeof(prefix), "%s %-5s %d --- [%s] %s ", now, log2_level_prefix(level),
                   static_cast<int>(getpid()), name, tag != nullptr ? tag : "");
    const size_t n = len < 0 ? strlen(text) : static_cast<size_t>(len);

    if (!write_all(file->fp, prefix, text, n)) {
        log2_diag_printf("log_file_write: fwrite error\n");
        close_stream(file);
        file->fp = open_stream(file->path, "a");
        if (file->fp == nullptr)
            return -1;
        if (!write_all(file->fp, prefix, text, n)) {
            close_stream(file);
            return -1;
        }
    }
    apply_cap(file);
    return 0;
}

const char *log_file_get_path(const log_file *file)
{
    return file->path;
}

uint32_t log_file_get_size(const log_file *file)
{
    return file->cap;
}

int log_file_fileno(const log_file *file)
{
    if (file->fp != nullptr)
        return qdfile_fileno(file->fp);
    if (file->pcap != nullptr && file->pcap->dumper->fp != nullptr)
        return fileno(file->pcap->dumper->fp);
    return -1;
}
