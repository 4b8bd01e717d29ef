// INI parser and writer: the line forms, comments kept in place, saving that
// reads back the same, saves that fail without touching the old file, and
// hostile input.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "conf_fixture.h"
#include "libconf/conf.h"
#include "libconf/ini/dictionary.h"
#include "libconf/ini/ini_conf.h"
#include "libconf/ini/iniparser.h"
#include "../libpal/fsync_log.h"
#define NEW_FAIL_DEFINE
#include "../libpal/new_fail.h"
#include "../libpal/str_log_capture.h"
#include "../libpal/tool_files.h"

namespace {

const std::string kBom = "\xEF\xBB\xBF";

conf_ptr load_text(const std::string &text)
{
    return conf_ptr(conf_load_str(text.c_str(), 0));
}

class IniFile : public conf_dir_test {
protected:
    // Loads name, lets change() alter it, saves it; the saved text.
    template <typename F>
    std::string load_change_save(const std::string &name, F change)
    {
        conf_ptr h(conf_load(path(name).c_str()));
        EXPECT_TRUE(h);
        if (!h) return {};
        change(h.get());
        EXPECT_EQ(conf_save(h.get()), 0);
        return read_file(path(name));
    }
};

}  // namespace

TEST(IniLine, EveryKeyLineFormReadsItsKeyAndValue)
{
    struct row {
        const char *line;
        const char *key;
        const char *value;  // nullptr: the key is not there
    };
    const row rows[] = {
        {"k = v", "k", "v"},
        {"k=v", "k", "v"},
        {"  k  =  v w  ", "k", "v w"},
        {"k = v ; comment", "k", "v"},
        {"k = a;b", "k", "a"},
        {"k = a#b", "k", "a"},
        {"k = \"a;b#c\"", "k", "a;b#c"},
        {"k = 'x # y'", "k", "x # y"},
        {"k = \"  spaced  \"", "k", "  spaced  "},
        {"k = \"it's\"", "k", "it's"},
        {"k = \"unterminated", "k", "unterminated"},
        {"k = \"\"", "k", ""},
        {"k = ''", "k", ""},
        {"k =", "k", ""},
        {"k = ;only a comment", "k", ""},
        {"k = # only a comment", "k", ""},
        {"k = a=b", "k", "a=b"},
        // CR bytes go wherever the stream's buffer happens to end.
        {"k = a\rb\r", "k", "ab"},
        {"Key = v", "Key", "v"},
        {"Key = v", "key", nullptr},
        {"word", "word", nullptr},
        {"= v", "", nullptr},
        {"[broken = x", "[broken", "x"},
        {"[broken", "[broken", nullptr},
    };
    for (const row &r : rows) {
        conf_ptr h = load_text(std::string("[s]\n") + r.line + "\n");
        ASSERT_TRUE(h) << r.line;
        const char *v = conf_get_str(h.get(), "s", r.key, nullptr);
        if (r.value == nullptr) {
            EXPECT_EQ(v, nullptr) << r.line;
        } else {
            ASSERT_NE(v, nullptr) << r.line;
            EXPECT_STREQ(v, r.value) << r.line;
        }
    }
}

TEST(IniLine, SectionAndKeyNamesKeepTheirCase)
{
    conf_ptr h = load_text("[Main]\nPort = 1\n[ spaced name ]\nx=2\n");
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_str(h.get(), "Main", "Port", "-"), "1");
    EXPECT_STREQ(conf_get_str(h.get(), "main", "Port", "-"), "-");
    EXPECT_STREQ(conf_get_str(h.get(), "Main", "port", "-"), "-");
    EXPECT_FALSE(conf_has_section(h.get(), "main"));
    EXPECT_STREQ(conf_get_str(h.get(), "spaced name", "x", "-"), "2");

    // A TAB would make a section entry read as a key: no such section.
    conf_ptr tab = load_text("[a\tb]\nk=1\n");
    ASSERT_TRUE(tab);
    EXPECT_EQ(to_list(conf_get_sections(tab.get())), std::vector<std::string>{});
    EXPECT_STREQ(conf_get_str(tab.get(), "", "k", "-"), "1");
    EXPECT_EQ(conf_set_str(tab.get(), "a\tb", "k", "v"), -1);
}

TEST(IniLine, ByteOrderMarkIsSkipped)
{
    const std::string body = "[a]\nk=v\n";
    conf_ptr          with = load_text(kBom + body);
    conf_ptr          without = load_text(body);
    ASSERT_TRUE(with && without);
    EXPECT_EQ(snapshot(with.get()), snapshot(without.get()));
    EXPECT_TRUE(conf_has_section(with.get(), "a"));
}

TEST(IniLine, ContinuationLinesJoin)
{
    conf_ptr h = load_text("[s]\na = one \\\n  two\nb = x\\\ny = 1\nlast = end\\");
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_str(h.get(), "s", "a", "-"), "one   two");
    EXPECT_STREQ(conf_get_str(h.get(), "s", "b", "-"), "xy = 1");
    EXPECT_STREQ(conf_get_str(h.get(), "s", "y", "-"), "-");
    // A continuation on the last line still counts.
    EXPECT_STREQ(conf_get_str(h.get(), "s", "last", "-"), "end");

    // Joined lines longer than the line buffer are read whole.
    const std::string part(700, 'p');
    conf_ptr          joined = load_text("[s]\nk = " + part + "\\\n" + part + "\n");
    ASSERT_TRUE(joined);
    EXPECT_EQ(conf_get_str(joined.get(), "s", "k", "-"), part + part);
}

TEST(IniLine, KeysBeforeTheFirstSectionBelongToTheEmptySection)
{
    conf_ptr h = load_text("top = 1\n[s]\nk = 2\n");
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_str(h.get(), "", "top", "-"), "1");
    EXPECT_STREQ(conf_get_path_str(h.get(), ":top", "-"), "1");
    EXPECT_EQ(to_list(conf_get_sections(h.get())), std::vector<std::string>{"s"});
}

TEST(IniLine, SyntaxErrorKeepsItsCommentForTheNextEntry)
{
    conf_ptr h = load_text("[s]\n# about k\nnot a key\nk=1\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(to_list(conf_get_keys(h.get(), "s")), std::vector<std::string>{"k"});
    auto *ini = static_cast<ini_conf *>(h->obj);
    int   i   = dictionary_find(ini->dict, "s\tk");
    ASSERT_GE(i, 0);
    EXPECT_STREQ(ini->dict->comment[i], "# about k\n");
}

// Every line the loader skips is said once, at warn level (the default
// level shows it), with the file, the line's number and its text as written;
// the lines after it still load.
TEST_F(IniFile, SkippedLineIsSaidOnceAtWarnWithItsNumberAndText)
{
    struct row {
        std::string line;
        std::string said;  // after "config <path> line 2: "
    };
    const row rows[] = {
        {"nbd_server_port 24153",
         "nbd_server_port 24153 refused: no \"=\" after the key (not a section, key=value or comment); line skipped"},
        {"[debug", "[debug refused: section not closed with \"]\"; the keys after it stay in [zorv]"},
        {"= 5", "= 5 refused: no key before \"=\"; line skipped"},
        {"[a\tb]", "[a\\x09b] refused: a TAB in a section name; line skipped"},
        {std::string("k=a") + '\0' + "b", "k=a\\x00b refused: a NUL byte in the line; line skipped"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.said);
        const std::string p = make_file("bad.ini", "[zorv]\n" + r.line + "\nafter=1\n");
        log_capture log;
        conf_ptr h(conf_load(p.c_str()));
        ASSERT_TRUE(h);
        EXPECT_STREQ(conf_get_str(h.get(), "zorv", "after", "-"), "1");
        const std::vector<captured_line> lines = log.tagged("conf");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, LOG2_WARN);
        EXPECT_EQ(lines[0].text, "config " + p + " line 2: " + r.said + "\n");
    }
    // Text has no file: the lines are said to come from "(text)".
    log_capture log;
    conf_ptr h = load_text("x\n");
    ASSERT_TRUE(h);
    ASSERT_EQ(log.tagged("conf").size(), 1u);
    EXPECT_EQ(log.tagged("conf")[0].text, "config (text) line 1: x refused: no \"=\" after the key (not a section, key=value or "
                                 "comment); line skipped\n");
}

TEST_F(IniFile, CommentsAndBlankLinesComeBackInPlace)
{
    const std::string text =
        "; top comment\n"
        "  # indented second\n"
        "\n"
        "[s]\n"
        "; before key\n"
        "k=v\n"
        "\n"
        "[t]\n"
        "x=1\n"
        "; trailing\n";
    make_file("c.ini", text);
    EXPECT_EQ(load_change_save("c.ini", [](conf_handle *) {}), kBom + text);
}

TEST_F(IniFile, SectionsWithoutCommentGetOneBlankLine)
{
    make_file("b.ini", "[a]\nx=1\n[b]\ny=2\n");
    EXPECT_EQ(load_change_save("b.ini", [](conf_handle *) {}), kBom + "[a]\nx=1\n\n[b]\ny=2\n\n");
}

TEST_F(IniFile, NewSectionIsWrittenAfterTheExistingOnes)
{
    make_file("n.ini", "k0=top\n[a]\nx=1\n");
    std::string saved = load_change_save("n.ini", [](conf_handle *h) {
        EXPECT_EQ(conf_set_str(h, "new", "k", "v"), 0);
        EXPECT_EQ(conf_set_str(h, "a", "y", "2"), 0);
    });
    EXPECT_EQ(saved, kBom + "k0=top\n[a]\nx=1\ny=2\n\n[new]\nk=v\n\n");
}

TEST_F(IniFile, RoundTripKeepsValuesAndText)
{
    const std::string text = kBom +
                             "; zorv settings\n"
                             "[zorv]\n"
                             "nbd_server_port = 10809   ; the NBD port\n"
                             "nbd_readonly = \"true\"\n"
                             "\n"
                             "# the debug tools\n"
                             "[debug]\n"
                             "http_server_pwd = \"se;cr#et\"\n"
                             "banner = 'two  spaces'\n"
                             "path = C:\\dir\\ \\\n"
                             "   continued\n"
                             "empty =\n"
                             "[log]\n"
                             "file = /var/log/zorv.log\n"
                             "; end of file\n";
    make_file("r.ini", text);
    conf_ptr first(conf_load(path("r.ini").c_str()));
    ASSERT_TRUE(first);
    auto values = snapshot(first.get());
    EXPECT_EQ(values.at({"debug", "http_server_pwd"}), "se;cr#et");
    EXPECT_EQ(values.at({"debug", "path"}), "C:\\dir\\    continued");
    ASSERT_EQ(conf_save(first.get()), 0);
    std::string saved = read_file(path("r.ini"));
    EXPECT_EQ(saved.compare(0, 3, kBom), 0);

    conf_ptr second(conf_load(path("r.ini").c_str()));
    ASSERT_TRUE(second);
    EXPECT_EQ(snapshot(second.get()), values);
    ASSERT_EQ(conf_save(second.get()), 0);
    EXPECT_EQ(read_file(path("r.ini")), saved);
}

TEST_F(IniFile, ValuesAreQuotedWhenTheyWouldNotReadBack)
{
    const char *values[] = {"a;b", "x # y", " lead", "trail ", "\"q\"", "'s'", "ends\\", "\"\"", "a\"b'c", "",
                            "it's; x", "\"open"};
    make_file("q.ini", "[s]\n");
    std::string saved = load_change_save("q.ini", [&](conf_handle *h) {
        int i = 0;
        for (const char *v : values) conf_set_str(h, "s", std::to_string(i++).c_str(), v);
    });
    EXPECT_NE(saved.find("0=\"a;b\"\n"), std::string::npos) << saved;
    conf_ptr h(conf_load(path("q.ini").c_str()));
    ASSERT_TRUE(h);
    int i = 0;
    for (const char *v : values) EXPECT_STREQ(conf_get_str(h.get(), "s", std::to_string(i++).c_str(), "-"), v);
}

TEST_F(IniFile, SaveRefusesWhatCannotReadBackAndKeepsTheOldFile)
{
    struct row {
        const char *section;
        const char *key;
        const char *value;
    };
    const row rows[] = {
        {"s", "k", "line\nbreak"},
        {"s", "k", "both ' and \" ;"},
        {"s", "a=b", "v"},
        {"s", "#k", "v"},
        {"s", " k", "v"},
        {"x]y", "k", "v"},
        {"s\n[evil]", "k", "v"},
    };
    const std::string original = "[s]\nk=old\n";
    for (const row &r : rows) {
        std::string p = make_file("keep.ini", original);
        conf_ptr    h(conf_load(p.c_str()));
        ASSERT_TRUE(h);
        conf_set_str(h.get(), r.section, r.key, r.value);
        log_capture log;
        EXPECT_EQ(conf_save(h.get()), -1) << r.key << " " << r.value;
        EXPECT_TRUE(log.has("cannot be written")) << r.key;
        EXPECT_EQ(read_file(p), original);
        EXPECT_EQ(entry_count(), 1u);
    }
}

TEST_F(IniFile, FailedSaveLeavesTheOriginalUntouched)
{
    std::string sub = path("sub");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    make_file("sub/a.ini", "[s]\nk=1\n");
    conf_ptr h(conf_load(path("sub/a.ini").c_str()));
    ASSERT_TRUE(h);
    conf_set_str(h.get(), "s", "k", "2");

    // The directory moves away: the save has nowhere to write.
    ASSERT_EQ(rename(sub.c_str(), path("moved").c_str()), 0);
    EXPECT_EQ(conf_save(h.get()), -1);
    EXPECT_EQ(read_file(path("moved/a.ini")), "[s]\nk=1\n");

    // A file where the directory was.
    make_file("sub", "not a directory");
    EXPECT_EQ(conf_save(h.get()), -1);
    EXPECT_EQ(read_file(path("sub")), "not a directory");

    conf_ptr text = load_text("[s]\nk=1\n");
    EXPECT_EQ(conf_save(text.get()), -1);  // text has no file
}

TEST_F(IniFile, WriteFailureMidwayLeavesTheOriginalUntouched)
{
    // A file-size limit binds root too: the child's save runs into it.
    const std::string original = "[s]\nk=small\n";
    std::string       p        = make_file("big.ini", original);
    pid_t             pid      = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &lim);
        conf_handle *h = conf_load(p.c_str());
        if (h == nullptr) _exit(2);
        conf_set_str(h, "s", "k", std::string(20000, 'x').c_str());
        _exit(conf_save(h) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(p), original);
    EXPECT_EQ(entry_count(), 1u);
}

TEST_F(IniFile, SaveKeepsModeAndWritesThroughLinks)
{
    std::string p = make_file("m.ini", "[s]\nk=1\n");
    ASSERT_EQ(chmod(p.c_str(), 0600), 0);
    ASSERT_EQ(symlink(p.c_str(), path("link.ini").c_str()), 0);
    std::string saved = load_change_save("link.ini", [](conf_handle *h) { conf_set_str(h, "s", "k", "2"); });
    EXPECT_EQ(read_file(p), kBom + "[s]\nk=2\n\n");
    struct stat st;
    ASSERT_EQ(lstat(path("link.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(entry_count(), 2u) << "no temporary file stays";
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(IniFile, SaveSyncsTheContentThenTheDirectory)
{
    make_file("d.ini", "[s]\nk=1\n");
    fsync_log::clear();
    load_change_save("d.ini", [](conf_handle *h) { conf_set_str(h, "s", "k", "2"); });
    EXPECT_EQ(fsync_log::taken(), "fd");
}

TEST(IniMemory, FailedAllocationGivesTheErrorValue)
{
    const char *text = "top=1\n[s]\n; note\nk = v\nq = \"quo ted\"\n[t]\nx=1\n";
    char dumped[512];
    int loaded = 0;
    int dump_failed = 0;
    const long n = new_fail::sweep([&] {
        dictionary *d = iniparser_load_str(text);
        if (d == nullptr)
            return;
        loaded++;
        FILE *f = fmemopen(dumped, sizeof(dumped), "w");
        if (f != nullptr) {
            if (iniparser_dump_ini(d, f) != 0)
                dump_failed++;
            fclose(f);
        }
        dictionary_del(d);
    });
    ASSERT_GT(n, 1);
    EXPECT_GT(loaded, 0);
    EXPECT_GT(dump_failed, 0) << "a dump whose allocation failed reports it";
}

TEST_F(IniFile, HostileInput)
{
    const std::string long_value(100000, 'v');
    const std::string long_comment = "#" + std::string(100000, 'c');
    const std::string text         = "[s]\n"
                                     "long = " + long_value + "\n" +
                                     long_comment + "\n"
                                     "after_comment = 1\n"
                                     "nul = a" + std::string(1, '\0') + "b\n"
                                     "after_nul = 2\n"
                                     "[no_end\n"
                                     "quote = \"open\n"
                                     "[t]\n"
                                     "x = 3\n";
    std::string p = make_file("bad.ini", text);
    log_capture log;
    conf_ptr    h(conf_load(p.c_str()));
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_get_str(h.get(), "s", "long", "-"), long_value);
    EXPECT_STREQ(conf_get_str(h.get(), "s", "after_comment", "-"), "1");
    EXPECT_STREQ(conf_get_str(h.get(), "s", "nul", "-"), "-");
    EXPECT_TRUE(log.has("NUL byte"));
    EXPECT_STREQ(conf_get_str(h.get(), "s", "after_nul", "-"), "2");
    EXPECT_STREQ(conf_get_str(h.get(), "s", "quote", "-"), "open");
    EXPECT_STREQ(conf_get_str(h.get(), "t", "x", "-"), "3");
    EXPECT_FALSE(conf_has_section(h.get(), "no_end"));

    // The over-long comment is dropped; everything else survives a save.
    ASSERT_EQ(conf_save(h.get()), 0);
    std::string saved = read_file(p);
    EXPECT_EQ(saved.find("#ccc"), std::string::npos);
    conf_ptr again(conf_load(p.c_str()));
    ASSERT_TRUE(again);
    EXPECT_EQ(snapshot(again.get()), snapshot(h.get()));
}

TEST_F(IniFile, TenThousandSections)
{
    std::string text;
    for (int i = 0; i < 10000; i++) text += "[sec" + std::to_string(i) + "]\nkey=" + std::to_string(i) + "\n";
    std::string p = make_file("many.ini", text);
    conf_ptr    h(conf_load(p.c_str()));
    ASSERT_TRUE(h);
    vector_ptr sections(conf_get_sections(h.get()));
    ASSERT_TRUE(sections);
    EXPECT_EQ(sections->count, 10000u);
    EXPECT_STREQ(sections->items[9999], "sec9999");
    EXPECT_STREQ(conf_get_str(h.get(), "sec7777", "key", "-"), "7777");
    ASSERT_EQ(conf_save(h.get()), 0);
    conf_ptr again(conf_load(p.c_str()));
    ASSERT_TRUE(again);
    EXPECT_STREQ(conf_get_str(again.get(), "sec9999", "key", "-"), "9999");
}

namespace {

std::string g_printed;
[[gnu::format(printf, 1, 2)]] int keep_printed(const char *fmt, ...)
{
    char    buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    g_printed += buf;
    return n;
}

}  // namespace

TEST(IniLoad, UnreadablePathsGoToTheErrorPrinter)
{
    iniparser_set_error_callback(keep_printed);
    g_printed.clear();
    const tool_dir dir;
    const std::string missing = dir.path() + "/missing/zorv.ini";
    EXPECT_EQ(iniparser_load(missing.c_str()), nullptr);
    EXPECT_EQ(iniparser_load_str(nullptr), nullptr);
    iniparser_set_error_callback(nullptr);
    EXPECT_EQ(g_printed, "iniparser: cannot open " + missing + "\niniparser: cannot open [str]\n");
    // A directory opens but cannot be read.
    log_capture log;
    EXPECT_EQ(iniparser_load("/tmp"), nullptr);
    EXPECT_TRUE(log.has("read error"));
}

namespace {

int g_decoded = 0;
int upper_to_lower(uint8_t *data, size_t len)
{
    g_decoded++;
    for (size_t i = 0; i < len; i++) data[i] = static_cast<uint8_t>(tolower(data[i]));
    return 0;
}

}  // namespace

TEST_F(IniFile, DatFilesNeedADecodeHook)
{
    std::string p = make_file("c.DAT", "[S]\nK=V\n!");
    EXPECT_EQ(conf_load(p.c_str()), nullptr);
    ini_decode_hook = upper_to_lower;
    conf_ptr h(conf_load(p.c_str()));
    ini_decode_hook = nullptr;
    ASSERT_TRUE(h);
    EXPECT_EQ(g_decoded, 1);
    EXPECT_STREQ(conf_get_str(h.get(), "s", "k", "-"), "v");
    ini_decode_hook = upper_to_lower;
    EXPECT_EQ(conf_load(make_file("one.dat", "x").c_str()), nullptr);
    ini_decode_hook = nullptr;
}

namespace {

std::string listing(const dictionary *d, void (*lister)(const dictionary *, FILE *))
{
    char  *text = nullptr;
    size_t len  = 0;
    FILE  *f    = open_memstream(&text, &len);
    lister(d, f);
    fclose(f);
    std::string out(text, len);
    free(text);
    return out;
}

}  // namespace

TEST(IniDictionary, SlotsGrowAndSectionsRename)
{
    dictionary *d = dictionary_new(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->size, DICT_MIN_SIZE);
    for (int i = 0; i < 300; i++) {
        std::string k = "s\t" + std::to_string(i);
        ASSERT_EQ(dictionary_set(d, k.c_str(), "v", nullptr), 0);
    }
    EXPECT_EQ(d->n, 300);
    EXPECT_EQ(d->size, 512);
    ASSERT_EQ(dictionary_set(d, "s", nullptr, "# c\n"), 0);
    ASSERT_EQ(dictionary_set(d, "t", nullptr, nullptr), 0);
    EXPECT_STREQ(dictionary_get(d, "s\t299", "-"), "v");

    log_capture log;
    EXPECT_EQ(dictionary_secrename(d, "s", "t"), -1);
    EXPECT_TRUE(log.has("nsec=t exist error"));
    EXPECT_STREQ(dictionary_get(d, "s\t1", "-"), "v");
    EXPECT_EQ(dictionary_secrename(d, "nothing", "u"), -2);
    EXPECT_EQ(dictionary_secrename(d, "s", "u"), 0);
    EXPECT_STREQ(dictionary_get(d, "u\t1", "-"), "v");
    EXPECT_EQ(dictionary_find(d, "s\t1"), -1);
    EXPECT_STREQ(d->comment[dictionary_find(d, "u")], "# c\n");

    EXPECT_EQ(dictionary_unset_section(d, "u"), 0);
    EXPECT_EQ(d->n, 1);
    EXPECT_EQ(dictionary_unset_section(d, "u"), -2);
    EXPECT_EQ(dictionary_unset(d, "t"), 0);
    EXPECT_EQ(dictionary_unset(d, "t"), -1);
    EXPECT_EQ(listing(d, dictionary_dump), "empty dictionary\n");
    dictionary_set(d, "sec", nullptr, nullptr);
    dictionary_set(d, "sec\tk", "v", nullptr);
    EXPECT_EQ(listing(d, dictionary_dump), "                 sec\t[UNDEF]\n               sec\tk\t[v]\n");
    EXPECT_EQ(listing(d, iniparser_dump), "[sec]=UNDEF\n[sec\tk]=[v]\n");
    dictionary_del(d);
}

TEST(IniDictionary, HashTakesBytesAsSignedCharacters)
{
    EXPECT_EQ(dictionary_hash(""), 0u);
    EXPECT_EQ(dictionary_hash("a"), 0xCA2E9442u);
    EXPECT_EQ(dictionary_hash("\xE9"), 0x409848FFu);  // 0xE9 counts as -23
}

TEST(IniReaders, TypedReadsOfTheDictionary)
{
    dictionary *d = iniparser_load_str("[s]\nhex = 0x10\nneg = -3\npi = 3.5\nyes = Yes\nno = false\nodd = maybe\n");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(iniparser_getnsec(d), 1);
    EXPECT_STREQ(iniparser_getsecname(d, 0), "s");
    EXPECT_EQ(iniparser_getsecname(d, 1), nullptr);
    EXPECT_EQ(iniparser_getsecnkeys(d, "s"), 6);
    EXPECT_EQ(iniparser_getlongint(d, "s\thex", 0), 16);
    EXPECT_EQ(iniparser_getint(d, "s\tneg", 0), -3);
    EXPECT_DOUBLE_EQ(iniparser_getdouble(d, "s\tpi", 0), 3.5);
    EXPECT_EQ(iniparser_getboolean(d, "s\tyes", -1), 1);
    EXPECT_EQ(iniparser_getboolean(d, "s\tno", -1), 0);
    EXPECT_EQ(iniparser_getboolean(d, "s\todd", -1), -1);
    EXPECT_EQ(iniparser_getboolean(d, "s\tnone", -1), -1);
    EXPECT_TRUE(iniparser_find_entry(d, "s"));
    EXPECT_FALSE(iniparser_find_entry(d, "S"));
    dictionary_del(d);
}
