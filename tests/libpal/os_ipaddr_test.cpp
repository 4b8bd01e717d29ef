#include "libpal/network/os_ipaddr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "str_log_capture.h"

namespace {

// A record from text; nullptr text gives a record of that family without an ip.
os_ipaddr make(const char *text, uint32_t port = 0, uint8_t family = 0)
{
    os_ipaddr a = {};
    EXPECT_TRUE(os_ipaddr_set(&a, text, port, family)) << (text != nullptr ? text : "(none)");
    return a;
}

std::string print(const os_ipaddr &a)
{
    char buf[OS_UNIXADDR_CSTR_MAXN];
    const char *r = os_ipaddr_cstr(&a, buf, sizeof(buf));
    return r != nullptr ? r : "(null)";
}

std::string print_ip(const os_ipaddr &a)
{
    char buf[OS_UNIXADDR_CSTR_MAXN];
    const char *r = os_ipaddr_ip_cstr(&a, buf, sizeof(buf));
    return r != nullptr ? r : "(null)";
}

const std::string LOOP6 = "0000:0000:0000:0000:0000:0000:0000:0001";

}  // namespace

TEST(Ipv4Text, ParsesDottedNumbers)
{
    struct row {
        const char *text;
        bool        ok;
        const char *printed;
    };
    const row rows[] = {
        {"192.168.1.10", true, "192.168.1.10"},
        {"0.0.0.0", true, "0.0.0.0"},
        {"255.255.255.255", true, "255.255.255.255"},
        {"010.0.0.1", true, "10.0.0.1"},  // leading zeros are decimal
        {"1..2.3", true, "1.0.2.3"},      // an empty number is 0
        {"1.2.3.", true, "1.2.3.0"},
        {"256.1.1.1", false, nullptr},
        {"1.2.3.256", false, nullptr},
        {"99999999999.1.1.1", false, nullptr},
        {"1.2.3", false, nullptr},
        {"1.2.3.4.5", false, nullptr},
        {"1.2.3.4.", false, nullptr},
        {"1.2.3.a", false, nullptr},
        {" 1.2.3.4", false, nullptr},
        {"1.2.3.4:80", false, nullptr},
        {"", false, nullptr},
        {"::1", false, nullptr},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        os_ipv4 v4;
        EXPECT_EQ(os_ipv4_cstr_set(&v4, r.text), r.ok);
        EXPECT_EQ(os_ipv4_cstr_is_valid(r.text), r.ok);
        if (r.ok) {
            char buf[OS_IPV4_CSTR_MAXN];
            EXPECT_STREQ(os_ipv4_cstr(&v4, buf, sizeof(buf)), r.printed);
        }
    }
}

TEST(Ipv6Text, ParsesAndPrintsUncompressed)
{
    struct row {
        const char *text;
        bool        ok;
        const char *printed;
        uint32_t    scope;
    };
    const row rows[] = {
        {"::1", true, "0000:0000:0000:0000:0000:0000:0000:0001", 0},
        {"::", true, "0000:0000:0000:0000:0000:0000:0000:0000", 0},
        {"1:2:3:4:5:6:7:8", true, "0001:0002:0003:0004:0005:0006:0007:0008", 0},
        {"ABCD:ef::00001", true, "abcd:00ef:0000:0000:0000:0000:0000:0001", 0},
        {"1:2:3:4:5:6::7", true, "0001:0002:0003:0004:0005:0006:0000:0007", 0},
        {"::2:3:4:5:6:7:8", true, "0000:0002:0003:0004:0005:0006:0007:0008", 0},
        {"2001:db8::", true, "2001:0db8:0000:0000:0000:0000:0000:0000", 0},
        {"fe80::1%3", true, "fe80:0000:0000:0000:0000:0000:0000:0001%3", 3},
        {"fe80::1%em0", true, "fe80:0000:0000:0000:0000:0000:0000:0001%0", 0},
        {"ff02::1%7", true, "ff02:0000:0000:0000:0000:0000:0000:0001%7", 7},
        // A scope is kept but printed only where it names the link.
        {"2001:db8::1%5", true, "2001:0db8:0000:0000:0000:0000:0000:0001", 5},
        {"::ffff:10.0.0.1", true, "0000:0000:0000:0000:0000:ffff:0a00:0001", 0},
        {"::FFFF:10.0.0.1", true, "0000:0000:0000:0000:0000:ffff:0a00:0001", 0},
        {"::10.0.0.1", true, "0000:0000:0000:0000:0000:0000:0a00:0001", 0},
        {"fe80::1%", false, nullptr, 0},
        {"fe80::1%99999999999", false, nullptr, 0},
        {"1:2:3:4:5:6:7::", false, nullptr, 0},  // the "::" would stand for no group
        {"::1:2:3:4:5:6:7:8", false, nullptr, 0},
        {"10000::1", false, nullptr, 0},
        {"1:2:3:4:5:6:7", false, nullptr, 0},
        {"1:2:3:4:5:6:7:8:9", false, nullptr, 0},
        {"1:2:3:4:5:6:7:8x", false, nullptr, 0},
        {":::", false, nullptr, 0},
        {"1:::2", false, nullptr, 0},
        {"1::2::3", false, nullptr, 0},
        {":1::2", false, nullptr, 0},
        {":1:2:3:4:5:6:7:8", false, nullptr, 0},
        {"1:2:3:4:5:6:7:8:", false, nullptr, 0},
        {"g::1", false, nullptr, 0},
        {"1.2.3.4", false, nullptr, 0},
        {"", false, nullptr, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        os_ipv6 v6;
        EXPECT_EQ(os_ipv6_cstr_set(&v6, r.text), r.ok);
        EXPECT_EQ(os_ipv6_cstr_is_valid(r.text), r.ok);
        if (r.ok) {
            char buf[OS_IPV6_CSTR_MAXN];
            EXPECT_STREQ(os_ipv6_cstr(&v6, buf, sizeof(buf)), r.printed);
            EXPECT_EQ(v6.scope, r.scope);
        }
    }
}

TEST(Ipv6Value, ClassifiesRanges)
{
    struct row {
        const char *text;
        bool        any, loopback, linklocal, sitelocal, multicast, mc_linklocal;
    };
    const row rows[] = {
        {"::", true, false, false, false, false, false},
        {"::1", false, true, false, false, false, false},
        {"fe80::1", false, false, true, false, false, false},
        {"febf::1", false, false, true, false, false, false},
        {"fec0::1", false, false, false, true, false, false},
        {"ff02::1", false, false, false, false, true, true},
        {"ff12::1", false, false, false, false, true, true},
        {"ff05::1", false, false, false, false, true, false},
        {"2001:db8::1", false, false, false, false, false, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        os_ipv6 v6;
        ASSERT_TRUE(os_ipv6_cstr_set(&v6, r.text));
        EXPECT_EQ(os_ipv6_is_any(&v6), r.any);
        EXPECT_EQ(os_ipv6_is_loopback(&v6), r.loopback);
        EXPECT_EQ(os_ipv6_is_linklocal(&v6), r.linklocal);
        EXPECT_EQ(os_ipv6_is_sitelocal(&v6), r.sitelocal);
        EXPECT_EQ(os_ipv6_is_multicast(&v6), r.multicast);
        EXPECT_EQ(os_ipv6_is_mc_linklocal(&v6), r.mc_linklocal);
    }
}

TEST(IpaddrText, PrintsWithPort)
{
    struct row {
        const char *text;
        uint32_t    port;
        uint8_t     family;
        const char *printed;
        const char *host;
    };
    const row rows[] = {
        {"192.168.1.10", 80, 0, "192.168.1.10:80", "192.168.1.10"},
        {"::1", 0, 0, "[" "0000:0000:0000:0000:0000:0000:0000:0001" "]:0", "[0000:0000:0000:0000:0000:0000:0000:0001]"},
        {"::1", 6780, 2, "[0000:0000:0000:0000:0000:0000:0000:0001]:6780",
         "[0000:0000:0000:0000:0000:0000:0000:0001]"},
        {"fe80::1%3", 80, 0, "[fe80:0000:0000:0000:0000:0000:0000:0001%3]:80",
         "[fe80:0000:0000:0000:0000:0000:0000:0001%3]"},
        {nullptr, 443, 1, "0.0.0.0:443", "0.0.0.0"},
        {"/tmp/zorv.sock", 80, 3, "/tmp/zorv.sock", "/tmp/zorv.sock"},
        {"/tmp/a:b", 0, 3, "/tmp/a:b", "/tmp/a:b"},  // a path keeps its colons
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.printed);
        os_ipaddr a = make(r.text, r.port, r.family);
        EXPECT_EQ(print(a), r.printed);
        char buf[OS_IPADDR_CSTR_MAXN];
        EXPECT_STREQ(os_ipaddr_host_cstr(&a, buf, sizeof(buf)), r.host);
    }
    os_ipaddr cleared = make("10.0.0.1", 99);
    os_ipaddr_clear(&cleared);
    EXPECT_EQ(print(cleared), "0.0.0.0:0");
}

TEST(IpaddrText, ParseKeepsPortAndRefusesBadInput)
{
    os_ipaddr a = make("192.168.1.10", 80);
    ASSERT_TRUE(os_ipaddr_ip_cstr_set(&a, "10.0.0.1", 0));
    EXPECT_EQ(print(a), "10.0.0.1:80");

    struct row {
        const char *text;
        uint32_t    port;
        uint8_t     family;
    };
    const row bad[] = {
        {"10.0.0.2", 65536, 0},
        {"10.0.0.2", 0xffffffffu, 0},
        {"::1", 0, 1},        // IPv4 only
        {"10.0.0.2", 0, 2},   // IPv6 only
        {"1:2:3:4:5:6:7::", 0, 0},
        {"fe80::1%", 0, 0},
        {"host.example", 0, 0},
        {"", 0, 3},
    };
    for (const auto &r : bad) {
        SCOPED_TRACE(r.text);
        os_ipaddr before = a;
        EXPECT_FALSE(os_ipaddr_set(&a, r.text, r.port, r.family));
        EXPECT_EQ(memcmp(&before, &a, sizeof(a)), 0);
    }
    EXPECT_TRUE(os_ipaddr_set(&a, "10.0.0.2", 65535, 0));
    EXPECT_EQ(print(a), "10.0.0.2:65535");
    EXPECT_FALSE(os_ipaddr_port_set(&a, 70000));
    EXPECT_EQ(os_ipaddr_port(&a), 65535);
}

TEST(IpaddrText, UnixPathsUpTo107Characters)
{
    const std::string p107 = "/" + std::string(106, 'p');
    const std::string p108 = p107 + "q";
    os_ipaddr a = {};
    EXPECT_TRUE(os_ipaddr_set(&a, p107.c_str(), 80, 3));
    EXPECT_EQ(os_ipaddr_port(&a), 0);
    EXPECT_EQ(print_ip(a), p107);
    EXPECT_FALSE(os_ipaddr_set(&a, p108.c_str(), 0, 3));
    EXPECT_TRUE(os_ipaddr_unix_set_cstr(&a, p107.c_str(), 1));
    EXPECT_TRUE(os_unixaddr_is_abstract(os_ipaddr_unix(&a)));
    EXPECT_FALSE(os_ipaddr_unix_set_cstr(&a, p108.c_str(), 0));
    os_unixaddr un;
    EXPECT_FALSE(os_unixaddr_cstr_set(&un, p108.c_str(), 0));

    // A path longer than the printing buffer is refused, never cut.
    char small[OS_IPADDR_CSTR_MAXN];
    EXPECT_EQ(os_ipaddr_cstr(&a, small, sizeof(small)), nullptr);
    EXPECT_EQ(print(a), p107);
}

TEST(IpaddrText, NoIpTextsPerFamily)
{
    struct row {
        uint8_t     family;
        const char *text;
    };
    const row rows[] = {{1, "0.0.0.0"}, {2, "::"}, {3, ""}};
    for (const auto &r : rows) {
        os_ipaddr a = make(nullptr, 0, r.family);
        EXPECT_TRUE(os_ipaddr_is_empty(&a));
        EXPECT_EQ(print_ip(a), r.text);
    }
    log_capture cap;
    os_ipaddr none = {};
    EXPECT_EQ(print_ip(none), "(null)");
    EXPECT_TRUE(cap.has("expr[0]: assert failed"));
}

TEST(IpaddrText, SmallBuffersAreRefused)
{
    log_capture cap;
    os_ipaddr a = make("::1", 80);
    char buf[OS_IPADDR_CSTR_MAXN];
    EXPECT_EQ(os_ipv6_cstr(&a.value.ipv6, buf, OS_IPV6_CSTR_MAXN - 1), nullptr);
    EXPECT_TRUE(cap.has("expr[ipv6 && data && maxn >= OS_IPV6_CSTR_MAXN]: assert failed"));
    EXPECT_EQ(os_ipv4_cstr(&a.value.ipv4, buf, OS_IPV4_CSTR_MAXN - 1), nullptr);
    EXPECT_TRUE(cap.has("expr[ipv4 && data && maxn >= OS_IPV4_CSTR_MAXN]: assert failed"));
    EXPECT_EQ(os_ipaddr_cstr(&a, buf, OS_IPADDR_CSTR_MAXN - 1), nullptr);
    EXPECT_TRUE(cap.has("expr[ipaddr && data && maxn >= OS_IPADDR_CSTR_MAXN]: assert failed"));
    EXPECT_EQ(os_ipaddr_cstr(nullptr, buf, sizeof(buf)), nullptr);
}

TEST(IpaddrCompare, EqualityAcrossFamilies)
{
    struct row {
        const char *a;
        uint32_t    a_port;
        uint8_t     a_family;
        const char *b;
        uint32_t    b_port;
        uint8_t     b_family;
        bool        ip_equal;
        bool        equal;
    };
    const row rows[] = {
        {"::ffff:10.0.0.1", 80, 0, "10.0.0.1", 80, 0, true, true},
        {"10.0.0.1", 80, 0, "::ffff:10.0.0.1", 80, 0, true, true},
        {"::ffff:10.0.0.2", 80, 0, "10.0.0.1", 80, 0, false, false},
        {"::10.0.0.1", 80, 0, "10.0.0.1", 80, 0, false, false},
        {"10.0.0.1", 80, 0, "10.0.0.1", 81, 0, true, false},
        {"fe80::1%3", 0, 0, "fe80::1%4", 0, 0, false, false},
        {"2001:db8::1%3", 0, 0, "2001:db8::1%4", 0, 0, true, true},
        {nullptr, 0, 1, nullptr, 0, 2, true, true},
        {nullptr, 0, 1, "0.0.0.0", 0, 0, false, false},
        {"/tmp/s", 0, 3, "/tmp/s", 0, 3, true, true},
        {"/tmp/s", 0, 3, "/tmp/t", 0, 3, false, false},
        {"/tmp/s", 0, 3, "1.2.3.4", 0, 0, false, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.a ? r.a : "-") + " vs " + (r.b ? r.b : "-"));
        os_ipaddr a = make(r.a, r.a_port, r.a_family);
        os_ipaddr b = make(r.b, r.b_port, r.b_family);
        EXPECT_EQ(os_ipaddr_ip_is_equal(&a, &b), r.ip_equal);
        EXPECT_EQ(os_ipaddr_is_equal(&a, &b), r.equal);
    }
}

TEST(IpaddrCompare, AnyAndLoopback)
{
    struct row {
        const char *text;
        uint8_t     family;
        bool        any;
        bool        loopback;
    };
    const row rows[] = {
        {"127.0.0.1", 0, false, true}, {"127.0.0.2", 0, false, false}, {"::1", 0, false, true},
        {"0.0.0.0", 0, true, false},   {"::", 0, true, false},         {nullptr, 1, true, false},
        {"/tmp/s", 3, false, false},   {"10.1.1.1", 0, false, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text ? r.text : "(none)");
        os_ipaddr a = make(r.text, 0, r.family);
        EXPECT_EQ(os_ipaddr_ip_is_any(&a), r.any);
        EXPECT_EQ(os_ipaddr_ip_is_loopback(&a), r.loopback);
    }
}

TEST(IpaddrValues, MappedValuesConvertInPlace)
{
    os_ipaddr a = make("::ffff:10.0.0.1", 80);
    os_ipv4 *v4 = os_ipaddr_ipv4(&a);
    ASSERT_NE(v4, nullptr);
    EXPECT_EQ(os_ipaddr_family(&a), 1);
    EXPECT_EQ(print(a), "10.0.0.1:80");

    os_ipv6 *v6 = os_ipaddr_ipv6(&a);
    ASSERT_NE(v6, nullptr);
    EXPECT_EQ(os_ipaddr_family(&a), 2);
    EXPECT_EQ(print(a), "[0000:0000:0000:0000:0000:ffff:0a00:0001]:80");

    os_ipaddr g = make("2001:db8::1", 80);
    os_ipaddr before = g;
    EXPECT_EQ(os_ipaddr_ipv4(&g), nullptr);
    EXPECT_EQ(memcmp(&before, &g, sizeof(g)), 0);
    EXPECT_EQ(os_ipaddr_unix(&g), nullptr);

    os_ipaddr u = make("/tmp/s", 0, 3);
    EXPECT_EQ(os_ipaddr_ipv4(&u), nullptr);
    EXPECT_EQ(os_ipaddr_ipv6(&u), nullptr);
    ASSERT_NE(os_ipaddr_unix(&u), nullptr);
    EXPECT_STREQ(os_ipaddr_unix(&u)->path, "/tmp/s");

    os_ipaddr none = make(nullptr, 0, 1);
    EXPECT_EQ(os_ipaddr_ipv4(&none), nullptr);
}

TEST(IpaddrValues, FamilyChanges)
{
    log_capture cap;
    struct row {
        const char *text;
        uint8_t     from;
        uint8_t     to;
        bool        ok;
        const char *printed;  // after the call
    };
    const row rows[] = {
        {"10.0.0.1", 0, 2, true, "[0000:0000:0000:0000:0000:ffff:0a00:0001]:80"},
        {"::ffff:10.0.0.1", 0, 1, true, "10.0.0.1:80"},
        {"2001:db8::1", 0, 1, false, "[2001:0db8:0000:0000:0000:0000:0000:0001]:80"},
        {"10.0.0.1", 0, 3, false, "10.0.0.1:80"},
        {"/tmp/s", 3, 1, false, "/tmp/s"},
        {"10.0.0.1", 0, 0, true, "0.0.0.0:80"},
        {nullptr, 0, 3, true, "0.0.0.0:80"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.text ? r.text : "-") + " to " + std::to_string(r.to));
        os_ipaddr a = {};
        ASSERT_TRUE(os_ipaddr_set(&a, r.text, 80, r.from));
        EXPECT_EQ(os_ipaddr_family_set(&a, r.to), r.ok);
        EXPECT_EQ(print(a), r.printed);
    }
    EXPECT_TRUE(cap.has("expr[0]: assert failed"));
}

TEST(IpaddrValues, CopyKeepsOnlyAValueOfTheSameFamily)
{
    os_ipaddr dst = make("10.0.0.1", 80);
    os_ipaddr src = make("192.168.0.9", 8080);
    ASSERT_TRUE(os_ipaddr_copy(&dst, &src));
    EXPECT_EQ(print(dst), "192.168.0.9:8080");

    // A source without an ip brings its port and keeps the same-family value.
    os_ipaddr port_only = make(nullptr, 9000, 1);
    ASSERT_TRUE(os_ipaddr_copy(&dst, &port_only));
    EXPECT_EQ(print(dst), "192.168.0.9:9000");

    // Another family would leave IPv4 bytes read as an IPv6 address.
    os_ipaddr v6_port_only = make(nullptr, 9001, 2);
    ASSERT_TRUE(os_ipaddr_copy(&dst, &v6_port_only));
    EXPECT_TRUE(os_ipaddr_is_empty(&dst));
    EXPECT_EQ(os_ipaddr_family(&dst), 2);
    EXPECT_EQ(os_ipaddr_port(&dst), 9001);

    os_ipaddr v6 = make("fe80::1%3", 1);
    ASSERT_TRUE(os_ipaddr_copy(&dst, &v6));
    EXPECT_TRUE(os_ipaddr_is_equal(&dst, &v6));
}

TEST(IpaddrValues, SettersFromValuesAndBytes)
{
    os_ipaddr a = make("10.0.0.1", 80);
    const uint8_t b4[4]   = {192, 0, 2, 7};
    const uint8_t b16[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};

    EXPECT_TRUE(os_ipaddr_bin_set(&a, b4, 4, 1));
    EXPECT_EQ(print(a), "192.0.2.7:80");
    EXPECT_TRUE(os_ipaddr_bin_set(&a, b16, 16, 2));
    EXPECT_EQ(print(a), "[2001:0db8:0000:0000:0000:0000:0000:0009]:80");
    EXPECT_FALSE(os_ipaddr_bin_set(&a, b16, 16, 1));
    EXPECT_FALSE(os_ipaddr_bin_set(&a, b4, 4, 2));
    EXPECT_TRUE(os_ipaddr_bin_set(&a, nullptr, 0, 1));
    EXPECT_TRUE(os_ipaddr_is_empty(&a));
    EXPECT_EQ(os_ipaddr_family(&a), 1);

    os_ipaddr src = make("::1", 5);
    EXPECT_TRUE(os_ipaddr_ip_set(&a, &src));
    EXPECT_EQ(print(a), "[" + LOOP6 + "]:80");
    EXPECT_TRUE(os_ipaddr_ipv4_set(&a, nullptr));
    EXPECT_TRUE(os_ipaddr_ip_is_empty(&a));
    EXPECT_TRUE(os_ipaddr_ip_set(&a, &src));
    os_ipaddr_ip_clear(&a);
    EXPECT_TRUE(os_ipaddr_is_empty(&a));
    EXPECT_EQ(os_ipaddr_port(&a), 80);
}

TEST(Ipv4Net, SameNetUnderMask)
{
    struct row {
        const char *a;
        const char *mask;
        const char *b;
        int         expected;
    };
    const row rows[] = {
        {"192.168.1.10", "255.255.255.0", "192.168.1.200", 1},
        {"192.168.1.10", "255.255.255.0", "192.168.2.10", 0},
        {"10.1.2.3", "255.0.0.0", "10.200.0.1", 1},
        {"10.1.2.3", "0.0.0.0", "11.0.0.0", 1},
        {"10.1.2.3", "255.255.255.0", "::1", -1},
        {"10.1.2", "255.255.255.0", "10.1.2.3", -1},
        {"10.1.2.3", "bad", "10.1.2.3", -1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.a) + " " + r.b);
        EXPECT_EQ(os_ipv4_is_same_net(r.a, r.mask, r.b), r.expected);
    }
}
