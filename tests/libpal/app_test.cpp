// Application frame: the configuration file read once at start, the -c
// fallback said before anything can end the start, and relative -c and -o
// paths taken from the start directory. Each case runs app_init in a child
// (it ends the process on its roads and starts the stop thread).
#include "libpal/tframe/app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "libconf/conf.h"
#include "libpal/tframe/app_desc.h"
#include "str_log_capture.h"

namespace {

// What the child's option hook sets, the same in the parent and the child.
const char *g_conf_arg = nullptr;
const char *g_log_arg = nullptr;

int parse_opts(int, char **)
{
    app_opt_str_set(&g_app_opts.conf_file, g_conf_arg);
    app_opt_str_set(&g_app_opts.log_file, g_log_arg);
    return 0;
}

void fill_app(int (*check_instance)())
{
    g_app.app_name = "apptest";
    g_app.app_ver = "1.0";
    g_app.app_ver_date = "2025-1-1";
    g_app.app_desc = "frame test";
    g_app.app_conf_file = "apptest_default.ini";
    g_app.opt_parse_proc = parse_opts;
    g_app.check_instance_proc = check_instance;
    g_app_opts.quiet = 1;
    g_app_opts.move_to_exe_dir = 1;
}

size_t lines_with(const log_capture &log, const std::string &piece, uint32_t level)
{
    size_t n = 0;
    for (const captured_line &l : log.all())
        n += l.text.find(piece) != std::string::npos && l.level == level ? 1 : 0;
    return n;
}

char g_argv0[] = "apptest";
char *g_argv[] = {g_argv0, nullptr};

// The child's directory: the child ends without destructors, so it removes
// the directory itself.
std::string g_child_dir;

void remove_child_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(g_child_dir, ec);
}

// The child of the fallback case: app_init never comes back (the refusing
// instance check cleans up).
void fallback_child()
{
    char tmpl[] = "/tmp/zorv_app_XXXXXX";
    if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0)
        _exit(3);
    g_child_dir = tmpl;
    g_conf_arg = "missing.ini";
    fill_app([] {
        remove_child_dir();
        return -1;
    });
    app_init(1, g_argv);
    _exit(2);
}

// The child of the read-once case: its status holds a bit per fault.
void read_once_child()
{
    char tmpl[] = "/tmp/zorv_app_XXXXXX";
    if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0)
        _exit(64);
    g_child_dir = tmpl;
    std::ofstream(g_child_dir + "/a.ini") << "[s]\njunk\n[log]\nlevel=verbose\n";
    g_conf_arg = "a.ini";
    g_log_arg = "rel.log";
    fill_app([] { return 0; });
    g_app.conf_load_proc = [](const char *) { return app_conf() != nullptr ? 0 : -1; };
    log_capture log;
    app_init(1, g_argv);
    int bad = 0;
    bad |= lines_with(log, "a.ini line 2: junk refused", LOG2_WARN) != 1 ? 1 : 0;
    bad |= lines_with(log, "config [log] level=verbose refused", LOG2_WARN) != 1 ? 2 : 0;
    const std::string rel = g_child_dir + "/rel.log";
    struct stat st {};
    bad |= g_app_opts.log_file == nullptr || rel != g_app_opts.log_file || stat(rel.c_str(), &st) != 0 ? 4 : 0;
    bad |= app_conf() == nullptr ? 8 : 0;
    remove_child_dir();
    _exit(bad);
}

}  // namespace

// The instance check refuses, as it does beside a running daemon: the
// warning about the -c file that was not used must already have been said.
TEST(AppFrame, MissingConfigIsSaidBeforeTheInstanceCheckEndsTheStart)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(fallback_child(),
        ::testing::ExitedWithCode(1),
        "config file /tmp/zorv_app_[^ /]*/missing\\.ini cannot be read \\(No such file or directory\\): Load default "
        "apptest_default\\.ini");
}

// A serving start: the file is read once for the level, the daemon's keys
// and the sinks, so a skipped line and a refused level are each said once,
// at warn level; -o rel.log is opened in the start directory although the
// process has moved into the executable's.
TEST(AppFrame, ConfigurationIsReadOnceAndRelativePathsComeFromTheStartDirectory)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(read_once_child(),
        ::testing::ExitedWithCode(0), "");
}
