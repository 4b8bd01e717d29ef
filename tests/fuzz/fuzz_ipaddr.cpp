// Address texts: any text is parsed or refused without a fault; a refused
// text leaves the record as it was; an accepted one prints within its buffer
// and reads back as the same address; the validity tests agree with the
// parsers.
#include <cstring>
#include <string>

#include "fuzz_quiet.h"
#include "libpal/network/os_ipaddr.h"

namespace {

// The ip of a record printed and parsed again in the same family.
void check_round_trip(const os_ipaddr &a)
{
    char text[OS_IPADDR_CSTR_MAXN];
    if (!os_ipaddr_ip_cstr(&a, text, sizeof(text)))
        return;
    FUZZ_CHECK(strnlen(text, sizeof(text)) < sizeof(text));
    os_ipaddr b{};
    FUZZ_CHECK(os_ipaddr_ip_cstr_set(&b, text, os_ipaddr_family(&a)));
    FUZZ_CHECK(os_ipaddr_ip_is_equal(&a, &b));
    char again[OS_IPADDR_CSTR_MAXN];
    FUZZ_CHECK(os_ipaddr_ip_cstr(&b, again, sizeof(again)) && strcmp(text, again) == 0);
    char full[OS_IPADDR_CSTR_MAXN + 8];
    os_ipaddr_cstr(&a, full, sizeof(full));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the family asked for (0 any, 1 IPv4, 2 IPv6, 3 unix).
    const auto family = static_cast<uint8_t>(data[0] % 4);
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const char *t = text.c_str();

    os_ipaddr a{};
    os_ipaddr_set(&a, "10.1.2.3", 8080, OS_IPADDR_FAMILY_IPV4);
    const os_ipaddr before = a;
    if (os_ipaddr_ip_cstr_set(&a, t, family)) {
        if (family != OS_IPADDR_FAMILY_UNIX)
            check_round_trip(a);
    } else {
        FUZZ_CHECK(memcmp(&a, &before, sizeof(a)) == 0);
    }

    os_ipv4 v4;
    FUZZ_CHECK(os_ipv4_cstr_is_valid(t) == os_ipv4_cstr_set(&v4, t));
    os_ipv6 v6{};
    const bool v6_ok = os_ipv6_cstr_set(&v6, t);
    FUZZ_CHECK(os_ipv6_cstr_is_valid(t) == v6_ok);
    if (v6_ok) {
        char out[OS_IPV6_CSTR_MAXN];
        FUZZ_CHECK(os_ipv6_cstr(&v6, out, sizeof(out)) != nullptr);
    }

    // Three lines: an address, a mask and another address.
    const size_t nl1 = text.find('\n');
    const size_t nl2 = nl1 == std::string::npos ? nl1 : text.find('\n', nl1 + 1);
    if (nl2 != std::string::npos) {
        const std::string ip1  = text.substr(0, nl1);
        const std::string mask = text.substr(nl1 + 1, nl2 - nl1 - 1);
        const std::string ip2  = text.substr(nl2 + 1);
        const int same         = os_ipv4_is_same_net(ip1.c_str(), mask.c_str(), ip2.c_str());
        FUZZ_CHECK(same >= -1 && same <= 1);
    }
    return 0;
}
