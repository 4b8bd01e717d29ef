// The log file sinks' cut under load and what they do when their file is
// changed from outside: truncated, made 0600 or another's, left in a
// directory the sink may not write, deleted, moved, or not creatable at
// start. Each row runs in a child process, as "nobody" where the row needs
// a directory that its user may not write (root writes any).
#include "liblog/log_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "libpal/basic/os_sync.h"
#include "libpal/env/pl_init.h"
#include "liblog/log2.h"
#include "stderr_capture.h"
#include "log_test_util.h"

namespace {

constexpr uid_t k_nobody = 65534;

std::string temp_dir(const char *what, const std::string &base = ::testing::TempDir())
{
    const std::string dir = base + "zorv_" + what + "_" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// The pcap's records, -1 unless the file is a header and whole records.
int pcap_records(const std::string &f)
{
    if (f.size() < 24 || static_cast<uint8_t>(f[0]) != 0xd4)
        return -1;
    size_t off = 24;
    int n = 0;
    while (off + 16 <= f.size()) {
        uint32_t cap;
        memcpy(&cap, f.data() + off + 8, 4);
        if (off + 16 + cap > f.size())
            return -1;
        off += 16 + cap;
        n++;
    }
    return off == f.size() ? n : -1;
}

// tshark's verdict on a pcap: "" when it reads every packet, else its complaint.
std::string tshark_reads(const std::string &path, int records)
{
    const std::string cmd = "tshark -r '" + path + "' -T fields -e frame.number 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return "popen";
    std::string out;
    char row[512];
    int n = 0;
    while (fgets(row, sizeof(row), p) != nullptr) {
        if (isdigit(static_cast<unsigned char>(row[0])) != 0)
            n++;
        else if (strncmp(row, "Running as user", 15) != 0)
            out += row;
    }
    if (pclose(p) != 0 || n != records)
        out += "status or count " + std::to_string(n) + " of " + std::to_string(records);
    return out;
}

log2_ctx *file_ctx(const std::string &path, uint32_t cap, const char *mode)
{
    log2_ctx *ctx = log2_ctx_new();
    log2_ioctl(ctx, LOG2_CMD_CONSOLE_ON, as_arg(0), 0);
    log2_ioctl(ctx, LOG2_CMD_LEVEL, as_arg(LOG2_VERB), 0);
    log2_ioctl(ctx, LOG2_CMD_FILE_SIZE, as_arg(cap), 0);
    log_file_set_mode(&ctx->file, mode);
    log2_ioctl(ctx, LOG2_CMD_FILE_OPEN, path.c_str(), -1);
    log2_ioctl(ctx, LOG2_CMD_FILE_ON, as_arg(1), 0);
    return ctx;
}

// ---- cuts under load ----

// Taken under the logger's lock (a line callback), so that no record is
// half written in it.
struct snapshots {
    static inline std::string path;
    static inline std::string dir;
    static inline std::atomic<int> lines{0};
    static inline std::vector<std::string> taken;
    static void take(int, const char *, const char *, int)
    {
        if (++lines % 400 != 0 || taken.size() >= 12)
            return;
        const std::string to = dir + "/snap" + std::to_string(taken.size()) + ".pcap";
        std::filesystem::copy_file(path, to, std::filesystem::copy_options::overwrite_existing);
        taken.push_back(to);
    }
};

struct load_row {
    const char *name;
    const char *file;
};

// Far over a 64 KiB cap in append mode, 8 writers: at most one cut thread
// at a time (a cut's replay once started a second cut over a running one,
// whose thread leaked while its held records were lost, or whose file was
// dropped whole), the file never starts anew, every pcap snapshot reads in
// tshark, and each writer's lines in the file run without a gap but for
// the lines counted as dropped.
TEST(LogFileCut, UnderLoadOneCutAtATimeAndEveryLossCounted)
{
    pl_init();
    const bool have_tshark = system("command -v tshark >/dev/null 2>&1") == 0;
    for (const load_row &row : {load_row{"text", "a.log"}, load_row{"pcap", "a.pcap"}}) {
        SCOPED_TRACE(row.name);
        const std::string dir = temp_dir("log_cut_load");
        const std::string path = dir + "/" + row.file;
        const bool pcap = path.ends_with(".pcap");
        {
            log2_ctx *big = file_ctx(path, 8u << 20, "w");
            for (int i = 0; i < 6000; i++)
                log2_printf(big, LOG2_VERB, "t", "a.c", 1, "fn", "old %d %s\n", i, std::string(150, 'o').c_str());
            log2_exit(big);
        }
        ASSERT_GT(slurp(path).size(), 700000u);
        snapshots::path = path;
        snapshots::dir = dir;
        snapshots::lines = 0;
        snapshots::taken.clear();
        stderr_capture cap;
        log2_ctx *ctx = file_ctx(path, 65536, "a");
        if (pcap) {
            log2_ioctl(ctx, LOG2_CMD_HI_CB, reinterpret_cast<const void *>(&snapshots::take), 0);
            log2_ioctl(ctx, LOG2_CMD_LO_CB, reinterpret_cast<const void *>(&snapshots::take), 0);
        }
        std::atomic<bool> done{false};
        int most_cuts = 0;
        std::thread watcher([&] {
            while (!done.load())
                most_cuts = std::max(most_cuts, threads_named("logcut"));
        });
        constexpr int k_writers = 8;
        constexpr int k_lines = 3000;
        std::vector<std::thread> writers;
        for (int w = 0; w < k_writers; w++) {
            writers.emplace_back([ctx, w] {
                const std::string filler(100, 'f');
                for (int n = 0; n < k_lines; n++)
                    log2_printf(ctx, LOG2_VERB, "t", "a.c", 1, "fn", "seq w%d n%d %s\n", w, n, filler.c_str());
            });
        }
        for (auto &t : writers)
            t.join();
        log2_bsv_join(ctx, 10000);
        done.store(true);
        watcher.join();
        log2_exit(ctx);
        const std::string err = cap.take();
        const std::string f = slurp(path);

        EXPECT_LE(most_cuts, 1);
        EXPECT_EQ(err.find("could not be kept"), std::string::npos) << err;
        EXPECT_LE(f.size(), 65536u + 512u);
        uint64_t counted = 0;
        const std::regex notice(pcap ? R"((\d+) records were (dropped|lost))" : R"((\d+) log lines were (dropped|lost))");
        const std::string &told = pcap ? err : f;
        for (auto it = std::sregex_iterator(told.begin(), told.end(), notice); it != std::sregex_iterator(); ++it)
            counted += std::stoull((*it)[1]);
        std::map<int, int> last;
        uint64_t gaps = 0;
        const std::regex seq(R"(seq w(\d) n(\d+) )");
        for (auto it = std::sregex_iterator(f.begin(), f.end(), seq); it != std::sregex_iterator(); ++it) {
            const int w = std::stoi((*it)[1]);
            const int n = std::stoi((*it)[2]);
            if (last.contains(w)) {
                EXPECT_GT(n, last[w]);
                gaps += static_cast<uint64_t>(n - last[w] - 1);
            }
            last[w] = n;
        }
        EXPECT_FALSE(last.empty());
        EXPECT_LE(gaps, counted);
        if (pcap) {
            EXPECT_GT(pcap_records(f), 0);
            EXPECT_FALSE(snapshots::taken.empty());
            if (have_tshark) {
                EXPECT_EQ(tshark_reads(path, pcap_records(f)), "");
                for (const std::string &s : snapshots::taken)
                    EXPECT_EQ(tshark_reads(s, pcap_records(slurp(s))), "") << s;
            }
        }
        std::filesystem::remove_all(dir);
    }
    if (!have_tshark)
        GTEST_SKIP() << "tshark is not installed: the snapshots were checked by their record walk only";
}

// ---- the file changed from outside ----

struct outside {
    std::string dir;
    std::string path;
};

using outside_step = std::function<std::string(const outside &)>;

struct outside_row {
    const char *name;
    const char *file;
    bool as_nobody;     // needs a directory its user cannot write: run as nobody when root
    const char *holds;  // what the file holds after
    outside_step run;   // "" when the file holds it, else what it holds instead
};

#define NEED(cond, what)                                                                                   \
    do {                                                                                                   \
        if (!(cond))                                                                                       \
            return std::string(what) + " [" #cond "]";                                                    \
    } while (0)

void log_lines(log2_ctx *ctx, const char *word, int from, int to)
{
    for (int i = from; i < to; i++)
        log2_printf(ctx, LOG2_VERB, "t", "a.c", 1, "fn", "%s %d %s\n", word, i, std::string(120, 'x').c_str());
}

mode_t mode_of(const std::string &p)
{
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
}

// Logs until the file has been cut once (it shrank), and completes the cut.
// The lines logged.
int log_past_a_cut(log2_ctx *ctx, const std::string &path)
{
    size_t prev = 0;
    for (int i = 0; i < 5000; i++) {
        log_lines(ctx, "line", i, i + 1);
        const size_t now = slurp(path).size();
        if (now < prev) {
            log2_bsv_join(ctx, 5000);
            return i + 1;
        }
        prev = now;
    }
    return -1;
}

std::string truncated_from_outside(const outside &o)
{
    log2_ctx *ctx = file_ctx(o.path, 65536, "a");
    log_lines(ctx, "before", 0, 200);
    NEED(truncate(o.path.c_str(), 0) == 0, "truncate");
    log_lines(ctx, "after", 0, 250);
    log2_bsv_join(ctx, 5000);
    log2_exit(ctx);
    const std::string f = slurp(o.path);
    NEED(f.find("before") == std::string::npos, "lines from before the truncation");
    NEED(f.find("after 0 ") != std::string::npos && f.find("after 249 ") != std::string::npos,
         "not every line since: " + std::to_string(f.size()) + " bytes");
    return "";
}

std::string mode_and_owner_kept(const outside &o)
{
    std::ofstream(o.path).close();
    NEED(chmod(o.path.c_str(), 0600) == 0, "chmod");
    const bool root = geteuid() == 0;
    if (root)
        NEED(chown(o.path.c_str(), k_nobody, k_nobody) == 0, "chown");
    log2_ctx *ctx = file_ctx(o.path, 65536, "a");
    const int lines = log_past_a_cut(ctx, o.path);
    log2_exit(ctx);
    NEED(lines > 0, "no cut");
    NEED(mode_of(o.path) == 0600, "mode " + std::to_string(mode_of(o.path)));
    struct stat st {};
    stat(o.path.c_str(), &st);
    NEED(!root || (st.st_uid == k_nobody && st.st_gid == k_nobody), "owner " + std::to_string(st.st_uid));
    NEED(slurp(o.path).find("line " + std::to_string(lines - 1) + " ") != std::string::npos, "the last line");
    return "";
}

std::string read_only_directory(const outside &o)
{
    log2_ctx *ctx = file_ctx(o.path, 65536, "a");
    NEED(chmod(o.dir.c_str(), 0555) == 0, "chmod");
    const int lines = log_past_a_cut(ctx, o.path);
    log2_exit(ctx);
    chmod(o.dir.c_str(), 0755);
    NEED(lines > 0, "no cut");
    const std::string f = slurp(o.path);
    // The newest half is kept: the file does not start anew.
    NEED(f.size() >= 65536 / 4, "only " + std::to_string(f.size()) + " bytes after the cut");
    NEED(f.find("line " + std::to_string(lines - 1) + " ") != std::string::npos, "the last line");
    return "";
}

std::string pcap_deleted_or_moved(const outside &o, bool moved)
{
    log2_ctx *ctx = file_ctx(o.path, 65536, "w");
    log_lines(ctx, "before", 0, 5);
    const std::string away = o.path + ".1";
    NEED((moved ? rename(o.path.c_str(), away.c_str()) : unlink(o.path.c_str())) == 0, "move or delete");
    log_lines(ctx, "after", 0, 5);
    log2_exit(ctx);
    const std::string f = slurp(o.path);
    NEED(pcap_records(f) == 5, "records " + std::to_string(pcap_records(f)));
    NEED(f.find("after 4 ") != std::string::npos && f.find("before") == std::string::npos, "the records after");
    NEED(!moved || pcap_records(slurp(away)) == 5, "the moved file grew");
    return "";
}

// The pcap's path comes to name another file (written beside it and moved
// over it, as "mv" does): a text file, an empty one, a capture of another
// link type.
std::string pcap_replaced(const outside &o, const std::string &other)
{
    log2_ctx *ctx = file_ctx(o.path, 65536, "w");
    log_lines(ctx, "before", 0, 5);
    const std::string beside = o.path + ".new";
    std::ofstream(beside, std::ios::binary) << other;
    NEED(rename(beside.c_str(), o.path.c_str()) == 0, "move over");
    log_lines(ctx, "after", 0, 5);
    log2_exit(ctx);
    const std::string f = slurp(o.path);
    NEED(pcap_records(f) == 5 && static_cast<uint8_t>(f[20]) == 147, "records " + std::to_string(pcap_records(f)));
    NEED(other.empty() || f.find(other.substr(0, 20)) == std::string::npos, "the other file's bytes are still there");
    NEED(f.find("after 4 ") != std::string::npos && f.find("before") == std::string::npos, "the records after");
    if (system("command -v tshark >/dev/null 2>&1") == 0)
        NEED(tshark_reads(o.path, 5).empty(), tshark_reads(o.path, 5));
    return "";
}

// A capture file of link type 1 with one record of 60 bytes.
std::string foreign_pcap()
{
    const uint32_t head[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
    const uint32_t rec[4] = {1, 0, 60, 60};
    return std::string(reinterpret_cast<const char *>(head), sizeof(head)) +
           std::string(reinterpret_cast<const char *>(rec), sizeof(rec)) + std::string(60, 'e');
}

std::string writable_after_start(const outside &o)
{
    NEED(chmod(o.dir.c_str(), 0555) == 0, "chmod");
    log2_ctx *ctx = file_ctx(o.path, 65536, "w");
    log_lines(ctx, "before", 0, 3);
    const bool missing = !std::filesystem::exists(o.path);
    chmod(o.dir.c_str(), 0755);
    const uint64_t end = os_tick_ms() + 5000;
    for (int i = 0; slurp(o.path).find("after") == std::string::npos && os_tick_ms() < end; i++) {
        log_lines(ctx, "after", i, i + 1);
        os_sleep_ms(50);
    }
    log2_exit(ctx);
    NEED(missing, "the file was made in a read-only directory");
    const std::string f = slurp(o.path);
    NEED(f.find("after") != std::string::npos, "nothing after the directory became writable");
    NEED(o.path.ends_with(".pcap") || f.find("log lines were lost: the log file could not be written") != std::string::npos,
         "no notice of the lost lines");
    return "";
}

const outside_row kOutside[] = {
    {"TruncatedFromOutside", "a.log", false, "every line since the truncation, none cut away", truncated_from_outside},
    {"Text0600AndOwner", "a.log", false, "after a cut: the newest half, mode 0600, its owner", mode_and_owner_kept},
    {"Pcap0600AndOwner", "a.pcap", false, "after a cut: the newest records, mode 0600, its owner", mode_and_owner_kept},
    {"TextInReadOnlyDirectory", "a.log", true, "after a cut made in place: the newest half", read_only_directory},
    {"PcapInReadOnlyDirectory", "a.pcap", true, "after a cut made in place: the newest half", read_only_directory},
    {"PcapDeleted", "a.pcap", false, "a new pcap of the records since", [](const outside &o) { return pcap_deleted_or_moved(o, false); }},
    {"PcapMoved", "a.pcap", false, "a new pcap of the records since; the moved one as it was", [](const outside &o) { return pcap_deleted_or_moved(o, true); }},
    {"PcapReplacedByText", "a.pcap", false, "a new pcap of the records since, no text before them",
     [](const outside &o) { return pcap_replaced(o, "a line of text that is no capture\n"); }},
    {"PcapReplacedByEmptyFile", "a.pcap", false, "a new pcap of the records since",
     [](const outside &o) { return pcap_replaced(o, ""); }},
    {"PcapReplacedByForeignPcap", "a.pcap", false, "a new pcap of ours, the foreign record gone",
     [](const outside &o) { return pcap_replaced(o, foreign_pcap()); }},
    {"TextDirectoryWritableAfterStart", "a.log", true, "the lines since, after the notice of those lost", writable_after_start},
    {"PcapDirectoryWritableAfterStart", "a.pcap", true, "the records since", writable_after_start},
};

// Runs a row in a child process (as nobody when the row needs it and the
// test runs as root); what the child's step answered.
std::string run_outside(const outside_row &row, const outside &o)
{
    int pipe_fd[2];
    if (pipe(pipe_fd) != 0)
        return "pipe";
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fd[0]);
        std::string answer;
        if (row.as_nobody && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(k_nobody) != 0 || setuid(k_nobody) != 0))
            answer = "cannot become nobody";
        if (answer.empty())
            answer = row.run(o);
        if (write(pipe_fd[1], answer.data(), answer.size()) < 0)
            _exit(2);
        _exit(0);
    }
    close(pipe_fd[1]);
    std::string answer;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipe_fd[0], buf, sizeof(buf))) > 0)
        answer.append(buf, static_cast<size_t>(n));
    close(pipe_fd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        answer += " (child status " + std::to_string(status) + ")";
    return answer;
}

// Whether user nobody (of group nogroup alone) may enter dir and every
// directory above it: a build tree under a 0700 home is out of its reach.
bool nobody_may_enter(const std::filesystem::path &dir)
{
    for (std::filesystem::path p = std::filesystem::absolute(dir);; p = p.parent_path()) {
        struct stat st {};
        if (stat(p.c_str(), &st) != 0)
            return false;
        const mode_t search = st.st_uid == k_nobody ? S_IXUSR : st.st_gid == k_nobody ? S_IXGRP : S_IXOTH;
        if ((st.st_mode & search) == 0)
            return false;
        if (p == p.root_path())
            return true;
    }
}

// Where rows that run as nobody work: the test's own directory, else one
// under /tmp; empty when nobody may reach neither.
std::string nobody_base()
{
    if (geteuid() != 0 || nobody_may_enter(::testing::TempDir()))
        return ::testing::TempDir();
    return nobody_may_enter("/tmp/") ? "/tmp/" : "";
}

// Runs a row in a directory of its own (nobody's when the row runs as
// nobody), then removes it; what the child answered. The file as the row
// left it goes to *left when asked for.
std::string run_in_dir(const char *what, const outside_row &row, std::string *left = nullptr)
{
    outside o;
    o.dir = temp_dir(what, row.as_nobody ? nobody_base() : ::testing::TempDir());
    o.path = o.dir + "/" + row.file;
    if (row.as_nobody && geteuid() == 0 && chown(o.dir.c_str(), k_nobody, k_nobody) != 0)
        return "chown";
    const std::string answer = run_outside(row, o);
    if (left != nullptr)
        *left = slurp(o.path);
    chmod(o.dir.c_str(), 0755);
    std::filesystem::remove_all(o.dir);
    return answer;
}

TEST(LogFileOutside, EachRowNamesWhatTheFileHoldsAfter)
{
    pl_init();
    std::string unreachable;
    for (const outside_row &row : kOutside) {
        SCOPED_TRACE(row.name);
        if (row.as_nobody && nobody_base().empty()) {
            unreachable += std::string(" ") + row.name;
            continue;
        }
        EXPECT_EQ(run_in_dir("log_outside", row), "") << "the file should hold: " << row.holds;
    }
    if (!unreachable.empty())
        GTEST_SKIP() << "rows that run as nobody skipped (neither " << ::testing::TempDir()
                     << " nor /tmp is in nobody's reach):" << unreachable;
}

// ---- the cut in place ----

// The lines and records of files the tests make, as the sink writes them.
std::string old_line(int i)
{
    return "2026-01-01 00:00:00.000000 VERB  1 --- [t] t old " + std::to_string(i) + " " + std::string(100, 'o') + "\n";
}

std::string old_record(int i)
{
    const std::string data = "old " + std::to_string(i) + " " + std::string(180, 'o');
    const uint32_t hdr[4] = {1, 0, static_cast<uint32_t>(data.size()), static_cast<uint32_t>(data.size())};
    return std::string(reinterpret_cast<const char *>(hdr), sizeof(hdr)) + data;
}

// A log of at least bytes, made directly: lines, or a pcap of ours (link
// type 147) whose records carry "old N". The last N.
int make_old_log(const std::string &path, bool pcap, size_t bytes)
{
    std::ofstream out(path, std::ios::binary);
    if (pcap) {
        const uint32_t head[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65536, 147};
        out.write(reinterpret_cast<const char *>(head), sizeof(head));
    }
    size_t size = 0;
    int i = 0;
    std::string chunk;
    for (; size < bytes; i++) {
        chunk += pcap ? old_record(i) : old_line(i);
        if (chunk.size() >= (1u << 20) || size + chunk.size() >= bytes) {
            out << chunk;
            size += chunk.size();
            chunk.clear();
        }
    }
    return i - 1;
}

constexpr const char *k_break = "log cut interrupted here";

size_t count_of(const std::string &f, const std::string &what)
{
    size_t n = 0;
    for (size_t at = f.find(what); at != std::string::npos; at = f.find(what, at + 1))
        n++;
    return n;
}

// "" when the file reads as whole lines of the log (or whole records) with
// at most one marked break among them, else what is wrong.
std::string reads_whole(const std::string &f, bool pcap)
{
    if (count_of(f, k_break) > 1)
        return std::to_string(count_of(f, k_break)) + " breaks";
    if (pcap)
        return pcap_records(f) >= 0 ? "" : "not whole records";
    if (!f.empty() && f.back() != '\n')
        return "ends inside a line";
    // "YYYY-MM-DD hh:mm:ss.uuuuuu LEVEL pid --- [thread] tag text"
    const auto digit = [&f](size_t at) { return isdigit(static_cast<unsigned char>(f[at])) != 0; };
    for (size_t start = 0, n = 1; start < f.size(); n++) {
        const size_t end = f.find('\n', start);
        const size_t dashes = f.find(" --- [", start);
        if (end - start < 27 || !digit(start) || f[start + 4] != '-' || f[start + 10] != ' ' || !digit(start + 25) ||
            f[start + 26] != ' ' || dashes > end)
            return "line " + std::to_string(n) + " is not a line of the log: " + f.substr(start, 80);
        start = end + 1;
    }
    return "";
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer's own count: it takes malloc over.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

// Bytes the process has allocated and not freed, now.
size_t heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// The cut's seam: blocks the first step until the log calls have gone on
// (or ten seconds pass), keeps the most heap the process held at any step,
// or ends the process before the step crash_at.
struct cut_seam {
    static inline std::atomic<int> *calls = nullptr;
    static inline int wanted = 0;
    static inline int crash_at = -1;
    static inline std::atomic<bool> blocked{false};
    static inline std::atomic<bool> released{false};
    static inline std::atomic<bool> went_on{false};
    static inline std::atomic<size_t> most{0};
    static void at(int step)
    {
        if (step == crash_at)
            _exit(0);
        most = std::max(most.load(), heap_in_use());
        if (calls == nullptr || blocked.exchange(true))
            return;
        const int from = calls->load();
        const uint64_t end = os_tick_ms() + 10000;
        while (calls->load() < from + wanted && os_tick_ms() < end)
            os_sleep_ms(1);
        went_on = calls->load() >= from + wanted;
        released = true;
    }
};

struct in_place_row {
    const char *name;
    const char *file;
};

const in_place_row kInPlace[] = {{"Text", "a.log"}, {"Pcap", "a.pcap"}};

// As nobody in a directory it may not write (so the cut moves in place),
// over a file past a 64 MiB cap: the seam blocks the move's first step until
// 8 writers have made 50 log calls each, and the heap is looked at before
// every step. The cut once read the kept half into memory (32 MiB here) and
// wrote it back inside a log call, with the logger's lock held: the log
// calls stopped until the write was done.
std::string in_place_under_writers(const outside &o)
{
    const bool pcap = o.path.ends_with(".pcap");
    constexpr uint32_t cap = 64u << 20;
    const int last = make_old_log(o.path, pcap, cap + 65536);
    NEED(chmod(o.dir.c_str(), 0555) == 0, "chmod");
    log2_ctx *ctx = file_ctx(o.path, cap, "a");
    constexpr int k_writers = 8;
    std::atomic<int> calls{0};
    cut_seam::calls = &calls;
    cut_seam::wanted = k_writers * 50;
    const size_t before = heap_in_use();
    cut_seam::most = before;
    log_file_set_cut_seam(cut_seam::at);
    // The first line starts the cut; a line a millisecond until its first step.
    for (int i = 0; !cut_seam::blocked.load() && i < 20000; i++) {
        log_lines(ctx, "waiting", i, i + 1);
        os_sleep_ms(1);
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < k_writers; w++) {
        writers.emplace_back([ctx, w, &calls] {
            for (int n = 0; n == 0 || !cut_seam::released.load(); n++) {
                log2_printf(ctx, LOG2_VERB, "t", "a.c", 1, "fn", "seq w%d n%d %s\n", w, n, std::string(100, 'f').c_str());
                calls++;
            }
        });
    }
    for (auto &t : writers)
        t.join();
    log2_bsv_join(ctx, 30000);
    log_lines(ctx, "last", 0, 1);
    log2_exit(ctx);
    log_file_set_cut_seam(nullptr);
    NEED(cut_seam::blocked.load(), "no cut in place");
    NEED(cut_seam::went_on.load(), "the log calls stopped while the move was blocked");
    const size_t grew = cut_seam::most.load() - before;
    NEED(grew < (8u << 20), "the cut took " + std::to_string(grew >> 20) + " MiB");
    const std::string f = slurp(o.path);
    NEED(reads_whole(f, pcap).empty(), reads_whole(f, pcap));
    NEED(count_of(f, k_break) == 0, "a break after a finished cut");
    NEED(f.size() < cap, "not cut: " + std::to_string(f.size()));
    NEED(f.find("old " + std::to_string(last) + " ") != std::string::npos, "the newest old line");
    NEED(f.find("seq w7 n0 ") != std::string::npos && f.find("last 0 ") != std::string::npos, "the lines since");
    return "";
}

TEST(LogFileCutInPlace, LogCallsGoOnAndMemoryStaysBoundedWhileTheMoveRuns)
{
    pl_init();
    if (nobody_base().empty())
        GTEST_SKIP() << "the move runs as nobody, and neither " << ::testing::TempDir() << " nor /tmp is in its reach";
    for (const in_place_row &row : kInPlace) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(run_in_dir("log_in_place", {row.name, row.file, true, "", in_place_under_writers}), "");
    }
}

// The process ends before each step of a move in place in turn (the seam
// ends it there, as a crash would), over a file past a 1 MiB cap: what it
// leaves reads as whole lines or records with at most one marked break,
// and still holds the newest line. The move once wrote the kept half and
// then cut the file: ended between the two, the old tail followed the kept
// part from inside a line.
TEST(LogFileCutInPlace, EndedAtAnyStepTheFileReadsWhole)
{
    pl_init();
    if (nobody_base().empty())
        GTEST_SKIP() << "the move runs as nobody, and neither " << ::testing::TempDir() << " nor /tmp is in its reach";
    constexpr uint32_t cap = 1u << 20;
    for (const in_place_row &row : kInPlace) {
        SCOPED_TRACE(row.name);
        const bool pcap = std::string(row.file).ends_with(".pcap");
        const std::string newest = "old " + std::to_string(make_old_log("/dev/null", pcap, cap + 4096)) + " ";
        int steps = 0;
        for (int step = 0; step < 100; step++) {
            SCOPED_TRACE("ended before step " + std::to_string(step));
            const outside_step end_at = [step, pcap](const outside &o) -> std::string {
                make_old_log(o.path, pcap, cap + 4096);
                NEED(chmod(o.dir.c_str(), 0555) == 0, "chmod");
                log2_ctx *ctx = file_ctx(o.path, cap, "a");
                cut_seam::crash_at = step;
                log_file_set_cut_seam(cut_seam::at);
                log_lines(ctx, "new", 0, 1);
                log2_bsv_join(ctx, 10000);
                log2_exit(ctx);
                return "done";
            };
            std::string f;
            const std::string answer = run_in_dir("log_in_place_end", {row.name, row.file, true, "", end_at}, &f);
            EXPECT_EQ(reads_whole(f, pcap), "");
            EXPECT_NE(f.find(newest), std::string::npos) << "the newest old line";
            if (answer == "done") {
                EXPECT_EQ(count_of(f, k_break), 0u);
                break;
            }
            ASSERT_EQ(answer, "");
            steps++;
        }
        // A text cut of half a MiB moves in 64 KiB pieces, a pcap in 128 KiB.
        EXPECT_GE(steps, pcap ? 4 : 8);
    }
}

}  // namespace
