#include "libpal/os/posix/os_name_pipe.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>

#include "str_log_capture.h"

namespace {

// A channel name of this process, its FIFOs removed before and after.
class NamePipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = "zorv_np_" + std::to_string(getpid());
        remove_paths();
    }
    void TearDown() override { remove_paths(); }
    std::string path(int direction) const
    {
        return std::string(os_name_pipe_dir()) + "/" + name_ + "_" + std::to_string(direction);
    }
    void remove_paths() const
    {
        unlink(path(0).c_str());
        unlink(path(1).c_str());
    }
    std::string name_;
};

// One client's exchange: "hello" out and back, then the client leaves.
void echo_once(const std::string &name)
{
    os_name_pipe_cli *cli = os_name_pipe_cli_open(name.c_str());
    ASSERT_NE(cli, nullptr);
    EXPECT_EQ(os_name_pipe_cli_write(cli, "hello", 5), 5);
    char back[16] = {};
    EXPECT_EQ(os_name_pipe_cli_read(cli, back, sizeof(back)), 5);
    EXPECT_STREQ(back, "hello");
    EXPECT_EQ(os_name_pipe_cli_close(cli), 0);
}

}  // namespace

TEST_F(NamePipe, ServesOneClientAfterTheOther)
{
    os_name_pipe_srv *srv = os_name_pipe_srv_open(name_.c_str());
    ASSERT_NE(srv, nullptr);
    struct stat st = {};
    ASSERT_EQ(lstat(os_name_pipe_dir(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (int d : {0, 1}) {
        ASSERT_EQ(lstat(path(d).c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "a debug channel is not open to other users";
    }
    std::atomic<int> left{0};
    std::thread server([&] {
        for (int client = 0; client < 2; client++) {
            ASSERT_TRUE(os_name_pipe_srv_check_connect(srv));
            char buf[16] = {};
            const int64_t n = os_name_pipe_srv_read(srv, buf, sizeof(buf), 0);
            ASSERT_EQ(n, 5);
            EXPECT_EQ(os_name_pipe_srv_write(srv, buf, static_cast<size_t>(n)), 5);
            EXPECT_EQ(os_name_pipe_srv_read(srv, buf, sizeof(buf), 0), 0) << "the client closed";
            left++;
        }
    });
    echo_once(name_);
    // The next client comes once the server has seen this one leave: one
    // that came earlier would simply go on with the same stream.
    for (int i = 0; i < 2000 && left.load() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    echo_once(name_);
    server.join();
    EXPECT_FALSE(os_name_pipe_srv_is_killed(srv));
    EXPECT_EQ(os_name_pipe_srv_close(srv), 0);
    EXPECT_EQ(lstat(path(0).c_str(), &st), 0) << "the FIFOs stay";
}

// kill ends every wait of the server: for a client, and for a client's bytes.
TEST_F(NamePipe, KillWakesTheWaitingServer)
{
    for (bool with_client : {false, true}) {
        SCOPED_TRACE(with_client ? "waiting for bytes" : "waiting for a client");
        os_name_pipe_srv *srv = os_name_pipe_srv_open(name_.c_str());
        ASSERT_NE(srv, nullptr);
        std::atomic<int> result{1};
        std::thread server([&] {
            char buf[16];
            result = os_name_pipe_srv_check_connect(srv) ? static_cast<int>(os_name_pipe_srv_read(srv, buf, 16, 0))
                                                          : -1;
        });
        os_name_pipe_cli *cli = with_client ? os_name_pipe_cli_open(name_.c_str()) : nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(result.load(), 1) << "still waiting";
        EXPECT_EQ(os_name_pipe_srv_kill(srv), 0);
        server.join();
        EXPECT_EQ(result.load(), -1);
        EXPECT_TRUE(os_name_pipe_srv_is_killed(srv));
        EXPECT_EQ(os_name_pipe_srv_close(srv), 0);
        if (cli != nullptr) {
            char c;
            EXPECT_EQ(os_name_pipe_cli_read(cli, &c, 1), 0) << "the client sees the server gone";
            EXPECT_EQ(os_name_pipe_cli_write(cli, "x", 1), -1);
            EXPECT_EQ(errno, EPIPE);
            os_name_pipe_cli_close(cli);
        }
    }
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
    EXPECT_EQ(os_name_pipe_srv_open(""), nullptr);
}

TEST_F(NamePipe, ClientWithoutServerGivesUp)
{
    log_capture logs;
    EXPECT_EQ(os_name_pipe_cli_open(name_.c_str()), nullptr);  // no FIFO at all
    os_name_pipe_srv_close(os_name_pipe_srv_open(name_.c_str()));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(os_name_pipe_cli_open(name_.c_str()), nullptr);  // FIFOs that no server reads
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(logs.has("open [" + path(0) + "] error: "));
}

TEST_F(NamePipe, RefusesAPathThatIsNotOurFifo)
{
    os_name_pipe_srv_close(os_name_pipe_srv_open(name_.c_str()));  // the directory
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
        EXPECT_TRUE(logs.has("mkfifo [" + std::string(os_name_pipe_dir()) + "/" + name_));
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
    os_name_pipe_srv_close(os_name_pipe_srv_open(name_.c_str()));  // the directory
    remove_paths();
    ASSERT_EQ(mkfifo(path(0).c_str(), 0666), 0);
    ASSERT_EQ(chown(path(0).c_str(), 65534, 65534), 0);
    EXPECT_EQ(os_name_pipe_srv_open(name_.c_str()), nullptr);
}

namespace {

// The channel directory of user 65534 is planted by root, then a child that
// runs as that user opens a server and a client: exit status 0 when both are
// refused, 1 when either is let in (the server, where the directory is sound).
constexpr uid_t k_other = 65534;
const std::string k_other_dir = "/tmp/zorv-65534";

void clear_other_dir()
{
    unlink((k_other_dir + "/np_0").c_str());
    unlink((k_other_dir + "/np_1").c_str());
    unlink(k_other_dir.c_str());
    rmdir(k_other_dir.c_str());
}

[[noreturn]] void open_as_other()
{
    if (setegid(k_other) != 0 || seteuid(k_other) != 0)
        _exit(2);
    os_name_pipe_srv *srv = os_name_pipe_srv_open("np");
    os_name_pipe_cli *cli = os_name_pipe_cli_open("np");
    _exit(srv == nullptr && cli == nullptr ? 0 : 1);
}

}  // namespace

TEST(NamePipeDir, RefusesADirectoryThatIsNotPrivate)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to plant another user's directory";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string elsewhere = k_other_dir + "_elsewhere";
    struct row {
        const char *name;
        std::function<void()> make;
        int status = 0;
    };
    const row rows[] = {
        {"no directory yet: made private and used", [] {}, 1},
        {"symlink to a private directory",
         [&] {
             mkdir(elsewhere.c_str(), 0700);
             ASSERT_EQ(chown(elsewhere.c_str(), k_other, k_other), 0);
             ASSERT_EQ(symlink(elsewhere.c_str(), k_other_dir.c_str()), 0);
         }},
        {"directory open to others",
         [&] {
             ASSERT_EQ(mkdir(k_other_dir.c_str(), 0755), 0);
             ASSERT_EQ(chmod(k_other_dir.c_str(), 0755), 0);
             ASSERT_EQ(chown(k_other_dir.c_str(), k_other, k_other), 0);
         }},
        {"directory of another user", [&] { ASSERT_EQ(mkdir(k_other_dir.c_str(), 0700), 0); }},
        {"plain file", [&] { close(open(k_other_dir.c_str(), O_CREAT | O_WRONLY, 0600)); }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        clear_other_dir();
        r.make();
        EXPECT_EXIT(open_as_other(), ::testing::ExitedWithCode(r.status), "");
    }
    clear_other_dir();
    rmdir(elsewhere.c_str());
}
