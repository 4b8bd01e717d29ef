// "source" takes only regular files, reads a line of any length in a bounded
// buffer, and stops between lines once its session cannot go on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>

#include "sh_fixture.h"

using namespace std::string_literals;

namespace {

// Runs "source path" off the test's thread; the output, or "(no end)" when
// it has not ended within 2 s. release() then unblocks it (a FIFO's reader
// waits for a writer), so that a fault fails the test instead of hanging it.
template <class Release>
std::string source_bounded(sh_capture &sh, const std::string &path, int *rc, Release release)
{
    auto job = std::async(std::launch::async, [&] { return sh.run("source " + path, rc); });
    if (job.wait_for(std::chrono::seconds(2)) == std::future_status::ready)
        return job.get();
    release();
    job.wait();
    return "(no end)";
}

}  // namespace

TEST_F(Shell, SourceTakesOnlyRegularFiles)
{
    const scratch_dir dir;
    const std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string sub = dir.path + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    const std::string script = dir.write("ok.sh", "echo ran\n");
    const std::string sock_path = dir.path + "/sock";
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", sock_path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    // /dev/zero, which no release could end, is refused in the end-to-end
    // cases, where a fault costs the daemon and not this test.
    struct row {
        const char *name;
        std::string path;
        const char *why;
    } const rows[] = {{"FIFO without a writer", fifo, "not a regular file"},
                      {"directory", sub, "not a regular file"},
                      {"socket (no open)", sock_path, "No such device or address"}};
    for (const auto &r : rows) {
        int rc = 0;
        const std::string out = source_bounded(sh, r.path, &rc, [&] {
            const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                close(fd);
        });
        EXPECT_EQ(out, "open:[" + r.path + "] error:" + r.why + "\n\0"s) << r.name;
        EXPECT_EQ(rc, -1) << r.name;
    }
    EXPECT_EQ(sh.run("source " + script), "ran\n\0"s);
    close(listener);
}

// A line longer than a command line is refused with its length, read to its
// end in the one line buffer; the lines around it run.
TEST_F(Shell, SourceRefusesALongLineWithItsLength)
{
    const scratch_dir dir;
    struct row {
        size_t len;
        bool runs;
    } const rows[] = {{4095, true}, {4096, false}, {1 << 20, false}};
    for (const auto &r : rows) {
        const std::string body = "echo " + std::string(r.len - 5, 'x');
        const std::string path = dir.write("long.sh", "echo before\n" + body + "\necho after\n");
        const std::string out = sh.run("source " + path);
        const std::string refusal = "error: command line too long (" + std::to_string(r.len) + " bytes, at most 4095)\n";
        EXPECT_EQ(out, "before\n" + (r.runs ? body.substr(5) + "\n" : refusal) + "after\n\0"s) << r.len;
    }
}

namespace {

// A session that ends once it has been asked a number of times.
struct ending_session : sh_capture {
    int asked = 0;
    int ends_at;
    explicit ending_session(int n) : ends_at(n) { ctx.ended = ask; }
    static const char *ask(void *out)
    {
        auto *s = static_cast<ending_session *>(static_cast<sh_capture *>(out));
        return ++s->asked >= s->ends_at ? "the peer has gone" : nullptr;
    }
};

}  // namespace

// A file that sources itself twice runs 2^16 levels' worth of lines; once its
// session has ended, the lines stop, at every level, and the outermost one
// says why, once.
TEST_F(Shell, SourceFanOutStopsWhenItsSessionEnds)
{
    const scratch_dir dir;
    const std::string fan = dir.path + "/fan.sh";
    std::ofstream(fan) << "echo x\nsource " << fan << "\nsource " << fan << "\n";
    for (int ends_at : {1, 50}) {
        ending_session s(ends_at);
        int rc = 0;
        const std::string out = s.run("source " + fan, &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_LE(count_of(out, "x\n"), static_cast<size_t>(ends_at)) << out;
        EXPECT_GE(count_of(out, "x\n"), 1u);
        EXPECT_EQ(count_of(out, "stopped"), 1u) << out;
        EXPECT_NE(out.find("source: [" + fan + "] stopped: the peer has gone\n\0"s), std::string::npos) << out;
        EXPECT_EQ(count_of(out, "\0"s), 1u);
    }
    // "exit" or "quit" run by the file itself end the lines after it.
    const std::string quits = dir.write("quit.sh", "echo one\nquit\necho never\n");
    sh_capture s;
    const std::string out = s.run("source " + quits);
    EXPECT_EQ(out.find("never"), std::string::npos) << out;
    EXPECT_NE(out.find("source: [" + quits + "] stopped: the session has ended\n"), std::string::npos) << out;
}
