// Path normalisation, tests, splits, joins and the canonical form.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "libpal/string/path.h"
#include "str_log_capture.h"

namespace {

// A path in a PL_MAX_PATH buffer, as every caller holds one.
struct path_buf {
    char text[PL_MAX_PATH];
    explicit path_buf(const std::string &s)
    {
        EXPECT_LT(s.size(), sizeof(text));
        memset(text, 0, sizeof(text));
        memcpy(text, s.data(), s.size());
    }
};

struct text_case {
    const char *input;
    const char *expected;
};

TEST(PathNormalize, UnquotesUnifiesSeparatorsAndDropsTheScheme)
{
    const text_case cases[] = {
        {"\"/tmp/x\"", "/tmp/x"},
        {"////", "/"},
        {"\\\\", "/"},
        {"file:////a", "/a"},
        {"a//b\\\\c", "a/b/c"},
        {"  'file:///etc//x'  ", "/etc/x"},
        {"C:\\a\\\\b", "C:/a/b"},
        {"file://rel/x", "rel/x"},
        {"file:///", "/"},
        // Unquoting repeats: blanks inside the quotes, a pair inside a pair.
        {" \" '/q r' \" ", "/q r"},
        {"'\"/x\"'", "/x"},
        // Backslashes turn into slashes before the scheme is looked for.
        {"file:\\\\\\x", "/x"},
        // The scheme only counts at the start.
        {"/file://x", "/file:/x"},
        {"x/file://y", "x/file:/y"},
        // A trailing slash stays; "." and ".." are not resolved.
        {"/a/", "/a/"},
        {"/a/./b/../c", "/a/./b/../c"},
        {"a\\..\\..\\b", "a/../../b"},
        {"", ""},
        {"   ", ""},
        {"\"", "\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        path_buf p(c.input);
        EXPECT_EQ(path_normalize(p.text), p.text);
        EXPECT_STREQ(p.text, c.expected);
    }
}

TEST(PathNormalize, MissingPathIsReported)
{
    log_capture cap;
    EXPECT_EQ(path_normalize(nullptr), nullptr);
    EXPECT_TRUE(cap.has("expr[path]: assert failed"));
}

TEST(PathNormalize, BufferCopyIsStrict)
{
    char out[PL_MAX_PATH];
    EXPECT_STREQ(path_normalize_buf(" 'a\\\\b' ", out, sizeof(out)), "a/b");

    // An over-long path becomes empty rather than a cut path naming another file.
    const std::string long_path = "/" + std::string(4999, 'a');
    log_capture cap;
    EXPECT_STREQ(path_normalize_buf(long_path.c_str(), out, sizeof(out)), "");
    EXPECT_FALSE(cap.all().empty());

    const std::string fits = "/" + std::string(PL_MAX_PATH - 2, 'b');
    EXPECT_EQ(std::string(path_normalize_buf(fits.c_str(), out, sizeof(out))), fits);

    char small[4];
    EXPECT_STREQ(path_normalize_buf("/abcd", small, sizeof(small)), "");
}

TEST(PathSep, SetSepConvertsAndCollapses)
{
    path_buf a("a\\\\b//c\\/d");
    EXPECT_STREQ(path_unix_sep(a.text), "a/b/c/d");
    path_buf b("a\\\\b//c\\/d");
    EXPECT_STREQ(path_set_sep(b.text, '\\'), "a\\b\\c\\d");

    std::vector<uint32_t> wide = {'/', '/', 'a', '\\', '/', 'b', 0};
    path_wide_to_win_sep(wide.data());
    const std::vector<uint32_t> expected = {'\\', 'a', '\\', 'b', 0};
    EXPECT_EQ(std::vector<uint32_t>(wide.begin(), wide.begin() + 5), expected);
}

TEST(PathToUnix, DriveLettersBecomeOneRootedFolder)
{
    const text_case cases[] = {
        {"C:\\x\\", "/C_/x"},
        {"c:/dir", "/c_/dir"},
        {"/c:/x", "/c_/x"},
        {"/C:", "/C_"},
        {"C:", "/C_"},
        {"C:\\", "/C_"},
        {"/", "/"},
        {"///", "/"},
        {"a//b///", "a/b"},
        {"x", "x"},
        {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        path_buf p(c.input);
        EXPECT_STREQ(path_to_unix(p.text), c.expected);
        char out[PL_MAX_PATH];
        EXPECT_STREQ(path_to_unix_buf(c.input, out, sizeof(out)), c.expected);
    }
}

TEST(PathToUnix, DriveFormThatNoLongerFitsBecomesEmpty)
{
    // One character more after the drive form: 4096 characters do not fit.
    path_buf p("C:" + std::string(PL_MAX_PATH - 3, 'a'));
    log_capture cap;
    EXPECT_STREQ(path_to_unix(p.text), "");

    char small[6];
    EXPECT_STREQ(path_to_unix_buf("C:/abc", small, sizeof(small)), "");
    EXPECT_STREQ(path_to_unix_buf("C:/a", small, sizeof(small)), "/C_/a");
}

TEST(PathTests, AbsoluteMeansRootDriveOrScheme)
{
    struct bool_case {
        const char *path;
        bool expected;
    };
    const bool_case cases[] = {
        {"/x", true},  {"\\x", true},     {"c:x", true},  {"Z:", true},    {"tcp://h", true},
        {"a:\\\\b", true}, {"ab:\\\\c", true}, {"x/y", false}, {"", false},   {"1:x", false},
        {"ab:\\c", false}, {"a/b:/c", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(path_is_absolute(c.path), c.expected);
    }
    log_capture cap;
    EXPECT_FALSE(path_is_absolute(nullptr));
    EXPECT_TRUE(cap.has("expr[path]: assert failed"));
}

TEST(PathTests, RootIsOnlySeparatorsAndDevicePrefixes)
{
    struct bool_case {
        const char *path;
        bool expected;
    };
    const bool_case cases[] = {
        {"\\\\.\\", true}, {"//./", true}, {"\\\\?\\", true}, {"\\\\\\", true}, {"///", true},
        {"\\\\", true},    {"//", true},   {"\\", true},      {"/", true},      {"", false},
        {"/a", false},     {"////", false}, {"\\\\.\\x", false}, {"//.", false}, {nullptr, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        EXPECT_EQ(path_is_root(c.path), c.expected);
    }
}

TEST(PathTests, SeparatorTests)
{
    EXPECT_TRUE(path_has_tail_sep("/a/"));
    EXPECT_TRUE(path_has_tail_sep("a\\"));
    EXPECT_FALSE(path_has_tail_sep("a"));
    EXPECT_FALSE(path_has_tail_sep(""));

    EXPECT_TRUE(path_is_name_only("name.txt"));
    EXPECT_TRUE(path_is_name_only(""));
    EXPECT_FALSE(path_is_name_only("a/b"));
    EXPECT_FALSE(path_is_name_only("a\\b"));

    EXPECT_EQ(path_sep_count("/a\\b/"), 3u);
    EXPECT_EQ(path_sep_count("ab"), 0u);
}

TEST(PathTests, EqualCompareNormalisedForms)
{
    struct pair_case {
        const char *a;
        const char *b;
        bool equal;
        bool dir_equal;
    };
    const pair_case cases[] = {
        {"/a//b", "\"/a/b\"", true, true},
        {"C:\\x\\y", "C:/x/y", true, true},
        {"/a/b", "/a/c", false, true},
        {"/a/b", "/x/b", false, false},
        {"/a/b/", "/a/b", false, false},
        {"a", "b", false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(path_equal(c.a, c.b), c.equal);
        EXPECT_EQ(path_dir_equal(c.a, c.b), c.dir_equal);
    }
}

TEST(PathTests, OverLongPathsAreNeverEqual)
{
    // Both copies would be empty: equal empties must not make the paths equal.
    const std::string a = "/" + std::string(4999, 'a');
    const std::string b = "/" + std::string(4999, 'b');
    log_capture cap;
    EXPECT_FALSE(path_equal(a.c_str(), b.c_str()));
    EXPECT_FALSE(path_equal(a.c_str(), a.c_str()));
    EXPECT_FALSE(path_dir_equal(a.c_str(), b.c_str()));
    EXPECT_FALSE(path_equal(nullptr, "/"));
}

TEST(PathSplits, NameFolderAndStemOfEachPath)
{
    struct split_case {
        const char *path;
        const char *basename;
        const char *dirname;
        const char *dir_with_sep;
        const char *del_ext;
    };
    const split_case cases[] = {
        {"/a/b", "b", "/a", "/a/", "/a/b"},
        {"/a/b/", "", "/a/b", "/a/b/", "/a/b/"},
        {"/a", "a", "", "/", "/a"},
        {"name", "name", "name", "", "name"},
        {"a\\b.c", "b.c", "a", "a\\", "a\\b"},
        {"/a.d/b", "b", "/a.d", "/a.d/", "/a.d/b"},
        {"/a.d/b.tar.gz", "b.tar.gz", "/a.d", "/a.d/", "/a.d/b.tar"},
        {"x.", "x.", "x.", "", "x"},
        {"", "", "", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        path_buf b(c.path);
        EXPECT_STREQ(path_basename(b.text), c.basename);
        path_buf d(c.path);
        EXPECT_STREQ(path_dirname(d.text), c.dirname);
        path_buf w(c.path);
        EXPECT_STREQ(path_dir_with_sep(w.text), c.dir_with_sep);
        path_buf e(c.path);
        EXPECT_STREQ(path_del_ext(e.text), c.del_ext);
    }
}

TEST(PathSplits, DelTailSepDropsOneSlashButKeepsTheRoot)
{
    const text_case cases[] = {
        {"/", "/"}, {"/a/", "/a"}, {"a//", "a/"}, {"a\\", "a\\"}, {"a", "a"}, {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        path_buf p(c.input);
        EXPECT_STREQ(path_del_tail_sep(p.text), c.expected);
    }
}

TEST(PathSplits, AddSepWhenMissing)
{
    const text_case cases[] = {{"", "/"}, {"a", "a/"}, {"a/", "a/"}, {"a\\", "a\\"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        path_buf p(c.input);
        EXPECT_STREQ(path_add_sep_not_exist_tail(p.text), c.expected);
    }

    const std::string longest = std::string(PL_MAX_PATH - 1, 'a');
    {
        path_buf p(longest);
        log_capture cap;
        path_add_sep_not_exist_tail(p.text);
        EXPECT_EQ(std::string(p.text), longest);
        EXPECT_TRUE(cap.has("expr[len+2<=PL_MAX_PATH]: assert failed"));
    }
    {
        path_buf p(longest.substr(1) + "/");
        log_capture cap;
        path_add_sep_not_exist_tail(p.text);
        EXPECT_EQ(std::string(p.text), longest.substr(1) + "/");
        EXPECT_TRUE(cap.all().empty());
    }
    {
        path_buf p(longest.substr(1));
        path_add_sep_not_exist_tail(p.text);
        EXPECT_EQ(std::string(p.text), longest.substr(1) + "/");
    }
}

TEST(PathBuild, JoinAddsOneSeparatorOrLeavesNothing)
{
    struct build_case {
        const char *dir;
        const char *name;
        size_t size;
        const char *expected;
        const char *report;
    };
    const build_case cases[] = {
        {"/tmp/", "x", PL_MAX_PATH, "/tmp/x", nullptr},
        {"/tmp", "x", PL_MAX_PATH, "/tmp/x", nullptr},
        {"a\\", "x", PL_MAX_PATH, "a\\x", nullptr},
        {"", "x", PL_MAX_PATH, "/x", nullptr},
        {nullptr, "x", PL_MAX_PATH, "/x", "expr[path!=NULL]: assert failed"},
        {"/tmp", nullptr, PL_MAX_PATH, "", "expr[file!=NULL]: assert failed"},
        // A result that does not fit leaves nothing, not the directory alone.
        {"/tmp", "x", 7, "/tmp/x", nullptr},
        {"/tmp", "xy", 7, "", nullptr},
        {"/tmp", "x", 5, "", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.dir ? c.dir : "(null)") + " + " + (c.name ? c.name : "(null)"));
        char out[PL_MAX_PATH];
        memset(out, 'z', sizeof(out));
        out[sizeof(out) - 1] = '\0';
        log_capture cap;
        EXPECT_EQ(path_build2(out, c.size, c.dir, c.name), out);
        EXPECT_STREQ(out, c.expected);
        if (c.report) {
            EXPECT_TRUE(cap.has(c.report));
        }
    }
    log_capture cap;
    EXPECT_EQ(path_build2(nullptr, 10, "/a", "b"), nullptr);
    EXPECT_TRUE(cap.has("expr[opath!=NULL]: assert failed"));

    char out[PL_MAX_PATH];
    const std::string dir = "/" + std::string(PL_MAX_PATH - 8, 'd');
    EXPECT_STREQ(path_build(out, dir.c_str(), "0123456789"), "");
    EXPECT_STREQ(path_build(out, "/etc", "hosts"), "/etc/hosts");
}

TEST(PathBuild, UnescapedName)
{
    char out[PL_MAX_PATH];
    EXPECT_STREQ(path_build_unescape_name(out, "/d", "x\\x41\\101"), "/d/xAA");
    EXPECT_STREQ(path_build_unescape_name(out, "/d/", "a\\tb"), "/d/a\tb");
    EXPECT_STREQ(path_build_unescape_name(out, "", "n"), "/n");

    // "/d", "/" and 4094 decoded characters need 4098 bytes.
    const std::string name = std::string(4093, 'n') + "\\x41";
    log_capture cap;
    EXPECT_STREQ(path_build_unescape_name(out, "/d", name.c_str()), "");
    EXPECT_TRUE(cap.has("path=[/d] escape_name=[nnnn"));
    cap.clear();
    EXPECT_STREQ(path_build_unescape_name(out, "/", name.c_str()), ("/" + std::string(4093, 'n') + "A").c_str());
    EXPECT_TRUE(cap.all().empty());

    // A name that cannot even be decoded is refused the same way.
    const std::string undecodable(5000, 'u');
    EXPECT_STREQ(path_build_unescape_name(out, "/d", undecodable.c_str()), "");
    EXPECT_TRUE(cap.has("path=[/d] escape_name=[uuuu"));
}

TEST(PathCanonical, ResolvesDotsAsText)
{
    struct canon_case {
        const char *path;
        const char *base;
        const char *expected;
    };
    const canon_case cases[] = {
        {"/a/./b/../c/", nullptr, "/a/c/"},
        {"/..", nullptr, "/"},
        {"/a/b/../../..", nullptr, "/"},
        {"/a/../../b", nullptr, "/b"},
        {"//a//b", nullptr, "/a/b"},
        {"/a/.", nullptr, "/a/"},
        {"/", nullptr, "/"},
        {"C:\\a\\..\\b", nullptr, "C:/b"},
        {"C:/..", nullptr, "C:/"},
        {"x/../y", "/base", "/base/y"},
        {"..", "/", "/"},
        {"./f", "/b/", "/b/f"},
        // A relative base keeps what cannot be resolved.
        {"../x", "rel", "x"},
        {"../../x", "rel", "../x"},
        {"../../..", "rel", "../../"},
        {"..", "rel", "./"},
        // Quotes and blanks around an absolute path do not make it relative.
        {"\"/a/../b\"", nullptr, "/b"},
        {"  '/a/./c'  ", "/base", "/a/c"},
        {"'C:\\a\\..\\b'", nullptr, "C:/b"},
        {"\"x/../y\"", "'/base'", "/base/y"},
        // A relative file URL is still taken from the base.
        {"file://rel/x", "/base", "/base/rel/x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " base=" + (c.base ? c.base : "(cwd)"));
        char out[PL_MAX_PATH];
        EXPECT_EQ(path_canonical(c.path, c.base, out), out);
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(PathCanonical, RelativePathFromWorkingDirectory)
{
    char cwd[PL_MAX_PATH];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    char out[PL_MAX_PATH];
    ASSERT_NE(path_canonical("sub/./f", nullptr, out), nullptr);
    const std::string expected = std::string(strcmp(cwd, "/") == 0 ? "" : cwd) + "/sub/f";
    EXPECT_EQ(std::string(out), expected);
}

TEST(PathCanonical, OverLongPathIsRefused)
{
    const std::string long_path = "/" + std::string(4999, 'a');
    char out[PL_MAX_PATH];
    log_capture cap;
    EXPECT_EQ(path_canonical(long_path.c_str(), nullptr, out), nullptr);
    EXPECT_STREQ(out, "");
    const std::string long_name(PL_MAX_PATH - 3, 'n');
    EXPECT_EQ(path_canonical(long_name.c_str(), "/base", out), nullptr);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(path_canonical(nullptr, nullptr, out), nullptr);
}

TEST(PathQuote, QuotesWhenNeeded)
{
    const text_case cases[] = {
        {"/a b", "\"/a b\""}, {"/a\tb", "\"/a\tb\""}, {"a;b", "\"a;b\""},
        {"/ab", "/ab"},       {"\"/a b\"", "\"/a b\""}, {"", "\"\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        path_buf p(c.input);
        EXPECT_STREQ(path_quote(p.text), c.expected);
        char out[PL_MAX_PATH];
        EXPECT_STREQ(path_quote_buf(c.input, out), c.expected);
    }
}

TEST(PathRealpath, UsesTheSystem)
{
    char out[PL_MAX_PATH];
    EXPECT_STREQ(path_realpath("/tmp/../tmp", out), "/tmp");
    EXPECT_EQ(path_realpath("/no/such/dir/at/all", out), nullptr);
}

}  // namespace
