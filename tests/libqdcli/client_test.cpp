#include "libqdcli/client.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"
#include "../libpal/str_log_capture.h"

#include "libpal/basic/verr.h"
#include "libpal/os/os_init.h"
#include "libpal/os/os_path.h"
#include "libpal/string/url.h"

namespace {

// Each test runs in a process of its own (CTest), so the directory chosen by
// one test never leaks into the next.
class ClientConf : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        for (const char *v : {"QD_ENV_CONF_DIR", "QD_PROXY_FILE", "QD_CACHE"}) unsetenv(v);
    }
    void TearDown() override
    {
        for (const char *v : {"QD_ENV_CONF_DIR", "QD_PROXY_FILE", "QD_CACHE"}) unsetenv(v);
        temp_dir_test::TearDown();
    }
    std::string env(const char *name) const
    {
        const char *v = getenv(name);
        return v != nullptr ? v : "";
    }
    std::string resolve(const std::string &name, std::string *err_text = nullptr)
    {
        std::vector<char> buf(URL_BUF_SIZE);
        verr err{};
        int rc = conf_client_resolve_url(name.c_str(), buf.data(), &err);
        if (err_text != nullptr) *err_text = err.msg;
        return rc == 0 ? std::string(buf.data()) : "<failed>";
    }
};

TEST_F(ClientConf, EnvironmentDirectoryWinsOverTheWorkingDirectory)
{
    std::string env_dir = dir_ + "/env", cwd_dir = dir_ + "/cwd";
    ASSERT_EQ(mkdir(env_dir.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(cwd_dir.c_str(), 0700), 0);
    make_file("env/qd_client.ini", "[conf]\ncache_dir=/var/cache/qd\n");
    make_file("cwd/qd_client.ini", "[conf]\n");
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
    ASSERT_EQ(chdir(cwd_dir.c_str()), 0);
    setenv("QD_ENV_CONF_DIR", env_dir.c_str(), 1);
    EXPECT_EQ(qd_conf_init(), 0);
    EXPECT_EQ(chdir(old), 0);
    EXPECT_EQ(env("QD_PROXY_FILE"), env_dir + "/qd_proxy.ini");
    EXPECT_EQ(env("QD_CACHE"), "/var/cache/qd");
    // Chosen once: a later change of the environment moves nothing.
    setenv("QD_ENV_CONF_DIR", cwd_dir.c_str(), 1);
    EXPECT_EQ(qd_conf_init(), 0);
    EXPECT_EQ(env("QD_PROXY_FILE"), env_dir + "/qd_proxy.ini");
}

TEST_F(ClientConf, WithoutAFileTheDefaultTimeoutsApplyAndTheUrlsOwnWin)
{
    // The executable's directory is the last one tried.
    char exe_dir[4096];
    ASSERT_EQ(os_exe_get_dir(exe_dir, sizeof(exe_dir)), 0);
    ASSERT_NE(os_file_exist((std::string(exe_dir) + "/qd_client.ini").c_str()), 1)
        << "a qd_client.ini lies beside the test binary";
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    // In a process of its own: a directory an earlier test of this one chose
    // would be kept, and the call would return 0 for that.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto first_init = [this] {
        const bool none = qd_conf_init() == -1 && getenv("QD_PROXY_FILE") == nullptr;
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        _exit(none ? 0 : 1);
    };
    EXPECT_EXIT(first_init(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(chdir(old), 0);
    EXPECT_EQ(qd_conf_get_int("connect_timeout"), 6);
    EXPECT_EQ(qd_conf_get_int("read_timeout"), 15);
    EXPECT_EQ(qd_conf_get_int("write_timeout"), 8);
    EXPECT_EQ(qd_conf_get_int("cache_dir"), 0);

    struct {
        const char *in;
        const char *out;
    } rows[] = {
        {"/tmp/a.img", "/tmp/a.img?connect_timeout=6&read_timeout=15&write_timeout=8"},
        {"/tmp/a.img?read_timeout=3", "/tmp/a.img?read_timeout=3&connect_timeout=6&write_timeout=8"},
    };
    for (const auto &row : rows) {
        std::vector<char> url(URL_BUF_SIZE);
        snprintf(url.data(), url.size(), "%s", row.in);
        EXPECT_EQ(qd_conf_get_timeouts(url.data()), 0);
        EXPECT_STREQ(url.data(), row.out) << row.in;
    }
    std::string err;
    EXPECT_EQ(resolve("///box/disk.img", &err), "<failed>");
    EXPECT_FALSE(err.empty());
}

TEST_F(ClientConf, TimeoutsAndCacheComeFromSectionConf)
{
    make_file("qd_client.ini", "[conf]\nconnect_timeout=2\nread_timeout=30\ncache_dir=/a//b\n");
    ASSERT_EQ(qd_conf_set_path(dir_.c_str()), 0);
    EXPECT_EQ(env("QD_CACHE"), "/a/b");
    unsetenv("QD_CACHE");
    EXPECT_EQ(qd_conf_get_int("connect_timeout"), 2);
    EXPECT_EQ(qd_conf_get_int("read_timeout"), 30);
    EXPECT_EQ(qd_conf_get_int("write_timeout"), 8);
    char buf[256];
    EXPECT_EQ(qd_conf_get_str("cache_dir", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "/a/b");
    setenv("QD_CACHE", "/from/env", 1);
    qd_conf_get_str("cache_dir", buf, sizeof(buf));
    EXPECT_STREQ(buf, "/from/env");

    std::vector<char> url(URL_BUF_SIZE);
    snprintf(url.data(), url.size(), "/dev/sdb");
    qd_conf_get_timeouts(url.data());
    EXPECT_STREQ(url.data(), "/dev/sdb?connect_timeout=2&read_timeout=30&write_timeout=8");

    // Writes reach the file and the next read.
    EXPECT_EQ(qd_conf_set_int("write_timeout", 11), 0);
    EXPECT_EQ(qd_conf_get_int("write_timeout"), 11);
    EXPECT_EQ(qd_conf_set_str("cache_dir", "/c"), 0);
    EXPECT_EQ(env("QD_CACHE"), "/c");
}

// A name may give each time-out only 1 to 600 seconds; a configured value
// outside that is brought inside with a warning, so that it does not make
// every export refuse to open.
TEST_F(ClientConf, ConfiguredTimeoutsOutsideTheirRangeAreBroughtInside)
{
    make_file("qd_client.ini", "[conf]\nconnect_timeout=0\nread_timeout=900\nwrite_timeout=-5\n");
    ASSERT_EQ(qd_conf_set_path(dir_.c_str()), 0);
    log_capture logs;
    std::vector<char> url(URL_BUF_SIZE);
    snprintf(url.data(), url.size(), "/dev/sdb");
    qd_conf_get_timeouts(url.data());
    EXPECT_STREQ(url.data(), "/dev/sdb?connect_timeout=1&read_timeout=600&write_timeout=1");
    // One warn line for each value brought inside, naming the file and section.
    for (const char *said : {"connect_timeout=0 is outside 1 to 600 seconds: 1 used\n",
                             "read_timeout=900 is outside 1 to 600 seconds: 600 used\n",
                             "write_timeout=-5 is outside 1 to 600 seconds: 1 used\n"}) {
        int warned = 0;
        for (const auto &line : logs.all())
            warned += line.level == LOG2_WARN && line.text.find("qd_client.ini [conf] ") != std::string::npos &&
                      line.text.ends_with(said);
        EXPECT_EQ(warned, 1) << said;
    }
    // The bounds themselves are used as they are, without a word.
    make_file("qd_client.ini", "[conf]\nconnect_timeout=1\nread_timeout=600\nwrite_timeout=600\n");
    log_capture bounds;
    snprintf(url.data(), url.size(), "/dev/sdb");
    qd_conf_get_timeouts(url.data());
    EXPECT_STREQ(url.data(), "/dev/sdb?connect_timeout=1&read_timeout=600&write_timeout=600");
    EXPECT_FALSE(bounds.has("is outside"));
}

TEST_F(ClientConf, SessionsGiveTheirUrls)
{
    ASSERT_EQ(qd_conf_set_path(dir_.c_str()), 0);
    client_info box{};
    box.prot = 4;
    snprintf(box.ip, sizeof(box.ip), "fe80__1");
    snprintf(box.port, sizeof(box.port), "7000");
    snprintf(box.user, sizeof(box.user), "u");
    ASSERT_EQ(conf_client_set_info("box", &box), 0);
    client_info back{};
    ASSERT_EQ(conf_client_get_info("box", &back, nullptr), 0);
    EXPECT_EQ(back.prot, 4u);
    EXPECT_STREQ(back.ip, "fe80__1");

    std::vector<char> url(URL_BUF_SIZE);
    EXPECT_EQ(conf_client_get_url("box", url.data(), nullptr), 0);
    EXPECT_STREQ(url.data(), "qdp://u@[fe80::1]:7000");
    box.use_ssl = 1;
    snprintf(box.pwd, sizeof(box.pwd), "pw");
    snprintf(box.proxy, sizeof(box.proxy), "p1");
    conf_client_info_url(&box, url.data(), url.size());
    EXPECT_STREQ(url.data(), "qdps://u:pw@[fe80::1]:7000?proxy=p1");
    EXPECT_EQ(conf_client_get_url("", url.data(), nullptr), 0);
    EXPECT_STREQ(url.data(), "");

    EXPECT_EQ(resolve("///box/disk.img?sector_size=4096"), "qdp://u@[fe80::1]:7000/disk.img?sector_size=4096");
    EXPECT_EQ(resolve("/tmp//a.img"), "/tmp//a.img");
    std::string err;
    EXPECT_EQ(resolve("///nobody/x", &err), "<failed>");
    EXPECT_EQ(err, "'nobody' does not exist");

    EXPECT_EQ(conf_client_is_exist("box"), 1);
    EXPECT_EQ(conf_client_copy_move("box", "box2"), 0);
    EXPECT_EQ(conf_client_is_exist("box"), 0);
    EXPECT_EQ(conf_client_del("box2"), 0);
    EXPECT_EQ(conf_client_is_exist("box2"), 0);
}

TEST_F(ClientConf, LocalSessionResolvesToThePathAlone)
{
    ASSERT_EQ(qd_conf_set_path(dir_.c_str()), 0);
    std::vector<std::string> seen;
    auto cb = [](void *arg, const char *name, uint32_t) {
        static_cast<std::vector<std::string> *>(arg)->push_back(name);
        return 0;
    };
    make_file("qd_client.ini",
              "[session/_Quick_Connection]\nprot=net\n[session/odd]\nprot=ftp\n"
              "[session/noip]\nprot=qdp\n[session/hand]\nprot=qdp\nip=h\n");
    EXPECT_EQ(conf_walk_item(cb, &seen), 0);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"hand", "localhost"}));
    client_info hand{};
    ASSERT_EQ(conf_client_get_info("hand", &hand, nullptr), 0);
    EXPECT_STREQ(hand.bs, "2M");
    EXPECT_STREQ(hand.fmod, "644");
    EXPECT_STREQ(hand.dmod, "755");
    EXPECT_EQ(resolve("///localhost/tmp/a.img"), "/tmp/a.img");
    EXPECT_EQ(resolve("///localhost/tmp/a.img?sector_off=8"), "/tmp/a.img?sector_off=8");
    std::string err;
    EXPECT_EQ(resolve("///odd/x", &err), "<failed>");
    EXPECT_EQ(err, "Unsupported protocol [ftp]");
    EXPECT_EQ(resolve("///noip/x", &err), "<failed>");
    EXPECT_EQ(err, "Failed to get ip");
}

}  // namespace
