#include "libpal/string/str_buf.h"

#include <cstdint>
#include <cstring>

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_quote.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr size_t kFourFoldBelow = 65536;

// Grows the block until it is strictly larger than need; the added bytes are
// zeroed so that the text stays terminated whatever is written later.
int str_buf_reserve(str_buf *sb, size_t need)
{
    if (need <= sb->cap) {
        return 0;
    }
    size_t cap = sb->cap;
    while (cap <= need) {
        const size_t factor = cap < kFourFoldBelow ? 4 : 2;
        if (cap > SIZE_MAX / factor) {
            return -1;
        }
        cap *= factor;
    }
    auto *text = static_cast<char *>(os_realloc(sb->text, cap));
    if (text == nullptr) {
        return -1;
    }
    memset(text + sb->cap, 0, cap - sb->cap);
    sb->text = text;
    sb->cap = cap;
    return 0;
}

}  // namespace

str_buf *str_buf_new()
{
    auto *sb = static_cast<str_buf *>(os_malloc(sizeof(str_buf)));
    if (sb == nullptr) {
        return nullptr;
    }
    sb->text = static_cast<char *>(os_zalloc(STR_BUF_INIT_SIZE));
    if (sb->text == nullptr) {
        os_free(sb);
        return nullptr;
    }
    sb->len = 0;
    sb->cap = STR_BUF_INIT_SIZE;
    return sb;
}

int str_buf_free(str_buf *sb)
{
    if (sb != nullptr) {
        os_free(sb->text);
        os_free(sb);
    }
    return 0;
}

char *str_buf_detach(str_buf *sb)
{
    PL_ASSERT_RET(sb != nullptr, nullptr);
    char *text = sb->text;
    if (sb->len == 0) {
        os_free(text);
        text = nullptr;
    }
    os_free(sb);
    return text;
}

char *str_buf_detach_nonnull(str_buf *sb)
{
    PL_ASSERT_RET(sb != nullptr, nullptr);
    if (sb->len == 0) {
        str_buf_free(sb);
        return os_strdup_empty();
    }
    return str_buf_detach(sb);
}

int str_buf_reset(str_buf *sb)
{
    PL_ASSERT_RET(sb != nullptr, -1);
    sb->len = 0;
    sb->text[0] = '\0';
    sb->text[1] = '\0';
    return 0;
}

const char *str_buf_cstr(const str_buf *sb)
{
    if (sb == nullptr || sb->len == 0) {
        return nullptr;
    }
    return sb->text;
}

int str_buf_append(str_buf *sb, const void *bytes, size_t n)
{
    PL_ASSERT_RET(sb != nullptr, -1);
    if (n == 0) {
        return 0;
    }
    PL_ASSERT_RET(bytes != nullptr, -1);
    // Bytes taken from the builder's own text must survive the reallocation.
    const auto *src = static_cast<const char *>(bytes);
    const bool own = src >= sb->text && src < sb->text + sb->cap;
    const size_t own_off = own ? static_cast<size_t>(src - sb->text) : 0;
    if (n > SIZE_MAX - sb->len - 1 || str_buf_reserve(sb, sb->len + n + 1) != 0) {
        return -1;
    }
    memmove(sb->text + sb->len, own ? sb->text + own_off : src, n);
    sb->len += n;
    sb->text[sb->len] = '\0';
    return 0;
}

int str_buf_vappendf(str_buf *sb, const char *fmt, va_list ap)
{
    PL_ASSERT_RET(sb != nullptr && fmt != nullptr, -1);
    char *text = nullptr;
    const int n = os_vasprintf(&text, fmt, ap);
    if (n >= 1) {
        str_buf_append(sb, text, static_cast<size_t>(n));
    }
    os_free(text);
    return n;
}

int str_buf_appendf(str_buf *sb, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int n = str_buf_vappendf(sb, fmt, ap);
    va_end(ap);
    return n;
}

int str_buf_append_str(str_buf *sb, const char *text)
{
    PL_ASSERT_RET(text != nullptr, -1);
    return str_buf_append(sb, text, strlen(text));
}

int str_buf_putc(str_buf *sb, char c)
{
    return str_buf_append(sb, &c, 1);
}

int str_buf_putc_once(str_buf *sb, char c)
{
    PL_ASSERT_RET(sb != nullptr, -1);
    if (sb->len > 0 && sb->text[sb->len - 1] == c) {
        return 0;
    }
    return str_buf_putc(sb, c);
}

size_t str_buf_del_last(str_buf *sb)
{
    if (sb == nullptr || sb->len == 0) {
        return 0;
    }
    const size_t old = sb->len;
    sb->text[--sb->len] = '\0';
    return old;
}

int str_buf_del_tail(str_buf *sb, size_t n)
{
    PL_ASSERT_RET(sb != nullptr, -1);
    if (n > sb->len) {
        n = sb->len;
    }
    sb->len -= n;
    memset(sb->text + sb->len, 0, n);
    return 0;
}

int str_buf_replace(str_buf *sb, const char *old_text, const char *new_text)
{
    PL_ASSERT_RET(sb != nullptr, -1);
    char *text = str_replace_dup(sb->text, old_text, new_text);
    if (text == nullptr) {
        return -1;
    }
    str_buf_reset(sb);
    const int rc = str_buf_append_str(sb, text);
    os_free(text);
    return rc;
}
