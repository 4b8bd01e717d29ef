#include "libpal/comm/dict.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "str_log_capture.h"

namespace {

using dict_ptr = pl_owned<dict, dict_exit>;

// Every live entry by a walk over the ranks.
std::map<std::string, std::string> walk(dict *d)
{
    std::map<std::string, std::string> out;
    const char *k = nullptr;
    void *v = nullptr;
    for (int rank = dict_next(d, 0, &k, &v); rank > 0; rank = dict_next(d, rank, &k, &v)) {
        EXPECT_TRUE(out.emplace(k, v != nullptr ? static_cast<const char *>(v) : "(none)").second) << k;
    }
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(v, nullptr);
    return out;
}

// The slot index of a key, found by a walk.
int slot_of(dict *d, const char *key)
{
    const char *k = nullptr;
    void *v = nullptr;
    for (int rank = dict_next(d, 0, &k, &v); rank > 0; rank = dict_next(d, rank, &k, &v)) {
        if (strcmp(k, key) == 0)
            return rank - 1;
    }
    return -1;
}

void *text(const char *s)
{
    return const_cast<char *>(s);
}

// Makes the allocation hooks refuse while armed.
class alloc_failure {
public:
    alloc_failure() : m_(g_malloc_proc), r_(g_realloc_proc), f_(g_free_proc)
    {
        pl_malloc_init(refusing, g_realloc_proc, g_free_proc);
    }
    ~alloc_failure() { pl_malloc_init(m_, r_, f_); }
    alloc_failure(const alloc_failure &) = delete;
    alloc_failure &operator=(const alloc_failure &) = delete;

private:
    static void *refusing(size_t) { return nullptr; }
    pl_malloc_proc m_;
    pl_realloc_proc r_;
    pl_free_proc f_;
};

}  // namespace

TEST(DictHash, MurmurOverTheKeyBytes)
{
    struct row {
        const char *key;
        uint32_t hash;
    };
    // The one- to three-byte tails, a whole block, a block with a tail, and
    // bytes above 0x7f.
    const row rows[] = {
        {"", 0},
        {"a", 0xd1d61d09},
        {"ab", 0x9bf077c3},
        {"abc", 0x81e84d4b},
        {"abcd", 0xea015117},
        {"hello", 0x6d046d40},
        {"nbd_server_port", 0xb7ba561e},
        {"\xc3\xbf", 0xf74daf9b},
    };
    for (const auto &r : rows)
        EXPECT_EQ(dict_hash(r.key), r.hash) << r.key;
}

TEST(Dict, SetGetReplaceDelete)
{
    dict_ptr d(dict_new(DICT_KEY_COPY | DICT_VAL_COPY));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->size, 8u);
    char key[16] = "alpha";
    ASSERT_EQ(dict_set(d.get(), key, text("1")), 0);
    strcpy(key, "beta");  // the stored key is a copy
    ASSERT_EQ(dict_set(d.get(), key, text("2")), 0);
    ASSERT_EQ(dict_set(d.get(), "gamma", nullptr), 0);
    EXPECT_EQ(dict_count(d.get()), 3u);
    EXPECT_STREQ(static_cast<char *>(dict_get(d.get(), "alpha", nullptr)), "1");
    EXPECT_STREQ(static_cast<char *>(dict_get(d.get(), "beta", nullptr)), "2");
    EXPECT_EQ(dict_get(d.get(), "gamma", text("def")), nullptr);
    EXPECT_STREQ(static_cast<char *>(dict_get(d.get(), "delta", text("def"))), "def");

    // Replacing keeps the count and the key.
    ASSERT_EQ(dict_set(d.get(), "alpha", text("one")), 0);
    EXPECT_EQ(dict_count(d.get()), 3u);
    EXPECT_STREQ(static_cast<char *>(dict_get(d.get(), "alpha", nullptr)), "one");

    EXPECT_EQ(dict_del(d.get(), "alpha"), 0);
    EXPECT_EQ(dict_del(d.get(), "alpha"), -1);
    EXPECT_EQ(dict_del(d.get(), "nothing"), -1);
    EXPECT_STREQ(static_cast<char *>(dict_get(d.get(), "alpha", text("def"))), "def");
    EXPECT_EQ(dict_count(d.get()), 2u);
    EXPECT_EQ(walk(d.get()), (std::map<std::string, std::string>{{"beta", "2"}, {"gamma", "(none)"}}));
}

TEST(Dict, OwnedValuesAreFreedAndBorrowedOnesKept)
{
    // Owned values are released on replace, delete and exit (the leak checker
    // sees any that are not); borrowed keys and values stay the caller's.
    dict_ptr owned(dict_new(DICT_VAL_OWNED));
    ASSERT_EQ(dict_set(owned.get(), "k", os_strdup("a")), 0);
    ASSERT_EQ(dict_set(owned.get(), "k", os_strdup("b")), 0);
    ASSERT_EQ(dict_set(owned.get(), "j", os_strdup("c")), 0);
    EXPECT_EQ(dict_del(owned.get(), "j"), 0);
    EXPECT_STREQ(static_cast<char *>(dict_get(owned.get(), "k", nullptr)), "b");

    const char *key = "borrowed";
    char value[] = "v";
    dict_ptr plain(dict_new(0));
    ASSERT_EQ(dict_set(plain.get(), key, value), 0);
    const char *k = nullptr;
    void *v = nullptr;
    ASSERT_GT(dict_next(plain.get(), 0, &k, &v), 0);
    EXPECT_EQ(k, key);
    EXPECT_EQ(v, value);
}

TEST(Dict, SixthKeyGrowsTableTo32)
{
    dict_ptr d(dict_new(DICT_KEY_COPY));
    const char *keys[] = {"k1", "k2", "k3", "k4", "k5", "k6"};
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(dict_set(d.get(), keys[i], nullptr), 0);
    EXPECT_EQ(d->size, 8u);
    ASSERT_EQ(dict_set(d.get(), keys[5], nullptr), 0);
    EXPECT_EQ(d->size, 32u);
    EXPECT_EQ(d->fill, 6u);
    EXPECT_EQ(d->used, 6u);
    for (const char *k : keys)
        EXPECT_EQ(dict_get(d.get(), k, text("absent")), nullptr) << k;
}

TEST(Dict, DeleteThenSetReusesTheSlot)
{
    dict_ptr d(dict_new(DICT_KEY_COPY));
    ASSERT_EQ(dict_set(d.get(), "x", text("1")), 0);
    ASSERT_EQ(dict_set(d.get(), "y", text("2")), 0);
    const int slot = slot_of(d.get(), "x");
    const uint32_t fill = d->fill;
    ASSERT_EQ(dict_del(d.get(), "x"), 0);
    EXPECT_EQ(dict_get(d.get(), "x", text("def")), text("def"));
    EXPECT_EQ(d->fill, fill);
    ASSERT_EQ(dict_set(d.get(), "x", text("3")), 0);
    EXPECT_EQ(slot_of(d.get(), "x"), slot);
    EXPECT_EQ(d->fill, fill);
    EXPECT_EQ(dict_get(d.get(), "x", nullptr), text("3"));
}

TEST(Dict, TombstonesAreRebuiltAwayNotAccumulated)
{
    // One live key at a time through many distinct keys: every delete leaves
    // a tombstone, and a table of 8 slots would fill with them.
    dict_ptr d(dict_new(DICT_KEY_COPY));
    for (int i = 0; i < 2000; i++) {
        const std::string key = "key" + std::to_string(i);
        ASSERT_EQ(dict_set(d.get(), key.c_str(), nullptr), 0) << i;
        ASSERT_EQ(dict_del(d.get(), key.c_str()), 0) << i;
        ASSERT_LT(d->fill, d->size) << i;
    }
    EXPECT_EQ(d->size, 8u);
    EXPECT_EQ(dict_count(d.get()), 0u);
    EXPECT_TRUE(walk(d.get()).empty());
}

TEST(Dict, RandomOperationsMatchUnorderedMap)
{
    std::mt19937 rng(12345);
    dict_ptr d(dict_new(DICT_KEY_COPY | DICT_VAL_COPY));
    std::unordered_map<std::string, std::string> ref;
    uint32_t peak = 0;
    for (int step = 0; step < 40000; step++) {
        // Keys from a space of 600 with deletes as frequent as sets.
        const std::string key = "k" + std::to_string(rng() % 600);
        const uint32_t op = rng() % 3;
        if (op == 0) {
            const std::string val = std::to_string(step);
            ASSERT_EQ(dict_set(d.get(), key.c_str(), text(val.c_str())), 0);
            ref[key] = val;
        } else if (op == 1) {
            ASSERT_EQ(dict_del(d.get(), key.c_str()), ref.erase(key) == 1 ? 0 : -1) << key;
        } else {
            auto it = ref.find(key);
            const char *got = static_cast<const char *>(dict_get(d.get(), key.c_str(), nullptr));
            if (it == ref.end())
                ASSERT_EQ(got, nullptr) << key;
            else
                ASSERT_STREQ(got, it->second.c_str()) << key;
        }
        ASSERT_EQ(dict_count(d.get()), ref.size());
        ASSERT_LT(d->fill, d->size);
        peak = std::max<uint32_t>(peak, d->used);
    }
    // Never more than the growth rule needs for the most entries ever live.
    EXPECT_LE(d->size, 8 * peak);
    std::map<std::string, std::string> want(ref.begin(), ref.end());
    EXPECT_EQ(walk(d.get()), want);
}

TEST(Dict, FailedValueCopyChangesNothing)
{
    dict_ptr d(dict_new(DICT_KEY_COPY | DICT_VAL_COPY));
    ASSERT_EQ(dict_set(d.get(), "kept", text("old")), 0);
    {
        alloc_failure fail;
        EXPECT_EQ(dict_set(d.get(), "kept", text("new")), -1);
        EXPECT_EQ(dict_set(d.get(), "added", text("v")), -1);
    }
    EXPECT_STREQ(static_cast<char *>(dict_get(d.get(), "kept", nullptr)), "old");
    EXPECT_EQ(dict_get(d.get(), "added", text("def")), text("def"));
    EXPECT_EQ(dict_count(d.get()), 1u);
}

TEST(Dict, WalkEdgesAndRefusedArguments)
{
    dict_ptr d(dict_new(0));
    const char *k = "stale";
    void *v = text("stale");
    EXPECT_EQ(dict_next(d.get(), 0, &k, &v), -1);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(v, nullptr);
    ASSERT_EQ(dict_set(d.get(), "a", text("1")), 0);
    EXPECT_EQ(dict_next(d.get(), -1, &k, &v), -1);
    EXPECT_EQ(dict_next(nullptr, 0, &k, &v), -1);
    EXPECT_EQ(dict_next(d.get(), 0, nullptr, &v), -1);

    log_capture log;
    EXPECT_EQ(dict_set(nullptr, "a", nullptr), -1);
    EXPECT_TRUE(log.has("expr[d!=NULL]: assert failed\n"));
    log.clear();
    EXPECT_EQ(dict_set(d.get(), nullptr, nullptr), -1);
    EXPECT_TRUE(log.has("expr[key!=NULL]: assert failed\n"));
    log.clear();
    EXPECT_EQ(dict_del(d.get(), nullptr), -1);
    EXPECT_TRUE(log.has("expr[key!=NULL]: assert failed\n"));
    log.clear();
    EXPECT_EQ(dict_del(nullptr, "a"), -1);
    EXPECT_TRUE(log.has("expr[d!=NULL]: assert failed\n"));
    log.clear();
    dict_exit(nullptr);
    EXPECT_TRUE(log.has("expr[d!=NULL]: assert failed\n"));
    EXPECT_EQ(dict_get(nullptr, "a", text("def")), text("def"));
    EXPECT_EQ(dict_get(d.get(), nullptr, text("def")), text("def"));
}

TEST(Dict, KeyListAndDumpFollowSlotOrder)
{
    dict_ptr d(dict_new(DICT_KEY_COPY | DICT_VAL_COPY));
    for (const char *key : {"one", "two", "three", "four"})
        ASSERT_EQ(dict_set(d.get(), key, strcmp(key, "two") == 0 ? nullptr : text(key)), 0);
    ASSERT_EQ(dict_del(d.get(), "four"), 0);

    std::string want_dump;
    std::vector<std::string> want_keys;
    const char *k = nullptr;
    void *v = nullptr;
    for (int rank = dict_next(d.get(), 0, &k, &v); rank > 0; rank = dict_next(d.get(), rank, &k, &v)) {
        want_keys.push_back(k);
        want_dump += "[rank=" + std::to_string(rank) + "] " + k + ": " +
                     (v != nullptr ? static_cast<const char *>(v) : "UNDEF") + "\n";
    }
    ASSERT_EQ(want_keys.size(), 3u);

    dict_key_node *list = nullptr;
    ASSERT_EQ(dict_get_key_list(d.get(), &list), 0);
    std::vector<std::string> keys;
    while (list != nullptr) {
        dict_key_node *next = list->next;
        keys.push_back(list->key);
        os_free(list->key);
        os_free(list);
        list = next;
    }
    EXPECT_EQ(keys, want_keys);

    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    ASSERT_NE(out, nullptr);
    dict_dump(d.get(), out);
    fclose(out);
    EXPECT_EQ(std::string(buf, len), want_dump);
    EXPECT_NE(want_dump.find(": UNDEF\n"), std::string::npos);
    free(buf);
}

TEST(IntegerLog, HalvingsDownToOne)
{
    struct row {
        uint64_t x;
        int want;
    };
    const row rows[] = {
        {0, 0}, {1, 0}, {2, 1}, {8, 3}, {15, 3}, {1024, 10}, {0xffffffffu, 31},
    };
    for (const auto &r : rows)
        EXPECT_EQ(bits_ilog2(static_cast<uint32_t>(r.x)), r.want) << r.x;
    EXPECT_EQ(bits_ilog2_64(uint64_t{1} << 40), 40);
    EXPECT_EQ(bits_ilog2_64(~uint64_t{0}), 63);
    EXPECT_EQ(bits_ilog2_64(1), 0);
}
