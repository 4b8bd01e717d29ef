#include "libpal/value/var_mgr.h"

#include <gtest/gtest.h>

#include <string>

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_array.h"
#include "str_log_capture.h"

namespace {

std::string take(char *text)
{
    std::string s = text != nullptr ? text : "<null>";
    os_free(text);
    return s;
}

dvar int_var(const char *name, int value)
{
    dvar v{};
    v.name = name;
    v.desc = "an int";
    v.value.type = VALUE_TYPE_INT;
    v.value.v.i = value;
    return v;
}

char g_text[64] = "two words";
int text_get(char *buf, size_t size) { snprintf(buf, size, "%s", g_text); return 0; }
int text_set(const char *value, char *) { snprintf(g_text, sizeof(g_text), "%s", value); return 0; }

struct dvars {
    dvar_mgr *mgr = dvar_mgr_new();
    ~dvars() { dvar_mgr_free(mgr); }
};

}  // namespace

TEST(Dvar, DuplicateAndIncompleteEntriesAreRefused)
{
    log_capture log;
    dvars d;
    dvar a = int_var("a", 1), again = int_var("a", 2);
    dvar none{};
    none.name = "none";
    none.value.type = VALUE_TYPE_PINT;  // a pointer type without the pointer
    EXPECT_EQ(dvar_mgr_add(d.mgr, &a), 0);
    EXPECT_EQ(dvar_mgr_add(d.mgr, &again), -1);
    EXPECT_TRUE(log.has("error: var=a already exists\n"));
    EXPECT_EQ(dvar_mgr_add(d.mgr, &none), -1);
    EXPECT_TRUE(log.has("var=none set error\n"));
    EXPECT_EQ(dvar_mgr_find(d.mgr, "a"), &a);
    EXPECT_FALSE(dvar_mgr_exists(d.mgr, "none"));
}

TEST(Dvar, IntValueSetGetDumpAndUnknownName)
{
    dvars d;
    int target = 0;
    dvar a = int_var("a", 0);
    dvar p = int_var("p", 0);
    p.value.type = VALUE_TYPE_PINT;
    p.value.v.pint = &target;
    dvar t{"t", 0, "", "a text", text_set, text_get, {}};
    ASSERT_EQ(dvar_mgr_add(d.mgr, &a), 0);
    ASSERT_EQ(dvar_mgr_add(d.mgr, &p), 0);
    ASSERT_EQ(dvar_mgr_add(d.mgr, &t), 0);

    char err[DVAR_ERR_SIZE];
    EXPECT_EQ(dvar_mgr_set(d.mgr, "a", "42", err), 0);
    EXPECT_EQ(dvar_mgr_set(d.mgr, "p", "7", err), 0);
    EXPECT_EQ(target, 7);
    char value[DVAR_VALUE_SIZE];
    EXPECT_EQ(dvar_mgr_get(&a, value), 0);
    EXPECT_STREQ(value, "42");
    EXPECT_EQ(take(dvar_mgr_dump(d.mgr)), "a=42\np=7\nt='two words'\n");

    EXPECT_EQ(dvar_mgr_set(d.mgr, "nope", "1", err), -12);
    EXPECT_STREQ(err, "The set variable 'nope' does not exist");
}

// An enumeration stored through its value takes only a word of its range:
// "yes" must not become 0 and make a read-only flag writable.
TEST(Dvar, EnumWithoutCallbackRefusesWordsOutsideItsRange)
{
    dvars d;
    int readonly = 1;
    dvar ro{"ro", DVAR_TYPE_ENUM, "0|1", nullptr, nullptr, nullptr, {}};
    ro.value.type = VALUE_TYPE_PINT;
    ro.value.v.pint = &readonly;
    ASSERT_EQ(dvar_mgr_add(d.mgr, &ro), 0);
    char err[DVAR_ERR_SIZE];
    for (const char *bad : {"yes", "", "01", "0 ", "true"}) {
        EXPECT_EQ(dvar_mgr_set(d.mgr, "ro", bad, err), -1) << bad;
        EXPECT_EQ(std::string(err), std::string("invalid param [") + bad + "]\n");
        EXPECT_EQ(readonly, 1);
    }
    EXPECT_EQ(dvar_mgr_set(d.mgr, "ro", "0", err), 0);
    EXPECT_EQ(readonly, 0);
    EXPECT_EQ(take(dvar_mgr_help(d.mgr)), "set ro [0|1] -- (null)\n");
}

TEST(Dvar, JsonNamesTwiceAndSlashesTheRange)
{
    dvars d;
    EXPECT_EQ(take(dvar_mgr_json(d.mgr)), "[]");
    int v = 1;
    dvar e{"mode", DVAR_TYPE_ENUM, "on|off", "Mode", nullptr, nullptr, {}};
    e.value.type = VALUE_TYPE_PINT;
    e.value.v.pint = &v;
    dvar i = int_var("n", 5);
    ASSERT_EQ(dvar_mgr_add(d.mgr, &e), 0);
    ASSERT_EQ(dvar_mgr_add(d.mgr, &i), 0);
    EXPECT_EQ(take(dvar_mgr_json(d.mgr)),
              "[{\"desc\":\"mode\",\"name\":\"mode\",\"value\":\"1\",\"type\":\"enum\",\"range\":\"on/off\"},"
              "{\"desc\":\"n\",\"name\":\"n\",\"value\":\"5\",\"type\":\"string\"} ]");
    ptr_array *words = dvar_mgr_enum_values(d.mgr, "mode");
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(words->count, 2u);
    EXPECT_STREQ(static_cast<const char *>(words->items[1]), "off");
    ptr_array_free(words);
    EXPECT_EQ(dvar_mgr_enum_values(d.mgr, "nope"), nullptr);
    ptr_array *names = dvar_mgr_names(d.mgr);
    ASSERT_EQ(names->count, 2u);
    EXPECT_EQ(names->items[0], static_cast<const void *>(e.name));
    ptr_array_free(names);
}

namespace {
int g_called = 0;
int count_call(sh_ctx *, int argc, char **) { g_called++; return argc; }
char *hello_get() { char *t = static_cast<char *>(os_malloc(6)); snprintf(t, 6, "hello"); return t; }
}  // namespace

TEST(FvarRvar, CallShowHelpAndRefusals)
{
    log_capture log;
    fvar_mgr *f = fvar_mgr_new();
    fvar fn{"fn", "Counts", count_call}, broken{"broken", "x", nullptr};
    ASSERT_EQ(fvar_mgr_add(f, &fn), 0);
    EXPECT_EQ(fvar_mgr_add(f, &broken), -1);
    EXPECT_TRUE(log.has("var=broken init error\n"));
    char *argv[] = {const_cast<char *>("fn"), const_cast<char *>("x"), nullptr};
    EXPECT_EQ(fvar_mgr_call(f, "fn", nullptr, 2, argv), 2);
    EXPECT_EQ(fvar_mgr_call(f, "nope", nullptr, 2, argv), -12);
    EXPECT_EQ(g_called, 1);
    EXPECT_EQ(take(fvar_mgr_help(f, "call")), "call fn -- Counts\n");
    fvar_mgr_free(f);

    rvar_mgr *r = rvar_mgr_new();
    rvar hello{"hello", "Greets", hello_get};
    EXPECT_EQ(take(rvar_mgr_help(r)), "<null>");
    ASSERT_EQ(rvar_mgr_add(r, &hello), 0);
    EXPECT_EQ(rvar_mgr_add(r, &hello), -1);
    EXPECT_EQ(take(rvar_mgr_get(r, "hello")), "hello");
    EXPECT_EQ(rvar_mgr_get(r, "nope"), nullptr);
    EXPECT_EQ(take(rvar_mgr_help(r)), "show hello -- Greets\n");
    rvar_mgr_free(r);
}
