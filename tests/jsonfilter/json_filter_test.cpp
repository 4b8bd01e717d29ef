#include "jsonfilter/json_filter.h"

#include <json.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_array.h"

namespace {

constexpr const char *kDoc = R"({"dev": [{"name": "z0", "size": "1G"}, {"name": "z1", "opts": {"a": 1, "b": "x"}}]})";

TEST(JsonFilter, QueriesKeepTheirTextUntilTheNext)
{
    json_filter *h = json_filter_open_string(kDoc);
    ASSERT_NE(h, nullptr);
    const char *first = json_filter_get(h, "$.dev[0].name");
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "z0");
    EXPECT_STREQ(json_filter_get(h, "$.dev[0].size"), "1G");
    EXPECT_EQ(json_filter_get(h, "$.dev[2].name"), nullptr);
    EXPECT_EQ(json_filter_get(h, "$..name"), nullptr);  // does not parse
    EXPECT_EQ(json_filter_get(nullptr, "$"), nullptr);
    json_filter_close(h);
    json_filter_close(nullptr);
}

TEST(JsonFilter, GetMapGivesTheMembersOfAnObject)
{
    json_filter *h = json_filter_open_string(kDoc);
    ASSERT_NE(h, nullptr);
    str_map *m = json_filter_get_map(h, "$.dev[1].opts");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(str_map_get(m, "a"), "1");
    EXPECT_STREQ(str_map_get(m, "b"), "\"x\"");
    str_map_free(m);
    EXPECT_EQ(json_filter_get_map(h, "$.dev"), nullptr);        // an array
    EXPECT_EQ(json_filter_get_map(h, "$.dev[0].name"), nullptr);  // a string
    EXPECT_EQ(json_filter_get_map(h, "$.none"), nullptr);
    json_filter_close(h);
}

// Texts that are no single JSON document: each is refused with json-c's
// description of what is wrong, or ours for what json-c would accept.
TEST(JsonFilter, BadTextsAreRefusedWithAReason)
{
    const std::string deep = std::string(40, '[') + std::string(40, ']');
    const std::string huge = "\"" + std::string(JSON_FILTER_MAX_TEXT, 'a') + "\"";
    struct row {
        std::string text;
        std::string reason;
    } rows[] = {
        {"", json_tokener_error_desc(json_tokener_error_parse_eof)},
        {"{\"a\": 1", json_tokener_error_desc(json_tokener_error_parse_eof)},
        {"{\"a\": }", json_tokener_error_desc(json_tokener_error_parse_unexpected)},
        {"not json", ""},
        {"{} {}", json_tokener_error_desc(json_tokener_error_parse_unexpected)},
        {deep, json_tokener_error_desc(json_tokener_error_depth)},
        {huge, "text too long"},
    };
    for (const row &r : rows) {
        const char *error = nullptr;
        EXPECT_EQ(parse_json(r.text.c_str(), &error), nullptr) << r.text.substr(0, 40);
        ASSERT_NE(error, nullptr);
        if (!r.reason.empty()) {
            EXPECT_EQ(std::string(error), r.reason) << r.text.substr(0, 40);
        }
        EXPECT_EQ(json_filter_open_string(r.text.c_str()), nullptr);
    }
    EXPECT_EQ(parse_json(nullptr, nullptr), nullptr);
    json_object *ok = parse_json(" {\"a\": [1]} \n", nullptr);
    EXPECT_NE(ok, nullptr);
    json_object_put(ok);
}

TEST(JsonFilter, GetValParsesEachTime)
{
    char *v = json_get_val(kDoc, "$.dev[-1].opts.b");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "x");
    os_free(v);
    EXPECT_EQ(json_get_val("[1,", "$[0]"), nullptr);
}

class JsonFilterFile : public temp_dir_test {};

TEST_F(JsonFilterFile, OpensAFileAndRefusesOnesTooLarge)
{
    json_filter *h = json_filter_open_file(make_file("d.json", kDoc).c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(json_filter_get(h, "$.dev[1].name"), "z1");
    json_filter_close(h);

    EXPECT_EQ(json_filter_open_file(path("missing.json").c_str()), nullptr);
    std::string big = make_file("big.json", "");
    ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(JSON_FILTER_MAX_TEXT) + 1), 0);
    errno = 0;
    EXPECT_EQ(json_filter_load_text(big.c_str()), nullptr);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(json_filter_open_file(big.c_str()), nullptr);
}

}  // namespace
