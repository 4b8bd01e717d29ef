#include "libpal/utils/vec.h"

#include <array>
#include <climits>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/os_malloc.h"

namespace {

int g_cells[8];

// Each family's operations under common names, with five values in
// ascending order (as the family's comparator orders them) and one value
// that is not among them.
template <typename V>
struct fam;

#define VEC_FAMILY(name, T, absent_value, ...)                                                   \
    template <>                                                                                  \
    struct fam<name> {                                                                           \
        using elem = T;                                                                          \
        static std::array<T, 5> vals() { return {__VA_ARGS__}; }                                 \
        static T absent() { return absent_value; }                                               \
        static name *make(uint64_t c) { return name##_new(c); }                                  \
        static int push(name *v, T x) { return name##_push(v, x); }                              \
        static int insert(name *v, uint64_t i, T x) { return name##_insert(v, i, x); }           \
        static int erase(name *v, uint64_t i) { return name##_erase(v, i); }                     \
        static int erase_range(name *v, uint64_t s, uint64_t n) { return name##_erase_range(v, s, n); } \
        static int64_t remove(name *v, T x) { return name##_remove(v, x); }                      \
        static int64_t find(name *v, T x) { return name##_find(v, x); }                          \
        static uint64_t count(name *v, T x) { return name##_count(v, x); }                       \
        static void free(name *v) { name##_free(v); }                                            \
        static void clear(name *v) { name##_clear(v); }                                          \
        static void sort(name *v, bool d) { name##_sort(v, d); }                                 \
        static int is_sorted(name *v) { return name##_is_sorted(v); }                            \
        static void reverse(name *v) { name##_reverse(v); }                                      \
        static void unique(name *v) { name##_unique(v); }                                        \
        static int64_t bsearch(name *v, T x) { return name##_bsearch(v, x); }                    \
        static int get(name *v, uint64_t i, T *out) { return name##_get(v, i, out); }            \
    };

// Signed families start below zero; unsigned ones reach past the signed range.
VEC_FAMILY(vec_char, char, 7, -100, -3, 0, 'a', 127)
VEC_FAMILY(vec_int, int, 7, INT_MIN, -5, 0, 1000, INT_MAX)
VEC_FAMILY(vec_u16, uint16_t, 7, 0, 1, 300, 40000, 65535)
VEC_FAMILY(vec_u32, uint32_t, 7, 0, 1, 70000, 3000000000u, UINT32_MAX)
VEC_FAMILY(vec_u64, uint64_t, 7, 0, 1, uint64_t{1} << 40, uint64_t{1} << 63, UINT64_MAX)
VEC_FAMILY(vec_ptr, void *, &g_cells[7], nullptr, &g_cells[0], &g_cells[1], &g_cells[2], &g_cells[3])

#undef VEC_FAMILY

template <typename V>
class Vec : public ::testing::Test {
protected:
    using Fam = fam<V>;
    using Elem = typename Fam::elem;

    void TearDown() override { Fam::free(v_); }

    // A new array holding the values at the given positions of vals().
    V *with(std::initializer_list<int> picks)
    {
        Fam::free(v_);
        v_ = Fam::make(0);
        for (int i : picks)
            EXPECT_EQ(Fam::push(v_, Fam::vals()[i]), 0);
        return v_;
    }

    std::vector<Elem> of(std::initializer_list<int> picks)
    {
        std::vector<Elem> out;
        for (int i : picks)
            out.push_back(Fam::vals()[i]);
        return out;
    }

    // The elements, after checking that every slot from count to capacity is zero.
    std::vector<Elem> elems()
    {
        for (uint64_t i = v_->count; i <= v_->capacity; i++)
            EXPECT_EQ(v_->data[i], Elem{}) << "slot " << i;
        return std::vector<Elem>(v_->data, v_->data + v_->count);
    }

    V *v_ = nullptr;
};

using families = ::testing::Types<vec_char, vec_int, vec_u16, vec_u32, vec_u64, vec_ptr>;
TYPED_TEST_SUITE(Vec, families);

}  // namespace

TYPED_TEST(Vec, PushDoublesCapacityAndKeepsTheBlockZeroed)
{
    using F = typename TestFixture::Fam;
    TypeParam *v = this->with({});
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->capacity, 8u);
    for (int i = 0; i < 9; i++)
        ASSERT_EQ(F::push(v, F::vals()[1 + i % 4]), 0);
    EXPECT_EQ(v->count, 9u);
    EXPECT_EQ(v->capacity, 16u);
    this->elems();
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(v->data[i], F::vals()[1 + i % 4]) << i;

    TypeParam *small = F::make(3);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(small->capacity, 3u);
    F::free(small);
}

TYPED_TEST(Vec, InsertMovesTheTailUp)
{
    using F = typename TestFixture::Fam;
    TypeParam *v = this->with({1, 3});
    EXPECT_EQ(F::insert(v, 0, F::vals()[0]), 0);
    EXPECT_EQ(F::insert(v, 2, F::vals()[2]), 0);
    EXPECT_EQ(F::insert(v, 4, F::vals()[4]), 0);
    EXPECT_EQ(F::insert(v, 6, F::vals()[4]), -1);
    EXPECT_EQ(this->elems(), this->of({0, 1, 2, 3, 4}));
    // Inserting into a full array grows it.
    TypeParam *full = this->with({0, 1, 2, 3, 4, 0, 1, 2});
    EXPECT_EQ(F::insert(full, 1, F::vals()[4]), 0);
    EXPECT_EQ(this->elems(), this->of({0, 4, 1, 2, 3, 4, 0, 1, 2}));
}

TYPED_TEST(Vec, EraseOneOrARange)
{
    using F = typename TestFixture::Fam;
    struct row {
        uint64_t start;
        uint64_t n;  // 0: erase one element at start
        int rc;
        std::initializer_list<int> left;
    };
    const row rows[] = {
        {2, 0, 0, {0, 1, 3, 4}},
        {VEC_ALL, 0, 0, {0, 1, 2, 3}},
        {5, 0, -1, {0, 1, 2, 3, 4}},
        {1, VEC_ALL, 0, {0}},
        {1, 2, 0, {0, 3, 4}},
        {3, 10, 0, {0, 1, 2}},
        {0, 5, 0, {}},
        {5, 1, -1, {0, 1, 2, 3, 4}},
    };
    for (const auto &r : rows) {
        TypeParam *v = this->with({0, 1, 2, 3, 4});
        const int rc = r.n == 0 ? F::erase(v, r.start) : F::erase_range(v, r.start, r.n);
        EXPECT_EQ(rc, r.rc) << r.start << "+" << r.n;
        EXPECT_EQ(this->elems(), this->of(r.left)) << r.start << "+" << r.n;
    }
    TypeParam *empty = this->with({});
    EXPECT_EQ(F::erase(empty, VEC_ALL), 0);
    EXPECT_EQ(F::erase(empty, 3), 0);
    EXPECT_EQ(F::erase_range(empty, 3, 1), 0);
}

TYPED_TEST(Vec, FindCountRemoveAndGet)
{
    using F = typename TestFixture::Fam;
    using T = typename TestFixture::Elem;
    TypeParam *v = this->with({2, 0, 2, 4, 2});
    EXPECT_EQ(F::find(v, F::vals()[2]), 0);
    EXPECT_EQ(F::find(v, F::vals()[4]), 3);
    EXPECT_EQ(F::find(v, F::absent()), -1);
    EXPECT_EQ(F::count(v, F::vals()[2]), 3u);
    EXPECT_EQ(F::count(v, F::absent()), 0u);

    EXPECT_EQ(F::remove(v, F::vals()[4]), 3);
    EXPECT_EQ(F::remove(v, F::vals()[2]), 0);
    EXPECT_EQ(F::remove(v, F::absent()), -1);
    EXPECT_EQ(this->elems(), this->of({0, 2, 2}));

    T out = F::vals()[4];
    EXPECT_EQ(F::get(v, 1, &out), 0);
    EXPECT_EQ(out, F::vals()[2]);
    EXPECT_EQ(F::get(v, 3, &out), -1);
    EXPECT_EQ(out, F::vals()[2]);

    F::clear(v);
    EXPECT_EQ(v->count, 0u);
    EXPECT_TRUE(this->elems().empty());
}

TYPED_TEST(Vec, SortBothWaysAndBinarySearch)
{
    using F = typename TestFixture::Fam;
    TypeParam *v = this->with({3, 0, 4, 1, 2});
    EXPECT_EQ(F::is_sorted(v), 0);
    F::sort(v, true);
    EXPECT_EQ(this->elems(), this->of({4, 3, 2, 1, 0}));
    EXPECT_EQ(F::is_sorted(v), 3);
    F::sort(v, false);
    EXPECT_EQ(this->elems(), this->of({0, 1, 2, 3, 4}));
    EXPECT_EQ(F::is_sorted(v), 2);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(F::bsearch(v, F::vals()[i]), i);
    EXPECT_EQ(F::bsearch(v, F::absent()), -1);

    F::reverse(v);
    EXPECT_EQ(this->elems(), this->of({4, 3, 2, 1, 0}));
    EXPECT_EQ(F::is_sorted(this->with({1, 1, 1})), 1);
}

TYPED_TEST(Vec, UniqueDropsRepeatsOfThePredecessor)
{
    using F = typename TestFixture::Fam;
    struct row {
        std::initializer_list<int> in;
        std::initializer_list<int> out;
    };
    const row rows[] = {
        {{1, 1, 2, 3, 3}, {1, 2, 3}},
        {{1, 2, 3}, {1, 2, 3}},
        {{4, 4, 4, 4}, {4}},
        {{2, 1, 2, 2, 1}, {2, 1, 2, 1}},
        {{}, {}},
    };
    for (const auto &r : rows) {
        TypeParam *v = this->with(r.in);
        F::unique(v);
        EXPECT_EQ(this->elems(), this->of(r.out));
    }
}

TEST(VecU64, FailedGrowthLeavesTheArrayAsItWas)
{
    vec_u64 *v = vec_u64_new(2);
    ASSERT_EQ(vec_u64_push(v, 10), 0);
    ASSERT_EQ(vec_u64_push(v, 20), 0);
    const pl_realloc_proc saved = g_realloc_proc;
    pl_malloc_init(g_malloc_proc, [](void *, size_t) -> void * { return nullptr; }, g_free_proc);
    EXPECT_EQ(vec_u64_push(v, 30), -1);
    EXPECT_EQ(vec_u64_insert(v, 0, 30), -1);
    pl_malloc_init(g_malloc_proc, saved, g_free_proc);
    EXPECT_EQ(v->count, 2u);
    EXPECT_EQ(v->capacity, 2u);
    EXPECT_EQ(v->data[0], 10u);
    EXPECT_EQ(v->data[1], 20u);
    EXPECT_EQ(v->data[2], 0u);
    vec_u64_free(v);
}

TEST(VecPtr, SortWithCallersComparator)
{
    int nums[] = {5, 1, 3};
    vec_ptr *v = vec_ptr_new(0);
    for (int &n : nums)
        ASSERT_EQ(vec_ptr_push(v, &n), 0);
    vec_ptr_sort2(v, [](const void *a, const void *b) {
        const int x = **static_cast<int *const *>(a);
        const int y = **static_cast<int *const *>(b);
        return (x > y) - (x < y);
    });
    EXPECT_EQ(v->data[0], &nums[1]);
    EXPECT_EQ(v->data[1], &nums[2]);
    EXPECT_EQ(v->data[2], &nums[0]);
    EXPECT_EQ(v->data[3], nullptr);
    vec_ptr_free(v);
}

TEST(VecU64, MissingArrayIsRefused)
{
    uint64_t out = 0;
    EXPECT_EQ(vec_u64_push(nullptr, 1), -1);
    EXPECT_EQ(vec_u64_insert(nullptr, 0, 1), -1);
    EXPECT_EQ(vec_u64_erase(nullptr, 0), -1);
    EXPECT_EQ(vec_u64_erase_range(nullptr, 0, 1), -1);
    EXPECT_EQ(vec_u64_remove(nullptr, 1), -1);
    EXPECT_EQ(vec_u64_find(nullptr, 1), -1);
    EXPECT_EQ(vec_u64_count(nullptr, 1), 0u);
    EXPECT_EQ(vec_u64_bsearch(nullptr, 1), -1);
    EXPECT_EQ(vec_u64_get(nullptr, 0, &out), -1);
    vec_u64_sort(nullptr, false);
    vec_u64_unique(nullptr);
    vec_u64_reverse(nullptr);
    vec_u64_clear(nullptr);
    vec_u64_free(nullptr);
}
