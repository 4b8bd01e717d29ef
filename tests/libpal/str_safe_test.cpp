#define ZLOG_TAG "test"
#include "libpal/string/str_safe.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "str_log_capture.h"

namespace {

// Heap buffers of exactly the size under test, so that ASan sees any byte
// written or read past them.
struct exact_buf {
    std::unique_ptr<char[]> mem;
    size_t                  size;
    // A size of 0 still gets one byte, which must stay 'X'.
    exact_buf(size_t n, const char *init) : mem(new char[std::max<size_t>(n, 1)]), size(n)
    {
        memset(mem.get(), 'X', std::max<size_t>(n, 1));
        if (init != nullptr && n > 0) {
            memcpy(mem.get(), init, std::min(n, strlen(init) + 1));
        }
    }
    char       *get() { return mem.get(); }
    std::string text() const { return std::string(mem.get(), strnlen(mem.get(), size)); }
};

const std::string k_long(300, 'L');

using copy_fn = int (*)(char *, size_t, const char *);

struct copy_case {
    const char *name;
    copy_fn     fn;
    const char *dest_init;  // nullptr: missing destination
    size_t      size;
    const char *src;
    int         rc;
    const char *result;     // nullptr: destination left as it was
};

// Runs each case on an exact buffer; a case without result expects the
// destination untouched.
template <size_t N>
void run_copy_cases(const copy_case (&cases)[N])
{
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        exact_buf buf(c.size, c.dest_init);
        errno  = 0;
        int rc = c.fn(buf.get(), c.size, c.src);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(errno, c.rc);
        if (c.result != nullptr) {
            EXPECT_EQ(buf.text(), c.result);
        } else {
            EXPECT_EQ(buf.get()[0], 'X');
        }
    }
}

}  // namespace

TEST(BoundedCopy, StrictEmptiesAndTruncatingKeepsTheHead)
{
    const copy_case cases[] = {
        {"fits", str_safecopy, "", 8, "abc", 0, "abc"},
        {"exact fit", str_safecopy, "", 4, "abc", 0, "abc"},
        {"overflow empties", str_safecopy, "old", 3, "abc", ERANGE, ""},
        {"overflow keeps head", str_safecopy2, "old", 3, "abc", 0, "ab"},
        {"truncating fits", str_safecopy2, "", 4, "abc", 0, "abc"},
        {"size 0 strict", str_safecopy, "old", 0, "abc", EINVAL, nullptr},
        {"size 0 truncating", str_safecopy2, "old", 0, "abc", EINVAL, nullptr},
        {"missing source", str_safecopy, "old", 4, nullptr, EINVAL, ""},
        {"missing source truncating", str_safecopy2, "old", 4, nullptr, EINVAL, ""},
        {"empty source", str_safecopy, "old", 4, "", 0, ""},
        {"size 1 empty source", str_safecopy, "o", 1, "", 0, ""},
        {"size 1 truncating", str_safecopy2, "o", 1, "abc", 0, ""},
        {"long strict", str_safecopy, "", 16, k_long.c_str(), ERANGE, ""},
        {"long truncating", str_safecopy2, "", 16, k_long.c_str(), 0, "LLLLLLLLLLLLLLL"},
    };
    run_copy_cases(cases);
}

TEST(BoundedCopy, MissingDestinationIsRefused)
{
    errno = 0;
    EXPECT_EQ(str_safecopy(nullptr, 8, "abc"), EINVAL);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(str_safecopy2(nullptr, 8, "abc"), EINVAL);
    EXPECT_EQ(str_safecopy(nullptr, 8, nullptr), EINVAL);
}

TEST(BoundedCopy, OntoItselfChangesNothing)
{
    char buf[4] = {'a', 'b', 'c', 'd'};  // no NUL at all
    errno       = 0;
    EXPECT_EQ(str_safecopy(buf, sizeof(buf), buf), 0);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(errno, 0);
}

TEST(BoundedCopy, OverlappingSourceIsCopiedWhole)
{
    char buf[16] = "0123456789";
    EXPECT_EQ(str_safecopy(buf, sizeof(buf), buf + 3), 0);
    EXPECT_STREQ(buf, "3456789");
    char buf2[8] = "abcdefg";
    EXPECT_EQ(str_safecopy2(buf2, 4, buf2 + 1), 0);
    EXPECT_STREQ(buf2, "bcd");
}

TEST(BoundedCopy, StrictOverflowIsReportedWithNeededSize)
{
    log_capture log;
    char        buf[3];
    EXPECT_EQ(str_safecopy(buf, sizeof(buf), "abc"), ERANGE);
    EXPECT_TRUE(log.has("need_size=4 buf_size=3 head=[abc]")) << log.all().size();
    EXPECT_TRUE(log.has("[release no stack info]\n"));
    for (const auto &l : log.all()) {
        EXPECT_EQ(l.level, LOG2_ERR);
        EXPECT_EQ(l.tag, "pal");
    }
}

TEST(BoundedCopy, ReportHeadIsCutWithoutLineBreaks)
{
    log_capture log;
    std::string src = "line1\r\nline2\n" + k_long;
    char        buf[8];
    EXPECT_EQ(str_safecopy(buf, sizeof(buf), src.c_str()), ERANGE);
    std::string head = "line1line2" + std::string(21, 'L');
    EXPECT_TRUE(log.has("need_size=" + std::to_string(src.size() + 1) + " buf_size=8 head=[" + head + "]\n"));
}

TEST(BoundedCopy, TruncationAndSuccessLogNothing)
{
    log_capture log;
    char        buf[3];
    EXPECT_EQ(str_safecopy2(buf, sizeof(buf), "abc"), 0);
    EXPECT_EQ(str_safecopy(buf, sizeof(buf), "ab"), 0);
    EXPECT_TRUE(log.all().empty());
}

TEST(BoundedCopy, PreconditionReportsNameTheCondition)
{
    log_capture log;
    char        buf[4];
    str_safecopy(nullptr, 4, "a");
    EXPECT_TRUE(log.has("expr[_Expr_val]: (dest) != NULL && (size) > 0\n"));
    str_safecopy(buf, sizeof(buf), nullptr);
    EXPECT_TRUE(log.has("expr[_Expr_val]: (src) != NULL\n"));
}

TEST(BoundedCopy, CopyLenReportsKeptLength)
{
    struct {
        size_t      size;
        const char *src;
        size_t      expected;
    } const cases[] = {
        {8, "abc", 3},
        {4, "abc", 3},
        {3, "abc", 2},
        {1, "abc", 0},
        {5, nullptr, 5},
        {0, "abc", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        exact_buf buf(c.size, "");
        EXPECT_EQ(str_safecopy_len(buf.get(), c.src, c.size), c.expected);
    }
    EXPECT_EQ(str_safecopy_len(nullptr, "abc", 7), 7u);
}

TEST(BoundedConcat, StrictEmptiesAndTruncatingKeepsTheHead)
{
    const copy_case cases[] = {
        {"fits", str_safecat, "abc", 8, "de", 0, "abcde"},
        {"exact fit", str_safecat, "abc", 6, "de", 0, "abcde"},
        {"overflow empties everything", str_safecat, "abc", 5, "de", ERANGE, ""},
        {"overflow keeps head", str_safecat2, "abc", 5, "de", 0, "abcd"},
        {"onto empty", str_safecat, "", 3, "ab", 0, "ab"},
        {"onto full buffer strict", str_safecat, "abcd", 5, "e", ERANGE, ""},
        {"onto full buffer truncating", str_safecat2, "abcd", 5, "e", 0, "abcd"},
        {"empty source", str_safecat, "abcd", 5, "", 0, "abcd"},
        {"size 0", str_safecat, "abc", 0, "de", EINVAL, nullptr},
        {"missing source", str_safecat, "abc", 6, nullptr, EINVAL, ""},
        {"missing source truncating", str_safecat2, "abc", 6, nullptr, EINVAL, ""},
        {"long strict", str_safecat, "ab", 16, k_long.c_str(), ERANGE, ""},
        {"long truncating", str_safecat2, "ab", 16, k_long.c_str(), 0, "abLLLLLLLLLLLLL"},
    };
    run_copy_cases(cases);
}

TEST(BoundedConcat, UnterminatedDestinationIsEmptied)
{
    for (auto fn : {str_safecat, str_safecat2}) {
        log_capture log;
        exact_buf   buf(4, nullptr);  // four 'X', no NUL
        errno = 0;
        EXPECT_EQ(fn(buf.get(), 4, "a"), EINVAL);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(buf.get()[0], '\0');
        EXPECT_TRUE(log.has("expr[_Expr_val]: (\"String is not null terminated\" && 0)\n"));
    }
}

TEST(BoundedConcat, StrictOverflowReportsWholeNeededSize)
{
    log_capture log;
    char        buf[5] = "abc";
    EXPECT_EQ(str_safecat(buf, sizeof(buf), "de"), ERANGE);
    EXPECT_TRUE(log.has("need_size=6 buf_size=5 head=[de]"));
}

TEST(BoundedConcat, MissingDestinationIsRefused)
{
    errno = 0;
    EXPECT_EQ(str_safecat(nullptr, 4, "a"), EINVAL);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(str_safecat_chr(nullptr, 4, 'a'), EINVAL);
}

TEST(BoundedConcat, AppendsItself)
{
    char buf[8] = "abc";
    EXPECT_EQ(str_safecat(buf, sizeof(buf), buf), 0);
    EXPECT_STREQ(buf, "abcabc");
}

TEST(BoundedConcat, OneCharacter)
{
    struct {
        const char *init;
        size_t      size;
        char        c;
        int         rc;
        const char *result;
    } const cases[] = {
        {"ab", 4, 'c', 0, "abc"},
        {"abc", 4, 'd', ERANGE, ""},
        {"", 2, 'x', 0, "x"},
        {"ab", 4, '\0', 0, "ab"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.init);
        exact_buf buf(c.size, c.init);
        EXPECT_EQ(str_safecat_chr(buf.get(), c.size, c.c), c.rc);
        EXPECT_EQ(buf.text(), c.result);
    }
}

namespace {

using fmt_fn = int (*)(char *, size_t, const char *, ...);

struct fmt_case {
    const char *name;
    fmt_fn      fn;
    size_t      size;
    const char *arg;
    int         rc;
    const char *result;
};

}  // namespace

TEST(BoundedFormat, StrictEmptiesAndTruncatingKeepsTheHead)
{
    const fmt_case cases[] = {
        {"fits", str_sprintf_s, 8, "abc", 3, "abc"},
        {"exact fit", str_sprintf_s, 4, "abc", 3, "abc"},
        {"n into n strict", str_sprintf_s, 3, "abc", 3, ""},
        {"n into n truncating", str_sprintf_s2, 3, "abc", 2, "ab"},
        {"truncating fits", str_sprintf_s2, 4, "abc", 3, "abc"},
        {"size 1 strict", str_sprintf_s, 1, "abc", 3, ""},
        {"size 1 truncating", str_sprintf_s2, 1, "abc", 0, ""},
        {"long strict", str_sprintf_s, 16, k_long.c_str(), 300, ""},
        {"long truncating", str_sprintf_s2, 16, k_long.c_str(), 15, "LLLLLLLLLLLLLLL"},
        {"size 0", str_sprintf_s, 0, "abc", EINVAL, nullptr},
        {"size 0 truncating", str_sprintf_s2, 0, "abc", EINVAL, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        exact_buf buf(c.size, "old");
        errno = 0;
        EXPECT_EQ(c.fn(buf.get(), c.size, "%s", c.arg), c.rc);
        if (c.result != nullptr) {
            EXPECT_EQ(buf.text(), c.result);
            EXPECT_EQ(errno, 0);
        } else {
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(buf.get()[0], 'X');
        }
    }
}

TEST(BoundedFormat, MissingDestinationIsRefused)
{
    log_capture log;
    errno = 0;
    EXPECT_EQ(str_sprintf_s(nullptr, 8, "%d", 1), EINVAL);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(str_sprintf_s2(nullptr, 8, "%d", 1), EINVAL);
    EXPECT_TRUE(log.has("expr[_Expr_val]: (dest) != NULL && (size) > 0\n"));
}

TEST(BoundedFormat, StrictOverflowIsReportedTruncationIsNot)
{
    log_capture log;
    char        buf[3];
    EXPECT_EQ(str_sprintf_s2(buf, sizeof(buf), "%s", "abc"), 2);
    EXPECT_TRUE(log.all().empty());
    EXPECT_EQ(str_sprintf_s(buf, sizeof(buf), "%s", "abc"), 3);
    EXPECT_TRUE(log.has("need_size=4 buf_size=3 fmt=[%s]\n"));
}

TEST(BoundedFormat, FailedFormatEmptiesDestination)
{
    // A wide character that the C locale cannot convert makes the format fail.
    log_capture   log;
    char          buf[16] = "old";
    const wchar_t bad[]   = {static_cast<wchar_t>(0x20ac), 0};
    int           n       = str_sprintf_s2(buf, sizeof(buf), "%ls", bad);
    if (n >= 0) {
        GTEST_SKIP() << "this C library converts the character";
    }
    EXPECT_STREQ(buf, "");
    EXPECT_TRUE(log.has("buf_size=16 fmt=[%ls] eno=["));
}

namespace {

[[gnu::format(printf, 4, 5)]] int vformat(int strict, char *dest, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = strict ? str_vsprintf_s(dest, size, fmt, ap) : str_vsprintf_s2(dest, size, fmt, ap);
    va_end(ap);
    return n;
}

}  // namespace

TEST(BoundedFormat, ArgumentListForms)
{
    char buf[4];
    EXPECT_EQ(vformat(1, buf, sizeof(buf), "%d", 12), 2);
    EXPECT_STREQ(buf, "12");
    EXPECT_EQ(vformat(1, buf, sizeof(buf), "%d", 12345), 5);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(vformat(0, buf, sizeof(buf), "%d", 12345), 3);
    EXPECT_STREQ(buf, "123");
}

TEST(AppendFormat, StrictKeepsTheOldTextAndTruncatingAppendsWhatFits)
{
    const fmt_case cases[] = {
        {"fits", strcat_printf, 8, "de", 5, "abcde"},
        {"exact fit", strcat_printf, 6, "de", 5, "abcde"},
        {"strict overflow keeps old text", strcat_printf, 5, "de", 5, "abc"},
        {"truncating keeps what fits", strcat_printf2, 5, "de", 4, "abcd"},
        {"long truncating", strcat_printf2, 16, k_long.c_str(), 15, "abcLLLLLLLLLLLL"},
        {"long strict", strcat_printf, 16, k_long.c_str(), 303, "abc"},
        {"size 0", strcat_printf, 0, "de", EINVAL, nullptr},
        {"size 0 truncating", strcat_printf2, 0, "de", EINVAL, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        exact_buf buf(c.size, "abc");
        EXPECT_EQ(c.fn(buf.get(), c.size, "%s", c.arg), c.rc);
        if (c.result != nullptr) {
            EXPECT_EQ(buf.text(), c.result);
        }
    }
}

TEST(AppendFormat, UnterminatedDestinationIsLeftAlone)
{
    log_capture log;
    for (auto fn : {strcat_printf, strcat_printf2}) {
        exact_buf raw(4, nullptr);
        EXPECT_EQ(fn(raw.get(), 4, "%s", "x"), -1);
        EXPECT_EQ(std::string(raw.get(), 4), "XXXX");
    }
    // A text longer than the size handed in is never read past that size.
    exact_buf longer(4, nullptr);
    memcpy(longer.get(), "abcd", 4);
    EXPECT_EQ(strcat_printf2(longer.get(), 3, "%s", "x"), -1);
    EXPECT_TRUE(log.all().empty());
}

TEST(AppendFormat, OntoAFullText)
{
    // "abc" fills a 4-byte buffer: one byte is left for the appended text.
    struct {
        const char *name;
        fmt_fn      fn;
        const char *arg;
        int         rc;
        bool        reported;
    } const cases[] = {
        {"truncating keeps the text", strcat_printf2, "x", 3, false},
        {"strict overflow is reported", strcat_printf, "xy", 5, true},
        {"empty append fits", strcat_printf, "", 3, false},
        {"empty append truncating", strcat_printf2, "", 3, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log_capture log;
        exact_buf   full(4, "abc");
        EXPECT_EQ(c.fn(full.get(), 4, "%s", c.arg), c.rc);
        EXPECT_EQ(full.text(), "abc");
        EXPECT_EQ(log.has("need_size=3 buf_size=1 fmt=[%s]\n"), c.reported);
        EXPECT_EQ(log.has("expr[ret<clen]: assert failed\n"), c.reported);
    }
}

TEST(AppendFormat, OnlyStrictOverflowIsReported)
{
    log_capture log;
    char        buf[8] = "abc";
    EXPECT_EQ(strcat_printf2(buf, sizeof(buf), "%s", "defghij"), 7);
    EXPECT_TRUE(log.all().empty());
    strcpy(buf, "abc");
    EXPECT_EQ(strcat_printf(buf, sizeof(buf), "%s", "defghij"), 10);
    EXPECT_STREQ(buf, "abc");
    EXPECT_TRUE(log.has("need_size=8 buf_size=5 fmt=[%s]\n"));
    EXPECT_TRUE(log.has("expr[ret<clen]: assert failed\n"));
}

TEST(AppendFormat, MissingDestinationIsRefused)
{
    errno = 0;
    EXPECT_EQ(strcat_printf(nullptr, 8, "%d", 1), EINVAL);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(strcat_printf2(nullptr, 8, "%d", 1), EINVAL);
}

TEST(StackReport, NamesTheBuildsStackText)
{
    EXPECT_STREQ(os_stack_info(), "release no stack info");
    log_capture log;
    assert_dump_stack();
    ASSERT_EQ(log.all().size(), 1u);
    EXPECT_EQ(log.all()[0].text, "[release no stack info]\n");
    EXPECT_EQ(log.all()[0].level, LOG2_ERR);
    EXPECT_EQ(log.all()[0].tag, "pal");
}

TEST(SafeAlloc, SucceedingCallsReturnUsableMemory)
{
    auto *p = static_cast<unsigned char *>(safe_malloc(64));
    for (int i = 0; i < 64; i++) {
        ASSERT_EQ(p[i], 0) << i;
    }
    p = static_cast<unsigned char *>(safe_realloc(p, 128));
    p[127] = 1;
    os_free(p);
    os_free(safe_calloc(4, 8));
    char *s = safe_strdup("abc");
    EXPECT_STREQ(s, "abc");
    os_free(s);
    char *f = nullptr;
    EXPECT_EQ(safe_asprintf(&f, "%d-%s", 7, "x"), 3);
    EXPECT_STREQ(f, "7-x");
    os_free(f);
}

namespace {

constexpr size_t k_refused_size = 12345678;

// An allocator that refuses exactly one size, so that a safe_ call fails
// while the logger keeps allocating.
void *refusing_malloc(size_t size)
{
    return size == k_refused_size ? nullptr : malloc(size);
}
void *refusing_realloc(void *p, size_t size)
{
    return size == k_refused_size ? nullptr : realloc(p, size);
}

void install_refusing_hooks()
{
    pl_malloc_init(refusing_malloc, refusing_realloc, free);
}

}  // namespace

TEST(SafeAllocDeathTest, FailureEndsTheProcessWithStatusOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            install_refusing_hooks();
            safe_malloc(k_refused_size);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            install_refusing_hooks();
            void *p = safe_malloc(8);
            safe_realloc(p, k_refused_size);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(safe_calloc(0x10000, 0x10000), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(safe_strdup(nullptr), ::testing::ExitedWithCode(1), "");
}

namespace {

// Writes each message to standard error, where the death test can match it.
[[gnu::format(printf, 7, 0)]] void stderr_hook(uint32_t, const char *, const char *, int, const char *, int, const char *fmt, va_list ap)
{
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
}

}  // namespace

TEST(SafeAllocDeathTest, FailureMessagesNameTheCall)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // With a hook taking the message over, the call still never returns.
    EXPECT_EXIT(
        {
            log2_set_hook(nullptr, stderr_hook);
            install_refusing_hooks();
            safe_malloc(k_refused_size);
        },
        ::testing::ExitedWithCode(1), "Failed to malloc 12345678 bytes of memory: .*\\. Bailing out");
    EXPECT_EXIT(
        {
            log2_set_hook(nullptr, stderr_hook);
            safe_calloc(0x10000, 0x10000);
        },
        ::testing::ExitedWithCode(1), "Failed to calloc 65536-65536 bytes of memory: .*\\. Bailing out");
    EXPECT_EXIT(
        {
            log2_set_hook(nullptr, stderr_hook);
            install_refusing_hooks();
            safe_realloc(nullptr, k_refused_size);
        },
        ::testing::ExitedWithCode(1), "Failed to realloc buffer to 12345678 bytes of memory: .*\\. Bailing out");
    EXPECT_EXIT(
        {
            log2_set_hook(nullptr, stderr_hook);
            safe_strdup(nullptr);
        },
        ::testing::ExitedWithCode(1), "safe_strdup called with NULL which would have crashed strdup\\. Bailing out");
}
