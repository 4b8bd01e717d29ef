#include "libbsv/bsv_net.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bsv_test_util.h"
#include "libbsv/bsv.h"
#include "libpal/hash/crc.h"
#include "libpal/hash/rc4.h"
#include "libpal/tframe/app_desc.h"

namespace {

using bsv_test::saw;

// Packets around a record whose every field is fixed (time, process and
// thread, the host identity the packet carries), so that each packet, and
// each bad row's outcome, is the same on every run. The cipher switch is as
// asked.
class Packets : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        saved_app_ = g_app;
        g_app.sid = 0x0123456789abcdefULL;
        g_app.bid = 0;
        g_app.stime = 1700000000;
        snprintf(g_app.hostname, sizeof(g_app.hostname), "%s", "collector-test");
        bsv_net_set_rc4(GetParam() ? 1 : 0);
        rec_len_ = bsv_log_record(rec_, LOG2_ERR, "main", "a.c", 7, "fn", "to the collector\n");
        ASSERT_GT(rec_len_, 0);
        const uint64_t sec = 1700000042;
        const uint32_t usec = 250000, pid = 4242, tid = 4243;
        memcpy(rec_ + 0, &sec, 8);
        memcpy(rec_ + 8, &usec, 4);
        memcpy(rec_ + 12, &pid, 4);
        memcpy(rec_ + 16, &tid, 4);
        // The thread's name is its id or carries a per-run tag: put a fixed
        // one in its place (the second of the record's strings).
        const std::string rec(reinterpret_cast<const char *>(rec_), static_cast<size_t>(rec_len_));
        const size_t name_at = rec.find('\0', BSV_LOG_HEAD_SIZE) + 1;
        const size_t name_end = rec.find('\0', name_at);
        ASSERT_NE(name_end, std::string::npos);
        const std::string fixed = rec.substr(0, name_at) + "fixture_0001" + rec.substr(name_end);
        memcpy(rec_, fixed.data(), fixed.size());
        rec_len_ = static_cast<int>(fixed.size());
    }
    void TearDown() override
    {
        bsv_net_set_rc4(0);
        g_app = saved_app_;
    }
    app_desc_info saved_app_{};
    uint8_t rec_[BSV_LOG_MAX];
    int rec_len_ = 0;
};

TEST_P(Packets, PackThenParseGivesTheSameRecord)
{
    uint8_t pkt[BSV_NET_MAX];
    const int n = bsv_pack_log(pkt, 0, rec_, static_cast<uint32_t>(rec_len_));
    const size_t host = strlen(g_app.hostname) + 1;
    ASSERT_EQ(n, static_cast<int>(8 + 34 + host + static_cast<size_t>(rec_len_) + 1));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(pkt), 3), "bsv");
    EXPECT_EQ(pkt[3], GetParam() ? 6 : 2);
    if (!GetParam()) {
        // The CRC covers the flags to the byte before it.
        EXPECT_EQ(hash_crc8(pkt + 3, static_cast<size_t>(n) - 4, 0), pkt[n - 1]);
        EXPECT_EQ(pkt[4] | (pkt[5] << 8), n);
    } else {
        // Enciphered after the fourth byte: the plain packet is not there.
        std::vector<uint8_t> plain(pkt, pkt + n);
        rc4_ctx rc4;
        ASSERT_EQ(rc4_init(&rc4, BSV_NET_KEY, sizeof(BSV_NET_KEY)), 0);
        rc4_crypt(&rc4, plain.data() + 4, plain.data() + 4, plain.size() - 4);
        EXPECT_EQ(plain[4] | (plain[5] << 8), n);
        EXPECT_EQ(hash_crc8(plain.data() + 3, plain.size() - 4, 0), plain.back());
        EXPECT_NE(memcmp(plain.data() + 4, pkt + 4, static_cast<size_t>(n) - 4), 0);
    }
    ASSERT_EQ(bsv_parse_net_type(pkt, static_cast<uint32_t>(n)), 5);
    bsv_value *v = bsv_type_open_value(5);
    ASSERT_NE(v, nullptr);
    bsv_net_payload p{};
    ASSERT_EQ(bsv_parse_net_payload(pkt, static_cast<uint32_t>(n), v, &p), 0);
    EXPECT_EQ(p.sid, g_app.sid);
    EXPECT_EQ(p.stime, g_app.stime);
    EXPECT_EQ(p.ver_id, g_app.ver);
    EXPECT_EQ(p.app_id, g_app.app_id);
    EXPECT_EQ(p.type_id, 1);
    EXPECT_STREQ(p.hostname, g_app.hostname);
    ASSERT_EQ(p.data_len, static_cast<uint32_t>(rec_len_));
    EXPECT_EQ(memcmp(p.data, rec_, p.data_len), 0);
    bsv_value_exit(v);
}

TEST_P(Packets, BadPacketsAreRefusedWithTheirReason)
{
    uint8_t good[BSV_NET_MAX];
    const int n = bsv_pack_log(good, 0, rec_, static_cast<uint32_t>(rec_len_));
    ASSERT_GT(n, 0);
    struct bad_row {
        const char *what;
        int at;             // byte to change, -1 none
        uint8_t value;
        int len;            // length handed to the parser
        const char *logged;
    };
    const bad_row rows[] = {
        {"short", -1, 0, 15, "len=15 error: len<16 \n"},
        {"magic", 0, 'x', n, "magic 0x78-0x73-0x76 error\n"},
        {"version", 3, static_cast<uint8_t>(good[3] | 0x10), n, "ver=1 not supportd\n"},
        {"crc", n - 1, static_cast<uint8_t>(good[n - 1] ^ 0x5a), n, "crc check failed\n"},
        {"cut datagram", -1, 0, n - 1, "crc check failed\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<uint8_t> pkt(good, good + n);
        if (r.at >= 0)
            pkt[static_cast<size_t>(r.at)] = r.value;
        log_capture cap;
        EXPECT_EQ(bsv_parse_net_type(pkt.data(), static_cast<uint32_t>(r.len)), -1);
        EXPECT_TRUE(saw(cap, "bsv", r.logged));
    }
    // A length field that differs from the datagram (CRC made to match).
    if (!GetParam()) {
        std::vector<uint8_t> pkt(good, good + n);
        pkt[4] ^= 1;
        pkt[static_cast<size_t>(n) - 1] = hash_crc8(pkt.data() + 3, static_cast<size_t>(n) - 4, 0);
        log_capture cap;
        EXPECT_EQ(bsv_parse_net_type(pkt.data(), static_cast<uint32_t>(n)), -1);
        EXPECT_TRUE(saw(cap, "bsv", "len=" + std::to_string(n) + " dlen=" + std::to_string(n ^ 1) +
                                     " endian=0 error: len!=dlen\n"));
    } else {
        // Enciphered with another key: what the parser deciphers fails its
        // check.
        std::vector<uint8_t> pkt(good, good + n);
        rc4_ctx rc4;
        ASSERT_EQ(rc4_init(&rc4, BSV_NET_KEY, sizeof(BSV_NET_KEY)), 0);
        rc4_crypt(&rc4, pkt.data() + 4, pkt.data() + 4, pkt.size() - 4);
        const uint8_t other[] = "another key";
        ASSERT_EQ(rc4_init(&rc4, other, sizeof(other) - 1), 0);
        rc4_crypt(&rc4, pkt.data() + 4, pkt.data() + 4, pkt.size() - 4);
        // The packet holds the time and host: one in 256 would decipher to
        // a matching check byte, which one flipped bit makes wrong again.
        std::vector<uint8_t> seen = pkt;
        ASSERT_EQ(rc4_init(&rc4, BSV_NET_KEY, sizeof(BSV_NET_KEY)), 0);
        rc4_crypt(&rc4, seen.data() + 4, seen.data() + 4, seen.size() - 4);
        if (hash_crc8(seen.data() + 3, static_cast<size_t>(n) - 4, 0) == seen[static_cast<size_t>(n) - 1])
            pkt[static_cast<size_t>(n) - 1] ^= 1;
        log_capture cap;
        EXPECT_EQ(bsv_parse_net_type(pkt.data(), static_cast<uint32_t>(n)), -1);
        EXPECT_TRUE(saw(cap, "bsv", "crc check failed\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(Bsv, Packets, ::testing::Bool(),
                         [](const auto &row) { return row.param ? "Udps" : "Udp"; });

TEST(BsvPacketSize, HostAndRecordOf1430BytesAreNotSentOneLessIs)
{
    const size_t host = strlen(g_app.hostname) + 1;
    std::vector<uint8_t> rec(BSV_NET_VAR_ROOM - host, 'r');
    uint8_t pkt[BSV_NET_MAX];
    EXPECT_EQ(bsv_pack_log(pkt, 0, rec.data(), static_cast<uint32_t>(rec.size())), -1);
    rec.pop_back();
    EXPECT_EQ(bsv_pack_log(pkt, 0, rec.data(), static_cast<uint32_t>(rec.size())), static_cast<int>(BSV_NET_MAX));
    // The finisher refuses a content beyond its limit whatever its caller.
    bsv_net_head(pkt, 5);
    EXPECT_EQ(bsv_net_finish(pkt, BSV_NET_CONTENT_MAX + 1), -1);
    EXPECT_EQ(bsv_net_finish(pkt, 16), 17);
}

TEST(BsvPacketSize, PayloadOfAPacketTooShortOrOfTheOtherOrderIsRefused)
{
    uint8_t rec[BSV_LOG_MAX];
    const int rn = bsv_log_record(rec, LOG2_ERR, "t", "a.c", 1, "fn", "x");
    uint8_t pkt[BSV_NET_MAX];
    const int n = bsv_pack_log(pkt, 3, rec, static_cast<uint32_t>(rn));
    ASSERT_GT(n, 0);
    bsv_value *big = bsv_type_open_value(6);
    bsv_value *little = bsv_type_open_value(5);
    bsv_net_payload p{};
    EXPECT_EQ(bsv_parse_net_payload(pkt, static_cast<uint32_t>(n), big, &p), -1);
    EXPECT_EQ(bsv_parse_net_payload(pkt, 40, little, &p), -1);
    ASSERT_EQ(bsv_parse_net_payload(pkt, static_cast<uint32_t>(n), little, &p), 0);
    EXPECT_EQ(p.type_id, 3);
    bsv_value_exit(big);
    bsv_value_exit(little);
}

}  // namespace
