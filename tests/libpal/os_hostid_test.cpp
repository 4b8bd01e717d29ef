#include "libpal/os/os_hostid.h"
#include "libpal/os/os_byte_order.h"
#include "libpal/os/posix/os_info.h"

#include <dirent.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// An interface entry as the system's list gives it: a link-layer address
// (AF_PACKET) or another family.
struct fake_entry {
    const char *name;
    int family;
    std::array<uint8_t, 6> mac;
    uint8_t halen;
};

// Builds a linked ifaddrs list over storage it owns.
class fake_ifaddrs {
public:
    explicit fake_ifaddrs(const std::vector<fake_entry> &entries)
    {
        for (const auto &e : entries) {
            node &n = nodes_.emplace_back();
            n.name = e.name;
            n.ifa.ifa_name = n.name.data();
            if (e.family == AF_PACKET) {
                n.ll.sll_family = AF_PACKET;
                n.ll.sll_halen = e.halen;
                memcpy(n.ll.sll_addr, e.mac.data(), e.mac.size());
                n.ifa.ifa_addr = reinterpret_cast<sockaddr *>(&n.ll);
            } else if (e.family == AF_INET) {
                n.in.sin_family = AF_INET;
                n.ifa.ifa_addr = reinterpret_cast<sockaddr *>(&n.in);
            }
        }
        for (size_t i = 0; i + 1 < nodes_.size(); i++) {
            nodes_[i].ifa.ifa_next = &nodes_[i + 1].ifa;
        }
    }
    const ifaddrs *head() const { return nodes_.empty() ? nullptr : &nodes_.front().ifa; }

private:
    struct node {
        ifaddrs ifa{};
        sockaddr_ll ll{};
        sockaddr_in in{};
        std::string name;
    };
    std::deque<node> nodes_;  // stable addresses
};

// The 6-byte addresses of the interfaces the kernel lists in sysfs.
std::set<uint64_t> sys_class_net_macs()
{
    std::set<uint64_t> known;
    if (DIR *d = opendir("/sys/class/net"); d != nullptr) {
        while (const dirent *e = readdir(d)) {
            std::ifstream f(std::string("/sys/class/net/") + e->d_name + "/address");
            std::string text;
            uint8_t mac[6];
            if (f >> text && os_mac_parse(text.c_str(), mac) == 6) {
                known.insert(os_mac_to_u64(mac, 6));
            }
        }
        closedir(d);
    }
    return known;
}

constexpr std::array<uint8_t, 6> k_zero = {0, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 6> k_eth0 = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
constexpr std::array<uint8_t, 6> k_eth1 = {0x02, 0x42, 0xac, 0x11, 0x00, 0x02};
constexpr std::array<uint8_t, 6> k_wlan = {0xf4, 0x8c, 0x50, 0x01, 0x02, 0x03};
constexpr std::array<uint8_t, 6> k_near_zero = {0x00, 0x00, 0x00, 0xff, 0xff, 0xff};
constexpr std::array<uint8_t, 6> k_just_above = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00};

}  // namespace

TEST(MacNumber, BytesReadBigEndian)
{
    const uint8_t b[9] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    struct row {
        size_t len;
        uint64_t value;
    };
    const row rows[] = {
        {6, 0x010203040506ull}, {7, 0x01020304050607ull}, {8, 0x0102030405060708ull},
        {5, 0}, {9, 0}, {0, 0},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(os_mac_to_u64(b, r.len), r.value) << r.len;
    }
    EXPECT_EQ(os_mac_to_u64(nullptr, 6), 0u);
}

TEST(MacText, MissingFieldsBecomeZero)
{
    struct row {
        const char *text;
        int fields;
        std::array<uint8_t, 6> bytes;
    };
    const row rows[] = {
        {"52:54:00:12:34:56", 6, k_eth0},
        {"F4:8C:50:01:02:03", 6, k_wlan},
        {"aa:bb:cc", 3, {0xaa, 0xbb, 0xcc, 0, 0, 0}},
        {"zz:11:22:33:44:55", 0, k_zero},
        {"", 0, k_zero},
        {nullptr, 0, k_zero},
    };
    for (const auto &r : rows) {
        std::array<uint8_t, 6> out;
        out.fill(0x77);
        EXPECT_EQ(os_mac_parse(r.text, out.data()), r.fields) << (r.text != nullptr ? r.text : "(null)");
        EXPECT_EQ(out, r.bytes) << (r.text != nullptr ? r.text : "(null)");
    }
}

TEST(HostIdWalk, LastLinkEntryFirstLowestAndHighest)
{
    const fake_ifaddrs list({
        {"lo", AF_PACKET, k_zero, 6},
        {"eth0", AF_PACKET, k_eth0, 6},
        {"wlan0", AF_PACKET, k_wlan, 6},
        {"eth1", AF_PACKET, k_eth1, 6},
        {"eth0", AF_INET, k_zero, 0},
        {"tun0", AF_PACKET, k_zero, 0},
        {"lo", AF_INET, k_zero, 0},
    });
    EXPECT_EQ(os_host_id_from(list.head(), 0), os_mac_to_u64(k_eth1.data(), 6));
    EXPECT_EQ(os_host_id_from(list.head(), 1), os_mac_to_u64(k_eth1.data(), 6));
    EXPECT_EQ(os_host_id_from(list.head(), 2), os_mac_to_u64(k_wlan.data(), 6));
}

TEST(HostIdWalk, PlaceholderAddressesGiveZero)
{
    struct row {
        const char *what;
        std::vector<fake_entry> entries;
        uint64_t id;
    };
    const row rows[] = {
        {"no interfaces", {}, 0},
        {"only zero and near-zero", {{"lo", AF_PACKET, k_zero, 6}, {"x", AF_PACKET, k_near_zero, 6}}, 0},
        {"no link entries", {{"eth0", AF_INET, k_zero, 0}}, 0},
        {"short link address", {{"sl0", AF_PACKET, k_eth0, 4}}, 0},
        {"entry without address", {{"ppp0", 0, k_zero, 0}}, 0},
        {"first value above 0xffffff", {{"x", AF_PACKET, k_just_above, 6}, {"lo", AF_PACKET, k_zero, 6}}, 0x1000000},
    };
    for (const auto &r : rows) {
        const fake_ifaddrs list(r.entries);
        EXPECT_EQ(os_host_id_from(list.head(), 0), r.id) << r.what;
    }
}

TEST(HostId, MachineAddressOrZero)
{
    const uint64_t id = os_host_id();
    const uint64_t lo = os_host_id_min();
    const uint64_t hi = os_host_id_max();
    char hex[32];
    snprintf(hex, sizeof(hex), "%llx", static_cast<unsigned long long>(id));
    EXPECT_STREQ(os_host_id_str(), hex);
    if (id == 0) {
        EXPECT_EQ(lo, 0u);
        EXPECT_EQ(hi, 0u);
        return;
    }
    EXPECT_GT(id, 0xffffffu);
    EXPECT_LE(lo, id);
    EXPECT_GE(hi, id);
    // The identifier is the address of one of the machine's interfaces.
    EXPECT_TRUE(sys_class_net_macs().count(id) == 1) << hex;
}

TEST(MacList, EveryInterfaceAddressAboveThePlaceholders)
{
    std::set<uint64_t> want;
    for (uint64_t mac : sys_class_net_macs()) {
        if (mac > 0xffffff) {
            want.insert(mac);
        }
    }
    vec_u64 *macs = os_mac_get_all();
    ASSERT_NE(macs, nullptr);
    const std::set<uint64_t> got(macs->data, macs->data + macs->count);
    EXPECT_EQ(got, want);
    EXPECT_EQ(macs->data[macs->count], 0u);
    if (macs->count > 0) {
        EXPECT_EQ(macs->data[0], os_host_id());
    } else {
        EXPECT_EQ(os_host_id(), 0u);
    }
    vec_u64_free(macs);
}

TEST(HostInfo, UnameTextTrimmedAndReadOnce)
{
    char raw[256];
    ASSERT_EQ(os_get_info(raw, sizeof(raw)), 0);
    std::string expected = raw;
    expected.erase(expected.find_last_not_of(' ') + 1);
    const char *first = os_host_info_str();
    EXPECT_EQ(std::string(first), expected);
    EXPECT_NE(first[0], ' ');
    EXPECT_EQ(os_host_info_str(), first);
}

TEST(ByteOrder, SixtyFourBitsReversed)
{
    static_assert(os_hton64(0x0102030405060708ull) == 0x0807060504030201ull);
    EXPECT_EQ(os_ntoh64(os_hton64(0xdeadbeef00c0ffeeull)), 0xdeadbeef00c0ffeeull);
    uint64_t wire = os_hton64(0x1122334455667788ull);
    uint8_t bytes[8];
    memcpy(bytes, &wire, sizeof(bytes));
    EXPECT_EQ(bytes[0], 0x11);
    EXPECT_EQ(bytes[7], 0x88);
}
