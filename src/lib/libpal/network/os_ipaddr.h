// Addresses: os_ipaddr is the one address record of the system, an IPv4,
// IPv6 or unix-socket address with a port. Servers parse their listen
// addresses with it, the socket layer converts it to and from the system's
// records, and peers are reported with it. Texts are fixed: IPv4 as dotted
// numbers, IPv6 uncompressed (in brackets when a port follows). Parsers work
// on a scratch value, so a record is unchanged when a text is refused.
#pragma once

#include <cstddef>
#include <cstdint>

// The low 7 bits of os_ipaddr::family; the top bit says the value holds an address.
constexpr uint8_t OS_IPADDR_FAMILY_NONE = 0;
constexpr uint8_t OS_IPADDR_FAMILY_IPV4 = 1;
constexpr uint8_t OS_IPADDR_FAMILY_IPV6 = 2;
constexpr uint8_t OS_IPADDR_FAMILY_UNIX = 3;
constexpr uint8_t OS_IPADDR_IP_SET      = 0x80;

// Smallest buffers of the printing calls.
constexpr size_t OS_IPV4_CSTR_MAXN     = 16;
constexpr size_t OS_IPV6_CSTR_MAXN     = 60;
constexpr size_t OS_UNIXADDR_CSTR_MAXN = 108;
constexpr size_t OS_IPADDR_CSTR_MAXN   = 80;

// Network byte order: the first dotted number is addr[0].
struct os_ipv4 {
    uint8_t addr[4];
};

// scope is the interface index of a link-local address.
struct os_ipv6 {
    uint32_t scope;
    uint8_t  addr[16];
};

// abstract 1: a name in the abstract namespace; 0: a path. Up to 107 characters.
struct os_unixaddr {
    uint8_t abstract;
    char    path[108];
};

struct os_ipaddr {
    uint8_t  family;
    uint16_t port;  // host byte order; 0 for unix addresses
    union {
        os_ipv4     ipv4;
        os_ipv6     ipv6;
        os_unixaddr un;
    } value;
};

// The record as a whole. Clearing leaves the value bytes in place.
void os_ipaddr_clear(os_ipaddr *ipaddr);
// A source without an ip copies only its family and port.
bool os_ipaddr_copy(os_ipaddr *ipaddr, const os_ipaddr *copied);
bool os_ipaddr_is_empty(const os_ipaddr *ipaddr);
bool os_ipaddr_ip_is_empty(const os_ipaddr *ipaddr);
void os_ipaddr_ip_clear(os_ipaddr *ipaddr);
// Ports and ips equal; an IPv4 value equals its IPv4-mapped IPv6 form.
bool os_ipaddr_is_equal(const os_ipaddr *ipaddr, const os_ipaddr *other);
bool os_ipaddr_ip_is_equal(const os_ipaddr *ipaddr, const os_ipaddr *other);
// True without an ip, for 0.0.0.0 and for ::.
bool os_ipaddr_ip_is_any(const os_ipaddr *ipaddr);
// Exactly 127.0.0.1 or ::1.
bool os_ipaddr_ip_is_loopback(const os_ipaddr *ipaddr);

// Family, port and values.
uint8_t os_ipaddr_family(const os_ipaddr *ipaddr);
// IPv4 to 2 becomes the IPv4-mapped value; a mapped IPv6 value to 1 becomes
// IPv4; other IPv6 values cannot become 1; ip families and unix never change
// into each other. 0 clears the ip.
bool os_ipaddr_family_set(os_ipaddr *ipaddr, uint8_t family);
uint16_t os_ipaddr_port(const os_ipaddr *ipaddr);
// False (record unchanged) for a port above 65535.
bool os_ipaddr_port_set(os_ipaddr *ipaddr, uint32_t port);
// The value of that kind or nullptr. The first two convert a mapped value in
// place, so a record shared between threads must not be passed to them.
os_ipv4 *os_ipaddr_ipv4(os_ipaddr *ipaddr);
os_ipv6 *os_ipaddr_ipv6(os_ipaddr *ipaddr);
os_unixaddr *os_ipaddr_unix(os_ipaddr *ipaddr);
// A nullptr value clears the ip; the port stays.
bool os_ipaddr_ipv4_set(os_ipaddr *ipaddr, const os_ipv4 *ipv4);
bool os_ipaddr_ipv6_set(os_ipaddr *ipaddr, const os_ipv6 *ipv6);
bool os_ipaddr_unix_set(os_ipaddr *ipaddr, const os_unixaddr *unixaddr);
// Family and value of another record; nullptr clears the ip.
bool os_ipaddr_ip_set(os_ipaddr *ipaddr, const os_ipaddr *ip);
// 4 bytes for family 1, 16 for family 2 (scope 0). No bytes: family only, ip cleared.
bool os_ipaddr_bin_set(os_ipaddr *ipaddr, const void *data, size_t len, uint8_t family);
bool os_ipaddr_ip_bin_set(os_ipaddr *ipaddr, const void *data, size_t len, uint8_t family);

// Text. Family 1, 2 or 3 parses only that kind; any other tries IPv4 then
// IPv6. A nullptr text sets the family with the ip cleared. The port stays.
bool os_ipaddr_ip_cstr_set(os_ipaddr *ipaddr, const char *cstr, uint8_t family) noexcept;
// Port (0 for family 3) and text; false, record unchanged, when either is refused.
bool os_ipaddr_set(os_ipaddr *ipaddr, const char *cstr, uint32_t port, uint8_t family) noexcept;
bool os_ipaddr_unix_set_cstr(os_ipaddr *ipaddr, const char *cstr, uint8_t abstract);
// These return data, or nullptr when a precondition fails or the text does not fit.
char *os_ipaddr_ip_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn);
// "a.b.c.d:port", "[ipv6%scope]:port", a unix path alone, "0.0.0.0:port" without an ip.
char *os_ipaddr_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn);
// os_ipaddr_cstr without the ":port".
char *os_ipaddr_host_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn);
char *os_ipv4_cstr(const os_ipv4 *ipv4, char *data, size_t maxn);
// Eight groups of four lower-case digits, never "::"; "%scope" for link-local values.
char *os_ipv6_cstr(const os_ipv6 *ipv6, char *data, size_t maxn);
char *os_unixaddr_cstr(const os_unixaddr *unixaddr, char *data, size_t maxn);
bool os_ipv4_cstr_is_valid(const char *cstr) noexcept;
bool os_ipv6_cstr_is_valid(const char *cstr) noexcept;
// 1 when both addresses masked are equal, 0 when not, -1 when a text is no IPv4 address.
int os_ipv4_is_same_net(const char *ip1, const char *mask, const char *ip2);

// IPv4 values. The parser writes the value even when it returns false.
void os_ipv4_clear(os_ipv4 *ipv4);
bool os_ipv4_is_any(const os_ipv4 *ipv4);
bool os_ipv4_is_loopback(const os_ipv4 *ipv4);
bool os_ipv4_is_equal(const os_ipv4 *ipv4, const os_ipv4 *other);
bool os_ipv4_cstr_set(os_ipv4 *ipv4, const char *cstr) noexcept;

// IPv6 values.
void os_ipv6_clear(os_ipv6 *ipv6);
bool os_ipv6_is_any(const os_ipv6 *ipv6);
bool os_ipv6_is_loopback(const os_ipv6 *ipv6);
bool os_ipv6_is_linklocal(const os_ipv6 *ipv6);     // fe80::/10
bool os_ipv6_is_sitelocal(const os_ipv6 *ipv6);     // fec0::/10
bool os_ipv6_is_multicast(const os_ipv6 *ipv6);     // ff00::/8
bool os_ipv6_is_mc_linklocal(const os_ipv6 *ipv6);  // ffx2::
bool os_ipv6_is_equal(const os_ipv6 *ipv6, const os_ipv6 *other);
bool os_ipv6_cstr_set(os_ipv6 *ipv6, const char *cstr) noexcept;
// ::ffff:a.b.c.d and back; the latter is false for any other value.
bool os_ipv4_to_ipv6(const os_ipv4 *ipv4, os_ipv6 *ipv6);
bool os_ipv6_to_ipv4(const os_ipv6 *ipv6, os_ipv4 *ipv4);

// Unix-socket values.
void os_unixaddr_clear(os_unixaddr *unixaddr);
bool os_unixaddr_is_abstract(const os_unixaddr *unixaddr);
// Compares the paths, not the abstract flags.
bool os_unixaddr_is_equal(const os_unixaddr *unixaddr, const os_unixaddr *other);
// False for a text of 108 characters or more.
bool os_unixaddr_cstr_set(os_unixaddr *unixaddr, const char *cstr, uint8_t abstract);
