// Configuration API: backend choice by name, typed getters with defaults,
// path addressing, numbered arrays and the one-call file operations.
#include "libconf/conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "conf_fixture.h"
#include "../libpal/str_log_capture.h"
#include "liblog/log2.h"
#include "libpal/string/str_array.h"

namespace {

conf_ptr load_text(const std::string &text)
{
    return conf_ptr(conf_load_str(text.c_str(), 0));
}

class ConfFile : public conf_dir_test {};

bool g_noimpl = false;
void watch_log(uint32_t, const char *, const char *, int, const char *, int, const char *fmt, va_list)
{
    if (strcmp(fmt, "noimpl\n") == 0) g_noimpl = true;
}

}  // namespace

TEST_F(ConfFile, BackendIsChosenByName)
{
    struct row {
        const char *name;
        bool opens;
    };
    const row rows[] = {
        {"a.ini", true}, {"b.INI", true}, {"c.qdi", true}, {"d.Inf", true},
        {"e.cfg", true}, {"f.json", false}, {"g.ini.bak", false}, {"noext", false},
    };
    for (const row &r : rows) {
        std::string p = make_file(r.name, "[s]\nk=1\n");
        conf_ptr    h(conf_load(p.c_str()));
        EXPECT_EQ(h != nullptr, r.opens) << r.name;
    }
    EXPECT_EQ(conf_load(path("missing.ini").c_str()), nullptr);
    EXPECT_EQ(conf_load(nullptr), nullptr);
}

TEST_F(ConfFile, OnlyARegularFileLoads)
{
    // A FIFO without a writer would block the open for ever: the load runs
    // aside, and a writer that opens and closes frees a blocked reader.
    const std::string fifo = path("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(path("dir.ini").c_str(), 0700), 0);
    const std::string names[] = {fifo, path("dir.ini"), "/dev/null"};
    for (const std::string &name : names) {
        for (auto load : {conf_load, conf_create_load}) {
            auto done = std::async(std::launch::async, [&] { return conf_ptr(load(name.c_str())); });
            const bool in_time = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
            if (!in_time) {
                const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) close(fd);
            }
            EXPECT_TRUE(in_time) << name << " held the load";
            EXPECT_EQ(done.get(), nullptr) << name;
        }
    }
}

TEST_F(ConfFile, CreateLoadMakesAMissingFile)
{
    std::string p = path("new.ini");
    conf_ptr    h(conf_create_load(p.c_str()));
    ASSERT_TRUE(h);
    EXPECT_EQ(read_file(p), "");
    EXPECT_EQ(conf_set_int(h.get(), "zorv", "nbd_server_port", 10809), 0);
    EXPECT_EQ(conf_save(h.get()), 0);
    EXPECT_EQ(conf_file_get_int(p.c_str(), "zorv:nbd_server_port", 0), 10809);
    EXPECT_EQ(conf_create_load(path("no/dir.ini").c_str()), nullptr);
}

TEST(ConfText, LoadsByTypeNumber)
{
    EXPECT_EQ(conf_load_str("[s]\n", 1), nullptr);
    conf_ptr h(conf_load_str("[s]\nk=v\n", 0));
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_str(h.get(), "s", "k", nullptr), "v");
}

TEST(ConfGet, TypedGettersFallBackToTheDefault)
{
    conf_ptr h = load_text("[n]\nport = 10809\nneg = -7\ntext = abc\nsentinel = NOT_FOUND\nsize = 1K\nbig = 2m\n");
    ASSERT_TRUE(h);
    struct row {
        const char *key;
        int def;
        int expected;
    };
    const row ints[] = {
        {"port", 1, 10809}, {"neg", 1, -7}, {"missing", 42, 42}, {"sentinel", 5, 5}, {"text", 9, 0},
    };
    for (const row &r : ints) EXPECT_EQ(conf_get_int(h.get(), "n", r.key, r.def), r.expected) << r.key;
    EXPECT_EQ(conf_get_int(h.get(), "other", "port", 3), 3);
    EXPECT_STREQ(conf_get_str(h.get(), "n", "missing", "dflt"), "dflt");
    EXPECT_EQ(conf_get_str(h.get(), "n", "missing", nullptr), nullptr);
    EXPECT_EQ(conf_get_path_size(h.get(), "n:size", 0), 1024u);
    EXPECT_EQ(conf_get_path_size(h.get(), "n:big", 0), 2u * 1024 * 1024);
    EXPECT_EQ(conf_get_path_size(h.get(), "n:missing", 77), 77u);
    EXPECT_EQ(conf_get_path_int(h.get(), "n:port", 0), 10809);
    EXPECT_EQ(conf_get_path_int(h.get(), "port", 8), 8);

    EXPECT_EQ(conf_set_int(h.get(), "n", "neg", -2147483647 - 1), 0);
    EXPECT_STREQ(conf_get_str(h.get(), "n", "neg", nullptr), "-2147483648");
}

// A number read with its check: missing gives the default, a text that is
// no whole number in range gives -1 and leaves the value alone, and nothing
// is logged (a plain integer read reports an overflow with an assertion line
// and gives a number the file never held).
TEST(ConfGet, CheckedIntegerRefusesWhatIsNoNumberInRange)
{
    struct row {
        const char *value;  // nullptr: the key is missing
        int rc;
        int out;
    };
    const row rows[] = {
        {nullptr, 0, 77},       {"24153", 0, 24153},  {" 8 ", 0, 8},       {"+9", 0, 9},
        {"-1", 0, -1},          {"65535", 0, 65535},  {"4294991297", -1, 5}, {"2147483648", -1, 5},
        {"12abc", -1, 5},       {"", -1, 5},          {"0x10", -1, 5},     {"+-3", -1, 5},
        {"1e3", -1, 5},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.value != nullptr ? r.value : "(missing)");
        const std::string text = std::string("[s]\n") + (r.value != nullptr ? std::string("k=") + r.value + "\n" : "");
        conf_ptr h = load_text(text);
        ASSERT_TRUE(h);
        log_capture log;
        int out = 5;
        EXPECT_EQ(conf_get_path_int_chk(h.get(), "s:k", 77, INT_MIN, INT_MAX, &out), r.rc);
        EXPECT_EQ(out, r.out);
        EXPECT_TRUE(log.tagged("conf").empty());
    }
    conf_ptr h = load_text("[s]\nk=70000\n");
    int out = 5;
    EXPECT_EQ(conf_get_path_int_chk(h.get(), "s:k", 0, 1, 65535, &out), -1);
    EXPECT_EQ(out, 5);
}

// A refusal names the section, the key and the value as written, once at
// warn level; bytes that would start a new line are escaped.
TEST(ConfGet, RefusalNamesTheLineAsWritten)
{
    conf_ptr h = load_text("[zorv]\nnbd_server_port=4294991297\n");
    ASSERT_TRUE(h);
    log_capture log;
    conf_refuse(h.get(), "zorv", "nbd_server_port", "not a port (1-65535)");
    const std::vector<captured_line> lines = log.tagged("conf");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, LOG2_WARN);
    EXPECT_EQ(lines[0].text, "config [zorv] nbd_server_port=4294991297 refused: not a port (1-65535)\n");
    char out[256];
    conf_set_str(h.get(), "zorv", "k", "a\x1b[2Jb");
    EXPECT_STREQ(conf_refusal(h.get(), "zorv", "k", "why", out, sizeof(out)),
                 "config [zorv] k=a\\x1b[2Jb refused: why\n");
}

TEST(ConfPath, SplitsAtTheFirstTabElseTheFirstColon)
{
    conf_ptr h = load_text("[zorv]\nnbd_server_port = 10809\n[a]\nb:c = colon key\n[x:y]\nz = tab wins\n");
    ASSERT_TRUE(h);
    struct row {
        const char *path;
        const char *expected;
    };
    const row rows[] = {
        {"zorv:nbd_server_port", "10809"},
        {"zorv\tnbd_server_port", "10809"},
        {"a:b:c", "colon key"},
        {"a\tb:c", "colon key"},
        {"x:y\tz", "tab wins"},
        {"x:y:z", "-"},
        {"nbd_server_port", "-"},
        {"zorv:", "-"},
        {"", "-"},
    };
    for (const row &r : rows) EXPECT_STREQ(conf_get_path_str(h.get(), r.path, "-"), r.expected) << r.path;
    EXPECT_STREQ(conf_get_path_str(h.get(), nullptr, "-"), "-");

    EXPECT_EQ(conf_set_path_str(h.get(), "no separator", "v"), -1);
    EXPECT_EQ(conf_set_path_str(h.get(), "new:k:with:colons", "v"), 0);
    EXPECT_STREQ(conf_get_str(h.get(), "new", "k:with:colons", nullptr), "v");
    EXPECT_EQ(conf_set_path_int(h.get(), "new\tn", 12), 0);
    EXPECT_STREQ(conf_get_str(h.get(), "new", "n", nullptr), "12");

    // Over-long names are cut: a section keeps room for the TAB and a key.
    std::string long_section(9000, 's');
    EXPECT_EQ(conf_set_path_str(h.get(), (long_section + ":key").c_str(), "v"), 0);
    EXPECT_TRUE(conf_has_section(h.get(), std::string(1022, 's').c_str()));
    EXPECT_STREQ(conf_get_path_str(h.get(), (long_section + ":key").c_str(), "-"), "v");
    EXPECT_EQ(to_list(conf_get_keys(h.get(), long_section.c_str())), std::vector<std::string>{"k"});
}

TEST(ConfArray, NumberedKeysInIndexOrder)
{
    conf_ptr h = load_text("[list]\n0 = x\n1 =\n2 = x\nname = y\n[empty]\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(to_list(conf_get_array(h.get(), "list")), std::vector<std::string>{"x"});
    EXPECT_EQ(to_list(conf_get_array(h.get(), "empty")), std::vector<std::string>{});
    EXPECT_EQ(to_list(conf_get_array(h.get(), "missing")), std::vector<std::string>{});

    conf_ptr unordered = load_text("[l]\n10 = ten\n2 = two\n0 = zero\n");
    EXPECT_EQ(to_list(conf_get_array(unordered.get(), "l")), (std::vector<std::string>{"zero", "two", "ten"}));
}

TEST(ConfArray, AddAndDelRewriteTheKeys)
{
    conf_ptr h = load_text("[p]\n0 = a\n1 = c\n[q]\nk = v\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_array_add(h.get(), "p", "b"), 0);
    const decltype(snapshot(h.get())) expected = {
        {{"p", "0"}, "a"}, {{"p", "1"}, "c"}, {{"p", "2"}, "b"}, {{"q", "k"}, "v"}};
    EXPECT_EQ(snapshot(h.get()), expected);
    EXPECT_EQ(conf_array_add(h.get(), "p", "a"), 0);
    EXPECT_EQ(to_list(conf_get_array(h.get(), "p")), (std::vector<std::string>{"a", "c", "b"}));

    EXPECT_EQ(conf_array_del(h.get(), "p", "a"), 0);
    EXPECT_STREQ(conf_get_str(h.get(), "p", "0", "-"), "c");
    EXPECT_STREQ(conf_get_str(h.get(), "p", "1", "-"), "b");
    EXPECT_STREQ(conf_get_str(h.get(), "p", "2", "-"), "-");
    EXPECT_EQ(conf_array_del(h.get(), "p", "zz"), 0);

    // Gaps and stray numbered keys do not survive a rewrite.
    conf_ptr g = load_text("[p]\n0 = a\n5 = b\n7 =\n");
    EXPECT_EQ(conf_array_del(g.get(), "p", "a"), 0);
    EXPECT_EQ(to_list(conf_get_keys(g.get(), "p")), std::vector<std::string>{"0"});
    EXPECT_STREQ(conf_get_str(g.get(), "p", "0", "-"), "b");

    EXPECT_EQ(conf_array_add(h.get(), "fresh", "one"), 0);
    EXPECT_TRUE(conf_has_section(h.get(), "fresh"));
    EXPECT_STREQ(conf_get_str(h.get(), "fresh", "0", "-"), "one");

    EXPECT_EQ(conf_array_clear(h.get(), "p"), 0);
    EXPECT_EQ(to_list(conf_get_keys(h.get(), "p")), std::vector<std::string>{});
    EXPECT_EQ(conf_array_add(nullptr, "p", "x"), -1);
}

TEST_F(ConfFile, ArrayChangesKeepCommentsAndPlaces)
{
    std::string p = make_file("arr.ini",
                              "[bd_plugins_load]\n"
                              "# the first one\n"
                              "0=first.so\n"
                              "; the second one\n"
                              "1=second.so\n"
                              "7=stray.so\n"
                              "name=plugins\n"
                              "[log]\n"
                              "level=info\n");
    conf_ptr h(conf_load(p.c_str()));
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_array_add(h.get(), "bd_plugins_load", "third.so"), 0);
    ASSERT_EQ(conf_save(h.get()), 0);
    EXPECT_EQ(read_file(p),
              "\xEF\xBB\xBF[bd_plugins_load]\n"
              "# the first one\n"
              "0=first.so\n"
              "; the second one\n"
              "1=second.so\n"
              "name=plugins\n"
              "2=stray.so\n"
              "3=third.so\n"
              "\n[log]\n"
              "level=info\n\n");

    EXPECT_EQ(conf_array_del(h.get(), "bd_plugins_load", "first.so"), 0);
    ASSERT_EQ(conf_save(h.get()), 0);
    EXPECT_EQ(read_file(p),
              "\xEF\xBB\xBF[bd_plugins_load]\n"
              "# the first one\n"
              "0=second.so\n"
              "; the second one\n"
              "1=stray.so\n"
              "name=plugins\n"
              "2=third.so\n"
              "\n[log]\n"
              "level=info\n\n");
}

TEST(ConfSections, MatchHasAndKeyValueMap)
{
    conf_ptr h = load_text("[dev1]\nk=1\n[other]\n[misc]\n[dev2]\nk=2\nj=3\n");
    ASSERT_TRUE(h);
    // The two that do not match stand next to each other.
    EXPECT_EQ(to_list(conf_get_sections_match(h.get(), "dev*")), (std::vector<std::string>{"dev1", "dev2"}));
    EXPECT_EQ(to_list(conf_get_sections_match(h.get(), "misc|dev2")), (std::vector<std::string>{"misc", "dev2"}));
    EXPECT_EQ(to_list(conf_get_sections_match(h.get(), "DEV*")), std::vector<std::string>{});
    EXPECT_TRUE(conf_has_section(h.get(), "dev1"));
    EXPECT_FALSE(conf_has_section(h.get(), "dev"));
    EXPECT_TRUE(conf_has_key(h.get(), "dev2", "j"));
    EXPECT_FALSE(conf_has_key(h.get(), "dev1", "j"));

    str_map *m = conf_get_section_kv(h.get(), "dev2");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->count, 2u);
    EXPECT_STREQ(str_map_get(m, "k"), "2");
    EXPECT_STREQ(str_map_get(m, "j"), "3");
    str_map_free(m);
}

TEST(ConfSections, DeleteAndRename)
{
    conf_ptr h = load_text("[a]\nk=1\nj=2\n[b]\nk=3\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_del_key(h.get(), "a", "j"), 0);
    EXPECT_EQ(conf_del_key(h.get(), "a", "j"), -1);
    EXPECT_EQ(conf_rename_section(h.get(), "a", "b"), -1);
    EXPECT_EQ(conf_rename_section(h.get(), "a", "c"), 0);
    EXPECT_STREQ(conf_get_str(h.get(), "c", "k", "-"), "1");
    EXPECT_EQ(conf_del_section(h.get(), "b"), 0);
    EXPECT_EQ(to_list(conf_get_sections(h.get())), std::vector<std::string>{"c"});

    g_noimpl = false;
    log2_set_hook(nullptr, watch_log);
    EXPECT_EQ(conf_rename_key(h.get(), "c", "k", "q"), 0);
    log2_set_hook(nullptr, nullptr);
    EXPECT_TRUE(g_noimpl);
    EXPECT_STREQ(conf_get_str(h.get(), "c", "k", "-"), "1");
}

TEST_F(ConfFile, OneCallReads)
{
    std::string p = make_file("one.ini", "[zorv]\nnbd_server_port = 10809\nname = zorv-node\n");
    char        buf[64];
    EXPECT_STREQ(conf_file_get_str(p.c_str(), "zorv:name", "dflt", buf, sizeof(buf)), "zorv-node");
    EXPECT_STREQ(conf_file_get_str(p.c_str(), "zorv:none", "dflt", buf, sizeof(buf)), "dflt");
    EXPECT_STREQ(conf_file_get_str(path("missing.ini").c_str(), "zorv:name", "dflt", buf, sizeof(buf)), "dflt");
    char small[4];
    EXPECT_STREQ(conf_file_get_str(p.c_str(), "zorv:name", "d", small, sizeof(small)), "");  // strict copy
    EXPECT_EQ(conf_file_get_int(p.c_str(), "zorv:nbd_server_port", 1), 10809);
    EXPECT_EQ(conf_file_get_int(p.c_str(), "zorv:missing", 1), 1);
    EXPECT_EQ(conf_file_get_int(path("missing.ini").c_str(), "zorv:nbd_server_port", 2), 2);
}

TEST_F(ConfFile, MergeCopiesSharedKeysIntoTheDestination)
{
    std::string dst = make_file("dst.ini", "; kept\n[a]\nk = 1\nj = 2\n[b]\nz = 0\n");
    std::string src = make_file("src.ini", "[a]\nk = 9\nnew = 5\n[c]\nz = 7\n");
    EXPECT_EQ(conf_file_merge(dst.c_str(), src.c_str()), 0);
    EXPECT_EQ(read_file(dst), "\xEF\xBB\xBF; kept\n[a]\nk=9\nj=2\n\n[b]\nz=0\n\n");

    // Nothing shared: nothing is written.
    std::string untouched = make_file("u.ini", "[x]\ny = 1\n");
    EXPECT_EQ(conf_file_merge(untouched.c_str(), src.c_str()), 0);
    EXPECT_EQ(read_file(untouched), "[x]\ny = 1\n");

    EXPECT_EQ(conf_file_merge(dst.c_str(), path("missing.ini").c_str()), -1);
    EXPECT_EQ(conf_file_merge(path("missing.ini").c_str(), src.c_str()), -1);
}

TEST_F(ConfFile, DaemonConfigurationReadsAndSavesAsUsed)
{
    const std::string text =
        "\xEF\xBB\xBF"
        "; zorv.ini\n"
        "[zorv]\n"
        "nbd_server_port=10810\n"
        "nbd_readonly=false\n"
        "\n"
        "[debug]\n"
        "shell_server_port=6781\n"
        "http_server_addr=127.0.0.1\n"
        "http_server_user=admin\n"
        "http_server_pwd=\"p;w#d\"\n"
        "panic_dump_dir=\n"
        "\n"
        "[log]\n"
        "level=info\n"
        "file_size=10m\n"
        "\n"
        "[bd_plugins_load]\n"
        "0=first.so\n"
        "1=second.so\n"
        "\n";
    std::string p = make_file("zorv.ini", text);
    conf_ptr    h(conf_load(p.c_str()));
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_get_path_int(h.get(), "zorv:nbd_server_port", 10809), 10810);
    EXPECT_STREQ(conf_get_path_str(h.get(), "zorv:nbd_readonly", "true"), "false");
    EXPECT_STREQ(conf_get_path_str(h.get(), "debug:http_server_pwd", ""), "p;w#d");
    EXPECT_STREQ(conf_get_path_str(h.get(), "debug:panic_dump_dir", "-"), "");
    EXPECT_EQ(conf_get_path_int(h.get(), "debug:http_server_port", 0), 0);
    EXPECT_EQ(conf_get_path_size(h.get(), "log:file_size", 0), 10u * 1024 * 1024);
    EXPECT_EQ(to_list(conf_get_array(h.get(), "bd_plugins_load")), (std::vector<std::string>{"first.so", "second.so"}));
    ASSERT_EQ(conf_save(h.get()), 0);
    EXPECT_EQ(read_file(p), text);
}
