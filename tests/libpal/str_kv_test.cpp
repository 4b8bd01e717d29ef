// Key/value text, field picks, boolean words and variable expansion.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_kv.h"
#include "str_log_capture.h"

namespace {

// A returned string owned by the test.
std::string take(char *s)
{
    std::string r = s ? s : "(null)";
    os_free(s);
    return r;
}

TEST(KvGet, FindsTheKeyAndStopsAtAnItemWithoutEquals)
{
    struct get_case {
        const char *text;
        const char *seps;
        const char *key;
        int rc;
        const char *value;
    };
    const get_case cases[] = {
        {"a=1&b=2", "&", "b", 0, "2"},
        {"a=1&b=2", "&", "a", 0, "1"},
        {" b = 2 ", "&", "b", 0, "2"},
        {"a=1&&b=2&", "&", "b", 0, "2"},
        {"a=x=y", "&", "a", 0, "x=y"},
        {"a=", "&", "a", 0, ""},
        {"a=1;b=2\nc=3", ";\n", "c", 0, "3"},
        // An item without "=" ends the search.
        {"x&b=2", "&", "b", -1, ""},
        {"a=1& &b=2", "&", "b", -1, ""},
        {"a=1&b=2", "&", "c", -1, ""},
        {"A=1", "&", "a", -1, ""},
        {"", "&", "a", -1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " key=" + c.key);
        char out[64] = "untouched";
        EXPECT_EQ(str_kv_get(c.text, c.seps, c.key, out, sizeof(out)), c.rc);
        if (c.rc == 0) {
            EXPECT_STREQ(out, c.value);
        }
    }
}

TEST(KvGet, SeparatorFormsAndLines)
{
    char out[64];
    EXPECT_EQ(str_kv_get_sep("host: h1\nport: 80\n", "\n", ':', "port", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "80");
    EXPECT_EQ(str_kv_get_lines("a=1\r\nb=2\r\n", "b", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "2");
    EXPECT_EQ(str_kv_get_url("q=a%20b%26c&r=1", "q", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "a b&c");
    EXPECT_EQ(str_kv_get_url("q=1", "r", out, sizeof(out)), -1);
}

TEST(KvGet, ValueThatDoesNotFitFails)
{
    char out[4];
    log_capture cap;
    EXPECT_EQ(str_kv_get("k=12345", "&", "k", out, sizeof(out)), -1);
    EXPECT_EQ(str_kv_get("k=123", "&", "k", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "123");
}

TEST(KvGet, OverLongItemEndsTheSearch)
{
    const std::string text = "a=" + std::string(9000, 'x') + "&b=2";
    char out[16];
    log_capture cap;
    EXPECT_EQ(str_kv_get(text.c_str(), "&", "b", out, sizeof(out)), -1);
    EXPECT_TRUE(cap.has("need_len="));
}

TEST(KvGet, UnquoteStripsOneMatchingPairOrBrackets)
{
    struct unquote_case {
        const char *text;
        const char *value;
    };
    const unquote_case cases[] = {
        {"k='v w'", "v w"},  {"k=\"x\"", "x"}, {"k=[1,2]", "1,2"}, {"k=''", ""},
        {"k='", "'"},        {"k='a\"", "'a\""}, {"k=\"'a'\"", "'a'"}, {"k=plain", "plain"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        char out[32];
        ASSERT_EQ(str_kv_get_unquote(c.text, "k", out, sizeof(out)), 0);
        EXPECT_STREQ(out, c.value);
    }
    char out[32];
    EXPECT_EQ(str_kv_get_sep_unquote("a:'1' ,b:'2'", ",", ':', "b", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "2");
}

TEST(KvGet, BracketValueNeedsBothBracketsAndRoom)
{
    struct bracket_case {
        const char *text;
        size_t size;
        int rc;
        const char *value;
    };
    const bracket_case cases[] = {
        {"a=1\nk=x[1 2]y\n", 16, 0, "1 2"},
        {"k=[a]b]", 16, 0, "a]b"},
        {"k=[]", 16, 0, ""},
        {"k=[abc]", 4, 0, "abc"},
        {"k=[abc]", 3, -1, ""},
        {"k=abc]", 16, -1, ""},
        {"k=[abc", 16, -1, ""},
        {"k=]a[", 16, -1, ""},
        {"j=[a]", 16, -1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        char out[16];
        EXPECT_EQ(str_kv_get_bracket(c.text, "k", out, c.size), c.rc);
        if (c.rc == 0) {
            EXPECT_STREQ(out, c.value);
        }
    }
}

TEST(KvGet, KeyByValueAndTokenSearch)
{
    char key[16];
    EXPECT_EQ(str_kv_get_key("a = 1, b = 2", ",", '=', "2", key, sizeof(key)), 0);
    EXPECT_STREQ(key, "b");
    EXPECT_EQ(str_kv_get_key("x,b=2", ",", '=', "2", key, sizeof(key)), 0);
    EXPECT_STREQ(key, "b");
    EXPECT_EQ(str_kv_get_key("a=1", ",", '=', "2", key, sizeof(key)), -1);
    EXPECT_EQ(str_kv_get_key("toolongkeyname=2", ",", '=', "2", key, 4), -1);

    struct tok_case {
        const char *text;
        const char *item;
        int rc;
    };
    const tok_case toks[] = {
        {" a , b ,c", "b", 0}, {" a , b ,c", "c", 0}, {"a,,b", "", -1}, {"a, ,b", "", -1},
        {"a,b", "d", -1},      {"ab", "a", -1},       {"", "a", -1},
    };
    for (const auto &t : toks) {
        SCOPED_TRACE(std::string(t.text) + " item=" + t.item);
        EXPECT_EQ(str_list_find_tok(t.text, ",", t.item), t.rc);
    }
}

TEST(KvFields, NthFieldKeepsEmptyFieldsAndRefusesWhatDoesNotFit)
{
    struct field_case {
        const char *text;
        int n;
        size_t size;
        const char *expected;  // nullptr: none
    };
    const field_case cases[] = {
        {"a,b,,d", 0, 8, "a"}, {"a,b,,d", 1, 8, "b"},  {"a,b,,d", 2, 8, ""},
        {"a,b,,d", 3, 8, "d"}, {"a,b,,d", 4, 8, nullptr}, {"a;b", 1, 8, "b"},
        {"abc,d", 0, 4, "abc"}, {"abcd,e", 0, 4, nullptr}, {"", 0, 8, ""},
        {"", 1, 8, nullptr},   {"a", -1, 8, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " n=" + std::to_string(c.n));
        char out[8];
        const char *r = str_get_field(c.text, ",;", c.n, out, c.size);
        if (c.expected == nullptr) {
            EXPECT_EQ(r, nullptr);
        } else {
            ASSERT_EQ(r, out);
            EXPECT_STREQ(out, c.expected);
        }
    }
}

TEST(KvFields, KeyAndValue)
{
    char k[8];
    char v[8];
    EXPECT_EQ(str_get_key_and_val("k=v", "=", k, sizeof(k), v, sizeof(v)), 0);
    EXPECT_STREQ(k, "k");
    EXPECT_STREQ(v, "v");
    EXPECT_EQ(str_get_key_and_val("a=b=c", "=", k, sizeof(k), v, sizeof(v)), 0);
    EXPECT_STREQ(k, "a");
    EXPECT_STREQ(v, "b");
    EXPECT_EQ(str_get_key_and_val("k", "=", k, sizeof(k), v, sizeof(v)), -1);
    EXPECT_EQ(str_get_key_and_val("k=12345678", "=", k, sizeof(k), v, sizeof(v)), -1);
}

TEST(KvFields, Tokens)
{
    char text[] = "  a  b c";
    EXPECT_STREQ(str_tok_n(text, " ", 1), "b");
    char text2[] = "  a  b c";
    EXPECT_EQ(str_tok_n(text2, " ", 3), nullptr);

    const char *kept = "x:y::z";
    EXPECT_EQ(take(str_tok_n_dup(kept, ":", 2)), "z");
    EXPECT_STREQ(kept, "x:y::z");
    EXPECT_EQ(str_tok_n_dup(kept, ":", 3), nullptr);

    const char *table = "eth0 up 1500\neth1 down\neth1 down 9000\r\nlo up  65536 \n";
    EXPECT_EQ(take(str_lines_get_field(table, " ", "eth1", 0, 2)), "9000");
    EXPECT_EQ(take(str_lines_get_field(table, " ", "up", 1, 0)), "eth0");
    EXPECT_EQ(take(str_lines_get_field(table, " ", "lo", 0, 2)), "65536");
    EXPECT_EQ(str_lines_get_field(table, " ", "eth2", 0, 1), nullptr);
    EXPECT_EQ(str_lines_get_field(table, " ", "eth0", 0, 5), nullptr);

    const char *info = "Model: X1\nSerial:  123 \n";
    EXPECT_EQ(take(str_lines_find_field(info, "Serial", ":", 1)), "123");
    EXPECT_EQ(str_lines_find_field(info, "Vendor", ":", 1), nullptr);
    EXPECT_EQ(str_lines_find_field(info, "Model", ":", 2), nullptr);
}

TEST(KvSubstr, CopiesOnlyWithinTheTextAndTheBuffer)
{
    struct sub_case {
        const char *text;
        size_t offset;
        size_t length;
        size_t size;
        const char *expected;
    };
    const sub_case cases[] = {
        {"hello", 1, 3, 10, "ell"}, {"hello", 3, 10, 10, "lo"}, {"hello", 5, 1, 10, ""},
        {"hello", 9, 1, 10, ""},    {"hello", 1, 3, 3, "el"},   {"hello", 0, 5, 1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " @" + std::to_string(c.offset));
        char out[10] = "junk";
        EXPECT_STREQ(str_substr_buf(c.text, c.offset, c.length, out, c.size), c.expected);
    }
    char out[10] = "junk";
    log_capture cap;
    EXPECT_STREQ(str_substr_buf("hello", 0, 0, out, sizeof(out)), "");
    EXPECT_TRUE(cap.has("expr[length > 0]: assert failed"));
    strcpy(out, "junk");
    EXPECT_STREQ(str_substr_buf(nullptr, 0, 2, out, sizeof(out)), "");
    EXPECT_TRUE(cap.has("expr[srcstr != NULL]: assert failed"));

    EXPECT_EQ(take(str_substr("hello", 1, 3)), "ell");
    EXPECT_EQ(take(str_substr("hello", 2, 100)), "llo");
    EXPECT_EQ(str_substr("hello", 5, 1), nullptr);
    EXPECT_EQ(str_substr(nullptr, 0, 1), nullptr);
}

TEST(KvSubstr, CutAtLastSeparator)
{
    struct sep_case {
        const char *text;
        size_t size;
        const char *expected;
    };
    const sep_case cases[] = {
        {"a/b/c", 10, "a/b"}, {"a/b/c", 4, "a"}, {"abc", 10, "abc"}, {"abcdef", 4, "abc"}, {"/abc", 10, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        char out[10];
        EXPECT_STREQ(str_get_sep_max_substr_buf(c.text, '/', out, c.size), c.expected);
    }
    log_capture cap;
    char out[4] = "xyz";
    EXPECT_STREQ(str_get_sep_max_substr_buf("a/b", '/', out, 1), "");
    EXPECT_TRUE(cap.has("expr[blen>=2]: assert failed"));
    strcpy(out, "xyz");
    str_get_sep_max_substr_buf("a/b", '/', out, 0);
    EXPECT_STREQ(out, "xyz");
}

TEST(KvBool, WholeWordsInAnyCaseOthersUnknown)
{
    struct bool_case {
        const char *text;
        int expected;
    };
    const bool_case cases[] = {
        {"Enabled", 1}, {"OFF", 0},     {"maybe", -1},      {"true", 1},         {"T", 1},
        {"yes", 1},     {"y", 1},       {"on", 1},          {"up", 1},           {"running", 1},
        {"available", 1}, {"false", 0}, {"f", 0},           {"No", 0},           {"n", 0},
        {"down", 0},    {"unused", 0},  {"disabled", 0},    {"UNAVAILABLE", 0},  {"", -1},
        {" yes", -1},   {"yes ", -1},   {"1", -1},          {"enabledenabledxx", -1},
        {"true,false", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(str_to_bool(c.text), c.expected);
    }
    EXPECT_EQ(str_to_bool(nullptr), -1);
}

TEST(KvSet, EachModeSetsAddsOrDeletesAndRejoinsTheItems)
{
    struct set_case {
        const char *text;
        const char *seps;
        int mode;
        const char *key;
        const char *value;
        const char *expected;
    };
    const set_case cases[] = {
        {"a=1\nb=2", "\n", set_always, "b", "9", "a=1\nb=9"},
        {"a=1\nb=2", "\n", set_always, "c", "3", "a=1\nb=2\nc=3"},
        {"a=1\nb=2", "\n", set_not_exist, "b", "9", "a=1\nb=2"},
        {"a=1\nb=2", "\n", set_not_exist, "c", "3", "a=1\nb=2\nc=3"},
        {"a=1\nb=2", "\n", set_exist, "b", "9", "a=1\nb=9"},
        {"a=1\nb=2", "\n", set_exist, "c", "3", "a=1\nb=2"},
        {"a=1\nb=2", "\n", del_exist, "a", nullptr, "b=2"},
        {"a=1\nb=2", "\n", del_exist, "c", nullptr, "a=1\nb=2"},
        {"a=1", "\n", del_exist, "a", nullptr, ""},
        // Empty items are dropped; items are rejoined with the separator text.
        {"a=1&&b=2&", "&", set_exist, "a", "5", "a=5&b=2"},
        {"a=1\r\nb=2\r\n", "\r\n", set_always, "c", "3", "a=1\r\nb=2\r\nc=3"},
        // A key is matched with its "=", never as a prefix of another key.
        {"ab=1", "&", set_exist, "a", "2", "ab=1"},
        {"ab=1", "&", set_always, "a", "2", "ab=1&a=2"},
        {"", "&", set_always, "k", "v", "k=v"},
        {"", "&", set_exist, "k", "v", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " mode=" + str_kv_mode_name(c.mode) + " key=" + c.key);
        char text[64];
        strcpy(text, c.text);
        EXPECT_EQ(str_kv_set(text, sizeof(text), c.seps, c.mode, c.key, c.value), 0);
        EXPECT_STREQ(text, c.expected);
    }
}

TEST(KvSet, OverflowLeavesTextUnchanged)
{
    // "a=1\nb=99" needs 9 bytes.
    char text[8] = "a=1\nb=2";
    log_capture cap;
    EXPECT_EQ(str_kv_set(text, sizeof(text), "\n", set_always, "b", "99"), -1);
    EXPECT_STREQ(text, "a=1\nb=2");
    EXPECT_EQ(str_kv_set(text, sizeof(text), "\n", set_always, "c", "3"), -1);
    EXPECT_STREQ(text, "a=1\nb=2");

    // A result that exactly fills the buffer is no overflow.
    char exact[8] = "a=1";
    EXPECT_EQ(str_kv_set(exact, sizeof(exact), "\n", set_always, "b", "2"), 0);
    EXPECT_STREQ(exact, "a=1\nb=2");
}

TEST(KvSet, RefusedArguments)
{
    char text[16] = "a=1";
    log_capture cap;
    EXPECT_EQ(str_kv_set(text, sizeof(text), "&", 0, "a", "2"), -1);
    EXPECT_EQ(str_kv_set(text, sizeof(text), "&", 5, "a", "2"), -1);
    EXPECT_EQ(str_kv_set(text, sizeof(text), "&", set_always, nullptr, "2"), -1);
    EXPECT_EQ(str_kv_set(text, sizeof(text), "&", set_always, "a", nullptr), -1);
    EXPECT_STREQ(text, "a=1");
}

TEST(KvSet, ModeNames)
{
    EXPECT_STREQ(str_kv_mode_name(set_always), "set_always");
    EXPECT_STREQ(str_kv_mode_name(set_not_exist), "set_not_exist");
    EXPECT_STREQ(str_kv_mode_name(set_exist), "set_exist");
    EXPECT_STREQ(str_kv_mode_name(del_exist), "del_exist");
    EXPECT_STREQ(str_kv_mode_name(9), "unkown(9)");
}

TEST(KvSet, AddUrlArgument)
{
    char buf[32] = "";
    EXPECT_STREQ(str_kv_add_url(buf, sizeof(buf), "k", "v"), "k=v");
    EXPECT_STREQ(str_kv_add_url(buf, sizeof(buf), "q", "a b&c"), "k=v&q=a%20b%26c");
    log_capture cap;
    EXPECT_STREQ(str_kv_add_url(buf, sizeof(buf), "long", "0123456789abcdef"), "k=v&q=a%20b%26c");
}

// Environment variables of these tests; the names are unlikely to exist.
class Expand : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("ZORV_T_HOME", "/home/u", 1);
        unsetenv("ZORV_T_UNSET");
    }
    void TearDown() override { unsetenv("ZORV_T_HOME"); }
};

TEST_F(Expand, DollarNamesWithOrWithoutBraces)
{
    struct expand_case {
        const char *text;
        const char *expected;
    };
    const expand_case cases[] = {
        {"$ZORV_T_HOME/x", "/home/u/x"},
        {"${ZORV_T_HOME}x", "/home/ux"},
        {"$ZORV_T_HOME", "/home/u"},
        {"$ZORV_T_HOME:$ZORV_T_HOME", "/home/u:/home/u"},
        {"$ZORV_T_HOME$ZORV_T_HOME", "/home/u/home/u"},
        {"$ZORV_T_HO{ME}/", "/home/u/"},
        {"a${ZORV_T_HOME}b$ZORV_T_HOME=c", "a/home/ub/home/u=c"},
        // A "$" before an ending character, or alone at the end, gives nothing.
        {"a$", "a"},
        {"$-x", "-x"},
        {"$$ZORV_T_HOME", "/home/u"},
        {"${}", ""},
        {"plain text", "plain text"},
        {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        log_capture cap;
        EXPECT_EQ(take(str_expand_vars_env(c.text)), c.expected);
        EXPECT_TRUE(cap.all().empty());
    }
}

TEST_F(Expand, UnknownVariablesStayBraced)
{
    struct unknown_case {
        const char *text;
        const char *expected;
        const char *name;
    };
    const unknown_case cases[] = {
        {"${ZORV_T_UNSET}", "${ZORV_T_UNSET}", "ZORV_T_UNSET"},
        {"$ZORV_T_UNSET/x", "${ZORV_T_UNSET}/x", "ZORV_T_UNSET"},
        // A dot or a blank belongs to the name.
        {"$ZORV_T_HOME.x", "${ZORV_T_HOME.x}", "ZORV_T_HOME.x"},
        {"$ZORV_T_HOME x", "${ZORV_T_HOME x}", "ZORV_T_HOME x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        log_capture cap;
        EXPECT_EQ(take(str_expand_vars_env(c.text)), c.expected);
        EXPECT_TRUE(cap.has(std::string("[") + c.text + "] var=[" + c.name + "] get_failed"));
        EXPECT_EQ(cap.all().front().level, 3u);
    }
}

TEST_F(Expand, UnterminatedBraceIsCopied)
{
    struct brace_case {
        const char *text;
        const char *expected;
    };
    const brace_case cases[] = {
        {"${ZORV_T_HOME", "${ZORV_T_HOME"},
        {"x${", "x${"},
        {"$ab{c", "${abc"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        log_capture cap;
        EXPECT_EQ(take(str_expand_vars_env(c.text)), c.expected);
        EXPECT_TRUE(cap.has(std::string("[") + c.text + "] syntax error"));
    }
}

TEST_F(Expand, MaskTurnsEveryVariableIntoAWildcard)
{
    EXPECT_EQ(take(str_expand_vars_mask("/var/log/${NAME}.log")), "/var/log/?*.log");
    EXPECT_EQ(take(str_expand_vars_mask("$A-$B")), "?*-?*");
    char out[32];
    EXPECT_EQ(str_expand_vars_mask_buf("/l/${N}_${D}.log", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/l/?*_?*.log");
    // A dot belongs to an unbraced name.
    EXPECT_EQ(take(str_expand_vars_mask("/l/$N.log")), "/l/?*");
}

TEST_F(Expand, BufferFormsAreStrict)
{
    char out[8];
    EXPECT_EQ(str_expand_vars_env_buf("$ZORV_T_HOME", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/home/u");
    log_capture cap;
    EXPECT_NE(str_expand_vars_env_buf("$ZORV_T_HOME/x", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");
}

// A getter that counts its calls and answers with the name's length.
char *length_getter(const char *name, void *ctx)
{
    ++*static_cast<int *>(ctx);
    char *value = nullptr;
    os_asprintf(&value, "<%zu>", strlen(name));
    return value;
}

TEST_F(Expand, LongNamesReachTheGetterWhole)
{
    int calls = 0;
    const std::string name(4095, 'n');
    EXPECT_EQ(take(str_expand_vars_imp(("${" + name + "}!").c_str(), length_getter, &calls)), "<4095>!");
    EXPECT_EQ(take(str_expand_vars_imp(("$" + name + "/").c_str(), length_getter, &calls)), "<4095>/");
    EXPECT_EQ(calls, 2);

    // Longer names are no variables: the reference stays as written.
    const std::string longer(5000, 'm');
    log_capture cap;
    const std::string braced = "a${" + longer + "}b";
    EXPECT_EQ(take(str_expand_vars_imp(braced.c_str(), length_getter, &calls)), braced);
    const std::string open = "a${" + longer;
    EXPECT_EQ(take(str_expand_vars_imp(open.c_str(), length_getter, &calls)), open);
    EXPECT_EQ(calls, 2);
}

TEST_F(Expand, PercentNamesOnlyWhenClosedAndSet)
{
    setenv("ZORV_T_P", "v", 1);
    struct pct_case {
        const char *text;
        const char *expected;
    };
    const pct_case cases[] = {
        {"%ZORV_T_P%x", "vx"},
        {"%ZORV_T_UNSET%x", "%ZORV_T_UNSET%x"},
        {"100%", "100%"},
        {"a%%b", "ab"},
        {"%ZORV_T_P", "%ZORV_T_P"},
        {"50% of %ZORV_T_P%", "50% of %ZORV_T_P%"},
        {"%ZORV_T_P%%ZORV_T_P%", "vv"},
        {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(take(str_expand_pct_env(c.text)), c.expected);
    }
    char out[4];
    EXPECT_EQ(str_expand_pct_env_buf("%ZORV_T_P%x", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "vx");
    unsetenv("ZORV_T_P");
}

}  // namespace
