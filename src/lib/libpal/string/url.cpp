// URLs: parsing into one bounded store, building back, message forms that
// hide secrets, and query reads and changes on URL texts in place.
#include "libpal/string/url.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_base64.h"
#include "libpal/string/str_check.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_hex.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_quote.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_search.h"
#include "libpal/string/str_uri.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

using std::string_view;

constexpr size_t kOutSize = 4096;
constexpr const char *kParseError = "url parser error";
// Query keys whose values are secrets: never written to a message.
constexpr string_view kSecretKeys[] = {"alg", "key"};

string_view trim(string_view s) {
    while (!s.empty() && isspace((unsigned char)s.front())) s.remove_prefix(1);
    while (!s.empty() && isspace((unsigned char)s.back())) s.remove_suffix(1);
    return s;
}

// Appends into a caller's buffer without ever writing past it. An overflow
// keeps the buffer's old text and marks the writer; nothing is logged here,
// because the pieces may hold secrets that a report would show.
struct text_out {
    char  *buf;
    size_t size;
    size_t len = 0;
    bool   over = false;

    text_out(char *b, size_t s, bool keep = false) : buf(b), size(s) {
        if (keep) len = strnlen(buf, size);
        if (len >= size) over = true;
        else buf[len] = 0;
    }
    void add(string_view s) {
        if (over || s.empty()) return;
        if (len + s.size() + 1 > size) {
            over = true;
            return;
        }
        memcpy(buf + len, s.data(), s.size());
        len += s.size();
        buf[len] = 0;
    }
    void addc(char c) { add(string_view(&c, 1)); }
    void addf(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        char tmp[64];
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(tmp, sizeof(tmp), fmt, ap);
        va_end(ap);
        if (n < 0 || (size_t)n >= sizeof(tmp)) {
            over = true;
            return;
        }
        add(string_view(tmp, (size_t)n));
    }
};

// Copies text into (out, size); false with out empty (and a report that shows
// the size, not the text) when it does not fit.
bool copy_field(const char *what, string_view text, char *out, size_t size) {
    text_out o(out, size);
    o.add(text);
    if (!o.over) return true;
    out[0] = 0;
    ZLOG_ERR("%s of %zu bytes does not fit %zu bytes\n", what, text.size(), size);
    assert_dump_stack();
    return false;
}

// A private copy of a URL text with url_fix_sep applied; false for a text
// that does not fit a URL buffer.
bool fixed_copy(const char *text, char *buf) {
    buf[0] = 0;
    if (!text) return false;
    size_t n = strnlen(text, URL_BUF_SIZE);
    if (n >= URL_BUF_SIZE) {
        ZLOG_ERR("url too long: more than %d bytes\n", URL_BUF_SIZE - 1);
        assert_dump_stack();
        return false;
    }
    memcpy(buf, text, n + 1);
    url_fix_sep(buf);
    return true;
}

// Writes the fields one after another into the store, each bounded by the
// space that remains.
struct store_writer {
    char  *base;
    size_t size;
    size_t pos = 0;
    bool   over = false;

    char *begin() {
        if (pos >= size) {
            over = true;
            pos = size - 1;
        }
        base[pos] = 0;
        return base + pos;
    }
    void put(char c) {
        if (over || pos + 1 >= size) {
            over = true;
            return;
        }
        base[pos++] = c;
        base[pos] = 0;
    }
    void put(string_view s) {
        for (char c : s) put(c);
    }
    void end() { pos++; }
    char *field(string_view s) {
        char *f = begin();
        put(s);
        end();
        return f;
    }
};

bool is_host_end(char c) { return !c || isspace((unsigned char)c) || strchr("&/:?\\", c); }

void empty_fields(url_info *info) {
    info->store[0] = 0;
    info->protocol = info->user = info->passwd = info->host = info->store;
    info->path = info->query = info->hash = info->store;
    info->port = 0;
}

// Parses text with a private store; false when it does not parse.
struct parsed_url {
    url_info info{};
    char     store[URL_BUF_SIZE];
    bool     ok;
    explicit parsed_url(const char *text) { ok = text && url_parser(&info, store, text) == 0; }
};

// The items of one query seen so far, so that a repeated item is kept once:
// an open-addressing set of (offset, length) pairs into the query.
class item_set {
public:
    explicit item_set(string_view query) : query_(query) {
        size_t items = (size_t)std::count(query.begin(), query.end(), '&') + 1;
        while (mask_ + 1 < 2 * items) mask_ = mask_ * 2 + 1;
        slots_ = static_cast<slot *>(os_zalloc((mask_ + 1) * sizeof(slot)));
    }
    ~item_set() { os_free(slots_); }
    item_set(const item_set &) = delete;
    item_set &operator=(const item_set &) = delete;
    bool ok() const { return slots_ != nullptr; }

    // false when an equal item was inserted before.
    bool insert(string_view item) {
        uint32_t h = 2166136261u;
        for (char c : item) h = (h ^ (uint8_t)c) * 16777619u;
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            slot &s = slots_[i];
            if (!s.used) {
                s = {(uint16_t)(item.data() - query_.data()), (uint16_t)item.size(), true};
                return true;
            }
            if (query_.substr(s.off, s.len) == item) return false;
        }
    }

private:
    struct slot {
        uint16_t off, len;
        bool     used;
    };
    string_view query_;
    size_t      mask_ = 15;
    slot       *slots_ = nullptr;
};

enum : int { kRebuildTooLong = -1, kRebuildNoMemory = -2 };

// The rebuild of url_set_query: 0, or kRebuildTooLong / kRebuildNoMemory
// with url unchanged.
int query_rebuild(char *url, string_view key, string_view val, int mode) {
    size_t len = strnlen(url, URL_BUF_SIZE);
    if (len >= URL_BUF_SIZE) return kRebuildTooLong;
    string_view whole(url, len);
    size_t q = whole.find('?');
    string_view head = whole.substr(0, q);
    string_view query = q == string_view::npos ? string_view{} : whole.substr(q + 1);
    const char first_sep = '?';  // written before the first item
    char tmp[URL_BUF_SIZE];
    const pl_wipe_guard wipe(tmp, sizeof(tmp));  // a query may carry a key
    text_out o(tmp, sizeof(tmp));
    bool add = mode == set_always || mode == set_not_exist;
    auto put_sep = [&](size_t n) {
        if (n) o.addc('&');
        else if (first_sep) o.addc(first_sep);
    };

    o.add(head);
    if (query.empty()) {  // no query, or a lone "?" (which is dropped)
        if (!add) return 0;
        o.addc('?');
        o.add(key);
        o.addc('=');
        o.add(val);
    } else {
        item_set seen(query);
        if (!seen.ok()) return kRebuildNoMemory;
        bool matched = false;
        size_t n = 0;
        for (size_t start = 0; start <= query.size();) {
            size_t amp = query.find('&', start);
            if (amp == string_view::npos) amp = query.size();
            string_view item = query.substr(start, amp - start);
            start = amp + 1;
            if (!seen.insert(item)) continue;
            size_t eq = item.find('=');
            bool match = eq != string_view::npos && item.substr(0, eq) == key;
            if (match) {
                matched = true;
                if (mode == del_exist) continue;
                put_sep(n++);
                if (mode == set_not_exist) {
                    o.add(item);
                } else {
                    o.add(item.substr(0, eq + 1));
                    o.add(val);
                }
                continue;
            }
            put_sep(n++);
            o.add(item);
        }
        if (add && !matched) {
            put_sep(n);
            o.add(key);
            o.addc('=');
            o.add(val);
        }
    }
    if (o.over) return kRebuildTooLong;
    memcpy(url, tmp, o.len + 1);
    return 0;
}

// One level of percent-decoding, "+" read as a blank; a "%" without two hex
// digits stays as it is.
std::string percent_decoded(string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); i++) {
        const int hi = raw[i] == '%' && i + 2 < raw.size() ? hex_chr_val_tab((unsigned char)raw[i + 1]) : -1;
        const int lo = hi >= 0 ? hex_chr_val_tab((unsigned char)raw[i + 2]) : -1;
        if (lo >= 0) {
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(raw[i] == '+' ? ' ' : raw[i]);
        }
    }
    return out;
}

// Decoded as often as it holds escapes: a name sent as "%254Bey" must not
// pass for another name in one reader and for "key" in the next.
constexpr int kDecodeRounds = 4;
std::string fully_decoded(string_view raw) {
    std::string text(raw);
    for (int round = 0; round < kDecodeRounds; round++) {
        std::string next = percent_decoded(text);
        if (next == text) break;
        text = std::move(next);
    }
    return text;
}

// A secret name whatever its case, its blanks and its escapes: the masking
// must not hang on the spelling a reader or a refusal happens to accept.
bool is_secret_name(string_view raw) {
    const std::string name = fully_decoded(raw);
    const string_view t = trim(name);
    for (string_view k : kSecretKeys)
        if (t.size() == k.size() && strncasecmp(t.data(), k.data(), k.size()) == 0) return true;
    return false;
}

// Where the value of a query item starts: after its first "=" written as
// such or as "%3D"; npos when it has none.
size_t value_start(string_view item) {
    for (size_t i = 0; i < item.size(); i++) {
        if (item[i] == '=') return i + 1;
        if (item[i] == '%' && i + 2 < item.size() && item[i + 1] == '3' && (item[i + 2] == 'd' || item[i + 2] == 'D'))
            return i + 3;
    }
    return string_view::npos;
}

// An item of a secret name keeps its name and shows "_" for its value; an
// item whose name only shows once decoded twice or more shows "_" whole.
void add_masked_item(text_out &o, string_view item) {
    const std::string decoded = fully_decoded(item);
    const size_t eq = decoded.find('=');
    if (eq == std::string::npos || !is_secret_name(string_view(decoded).substr(0, eq))) {
        o.add(item);
        return;
    }
    const size_t at = value_start(item);
    if (at != string_view::npos && is_secret_name(item.substr(0, at - (item[at - 1] == '=' ? 1 : 3))))
        o.add(item.substr(0, at));
    o.addc('_');
}

// Replaces the values of the secret keys of a message text by "_": in the
// query as the readers take it (the whole text when it has no "?"), the names
// compared without case, blanks or escapes. When that cannot be done the
// whole text gives way to a fixed one.
void mask_secrets(char *text) {
    const size_t len = strnlen(text, URL_BUF_SIZE);
    if (len >= URL_BUF_SIZE) {
        strcpy(text, kParseError);
        return;
    }
    const string_view whole(text, len);
    const size_t q = whole.find('?');
    const size_t start = q == string_view::npos ? 0 : q + 1;
    char tmp[URL_BUF_SIZE];
    const pl_wipe_guard wipe(tmp, sizeof(tmp));  // the text may carry a key
    text_out o(tmp, sizeof(tmp));
    o.add(whole.substr(0, start));
    for (size_t at = start; at <= len;) {
        size_t amp = whole.find('&', at);
        if (amp == string_view::npos) amp = len;
        add_masked_item(o, whole.substr(at, amp - at));
        if (amp < len) o.addc('&');
        at = amp + 1;
    }
    if (o.over) {
        strcpy(text, kParseError);
        return;
    }
    memcpy(text, tmp, o.len + 1);
}

// The part of a message text before host: "proto://", "///" or nothing.
void add_prefix(text_out &o, const url_info &u) {
    if (!strcmp(u.protocol, "file")) return;
    if (!strcmp(u.protocol, "name")) {
        o.add("///");
        return;
    }
    o.add(u.protocol);
    o.add("://");
}

// The refusal report of url_set_query: the URL in its safe form, the value
// only when its key is not a secret one.
__attribute__((noinline)) void set_query_refused(const char *url, const char *key, const char *val, int escape,
                                                  int mode, const char *reason) {
    char safe[URL_BUF_SIZE];
    url_safe_fmt(url, safe);
    bool hide = key && is_secret_name(key);
    ZLOG_ERR("url=[%s] key=[%s] val=[%s] escape=[%d] mode=[%s] error: %s\n", safe, key ? key : "(null)",
             hide ? "_" : (val ? val : "(null)"), escape, str_kv_mode_name(mode), reason);
    assert_dump_stack();
}

}  // namespace

// ---- Parsing and building ----

char *url_fix_sep(char *text) {
    if (!text) return text;
    str_unquote(text);
    str_replace_chr(text, '\\', '/');
    return text;
}

char *url_normalize(char *text) { return url_fix_sep(text); }

int url_parser(url_info *info, char *store, const char *text) {
    if (!info) return -1;
    *info = url_info{};
    if (store) memset(store, 0, URL_BUF_SIZE);
    info->store = store;
    int r = url_parser_imp(info, text);
    if (r != 0 && store) empty_fields(info);
    return r;
}

int url_parser_imp(url_info *info, const char *text) {
    PL_ASSERT_TEXT_RET(info != nullptr && info->store != nullptr, "host && p", -1);
    char buf[URL_BUF_SIZE];
    if (!fixed_copy(text, buf)) return -1;

    store_writer w{info->store, URL_BUF_SIZE};
    string_view rest(buf);
    string_view proto;
    if (rest.substr(0, 3) == "///") {
        proto = "name";
        rest.remove_prefix(3);
    } else if (size_t s = rest.find("://"); s != string_view::npos) {
        proto = rest.substr(0, s);
        rest.remove_prefix(s + 3);
    } else {
        proto = "file";
    }
    info->protocol = w.field(proto);

    if (proto == "file") {
        size_t q = rest.find('?');
        info->user = w.field({});
        info->passwd = w.field({});
        info->host = w.field({});
        info->path = w.field(rest.substr(0, q));
        info->query = w.field(q == string_view::npos ? string_view{} : rest.substr(q + 1));
        info->hash = w.field({});
        return w.over ? -1 : 0;
    }

    // User information: the first "@" anywhere counts, so that a password
    // holding "?", "/" or "#" stays in the password field and never shows up
    // as a path or query in a message form.
    size_t at = rest.find('@');
    string_view user, pass;
    if (at != string_view::npos) {
        string_view ui = rest.substr(0, at);
        size_t colon = ui.find(':');
        user = ui.substr(0, colon);
        if (colon != string_view::npos) pass = ui.substr(colon + 1);
        rest.remove_prefix(at + 1);
    }
    info->user = w.field(user);
    info->passwd = w.field(pass);

    size_t i = 0;
    string_view hostv;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']', 1);
        hostv = rest.substr(1, close == string_view::npos ? string_view::npos : close - 1);
        i = close == string_view::npos ? rest.size() : close + 1;
    } else {
        while (i < rest.size() && !is_host_end(rest[i])) i++;
        hostv = rest.substr(0, i);
    }
    info->host = w.field(hostv);

    if (i < rest.size() && rest[i] == ':') {
        i++;
        uint32_t port = 0;
        for (int k = 0; k < 12 && i < rest.size() && isdigit((unsigned char)rest[i]); k++, i++) {
            port = port * 10 + (uint32_t)(rest[i] - '0');
            if (port > 65535) {
                ZLOG_ERR("url port out of range (above 65535)\n");
                assert_dump_stack();
                return -1;
            }
        }
        info->port = (uint16_t)port;
    }

    while (i < rest.size() && isspace((unsigned char)rest[i])) i++;
    size_t pend = rest.find_first_of("?#", i);
    if (pend == string_view::npos) pend = rest.size();
    string_view pathv = rest.substr(i, pend - i);
    info->path = w.field(pathv.empty() ? string_view("/") : pathv);
    i = pend;

    string_view queryv, hashv;
    if (i < rest.size() && rest[i] == '?') {
        while (i < rest.size() && (rest[i] == '?' || isspace((unsigned char)rest[i]))) i++;
        size_t qend = rest.find('#', i);
        if (qend == string_view::npos) qend = rest.size();
        queryv = rest.substr(i, qend - i);
        i = qend;
    }
    if (i < rest.size() && rest[i] == '#') hashv = rest.substr(i + 1);
    info->query = w.field(queryv);
    info->hash = w.field(hashv);
    if (w.over) {
        ZLOG_ERR("url fields do not fit the %d-byte store\n", URL_BUF_SIZE);
        assert_dump_stack();
        return -1;
    }
    return 0;
}

char *url_build(const url_info *info, char *out) {
    if (!out) return out;
    text_out o(out, URL_BUF_SIZE);
    if (!info || !info->protocol) return out;
    o.add(info->protocol);
    o.add("://");
    if (!strcmp(info->protocol, "file")) {
        o.add(info->path);
    } else {
        if (*info->user) {
            o.add(info->user);
            if (*info->passwd) {
                o.addc(':');
                o.add(info->passwd);
            }
            o.addc('@');
        }
        o.add(info->host);
        if (info->port) o.addf(":%d", info->port);
        o.add(info->path);
        if (*info->query) {
            o.addc('?');
            o.add(info->query);
        }
        if (*info->hash) {
            o.addc('#');
            o.add(info->hash);
        }
    }
    if (o.over) {
        out[0] = 0;
        ZLOG_ERR("url does not fit %d bytes\n", URL_BUF_SIZE);
        assert_dump_stack();
    }
    return out;
}

void url_info_print(const url_info *info) {
    if (!info || !info->protocol) return;
    if (*info->protocol) printf("protocol=%s\n", info->protocol);
    if (*info->user) printf("user=%s\n", info->user);
    if (*info->passwd) printf("passwd=%s\n", info->passwd);
    if (*info->host) printf("host=%s\n", info->host);
    if (info->port) printf("port=%d\n", info->port);
    if (*info->path) printf("path=%s\n", info->path);
    if (*info->query) printf("query=%s\n", info->query);
    if (*info->hash) printf("hash=%s\n", info->hash);
}

int url_get_protocol(const char *text, char *out) {
    parsed_url u(text);
    if (!u.ok) return -1;
    return copy_field("protocol", u.info.protocol, out, kOutSize) ? 0 : -1;
}

int url_get_host(const char *text, char *out) {
    parsed_url u(text);
    if (!u.ok || !*u.info.host) return -1;
    return copy_field("host", u.info.host, out, kOutSize) ? 0 : -1;
}

int url_get_path(const char *text, char *out) {
    parsed_url u(text);
    if (!u.ok || !*u.info.path) return -1;
    return copy_field("path", u.info.path, out, kOutSize) ? 0 : -1;
}

char *url_get_proto_prefix(const char *text, char *out) {
    if (!out) return out;
    parsed_url u(text);
    text_out o(out, kOutSize);
    o.add(u.ok ? u.info.protocol : "file");
    o.add("://...");
    if (o.over) str_safecopy(out, kOutSize, "file://...");
    return out;
}

int url_get_type(const char *text) {
    struct row {
        const char *name;
        int         type;
    };
    static constexpr row kTypes[] = {{"file", 1},  {"name", 8}, {"http", 3}, {"https", 3},
                                     {"ftp", 5},   {"ftps", 5}, {"qdp", 4},  {"qdps", 4}};
    parsed_url u(text);
    if (!u.ok) return 0;
    for (const row &r : kTypes)
        if (!strcasecmp(u.info.protocol, r.name)) return r.type;
    return 0;
}

int url_get_port(const url_info *info) {
    if (!info || !info->protocol) return 0;
    if (info->port) return info->port;
    if (!strcasecmp(info->protocol, "http")) return 80;
    if (!strcasecmp(info->protocol, "https")) return 443;
    return 0;
}

bool url_proto_is_supported(const url_info *info) {
    return info && info->protocol && str_list_find(info->protocol, "tcp|tcps|http|https|qdp|qdps", '|') == 0;
}

bool url_proto_is_tls(const url_info *info) {
    return info && info->protocol && str_list_find(info->protocol, "tcps|https|qdps", '|') == 0;
}

bool url_is_plain(const char *text) {
    char buf[URL_BUF_SIZE];
    return fixed_copy(text, buf) && !strstr(buf, "://");
}

bool url_is_absolute(const char *text) {
    char buf[URL_BUF_SIZE];
    if (!fixed_copy(text, buf)) return false;
    return strstr(buf, "://") || buf[0] == '/' || (buf[0] && buf[1] == ':');
}

int url_name_split(const char *text, char *name, char *rest, bool keep_sep) {
    if (!name || !rest) return -1;
    name[0] = rest[0] = 0;
    char buf[URL_BUF_SIZE];
    if (!fixed_copy(text, buf)) return -1;
    string_view s(buf);
    if (s.substr(0, 3) != "///") {
        memcpy(rest, buf, s.size() + 1);
        return 0;
    }
    s.remove_prefix(3);
    size_t slash = s.find('/');
    string_view n = s.substr(0, slash);
    memcpy(name, n.data(), n.size());
    name[n.size()] = 0;
    string_view r = slash == string_view::npos ? (keep_sep ? "" : "/") : s.substr(keep_sep ? slash : slash + 1);
    memcpy(rest, r.data(), r.size());
    rest[r.size()] = 0;
    return 0;
}

char *url_mem_fmt(char *out, const void *address, size_t size) {
    if (out) str_sprintf_s(out, URL_BUF_SIZE, "mem://%p_%zu", address, size);
    return out;
}

int url_mem_parse(const char *text, void **address, size_t *size) {
    void *a = nullptr;
    size_t n = 0;
    if (!text || sscanf(text, "mem://%p_%zu", &a, &n) != 2) return -1;
    if (address) *address = a;
    if (size) *size = n;
    return 0;
}

bool str_is_disk_index(const char *text) { return text && isdigit((unsigned char)text[0]) && text[1] == ':'; }

static char *url_quote_with(char *text, char *(*quote)(const char *, char *, size_t)) {
    if (!text) return text;
    char tmp[URL_BUF_SIZE];
    tmp[0] = 0;
    quote(text, tmp, sizeof(tmp));
    if (tmp[0]) memcpy(text, tmp, strlen(tmp) + 1);  // an empty result: it did not fit
    return text;
}

char *url_quote(char *text) { return url_quote_with(text, str_quote_dq); }
char *url_quote_sq(char *text) { return url_quote_with(text, str_quote_sq); }

// ---- Texts for messages ----

namespace {

// Names come from clients and reach log lines: escaped like any peer text.
char *escape_for_log(char *out) {
    const std::string raw(out);
    str_escape_log_imp(raw.data(), raw.size(), out, URL_BUF_SIZE);
    return out;
}

}  // namespace

char *url_safe_hide_fmt(const char *text, char *out) {
    PL_ASSERT_TEXT_RET(out != nullptr, "out!=NULL", out);
    out[0] = 0;
    if (!text) return out;
    parsed_url p(text);
    if (!p.ok) return strcpy(out, kParseError);
    const url_info &u = p.info;
    text_out o(out, URL_BUF_SIZE);
    add_prefix(o, u);
    if (*u.user) o.add(*u.passwd ? "user:pwd@" : "user@");
    if (*u.host) o.add("host");
    if (u.port) o.add(":port");
    o.add(u.path);
    if (*u.query) {
        o.addc('?');
        o.add(u.query);
    }
    if (*u.hash) o.add("#hash");
    if (o.over) return strcpy(out, kParseError);
    mask_secrets(out);
    return escape_for_log(out);
}

char *url_mask_secrets(char *text) {
    if (text) mask_secrets(text);
    return text;
}

char *url_safe_fmt(const char *text, char *out) {
    if (!out) return out;
    out[0] = 0;
    parsed_url p(text);
    if (!p.ok) return strcpy(out, kParseError);
    const url_info &u = p.info;
    text_out o(out, URL_BUF_SIZE);
    add_prefix(o, u);
    if (*u.user) {
        o.add(u.user);
        o.addc('@');
    }
    o.add(u.host);
    if (u.port) o.addf(":%d", u.port);
    o.add(u.path);
    if (*u.query) {
        o.addc('?');
        o.add(u.query);
    }
    if (*u.hash) {
        o.addc('#');
        o.add(u.hash);
    }
    if (o.over) return strcpy(out, kParseError);
    mask_secrets(out);
    return escape_for_log(out);
}

// ---- Reading the query ----

int url_get_query_imp(const char *text, const char *key, const char *def, char *out, size_t size) {
    if (!out || !size) return -1;
    out[0] = 0;
    char val[URL_BUF_SIZE];
    const pl_wipe_guard wipe(val, sizeof(val));  // the value may be a key
    if (text && key && strnlen(text, URL_BUF_SIZE) < URL_BUF_SIZE) {
        const char *q = strchr(text, '?');
        if (str_kv_get_url(q ? q + 1 : text, key, val, sizeof(val)) == 0)
            return copy_field("url query value", val, out, size) ? 0 : -1;
    }
    if (def) copy_field("url query default", def, out, size);
    return -1;
}

char *url_get_query_buf(const char *text, const char *key, const char *def, char *out, size_t size) {
    url_get_query_imp(text, key, def, out, size);
    return out;
}

char *url_get_query_dup(const char *text, const char *key, const char *def) {
    char buf[4096];
    const pl_wipe_guard wipe(buf, sizeof(buf));
    url_get_query_imp(text, key, def, buf, sizeof(buf));
    return os_strdup(buf);
}

int url_get_query_int(const char *text, const char *key, int def) {
    char buf[64];
    url_get_query_imp(text, key, "", buf, sizeof(buf));
    return buf[0] ? str_atoi(buf) : def;
}

int64_t url_get_query_ll(const char *text, const char *key, int64_t def) {
    char buf[64];
    url_get_query_imp(text, key, "", buf, sizeof(buf));
    return buf[0] ? str_atoll(buf) : def;
}

uint64_t url_get_query_size(const char *text, const char *key, uint64_t def) {
    char buf[64];
    url_get_query_imp(text, key, "", buf, sizeof(buf));
    return buf[0] ? str_atosize(buf) : def;
}

bool url_has_query(const char *text, const char *key) {
    if (!text || !key || strnlen(text, URL_BUF_SIZE) >= URL_BUF_SIZE) return false;
    char val[URL_BUF_SIZE];
    const pl_wipe_guard wipe(val, sizeof(val));
    const char *q = strchr(text, '?');
    return str_kv_get(q ? q + 1 : text, "&", key, val, sizeof(val)) == 0;
}

str_map *url_get_query_map(const char *text) {
    parsed_url p(text);
    if (!p.ok || !*p.info.query) return nullptr;
    str_map *map = str_map_new(STR_F_OWN | STR_F_VAL_INLINE);
    if (!map) return nullptr;
    char item[URL_BUF_SIZE], key[4096], raw[URL_BUF_SIZE], val[4096];
    string_view query(p.info.query);
    for (size_t start = 0; start <= query.size();) {
        size_t amp = query.find('&', start);
        if (amp == string_view::npos) amp = query.size();
        string_view it = query.substr(start, amp - start);
        start = amp + 1;
        memcpy(item, it.data(), it.size());
        item[it.size()] = 0;
        if (str_get_key_and_val(item, "=", key, sizeof(key), raw, sizeof(raw)) != 0) {
            ZLOG_ERR("str_get_key_and_val [%s] failed\n", item);
            assert_dump_stack();
            break;
        }
        str_unescape_url_args(raw, val, sizeof(val));
        if (str_map_set(map, key, val) != 0) break;
    }
    return map;
}

// ---- Changing the query ----

int url_set_query(char *url, const char *key, const char *value, int escape, int mode) {
    const char *reason = nullptr;
    char reason_buf[64];
    char enc[URL_BUF_SIZE];
    const char *val = value;
    if (!url) return -1;
    if (!key || !value) {
        reason = "key or val cannot be null";
    } else if (!*key) {
        reason = "key cannot be empty";
    } else if (!str_key_is_valid(key)) {
        str_sprintf_s(reason_buf, sizeof(reason_buf), "key cannot contain [%s]", STR_KEY_INVALID_CHARS);
        reason = reason_buf;
    } else if (mode < set_always || mode > del_exist) {
        reason = "mode is invalid";
    } else if (!escape && !str_val_is_valid(value)) {
        str_sprintf_s(reason_buf, sizeof(reason_buf), "escape_val cannot contain [%s]", "&");
        reason = reason_buf;
    } else if (escape && str_escape_url_args(value, enc, sizeof(enc)) != 0) {
        reason = "val too long";
    }
    if (!reason && escape) val = enc;
    if (!reason && !*val && mode != del_exist) reason = "val cannot be empty";
    if (!reason) {
        int r = query_rebuild(url, key, val, mode);
        if (r == kRebuildTooLong) reason = "url too long";
        if (r == kRebuildNoMemory) reason = "memory allocation failed";
    }
    if (reason) {
        set_query_refused(url, key, value, escape, mode, reason);
        return -1;
    }
    return 0;
}

int url_set_query_mode(char *url, const char *key, const char *value, int mode) {
    return url_set_query(url, key, value, 1, mode);
}

int url_set_query_str(char *url, const char *key, const char *value) {
    return url_set_query(url, key, value, 1, set_always);
}

int url_set_query_raw(char *url, const char *key, const char *value) {
    return url_set_query(url, key, value, 0, set_always);
}

int url_set_query_int(char *url, const char *key, int value, int mode) {
    char buf[32];
    str_sprintf_s(buf, sizeof(buf), "%d", value);
    return url_set_query(url, key, buf, 1, mode);
}

int url_set_query_ll(char *url, const char *key, long value, int mode) {
    char buf[64];
    str_sprintf_s(buf, sizeof(buf), "%li", value);
    return url_set_query(url, key, buf, 1, mode);
}

int url_set_query_int_always(char *url, const char *key, int value) {
    return url_set_query_int(url, key, value, set_always);
}

int url_set_query_ll_always(char *url, const char *key, long value) {
    return url_set_query_ll(url, key, value, set_always);
}

int url_set_query_str_alias(char *url, const char *key, const char *value) {
    return url_set_query_str(url, key, value);
}

int url_set_query_int_always_alias(char *url, const char *key, int value) {
    return url_set_query_int_always(url, key, value);
}

int url_set_query_ll_always_alias(char *url, const char *key, long value) {
    return url_set_query_ll_always(url, key, value);
}

static int set_query_kv(char *url, const char *kv, int escape) {
    char key[URL_BUF_SIZE], val[URL_BUF_SIZE];
    if (!kv || str_get_key_and_val(kv, "=", key, sizeof(key), val, sizeof(val)) != 0) return -1;
    return url_set_query(url, key, val, escape, set_always);
}

int url_set_query_kv(char *url, const char *kv) { return set_query_kv(url, kv, 1); }
int url_set_query_kv_raw(char *url, const char *kv) { return set_query_kv(url, kv, 0); }

static int set_query_b64(char *url, const char *key, const char *text, bool url_safe) {
    char buf[URL_BUF_SIZE];
    str_base64_encode_buf_imp(text, buf, sizeof(buf), url_safe);
    if (!buf[0]) return -1;
    return url_set_query_str(url, key, buf);
}

int url_set_query_b64(char *url, const char *key, const char *text) { return set_query_b64(url, key, text, false); }
int url_set_query_b64url(char *url, const char *key, const char *text) {
    return set_query_b64(url, key, text, true);
}

int url_del_query(char *url, const char *key) { return url_set_query(url, key, "", 1, del_exist); }

int url_add_query_raw(char *url, const char *item) {
    if (!url || !item) return -1;
    size_t len = strnlen(url, URL_BUF_SIZE);
    if (len >= URL_BUF_SIZE || len + 1 + strlen(item) >= URL_BUF_SIZE) {
        ZLOG_ERR("url too long to add a query item\n");
        assert_dump_stack();
        return -1;
    }
    strcat_printf(url, URL_BUF_SIZE, memchr(url, '?', len) ? "&%s" : "?%s", item);
    return 0;
}

int url_add_path(char *url, const char *segment) {
    if (!url || !segment) return -1;
    size_t len = strnlen(url, URL_BUF_SIZE);
    if (len >= URL_BUF_SIZE) return -1;
    string_view whole(url, len);
    size_t q = whole.find('?');
    char tmp[URL_BUF_SIZE];
    text_out o(tmp, sizeof(tmp));
    o.add(whole.substr(0, q));
    if (q != string_view::npos && segment[0] != '/' && segment[0] != '\\') o.addc('/');
    o.add(segment);
    if (q != string_view::npos) o.add(whole.substr(q));
    if (o.over) {
        ZLOG_ERR("url too long to add a path segment\n");
        assert_dump_stack();
        return -1;
    }
    memcpy(url, tmp, o.len + 1);
    return 0;
}
