#include "libpal/network/os_ipaddr.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr uint8_t FAMILY_MASK = 0x7f;
constexpr size_t  UNIX_PATH_MAX = sizeof(os_unixaddr::path) - 1;  // 107 characters and a NUL

constexpr uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool has_ip(const os_ipaddr *a)
{
    return (a->family & OS_IPADDR_IP_SET) != 0;
}

uint8_t family_of(const os_ipaddr *a)
{
    return a->family & FAMILY_MASK;
}

// The scope belongs to an address only where it names the link.
bool scope_matters(const os_ipv6 *v)
{
    return os_ipv6_is_linklocal(v) || os_ipv6_is_mc_linklocal(v);
}

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned>(c - 'a' + 10);
    }
    return static_cast<unsigned>(c - 'A' + 10);
}

// Colon-separated groups, each one to any number of hex digits worth at most
// 0xffff. An empty text is no group; an empty group anywhere fails.
bool parse_groups(std::string_view text, uint16_t *groups, size_t max, size_t *count)
{
    *count = 0;
    if (text.empty()) {
        return true;
    }
    size_t pos = 0;
    for (;;) {
        size_t   digits = 0;
        uint32_t value  = 0;
        while (pos < text.size() && is_hex(text[pos])) {
            value = value * 16 + hex_value(text[pos]);
            if (value > 0xffff) {
                return false;
            }
            ++digits;
            ++pos;
        }
        if (digits == 0 || *count == max) {
            return false;
        }
        groups[(*count)++] = static_cast<uint16_t>(value);
        if (pos == text.size()) {
            return true;
        }
        if (text[pos] != ':') {
            return false;
        }
        ++pos;
    }
}

// The part after "%": all digits is the scope, other text means scope 0.
bool parse_scope(std::string_view text, uint32_t *scope)
{
    *scope = 0;
    if (text.empty()) {
        return false;
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return true;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            return false;
        }
    }
    *scope = static_cast<uint32_t>(value);
    return true;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Four dotted decimal numbers of at most 255 each, leading zeros allowed.
// Reads the text in place, so the IPv6 parser hands it a tail of its own
// text without a copy.
bool parse_ipv4(std::string_view text, os_ipv4 *out)
{
    unsigned value  = 0;
    size_t   closed = 0;
    for (size_t i = 0;; ++i) {
        const bool end = i == text.size();
        const char c   = end ? '.' : text[i];
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 255) {
                return false;
            }
            continue;
        }
        if (c != '.' || closed == 4) {
            return false;
        }
        out->addr[closed++] = static_cast<uint8_t>(value);
        value = 0;
        if (end) {
            break;
        }
    }
    return closed == 4;
}

bool parse_ipv6(std::string_view text, os_ipv6 *out)
{
    os_ipv6_clear(out);
    if (text.starts_with("::")) {
        os_ipv4 v4;
        if (starts_with_nocase(text, "::ffff:") && parse_ipv4(text.substr(7), &v4)) {
            return os_ipv4_to_ipv6(&v4, out);
        }
        if (parse_ipv4(text.substr(2), &v4)) {
            memcpy(out->addr + 12, v4.addr, 4);
            return true;
        }
    }

    std::string_view addr = text;
    uint32_t         scope = 0;
    if (size_t pct = text.find('%'); pct != std::string_view::npos) {
        addr = text.substr(0, pct);
        if (!parse_scope(text.substr(pct + 1), &scope)) {
            return false;
        }
    }

    uint16_t groups[8] = {};
    size_t   dbl = addr.find("::");
    if (dbl == std::string_view::npos) {
        size_t n = 0;
        if (!parse_groups(addr, groups, 8, &n) || n != 8) {
            return false;
        }
    } else {
        std::string_view head = addr.substr(0, dbl);
        std::string_view tail = addr.substr(dbl + 2);
        if (tail.starts_with(":") || tail.find("::") != std::string_view::npos) {
            return false;  // ":::" or a second "::"
        }
        uint16_t before[8] = {};
        uint16_t after[8]  = {};
        size_t   nb = 0;
        size_t   na = 0;
        if (!parse_groups(head, before, 8, &nb) || !parse_groups(tail, after, 8, &na)) {
            return false;
        }
        // The groups after "::" are counted by the colons left in the text,
        // so a trailing "::" counts as one (zero) group of its own.
        if (tail.empty()) {
            na = 1;
        }
        if (nb + na >= 8) {
            return false;  // "::" would stand for no group
        }
        memcpy(groups, before, nb * sizeof(uint16_t));
        memcpy(groups + 8 - na, after, na * sizeof(uint16_t));
    }
    for (size_t i = 0; i < 8; ++i) {
        out->addr[2 * i]     = static_cast<uint8_t>(groups[i] >> 8);
        out->addr[2 * i + 1] = static_cast<uint8_t>(groups[i] & 0xff);
    }
    out->scope = scope;
    return true;
}

bool fits(const char *text, size_t maxn)
{
    return strnlen(text, maxn) < maxn;
}

}  // namespace

// ---- IPv4 values ----

void os_ipv4_clear(os_ipv4 *ipv4)
{
    PL_ASSERT_RET_VOID(ipv4);
    memset(ipv4->addr, 0, sizeof(ipv4->addr));
}

bool os_ipv4_is_any(const os_ipv4 *ipv4)
{
    PL_ASSERT_RET(ipv4, true);
    return memcmp(ipv4->addr, "\0\0\0\0", 4) == 0;
}

bool os_ipv4_is_loopback(const os_ipv4 *ipv4)
{
    PL_ASSERT_RET(ipv4, false);
    return memcmp(ipv4->addr, "\x7f\0\0\x01", 4) == 0;
}

bool os_ipv4_is_equal(const os_ipv4 *ipv4, const os_ipv4 *other)
{
    PL_ASSERT_RET(ipv4 && other, false);
    return memcmp(ipv4->addr, other->addr, 4) == 0;
}

// Numbers close at "." or the end; an empty number counts as 0.
bool os_ipv4_cstr_set(os_ipv4 *ipv4, const char *cstr) noexcept
{
    PL_ASSERT_RET(ipv4, false);
    PL_ASSERT_RET(cstr, false);
    return parse_ipv4(cstr, ipv4);
}

char *os_ipv4_cstr(const os_ipv4 *ipv4, char *data, size_t maxn)
{
    PL_ASSERT_RET(ipv4 && data && maxn >= OS_IPV4_CSTR_MAXN, nullptr);
    snprintf(data, maxn, "%u.%u.%u.%u", ipv4->addr[0], ipv4->addr[1], ipv4->addr[2], ipv4->addr[3]);
    return data;
}

bool os_ipv4_cstr_is_valid(const char *cstr) noexcept
{
    os_ipv4 scratch;
    return cstr != nullptr && os_ipv4_cstr_set(&scratch, cstr);
}

int os_ipv4_is_same_net(const char *ip1, const char *mask, const char *ip2)
{
    os_ipv4 a;
    os_ipv4 m;
    os_ipv4 b;
    if (ip1 == nullptr || mask == nullptr || ip2 == nullptr || !os_ipv4_cstr_set(&a, ip1) ||
        !os_ipv4_cstr_set(&m, mask) || !os_ipv4_cstr_set(&b, ip2)) {
        return -1;
    }
    for (size_t i = 0; i < 4; ++i) {
        if ((a.addr[i] & m.addr[i]) != (b.addr[i] & m.addr[i])) {
            return 0;
        }
    }
    return 1;
}

// ---- IPv6 values ----

void os_ipv6_clear(os_ipv6 *ipv6)
{
    PL_ASSERT_RET_VOID(ipv6);
    ipv6->scope = 0;
    memset(ipv6->addr, 0, sizeof(ipv6->addr));
}

bool os_ipv6_is_any(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(ipv6, true);
    static constexpr uint8_t zero[16] = {};
    return memcmp(ipv6->addr, zero, 16) == 0;
}

bool os_ipv6_is_loopback(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(ipv6, false);
    static constexpr uint8_t loop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return memcmp(ipv6->addr, loop, 16) == 0;
}

bool os_ipv6_is_linklocal(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(ipv6, false);
    return ipv6->addr[0] == 0xfe && (ipv6->addr[1] & 0xc0) == 0x80;
}

bool os_ipv6_is_sitelocal(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(ipv6, false);
    return ipv6->addr[0] == 0xfe && (ipv6->addr[1] & 0xc0) == 0xc0;
}

bool os_ipv6_is_multicast(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(ipv6, false);
    return ipv6->addr[0] == 0xff;
}

bool os_ipv6_is_mc_linklocal(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(ipv6, false);
    return ipv6->addr[0] == 0xff && (ipv6->addr[1] & 0x0f) == 0x02;
}

bool os_ipv6_is_equal(const os_ipv6 *ipv6, const os_ipv6 *other)
{
    PL_ASSERT_RET(ipv6 && other, false);
    return memcmp(ipv6->addr, other->addr, 16) == 0;
}

bool os_ipv6_cstr_set(os_ipv6 *ipv6, const char *cstr) noexcept
{
    PL_ASSERT_RET(ipv6, false);
    PL_ASSERT_RET(cstr, false);
    return parse_ipv6(cstr, ipv6);
}

char *os_ipv6_cstr(const os_ipv6 *ipv6, char *data, size_t maxn)
{
    PL_ASSERT_RET(ipv6 && data && maxn >= OS_IPV6_CSTR_MAXN, nullptr);
    char scope[16] = "";
    if (scope_matters(ipv6)) {
        snprintf(scope, sizeof(scope), "%%%u", ipv6->scope);
    }
    const uint8_t *b = ipv6->addr;
    snprintf(data, maxn, "%04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x%s", (b[0] << 8) | b[1], (b[2] << 8) | b[3],
             (b[4] << 8) | b[5], (b[6] << 8) | b[7], (b[8] << 8) | b[9], (b[10] << 8) | b[11],
             (b[12] << 8) | b[13], (b[14] << 8) | b[15], scope);
    return data;
}

bool os_ipv6_cstr_is_valid(const char *cstr) noexcept
{
    os_ipv6 scratch;
    return cstr != nullptr && parse_ipv6(cstr, &scratch);
}

bool os_ipv4_to_ipv6(const os_ipv4 *ipv4, os_ipv6 *ipv6)
{
    PL_ASSERT_RET(ipv4 && ipv6, false);
    os_ipv4 v4 = *ipv4;  // the two may share a record
    ipv6->scope = 0;
    memcpy(ipv6->addr, MAPPED_PREFIX, 12);
    memcpy(ipv6->addr + 12, v4.addr, 4);
    return true;
}

bool os_ipv6_to_ipv4(const os_ipv6 *ipv6, os_ipv4 *ipv4)
{
    PL_ASSERT_RET(ipv6 && ipv4, false);
    if (memcmp(ipv6->addr, MAPPED_PREFIX, 12) != 0) {
        return false;
    }
    memmove(ipv4->addr, ipv6->addr + 12, 4);
    return true;
}

// ---- unix-socket values ----

void os_unixaddr_clear(os_unixaddr *unixaddr)
{
    PL_ASSERT_RET_VOID(unixaddr);
    memset(unixaddr->path, 0, sizeof(unixaddr->path));
}

bool os_unixaddr_is_abstract(const os_unixaddr *unixaddr)
{
    PL_ASSERT_RET(unixaddr, false);
    return unixaddr->abstract != 0;
}

bool os_unixaddr_is_equal(const os_unixaddr *unixaddr, const os_unixaddr *other)
{
    PL_ASSERT_RET(unixaddr && other, false);
    return strncmp(unixaddr->path, other->path, sizeof(unixaddr->path)) == 0;
}

bool os_unixaddr_cstr_set(os_unixaddr *unixaddr, const char *cstr, uint8_t abstract)
{
    PL_ASSERT_RET(unixaddr, false);
    PL_ASSERT_RET(cstr, false);
    size_t n = strnlen(cstr, sizeof(unixaddr->path));
    if (n > UNIX_PATH_MAX) {
        return false;
    }
    unixaddr->abstract = abstract != 0 ? 1 : 0;
    memset(unixaddr->path, 0, sizeof(unixaddr->path));
    memcpy(unixaddr->path, cstr, n);
    return true;
}

char *os_unixaddr_cstr(const os_unixaddr *unixaddr, char *data, size_t maxn)
{
    PL_ASSERT_RET(unixaddr && data && maxn >= OS_UNIXADDR_CSTR_MAXN, nullptr);
    snprintf(data, maxn, "%.*s", static_cast<int>(UNIX_PATH_MAX), unixaddr->path);
    return data;
}

// ---- the record ----

void os_ipaddr_clear(os_ipaddr *ipaddr)
{
    PL_ASSERT_RET_VOID(ipaddr);
    ipaddr->family = OS_IPADDR_FAMILY_NONE;
    ipaddr->port   = 0;
}

bool os_ipaddr_copy(os_ipaddr *ipaddr, const os_ipaddr *copied)
{
    PL_ASSERT_RET(ipaddr && copied, false);
    if (!has_ip(copied)) {
        // The destination keeps its value only while it still fits the family:
        // an IPv4 value under an IPv6 family byte would read as a wrong address.
        if (family_of(ipaddr) != family_of(copied)) {
            ipaddr->family = family_of(copied);
        }
        ipaddr->port = copied->port;
        return true;
    }
    if (family_of(copied) == OS_IPADDR_FAMILY_IPV4) {
        ipaddr->family     = OS_IPADDR_IP_SET | OS_IPADDR_FAMILY_IPV4;
        ipaddr->port       = copied->port;
        ipaddr->value.ipv4 = copied->value.ipv4;
        return true;
    }
    if (ipaddr != copied) {
        memcpy(ipaddr, copied, sizeof(*ipaddr));
    }
    return true;
}

bool os_ipaddr_is_empty(const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(ipaddr, true);
    return !has_ip(ipaddr);
}

bool os_ipaddr_ip_is_empty(const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(ipaddr, true);
    return !has_ip(ipaddr);
}

void os_ipaddr_ip_clear(os_ipaddr *ipaddr)
{
    PL_ASSERT_RET_VOID(ipaddr);
    ipaddr->family &= FAMILY_MASK;
}

bool os_ipaddr_is_equal(const os_ipaddr *ipaddr, const os_ipaddr *other)
{
    PL_ASSERT_RET(ipaddr && other, false);
    return ipaddr->port == other->port && os_ipaddr_ip_is_equal(ipaddr, other);
}

bool os_ipaddr_ip_is_equal(const os_ipaddr *ipaddr, const os_ipaddr *other)
{
    PL_ASSERT_RET(ipaddr && other, false);
    if (!has_ip(ipaddr) || !has_ip(other)) {
        return has_ip(ipaddr) == has_ip(other);
    }
    uint8_t fa = family_of(ipaddr);
    uint8_t fb = family_of(other);
    if (fa == OS_IPADDR_FAMILY_IPV4 && fb == OS_IPADDR_FAMILY_IPV4) {
        return os_ipv4_is_equal(&ipaddr->value.ipv4, &other->value.ipv4);
    }
    if (fa == OS_IPADDR_FAMILY_IPV6 && fb == OS_IPADDR_FAMILY_IPV6) {
        if (!os_ipv6_is_equal(&ipaddr->value.ipv6, &other->value.ipv6)) {
            return false;
        }
        return !scope_matters(&ipaddr->value.ipv6) || ipaddr->value.ipv6.scope == other->value.ipv6.scope;
    }
    if (fa == OS_IPADDR_FAMILY_UNIX && fb == OS_IPADDR_FAMILY_UNIX) {
        return os_unixaddr_is_equal(&ipaddr->value.un, &other->value.un);
    }
    const os_ipaddr *v4 = fa == OS_IPADDR_FAMILY_IPV4 ? ipaddr : other;
    const os_ipaddr *v6 = fa == OS_IPADDR_FAMILY_IPV4 ? other : ipaddr;
    if (family_of(v4) != OS_IPADDR_FAMILY_IPV4 || family_of(v6) != OS_IPADDR_FAMILY_IPV6) {
        return false;
    }
    os_ipv4 mapped;
    return os_ipv6_to_ipv4(&v6->value.ipv6, &mapped) && os_ipv4_is_equal(&mapped, &v4->value.ipv4);
}

bool os_ipaddr_ip_is_any(const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(ipaddr, true);
    if (!has_ip(ipaddr)) {
        return true;
    }
    switch (family_of(ipaddr)) {
    case OS_IPADDR_FAMILY_IPV4:
        return os_ipv4_is_any(&ipaddr->value.ipv4);
    case OS_IPADDR_FAMILY_IPV6:
        return os_ipv6_is_any(&ipaddr->value.ipv6);
    default:
        return false;
    }
}

bool os_ipaddr_ip_is_loopback(const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(ipaddr, false);
    if (!has_ip(ipaddr)) {
        return false;
    }
    switch (family_of(ipaddr)) {
    case OS_IPADDR_FAMILY_IPV4:
        return os_ipv4_is_loopback(&ipaddr->value.ipv4);
    case OS_IPADDR_FAMILY_IPV6:
        return os_ipv6_is_loopback(&ipaddr->value.ipv6);
    default:
        return false;
    }
}

uint8_t os_ipaddr_family(const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(ipaddr, 0);
    return family_of(ipaddr);
}

bool os_ipaddr_family_set(os_ipaddr *ipaddr, uint8_t family)
{
    PL_ASSERT_RET(ipaddr, false);
    PL_ASSERT_RET(family <= OS_IPADDR_FAMILY_UNIX, false);
    uint8_t cur = family_of(ipaddr);
    if (family == OS_IPADDR_FAMILY_NONE) {
        ipaddr->family = OS_IPADDR_FAMILY_NONE;
        return true;
    }
    if (cur == family) {
        return true;
    }
    if (cur != OS_IPADDR_FAMILY_NONE && (cur == OS_IPADDR_FAMILY_UNIX) != (family == OS_IPADDR_FAMILY_UNIX)) {
        PL_ASSERT_RET(0, false);
    }
    uint8_t ip_bit = ipaddr->family & OS_IPADDR_IP_SET;
    if (ip_bit != 0 && cur == OS_IPADDR_FAMILY_IPV4 && family == OS_IPADDR_FAMILY_IPV6) {
        os_ipv4_to_ipv6(&ipaddr->value.ipv4, &ipaddr->value.ipv6);
    } else if (ip_bit != 0 && cur == OS_IPADDR_FAMILY_IPV6 && family == OS_IPADDR_FAMILY_IPV4) {
        // Only a mapped value has an IPv4 form; the bytes of any other would
        // read as a wrong IPv4 address.
        os_ipv4 v4;
        if (!os_ipv6_to_ipv4(&ipaddr->value.ipv6, &v4)) {
            return false;
        }
        ipaddr->value.ipv4 = v4;
    }
    ipaddr->family = static_cast<uint8_t>(ip_bit | family);
    return true;
}

uint16_t os_ipaddr_port(const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(ipaddr, 0);
    return ipaddr->port;
}

bool os_ipaddr_port_set(os_ipaddr *ipaddr, uint32_t port)
{
    PL_ASSERT_RET(ipaddr, false);
    if (port > 0xffff) {
        return false;
    }
    ipaddr->port = static_cast<uint16_t>(port);
    return true;
}

os_ipv4 *os_ipaddr_ipv4(os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(ipaddr, nullptr);
    if (!has_ip(ipaddr)) {
        return nullptr;
    }
    switch (family_of(ipaddr)) {
    case OS_IPADDR_FAMILY_IPV4:
        return &ipaddr->value.ipv4;
    case OS_IPADDR_FAMILY_IPV6: {
        os_ipv4 v4;
        if (!os_ipv6_to_ipv4(&ipaddr->value.ipv6, &v4)) {
            return nullptr;
        }
        ipaddr->family     = OS_IPADDR_IP_SET | OS_IPADDR_FAMILY_IPV4;
        ipaddr->value.ipv4 = v4;
        return &ipaddr->value.ipv4;
    }
    default:
        return nullptr;
    }
}

os_ipv6 *os_ipaddr_ipv6(os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(ipaddr, nullptr);
    if (!has_ip(ipaddr)) {
        return nullptr;
    }
    switch (family_of(ipaddr)) {
    case OS_IPADDR_FAMILY_IPV6:
        return &ipaddr->value.ipv6;
    case OS_IPADDR_FAMILY_IPV4:
        os_ipv4_to_ipv6(&ipaddr->value.ipv4, &ipaddr->value.ipv6);
        ipaddr->family = OS_IPADDR_IP_SET | OS_IPADDR_FAMILY_IPV6;
        return &ipaddr->value.ipv6;
    default:
        return nullptr;
    }
}

os_unixaddr *os_ipaddr_unix(os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(ipaddr, nullptr);
    if (!has_ip(ipaddr) || family_of(ipaddr) != OS_IPADDR_FAMILY_UNIX) {
        return nullptr;
    }
    return &ipaddr->value.un;
}

bool os_ipaddr_ipv4_set(os_ipaddr *ipaddr, const os_ipv4 *ipv4)
{
    PL_ASSERT_RET(ipaddr, false);
    if (ipv4 == nullptr) {
        os_ipaddr_ip_clear(ipaddr);
        return true;
    }
    ipaddr->value.ipv4 = *ipv4;
    ipaddr->family     = OS_IPADDR_IP_SET | OS_IPADDR_FAMILY_IPV4;
    return true;
}

bool os_ipaddr_ipv6_set(os_ipaddr *ipaddr, const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(ipaddr && ipv6, false);
    ipaddr->value.ipv6 = *ipv6;
    ipaddr->family     = OS_IPADDR_IP_SET | OS_IPADDR_FAMILY_IPV6;
    return true;
}

bool os_ipaddr_unix_set(os_ipaddr *ipaddr, const os_unixaddr *unixaddr)
{
    PL_ASSERT_RET(ipaddr && unixaddr, false);
    ipaddr->value.un                           = *unixaddr;
    ipaddr->value.un.path[UNIX_PATH_MAX] = '\0';
    ipaddr->family                             = OS_IPADDR_IP_SET | OS_IPADDR_FAMILY_UNIX;
    return true;
}

bool os_ipaddr_ip_set(os_ipaddr *ipaddr, const os_ipaddr *ip)
{
    PL_ASSERT_RET(ipaddr, false);
    if (ip == nullptr) {
        os_ipaddr_ip_clear(ipaddr);
        return true;
    }
    uint8_t family = family_of(ip);
    if (family < OS_IPADDR_FAMILY_IPV4 || family > OS_IPADDR_FAMILY_UNIX) {
        PL_ASSERT_RET(0, false);
    }
    if (!has_ip(ip)) {
        ipaddr->family = family;
        return true;
    }
    if (ipaddr == ip) {
        return true;
    }
    switch (family) {
    case OS_IPADDR_FAMILY_IPV4:
        return os_ipaddr_ipv4_set(ipaddr, &ip->value.ipv4);
    case OS_IPADDR_FAMILY_IPV6:
        return os_ipaddr_ipv6_set(ipaddr, &ip->value.ipv6);
    default:
        return os_ipaddr_unix_set(ipaddr, &ip->value.un);
    }
}

bool os_ipaddr_ip_bin_set(os_ipaddr *ipaddr, const void *data, size_t len, uint8_t family)
{
    PL_ASSERT_RET(ipaddr, false);
    if (data == nullptr) {
        if (family > OS_IPADDR_FAMILY_UNIX) {
            return false;
        }
        ipaddr->family = family;
        return true;
    }
    if (family == OS_IPADDR_FAMILY_IPV4 && len == 4) {
        memcpy(ipaddr->value.ipv4.addr, data, 4);
        ipaddr->family = OS_IPADDR_IP_SET | OS_IPADDR_FAMILY_IPV4;
        return true;
    }
    if (family == OS_IPADDR_FAMILY_IPV6 && len == 16) {
        ipaddr->value.ipv6.scope = 0;
        memcpy(ipaddr->value.ipv6.addr, data, 16);
        ipaddr->family = OS_IPADDR_IP_SET | OS_IPADDR_FAMILY_IPV6;
        return true;
    }
    return false;
}

bool os_ipaddr_bin_set(os_ipaddr *ipaddr, const void *data, size_t len, uint8_t family)
{
    return os_ipaddr_ip_bin_set(ipaddr, data, len, family);
}

bool os_ipaddr_ip_cstr_set(os_ipaddr *ipaddr, const char *cstr, uint8_t family) noexcept
{
    PL_ASSERT_RET(ipaddr, false);
    family &= FAMILY_MASK;
    if (cstr == nullptr) {
        ipaddr->family = family;
        return true;
    }
    if (family == OS_IPADDR_FAMILY_UNIX) {
        // An empty path names no socket: bound as given, it would become an
        // abstract name of NUL bytes.
        os_unixaddr un = {};
        if (*cstr == '\0' || !os_unixaddr_cstr_set(&un, cstr, 0)) {
            return false;
        }
        return os_ipaddr_unix_set(ipaddr, &un);
    }
    if (family != OS_IPADDR_FAMILY_IPV6) {
        os_ipv4 v4;
        if (os_ipv4_cstr_set(&v4, cstr)) {
            return os_ipaddr_ipv4_set(ipaddr, &v4);
        }
        if (family == OS_IPADDR_FAMILY_IPV4) {
            return false;
        }
    }
    os_ipv6 v6;
    if (!parse_ipv6(cstr, &v6)) {
        return false;
    }
    return os_ipaddr_ipv6_set(ipaddr, &v6);
}

bool os_ipaddr_set(os_ipaddr *ipaddr, const char *cstr, uint32_t port, uint8_t family) noexcept
{
    PL_ASSERT_RET(ipaddr, false);
    os_ipaddr scratch = *ipaddr;
    if (!os_ipaddr_port_set(&scratch, family == OS_IPADDR_FAMILY_UNIX ? 0 : port) ||
        !os_ipaddr_ip_cstr_set(&scratch, cstr, family)) {
        return false;
    }
    *ipaddr = scratch;
    return true;
}

bool os_ipaddr_unix_set_cstr(os_ipaddr *ipaddr, const char *cstr, uint8_t abstract)
{
    PL_ASSERT_RET(ipaddr, false);
    PL_ASSERT_RET(cstr, false);
    os_unixaddr un = {};
    if (!os_unixaddr_cstr_set(&un, cstr, abstract)) {
        return false;
    }
    os_ipaddr_unix_set(ipaddr, &un);
    ipaddr->port = 0;
    return true;
}

char *os_ipaddr_ip_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn)
{
    PL_ASSERT_RET(ipaddr && data && maxn, nullptr);
    uint8_t family = family_of(ipaddr);
    if (has_ip(ipaddr)) {
        switch (family) {
        case OS_IPADDR_FAMILY_IPV4:
            return os_ipv4_cstr(&ipaddr->value.ipv4, data, maxn);
        case OS_IPADDR_FAMILY_IPV6:
            return os_ipv6_cstr(&ipaddr->value.ipv6, data, maxn);
        case OS_IPADDR_FAMILY_UNIX:
            return os_unixaddr_cstr(&ipaddr->value.un, data, maxn);
        default:
            break;
        }
    } else {
        static constexpr const char *none_texts[] = {nullptr, "0.0.0.0", "::", ""};
        if (family >= OS_IPADDR_FAMILY_IPV4 && family <= OS_IPADDR_FAMILY_UNIX) {
            const char *text = none_texts[family];
            if (!fits(text, maxn)) {
                return nullptr;
            }
            snprintf(data, maxn, "%s", text);
            return data;
        }
    }
    PL_ASSERT_RET(0, nullptr);
    return nullptr;
}

char *os_ipaddr_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn)
{
    PL_ASSERT_RET(ipaddr && data && maxn >= OS_IPADDR_CSTR_MAXN, nullptr);
    if (!has_ip(ipaddr)) {
        snprintf(data, maxn, "0.0.0.0:%u", ipaddr->port);
        return data;
    }
    uint8_t family = family_of(ipaddr);
    if (family == OS_IPADDR_FAMILY_UNIX) {
        // A path longer than the buffer is refused rather than cut: a cut
        // path names another socket.
        const char *path = ipaddr->value.un.path;
        if (!fits(path, std::min(maxn, sizeof(ipaddr->value.un.path)))) {
            return nullptr;
        }
        snprintf(data, maxn, "%.*s", static_cast<int>(UNIX_PATH_MAX), path);
        return data;
    }
    char ip[OS_IPV6_CSTR_MAXN];
    if (os_ipaddr_ip_cstr(ipaddr, ip, sizeof(ip)) == nullptr) {
        return nullptr;
    }
    bool v6 = family == OS_IPADDR_FAMILY_IPV6;
    snprintf(data, maxn, "%s%s%s:%u", v6 ? "[" : "", ip, v6 ? "]" : "", ipaddr->port);
    return data;
}

char *os_ipaddr_host_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn)
{
    if (os_ipaddr_cstr(ipaddr, data, maxn) == nullptr) {
        return nullptr;
    }
    if (has_ip(ipaddr) && family_of(ipaddr) == OS_IPADDR_FAMILY_UNIX) {
        return data;  // a path has no port to cut
    }
    if (char *colon = strrchr(data, ':'); colon != nullptr) {
        *colon = '\0';
    }
    return data;
}
