#include "libpal/basic/os_malloc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "str_log_capture.h"

namespace {

// Counting hooks over the system allocator; the fixture restores the
// defaults, which use the same allocator, so blocks may cross over.
std::vector<size_t> g_sizes;
void               *g_last_block;
bool                g_fail_realloc;

void *counting_malloc(size_t size)
{
    g_sizes.push_back(size);
    g_last_block = malloc(size);
    return g_last_block;
}
void *counting_realloc(void *p, size_t size)
{
    if (g_fail_realloc) {
        return nullptr;
    }
    return realloc(p, size);
}

class AllocHooks : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_m_ = g_malloc_proc;
        saved_r_ = g_realloc_proc;
        saved_f_ = g_free_proc;
        g_sizes.clear();
        g_fail_realloc = false;
        pl_malloc_init(counting_malloc, counting_realloc, free);
    }
    void TearDown() override { pl_malloc_init(saved_m_, saved_r_, saved_f_); }

private:
    pl_malloc_proc  saved_m_;
    pl_realloc_proc saved_r_;
    pl_free_proc    saved_f_;
};

[[gnu::format(printf, 4, 5)]] int vasprintf_with(char **out, pl_malloc_ctx_proc alloc, void *ctx, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = os_vasprintf_imp(out, fmt, ap, alloc, ctx);
    va_end(ap);
    return n;
}

int g_ctx_calls;
void *ctx_malloc(void *ctx, size_t size)
{
    g_ctx_calls += ctx != nullptr ? *static_cast<int *>(ctx) : 100;
    return malloc(size);
}

}  // namespace

TEST_F(AllocHooks, StrdupAllocatesOnlyForAText)
{
    EXPECT_EQ(os_strdup(nullptr), nullptr);
    EXPECT_TRUE(g_sizes.empty());
    char *e = os_strdup("");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, "");
    ASSERT_EQ(g_sizes.size(), 1u);
    EXPECT_EQ(g_sizes[0], 1u);
    os_free(e);
    char *n = os_strdup_empty();
    EXPECT_STREQ(n, "");
    os_free(n);
}

TEST(Alloc, StrndupAndStrnlen)
{
    struct {
        const char *text;
        size_t      n;
        const char *expected;
    } const cases[] = {
        {"abcdef", 3, "abc"},
        {"abcdef", 10, "abcdef"},
        {"abcdef", 6, "abcdef"},
        {"abcdef", 0, ""},
        {"", 4, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.n);
        char *p = os_strndup(c.text, c.n);
        EXPECT_STREQ(p, c.expected);
        EXPECT_EQ(os_strnlen(c.text, c.n), strlen(c.expected));
        os_free(p);
    }
    EXPECT_EQ(os_strndup(nullptr, 3), nullptr);
    // Never reads past the maximum: the bytes need no NUL.
    const char raw[3] = {'x', 'y', 'z'};
    EXPECT_EQ(os_strnlen(raw, 3), 3u);
    char *p = os_strndup(raw, 3);
    EXPECT_STREQ(p, "xyz");
    os_free(p);
}

TEST_F(AllocHooks, VasprintfAllocatesExactly)
{
    char *out = nullptr;
    EXPECT_EQ(os_asprintf(&out, "%s%d", "ab", 7), 3);
    EXPECT_STREQ(out, "ab7");
    ASSERT_EQ(g_sizes.size(), 1u);
    EXPECT_EQ(g_sizes[0], 4u);
    os_free(out);
}

TEST(Alloc, VasprintfThroughCallersAllocator)
{
    char *out   = nullptr;
    int   one   = 1;
    g_ctx_calls = 0;
    EXPECT_EQ(vasprintf_with(&out, ctx_malloc, &one, "%d", 42), 2);
    EXPECT_STREQ(out, "42");
    EXPECT_EQ(g_ctx_calls, 1);
    free(out);
    // Without a context the allocator is still called as what it is, with
    // nullptr first and the size second.
    EXPECT_EQ(vasprintf_with(&out, ctx_malloc, nullptr, "x"), 1);
    EXPECT_STREQ(out, "x");
    EXPECT_EQ(g_ctx_calls, 101);
    free(out);
    EXPECT_EQ(vasprintf_with(&out, nullptr, nullptr, "%s", "own"), 3);
    EXPECT_STREQ(out, "own");
    os_free(out);
}

TEST(Alloc, FailedFormatGivesNoText)
{
    log_capture   log;
    char         *out   = reinterpret_cast<char *>(1);
    const wchar_t bad[] = {static_cast<wchar_t>(0x20ac), 0};
    char          probe[8];
    if (snprintf(probe, sizeof(probe), "%ls", bad) >= 0) {
        GTEST_SKIP() << "this C library converts the character";
    }
    EXPECT_EQ(os_asprintf(&out, "%ls", bad), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(log.has("fmt=%ls vsnprintf failed\n"));
}

TEST(Alloc, CallocZeroesAndRefusesOverflow)
{
    void *z = os_calloc(0, 8);  // a zero-byte block or none, as the hook gives it
    os_free(z);
    auto *p = static_cast<unsigned char *>(os_calloc(3, 5));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 15; i++) {
        EXPECT_EQ(p[i], 0);
    }
    os_free(p);
    log_capture log;
    EXPECT_EQ(os_calloc(0x10000, 0x10000), nullptr);
    EXPECT_EQ(os_calloc(UINT32_MAX, 2), nullptr);
    EXPECT_TRUE(log.has("assert failed"));
}

TEST(Alloc, ZallocAndMemdup)
{
    auto *z = static_cast<unsigned char *>(os_zalloc(32));
    for (int i = 0; i < 32; i++) {
        EXPECT_EQ(z[i], 0);
    }
    os_free(z);
    const unsigned char src[4] = {1, 0, 2, 3};
    auto *d = static_cast<unsigned char *>(os_memdup(src, sizeof(src)));
    EXPECT_EQ(memcmp(d, src, sizeof(src)), 0);
    os_free(d);
    EXPECT_EQ(os_memdup(nullptr, 4), nullptr);
}

TEST_F(AllocHooks, MissingHookChangesNoSlot)
{
    struct {
        pl_malloc_proc  m;
        pl_realloc_proc r;
        pl_free_proc    f;
        const char     *report;
    } const cases[] = {
        {nullptr, counting_realloc, free, "expr[m!=NULL]: assert failed\n"},
        {counting_malloc, nullptr, free, "expr[r!=NULL]: assert failed\n"},
        {counting_malloc, counting_realloc, nullptr, "expr[f!=NULL]: assert failed\n"},
        {nullptr, nullptr, nullptr, "expr[m!=NULL]: assert failed\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.report);
        log_capture log;
        pl_malloc_init(c.m, c.r, c.f);
        EXPECT_EQ(g_malloc_proc, counting_malloc);
        EXPECT_EQ(g_realloc_proc, counting_realloc);
        EXPECT_EQ(g_free_proc, free);
        ASSERT_FALSE(log.all().empty());
        EXPECT_EQ(log.all()[0].text, c.report);
        EXPECT_EQ(log.all()[0].level, LOG2_ERR);
        EXPECT_TRUE(log.has("[release no stack info]\n"));
    }
}

TEST_F(AllocHooks, FailedReallocKeepsOldBlock)
{
    char *p = static_cast<char *>(os_malloc(4));
    memcpy(p, "abc", 4);
    g_fail_realloc = true;
    EXPECT_EQ(os_realloc(p, 64), nullptr);
    EXPECT_STREQ(p, "abc");
    os_free(p);
}

TEST(Alloc, DefaultReallocToZeroKeepsABlock)
{
    char *p = static_cast<char *>(os_malloc(16));
    p       = static_cast<char *>(os_realloc(p, 0));
    ASSERT_NE(p, nullptr);
    os_free(p);
}

TEST(Alloc, DefaultHooksReportFailure)
{
    log_capture log;
    EXPECT_EQ(os_malloc(SIZE_MAX / 2), nullptr);
    EXPECT_TRUE(log.has(" malloc failed\n"));
    char *p = static_cast<char *>(os_malloc(8));
    EXPECT_EQ(os_realloc(p, SIZE_MAX / 2), nullptr);
    EXPECT_TRUE(log.has(" realloc failed\n"));
    os_free(p);
}

TEST(Alloc, Realloc0SaysTheGrowthIsNotZeroed)
{
    log_capture log;
    char       *p = static_cast<char *>(os_realloc0(nullptr, 8));
    ASSERT_NE(p, nullptr);
    p = static_cast<char *>(os_realloc0(p, 32));
    os_free(p);
    ASSERT_EQ(log.all().size(), 2u);
    EXPECT_EQ(log.all()[1].text, "_realloc not support extend mem clear 0");
}

TEST_F(AllocHooks, AlignedBlocksRecordTheirAllocation)
{
    for (size_t align : {1u, 2u, 8u, 16u, 64u, 4096u}) {
        SCOPED_TRACE(align);
        g_sizes.clear();
        auto *p = static_cast<unsigned char *>(os_zalloc_align(100, align));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u);
        ASSERT_EQ(g_sizes.size(), 1u);
        EXPECT_EQ(g_sizes[0], 100 + align + 7);
        void *raw;
        memcpy(&raw, p - 8, sizeof(raw));
        EXPECT_EQ(raw, g_last_block);
        // The block lies inside the allocation with its 100 bytes.
        EXPECT_GE(p - 8, static_cast<unsigned char *>(raw));
        EXPECT_LE(p + 100, static_cast<unsigned char *>(raw) + 100 + align + 7);
        for (int i = 0; i < 100; i++) {
            ASSERT_EQ(p[i], 0);
        }
        os_free_align(p);
    }
    os_free_align(nullptr);
    EXPECT_EQ(os_malloc_align(SIZE_MAX - 8, 64), nullptr);
}

TEST_F(AllocHooks, AlignmentThatIsNoPowerOfTwoIsRefused)
{
    for (size_t align : {0u, 3u, 24u, 100u}) {
        SCOPED_TRACE(align);
        log_capture log;
        g_sizes.clear();
        EXPECT_EQ(os_malloc_align(16, align), nullptr);
        EXPECT_EQ(os_zalloc_align(16, align), nullptr);
        EXPECT_TRUE(g_sizes.empty());
        EXPECT_TRUE(log.has("assert failed\n"));
    }
}
