#include "jsonfilter/json_path.h"

#include <json.h>

#include <string>

#include <gtest/gtest.h>

#include "jsonfilter/json_filter.h"
#include "libpal/basic/os_malloc.h"
#include "../support/case_name.h"

namespace {

constexpr const char *kDevDoc = R"({"ver": "1.0", "dev": [{"name": "a", "size": 5}, {"name": "b", "size": "5"}]})";

// Every value kind once, for how each is written back and compared.
constexpr const char *kKindsDoc =
    R"({"s": "abc", "n": 7, "d": 1.5, "t": true, "f": false, "z": null, "o": {"k": 1}, "a": [1, 2],)"
    R"( "true": "key-true", "m": {"x": 1, "y": 2}, "nn": [null, null, 3]})";

struct query_row {
    const char *doc;
    const char *expr;
    int max;
    const char *want;  // nullptr: no result
};

std::string show(const char *text)
{
    return text != nullptr ? "\"" + std::string(text) + "\"" : "(none)";
}

void PrintTo(const query_row &r, std::ostream *os)
{
    *os << quoted(r.expr) << " max " << r.max << " gives " << show(r.want);
}

class Query : public ::testing::TestWithParam<query_row> {};

TEST_P(Query, GivesTheMatchedText)
{
    const query_row &r = GetParam();
    const char *error = nullptr;
    json_object *doc = parse_json(r.doc, &error);
    ASSERT_NE(doc, nullptr) << error;
    char *got = filter_json(doc, r.expr, r.max);
    EXPECT_EQ(show(got), show(r.want)) << r.expr;
    os_free(got);
    json_object_put(doc);
}

const query_row kQueries[] = {
    {kDevDoc, "$.dev[0].name", 1, "a"},
    {kDevDoc, "$.dev[-1].name", 1, "b"},
    {kDevDoc, "$.dev[-2].name", 1, "a"},
    {kDevDoc, "$.dev[-3].name", 1, nullptr},
    {kDevDoc, "$.dev[5].name", 1, nullptr},
    {kDevDoc, "$.dev[*].name", 2, "a\nb"},
    {kDevDoc, "$.dev[*].name", 1, "a"},
    {kDevDoc, "$.dev[@.name='b'].name", 1, "b"},
    {kDevDoc, "$.dev[@.name=\"a\"].name", 1, "a"},
    {kDevDoc, "$['dev'][1].name", 1, "b"},
    {kDevDoc, "$.dev", 1, R"([ { "name": "a", "size": 5 }, { "name": "b", "size": "5" } ])"},
    {kDevDoc, "$.ver", 1, "1.0"},
    {kDevDoc, "$.dev.name", 1, nullptr},
    {kDevDoc, "@.dev[1].name", 1, "b"},
    {kDevDoc, "x = $.dev[1].name", 1, "b"},
    {kDevDoc, "$.dev[@.size=5].name", 5, "a"},
    {kDevDoc, "$.dev[@.size='5'].name", 5, "b"},
    {kDevDoc, "$.dev[@.size!=5].name", 5, nullptr},  // a string never differs from a number
    {kDevDoc, "$.dev[@.size<10].name", 5, "a"},
    {kDevDoc, "$.dev[@.size>=5 && @.name='a'].name", 5, "a"},
    {kDevDoc, "$.dev[@.name='a' || @.name='b'].name", 5, "a\nb"},
    {kDevDoc, "$.dev[!(@.name='a')].name", 5, "b"},
    {kDevDoc, "$.dev[0,1].name", 5, "a\nb"},
    {kDevDoc, "$.dev[@.name ~ /^B$/i].name", 5, "b"},
    {kDevDoc, "$.dev[@.name ~ 'a'].name", 5, "a"},
    {kDevDoc, "$.dev[/^b/ ~ @.name].name", 5, "b"},
    {kDevDoc, "$.dev[@.name ~ /^(a|b)+$/e].name", 5, "a\nb"},
    {kDevDoc, "$.dev[@.name ~ /^a\\{1,3\\}$/].name", 5, "a"},
    // Repetitions that would compile to millions of atoms (minutes of
    // regcomp) match nothing, like a pattern that does not compile.
    {kDevDoc, "$.dev[@.name ~ /a+++++++++++++++++++++++++++++++/e].name", 5, nullptr},
    {kDevDoc, "$.dev[@.name ~ /((a{99}){99}){99}/e].name", 5, nullptr},
    {kDevDoc, "$.dev[@.name ~ /$@************************************************/ie].name", 5, nullptr},
    {kDevDoc, "$.dev[@.name ~ /(((((((((((((((((a)))))))))))))))))/e].name", 5, nullptr},
    {kDevDoc, "$.dev[@.name ~ /\\(\\(a\\{99\\}\\)\\{99\\}\\)\\{99\\}/].name", 5, nullptr},
    {kDevDoc, "$.dev[$.ver].name", 5, "a\nb"},
    {kDevDoc, "$.dev[$.nothing].name", 5, nullptr},
    {kDevDoc, "$", 1, R"({ "ver": "1.0", "dev": [ { "name": "a", "size": 5 }, { "name": "b", "size": "5" } ] })"},
    {kKindsDoc, "$.s", 1, "abc"},
    {kKindsDoc, "$.n", 1, "7"},
    {kKindsDoc, "$.d", 1, "1.5"},
    {kKindsDoc, "$.t", 1, "true"},
    {kKindsDoc, "$.f", 1, "false"},
    {kKindsDoc, "$.z", 1, ""},
    {kKindsDoc, "$.o", 1, R"({ "k": 1 })"},
    {kKindsDoc, "$.nn[*]", 2, ""},  // nulls count toward max
    {kKindsDoc, "$.nn[*]", 3, "3"},
    {kKindsDoc, "$['true']", 1, "key-true"},
    {kKindsDoc, "$.m[-1]", 5, nullptr},      // a lone index needs an array
    {kKindsDoc, "$.a[-1]", 5, "2"},
    {kKindsDoc, "$.m[-1,5]", 5, "1\n2"},  // members carry the index -1 inside a union
    {kKindsDoc, "$.m.*", 5, "1\n2"},
    {kKindsDoc, "$[@.d<10].k", 5, nullptr},     // a double is no operand
    {kKindsDoc, "$[@.s ~ /^A/i]", 5, nullptr},  // the value s itself has no member s
    {kKindsDoc, "$.a[@ = 2]", 5, "2"},  // "@" alone is the element itself
    {kKindsDoc, "$[@.t = true].k", 5, nullptr},
    {R"({"x": {"s": "abc"}})", "$[@.s ~ /^A/i].s", 5, "abc"},
    {R"({"x": {"n": 1.5}, "y": {"n": "5"}, "z": {"n": 3}})", "$[@.n < 10].n", 5, "3"},
    {R"({"x": {"b": true}, "y": {"b": 1}})", "$[@.b = true].b", 5, "true"},
    {R"({"éA": 1})", R"($['\u00e9A'])", 1, "1"},
    {R"({"éA": 1})", R"($['\xe9\x41'])", 1, "1"},
    {R"({"A": 2})", R"($['\101'])", 1, "2"},
    {R"({"a\"b": 3})", R"($["a\"b"])", 1, "3"},
    {R"({"l": [10, 20, 30]})", "$.l[2147483647]", 1, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Table, Query, ::testing::ValuesIn(kQueries),
                         [](const ::testing::TestParamInfo<query_row> &p) {
                             return case_name(p.index, p.param.expr);
                         });

struct error_row {
    const char *name;
    const char *expr;
    int32_t code;  // 0: any positive mask
};

void PrintTo(const error_row &r, std::ostream *os)
{
    *os << r.name;
}

class ParseError : public ::testing::TestWithParam<error_row> {};

const std::string k128(128, 'x');
const std::string kDeepParens = "$[" + std::string(40, '(') + "1" + std::string(40, ')') + "]";
const std::string kDeepNot = "$[" + std::string(200, '!') + "1]";
const std::string kDeepBrackets = [] {
    std::string e = "$";
    for (int i = 0; i < 40; i++)
        e += "[@";
    for (int i = 0; i < 40; i++)
        e += "]";
    return e;
}();

const error_row kErrors[] = {
    {"Empty", "", 28672},
    {"Blank", "   ", 28672},
    {"StartsWithDot", ".dev", 28672},
    {"Descendant", "$..name", 69632},
    {"DoubledEquals", "$.dev[@.name=='a']", 0},
    {"ChainedComparison", "$.dev[@.a=1=2]", 0},
    {"UnionInParentheses", "$.dev[(0,1)]", 0},
    {"UnbalancedBracket", "$.dev[0", 0},
    {"UnbalancedParenthesis", "$.dev[(@.a=1]", 0},
    {"ClosingOnly", "$]", 0},
    {"KeyTrueAfterDot", "$.true", 69632},
    {"LabelWithoutEquals", "x $.a", 0},
    {"Label128", nullptr, -3},
    {"String128", nullptr, -3},
    {"UnterminatedString", "$['abc", -1},
    {"UnterminatedRegexp", "$[@.a ~ /abc", -1},
    {"Hash", "$.#", -4},
    {"OctalTooLarge", "$['\\400']", -2},
    {"BadUnicodeEscape", "$['\\u12g4']", -2},
    {"BadHexEscape", "$['\\xZ1']", -2},
    {"MinusAlone", "$[-]", -2},
    {"IndexBeyond32Bits", "$.l[4294967296]", -2},
    {"HugeIndex", "$.l[99999999999999999999999999]", -2},
    {"DeepParentheses", nullptr, JP_ERR_TOO_DEEP},
    {"DeepNot", nullptr, JP_ERR_TOO_DEEP},
    {"DeepBrackets", nullptr, JP_ERR_TOO_DEEP},
};

std::string expr_of(const error_row &r)
{
    std::string name = r.name;
    if (name == "Label128")
        return "$." + k128;
    if (name == "String128")
        return "$['" + k128 + "']";
    if (name == "DeepParentheses")
        return kDeepParens;
    if (name == "DeepNot")
        return kDeepNot;
    if (name == "DeepBrackets")
        return kDeepBrackets;
    return r.expr;
}

TEST_P(ParseError, FailsWithItsCode)
{
    const error_row &r = GetParam();
    std::string e = expr_of(r);
    jp_state *s = jp_parse(e.c_str());
    ASSERT_NE(s, nullptr);
    if (r.code == 0)
        EXPECT_GT(s->error_code, 0) << e;
    else
        EXPECT_EQ(s->error_code, r.code) << e;
    EXPECT_EQ(s->path, nullptr);
    jp_free(s);
}

INSTANTIATE_TEST_SUITE_P(Table, ParseError,
                         ::testing::ValuesIn(kErrors),
                         [](const ::testing::TestParamInfo<error_row> &p) { return p.param.name; });

TEST(JsonPathParse, LimitsAreInclusive)
{
    const std::string label(127, 'y');
    for (const std::string &e : {"$." + label, "$['" + label + "']",
                                 "$[" + std::string(JP_MAX_DEPTH - 1, '(') + "1" +
                                     std::string(JP_MAX_DEPTH - 1, ')') + "]"}) {
        jp_state *s = jp_parse(e.c_str());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->error_code, 0) << e;
        EXPECT_NE(s->path, nullptr);
        jp_free(s);
    }
}

TEST(JsonPathParse, BuildsTheNodesOfTheGrammar)
{
    jp_state *s = jp_parse("$.dev[@.size>=10 && !@.ro, 3].name");
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->error_code, 0);
    jp_opcode *root = s->path;
    ASSERT_EQ(root->type, JP_T_ROOT);
    jp_opcode *dev = root->down;
    ASSERT_EQ(dev->type, JP_T_LABEL);
    EXPECT_STREQ(dev->str, "dev");
    jp_opcode *u = dev->sibling;
    ASSERT_EQ(u->type, JP_T_UNION);
    jp_opcode *conj = u->down;
    ASSERT_EQ(conj->type, JP_T_AND);
    EXPECT_EQ(conj->down->type, JP_T_GE);
    EXPECT_EQ(conj->down->down->type, JP_T_THIS);
    EXPECT_EQ(conj->down->down->sibling->num, 10);
    EXPECT_EQ(conj->down->sibling->type, JP_T_NOT);
    EXPECT_EQ(conj->sibling->type, JP_T_NUMBER);
    EXPECT_EQ(conj->sibling->num, 3);
    EXPECT_EQ(u->sibling->type, JP_T_LABEL);
    EXPECT_STREQ(u->sibling->str, "name");
    jp_free(s);
}

TEST(JsonPathParse, EscapesAndRegexpFlags)
{
    struct row {
        const char *expr;
        const char *str;
        int32_t num;
    };
    const row rows[] = {
        {"$['\\u00e9']", "\xc3\xa9", 0},
        {"$['\\x41']", "A", 0},
        {"$['\\101']", "A", 0},
        {"$['a\\tb\\\\c\\'d']", "a\tb\\c'd", 0},
        {"$['x\\u0000y']", "xy", 0},
        {"$[/a\\d\\//]", "a\\d\\/", 0},
    };
    for (const row &r : rows) {
        jp_state *s = jp_parse(r.expr);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s->error_code, 0) << r.expr;
        EXPECT_STREQ(s->path->down->str, r.str) << r.expr;
        jp_free(s);
    }
}

TEST(JsonPathMatch, ReportsEveryMatchAndReturnsTheFirst)
{
    json_object *doc = parse_json(kDevDoc, nullptr);
    ASSERT_NE(doc, nullptr);
    jp_state *s = jp_parse("$.dev[*].name");
    ASSERT_EQ(s->error_code, 0);
    std::string seen;
    json_object *first = jp_match(
        s->path, doc,
        [](json_object *m, void *priv) { *static_cast<std::string *>(priv) += json_object_get_string(m); }, &seen);
    EXPECT_EQ(seen, "ab");
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(json_object_get_string(first), "a");
    jp_free(s);
    json_object_put(doc);
}

}  // namespace
