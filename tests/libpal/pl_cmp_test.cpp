#include "libpal/utils/pl_cmp.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "str_log_capture.h"

namespace {

// An element of odd size, to exercise the byte-wise swaps.
struct rec3 {
    unsigned char b[3];
};

int cmp_rec3(const void *a, const void *b)
{
    return memcmp(a, b, 3);
}

int cmp_int_ctx(const void *a, const void *b, void *ctx)
{
    int sign = *static_cast<int *>(ctx);
    return sign * cmp_pint(a, b);
}

}  // namespace

TEST(Sort, EveryPermutationOfUpToSixElements)
{
    for (int n = 0; n <= 6; n++) {
        std::vector<int> perm(n);
        for (int i = 0; i < n; i++)
            perm[i] = i;
        do {
            std::vector<int> a = perm;
            arr_sort(a.data(), a.size(), sizeof(int), cmp_pint);
            for (int i = 0; i < n; i++)
                ASSERT_EQ(a[i], i) << "n=" << n;
        } while (std::next_permutation(perm.begin(), perm.end()));
    }
}

TEST(Sort, RandomArraysAndManyEqualKeysMatchStdSort)
{
    std::mt19937 rng(7);
    for (size_t n : {7u, 10u, 33u, 100u, 1000u, 5000u}) {
        for (int range : {2, 5, 1000000}) {
            std::vector<int> a(n);
            for (auto &x : a)
                x = static_cast<int>(rng() % range);
            std::vector<int> want = a;
            std::sort(want.begin(), want.end());
            arr_sort(a.data(), a.size(), sizeof(int), cmp_pint);
            ASSERT_EQ(a, want) << "n=" << n << " range=" << range;
        }
    }
    std::vector<int> sorted(300), reversed(300);
    for (int i = 0; i < 300; i++) {
        sorted[i] = i;
        reversed[i] = 299 - i;
    }
    arr_sort(reversed.data(), reversed.size(), sizeof(int), cmp_pint);
    EXPECT_EQ(reversed, sorted);
}

TEST(Sort, OddElementSizeAndContextComparator)
{
    std::vector<rec3> r = {{{3, 0, 1}}, {{1, 9, 9}}, {{3, 0, 0}}, {{0, 0, 0}}, {{2, 2, 2}}, {{1, 9, 8}}};
    arr_sort(r.data(), r.size(), sizeof(rec3), cmp_rec3);
    for (size_t i = 1; i < r.size(); i++)
        EXPECT_LE(memcmp(&r[i - 1], &r[i], 3), 0);

    std::vector<int> a = {4, 9, 1, 7, 3, 8, 2};
    int desc = -1;
    arr_sort_r(a.data(), a.size(), sizeof(int), cmp_int_ctx, &desc);
    EXPECT_EQ(a, (std::vector<int>{9, 8, 7, 4, 3, 2, 1}));

    std::vector<int> b = {5, 1, 4, 2, 3, 3};
    arr_bubble_sort(b.data(), b.size(), sizeof(int), cmp_pint);
    EXPECT_EQ(b, (std::vector<int>{1, 2, 3, 3, 4, 5}));
}

TEST(Sort, NanSortsAfterNumbersAndEqualsNan)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double one = 1.0;
    EXPECT_EQ(cmp_double(&nan, &nan), 0);
    EXPECT_EQ(cmp_double(&nan, &one), 1);
    EXPECT_EQ(cmp_double(&one, &nan), -1);

    std::vector<double> a = {nan, 3.5, -1.0, nan, 0.0, 2.0, nan, -7.25, 1e300, nan, 4.0};
    arr_sort(a.data(), a.size(), sizeof(double), cmp_double);
    std::vector<double> nums = {-7.25, -1.0, 0.0, 2.0, 3.5, 4.0, 1e300};
    for (size_t i = 0; i < nums.size(); i++)
        EXPECT_EQ(a[i], nums[i]);
    for (size_t i = nums.size(); i < a.size(); i++)
        EXPECT_TRUE(std::isnan(a[i]));
    EXPECT_EQ(arr_is_sorted(a.data(), a.size(), sizeof(double), cmp_double), 2);
}

TEST(Sort, InconsistentComparatorStaysInsideTheArray)
{
    // A comparator that is no order at all must not make the scans run past
    // the array's ends; the result is still a permutation of the input.
    // Both read their elements, so a scan past the ends is caught as a bad read.
    static std::mt19937 rng(99);
    auto chaos = [](const void *a, const void *b) {
        return cmp_pint(a, b) * 0 + static_cast<int>(rng() % 3) - 1;
    };
    auto always_less = [](const void *a, const void *b) { return cmp_pint(a, b) * 0 - 1; };
    for (size_t n : {5u, 6u, 50u, 777u}) {
        for (cmp_proc c : {static_cast<cmp_proc>(chaos), static_cast<cmp_proc>(always_less)}) {
            std::vector<int> a(n);
            for (size_t i = 0; i < n; i++)
                a[i] = static_cast<int>(i);
            arr_sort(a.data(), a.size(), sizeof(int), c);
            std::sort(a.begin(), a.end());
            for (size_t i = 0; i < n; i++)
                ASSERT_EQ(a[i], static_cast<int>(i));
        }
    }
}

TEST(Search, BinarySearchFindsEveryElementAndOnlyThose)
{
    std::vector<int> a = {-9, -3, 0, 4, 8, 15, 16, 23, 42};
    for (size_t i = 0; i < a.size(); i++)
        EXPECT_EQ(arr_bsearch(&a[i], a.data(), a.size(), sizeof(int), cmp_pint), static_cast<int64_t>(i));
    for (int missing : {-10, -4, 1, 17, 43}) {
        EXPECT_EQ(arr_bsearch(&missing, a.data(), a.size(), sizeof(int), cmp_pint), -1) << missing;
        EXPECT_EQ(arr_find(&missing, a.data(), a.size(), sizeof(int), cmp_pint), -1) << missing;
    }
    int x = 4;
    EXPECT_EQ(arr_bsearch(&x, a.data(), 0, sizeof(int), cmp_pint), -1);

    std::vector<int> dup = {1, 2, 2, 3, 2};
    int two = 2;
    EXPECT_EQ(arr_find(&two, dup.data(), dup.size(), sizeof(int), cmp_pint), 1);
    EXPECT_EQ(arr_count(&two, dup.data(), dup.size(), sizeof(int), cmp_pint), 3u);
    EXPECT_EQ(arr_find_int(dup.data(), dup.size(), 3), 3);
    EXPECT_EQ(arr_find_int(dup.data(), dup.size(), 9), -1);
}

TEST(Search, FindComparatorsTakeTheValueItself)
{
    const char *names[] = {"alpha", "beta", "gamma"};
    cmp_proc find_str = cmp2_val_get_find_proc(VALUE_TYPE_PSTRING);
    ASSERT_NE(find_str, nullptr);
    EXPECT_EQ(arr_bsearch("beta", names, 3, sizeof(char *), find_str), 1);
    EXPECT_EQ(arr_bsearch("delta", names, 3, sizeof(char *), find_str), -1);

    std::vector<int> ints = {1, 5, 9};
    cmp_proc find_int = cmp2_val_get_find_proc(VALUE_TYPE_PINT);
    EXPECT_EQ(arr_bsearch(reinterpret_cast<const void *>(static_cast<intptr_t>(9)), ints.data(), 3, sizeof(int),
                          find_int),
              2);

    struct named {
        const char *name;
        int id;
    } r1{"x", 1}, r2{"y", 2};
    const named *recs[] = {&r1, &r2};
    EXPECT_EQ(arr_find("y", recs, 2, sizeof(recs[0]), cmp2_ppstr), 1);

    log_capture cap;
    EXPECT_EQ(cmp2_val_get_find_proc(VALUE_TYPE_STRING), nullptr);
    EXPECT_TRUE(cap.has("val_type=28 not support\n"));
}

TEST(Order, IsSortedClassifiesNeighbours)
{
    struct row {
        std::vector<int> a;
        int want;
    } rows[] = {
        {{}, 1}, {{5}, 1}, {{2, 2, 2}, 1}, {{1, 2, 2}, 2}, {{1, 2, 3}, 2},
        {{3, 2, 2}, 3}, {{1, 3, 2}, 0}, {{2, 1, 3}, 0},
    };
    for (const row &r : rows)
        EXPECT_EQ(arr_is_sorted(r.a.data(), r.a.size(), sizeof(int), cmp_pint), r.want);
}

TEST(Order, UniqueKeepsTheFirstOfEachRunInOrder)
{
    struct row {
        std::vector<int> a;
        std::vector<int> front;
    } rows[] = {
        {{}, {}}, {{4}, {4}}, {{1, 1, 2, 3, 3}, {1, 2, 3}}, {{1, 2, 3}, {1, 2, 3}},
        {{7, 7, 7, 7}, {7}}, {{1, 2, 1, 1}, {1, 2, 1}},
    };
    for (row r : rows) {
        size_t n = arr_unique(r.a.data(), r.a.size(), sizeof(int), cmp_pint);
        ASSERT_EQ(n, r.front.size());
        EXPECT_EQ(std::vector<int>(r.a.begin(), r.a.begin() + n), r.front);
    }
    std::vector<int> u = {3, 1, 2}, d = {3, 1, 3};
    EXPECT_TRUE(arr_is_unique(u.data(), u.size(), sizeof(int), cmp_pint));
    EXPECT_FALSE(arr_is_unique(d.data(), d.size(), sizeof(int), cmp_pint));
    EXPECT_TRUE(arr_is_unique(d.data(), 1, sizeof(int), cmp_pint));
    EXPECT_EQ(d, (std::vector<int>{3, 1, 3})) << "checked on a copy";
}

TEST(Comparators, TablesGiveBothOrders)
{
    struct row {
        uint32_t code;
        const void *lo;
        const void *hi;
    };
    static const char *s1 = "abc";
    static const char *s2 = "abd";
    static int8_t c1 = -5, c2 = 3;
    static int i1 = -100, i2 = 100;
    static uint64_t u1 = 1, u2 = UINT64_MAX;
    static uintptr_t p1 = 1, p2 = UINTPTR_MAX;
    const row rows[] = {
        {VALUE_TYPE_STRING, s1, s2},
        {VALUE_TYPE_PSTRING, &s1, &s2},
        {VALUE_TYPE_I8, reinterpret_cast<const void *>(static_cast<intptr_t>(-5)),
         reinterpret_cast<const void *>(static_cast<intptr_t>(3))},
        {VALUE_TYPE_PI8, &c1, &c2},
        {VALUE_TYPE_INT, reinterpret_cast<const void *>(static_cast<intptr_t>(-100)),
         reinterpret_cast<const void *>(static_cast<intptr_t>(100))},
        {VALUE_TYPE_PINT, &i1, &i2},
        {VALUE_TYPE_U64, reinterpret_cast<const void *>(1), reinterpret_cast<const void *>(UINTPTR_MAX)},
        {VALUE_TYPE_PU64, &u1, &u2},
        {VALUE_TYPE_UPTR, reinterpret_cast<const void *>(1), reinterpret_cast<const void *>(UINTPTR_MAX)},
        {VALUE_TYPE_PUPTR, &p1, &p2},
    };
    for (const row &r : rows) {
        cmp_proc asc = cmp_val_get_proc(r.code, false);
        cmp_proc desc = cmp_val_get_proc(r.code, true);
        ASSERT_NE(asc, nullptr) << r.code;
        ASSERT_NE(desc, nullptr) << r.code;
        EXPECT_LT(asc(r.lo, r.hi), 0) << r.code;
        EXPECT_GT(asc(r.hi, r.lo), 0) << r.code;
        EXPECT_EQ(asc(r.lo, r.lo), 0) << r.code;
        EXPECT_EQ(desc(r.lo, r.hi), 1) << r.code;
        EXPECT_EQ(desc(r.hi, r.lo), -1) << r.code;
        EXPECT_EQ(desc(r.hi, r.hi), 0) << r.code;
    }
    // The ascending text comparator orders as strcmp does (only the sign is
    // defined: an optimised strcmp of constants gives -1 where the library gives -2).
    cmp_proc text = cmp_val_get_proc(VALUE_TYPE_STRING, false);
    EXPECT_LT(text("a", "c"), 0);
    EXPECT_GT(text("c", "a"), 0);
    EXPECT_EQ(text("a", "a"), 0);
}

TEST(Comparators, UnknownCodeOrModeIsReported)
{
    for (uint32_t code : {7u, 11u, 0u, 26u}) {
        log_capture cap;
        EXPECT_EQ(cmp_val_get_proc(code, false), nullptr);
        EXPECT_TRUE(cap.has("val_type=" + std::to_string(code) + " not support\n"));
    }
    log_capture cap;
    EXPECT_EQ(cmp_array_get_proc(0x10, nullptr, false), nullptr);
    EXPECT_TRUE(cap.has("mode=0x10 not support\n"));
}

TEST(Comparators, ModeChoosesTheArrayComparator)
{
    struct row {
        uint32_t mode;
        bool desc;
        cmp_proc want;
    } rows[] = {
        {0x1, false, cmp_pstr},   {0x2, false, cmp_pstr},   {0x3, true, cmp_pstr_desc},
        {0x4, false, cmp_puptr},  {0x4, true, cmp_puptr_desc}, {0x8, false, cmp_ppstr},
        {0x8, true, cmp_ppstr_desc}, {0x5, false, cmp_pstr},
    };
    for (const row &r : rows)
        EXPECT_EQ(cmp_array_get_proc(r.mode, nullptr, r.desc), r.want) << r.mode;
    EXPECT_EQ(cmp_array_get_proc(0x1, cmp_pint, false), cmp_pint);

    EXPECT_EQ(cmp_get_proc(0x1, nullptr), cmp_str);
    EXPECT_EQ(cmp_get_proc(0x2, nullptr), cmp_str);
    EXPECT_EQ(cmp_get_proc(0x0, nullptr), cmp_u64);
    EXPECT_EQ(cmp_get_proc(0x1, cmp_pint), cmp_pint);
}

TEST(Comparators, RecordsSortByTheirLeadingText)
{
    struct named {
        const char *name;
        int id;
    } a{"pear", 1}, b{"apple", 2}, c{"fig", 3};
    named *recs[] = {&a, &b, &c};
    arr_sort(recs, 3, sizeof(recs[0]), cmp_array_get_proc(0x8, nullptr, false));
    EXPECT_STREQ(recs[0]->name, "apple");
    EXPECT_STREQ(recs[1]->name, "fig");
    EXPECT_STREQ(recs[2]->name, "pear");
    arr_sort(recs, 3, sizeof(recs[0]), cmp_array_get_proc(0x8, nullptr, true));
    EXPECT_STREQ(recs[0]->name, "pear");

    const char *texts[] = {"b", nullptr, "a"};
    arr_sort(texts, 3, sizeof(texts[0]), cmp_pstr);
    EXPECT_EQ(texts[0], nullptr) << "a missing text sorts first";
    EXPECT_STREQ(texts[1], "a");
}

TEST(Comparators, SignAndWideIntegers)
{
    EXPECT_EQ(cmp_sign(-7), -1);
    EXPECT_EQ(cmp_sign(0), 0);
    EXPECT_EQ(cmp_sign(INT64_MAX), 1);
    int64_t lo = INT64_MIN, hi = INT64_MAX;
    EXPECT_EQ(cmp_pi64(&lo, &hi), -1);
    EXPECT_EQ(cmp_pi64_desc(&lo, &hi), 1);
    EXPECT_EQ(cmp_i64(reinterpret_cast<const void *>(static_cast<intptr_t>(-1)), reinterpret_cast<const void *>(1)),
              -1);
}
