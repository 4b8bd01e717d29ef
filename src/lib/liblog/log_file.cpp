// The log file sink.
#include "liblog/log_file.h"

#include <fcntl.h>
#include <pthread.h>
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

// A cut of a file that reached its cap, made whole by its thread (a small
// file's inline, by the log call): the kept part is copied to "<path>.cut"
// with the file's mode and owner and renamed over the file, or, where no such
// file can be made (a directory the sink may not write, an owner it cannot
// give), moved onto the file's start in place, piece by piece
// (move_in_place). The log calls hold what comes meanwhile, never write the
// file, and start no other cut; the one that finds the cut done opens the
// result and writes what was held.
struct log_file_cut {
    // running: the thread owns the cut but for held, which the log calls
    // fill. committing: its rename or last cut-off is under way and cannot
    // be given up. done: the cut belongs to the log calls. abandoned: given
    // up by a close that could not wait; the thread stops at its next step
    // and frees the cut.
    enum : int { running, committing, done, abandoned };
    std::atomic<int> state{running};
    bool ok = false;
    uint32_t form = 0;
    char path[4096] = "";
    char tmp[4096] = "";
    int64_t size = 0;  // the file's size when the cut began
    int64_t stop = 0;  // kept from the first line or record end at or after this offset
    int64_t kept = 0;  // the cut file's size
    int steps = 0;     // writes made so far, for the test seam
    pcap_head head{};  // the pcap form's header, for the walk
    char prefix[256] = "";  // the text form's break line starts as a line of the log
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
// After a write or an open that failed, the sink rests this long: a full
// disk or a missing directory is not asked again on every line.
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

// True while path names the file open on fd: a file removed, or moved away
// and perhaps replaced, from outside is not.
bool names_open_file(const char *path, int fd)
{
    struct stat at;
    struct stat open;
    return fd >= 0 && stat(path, &at) == 0 && fstat(fd, &open) == 0 && at.st_dev == open.st_dev &&
           at.st_ino == open.st_ino;
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

// The file is re-created when it was removed or moved away from outside,
// and opened when it could not be before.
bool ensure_stream(log_file *file)
{
    if (file->fp != nullptr && names_open_file(file->path, qdfile_fileno(file->fp)))
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

// What a loss counter of the sink says once the file takes lines again.
struct loss_notice {
    uint64_t log_file::*count;
    const char *text;    // the text form's line, after the count
    const char *record;  // the pcap form's report on standard error, after the count
};

constexpr loss_notice k_losses[] = {
    {&log_file::lost_cut, "log lines were dropped while the file was being cut", "records were dropped while the file was being cut"},
    {&log_file::lost, "log lines were lost: the log file could not be written", "records were lost: the file could not be written"},
};

// The text file says how many lines it lost, and why, before the next one
// it keeps.
bool write_lost(log_file *file, uint64_t now)
{
    for (const loss_notice &l : k_losses) {
        if (file->*l.count == 0)
            continue;
        char prefix[k_prefix_size];
        line_prefix(LOG2_WARN, "log", prefix);
        char text[128];
        const int n = snprintf(text, sizeof(text), "%llu %s\n", static_cast<unsigned long long>(file->*l.count), l.text);
        if (!write_text(file, prefix, text, static_cast<size_t>(n), now))
            return false;
        file->*l.count = 0;
    }
    return true;
}

// A pcap file cannot carry a text line: its losses are reported on
// standard error once a record is written again.
void report_lost_records(log_file *file)
{
    for (const loss_notice &l : k_losses) {
        if (file->*l.count == 0)
            continue;
        fprintf(stderr, "log file %s: %llu %s\n", file->path, static_cast<unsigned long long>(file->*l.count), l.record);
        file->*l.count = 0;
    }
}

// ---- the cut ----

std::atomic<log_file_cut_seam> s_cut_seam{nullptr};

// Before each write of a cut: the test seam, then whether the cut goes on
// (a close that could not wait has given it up).
bool cut_step(log_file_cut *c)
{
    if (const log_file_cut_seam seam = s_cut_seam.load())
        seam(c->steps);
    c->steps++;
    return c->state.load() != log_file_cut::abandoned;
}

// The cut's last write (the rename, or the cut-off of a move in place) is
// made only when no close has given the cut up; once claimed, a close waits
// for it rather than give it up.
bool claim_commit(log_file_cut *c)
{
    int expected = log_file_cut::running;
    return c->state.compare_exchange_strong(expected, log_file_cut::committing);
}

// All of [p, p + n) to fd at off, through short writes and signals.
bool pwrite_all(int fd, const char *p, size_t n, int64_t off)
{
    for (size_t done = 0; done < n;) {
        const ssize_t w = pwrite(fd, p + done, n - done, static_cast<off_t>(off + static_cast<int64_t>(done)));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

// Copies [from, to) of in to out at dst, a step per chunk.
bool copy_range(log_file_cut *c, int in, int out, int64_t from, int64_t to, int64_t dst)
{
    std::unique_ptr<char[]> buf(new (std::nothrow) char[k_copy_chunk]);
    if (!buf)
        return false;
    while (from < to) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(to - from, k_copy_chunk));
        const ssize_t got = pread(in, buf.get(), want, from);
        if (got <= 0 || !cut_step(c) || !pwrite_all(out, buf.get(), static_cast<size_t>(got), dst))
            return false;
        dst += got;
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

// The cut's copy with the file's mode and owner, or -1 when the directory
// takes no new file or the owner cannot be given to it.
int open_copy(const log_file_cut *c, const struct stat &st)
{
    const int out = open(c->tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0)
        return -1;
    const bool owned = st.st_uid == geteuid() && st.st_gid == getegid();
    if ((!owned && fchown(out, st.st_uid, st.st_gid) != 0) || fchmod(out, st.st_mode & 07777) != 0) {
        close(out);
        unlink(c->tmp);
        return -1;
    }
    return out;
}

// Reads [from, from + len) of in into out.
bool read_range(int in, char *out, int64_t from, int64_t len)
{
    while (len > 0) {
        const ssize_t got = pread(in, out, static_cast<size_t>(len), from);
        if (got <= 0)
            return false;
        out += got;
        from += got;
        len -= got;
    }
    return true;
}

// ---- the move in place ----

// What a move in place leaves right after the part it has moved, at every
// step, so that a file whose move stops there (a crash, a stop that could
// not wait) reads as whole lines or records with one marked break: a line of
// the log (or a record) that covers the bytes up to the next whole line or
// record of the old file.
constexpr char k_break_text[] = "log cut interrupted here: the lines below are older or repeat lines above ";
constexpr size_t k_break_len = sizeof(k_break_text) - 1;
// A piece of the move: bounded whatever the cap, and a record of the
// largest size fits one whole.
constexpr size_t k_piece = 2 * k_copy_chunk;

uint32_t file_u32(uint32_t v, const pcap_head &head)
{
    return head.swap != 0 ? __builtin_bswap32(v) : v;
}

// The bytes of the old file's first whole line at or after at, never past
// limit (where the search gives up): [at - 1, limit) is still the old file's.
int64_t next_line_start(int fd, int64_t at, int64_t limit)
{
    char buf[4096];
    for (int64_t off = at - 1; off < limit;) {
        const ssize_t got = pread(fd, buf, static_cast<size_t>(std::min<int64_t>(limit - off, sizeof(buf))), off);
        if (got <= 0)
            break;
        const auto *nl = static_cast<const char *>(memchr(buf, '\n', static_cast<size_t>(got)));
        if (nl != nullptr)
            return std::min(limit, off + (nl - buf) + 1);
        off += got;
    }
    return limit;
}

// The old file's first record start at or after at, walked from from (a
// record start from which on the file is still the old one's), never past
// limit.
int64_t next_record_start(int fd, const pcap_head &head, int64_t from, int64_t at, int64_t limit)
{
    while (from < at && from < limit) {
        uint8_t rec[PCAP_REC_HDR_SIZE];
        if (pread(fd, rec, sizeof(rec), from) != static_cast<ssize_t>(sizeof(rec)))
            return limit;
        uint32_t caplen;
        memcpy(&caplen, rec + 8, sizeof(caplen));
        from += PCAP_REC_HDR_SIZE + file_u32(caplen, head);
    }
    return std::min(from, limit);
}

// The break of [at, end) after a piece: a line of the break text (after a
// line end when the piece ended inside a line), filled with dashes; or a
// record of the log's link type whose data is the text, filled with zeros.
void append_break(std::string &out, const log_file_cut *c, int64_t at, int64_t end)
{
    const size_t len = static_cast<size_t>(end - at);
    const size_t start = out.size();
    if (c->form == k_form_pcap) {
        const uint32_t caplen = static_cast<uint32_t>(len - PCAP_REC_HDR_SIZE);
        const uint32_t fields[4] = {0, 0, file_u32(caplen, c->head), file_u32(caplen, c->head)};
        out.append(reinterpret_cast<const char *>(fields), sizeof(fields));
        out.append(k_break_text, std::min<size_t>(k_break_len, caplen));
        out.resize(start + len, '\0');
        return;
    }
    if (!out.empty() && out.back() != '\n')
        out.push_back('\n');
    out.append(c->prefix);
    out.append(k_break_text);
    out.resize(start + len - 1, '-');
    out.push_back('\n');
}

// The next piece from s: whole lines (a line longer than a piece is taken
// in parts) or whole records, read into buf. Its length, 0 on a failure.
size_t read_piece(const log_file_cut *c, int fd, int64_t s, std::string &buf)
{
    const bool pcap = c->form == k_form_pcap;
    const size_t want = static_cast<size_t>(std::min<int64_t>(c->size - s, pcap ? k_piece : k_copy_chunk));
    buf.resize(want);
    if (!read_range(fd, buf.data(), s, static_cast<int64_t>(want)))
        return 0;
    if (!pcap) {
        const size_t nl = buf.rfind('\n');
        return nl == std::string::npos || s + static_cast<int64_t>(want) == c->size ? want : nl + 1;
    }
    size_t n = 0;
    while (n + PCAP_REC_HDR_SIZE <= want) {
        uint32_t caplen;
        memcpy(&caplen, buf.data() + n + 8, sizeof(caplen));
        const size_t end = n + PCAP_REC_HDR_SIZE + file_u32(caplen, c->head);
        if (end > want)
            break;
        n = end;
    }
    return n;
}

// Moves [from, size) onto the file's start (after the pcap header), piece by
// piece, and cuts the file there. Each piece is written together with a
// break behind it (append_break) that reaches the next line or record start
// of the old file, so after every write the file reads: the lines moved so
// far, one break, then whole lines of the old file (older ones, and the
// kept ones not moved yet, or moved already); the old bytes from that start
// on are never written before they are read. The cut-off is the last
// write: before it a crash leaves the kept part with a break and an old
// tail; after it, the kept part alone.
bool move_in_place(log_file_cut *c, int fd, int64_t from)
{
    const bool pcap = c->form == k_form_pcap;
    const int64_t head = pcap ? PCAP_FILE_HDR_SIZE : 0;
    // The room a break needs: every piece moves down by from - head, which
    // is about half the cap.
    const int64_t mark =
        static_cast<int64_t>(k_break_len) + (pcap ? PCAP_REC_HDR_SIZE : static_cast<int64_t>(strlen(c->prefix)) + 2);
    if (from - head < mark)
        return false;
    std::string piece;
    std::string out;
    int64_t p = head;  // where the next piece goes
    int64_t q = head;  // the old file reads whole from here on
    for (int64_t s = from; s < c->size;) {
        const size_t n = read_piece(c, fd, s, piece);
        if (n == 0)
            return false;
        const int64_t p2 = p + static_cast<int64_t>(n);
        const int64_t s2 = s + static_cast<int64_t>(n);
        // The break ends where the old file's next whole line or record
        // starts, never past what the next piece reads (s2, a start itself
        // but for a line longer than a piece); a longer text line is not
        // filled beyond a chunk.
        const int64_t at = p2 + mark;
        int64_t end = q;
        if (at > q)
            end = pcap ? next_record_start(fd, c->head, q, at, s2)
                       : next_line_start(fd, at, std::min(s2, at + static_cast<int64_t>(k_copy_chunk)));
        out.assign(piece, 0, n);
        append_break(out, c, p2, std::max(end, at));
        if (!cut_step(c) || !pwrite_all(fd, out.data(), out.size(), p))
            return false;
        p = p2;
        s = s2;
        q = std::max(end, at);
    }
    return cut_step(c) && claim_commit(c) && ftruncate(fd, p) == 0;
}

// The whole cut, on the cut's thread (or inline, for a small file), without
// the log context's mutex, so it makes no log call. The log calls hold their
// lines meanwhile: nothing else writes the file.
bool cut_file(log_file_cut *c)
{
    const int in = open(c->path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0) {
        if (in >= 0)
            close(in);
        return false;
    }
    bool ok = true;
    int64_t from = c->stop;
    if (c->form == k_form_pcap)
        from = pcap_walk_records(in, &c->head, c->size, c->stop, &ok);
    else
        from = text_cut_offset(in, c->size, c->stop);
    const int64_t head = c->form == k_form_pcap ? PCAP_FILE_HDR_SIZE : 0;
    c->kept = head + (c->size - from);
    const int out = ok ? open_copy(c, st) : -1;
    if (out >= 0) {
        ok = copy_range(c, in, out, 0, head, 0) && copy_range(c, in, out, from, c->size, head);
        ok = close(out) == 0 && ok;
        ok = ok && cut_step(c) && claim_commit(c) && rename(c->tmp, c->path) == 0;
        if (!ok)
            unlink(c->tmp);
    } else if (ok) {
        const int fd = open(c->path, O_RDWR | O_CLOEXEC);
        ok = fd >= 0 && move_in_place(c, fd, from);
        if (fd >= 0 && close(fd) != 0)
            ok = false;
    }
    close(in);
    return ok;
}

// Hands the cut over: done, to the log calls; given up, it is freed here.
void end_cut(log_file_cut *c, bool ok)
{
    c->ok = ok;
    int state = c->state.load();
    while (state != log_file_cut::abandoned && !c->state.compare_exchange_weak(state, log_file_cut::done)) {
    }
    if (state == log_file_cut::abandoned)
        delete c;
}

// The body of the thread "logcut".
void run_cut(void *arg)
{
    auto *c = static_cast<log_file_cut *>(arg);
    const bool ok = cut_file(c);
    // The next cut may start as soon as this one is done, before this thread
    // has ended: its name says it is no longer cutting.
    pthread_setname_np(pthread_self(), "logcut-done");
    end_cut(c, ok);  // the last touch
}

// One record at the end of the pcap file, no cut.
bool append_record(log_file *file, const void *rec, uint32_t len, uint64_t now);

// What the log calls held during a cut, to the end of the file; lines that
// cannot be written are counted lost.
void write_held(log_file *file, const std::string &held, uint32_t form, uint64_t now)
{
    if (form == k_form_pcap) {
        for (size_t off = 0; off + sizeof(uint32_t) <= held.size();) {
            uint32_t len;
            memcpy(&len, held.data() + off, sizeof(len));
            append_record(file, held.data() + off + sizeof(len), len, now);
            off += sizeof(len) + len;
        }
        return;
    }
    // Counted only when they are lost: the count walks up to half the cap.
    if (!held.empty() && (!ensure_stream(file) || !write_text(file, "", held.data(), held.size(), now)))
        file->lost += static_cast<uint64_t>(std::count(held.begin(), held.end(), '\n'));
}

// Opens the cut file (or, when the cut could not be made, starts the file
// anew) and writes what came meanwhile. Starts no cut: the caller looks at
// the cap afterwards.
void finish_cut(log_file *file, uint64_t now)
{
    std::unique_ptr<log_file_cut> c(file->cut);
    file->cut = nullptr;
    if (!c->ok)
        fprintf(stderr, "log file %s: its newest part could not be kept, the file starts anew\n", c->path);
    if (!cut_back(file, c->ok ? c->kept : 0)) {
        file->retry_ms = now + k_rest_ms;
        if (c->form != k_form_pcap)
            file->lost += static_cast<uint64_t>(std::count(c->held.begin(), c->held.end(), '\n'));
        return;
    }
    write_held(file, c->held, c->form, now);
}

// Completes a cut that is done.
void settle_cut(log_file *file, uint64_t now)
{
    if (file->cut != nullptr && file->cut->state.load() == log_file_cut::done)
        finish_cut(file, now);
}

// A close that cannot wait for the cut gives it up: its thread stops at its
// next step (a copy is dropped, a move in place leaves its break) and frees
// it, and what was held goes to the end of the file as it stands, which the
// cut no longer shortens. A cut already committing is waited for: a rename
// or a cut-off.
void give_up_cut(log_file *file, uint64_t now)
{
    log_file_cut *c = file->cut;
    std::string held = std::move(c->held);
    const uint32_t form = c->form;
    int expected = log_file_cut::running;
    if (!c->state.compare_exchange_strong(expected, log_file_cut::abandoned)) {
        c->held = std::move(held);
        while (c->state.load() != log_file_cut::done)
            os_sleep_ms(1);
        finish_cut(file, now);
        return;
    }
    file->cut = nullptr;
    write_held(file, held, form, now);
}

// Starts the cut of a file that reached its cap, measured by the file's
// real size: a file cut from outside (a rotation's copy and truncate) has
// room again and is left as it is.
void start_cut(log_file *file, uint64_t now)
{
    struct stat st;
    const int fd = log_file_fileno(file);
    if (file->cut != nullptr || fd < 0 || fstat(fd, &st) != 0)
        return;
    file->size = st.st_size;
    if (file->size < static_cast<int64_t>(file->cap))
        return;
    std::unique_ptr<log_file_cut> c(new (std::nothrow) log_file_cut);
    if (!c || str_sprintf_s(c->tmp, sizeof(c->tmp), "%s%s", file->path, k_cut_suffix) < 0)
        return;
    c->form = file->form;
    str_safecopy2(c->path, sizeof(c->path), file->path);
    c->size = file->size;
    const int64_t head = file->form == k_form_pcap ? PCAP_FILE_HDR_SIZE : 0;
    c->stop = std::max<int64_t>(head, file->size - file->cap / 2);
    if (file->form == k_form_pcap)
        c->head = *file->pcap->head;
    char prefix[k_prefix_size];
    line_prefix(LOG2_WARN, "log", prefix);
    str_safecopy2(c->prefix, sizeof(c->prefix), prefix);
    c->held_cap = file->cap / 2;
    if (c->size <= k_inline_cut) {
        end_cut(c.get(), cut_file(c.get()));
    } else if (!log2_thread_start("logcut", run_cut, c.get())) {
        return;  // tried again at the next line
    }
    file->cut = c.release();
    settle_cut(file, now);
}

void cap_check(log_file *file, uint64_t now)
{
    if (file->size >= static_cast<int64_t>(file->cap))
        start_cut(file, now);
}

// While a cut runs, what comes is held for the new file (up to half the cap).
bool hold(log_file *file, const void *head, size_t head_len, const void *body, size_t body_len)
{
    log_file_cut *c = file->cut;
    if (c->held.size() + head_len + body_len > c->held_cap) {
        file->lost_cut++;
        return false;
    }
    c->held.append(static_cast<const char *>(head), head_len);
    c->held.append(static_cast<const char *>(body), body_len);
    return true;
}

int open_pcap_file(log_file *file, const char *full);

// A pcap file to write to: opened when it could not be before, re-created
// when its path no longer names it, cut back after a failed write.
bool pcap_ready(log_file *file)
{
    if (file->pcap == nullptr)
        return open_pcap_file(file, file->path) == 0;
    pcap_dumper *d = file->pcap->dumper;
    if (d->fp != nullptr && names_open_file(file->path, fileno(d->fp)))
        return true;
    if (d->fp == nullptr)
        return cut_back(file, file->size);
    // The path names another file now, or none: a pcap of ours there is
    // appended to, anything else started anew, as at the open.
    const bool existed = file_exists(file->path);
    if (pcap_dump_reopen_append(d) != 0)
        return false;
    give_mode(fileno(d->fp), existed);
    file->size = d->size;
    return true;
}

bool append_record(log_file *file, const void *rec, uint32_t len, uint64_t now)
{
    if (len <= BSVF_TS_SIZE || len - BSVF_TS_SIZE > BSVF_SNAPLEN)
        return false;
    if (now < file->retry_ms || !pcap_ready(file)) {
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
    report_lost_records(file);
    return true;
}

// Opens the pcap file and hands it to the record writer. 0, or -1 (errno set).
int open_pcap_file(log_file *file, const char *full)
{
    const int type = bsv_log_type_id();
    const bool existed = file_exists(full);
    file->pcap = file->mode[0] == 'a' ? bsvf_pcap_append(full, type) : bsvf_pcap_create(full, type);
    if (file->pcap == nullptr)
        return -1;
    give_mode(fileno(file->pcap->dumper->fp), existed);
    file->size = file->pcap->dumper->size;
    return 0;
}

// Every record of the process goes to the pcap file from now on; mode "a"
// appends to an existing one. A file that cannot be opened is tried again
// as records come, after the rest.
int open_pcap(log_file *file, const char *full)
{
    file->form = k_form_pcap;
    log2_diag_printf("pcap_fopen=%s\n", full);
    bsv_set_file_cb(log_file_pcap_cb, file);
    if (open_pcap_file(file, full) != 0) {
        log2_diag_printf("bsvf_pcap_file %s err\n", full);
        fprintf(stderr, "log file %s cannot be opened: %s\n", full, strerror(errno));
        return -1;
    }
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
    int rc = 0;
    if (n >= 5 && strcmp(full + n - 5, ".pcap") == 0) {
        rc = open_pcap(file, full);
    } else {
        file->form = k_form_text;
        log2_diag_printf("log_fopen=%s\n", full);
        file->fp = open_stream(full, file->mode);
        if (file->fp == nullptr) {
            log2_diag_printf("fopen %s err\n", full);
            fprintf(stderr, "log file %s cannot be opened: %s\n", full, strerror(errno));
            rc = -1;
        } else {
            struct stat st;
            file->size = fstat(qdfile_fileno(file->fp), &st) == 0 ? st.st_size : 0;
        }
    }
    // A file that could not be opened keeps its name: the writes try it again.
    if (rc != 0 || os_realpath(full, file->path) == nullptr || file->path[0] == '\0')
        str_safecopy2(file->path, sizeof(file->path), full);
    if (rc != 0)
        file->retry_ms = os_tick_ms() + k_rest_ms;
    log2_diag_printf("log_file_path=%s\n", file->path);
    return rc;
}

bool log_file_cutting(const log_file *file)
{
    return file->cut != nullptr && file->cut->state.load() != log_file_cut::done;
}

void log_file_settle(log_file *file)
{
    settle_cut(file, os_tick_ms());
}

void log_file_forked(log_file *file)
{
    if (!log_file_cutting(file))
        return;
    // The cut's thread stayed in the parent: what it left is not trusted.
    file->cut->ok = false;
    file->cut->state.store(log_file_cut::done);
    settle_cut(file, os_tick_ms());
}

void log_file_close(log_file *file)
{
    log_file_settle(file);
    if (file->cut != nullptr)
        give_up_cut(file, os_tick_ms());
    close_stream(file);
    if (file->form == k_form_pcap) {
        // Once the setter returns no record is being written to the file.
        bsv_set_file_cb(nullptr, nullptr);
        if (file->pcap != nullptr)
            bsvf_pcap_close(file->pcap);
        file->pcap = nullptr;
    }
    file->retry_ms = 0;
    file->lost = 0;
    file->lost_cut = 0;
}

void log_file_set_cut_seam(log_file_cut_seam seam)
{
    s_cut_seam.store(seam);
}

void log_file_pcap_cb(uint32_t level, const void *rec, uint32_t len, void *arg)
{
    (void)level;
    auto *file = static_cast<log_file *>(arg);
    if (file == nullptr || file->form != k_form_pcap || file->path[0] == '\0' || rec == nullptr)
        return;
    const uint64_t now = os_tick_ms();
    settle_cut(file, now);
    if (file->cut != nullptr) {
        hold(file, &len, sizeof(len), rec, len);
        return;
    }
    if (append_record(file, rec, len, now))
        cap_check(file, now);
}

int log_file_write(log_file *file, int level, const char *tag, const char *text, int len)
{
    if (file->form != k_form_text || file->path[0] == '\0' || text == nullptr)
        return -1;
    const uint64_t now = os_tick_ms();
    settle_cut(file, now);
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
    cap_check(file, now);
    return 0;
}

bool log_file_is_pcap(const log_file *file)
{
    return file->form == k_form_pcap;
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
