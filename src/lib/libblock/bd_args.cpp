// An export name's parameters: read, checked and refused with their reasons.
#define ZLOG_TAG "mblock2"

#include "libblock/bd_args.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "libblock/bd_cipher.h"
#include "libblock/block.h"
#include "liblog/zlog.h"
#include "libpal/basic/pl_own.h"
#include "libpal/env/pl_assert.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_xattr.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_enc.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"

#define BD_ERR(rec, code, ...) verr_set((rec), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)

namespace {

constexpr int kCodeParam        = -2;
constexpr uint32_t kPlainSector = 512;

// The parameters the block layer itself reads from a name; a driver may
// declare more (bd_drv::params).
constexpr std::string_view kLayerParams[] = {
    "alg", "key", "flags", "sector_size", "sector_off", "vol_idx", "connect_timeout", "read_timeout", "write_timeout",
};

// The words "flags" takes (os_sflag2pf), separated by ",", "." or "-".
constexpr std::string_view kFlagWords[]    = {"rw", "readonly", "direct", "vss", "sync"};
constexpr std::string_view kFlagSeparators = ",.-";
constexpr std::string_view kReadOnlyWord   = "readonly";
constexpr std::string_view kSyncWord       = "sync";
// Requests are served from and through the page cache, in buffers of any
// alignment: a name that asks to bypass it is refused rather than served as
// if it did.
constexpr std::string_view kDirectWord = "direct";

// What works inside a volume's window, left out of the name the volume
// lookup opens: a table stored in clear must not be read through the cipher,
// nor from an offset.
constexpr std::string_view kWindowParams[] = {"alg", "key", "sector_off", "vol_idx"};

// Whole numbers and the range each may take.
struct number_param {
    const char *name;
    int64_t min;
    int64_t max;
    const char *range;  // as the refusal says it
};
constexpr number_param kVolIdx     = {"vol_idx", 0, BD_VOL_IDX_MAX, "0 to 1024"};
constexpr number_param kSectorOff  = {"sector_off", 0, INT64_MAX, "0 or more sectors"};
constexpr number_param kTimeouts[] = {
    {"connect_timeout", 1, 600, "1 to 600 seconds"},
    {"read_timeout", 1, 600, "1 to 600 seconds"},
    {"write_timeout", 1, 600, "1 to 600 seconds"},
};

// The cipher's key: exactly this many hexadecimal digits (AES-256).
constexpr size_t kKeyDigits = 64;

// A parameter of the name's query, whole (no value is too long to be seen).
// The readers take the first occurrence: a name is judged for repeats first.
bool query_param(const char *url, const char *key, std::string &out)
{
    if (!url_has_query(url, key))
        return false;
    std::vector<char> buf(URL_BUF_SIZE);
    const pl_wipe_guard wipe(buf.data(), buf.size());  // it may be a key
    url_get_query_imp(url, key, "", buf.data(), buf.size());
    out.assign(buf.data());
    return true;
}

// The whole text as a decimal number with an optional sign; no blanks.
template <typename T>
bool parse_whole(const std::string &text, T &out)
{
    std::string_view t(text);
    if (!t.empty() && t.front() == '+')
        t.remove_prefix(1);
    if (t.empty())
        return false;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
    return ec == std::errc() && end == t.data() + t.size();
}

// A parameter text for an error message: short enough for a 4096-byte text.
std::string shown(std::string_view value)
{
    constexpr size_t kMax = 64;
    return value.size() <= kMax ? std::string(value) : std::string(value.substr(0, kMax)) + "...";
}

// A parameter's name for an error message: a name that holds its own "="
// escaped ("key%3D...") holds a value too, and a key is never shown.
std::string shown_name(std::string_view name)
{
    std::vector<char> buf(URL_BUF_SIZE);
    const pl_wipe_guard wipe(buf.data(), buf.size());  // it may hold a key
    memcpy(buf.data(), name.data(), std::min(name.size(), buf.size() - 1));
    return shown(url_mask_secrets(buf.data()));
}

// The access the flags give: the first access bit set wins, as in
// os_file_open; none set is read-only.
bool flags_writable(uint64_t flags)
{
    if (flags & BD_OPEN_RDONLY)
        return false;
    return (flags & (OS_PF_WRONLY | BD_OPEN_RDWR)) != 0;
}

bool ascii_equal_nocase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return tolower(static_cast<unsigned char>(x)) == tolower(static_cast<unsigned char>(y));
           });
}

bool is_layer_param(std::string_view name)
{
    return std::find(std::begin(kLayerParams), std::end(kLayerParams), name) != std::end(kLayerParams);
}

std::string_view trimmed(std::string_view t)
{
    constexpr std::string_view kBlanks = " \t\r\n\v\f";
    const size_t first                 = t.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return t.substr(first, t.find_last_not_of(kBlanks) - first + 1);
}

// One item of a query: its name as the query readers read it (blanks around
// it dropped), whether it has a "=" at all, and the item as written.
struct query_item {
    std::string_view name;
    bool has_value;
    std::string_view text;
};

// Calls judge on every non-empty item of url's query until it returns
// non-zero; that result, or 0.
template <typename Judge>
int for_each_item(const char *url, Judge &&judge)
{
    const char *q = strchr(url, '?');
    if (q == nullptr)
        return 0;
    for (std::string_view rest(q + 1); !rest.empty();) {
        const size_t cut            = std::min(rest.find('&'), rest.size());
        const std::string_view item = rest.substr(0, cut);
        rest.remove_prefix(std::min(cut + 1, rest.size()));
        if (item.empty())
            continue;
        const size_t eq = item.find('=');
        if (int rc = judge(query_item{trimmed(item.substr(0, eq)), eq != std::string_view::npos, item}); rc != 0)
            return rc;
    }
    return 0;
}

// The readers see only a name's first occurrence: "flags=rw&flags=readonly"
// would serve writable and "key=K&key=K2" encrypt under K without a word, so
// a parameter of the layer counts once or refuses the name.
int refuse_repeats(const char *url, verr *err)
{
    std::vector<std::string_view> seen;
    return for_each_item(url, [&](const query_item &it) {
        if (!is_layer_param(it.name))
            return 0;
        if (std::find(seen.begin(), seen.end(), it.name) == seen.end()) {
            seen.push_back(it.name);
            return 0;
        }
        const std::string name(it.name);
        BD_ERR(err, kCodeParam, "parameter [%s] is named more than once", name.c_str());
        return -1;
    });
}

// A named number inside its range into out; absent leaves out as it is. 0,
// or -1 with the parameter, its value and its range in err.
template <typename T>
int read_number(const char *url, const number_param &p, T &out, verr *err)
{
    std::string v;
    if (!query_param(url, p.name, v))
        return 0;
    int64_t n = 0;
    if (!parse_whole(v, n) || n < p.min || n > p.max) {
        BD_ERR(err, kCodeParam, "invalid %s=[%s] (%s)", p.name, shown(v).c_str(), p.range);
        return -1;
    }
    out = static_cast<T>(n);
    return 0;
}

// "alg" names a cipher the cipher module knows, and "key" is exactly
// kKeyDigits hexadecimal digits: a shorter key was padded with zeros, and
// data under a known key is not encrypted in any useful sense. A key with no
// cipher, or an empty "alg", would store in clear what the key was meant to
// hide. The key itself is never shown.
int parse_cipher(const char *url, bd_open_args &a, verr *err)
{
    std::string alg;
    const bool has_alg = query_param(url, "alg", alg);
    if (has_alg && alg.empty()) {
        BD_ERR(err, kCodeParam, "empty alg=: name the cipher (aes), or leave alg and key out");
        return -1;
    }
    if (!has_alg) {
        if (!url_has_query(url, "key"))
            return 0;
        BD_ERR(err, kCodeParam, "a key is given without alg: the data would be stored in clear (use alg=aes)");
        return -1;
    }
    str_vector *known = bd_cipher_list();
    if (known == nullptr) {
        BD_ERR(err, -8, "%s", verr2str(-8));
        return -1;
    }
    bool ok = alg.size() < sizeof(a.alg) && str_vector_find_cs(known, alg.c_str()) >= 0;
    str_vector_free(known);
    if (!ok) {
        BD_ERR(err, kCodeParam, "Unsupported encryption algorithm: %s", shown(alg).c_str());
        return -1;
    }
    std::string key_text;
    const bool has_key = query_param(url, "key", key_text);
    const pl_wipe_guard text_wipe(key_text.data(), key_text.size());
    const char *why = !has_key                        ? "no key given"
                      : key_text.empty()              ? "the key is empty"
                      : key_text.size() != kKeyDigits ? nullptr
                                                      : "";
    if (why == nullptr) {
        BD_ERR(err, kCodeParam, "invalid encryption key: %zu digits, alg=aes takes exactly 64 (32 bytes)",
               key_text.size());
        return -1;
    }
    size_t count = 0;
    if (why[0] == '\0' && !hex_decode_n(key_text.data(), key_text.size(), a.key, sizeof(a.key), &count))
        why = "(not hexadecimal)";
    if (why[0] != '\0') {
        BD_ERR(err, kCodeParam, "invalid encryption key: %s", why);
        return -1;
    }
    str_safecopy2(a.alg, sizeof(a.alg), alg.c_str());
    return 0;
}

// Every word of "flags" is one the file layer knows: a misspelt "readonly"
// must never leave an export writable. "readonly" wins over any "rw" beside
// it, whichever comes last: a name that asks for read-only gets it.
int parse_flags(const char *url, bd_open_args &a, verr *err)
{
    std::string v;
    if (!query_param(url, "flags", v))
        return 0;
    bool readonly = false;
    bool sync = false;
    for (std::string_view rest(v); !rest.empty();) {
        const size_t cut            = std::min(rest.find_first_of(kFlagSeparators), rest.size());
        const std::string_view word = rest.substr(0, cut);
        rest.remove_prefix(std::min(cut + 1, rest.size()));
        if (word.empty())
            continue;
        if (std::none_of(std::begin(kFlagWords), std::end(kFlagWords),
                         [&](std::string_view known) { return ascii_equal_nocase(word, known); })) {
            BD_ERR(err, kCodeParam, "invalid flags=[%s]: [%s] is not one of rw, readonly, direct, vss, sync",
                   shown(v).c_str(), shown(word).c_str());
            return -1;
        }
        if (ascii_equal_nocase(word, kDirectWord)) {
            BD_ERR(err, kCodeParam,
                   "invalid flags=[%s]: direct is not served (requests go through the page cache; "
                   "sync makes each write durable before its reply)",
                   shown(v).c_str());
            return -1;
        }
        readonly = readonly || ascii_equal_nocase(word, kReadOnlyWord);
        sync = sync || ascii_equal_nocase(word, kSyncWord);
    }
    a.flags |= os_sflag2pf(v.data()) | (readonly ? BD_OPEN_RDONLY : 0);
    a.sync = sync ? 1 : 0;
    return 0;
}

int parse_query(const char *url, bd_open_args &a, verr *err)
{
    if (refuse_repeats(url, err) != 0 || parse_cipher(url, a, err) != 0 || parse_flags(url, a, err) != 0)
        return -1;
    std::string v;
    if (query_param(url, "sector_size", v) &&
        (!parse_whole(v, a.sector_size) || !bd_sector_size_valid(a.sector_size))) {
        BD_ERR(err, kCodeParam, "invalid sector_size=[%s] (512, 1024, 2048 or 4096)", shown(v).c_str());
        return -1;
    }
    if (read_number(url, kVolIdx, a.vol_idx, err) != 0 || read_number(url, kSectorOff, a.sector_off, err) != 0)
        return -1;
    for (const number_param &t : kTimeouts) {
        int seconds = 0;
        if (read_number(url, t, seconds, err) != 0)
            return -1;
    }
    return 0;
}

// A driver's declared parameters ("a|b|c") hold name.
bool declared_by(const bd_drv *drv, std::string_view name)
{
    for (std::string_view d(drv->params != nullptr ? drv->params : ""); !d.empty();) {
        const size_t bar = std::min(d.find('|'), d.size());
        if (d.substr(0, bar) == name)
            return true;
        d.remove_prefix(std::min(bar + 1, d.size()));
    }
    return false;
}

}  // namespace

int bd_open_args_parse(const char *url, uint64_t flags, bd_open_args *out, verr *err)
{
    PL_ASSERT_RET(url != nullptr && out != nullptr, -1);
    *out       = bd_open_args{};
    out->flags = flags;
    try {
        if (strchr(url, '?') == nullptr)
            out->sector_size = kPlainSector;
        else if (parse_query(url, *out, err) != 0)
            return -1;
    } catch (const std::bad_alloc &) {
        BD_ERR(err, -8, "%s", verr2str(-8));
        return -1;
    }
    out->readonly = flags_writable(out->flags) ? 0 : 1;
    return 0;
}

int bd_open_args_check_repeats(const char *name, verr *err)
{
    PL_ASSERT_RET(name != nullptr, -1);
    try {
        return refuse_repeats(name, err);
    } catch (const std::bad_alloc &) {
        BD_ERR(err, -8, "%s", verr2str(-8));
        return -1;
    }
}

void bd_open_args_wipe(bd_open_args *args)
{
    if (args != nullptr)
        explicit_bzero(args, sizeof(*args));
}

// A misspelt "algo=aes" must never serve clear text. Only the name is shown
// (a value may be a key).
int bd_open_args_check_names(const char *url, const bd_drv *drv, verr *err)
{
    PL_ASSERT_RET(url != nullptr && drv != nullptr, -1);
    try {
        return for_each_item(url, [&](const query_item &it) {
            if (!it.has_value) {
                BD_ERR(err, kCodeParam, "parameter [%s] has no value", shown_name(it.name).c_str());
                return -1;
            }
            if (is_layer_param(it.name) || declared_by(drv, it.name))
                return 0;
            BD_ERR(err, kCodeParam, "unknown parameter [%s]: neither the block layer nor the driver \"%s\" takes it",
                   shown_name(it.name).c_str(), drv->name != nullptr ? drv->name : "");
            return -1;
        });
    } catch (const std::bad_alloc &) {
        BD_ERR(err, -8, "%s", verr2str(-8));
        return -1;
    }
}

int bd_open_args_medium_name(const char *url, char *out, verr *err)
{
    PL_ASSERT_RET(url != nullptr && out != nullptr, -1);
    const std::string_view whole(url, strnlen(url, URL_BUF_SIZE));
    const size_t q = whole.find('?');
    if (whole.size() >= URL_BUF_SIZE) {
        BD_ERR(err, kCodeParam, "name too long (at most %d bytes)", URL_BUF_SIZE - 1);
        return -1;
    }
    // Never longer than url: items are only left out.
    std::string_view head = whole.substr(0, q);
    memcpy(out, head.data(), head.size());
    size_t len = head.size();
    if (q != std::string_view::npos) {
        out[len++] = '?';
        const size_t first = len;
        for_each_item(url, [&](const query_item &it) {
            if (std::find(std::begin(kWindowParams), std::end(kWindowParams), it.name) != std::end(kWindowParams))
                return 0;
            if (len > first)
                out[len++] = '&';
            memcpy(out + len, it.text.data(), it.text.size());
            len += it.text.size();
            return 0;
        });
    }
    out[len] = '\0';
    return 0;
}
