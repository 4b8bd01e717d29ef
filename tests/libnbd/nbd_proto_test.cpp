#include "libnbd/nbd_proto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list)
{
    std::vector<uint8_t> v;
    for (int b : list) {
        v.push_back(static_cast<uint8_t>(b));
    }
    return v;
}

// The data of an NBD_OPT_INFO / NBD_OPT_GO option.
std::vector<uint8_t> info_data(const std::string &name, std::vector<uint16_t> reqs, int extra = 0)
{
    std::vector<uint8_t> v(4 + name.size() + 2 + 2 * reqs.size() + static_cast<size_t>(std::max(extra, 0)));
    be32_store(v.data(), static_cast<uint32_t>(name.size()));
    std::copy(name.begin(), name.end(), v.begin() + 4);
    be16_store(v.data() + 4 + name.size(), static_cast<uint16_t>(reqs.size()));
    for (size_t i = 0; i < reqs.size(); i++) {
        be16_store(v.data() + 6 + name.size() + 2 * i, reqs[i]);
    }
    // A negative extra cuts the data short of what its counts promise.
    if (extra < 0)
        v.resize(v.size() - static_cast<size_t>(-extra));
    return v;
}

}  // namespace

TEST(NbdWire, GreetingIsFixedNewstyleWithNoZeroes)
{
    uint8_t g[NBD_GREETING_SIZE];
    nbd_greeting_encode(g);
    EXPECT_EQ(std::vector<uint8_t>(g, g + sizeof(g)),
              bytes({'N', 'B', 'D', 'M', 'A', 'G', 'I', 'C', 'I', 'H', 'A', 'V', 'E', 'O', 'P', 'T', 0, 3}));
}

TEST(NbdWire, OptionReplyAndExportInfoAreBigEndian)
{
    uint8_t r[NBD_OPT_REPLY_SIZE];
    nbd_opt_reply_encode(r, NBD_OPT_GO, NBD_REP_ERR_POLICY, 0x30);
    EXPECT_EQ(std::vector<uint8_t>(r, r + sizeof(r)),
              bytes({0x00, 0x03, 0xe8, 0x89, 0x04, 0x55, 0x65, 0xa9, 0, 0, 0, 7, 0x80, 0, 0, 2, 0, 0, 0, 0x30}));
    uint8_t e[NBD_EXPORT_INFO_SIZE];
    nbd_export_info_encode(e, 0x0102030405060708ULL, nbd_transmission_flags(true));
    EXPECT_EQ(std::vector<uint8_t>(e, e + sizeof(e)), bytes({1, 2, 3, 4, 5, 6, 7, 8, 0x01, 0x43}));
    nbd_export_info_encode(e, 1, nbd_transmission_flags(false));
    EXPECT_EQ(e[8], 0x00);
    EXPECT_EQ(e[9], 0x6d);
}

TEST(NbdWire, RequestParsesAndReplyReturnsTheHandle)
{
    const auto in = bytes({0x25, 0x60, 0x95, 0x13, 0x00, 0x01, 0x00, 0x06, 0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4,
                           0, 0, 0, 1, 0, 0, 0x10, 0, 0x00, 0x10, 0x00, 0x00});
    nbd_request req;
    nbd_request_parse(in.data(), &req);
    EXPECT_EQ(req.magic, NBD_REQUEST_MAGIC);
    EXPECT_EQ(req.flags, NBD_CMD_FLAG_FUA);
    EXPECT_EQ(req.type, NBD_CMD_WRITE_ZEROES);
    EXPECT_EQ(req.handle, 0xdeadbeef01020304ULL);
    EXPECT_EQ(req.offset, 0x100001000ULL);
    EXPECT_EQ(req.len, 0x100000U);

    uint8_t out[NBD_REPLY_SIZE];
    nbd_reply_encode(out, NBD_ENOSPC, req.handle);
    EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof(out)),
              bytes({0x67, 0x44, 0x66, 0x98, 0, 0, 0, 28, 0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4}));
}

TEST(NbdWire, BlockSizesAreWholeUnitsForAnEncryptedExport)
{
    const struct {
        bool encrypted;
        std::vector<uint8_t> want;  // type 3, minimum, preferred 4096, maximum 32 MiB
    } cases[] = {
        {false, {0, 3, 0, 0, 0, 1, 0, 0, 0x10, 0, 0x02, 0, 0, 0}},
        {true, {0, 3, 0, 0, 2, 0, 0, 0, 0x10, 0, 0x02, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.encrypted);
        uint8_t out[NBD_BLOCK_SIZE_REPLY_SIZE];
        nbd_block_size_encode(out, c.encrypted);
        EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof(out)), c.want);
    }
}

TEST(NbdErrors, BlockCodesMapToClientErrnoInWireOrder)
{
    const struct {
        int code;
        uint32_t nbd;
    } cases[] = {
        {-38, 1}, {-250, 5}, {-254, 5}, {-8, 12}, {-128, 28}, {-152, 28},
        {-1, 22}, {-2, 22}, {0, 22}, {-12, 22}, {-70, 22}, {203, 22},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        const uint32_t wire = nbd_err_to_errno(c.code);
        uint8_t b[4];
        memcpy(b, &wire, 4);
        EXPECT_EQ(be32_load(b), c.nbd);
        EXPECT_EQ(nbd_errno_host(wire), c.nbd);
    }
}

TEST(NbdRequestCheck, VerdictsInOrder)
{
    constexpr uint64_t size = 1 << 20;
    const struct {
        const char *what;
        uint16_t flags;
        uint16_t type;
        uint64_t offset;
        uint32_t len;
        bool readonly;
        nbd_req_verdict verdict;
        uint32_t err;
    } cases[] = {
        {"read inside", 0, NBD_CMD_READ, 0, 4096, true, nbd_req_verdict::ok, 0},
        {"read to the last byte", 0, NBD_CMD_READ, size - 512, 512, true, nbd_req_verdict::ok, 0},
        {"read of nothing at the end", 0, NBD_CMD_READ, size, 0, true, nbd_req_verdict::ok, 0},
        {"read past the end", 0, NBD_CMD_READ, size - 512, 1024, true, nbd_req_verdict::past_end, 22},
        {"read offset wraps", 0, NBD_CMD_READ, UINT64_MAX - 10, 4096, true, nbd_req_verdict::past_end, 22},
        {"write past the end", 0, NBD_CMD_WRITE, size, 1, false, nbd_req_verdict::past_end, 28},
        {"zeroes past the end", 0, NBD_CMD_WRITE_ZEROES, size + 1, 0, false, nbd_req_verdict::past_end, 28},
        {"trim past the end", 0, NBD_CMD_TRIM, 0, size + 1, false, nbd_req_verdict::past_end, 22},
        {"flush ignores offset", 0, NBD_CMD_FLUSH, UINT64_MAX, 7, false, nbd_req_verdict::ok, 0},
        {"fua and no-hole pass", 3, NBD_CMD_WRITE, 0, 512, false, nbd_req_verdict::ok, 0},
        {"flag 4", 4, NBD_CMD_READ, 0, 512, false, nbd_req_verdict::bad_flags, 22},
        {"flag 4 beats read-only", 5, NBD_CMD_WRITE, 0, 512, true, nbd_req_verdict::bad_flags, 22},
        {"high flag", 0x8000, NBD_CMD_FLUSH, 0, 0, false, nbd_req_verdict::bad_flags, 22},
        {"type 5", 0, 5, 0, 0, false, nbd_req_verdict::unknown_cmd, 22},
        {"type 7", 0, 7, 0, 0, false, nbd_req_verdict::unknown_cmd, 22},
        {"disc with fua", 1, NBD_CMD_DISC, 0, 0, false, nbd_req_verdict::unknown_cmd, 22},
        {"write read-only", 0, NBD_CMD_WRITE, 0, 512, true, nbd_req_verdict::read_only, 1},
        {"zeroes read-only", 0, NBD_CMD_WRITE_ZEROES, 0, 512, true, nbd_req_verdict::read_only, 1},
        {"trim read-only", 0, NBD_CMD_TRIM, 0, 512, true, nbd_req_verdict::read_only, 1},
        {"read-only beats the end", 0, NBD_CMD_WRITE, size, 512, true, nbd_req_verdict::read_only, 1},
        {"flush read-only", 0, NBD_CMD_FLUSH, 0, 0, true, nbd_req_verdict::ok, 0},
        {"read of 32 MiB", 0, NBD_CMD_READ, 0, NBD_REQ_BUF_MAX, false, nbd_req_verdict::past_end, 22},
        {"read above 32 MiB", 0, NBD_CMD_READ, 0, NBD_REQ_BUF_MAX + 1, false, nbd_req_verdict::too_large, 22},
        {"write above 32 MiB", 0, NBD_CMD_WRITE, 0, UINT32_MAX, false, nbd_req_verdict::too_large, 22},
        {"zeroes of 4 GiB - 1 is no buffer", 0, NBD_CMD_WRITE_ZEROES, 0, UINT32_MAX, false, nbd_req_verdict::past_end,
         28},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const nbd_request req{NBD_REQUEST_MAGIC, c.flags, c.type, 1, c.offset, c.len};
        const auto v = nbd_request_check(&req, size, c.readonly);
        EXPECT_EQ(v, c.verdict);
        EXPECT_EQ(nbd_req_verdict_errno(v, c.type), c.err);
    }
    const nbd_request big{NBD_REQUEST_MAGIC, 0, NBD_CMD_WRITE_ZEROES, 1, 0, UINT32_MAX};
    EXPECT_EQ(nbd_request_check(&big, uint64_t{8} << 30, false), nbd_req_verdict::ok);
}

TEST(NbdClientFlags, OnlyTheKnownBitsPass)
{
    const struct {
        uint32_t cflags;
        bool ok;
    } cases[] = {
        {0, true}, {1, true}, {2, true}, {3, true},
        {4, false}, {0xfffffffc, false}, {0x80000001, false}, {0xffffffff, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(nbd_client_flags_ok(c.cflags), c.ok) << std::hex << c.cflags;
    }
}

TEST(NbdInfoOption, LengthRuleHasNoWrap)
{
    EXPECT_TRUE(nbd_info_len_ok(6, 0));
    EXPECT_TRUE(nbd_info_len_ok(10, 4));
    EXPECT_FALSE(nbd_info_len_ok(5, 0));
    EXPECT_FALSE(nbd_info_len_ok(9, 4));
    EXPECT_FALSE(nbd_info_len_ok(0, 0));
    EXPECT_FALSE(nbd_info_len_ok(100, UINT32_MAX - 2));
    EXPECT_FALSE(nbd_info_len_ok(UINT32_MAX, UINT32_MAX - 5));
}

TEST(NbdInfoOption, ParseTable)
{
    const struct {
        const char *what;
        std::vector<uint8_t> data;
        nbd_info_verdict verdict;
        std::string name;
        uint16_t export_reqs;
        bool block_size_req;
    } cases[] = {
        {"name and no requests", info_data("/tmp/a", {}), nbd_info_verdict::ok, "/tmp/a", 0, false},
        {"empty name", info_data("", {}), nbd_info_verdict::ok, "", 0, false},
        {"requests 3 and 1", info_data("x", {3, 1}), nbd_info_verdict::ok, "x", 0, true},
        {"export asked twice", info_data("x", {0, 2, 0}), nbd_info_verdict::ok, "x", 2, false},
        {"length 5 name 0", bytes({0, 0, 0, 0, 0}), nbd_info_verdict::too_small, "", 0, false},
        {"shorter than a name length", bytes({0, 0}), nbd_info_verdict::too_small, "", 0, false},
        {"name runs past the option", info_data("abc", {}, -1), nbd_info_verdict::too_small, "", 0, false},
        {"one request missing", info_data("abc", {0, 0}, -2), nbd_info_verdict::bad_length, "abc", 0, false},
        {"trailing byte", info_data("abc", {0}, 1), nbd_info_verdict::bad_length, "abc", 0, false},
        {"name at the cap", info_data(std::string(NBD_NAME_MAX, 'n'), {}), nbd_info_verdict::ok,
         std::string(NBD_NAME_MAX, 'n'), 0, false},
        {"name above the cap", info_data(std::string(NBD_NAME_MAX + 1, 'n'), {}), nbd_info_verdict::name_too_long,
         "", 0, false},
        {"NUL at the start", info_data(std::string("\0/a.img", 7), {}), nbd_info_verdict::name_has_nul, "", 0,
         false},
        {"NUL before the query", info_data(std::string("/a.img\0?alg=aes", 15), {}),
         nbd_info_verdict::name_has_nul, "", 0, false},
        {"NUL at the end", info_data(std::string("/a.img\0", 7), {0}), nbd_info_verdict::name_has_nul, "", 0,
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        nbd_info_opt opt;
        EXPECT_EQ(nbd_info_parse(c.data, &opt), c.verdict);
        if (c.verdict == nbd_info_verdict::ok || c.verdict == nbd_info_verdict::bad_length) {
            EXPECT_EQ(std::string(opt.name), c.name);
        }
        if (c.verdict == nbd_info_verdict::ok) {
            EXPECT_EQ(opt.export_reqs, c.export_reqs);
            EXPECT_EQ(opt.block_size_req, c.block_size_req);
        }
        EXPECT_NE(std::string(nbd_info_verdict_text(c.verdict)).empty(), c.verdict != nbd_info_verdict::ok);
    }
}

TEST(NbdListAlias, DriveFormsMappedAndLowerCasedOthersKept)
{
    const struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"/dev/sda", "/dev/sda"},
        {"/dev/Mapper/VG-Root", "/dev/Mapper/VG-Root"},
        {"\\\\.\\PhysicalDrive3", "/dev/disk3"},
        {"\\\\.\\PhysicalDriveAB", "/dev/diskab"},
        {"\\\\.\\PhysicalMemory", "/dev/pmem"},
        {"\\\\.\\C:", "/dev/c"},
        {"\\\\.\\C:x", "\\\\.\\C:x"},
        {"\\\\.\\1:", "\\\\.\\1:"},
        {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        char out[NBD_LIST_NAME_MAX + 1];
        const size_t n = nbd_list_alias(c.in, out);
        EXPECT_STREQ(out, c.out);
        EXPECT_EQ(n, strlen(c.out));
    }
    const std::string longname(3000, 'L');
    char out[NBD_LIST_NAME_MAX + 1];
    EXPECT_EQ(nbd_list_alias(longname, out), NBD_LIST_NAME_MAX);
    EXPECT_EQ(std::string(out), std::string(NBD_LIST_NAME_MAX, 'L'));
    const std::string longdrive = "\\\\.\\PhysicalDrive" + std::string(3000, 'X');
    EXPECT_EQ(nbd_list_alias(longdrive, out), NBD_LIST_NAME_MAX);
    EXPECT_EQ(std::string(out, 9), "/dev/disk");
}
