// The log file sink.
#include "liblog/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "libbsv/bsv.h"
#include "libbsvf/bsvf_pcap.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/os_thread_name.h"
#include "libpal/os/os_init.h"
#include "libpal/os/os_path.h"
#include "libpal/os/os_time_str.h"
#include "libpal/string/path.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpal/vfile/vfile.h"
#include "liblog/log2.h"

// A cut of a file that reached its cap: the kept part is copied to
// "<path>.cut" (inline for a small file, else on the cut's own thread) and
// renamed over the file by the log call that finds the copy done.
struct log_file_cut {
    std::thread worker;
    std::atomic<bool> done{false};
    bool ok = false;
    uint32_t form = 0;
    char path[4096] = "";
    char tmp[4096] = "";
    int64_t size = 0;  // the file's size when the cut began
    int64_t stop = 0;  // kept from the first line or record end at or after this offset
    int64_t kept = 0;  // the copy's size
    pcap_head head{};  // the pcap form's header, for the walk
    std::string held;  // what came meanwhile: lines, or records each after its u32 length
    size_t held_cap = 0;
};

namespace {

constexpr uint32_t k_form_pcap = 1;
constexpr uint32_t k_form_text = 2;
constexpr uint32_t k_share = 0x20;
constexpr size_t k_path_size = 4096;
constexpr size_t k_prefix_size = 8192;
constexpr size_t k_name_size = 256;
// After a write that failed, the sink rests this long: a full disk is not
// asked again on every line.
constexpr uint64_t k_rest_ms = 1000;
// The daemonizer's umask 0 would make a log file world-writable.
constexpr mode_t k_file_mode = 0644;
// A file this small is cut inline: one read and one write, the cost of a
// line. A larger one is copied by the cut's thread.
constexpr int64_t k_inline_cut = 16384;
constexpr size_t k_copy_chunk = 65536;
constexpr const char *k_cut_suffix = ".cut";

bool file_exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

void give_mode(int fd, bool existed)
{
    if (fd >= 0 && !existed && fchmod(fd, k_file_mode) != 0)
        log2_diag_printf("fchmod: %s\n", strerror(errno));
}

// The stream is opened readable too, so that the size cap can read back the
// tail it keeps.
VFILE *open_stream(const char *path, const char *mode)
{
    char rw[4];
    str_sprintf_s2(rw, sizeof(rw), "%c+", mode[0]);
    const bool existed = file_exists(path);
    VFILE *fp = qdfile_fopen_share(path, rw, k_share);
    if (fp != nullptr)
        give_mode(qdfile_fileno(fp), existed);
    return fp;
}

void close_stream(log_file *file)
{
    if (file->fp != nullptr) {
        qdfile_fclose(file->fp);
        file->fp = nullptr;
    }
}

// Opens the text file for appending; its size is what it holds.
bool reopen_text(log_file *file)
{
    close_stream(file);
    file->fp = open_stream(file->path, "a");
    if (file->fp == nullptr)
        return false;
    struct stat st;
    file->size = fstat(qdfile_fileno(file->fp), &st) == 0 ? st.st_size : 0;
    return true;
}

// The file is re-created when it was removed or moved away from outside.
bool ensure_stream(log_file *file)
{
    if (file->fp != nullptr && os_file_exist(file->path) == 1)
        return true;
    return reopen_text(file);
}

// Cuts the file back to size bytes (its last whole line or record, or the
// kept part after a cut) and opens it again. The stream is closed first: a
// failed write may leave part of a line in it, which must not be flushed
// after the cut.
bool cut_back(log_file *file, int64_t size)
{
    const bool existed = file_exists(file->path);
    if (file->form == k_form_pcap) {
        pcap_dumper *d = file->pcap->dumper;
        if (pcap_dump_reopen(d, size) != 0)
            return false;
        give_mode(fileno(d->fp), existed);
        file->size = d->size;
        return true;
    }
    close_stream(file);
    struct stat st;
    if (stat(file->path, &st) == 0 && st.st_size > size && truncate(file->path, size) != 0)
        return false;
    return reopen_text(file);
}

bool write_all(VFILE *fp, const char *prefix, const char *text, size_t len)
{
    qdfile_fputs(prefix, fp);
    qdfile_fwrite(text, 1, len, fp);
    qdfile_fflush(fp);
    return qdfile_ferror(fp) == 0;
}

// One line at the end of the text file. A failed write is cut back and
// tried once more; failing again, the sink rests.
bool write_text(log_file *file, const char *prefix, const char *text, size_t n, uint64_t now)
{
    const int64_t whole = static_cast<int64_t>(strlen(prefix) + n);
    for (int attempt = 0; attempt < 2; attempt++) {
        if (write_all(file->fp, prefix, text, n)) {
            file->size += whole;
            return true;
        }
        log2_diag_printf("log_file_write: fwrite error\n");
        if (!cut_back(file, file->size))
            break;
    }
    close_stream(file);
    file->retry_ms = now + k_rest_ms;
    return false;
}

void line_prefix(int level, const char *tag, char *prefix)
{
    char now[64];
    os_now_cstr(OS_TIME_DATE_TIME_US, now, sizeof(now));
    char name[k_name_size] = "";
    os_thread_name_get(name, sizeof(name));
    str_sprintf_s2(prefix, k_prefix_size, "%s %-5s %d --- [%s] %s ", now, log2_level_prefix(level),
                   static_cast<int>(getpid()), name, tag != nullptr ? tag : "");
}

// The text file says how many lines it lost before the next one it keeps.
bool write_lost(log_file *file, uint64_t now)
{
    if (file->lost == 0)
        return true;
    char prefix[k_prefix_size];
    line_prefix(LOG2_WARN, "log", prefix);
    char text[128];
    const int n = snprintf(text, sizeof(text), "%llu log lines were lost: the log file could not be written\n",
                           static_cast<unsigned long long>(file->lost));
    if (!write_text(file, prefix, text, static_cast<size_t>(n), now))
        return false;
    file->lost = 0;
    return true;
}

bool copy_range(int in, int out, int64_t from, int64_t to)
{
    std::unique_ptr<char[]> buf(new (std::nothrow) char[k_copy_chunk]);
    if (!buf)
        return false;
    while (from < to) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(to - from, k_copy_chunk));
        const ssize_t got = pread(in, buf.get(), want, from);
        if (got <= 0)
            return false;
        for (ssize_t done = 0; done < got;) {
            const ssize_t w = write(out, buf.get() + done, static_cast<size_t>(got - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            done += w;
        }
        from += got;
    }
    return true;
}

// The text form keeps the file from the first line end at or after stop
// (all of it from stop when no line ends there).
int64_t text_cut_offset(int in, int64_t size, int64_t stop)
{
    char buf[4096];
    for (int64_t off = stop; off < size;) {
        const ssize_t got = pread(in, buf, static_cast<size_t>(std::min<int64_t>(size - off, sizeof(buf))), off);
        if (got <= 0)
            break;
        const auto *nl = static_cast<const char *>(memchr(buf, '\n', static_cast<size_t>(got)));
        if (nl != nullptr)
            return off + (nl - buf) + 1;
        off += got;
    }
    return stop;
}

// Copies the kept part to the cut's file. Runs without the log context's
// mutex on the cut's thread, so it makes no log call.
bool copy_kept(log_file_cut *c)
{
    const int in = open(c->path, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    bool ok = true;
    int64_t from = c->stop;
    if (c->form == k_form_pcap)
        from = pcap_walk_records(in, &c->head, c->size, c->stop, &ok);
    else
        from = text_cut_offset(in, c->size, c->stop);
    const int64_t head = c->form == k_form_pcap ? PCAP_FILE_HDR_SIZE : 0;
    int out = -1;
    if (ok) {
        out = open(c->tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, k_file_mode);
        ok = out >= 0 && fchmod(out, k_file_mode) == 0 && copy_range(in, out, 0, head) &&
             copy_range(in, out, from, c->size);
    }
    if (out >= 0 && close(out) != 0)
        ok = false;
    close(in);
    c->kept = head + (c->size - from);
    return ok;
}

void run_cut(log_file_cut *c)
{
    c->ok = copy_kept(c);
    c->done.store(true);
}

bool write_record(log_file *file, const void *rec, uint32_t len, uint64_t now);

// Renames the copy over the file, or, when the cut could not be made,
// starts the file anew; then writes what came meanwhile.
void finish_cut(log_file *file, uint64_t now)
{
    std::unique_ptr<log_file_cut> c(file->cut);
    file->cut = nullptr;
    if (c->worker.joinable())
        c->worker.join();
    const bool swapped = c->ok && rename(c->tmp, c->path) == 0;
    if (!swapped) {
        unlink(c->tmp);
        fprintf(stderr, "log file %s: its newest part could not be kept, the file starts anew\n", c->path);
    }
    if (!cut_back(file, swapped ? c->kept : 0)) {
        file->retry_ms = now + k_rest_ms;
        file->lost += c->form == k_form_pcap ? 0 : static_cast<uint64_t>(std::count(c->held.begin(), c->held.end(), '\n'));
        return;
    }
    if (c->form == k_form_pcap) {
        for (size_t off = 0; off + sizeof(uint32_t) <= c->held.size();) {
            uint32_t len;
            memcpy(&len, c->held.data() + off, sizeof(len));
            write_record(file, c->held.data() + off + sizeof(len), len, now);
            off += sizeof(len) + len;
        }
        return;
    }
    if (!c->held.empty() && !write_text(file, "", c->held.data(), c->held.size(), now))
        file->lost += static_cast<uint64_t>(std::count(c->held.begin(), c->held.end(), '\n'));
}

// Starts the cut of a file that reached its cap.
void start_cut(log_file *file, uint64_t now)
{
    std::unique_ptr<log_file_cut> c(new (std::nothrow) log_file_cut);
    if (!c || str_sprintf_s(c->tmp, sizeof(c->tmp), "%s%s", file->path, k_cut_suffix) < 0)
        return;
    c->form = file->form;
    str_safecopy2(c->path, sizeof(c->path), file->path);
    c->size = file->size;
    const int64_t half = file->cap / 2;
    c->stop = file->form == k_form_pcap ? half : std::max<int64_t>(0, file->size - half);
    if (file->form == k_form_pcap)
        c->head = *file->pcap->head;
    c->held_cap = file->cap / 2;
    log_file_cut *cut = c.get();
    if (c->size <= k_inline_cut) {
        run_cut(cut);
    } else {
        try {
            c->worker = std::thread(run_cut, cut);
        } catch (const std::system_error &) {
            cut->done.store(true);  // not made: the file starts anew
        }
    }
    file->cut = c.release();
    if (cut->done.load())
        finish_cut(file, now);
}

// While a cut runs, what comes is held for the new file (up to half the cap).
bool hold(log_file *file, const void *head, size_t head_len, const void *body, size_t body_len)
{
    log_file_cut *c = file->cut;
    if (c->held.size() + head_len + body_len > c->held_cap) {
        file->lost++;
        return false;
    }
    c->held.append(static_cast<const char *>(head), head_len);
    c->held.append(static_cast<const char *>(body), body_len);
    return true;
}

// One record at the end of the pcap file. A failed write is cut back to the
// last whole record and the sink rests.
bool write_record(log_file *file, const void *rec, uint32_t len, uint64_t now)
{
    if (len <= BSVF_TS_SIZE || len - BSVF_TS_SIZE > BSVF_SNAPLEN)
        return false;
    if (now < file->retry_ms || (file->pcap->dumper->fp == nullptr && !cut_back(file, file->size))) {
        file->retry_ms = std::max(file->retry_ms, now + (now < file->retry_ms ? 0 : k_rest_ms));
        file->lost++;
        return false;
    }
    if (bsvf_pcap_write(file->pcap, rec, len) != 0 || bsvf_pcap_flush(file->pcap) != 0) {
        log2_diag_printf("pcap write error\n");
        if (!cut_back(file, file->size))
            log2_diag_printf("pcap cut back failed\n");
        file->retry_ms = now + k_rest_ms;
        file->lost++;
        return false;
    }
    file->size = file->pcap->dumper->size;
    file->lost = 0;
    if (file->size >= static_cast<int64_t>(file->cap))
        start_cut(file, now);
    return true;
}

// Every record of the process goes to the pcap file from now on; mode "a"
// appends to an existing one.
int open_pcap(log_file *file, const char *full)
{
    file->form = k_form_pcap;
    log2_diag_printf("pcap_fopen=%s\n", full);
    const int type = bsv_log_type_id();
    const bool existed = file_exists(full);
    file->pcap = file->mode[0] == 'a' ? bsvf_pcap_append(full, type) : bsvf_pcap_create(full, type);
    if (file->pcap == nullptr) {
        log2_diag_printf("bsvf_pcap_file %s err\n", full);
        fprintf(stderr, "log file %s cannot be opened: %s\n", full, strerror(errno));
        return -1;
    }
    give_mode(fileno(file->pcap->dumper->fp), existed);
    file->size = file->pcap->dumper->size;
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
        struct stat st;
        file->size = fstat(qdfile_fileno(file->fp), &st) == 0 ? st.st_size : 0;
    }
    os_realpath(full, file->path);
    if (file->path[0] == '\0')
        str_safecopy2(file->path, sizeof(file->path), full);
    log2_diag_printf("log_file_path=%s\n", file->path);
    return 0;
}

void log_file_settle(log_file *file)
{
    if (file->cut != nullptr)
        finish_cut(file, os_tick_ms());
}

void log_file_close(log_file *file)
{
    log_file_settle(file);
    close_stream(file);
    if (file->pcap != nullptr) {
        // Once the setter returns no record is being written to the file.
        bsv_set_file_cb(nullptr, nullptr);
        bsvf_pcap_close(file->pcap);
        file->pcap = nullptr;
    }
    file->retry_ms = 0;
    file->lost = 0;
}

void log_file_pcap_cb(uint32_t level, const void *rec, uint32_t len, void *arg)
{
    (void)level;
    auto *file = static_cast<log_file *>(arg);
    if (file == nullptr || file->pcap == nullptr || rec == nullptr)
        return;
    const uint64_t now = os_tick_ms();
    if (file->cut != nullptr && file->cut->done.load())
        finish_cut(file, now);
    if (file->cut != nullptr) {
        hold(file, &len, sizeof(len), rec, len);
        return;
    }
    write_record(file, rec, len, now);
}

int log_file_write(log_file *file, int level, const char *tag, const char *text, int len)
{
    if (file->form != k_form_text || file->path[0] == '\0' || text == nullptr)
        return -1;
    const uint64_t now = os_tick_ms();
    if (file->cut != nullptr && file->cut->done.load())
        finish_cut(file, now);
    char prefix[k_prefix_size];
    line_prefix(level, tag, prefix);
    const size_t n = len < 0 ? strlen(text) : static_cast<size_t>(len);
    if (file->cut != nullptr)
        return hold(file, prefix, strlen(prefix), text, n) ? 0 : -1;
    if (now < file->retry_ms || !ensure_stream(file) || !write_lost(file, now) ||
        !write_text(file, prefix, text, n, now)) {
        if (now >= file->retry_ms)
            file->retry_ms = now + k_rest_ms;
        file->lost++;
        return -1;
    }
    if (file->size >= static_cast<int64_t>(file->cap))
        start_cut(file, now);
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
