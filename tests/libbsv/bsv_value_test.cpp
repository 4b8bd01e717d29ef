#include "libbsv/bsv_value.h"

#include <gtest/gtest.h>

#include <string>

#include "bsv_test_util.h"
#include "libbsv/bsv.h"
#include "libpal/qexpr/qexpr.h"
#include "libpal/value/value2.h"

namespace {

using bsv_test::saw;
using bsv_test::rec_builder;

struct schema_row {
    const char *name;
    const char *schema;
    int count;             // -1: refused
    const char *logged;    // the refusal's log line
};

void PrintTo(const schema_row &r, std::ostream *os)
{
    *os << r.name;
}

class SchemaText : public ::testing::TestWithParam<schema_row> {};

TEST_P(SchemaText, CountsFieldsOrRefuses)
{
    const schema_row &r = GetParam();
    log_capture cap;
    EXPECT_EQ(value_get_info(nullptr, r.schema), r.count);
    bsv_value *v = bsv_value_init(r.schema, 0);
    EXPECT_EQ(v != nullptr, r.count > 0);
    if (v != nullptr) {
        EXPECT_EQ(bsv_value_get_count(v), static_cast<uint32_t>(r.count));
        bsv_value_exit(v);
    }
    if (r.logged != nullptr) {
        EXPECT_TRUE(saw(cap, "bsv", r.logged)) << r.schema;
    }
}

const schema_row k_schemas[] = {
    {"Log", BSV_SCHEMA_LOG, 11, nullptr},
    {"Log3", BSV_SCHEMA_LOG3, 13, nullptr},
    {"Net", BSV_SCHEMA_NET, 10, nullptr},
    {"OneNumber", "a-u8", 1, nullptr},
    {"NoDash", "a-u8,b", -1, "buf=[b] info=[a-u8,b] error\n"},
    {"UnknownWidth", "a-u24", -1, "type=[u24] error\n"},
    {"UnknownWidthEmpty", "a-", -1, "type=[] error\n"},
    {"NumberAfterString", "s-str,n-u8", -1, "buf=[n-u8] info=[s-str,n-u8] error\n"},
    {"TwoNamesOnANumber", "a|b-u16", -1, "buf=[a|b-u16] info=[a|b-u16] error\n"},
    {"EmptyName", "-u8", -1, nullptr},
    {"EmptyStringName", "a||b-str", -1, nullptr},
    {"TrailingBar", "a|-str", -1, nullptr},
    {"NameOf32", "abcdefghijklmnopqrstuvwxyz012345-u8", -1, nullptr},
    {"Empty", "", 0, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Bsv, SchemaText, ::testing::ValuesIn(k_schemas),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(BsvValue, NameGivenTwiceIsRefused)
{
    log_capture cap;
    EXPECT_EQ(bsv_value_init("a-u8,a-u16", 0), nullptr);
}

// A record of a schema with every width, in either byte order.
class TypedGetters : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        rec_.big = GetParam();
        rec_.num(0xAB, 1).num(0x1234, 2).num(0x89ABCDEF, 4).num(0x0102030405060708ull, 8).str("first").str("").str("third");
        v_ = bsv_value_init(kSchema, GetParam() ? 1 : 0);
        ASSERT_NE(v_, nullptr);
    }
    void TearDown() override { bsv_value_exit(v_); }
    static constexpr const char *kSchema = "a-u8,b-u16,c-u32,d-u64,s1|s2|s3-str";
    rec_builder rec_;
    bsv_value *v_ = nullptr;
};

TEST_P(TypedGetters, ReadEveryWidthByIndexAndByName)
{
    const void *r = rec_.bytes.data();
    const uint32_t n = rec_.size();
    EXPECT_EQ(bsv_value_get_u8(v_, r, n, 0), 0xAB);
    EXPECT_EQ(bsv_value_get_u16(v_, r, n, 1), 0x1234);
    EXPECT_EQ(bsv_value_get_u32(v_, r, n, 2), 0x89ABCDEFu);
    EXPECT_EQ(bsv_value_get_u64(v_, r, n, 3), 0x0102030405060708ull);
    EXPECT_STREQ(bsv_value_get_str(v_, r, n, 4), "first");
    EXPECT_STREQ(bsv_value_get_str(v_, r, n, 5), "");
    EXPECT_STREQ(bsv_value_get_str(v_, r, n, 6), "third");
    EXPECT_EQ(bsv_value_get_name(v_, 6)->offset, 15 + 6 + 1);
    EXPECT_STREQ(bsv_value_get_name(v_, 2)->name, "c");

    bsv_var var{};
    ASSERT_EQ(bsv_value_get_by_name(v_, r, n, "d", &var), 0);
    EXPECT_EQ(var.type, static_cast<uint32_t>(VALUE_TYPE_U64));
    EXPECT_EQ(var.value, 0x0102030405060708ull);
    ASSERT_EQ(bsv_value_get_by_name(v_, r, n, "s3", &var), 0);
    EXPECT_EQ(var.type, static_cast<uint32_t>(VALUE_TYPE_STRING));
    EXPECT_STREQ(reinterpret_cast<const char *>(var.value), "third");
    EXPECT_EQ(bsv_value_get_by_name(v_, r, n, "nope", &var), -1);
}

TEST_P(TypedGetters, RefuseWrongKindIndexAndBytesPastTheRecord)
{
    const void *r = rec_.bytes.data();
    const uint32_t n = rec_.size();
    log_capture cap;
    EXPECT_EQ(bsv_value_get_u32(v_, r, n, 4), 0u);
    EXPECT_TRUE(saw(cap, "bsv", "expr[ctx->val[idx].type!=VALUE_TYPE_STRING]: assert failed\n"));
    EXPECT_EQ(bsv_value_get_str(v_, r, n, 0), nullptr);
    EXPECT_TRUE(saw(cap, "bsv", "expr[ctx->val[idx].type==VALUE_TYPE_STRING]: assert failed\n"));
    EXPECT_EQ(bsv_value_get(v_, r, n, 7), 0u);
    EXPECT_TRUE(saw(cap, "bsv", "expr[idx<ctx->count_idx]: assert failed\n"));
    EXPECT_EQ(bsv_value_get_u8(v_, r, n, 9), 0u);
    EXPECT_TRUE(saw(cap, "bsv", "expr[idx < ctx->count_idx]: assert failed\n"));

    // The last string without its NUL, and a record cut inside a number.
    EXPECT_EQ(bsv_value_get_str(v_, r, n - 1, 6), nullptr);
    EXPECT_STREQ(bsv_value_get_str(v_, r, n - 1, 5), "");
    EXPECT_EQ(bsv_value_get_u64(v_, r, 10, 3), 0u);
    bsv_var var{};
    EXPECT_EQ(bsv_value_get_by_name(v_, r, 8, "s1", &var), -1);
}

INSTANTIATE_TEST_SUITE_P(Bsv, TypedGetters, ::testing::Bool(),
                         [](const auto &row) { return row.param ? "BigEndian" : "LittleEndian"; });

TEST(BsvTypes, KnownIdsOpenTheirSchemaOthersAreLogged)
{
    for (int id : {1, 2, 3, 5, 6}) {
        bsv_value *v = bsv_type_open_value(id);
        ASSERT_NE(v, nullptr) << id;
        EXPECT_EQ(v->endian, id == 2 || id == 6 ? 1u : 0u) << id;
        bsv_value_exit(v);
    }
    EXPECT_EQ(bsv_type_get_os_endian(1), 0);
    EXPECT_EQ(bsv_type_get_os_endian(2), 1);
    EXPECT_EQ(bsv_type_get_os_endian(3), 0);
    log_capture cap;
    EXPECT_EQ(bsv_type_open_value(4), nullptr);
    EXPECT_TRUE(saw(cap, "bsv", "type=4 error: not found\n"));
    EXPECT_EQ(bsv_type_get_os_endian(7), 0);
    EXPECT_TRUE(saw(cap, "bsv", "type=7 error: not found\n"));
}

// A "log" record with the fields the rules read.
std::vector<uint8_t> log_record(uint8_t level, const std::string &tag, const std::string &msg)
{
    rec_builder b;
    b.num(1700000000, 8).num(250000, 4).num(42, 4).num(7, 4).num(level, 1);
    b.str(tag).str("main_1").str("a.c").str("12").str("fn").str(msg);
    return b.bytes;
}

struct verdict_row {
    const char *name;
    const char *rules;
    uint8_t level;
    const char *tag;
    const char *msg;
    int drop;
};

void PrintTo(const verdict_row &r, std::ostream *os)
{
    *os << r.name;
}

class FilterOverRecords : public ::testing::TestWithParam<verdict_row> {};

TEST_P(FilterOverRecords, GetterFeedsTheRules)
{
    const verdict_row &r = GetParam();
    qexpr *set = qexpr_new(nullptr);
    ASSERT_NE(set, nullptr);
    char err[QPARSER_ERR_SIZE] = "";
    if (r.rules[0] != '\0') {
        ASSERT_GE(qexpr_load(set, r.rules, err), 0) << err;
    }
    bsv_value *v = bsv_type_open_value(1);
    ASSERT_NE(v, nullptr);
    const auto rec = log_record(r.level, r.tag, r.msg);
    bsv_filter_ctx ctx{v, rec.data(), static_cast<uint32_t>(rec.size())};
    EXPECT_EQ(qexpr_filter_drop(set, bsv_filter_getter, &ctx), r.drop);
    EXPECT_EQ(bsv_filter_test(v, rec.data(), static_cast<uint32_t>(rec.size()), set), r.drop);
    bsv_value_exit(v);
    qexpr_free(set);
}

const verdict_row k_verdicts[] = {
    {"EmptySetKeeps", "", 7, "main", "x", 0},
    {"OrWarnKeptByFirst", "level <= 4\ntag == net\n", 4, "main", "x", 0},
    {"OrDbgNetKeptBySecond", "level <= 4\ntag == net\n", 7, "net", "x", 0},
    {"OrDbgOtherDroppedByLast", "level <= 4\ntag == net\n", 7, "main", "x", 1},
    {"AndInfoMainKept", "@rule_mode and\n!tag == bsv\nlevel <= 6\n", 6, "main", "x", 0},
    {"AndBsvDroppedAtFirst", "@rule_mode and\n!tag == bsv\nlevel <= 6\n", 6, "bsv", "x", 1},
    {"TagIgnoresCase", "tag == NET\n", 7, "net", "x", 0},
    {"MessageFind", "msg find timeout\n", 3, "main", "read timeout\n", 0},
    {"MessageFindMisses", "msg find timeout\n", 3, "main", "read done\n", 1},
    {"DisabledRuleDecidesNothing", "~level == 3\n", 3, "main", "x", 0},
    {"NumberFieldAsText", "pid == 42\n", 3, "main", "x", 0},
    {"UnknownFieldSkipped", "nosuch == 1\n", 3, "main", "x", 0},
};

INSTANTIATE_TEST_SUITE_P(Bsv, FilterOverRecords, ::testing::ValuesIn(k_verdicts),
                         [](const auto &row) { return std::string(row.param.name); });

}  // namespace
