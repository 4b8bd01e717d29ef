#include "libpal/os/posix/os_name_pipe.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "str_log_capture.h"

namespace {

// A channel name of this process, its FIFOs removed before and after.
class NamePipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        name_ = "zorv_np_" + std::to_string(getpid());
        remove_paths();
    }
    void TearDown() override { remove_paths(); }
    std::string path(int direction) const { return std::string("/tmp/") + name_ + "_" + std::to_string(direction); }
    void remove_paths() const
    {
        unlink(path(0).c_str());
        unlink(path(1).c_str());
    }
    std::string name_;
};

}  // namespace

TEST_F(NamePipe, RoundTripBetweenServerAndClientThreads)
{
    os_name_pipe_srv *srv = os_name_pipe_srv_open(name_.c_str());
    ASSERT_NE(srv, nullptr);
    for (int d : {0, 1}) {
        struct stat st = {};
        ASSERT_EQ(lstat(path(d).c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "a debug channel is not open to other users";
    }
    std::thread server([&] {
        ASSERT_EQ(os_name_pipe_srv_wait_connect(srv), 0);
        EXPECT_TRUE(os_name_pipe_srv_check_connect(srv));
        char buf[16] = {};
        const int64_t n = os_name_pipe_srv_read(srv, buf, sizeof(buf), 0);
        ASSERT_EQ(n, 5);
        EXPECT_EQ(os_name_pipe_srv_write(srv, buf, static_cast<size_t>(n)), 5);
        EXPECT_EQ(os_name_pipe_srv_read(srv, buf, sizeof(buf), 0), 0) << "the client closed";
    });
    os_name_pipe_cli *cli = os_name_pipe_cli_open(name_.c_str());
    ASSERT_NE(cli, nullptr);
    EXPECT_EQ(os_name_pipe_cli_write(cli, "hello", 5), 5);
    char back[16] = {};
    EXPECT_EQ(os_name_pipe_cli_read(cli, back, sizeof(back)), 5);
    EXPECT_STREQ(back, "hello");
    EXPECT_EQ(os_name_pipe_cli_close(cli), 0);
    server.join();
    EXPECT_EQ(os_name_pipe_srv_kill(srv), -1);
    EXPECT_FALSE(os_name_pipe_srv_is_killed(srv));
    EXPECT_EQ(os_name_pipe_srv_close(srv), 0);
    struct stat st = {};
    EXPECT_EQ(lstat(path(0).c_str(), &st), 0) << "the FIFOs stay";
}

TEST_F(NamePipe, ServerWithoutClientClosesNoDescriptor)
{
    os_name_pipe_srv *srv = os_name_pipe_srv_open(name_.c_str());
    ASSERT_NE(srv, nullptr);
    EXPECT_EQ(os_name_pipe_srv_close(srv), 0);
    EXPECT_GE(fcntl(0, F_GETFD), 0) << "standard input stays open";
    // The FIFOs made by the first server are ours: a second one reuses them.
    srv = os_name_pipe_srv_open(name_.c_str());
    ASSERT_NE(srv, nullptr);
    os_name_pipe_srv_close(srv);
}

TEST_F(NamePipe, RefusesAPathThatIsNotOurFifo)
{
    const std::string target = path(0) + "_target";
    mkfifo(target.c_str(), 0600);
    struct row {
        const char *name;
        std::function<void()> make;
    };
    const row rows[] = {
        {"regular file", [&] { close(open(path(0).c_str(), O_CREAT | O_WRONLY, 0600)); }},
        {"symlink to our FIFO", [&] { ASSERT_EQ(symlink(target.c_str(), path(1).c_str()), 0); }},
        {"directory", [&] { ASSERT_EQ(mkdir(path(0).c_str(), 0700), 0); }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        remove_paths();
        rmdir(path(0).c_str());
        r.make();
        log_capture logs;
        EXPECT_EQ(os_name_pipe_srv_open(name_.c_str()), nullptr);
        EXPECT_TRUE(logs.has("mkfifo [/tmp/" + name_));
        rmdir(path(0).c_str());
    }
    // A client never follows a link to a FIFO either.
    remove_paths();
    ASSERT_EQ(symlink(target.c_str(), path(0).c_str()), 0);
    log_capture logs;
    EXPECT_EQ(os_name_pipe_cli_open(name_.c_str()), nullptr);
    EXPECT_TRUE(logs.has("open [" + path(0) + "] error: "));
    unlink(target.c_str());
}

TEST_F(NamePipe, RefusesAnotherUsersFifo)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a FIFO of another user";
    ASSERT_EQ(mkfifo(path(0).c_str(), 0666), 0);
    ASSERT_EQ(chown(path(0).c_str(), 65534, 65534), 0);
    EXPECT_EQ(os_name_pipe_srv_open(name_.c_str()), nullptr);
}
