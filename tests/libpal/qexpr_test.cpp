#define ZLOG_TAG "test"
#include "libpal/qexpr/qexpr.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <atomic>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "libpal/value/value2.h"
#include "../support/case_name.h"

namespace {

// A record as the getter sees it: numbers by type, texts as strings.
struct field {
    uint32_t type;
    uint64_t num;
    std::string str;
};
using record = std::map<std::string, field>;


field u8(uint64_t v) { return {VALUE_TYPE_U8, v, {}}; }
field u32(uint64_t v) { return {VALUE_TYPE_U32, v, {}}; }
field u64(uint64_t v) { return {VALUE_TYPE_U64, v, {}}; }
field text(const char *s) { return {VALUE_TYPE_STRING, 0, s}; }

int record_getter(void *ctx, const char *name, qexpr_value *out)
{
    const auto &rec = *static_cast<const record *>(ctx);
    const auto it = rec.find(name);
    if (it == rec.end())
        return -1;
    out->type = it->second.type;
    out->num = it->second.num;
    out->str = it->second.type == VALUE_TYPE_STRING ? it->second.str.c_str() : nullptr;
    return 0;
}

// level 3 (warn), tag "net", msg, an 8-bit and a 64-bit field.
record sample()
{
    return {{"level", u32(3)}, {"tag", text("net")}, {"msg", text("disk timeout on sda1")},
            {"flags", u8(0x5a)}, {"big", u64(1ull << 40)}};
}

struct set_deleter {
    void operator()(qexpr *s) const { qexpr_free(s); }
};
using set_ptr = std::unique_ptr<qexpr, set_deleter>;

std::string owned(char *s)
{
    std::string out = s ? s : "(none)";
    os_free(s);
    return out;
}

class RuleSet : public ::testing::Test {
protected:
    set_ptr set{qexpr_new(nullptr)};
    char err[QPARSER_ERR_SIZE] = {};

    int drop(const record &rec) { return qexpr_filter_drop(set.get(), record_getter, const_cast<record *>(&rec)); }
    std::string dump() { return owned(qexpr_dump_rules_str(set.get())); }
};

struct verdict_case {
    const char *rules;
    int drop;  // for sample()
};

void PrintTo(const verdict_case &c, std::ostream *os)
{
    *os << quoted(c.rules) << (c.drop != 0 ? " drops" : " keeps");
}

class Verdict : public RuleSet, public ::testing::WithParamInterface<verdict_case> {};

TEST_P(Verdict, OfSampleRecord)
{
    ASSERT_EQ(qexpr_load(set.get(), GetParam().rules, err), 0) << err;
    EXPECT_EQ(drop(sample()), GetParam().drop) << GetParam().rules;
}

// One rule in mode "or" keeps the record exactly when it matches.
const verdict_case k_verdicts[] = {
    {"level == 3", 0}, {"level == 4", 1}, {"level != 4", 0}, {"level != 3", 1},
    {"level < 4", 0}, {"level < 3", 1}, {"level > 2", 0}, {"level > 3", 1},
    {"level <= 3", 0}, {"level <= 2", 1}, {"level >= 3", 0}, {"level >= 4", 1},
    {"level==3", 0},
    {"tag == NET", 0}, {"tag == nat", 1}, {"tag != NET", 1}, {"tag < o", 0}, {"tag > o", 1},
    {"msg find TIMEOUT", 0}, {"msg find nope", 1}, {"msg !find nope", 0}, {"msg !find disk", 1},
    {"msg gfind sda1", 0}, {"msg gfind sda", 1}, {"msg !gfind sda", 0}, {"msg !gfind on", 1},
    {"msg startswith Disk", 0}, {"msg startswith sda", 1}, {"msg !startswith sda", 0}, {"msg !startswith disk", 1},
    {"msg endswith SDA1", 0}, {"msg endswith disk", 1}, {"msg !endswith disk", 0}, {"msg !endswith sda1", 1},
    {"tag glob 'x*|n?t'", 0}, {"tag glob x*|y*", 1}, {"tag !glob x*", 0}, {"tag !glob N*", 1},
    {"msg match '^disk .* sda[0-9]$'", 0}, {"msg match ^x", 1}, {"msg !match ^x", 0}, {"msg !match SDA", 1},
    {"msg findhex 74696d65", 0}, {"msg findhex 7a7a", 1}, {"msg !findhex 7a7a", 0}, {"msg !findhex 6469?6b", 1},
    {"flags findhex 5a", 0}, {"flags findhex 5b", 1}, {"flags !findhex 5b", 0},
    {"level find 3", 0}, {"level startswith 4", 1},
    // 64-bit comparison: never cut to the field's width.
    {"big > 1099511627775", 0}, {"big == 0", 1}, {"flags == 346", 1}, {"flags == 90", 0},
    // A negated rule turns its match over; a disabled one decides nothing.
    {"!level == 3", 1}, {"!level == 4", 0}, {"~level == 4", 0}, {"~level == 4\nlevel == 4", 1},
    // Mode "or": the first rule that keeps decides; else the last one's verdict.
    {"level == 9; tag == net", 0}, {"level == 9; tag == x", 1},
    // Mode "and": the first rule that drops decides.
    {"@rule_mode and; level == 3; tag == x", 1}, {"@rule_mode and; level == 3; tag == net", 0},
    {"@rule_mode and; !tag == net; level <= 6", 1},
    // Unknown variables are skipped; only those leave the record kept.
    {"nope == 1", 0}, {"nope == 1; level == 4", 1},
};

INSTANTIATE_TEST_SUITE_P(Rules, Verdict, ::testing::ValuesIn(k_verdicts),
                         [](const ::testing::TestParamInfo<verdict_case> &p) {
                             return case_name(p.index, p.param.rules);
                         });

TEST_F(RuleSet, EmptySetKeepsEveryRecord)
{
    EXPECT_EQ(drop(sample()), 0);
    EXPECT_EQ(qexpr_rule_count(set.get()), 0u);
    EXPECT_EQ(qexpr_rules_hash(set.get()), 0u);
}

TEST_F(RuleSet, OrModeWalk)
{
    ASSERT_EQ(qexpr_load(set.get(), "level <= 4\ntag == net\n", err), 0) << err;
    EXPECT_EQ(drop({{"level", u32(3)}, {"tag", text("main")}}), 0);
    EXPECT_EQ(drop({{"level", u32(7)}, {"tag", text("net")}}), 0);
    EXPECT_EQ(drop({{"level", u32(7)}, {"tag", text("main")}}), 1);
}

TEST_F(RuleSet, AndModeWalk)
{
    ASSERT_EQ(qexpr_load(set.get(), "@rule_mode and\n!tag == bsv\nlevel <= 6\n", err), 0) << err;
    EXPECT_EQ(set->rule_mode, QEXPR_MODE_AND);
    EXPECT_EQ(drop({{"level", u32(6)}, {"tag", text("main")}}), 0);
    EXPECT_EQ(drop({{"level", u32(6)}, {"tag", text("bsv")}}), 1);
    EXPECT_EQ(drop({{"level", u32(7)}, {"tag", text("main")}}), 1);
}

TEST_F(RuleSet, QuotedValues)
{
    ASSERT_EQ(qexpr_load(set.get(), "msg find ' a b'\nmsg find \"x;#\\ty\"", err), 0) << err;
    ASSERT_EQ(qexpr_rule_count(set.get()), 2u);
    EXPECT_STREQ(static_cast<qexpr_rule *>(set->main_rules.items[0])->value, "a b");
    EXPECT_STREQ(static_cast<qexpr_rule *>(set->main_rules.items[1])->value, "x;#\ty");
    EXPECT_EQ(drop({{"msg", text("xa by")}}), 0);
    EXPECT_EQ(drop({{"msg", text("ab")}}), 1);
}

TEST_F(RuleSet, GetterFailureSkipsRule)
{
    ASSERT_EQ(qexpr_load(set.get(), "level == 3", err), 0);
    EXPECT_EQ(qexpr_filter_drop(set.get(), nullptr, nullptr), 0);
    EXPECT_EQ(drop({{"tag", text("x")}}), 0);
}

TEST_F(RuleSet, RuleCountIsNotCutToEightBits)
{
    std::string rules;
    for (int i = 0; i < 300; ++i)
        rules += "level == " + std::to_string(i) + "\n";
    ASSERT_EQ(qexpr_load(set.get(), rules.c_str(), err), 0) << err;
    EXPECT_EQ(qexpr_rule_count(set.get()), 300u);
}

TEST_F(RuleSet, AddRulesWaitsForCommit)
{
    EXPECT_EQ(qexpr_add_rules(set.get(), 1, "level", "==", "4", 0), 0);
    EXPECT_EQ(qexpr_add_rules(set.get(), 1, "level", "=~", "4", 0), -1);
    EXPECT_EQ(qexpr_rule_count(set.get()), 0u);
    ASSERT_EQ(qexpr_commit_main(set.get(), err), 0) << err;
    EXPECT_EQ(qexpr_rule_count(set.get()), 1u);
    EXPECT_EQ(drop(sample()), 1);
    EXPECT_EQ(qexpr_add_rules(set.get(), 1, "level", "==", "3", 0), 0);
    qexpr_discard_pending(set.get());
    ASSERT_EQ(qexpr_commit_main(set.get(), err), 0);
    EXPECT_EQ(qexpr_rule_count(set.get()), 0u);
}

TEST_F(RuleSet, DumpCopyForeachAndHash)
{
    ASSERT_EQ(qexpr_load(set.get(), "@rule_mode and\n~ !msg find 'a b'\nlevel <= 4", err), 0) << err;
    const std::string text = dump();
    EXPECT_EQ(text, "# rule_mode=and\n#main----------------------\n@ rule_mode and\n~ ! msg find \"a b\"\n"
                    " level <= 4\n#include-------------------\n#end-----------------------\n");
    EXPECT_EQ(owned(qexpr_dump_main_rules(set.get())),
              "# rule_mode=and\n#main----------------------\n@ rule_mode and\n~ ! msg find \"a b\"\n"
              " level <= 4\n#end-----------------------\n");
    EXPECT_NE(qexpr_rules_hash(set.get()), 0u);

    set_ptr copy(qexpr_new(nullptr));
    ASSERT_EQ(qexpr_copy(copy.get(), set.get()), 0);
    EXPECT_EQ(owned(qexpr_dump_rules_str(copy.get())), text);
    EXPECT_EQ(qexpr_rules_hash(copy.get()), qexpr_rules_hash(set.get()));

    std::vector<std::string> seen;
    qexpr_foreach(set.get(), [](uint8_t enabled, bool is_cmd, const char *var, uint32_t opcode, const char *value,
                                uint32_t kind, void *ctx) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::to_string(enabled) + (is_cmd ? "@" : "") + var +
                                                                 std::to_string(opcode) + value + std::to_string(kind));
    }, &seen);
    EXPECT_EQ(seen, (std::vector<std::string>{"1@rule_mode0and2", "0msg14a b1", "1level1040"}));
    EXPECT_EQ(qexpr_dump_rules_str(nullptr), nullptr);
}

// Loads swap the lists under the lock while another thread evaluates: every
// verdict is that of one whole rule set, old or new.
TEST_F(RuleSet, LoadWhileFiltering)
{
    ASSERT_EQ(qexpr_load(set.get(), "level == 3", err), 0);
    std::atomic<bool> done{false};
    std::thread loader([&] {
        char thread_err[QPARSER_ERR_SIZE];
        for (int i = 0; i < 200; ++i)
            qexpr_load(set.get(), i % 2 ? "level == 3" : "@rule_mode and; level == 4; tag == net", thread_err);
        done = true;
    });
    const record rec = sample();
    int kept = 0, dropped = 0;
    while (!done) {
        (drop(rec) ? dropped : kept)++;
        EXPECT_NE(qexpr_rules_hash(set.get()), 0u);
    }
    loader.join();
    EXPECT_GT(kept + dropped, 0);
}

TEST(Opcodes, NamesAndCodes)
{
    const char *names[] = {"findhex", "!findhex", "==", "!=", "<", ">", "<=", ">=", "find", "!find",
                           "gfind", "!gfind", "startswith", "!startswith", "endswith", "!endswith",
                           "glob", "!glob", "match", "!match"};
    const int codes[] = {0, 1, 2, 3, 6, 7, 10, 11, 14, 15, 18, 19, 22, 23, 26, 27, 30, 31, 34, 35};
    for (size_t i = 0; i < std::size(names); ++i) {
        EXPECT_EQ(qexpr_opcode_get(names[i]), codes[i]) << names[i];
        EXPECT_STREQ(qexpr_opcode_name(codes[i]), names[i]);
    }
    EXPECT_EQ(qexpr_opcode_get("FIND"), -1);
    EXPECT_EQ(qexpr_opcode_get("=~"), -1);
    EXPECT_EQ(expr_operate_str("Net", "net", 2, true, false), 1);
    EXPECT_EQ(expr_operate_str("Net", "net", 2, false, false), 0);
    EXPECT_EQ(expr_operate_str("Net", "net", 99, true, false), 0);
}

// Files for include and load tests, removed with the fixture.
class RuleFiles : public RuleSet {
protected:
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/qexpr_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
    std::string write(const char *name, const std::string &body)
    {
        const std::string path = dir + "/" + name;
        FILE *f = fopen(path.c_str(), "w");
        fputs(body.c_str(), f);
        fclose(f);
        return path;
    }
};

TEST_F(RuleFiles, IncludeAddsRulesAfterMain)
{
    const std::string inc = write("inc.rules", "tag == net\n");
    const std::string main = write("main.rules", "level == 9\n@include " + inc + "\n");
    ASSERT_EQ(qexpr_load_file(set.get(), main.c_str(), err), 0) << err;
    EXPECT_EQ(qexpr_rule_count(set.get()), 2u);
    EXPECT_EQ(set->include_rules.count, 1u);
    EXPECT_EQ(drop(sample()), 0);
    EXPECT_EQ(drop({{"level", u32(3)}, {"tag", text("fs")}}), 1);
    EXPECT_NE(dump().find("#include-------------------\n tag == net\n"), std::string::npos);
}

// Each bad input gets its error text and leaves the live rules and mode as they were.
TEST_F(RuleFiles, BadInputKeepsLiveRules)
{
    ASSERT_EQ(qexpr_load(set.get(), "level <= 4\ntag == net\n", err), 0);
    const std::string before = dump();
    const std::string inc = write("inc.rules", "@include " + dir + "/inc.rules\n");
    const std::string self = write("self.rules", "level == 1\n@include " + dir + "/self.rules\n");
    std::string many;
    for (int i = 0; i < 10000; ++i)
        many += "level == 1\n";
    const std::pair<std::string, std::string> texts[] = {
        {"", "empty rule text"},
        {" \r\n\t", "empty rule text"},
        {"@rule_mode and\nmsg find \"abc", "2:0 mode=10 Incomplete expression error"},
        {"level =! 4", "1:0 opcode=[=!] Unsupported"},
        {"msg == " + std::string(259, 'v'), "1:266 [v-0x76] syntax error=7"},
        {many, "4097:0 too many rules, at most 4096"},
        {"@include " + dir + "/none.rules",
         "include [" + dir + "/none.rules][" + dir + "/none.rules] error: No such file or directory"},
        {"@include " + inc, "Only one level of include is supported"},
        {"@include " + self, "Only one level of include is supported"},
        {"@include " + write("and.rules", "@rule_mode and\n") + "\n@ban x", "unsupprot cmd [ban] error"},
        {"@rule_mode xor", "rule_mode = xor error, [or and]"},
        {"@ban x", "unsupprot cmd [ban] error"},
    };
    for (const auto &[text, want] : texts) {
        EXPECT_LT(qexpr_load(set.get(), text.c_str(), err), 0) << text.substr(0, 40);
        EXPECT_EQ(std::string(err), want);
        EXPECT_EQ(dump(), before);
        EXPECT_EQ(set->pending_main.count + set->pending_include.count, 0u);
    }
    for (const std::string &path : {dir + "/none.rules", dir}) {
        EXPECT_EQ(qexpr_load_file(set.get(), path.c_str(), err), -1);
        EXPECT_STREQ(err, "file open failed");
        EXPECT_EQ(qparser_check_file(path.c_str(), err), -1);
        EXPECT_EQ(qparser_format_file(path.c_str(), err), nullptr);
        EXPECT_STREQ(err, "file open failed");
    }
    EXPECT_EQ(dump(), before);
    EXPECT_EQ(set->rule_mode, QEXPR_MODE_OR);
}

struct error_case {
    std::string text;
    std::string error;
};

void PrintTo(const error_case &c, std::ostream *os)
{
    *os << quoted(c.text) << " gives " << quoted(c.error);
}

class Malformed : public ::testing::TestWithParam<error_case> {};

TEST_P(Malformed, GivesItsErrorText)
{
    char err[QPARSER_ERR_SIZE] = {};
    EXPECT_LT(qparser_check(GetParam().text.c_str(), err), 0);
    EXPECT_EQ(std::string(err), GetParam().error);
    EXPECT_EQ(qparser_format(GetParam().text.c_str(), err), nullptr);
}

const error_case k_malformed[] = {
    {"1abc == 2", "1:1 [1-0x31] error: Var must start with letter or underscore"},
    {"! 9x == 2", "1:3 [9-0x39] error: Var must start with letter or underscore"},
    {"~~level == 1", "1:2 [~-0x7e] error:  ban_cmd character cannot appear"},
    {"lev$el == 1", "1:4 [$-0x24] syntax error=2"},
    {"level\t== 1", "1:6 [\t-0x 9] syntax error=2"},
    {"level 5", "1:7 [5-0x35] syntax error=3"},
    {"x == 1\nlevel ~= 5", "2:7 [~-0x7e] syntax error=3"},
    {"level =$ 5", "1:8 [$-0x24] syntax error=4"},
    {"level ==\n5", "1:9 [\n-0x a] syntax error=5"},
    {"level == 5 x", "1:12 [x-0x78] syntax error=6"},
    {"level!=5 6", "1:0 opcode=[!=5] Unsupported"},
    {"level =~ 4", "1:8 [~-0x7e] syntax error=4"},
    {"level === 5", "1:0 opcode=[===] Unsupported"},
    {"!", "1:0 mode=1 Incomplete expression error"},
    {"'never closed", "1:0 mode=3 Incomplete expression error"},
    {"~", "1:0 mode=4 Incomplete expression error"},
    {"level", "1:0 mode=5 Incomplete expression error"},
    {"level ", "1:0 mode=6 Incomplete expression error"},
    {"level ==", "1:0 mode=7 Incomplete expression error"},
    {"level == ", "1:0 mode=8 Incomplete expression error"},
    {"msg == \"a;b\nc", "2:0 mode=10 Incomplete expression error"},
    {"msg == 'abc", "1:0 mode=11 Incomplete expression error"},
    {"", "empty rule text"},
    {std::string(256, 'n') + " == 1", "1:256 [n-0x6e] syntax error=2"},
    {"v " + std::string(64, 'f') + " 1", "1:66 [f-0x66] syntax error=4"},
    {"v == " + std::string(259, 'a'), "1:264 [a-0x61] syntax error=7"},
    {"v == \"" + std::string(259, 'a') + "\"", "1:266 [\"-0x22] syntax error=7"},
    {"v == \"" + std::string(1033, 'a'), "1:1039 [a-0x61] syntax error=7"},
};

INSTANTIATE_TEST_SUITE_P(Texts, Malformed, ::testing::ValuesIn(k_malformed),
                         [](const ::testing::TestParamInfo<error_case> &p) {
                             return case_name(p.index, p.param.text);
                         });

TEST(Parser, LimitsAreInclusive)
{
    char err[QPARSER_ERR_SIZE] = {};
    EXPECT_EQ(qparser_check((std::string(255, 'n') + " == 1").c_str(), err), 0) << err;
    // An operator of the longest length passes the syntax and fails only its lookup.
    EXPECT_LT(qparser_check(("v " + std::string(63, 'f') + " 1").c_str(), err), 0);
    EXPECT_EQ(std::string(err), "1:0 opcode=[" + std::string(63, 'f') + "] Unsupported");
    EXPECT_EQ(qparser_check(("v == " + std::string(258, 'a')).c_str(), err), 0) << err;
    // 258 characters read from their escapes; the normal form keeps them within the limit.
    std::string escaped;
    for (int i = 0; i < 258; ++i)
        escaped += "\\042";
    const std::string rule = "v == \"" + escaped + "\"";
    EXPECT_EQ(qparser_check(rule.c_str(), err), 0) << err;
    const std::string once = owned(qparser_format(rule.c_str(), err));
    EXPECT_EQ(owned(qparser_format(once.c_str(), err)), once) << err;
}

TEST(Parser, CommentsBlocksAndStatementEnds)
{
    char err[QPARSER_ERR_SIZE] = {};
    std::vector<std::string> got;
    const char *text = "# lead; a == 1\n'skipped\nacross' b == 2 # tail\nc.d@e-f == x;d == y\r\ne == 'z'";
    ASSERT_EQ(qparser_parse(text, [](void *ctx, const qparser_stmt *s) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(s->var) + "=" + s->value);
        return 0;
    }, &got, err), 0) << err;
    EXPECT_EQ(got, (std::vector<std::string>{"a=1", "b=2", "c.d@e-f=x", "d=y", "e=z"}));
}

TEST(Parser, RuleFunctionErrors)
{
    char err[QPARSER_ERR_SIZE] = {};
    EXPECT_EQ(qparser_parse("abc == 1", [](void *, const qparser_stmt *) { return -2; }, nullptr, err), -2);
    EXPECT_STREQ(err, "var [abc] does not exist");
    EXPECT_LT(qparser_parse("abc == 1", [](void *, const qparser_stmt *) { return -1; }, nullptr, err), 0);
    EXPECT_STREQ(err, "expr malloc failed");
}

struct format_case {
    const char *text;
    const char *normal;
};

void PrintTo(const format_case &c, std::ostream *os)
{
    *os << quoted(c.text) << " gives " << quoted(c.normal);
}

class Format : public ::testing::TestWithParam<format_case> {};

TEST_P(Format, GivesNormalFormThatIsStable)
{
    char err[QPARSER_ERR_SIZE] = {};
    const std::string once = owned(qparser_format(GetParam().text, err));
    EXPECT_EQ(once, GetParam().normal) << err;
    EXPECT_EQ(owned(qparser_format(once.c_str(), err)), once) << err;
}

const format_case k_formats[] = {
    {"level==5", " level == 5\n"},
    {"  ~ ! tag   !=   x ; # c\n", "~ ! tag != x\n"},
    {"@rule_mode and", "@ rule_mode \"and\"\n"},
    {"~@include '/a b/c'", "~ @ include \"/a b/c\"\n"},
    {"msg find ' a b'", " msg find \"a b\"\n"},
    {"msg find \"x;#\\\\\"", " msg find \"x;#\\\\\"\n"},
    {"msg find \"a\\nb\\\\c\"", " msg find \"a\\012b\\\\c\"\n"},
    {"msg find '\"q\"'", " msg find \"\\042q\\042\"\n"},
    {"msg == \"\"", " msg == \"\"\n"},
    {"msg find '$HOME x'", " msg find '$HOME x'\n"},
    {"msg find \"$HOME x\"", " msg find \"$HOME x\"\n"},
    {"a glob x*|y?;b match ^a.b$", " a glob x*|y?\n b match ^a.b$\n"},
};

INSTANTIATE_TEST_SUITE_P(Texts, Format, ::testing::ValuesIn(k_formats),
                         [](const ::testing::TestParamInfo<format_case> &p) {
                             return case_name(p.index, p.param.text);
                         });

}  // namespace
