#include "libpal/os/os_hostid.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "libpal/os/posix/os_info.h"
#include "libpal/string/str_tools.h"

#define ZLOG_TAG "pal"
#include "liblog/zlog.h"

namespace {

constexpr size_t k_mac_len = 6;
// Values up to here are placeholder addresses (loopback, tunnels), not a
// network card's: they identify no host.
constexpr uint64_t k_min_mac = 0xffffff;

// The usable MACs of the list, in walk order (last entry first). An
// interface with several link addresses occurs once per address. nullptr
// for an empty list or when the array cannot be made.
vec_u64 *mac_collect(const ifaddrs *list)
{
    std::vector<const ifaddrs *> entries;
    for (const ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
        entries.push_back(i);
    }
    if (entries.empty()) {
        return nullptr;
    }
    ZLOG_VERB("interface num is intrface=%d\n", static_cast<int>(entries.size()));
    vec_u64 *macs = vec_u64_new(8);
    if (macs == nullptr) {
        return nullptr;
    }
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const ifaddrs *e = *it;
        if (e->ifa_addr == nullptr || e->ifa_addr->sa_family != AF_PACKET) {
            continue;
        }
        ZLOG_VERB("net device %s\n", e->ifa_name != nullptr ? e->ifa_name : "");
        const auto *ll = reinterpret_cast<const sockaddr_ll *>(e->ifa_addr);
        if (ll->sll_halen < k_mac_len) {
            continue;
        }
        const uint8_t *m = ll->sll_addr;
        ZLOG_VERB("mac=%.2X:%.2X:%.2X:%.2X:%.2X:%.2X\n", m[0], m[1], m[2], m[3], m[4], m[5]);
        const uint64_t v = os_mac_to_u64(m, k_mac_len);
        if (v > k_min_mac && vec_u64_push(macs, v) != 0) {
            vec_u64_free(macs);
            return nullptr;
        }
    }
    return macs;
}

// The first, lowest or highest value of a MAC list, which it frees.
uint64_t mac_pick(vec_u64 *macs, int mode)
{
    if (macs == nullptr) {
        return 0;
    }
    if (mode == 1 || mode == 2) {
        vec_u64_sort(macs, mode == 2);
    }
    uint64_t id = 0;
    vec_u64_get(macs, 0, &id);
    vec_u64_free(macs);
    return id;
}

}  // namespace

uint64_t os_mac_to_u64(const uint8_t *bytes, size_t len)
{
    if (bytes == nullptr || len < 6 || len > 8) {
        return 0;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < len; i++) {
        v = (v << 8) | bytes[i];
    }
    return v;
}

int os_mac_parse(const char *text, uint8_t *out)
{
    if (out == nullptr) {
        return 0;
    }
    unsigned f[k_mac_len] = {};
    int n = 0;
    if (text != nullptr) {
        n = sscanf(text, "%02x:%02x:%02x:%02x:%02x:%02x", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
        n = std::max(n, 0);
    }
    for (size_t i = 0; i < k_mac_len; i++) {
        out[i] = static_cast<int>(i) < n ? static_cast<uint8_t>(f[i]) : 0;
    }
    return n;
}

vec_u64 *os_mac_get_all()
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        ZLOG(LOG2_VERB | LOG2_F_ERRNO, "getifaddrs error: ");
        return nullptr;
    }
    vec_u64 *macs = mac_collect(list);
    freeifaddrs(list);
    return macs;
}

uint64_t os_host_id_from(const ifaddrs *list, int mode)
{
    return mac_pick(mac_collect(list), mode);
}

uint64_t os_host_id_by(int mode)
{
    return mac_pick(os_mac_get_all(), mode);
}

uint64_t os_host_id()
{
    return os_host_id_by(0);
}

uint64_t os_host_id_min()
{
    return os_host_id_by(1);
}

uint64_t os_host_id_max()
{
    return os_host_id_by(2);
}

const char *os_host_id_str()
{
    thread_local char text[256];
    snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(os_host_id()));
    return text;
}

const char *os_host_info_str()
{
    static char text[256];
    static std::once_flag once;
    std::call_once(once, [] {
        if (os_get_info(text, sizeof(text)) != 0)
            text[0] = '\0';
        str_trim(text);
    });
    return text;
}
