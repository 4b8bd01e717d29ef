#include "libpal/os/os_init.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/verr.h"
#include "libpal/os/os_dir.h"
#include "libpal/os/os_path.h"
#include "libpal/os/posix/os_limits.h"
#include "libpal/string/path.h"
#include "os_file_fixture.h"
#include "str_log_capture.h"

namespace {

using make_dirs = temp_dir_test;

bool is_dir(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST_F(make_dirs, CreatesEveryMissingComponent)
{
    EXPECT_EQ(os_mkdirs(path("a/b//c").c_str()), 0);
    EXPECT_TRUE(is_dir(path("a/b/c")));
    EXPECT_EQ(os_mkdirs(path("a/b/c").c_str()), 0) << "all present";
    EXPECT_EQ(os_mkdirs((path("q") + "\\r\\s").c_str()), 0) << "backslashes separate too";
    EXPECT_TRUE(is_dir(path("q/r/s")));
}

TEST_F(make_dirs, RegularFileInTheWayFails)
{
    make_file("f", "x");
    errno = 0;
    EXPECT_EQ(os_mkdirs(path("f").c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(os_mkdirs(path("f/g").c_str()), -1);
    EXPECT_EQ(read_file(path("f")), "x");
}

TEST_F(make_dirs, ParentOfAPath)
{
    EXPECT_EQ(os_mkdirs_parent(path("p1/p2/file").c_str()), 0);
    EXPECT_TRUE(is_dir(path("p1/p2")));
    EXPECT_FALSE(exists(path("p1/p2/file")));
    EXPECT_EQ(os_mkdirs_parent("bare-name"), -1);
}

TEST_F(make_dirs, ExistenceAndRemoval)
{
    std::string f = make_file("e", "x");
    struct row {
        std::string path;
        int result;
    } rows[] = {{dir_, 0}, {f, 1}, {path("none"), -1}, {f + "/below", -1}};
    for (const row &r : rows)
        EXPECT_EQ(os_file_exist(r.path.c_str()), r.result) << r.path;
    EXPECT_EQ(os_remove(("'" + f + "'").c_str()), 0);
    EXPECT_FALSE(exists(f));
}

TEST_F(make_dirs, RacingCreatorsAllSucceed)
{
    const std::string deep = path("r1/r2/r3/r4/r5");
    std::atomic<int> go{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; i++) {
        threads.emplace_back([&] {
            while (go.load() == 0) {
            }
            if (os_mkdirs(deep.c_str()) != 0)
                failures++;
        });
    }
    go = 1;
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(is_dir(deep));
}

TEST_F(make_dirs, ModesRootParentAndOverlongPaths)
{
    ASSERT_EQ(umask(022), umask(022));
    EXPECT_EQ(os_mkdir_mode(path("m").c_str(), 0700), 0);
    struct stat st;
    ASSERT_EQ(stat(path("m").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(os_mkdir(path("m").c_str()), 0) << "a directory already";
    EXPECT_EQ(os_mkdirs_parent("/zorv-file-at-root"), 0) << "the root is the parent";
    const std::string longp = dir_ + "/" + std::string(4097, 'n');
    log_capture cap;
    errno = 0;
    EXPECT_EQ(os_mkdirs(longp.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(cap.has("need_size="));
}

TEST(DirResolve, NamesAgainstABase)
{
    struct row {
        const char *base;
        const char *name;
        const char *out;
    } rows[] = {
        {"/", "..", "/"},
        {"/a/b", "..", "/a/"},
        {"/a/b/", "..", "/a/"},
        {"/a", "/etc", "/etc"},
        {"/a", "b", "/a/b"},
        {"/a/", "b", "/a/b"},
        {"/a\\b", ".", "/a/b"},
        {"/a", "c\\d", "/a/c/d"},
    };
    char out[PL_MAX_PATH];
    for (const row &r : rows)
        EXPECT_STREQ(os_dir_resolve(r.base, r.name, out, sizeof(out)), r.out) << r.base << " + " << r.name;
}

TEST_F(make_dirs, ChangeDirectoryText)
{
    make_file("file", "x");
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    char current[PL_MAX_PATH];
    snprintf(current, sizeof(current), "%s", dir_.c_str());
    EXPECT_EQ(os_dir_change(current, nullptr, "sub"), 0);
    EXPECT_EQ(std::string(current), path("sub"));
    EXPECT_EQ(os_dir_change(current, nullptr, ".."), 0);
    EXPECT_EQ(std::string(current), dir_ + "/");
    errno = 0;
    EXPECT_EQ(os_dir_change(current, nullptr, "file"), -1);
    EXPECT_EQ(errno, verr_2_posix(-126));
    EXPECT_EQ(os_dir_change(current, nullptr, "vanished"), -1);
    EXPECT_EQ(std::string(current), dir_ + "/") << "unchanged by failures";
    EXPECT_EQ(os_dir_change(current, nullptr, "/"), 0);
    EXPECT_STREQ(current, "/");
}

TEST_F(make_dirs, KindsAndDirectoryRemoval)
{
    std::string f = make_file("f", "x");
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("full").c_str(), 0755), 0);
    make_file("full/x", "x");
    struct row {
        std::string path;
        int kind;
    } rows[] = {{path("d"), 1}, {f, 0}, {path("vanished"), -1}};
    for (const row &r : rows)
        EXPECT_EQ(os_is_dir(r.path.c_str()), r.kind) << r.path;
    EXPECT_EQ(os_rmdir(f.c_str()), 0) << "a regular file is removed";
    EXPECT_FALSE(exists(f));
    EXPECT_EQ(os_remove_dir(path("d").c_str()), 0);
    EXPECT_FALSE(exists(path("d")));
    errno = 0;
    EXPECT_EQ(os_rmdir_r(path("full").c_str(), true), -1) << "the flag does not recurse";
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_TRUE(exists(path("full/x")));
}

TEST_F(make_dirs, StatOfALink)
{
    make_file("f", "12345");
    ASSERT_EQ(symlink("f", path("l").c_str()), 0);
    os_dir_entry rec;
    struct row {
        std::string path;
        uint32_t mode;
        uint32_t type;
        const char *name;
        std::string link;
    } rows[] = {
        {path("l"), 1, OS_STAT_TYPE_LINK, "l", "f"},
        {path("l"), 2, OS_STAT_TYPE_LINK, "l", path("f")},
        {path("l"), 0, OS_STAT_TYPE_LINK, "l", ""},
        {path("f"), 2, OS_STAT_TYPE_FILE, "f", ""},
        {dir_ + "/", 2, OS_STAT_TYPE_DIR, "", ""},
    };
    for (const row &r : rows) {
        ASSERT_EQ(os_stat_link(r.path.c_str(), r.mode, &rec), 0) << r.path;
        EXPECT_EQ(rec.type, r.type) << r.path;
        EXPECT_EQ(std::string(rec.link), r.link) << r.path << " mode " << r.mode;
        if (r.name[0] != '\0') {
            EXPECT_STREQ(rec.name, r.name);
        }
    }
    ASSERT_EQ(os_stat_link(path("f").c_str(), 0, &rec), 0);
    EXPECT_EQ(rec.size, 5u);
    EXPECT_EQ(os_stat_link(path("vanished").c_str(), 0, &rec), -1);
}

TEST_F(make_dirs, OldFilesArePrunedByNameOrder)
{
    const std::vector<std::string> logs = {"app-2026-12-05.log", "app-2026-12-01.log", "app-2026-12-03.log",
                                           "app-2026-12-02.log", "app-2026-12-04.log"};
    struct row {
        uint32_t keep;
        std::vector<std::string> left;
    } rows[] = {
        {3, {"app-2026-12-03.log", "app-2026-12-04.log", "app-2026-12-05.log"}},
        {5, logs},
        {9, logs},
        {0, {}},
    };
    for (const row &r : rows) {
        for (const auto &n : logs)
            make_file(n, "x");
        make_file("other.txt", "x");
        ASSERT_EQ(mkdir(path("app-dir.log").c_str(), 0755), 0);
        EXPECT_EQ(os_dir_glob_del_old_file(dir_.c_str(), "app-*.log", r.keep), 0);
        std::vector<std::string> left;
        for (const auto &n : logs)
            if (exists(path(n)))
                left.push_back(n);
        std::sort(left.begin(), left.end());
        std::vector<std::string> want = r.left;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(left, want) << "keep " << r.keep;
        EXPECT_TRUE(exists(path("other.txt")));
        EXPECT_TRUE(exists(path("app-dir.log"))) << "directories are not pruned";
        for (const auto &n : logs)
            unlink(path(n).c_str());
        rmdir(path("app-dir.log").c_str());
    }
    log_capture cap;
    EXPECT_EQ(os_dir_glob_del_old_file(path("vanished").c_str(), "*", 1), -1);
    EXPECT_TRUE(cap.has("os_opendir [" + path("vanished") + "] error: "));
}

TEST(ExecutablePath, DirectoryKeepsItsTrailingSeparator)
{
    char name[PL_MAX_PATH];
    char dir[PL_MAX_PATH];
    ASSERT_EQ(os_exe_get_name(name, sizeof(name)), 0);
    ASSERT_EQ(os_exe_get_dir(dir, sizeof(dir)), 0);
    std::string n = name;
    EXPECT_EQ(n.substr(n.rfind('/') + 1), "pal_tests");
    EXPECT_EQ(std::string(dir), n.substr(0, n.rfind('/') + 1));
    EXPECT_EQ(dir[strlen(dir) - 1], '/');
    char tiny[4];
    log_capture cap;
    errno = 0;
    EXPECT_EQ(os_exe_get_dir(tiny, sizeof(tiny)), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(cap.has("os_exe_get_name error:"));
}

TEST(ExecutablePath, ConfigurationFileBesideTheExecutable)
{
    char dir[PL_MAX_PATH];
    ASSERT_EQ(os_exe_get_dir(dir, sizeof(dir)), 0);
    const std::string conf = std::string(dir) + "conf";
    struct stat st;
    if (stat(conf.c_str(), &st) == 0)
        GTEST_SKIP() << conf << " exists already";
    char out[PL_MAX_PATH];
    EXPECT_EQ(std::string(os_conf_file_path(out, "zorv.ini")), std::string(dir) + "/zorv.ini");
    ASSERT_EQ(mkdir(conf.c_str(), 0755), 0);
    EXPECT_EQ(std::string(os_conf_file_path(out, "zorv.ini")), std::string(dir) + "/conf/zorv.ini");
    rmdir(conf.c_str());
}

TEST(Environment, WrappersAndNumbers)
{
    os_unsetenv("ZORV_T_UNSET");
    struct row {
        const char *value;  // nullptr: not set
        int as_int;
        uint64_t as_size;
    } rows[] = {{nullptr, 0, 0}, {"12", 12, 12}, {"64k", 0, 65536}, {"-3", -3, 0}};
    for (const row &r : rows) {
        if (r.value)
            ASSERT_EQ(os_setenv("ZORV_T_NUM", r.value, 1), 0);
        else
            ASSERT_EQ(os_unsetenv("ZORV_T_NUM"), 0);
        EXPECT_EQ(os_getenv_int("ZORV_T_NUM"), r.as_int) << (r.value ? r.value : "unset");
        EXPECT_EQ(os_getenv_size("ZORV_T_NUM"), r.as_size) << (r.value ? r.value : "unset");
    }
    ASSERT_EQ(os_setenv("ZORV_T_KEEP", "first", 1), 0);
    EXPECT_EQ(os_setenv("ZORV_T_KEEP", "second", 0), 0);
    EXPECT_STREQ(os_getenv("ZORV_T_KEEP"), "first");
    EXPECT_EQ(os_setenv_fmt("ZORV_T_KEEP", "%s-%d", "v", 7), 0);
    EXPECT_STREQ(os_getenv("ZORV_T_KEEP"), "v-7");
    log_capture cap;
    errno = 0;
    EXPECT_EQ(os_setenv_fmt("ZORV_T_KEEP", "%s", std::string(300, 'x').c_str()), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_STREQ(os_getenv("ZORV_T_KEEP"), "v-7") << "a value that does not fit is not cut";
    EXPECT_EQ(os_getenv(nullptr), nullptr);
    os_unsetenv("ZORV_T_KEEP");
    os_unsetenv("ZORV_T_NUM");
}

TEST(CommandLineText, JoinedIntoOneText)
{
    char a0[] = "zorv", a1[] = "-c", a2[] = "my file.ini", a3[] = "-d";
    char *argv[] = {a0, a1, a2, a3, nullptr};
    char out[64];
    EXPECT_STREQ(os_cmdline_get(4, argv, out, sizeof(out)), "zorv -c \"my file.ini\" -d ");
    char small[8];
    EXPECT_STREQ(os_cmdline_get(4, argv, small, sizeof(small)), "");
    EXPECT_STREQ(os_cmdline_get(0, argv, out, sizeof(out)), "");
}

TEST(DynamicLoading, LoadLookUpCloseAndSoftAssertions)
{
    void *h = os_dlopen("libc.so.6");
    ASSERT_NE(h, nullptr);
    EXPECT_NE(os_dlsym(h, "strlen"), nullptr);
    EXPECT_EQ(os_dlclose(h), 0);
    struct row {
        const char *expr;
        bool failed;
    };
    log_capture cap;
    row rows[] = {
        {"expr[name]: assert failed", os_dlopen(nullptr) == nullptr},
        {"expr[h && name]: assert failed", os_dlsym(nullptr, "x") == nullptr},
        {"expr[h]: assert failed", os_dlclose(nullptr) == -1},
    };
    for (const row &r : rows) {
        EXPECT_TRUE(r.failed) << r.expr;
        EXPECT_TRUE(cap.has(r.expr)) << r.expr;
    }
    EXPECT_EQ(os_dlopen2("libzorv-none.so"), nullptr);
    EXPECT_TRUE(cap.has("dll=libzorv-none.so"));
    EXPECT_TRUE(cap.has("os_dlopen libzorv-none.so error: "));
}

TEST(ConsoleInput, LinesAndPendingKeyFromStandardInput)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "k", 1), 1);
    int saved = dup(STDIN_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
    os_console_wait_key();
    char c = 0;
    EXPECT_EQ(read(STDIN_FILENO, &c, 1), 1) << "the pending key is left unread";
    EXPECT_EQ(c, 'k');

    ASSERT_EQ(write(fds[1], "one\ntwo", 7), 7);
    close(fds[1]);
    clearerr(stdin);
    char line[16];
    EXPECT_STREQ(os_stdin_gets(line, sizeof(line)), "one\n");
    EXPECT_STREQ(os_stdin_gets(line, sizeof(line)), "two");
    EXPECT_EQ(os_stdin_gets(line, sizeof(line)), nullptr);
    EXPECT_EQ(os_stdin_gets(nullptr, 4), nullptr);
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(fds[0]);
    clearerr(stdin);
}

TEST(StartUp, LimitsMaskAndLock)
{
    rlimit before;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    umask(077);
    EXPECT_EQ(os_init(), 0);
    EXPECT_EQ(umask(022), 022u);
    rlimit nofile;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &nofile), 0);
    EXPECT_EQ(nofile.rlim_cur, nofile.rlim_max) << "the soft limit rises to the hard one";
    EXPECT_GE(nofile.rlim_max, before.rlim_max);
    EXPECT_EQ(os_ulimit(RLIMIT_NOFILE), 0);
    EXPECT_EQ(os_exit(), 0);
    // os_init installed the panic handler in this test process: a later crash
    // should get the sanitizers' report, not a panic.
    for (int s : {SIGTERM, SIGQUIT, SIGINT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
        signal(s, SIG_DFL);
}

namespace {

using ProcessExitDeathTest = temp_dir_test;

[[noreturn]] void exit_with_buffered_output(const std::string &file, int status)
{
    FILE *f = fopen(file.c_str(), "w");
    if (f)
        fputs("buffered", f);
    os_process_exit(status);
}

}  // namespace

TEST_F(ProcessExitDeathTest, EndsWithTheStatusAndKeepsBufferedOutput)
{
    // The child must write into this test's own directory: a forked child.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "fast");
    for (int status : {0, 5}) {
        const std::string out = path("out" + std::to_string(status));
        EXPECT_EXIT(exit_with_buffered_output(out, status), ::testing::ExitedWithCode(status), "");
        EXPECT_EQ(read_file(out), "buffered");
    }
    GTEST_FLAG_SET(death_test_style, style);
}
