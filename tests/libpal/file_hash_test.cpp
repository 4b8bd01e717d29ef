// The file-hash tool against the system's own digest programs (md5sum,
// sha1sum, sha256sum, sha512sum, openssl's SM3, xxh128sum), across block
// sizes, split ranges, resumes in this process and in another one, per-block
// digests in thread and pool mode, and the inputs it must refuse.
#include "libpal/tframe/file_hash.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/os_sync.h"
#include "libpal/hash/crc.h"
#include "libpal/hash/md5.h"
#include "libpal/hash/sha1.h"
#include "libpal/hash/sha256.h"
#include "libpal/hash/sha512.h"
#include "libpal/hash/sm3.h"
#include "libpal/hash/xxh3.h"
#include "libpal/os/os_file.h"
#include "libpal/string/str_array.h"
#include "tool_files.h"

namespace {

constexpr uint32_t k_whole = FILE_HASH_MD5 | FILE_HASH_SHA1 | FILE_HASH_SHA256 | FILE_HASH_SHA512 | FILE_HASH_SM3 |
                             FILE_HASH_XXH3;
constexpr uint32_t k_per_block = FILE_HASH_PMD5 | FILE_HASH_PSHA1 | FILE_HASH_PSHA256 | FILE_HASH_PSHA512 |
                                 FILE_HASH_PSM3 | FILE_HASH_PXXH3;
constexpr size_t k_file_size = (5u << 20) + 123;

struct system_digest {
    uint32_t flag;
    const char *name;
    const char *command;
    size_t size;
};

constexpr system_digest k_system[] = {
    {FILE_HASH_MD5, "md5", "md5sum", 16},
    {FILE_HASH_SHA1, "sha1", "sha1sum", 20},
    {FILE_HASH_SHA256, "sha256", "sha256sum", 32},
    {FILE_HASH_SHA512, "sha512", "sha512sum", 64},
    {FILE_HASH_SM3, "sm3", "openssl dgst -sm3 -r", 32},
    {FILE_HASH_XXH3, "xxh3", "xxh128sum", 16},
};

std::string system_hex(const system_digest &d, const std::string &path)
{
    const std::string out = command_out(std::string(d.command) + " '" + path + "' 2>/dev/null");
    return out.substr(0, out.find_first_of(" \t\n"));
}

// The rows of k_system whose program is installed (openssl and xxhash are
// packages of their own). The missing programs are named in *missing: a test
// compares the rows it has and then reports the others as skipped.
std::vector<system_digest> installed_rows(std::string *missing)
{
    std::vector<system_digest> rows;
    for (const system_digest &d : k_system) {
        const std::string command = d.command;
        const std::string program = command.substr(0, command.find(' '));
        if (system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0)
            rows.push_back(d);
        else
            *missing += (missing->empty() ? "" : ", ") + program;
    }
    return rows;
}

#define SKIP_MISSING_TOOLS(missing)                                               \
    do {                                                                          \
        if (!(missing).empty())                                                   \
            GTEST_SKIP() << (missing) << " not installed (make test installs them)"; \
    } while (0)

std::string tool_hex(file_hash_ctx *tool, const system_digest &d)
{
    std::array<uint8_t, 64> digest{};
    if (file_hash_get_digest(tool, d.flag, digest.data(), digest.size()) != 0)
        return "(no digest)";
    return hex_of(digest.data(), d.size);
}

struct tool_deleter {
    void operator()(file_hash_ctx *t) const { file_hash_close(t); }
};
using tool_ptr = std::unique_ptr<file_hash_ctx, tool_deleter>;

struct file_deleter {
    void operator()(os_file_ctx *f) const { os_file_close(f); }
};
using file_ptr = std::unique_ptr<os_file_ctx, file_deleter>;

class FileHash : public testing::Test {
protected:
    file_ptr open_file(const std::string &path)
    {
        file_ptr f(os_file_open(path.c_str(), 1));
        EXPECT_TRUE(f) << path;
        return f;
    }
    tool_ptr open_tool(file_hash_param p)
    {
        err_ = verr{};
        return tool_ptr(file_hash_open(&p, &err_));
    }
    static file_hash_param param(void *handle, uint32_t flags, uint32_t block_size)
    {
        file_hash_param p{};
        p.flags = flags;
        p.handle = handle;
        p.block_size = block_size;
        return p;
    }
    tool_dir dir_;
    verr err_{};
};

// The per-block combined value of blocks, computed here from their digests.
std::vector<uint8_t> folded(const std::vector<std::vector<uint8_t>> &digests)
{
    std::vector<uint32_t> sums(digests.at(0).size());
    for (const auto &d : digests)
        for (size_t i = 0; i < d.size(); i++)
            sums[i] += d[i];
    std::vector<uint8_t> out;
    for (uint32_t s : sums) {
        const uint8_t le[4] = {static_cast<uint8_t>(s), static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s >> 16),
                               static_cast<uint8_t>(s >> 24)};
        out.push_back(hash_crc8(le, 4, 0));
    }
    return out;
}

class FileHashBlockSize : public FileHash, public testing::WithParamInterface<uint32_t> {};

TEST_P(FileHashBlockSize, WholeRangeDigestsMatchTheSystemTools)
{
    std::string missing;
    const std::vector<system_digest> rows = installed_rows(&missing);
    const std::string path = dir_.write("random.bin", random_bytes(k_file_size, 26));
    file_ptr f = open_file(path);
    tool_ptr t = open_tool(param(f.get(), k_whole, GetParam()));
    ASSERT_TRUE(t) << verr_msg(&err_);
    ASSERT_EQ(file_hash_cal(t.get(), 0, k_file_size), 0) << verr_msg(&err_);
    for (const system_digest &d : rows) {
        SCOPED_TRACE(d.command);
        const std::string want = system_hex(d, path);
        ASSERT_EQ(want.size(), 2 * d.size) << "the system tool gave no digest";
        EXPECT_EQ(tool_hex(t.get(), d), want);
        EXPECT_EQ(tool_hex(t.get(), d), want) << "asking again gives the same digest";
    }
    SKIP_MISSING_TOOLS(missing);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileHashBlockSize, testing::Values(4096u, 65536u, 1u << 20),
                         [](const testing::TestParamInfo<uint32_t> &i) { return "Block" + std::to_string(i.param); });

TEST_F(FileHash, EmptyFileGivesTheEmptyMessageDigests)
{
    std::string missing;
    const std::vector<system_digest> rows = installed_rows(&missing);
    const std::string path = dir_.write("empty.bin", {});
    file_ptr f = open_file(path);
    tool_ptr t = open_tool(param(f.get(), k_whole, 4096));
    ASSERT_TRUE(t);
    ASSERT_EQ(file_hash_cal(t.get(), 0, 0), 0) << verr_msg(&err_);
    for (const system_digest &d : rows)
        EXPECT_EQ(tool_hex(t.get(), d), system_hex(d, path)) << d.command;
    SKIP_MISSING_TOOLS(missing);
}

TEST_F(FileHash, TwoRangesGiveTheDigestsOfOne)
{
    std::string missing;
    const std::vector<system_digest> rows = installed_rows(&missing);
    const std::string path = dir_.write("random.bin", random_bytes(k_file_size, 7));
    file_ptr f = open_file(path);
    tool_ptr t = open_tool(param(f.get(), k_whole, 65536));
    ASSERT_TRUE(t);
    const uint64_t first = 48 * 65536;  // whole blocks, longer than the rest
    ASSERT_EQ(file_hash_cal(t.get(), 0, first), 0) << verr_msg(&err_);
    ASSERT_EQ(file_hash_cal(t.get(), first, k_file_size - first), 0) << verr_msg(&err_);
    for (const system_digest &d : rows)
        EXPECT_EQ(tool_hex(t.get(), d), system_hex(d, path)) << d.command;
    SKIP_MISSING_TOOLS(missing);
}

TEST_F(FileHash, ResumesInThisProcessAndInAnother)
{
    std::string missing;
    const std::vector<system_digest> rows = installed_rows(&missing);
    const std::string path = dir_.write("random.bin", random_bytes(k_file_size, 11));
    const uint64_t half = 40 * 65536;
    std::string saved(8192, '\0');
    {
        file_ptr f = open_file(path);
        tool_ptr t = open_tool(param(f.get(), k_whole | FILE_HASH_PSHA256, 65536));
        ASSERT_TRUE(t);
        ASSERT_EQ(file_hash_cal(t.get(), 0, half), 0) << verr_msg(&err_);
        ASSERT_EQ(file_hash_get_result(t.get(), saved.data(), saved.size()), 0);
        saved.resize(strlen(saved.c_str()));
    }
    // The first line is MD5's context text after the first half.
    const auto bytes = random_bytes(k_file_size, 11);
    md5_ctx md5;
    pl_md5_init(&md5);
    pl_md5_update(&md5, bytes.data(), half);
    char md5_text[PL_MD5_CTX_TEXT_SIZE];
    ASSERT_EQ(pl_md5_get_ctx(&md5, md5_text, sizeof(md5_text)), 0);
    EXPECT_EQ(saved.substr(0, saved.find('\n')), std::string("md5 ") + md5_text);
    EXPECT_NE(saved.find("\npsha256 "), std::string::npos);
    EXPECT_NE(saved.back(), '\n');

    // In this process: the saved text given to a new tool.
    file_ptr f = open_file(path);
    file_hash_param p = param(f.get(), k_whole | FILE_HASH_PSHA256, 65536);
    p.saved = saved.c_str();
    tool_ptr t = open_tool(p);
    ASSERT_TRUE(t) << verr_msg(&err_);
    ASSERT_EQ(file_hash_cal(t.get(), half, k_file_size - half), 0) << verr_msg(&err_);
    for (const system_digest &d : rows)
        EXPECT_EQ(tool_hex(t.get(), d), system_hex(d, path)) << d.command;

    // In another process: it reads the text from a file and prints its digests.
    const std::string text_path = dir_.write("saved.txt", std::vector<uint8_t>(saved.begin(), saved.end()));
    const std::string out = command_out(std::string(FILE_HASH_RESUME_BIN) + " '" + path + "' " +
                                        std::to_string(k_whole | FILE_HASH_PSHA256) + " 65536 " +
                                        std::to_string(half) + " '" + text_path + "'");
    for (const system_digest &d : rows)
        EXPECT_NE(out.find(std::string(d.name) + " " + system_hex(d, path) + "\n"), std::string::npos)
            << d.command << " in:\n" << out;
    std::array<uint8_t, 32> here{};
    ASSERT_EQ(file_hash_get_digest(t.get(), FILE_HASH_PSHA256, here.data(), here.size()), 0);
    EXPECT_NE(out.find("psha256 " + hex_of(here.data(), 32) + "\n"), std::string::npos) << out;
    SKIP_MISSING_TOOLS(missing);
}

TEST_F(FileHash, SetCtxRestoresEveryAlgorithmOrNothing)
{
    const auto bytes = random_bytes(3 * 4096, 3);
    const std::string path = dir_.write("r.bin", bytes);
    file_ptr f = open_file(path);
    tool_ptr a = open_tool(param(f.get(), FILE_HASH_MD5 | FILE_HASH_SHA256 | FILE_HASH_PMD5, 4096));
    ASSERT_TRUE(a);
    ASSERT_EQ(file_hash_cal(a.get(), 0, 4096), 0);
    std::string saved(4096, '\0');
    ASSERT_EQ(file_hash_get_result(a.get(), saved.data(), saved.size()), 0);

    file_hash_param p = param(f.get(), FILE_HASH_MD5 | FILE_HASH_SHA256 | FILE_HASH_PMD5, 4096);
    p.block_count = 2;  // ranges of up to two blocks
    tool_ptr b = open_tool(p);
    ASSERT_TRUE(b);
    ASSERT_EQ(file_hash_cal(b.get(), 0, 4096), 0);
    ASSERT_EQ(file_hash_cal(b.get(), 4096, 4096), 0);
    std::array<uint8_t, 32> before{}, after{};
    ASSERT_EQ(file_hash_get_digest(b.get(), FILE_HASH_SHA256, before.data(), before.size()), 0);
    // A text without the SHA-256 line changes nothing.
    const std::string md5_only = saved.substr(0, saved.find('\n'));
    EXPECT_EQ(file_hash_set_ctx(b.get(), md5_only.c_str()), -1);
    ASSERT_EQ(file_hash_get_digest(b.get(), FILE_HASH_SHA256, after.data(), after.size()), 0);
    EXPECT_EQ(before, after);
    // The whole text takes b back to the end of the first block.
    ASSERT_EQ(file_hash_set_ctx(b.get(), saved.c_str()), 0);
    ASSERT_EQ(file_hash_cal(b.get(), 4096, 8192), 0);
    ASSERT_EQ(file_hash_get_digest(b.get(), FILE_HASH_SHA256, after.data(), after.size()), 0);
    std::array<uint8_t, 32> want{};
    pl_sha256_buf(bytes.data(), bytes.size(), want.data());
    EXPECT_EQ(after, want);
}

class FileHashPerBlock : public FileHash, public testing::WithParamInterface<bool> {};

TEST_P(FileHashPerBlock, FoldsBlockDigestsAndListsThemInBlockOrder)
{
    const bool pool = GetParam();
    constexpr uint32_t bs = 4096;
    constexpr size_t blocks = 64;
    const auto bytes = random_bytes(blocks * bs - 100, 5);  // the last block is short
    const std::string path = dir_.write("r.bin", bytes);
    file_ptr f = open_file(path);
    file_hash_param p = param(f.get(), FILE_HASH_PMD5 | FILE_HASH_PSHA256, bs);
    p.use_pool = pool ? 1 : 0;
    tool_ptr t = open_tool(p);
    ASSERT_TRUE(t);
    ASSERT_EQ(file_hash_cal(t.get(), 0, bytes.size()), 0) << verr_msg(&err_);
    EXPECT_EQ(t->pool != nullptr, pool);
    EXPECT_EQ(t->ring != nullptr, !pool);

    std::vector<std::vector<uint8_t>> md5s;
    std::string listed = "pmd5 ";
    for (size_t i = 0; i < blocks; i++) {
        const size_t n = std::min<size_t>(bs, bytes.size() - i * bs);
        std::vector<uint8_t> d(16);
        pl_md5_buf(bytes.data() + i * bs, n, d.data());
        md5s.push_back(d);
        listed += (i == 0 ? "" : "|") + hex_of(d.data(), d.size());
    }
    std::vector<uint8_t> combined(16);
    ASSERT_EQ(file_hash_get_digest(t.get(), FILE_HASH_PMD5, combined.data(), combined.size()), 0);
    EXPECT_EQ(combined, folded(md5s));

    std::string text(blocks * 80 * 2, '\0');
    ASSERT_EQ(file_hash_get_presult(t.get(), text.data(), text.size()), 0);
    text.resize(strlen(text.c_str()));
    EXPECT_EQ(text.substr(0, text.find('\n')), listed);
    str_vector *v = str_vector_new(0);
    ASSERT_EQ(file_hash_split_records(text.c_str(), v), 0);
    EXPECT_EQ(v->count, blocks);
    str_vector_free(v);
    // The records are forgotten once listed; the folded value stays.
    ASSERT_EQ(file_hash_get_presult(t.get(), text.data(), text.size()), 0);
    EXPECT_EQ(std::string(text.c_str()), "pmd5 \npsha256 ");
    ASSERT_EQ(file_hash_get_digest(t.get(), FILE_HASH_PMD5, combined.data(), combined.size()), 0);
    EXPECT_EQ(combined, folded(md5s));
}

INSTANTIATE_TEST_SUITE_P(Modes, FileHashPerBlock, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &i) { return i.param ? "Pool" : "Thread"; });

struct per_block_digest {
    const char *name;
    uint32_t flag;
    size_t size;
    void (*one_shot)(const void *data, size_t len, uint8_t *digest);  // has known answers of its own
};

constexpr per_block_digest k_per_block_rows[] = {
    {"pmd5", FILE_HASH_PMD5, 16, pl_md5_buf},          {"psha1", FILE_HASH_PSHA1, 20, pl_sha1_buf},
    {"psha256", FILE_HASH_PSHA256, 32, pl_sha256_buf}, {"psha512", FILE_HASH_PSHA512, 64, pl_sha512_buf},
    {"psm3", FILE_HASH_PSM3, 32, pl_sm3_buf},          {"pxxh3", FILE_HASH_PXXH3, 16, pl_xxh3_128_buf},
};

// Each per-block algorithm, in both modes, against the fold of its blocks'
// one-shot digests: a fault the two modes share still shows, by name.
TEST_F(FileHash, PoolAndThreadModesAgreeOnEveryPerBlockAlgorithm)
{
    constexpr uint32_t bs = 8192;
    const auto bytes = random_bytes(300 * 1024 + 5, 9);
    const std::string path = dir_.write("r.bin", bytes);
    file_ptr f = open_file(path);
    for (int pool = 0; pool < 2; pool++) {
        file_hash_param p = param(f.get(), k_per_block, bs);
        p.use_pool = static_cast<uint8_t>(pool);
        tool_ptr t = open_tool(p);
        ASSERT_TRUE(t);
        ASSERT_EQ(file_hash_cal(t.get(), 0, bytes.size()), 0);
        for (const per_block_digest &a : k_per_block_rows) {
            SCOPED_TRACE(std::string(a.name) + (pool != 0 ? " in pool mode" : " in thread mode"));
            std::vector<std::vector<uint8_t>> blocks;
            for (size_t off = 0; off < bytes.size(); off += bs) {
                std::vector<uint8_t> d(a.size);
                a.one_shot(bytes.data() + off, std::min<size_t>(bs, bytes.size() - off), d.data());
                blocks.push_back(d);
            }
            std::vector<uint8_t> got(a.size);
            ASSERT_EQ(file_hash_get_digest(t.get(), a.flag, got.data(), got.size()), 0);
            EXPECT_EQ(got, folded(blocks));
        }
    }
}

// A read function that, at its first read, queues a job on the caller's
// one-worker pool that holds the worker until the gate opens.
struct gated {
    os_file_ctx *file;
    thread_pool *pool;
    std::atomic<bool> open{false};
    bool queued = false;
};

void hold_worker(void *arg)
{
    while (!static_cast<gated *>(arg)->open.load())
        os_sleep_ms(1);
}

int64_t gated_read(void *h, void *buf, size_t n, uint64_t off)
{
    auto *g = static_cast<gated *>(h);
    if (!g->queued) {
        g->queued = true;
        thread_pool_add(g->pool, hold_worker, g);
    }
    return os_file_pread(g->file, buf, n, off);
}

TEST_F(FileHash, CallersPoolDrainIsBoundedAndThePoolStaysTheirs)
{
    const std::string path = dir_.write("r.bin", random_bytes(4 * 4096, 6));
    file_ptr f = open_file(path);
    thread_pool_param pp{1, "caller_pool", nullptr};
    thread_pool *pool = thread_pool_init(&pp);
    ASSERT_NE(pool, nullptr);
    gated g{f.get(), pool};
    file_hash_param p = param(&g, FILE_HASH_PMD5, 4096);
    p.use_pool = 1;
    p.pool = pool;
    p.read = gated_read;
    p.timeout_ms = 300;
    tool_ptr t = open_tool(p);
    ASSERT_TRUE(t);
    // The blocks wait behind the held worker: the drain gives up in time.
    EXPECT_EQ(file_hash_cal(t.get(), 0, 4 * 4096), -1);
    EXPECT_EQ(err_.code, -40);
    EXPECT_EQ(file_hash_cal(t.get(), 0, 4 * 4096), -1) << "jobs still pending";
    EXPECT_STREQ(verr_msg(&err_), "thread_pool must empty");
    g.open = true;
    t.reset();
    EXPECT_EQ(thread_pool_pending(pool), 0) << "closing waited for the tool's jobs";
    EXPECT_EQ(thread_pool_add(pool, hold_worker, &g), 0) << "the pool is still the caller's";
    thread_ctx_exit(pool);
}

TEST_F(FileHash, WholeRangeAlgorithmKeepsThreadModeWithUsePool)
{
    const std::string path = dir_.write("r.bin", random_bytes(5 * 4096, 1));
    file_ptr f = open_file(path);
    file_hash_param p = param(f.get(), FILE_HASH_MD5 | FILE_HASH_PMD5, 4096);
    p.use_pool = 1;
    tool_ptr t = open_tool(p);
    ASSERT_TRUE(t);
    ASSERT_EQ(file_hash_cal(t.get(), 0, 5 * 4096), 0);
    EXPECT_EQ(t->pool, nullptr);
    EXPECT_NE(t->ring, nullptr);
    EXPECT_EQ(tool_hex(t.get(), k_system[0]), system_hex(k_system[0], path));
}

// 80 MiB of zeros (a sparse file): more than the 64 MiB ring, which is drained
// and started over within the range in both modes.
TEST_F(FileHash, RangeLongerThanTheRingReusesIt)
{
    const std::string path = dir_.path() + "/sparse.bin";
    constexpr uint64_t size = 80u << 20;
    ASSERT_EQ(truncate(dir_.write("sparse.bin", {}).c_str(), size), 0);
    file_ptr f = open_file(path);
    tool_ptr thread = open_tool(param(f.get(), FILE_HASH_MD5, 1u << 20));
    ASSERT_TRUE(thread);
    ASSERT_EQ(file_hash_cal(thread.get(), 0, size), 0) << verr_msg(&err_);
    EXPECT_EQ(tool_hex(thread.get(), k_system[0]), system_hex(k_system[0], path));

    file_hash_param p = param(f.get(), FILE_HASH_PMD5, 1u << 20);
    p.use_pool = 1;
    tool_ptr pool = open_tool(p);
    ASSERT_TRUE(pool);
    ASSERT_EQ(file_hash_cal(pool.get(), 0, size), 0) << verr_msg(&err_);
    std::vector<uint8_t> block(16), zeros(1u << 20);
    pl_md5_buf(zeros.data(), zeros.size(), block.data());
    std::vector<uint8_t> combined(16);
    ASSERT_EQ(file_hash_get_digest(pool.get(), FILE_HASH_PMD5, combined.data(), combined.size()), 0);
    EXPECT_EQ(combined, folded(std::vector<std::vector<uint8_t>>(80, block)));
}

TEST_F(FileHash, RangeAfterAShortBlockStillHashes)
{
    const auto bytes = random_bytes(10000, 4);
    const std::string path = dir_.write("r.bin", bytes);
    file_ptr f = open_file(path);
    tool_ptr t = open_tool(param(f.get(), FILE_HASH_SHA256, 4096));
    ASSERT_TRUE(t);
    ASSERT_EQ(file_hash_cal(t.get(), 0, 5000), 0);  // ends with a block of 904 bytes
    ASSERT_EQ(file_hash_cal(t.get(), 5000, 5000), 0) << verr_msg(&err_);
    std::array<uint8_t, 32> got{}, want{};
    ASSERT_EQ(file_hash_get_digest(t.get(), FILE_HASH_SHA256, got.data(), got.size()), 0);
    pl_sha256_buf(bytes.data(), bytes.size(), want.data());
    EXPECT_EQ(got, want);
}

TEST_F(FileHash, LongerSecondRangeFails)
{
    const std::string path = dir_.write("r.bin", random_bytes(4 * 4096, 2));
    file_ptr f = open_file(path);
    tool_ptr t = open_tool(param(f.get(), FILE_HASH_MD5, 4096));
    ASSERT_TRUE(t);
    ASSERT_EQ(file_hash_cal(t.get(), 0, 4096), 0);
    EXPECT_EQ(file_hash_cal(t.get(), 4096, 2 * 4096), -1);
    EXPECT_NE(std::string(verr_msg(&err_)).find("max_len"), std::string::npos) << verr_msg(&err_);
}

TEST_F(FileHash, DigestNeedsRoomAndAnEnabledAlgorithm)
{
    const std::string path = dir_.write("r.bin", random_bytes(100, 2));
    file_ptr f = open_file(path);
    tool_ptr t = open_tool(param(f.get(), FILE_HASH_MD5 | FILE_HASH_SHA1, 4096));
    ASSERT_TRUE(t);
    ASSERT_EQ(file_hash_cal(t.get(), 0, 100), 0);
    std::array<uint8_t, 16> d{};
    EXPECT_EQ(file_hash_get_digest(t.get(), FILE_HASH_MD5, d.data(), 15), -1);
    EXPECT_EQ(file_hash_get_digest(t.get(), FILE_HASH_SHA256, d.data(), d.size()), -1);
    ASSERT_EQ(file_hash_get_digest(t.get(), FILE_HASH_MD5 | FILE_HASH_SHA1, d.data(), d.size()), 0);
    EXPECT_EQ(hex_of(d.data(), 16), system_hex(k_system[0], path));
    char tiny[8];
    EXPECT_EQ(file_hash_get_result(t.get(), tiny, sizeof(tiny)), -1);
    EXPECT_STREQ(tiny, "");
}

TEST(FileHashText, FlagNamesBothWays)
{
    EXPECT_STREQ(file_hash_flags_str(0x805), "md5|pmd5|pxxh3");
    EXPECT_STREQ(file_hash_flags_str(FILE_HASH_ALL),
                 "md5|sha1|sha256|sha512|sm3|xxh3|pmd5|psha1|psha256|psha512|psm3|pxxh3");
    const struct {
        const char *text;
        int flags;
    } rows[] = {
        {"md5,pmd5,pxxh3", 0x805}, {"md5|pmd5|pxxh3", -1}, {"", -1},          {"sha256,bogus", 0x10},
        {",,", -1},                {"sm3,psm3", 0x300},    {"MD5", -1},       {"xxh3", 0x400},
    };
    for (const auto &r : rows)
        EXPECT_EQ(file_hash_str_flags(r.text), r.flags) << r.text;
}

TEST(FileHashText, FindCtxTakesTheFirstNamedLine)
{
    const char *text = "md5 1,2\npmd5 3,4\nsha1 5\npxxh3 6";
    const struct {
        uint32_t flag;
        const char *want;
    } rows[] = {
        {FILE_HASH_MD5, "1,2"}, {FILE_HASH_PMD5, "3,4"}, {FILE_HASH_SHA1, "5"},
        {FILE_HASH_PXXH3, "6"}, {FILE_HASH_SHA256, ""},  {FILE_HASH_PMD5 | FILE_HASH_MD5, "1,2"},
    };
    for (const auto &r : rows) {
        char out[64] = "junk";
        EXPECT_EQ(file_hash_find_ctx(text, r.flag, out, sizeof(out)), 0);
        EXPECT_STREQ(out, r.want) << r.flag;
    }
    str_vector *v = str_vector_new(0);
    EXPECT_EQ(file_hash_split_records("nospace", v), -1);
    ASSERT_EQ(file_hash_split_records("pmd5 aa|bb|cc\npsha1 dd", v), 0);
    ASSERT_EQ(v->count, 3u);
    EXPECT_STREQ(v->items[2], "cc");
    str_vector_free(v);
}

// A read function that shrinks the file under the tool after its first read.
struct shrinking {
    os_file_ctx *file;
    std::string path;
    int reads = 0;
};

int64_t shrinking_read(void *h, void *buf, size_t n, uint64_t off)
{
    auto *s = static_cast<shrinking *>(h);
    if (s->reads++ == 1 && truncate(s->path.c_str(), 4096) != 0)
        return -1;
    return os_file_pread(s->file, buf, n, off);
}

int64_t failing_read(void *, void *, size_t, uint64_t)
{
    return -1;
}

int own_error(void *, verr *err)
{
    verr_set(err, __FILE__, __LINE__, __func__, -250, "device says no");
    return 0;
}

TEST_F(FileHash, BadInputGetsItsError)
{
    const auto bytes = random_bytes(64 * 1024, 8);
    const std::string path = dir_.write("r.bin", bytes);
    file_ptr f = open_file(path);
    const auto open_code = [&](file_hash_param p) {
        tool_ptr t = open_tool(p);
        return t ? 0 : err_.code;
    };
    file_hash_param p = param(f.get(), FILE_HASH_MD5, 4096);
    p.flags = 0x1001;
    EXPECT_EQ(open_code(p), -37) << "unknown flag word";
    p.flags = 0;
    EXPECT_EQ(open_code(p), -2) << "no flags";
    p = param(f.get(), FILE_HASH_MD5, 4096);
    p.total_size = -1;
    EXPECT_EQ(open_code(p), -2) << "negative total size";
    EXPECT_EQ(open_code(param(f.get(), FILE_HASH_MD5, 0)), -2) << "block size 0";
    p = param(f.get(), FILE_HASH_MD5 | FILE_HASH_SHA1, 4096);
    p.saved = "md5 0,0";
    EXPECT_EQ(open_code(p), -2) << "a saved text that does not restore";
    p.block_count = 4;
    EXPECT_EQ(open_code(p), -2) << "the same with the job set up at open";
    // A text saved by a job of other algorithms misses this job's lines.
    tool_ptr other = open_tool(param(f.get(), FILE_HASH_SHA256, 4096));
    ASSERT_TRUE(other);
    ASSERT_EQ(file_hash_cal(other.get(), 0, 4096), 0);
    std::string saved(4096, '\0');
    ASSERT_EQ(file_hash_get_result(other.get(), saved.data(), saved.size()), 0);
    p.saved = saved.c_str();
    EXPECT_EQ(open_code(p), -2) << "a saved text of another algorithm";
    p = param(f.get(), FILE_HASH_PMD5, 4096);
    p.saved = "pmd5 1,2,3";
    EXPECT_EQ(open_code(p), -2) << "per-block sums of the wrong length";

    tool_ptr past = open_tool(param(f.get(), FILE_HASH_MD5, 4096));
    ASSERT_TRUE(past);
    EXPECT_EQ(file_hash_cal(past.get(), 60 * 1024, 8 * 1024), -1) << "a range past the end of the file";
    EXPECT_EQ(err_.code, -110);

    // One-byte blocks on 100 MB: refused at once, nothing allocated for them.
    ASSERT_EQ(truncate(dir_.write("big.bin", {}).c_str(), 100'000'000), 0);
    file_ptr big = open_file(dir_.path() + "/big.bin");
    tool_ptr ones = open_tool(param(big.get(), FILE_HASH_MD5 | FILE_HASH_PMD5, 1));
    ASSERT_TRUE(ones);
    EXPECT_EQ(file_hash_cal(ones.get(), 0, 100'000'000), -1);
    EXPECT_EQ(err_.code, -2);

    {
        const big_allocs_fail no_memory;
        EXPECT_EQ(open_code(param(f.get(), FILE_HASH_MD5, 4096)), -8) << "no read-ahead buffer";
    }

    shrinking s{f.get(), path};
    p = param(&s, FILE_HASH_SHA256, 4096);
    p.read = shrinking_read;
    p.read_ahead = 4096;
    tool_ptr shrink = open_tool(p);
    ASSERT_TRUE(shrink);
    EXPECT_EQ(file_hash_cal(shrink.get(), 0, bytes.size()), -1) << "a file that shrinks while it is hashed";
    EXPECT_EQ(err_.code, -110);

    p = param(nullptr, FILE_HASH_MD5, 4096);
    p.read = failing_read;
    p.on_error = own_error;
    tool_ptr failing = open_tool(p);
    ASSERT_TRUE(failing);
    EXPECT_EQ(file_hash_cal(failing.get(), 0, 4096), -1);
    EXPECT_EQ(err_.code, -250);
    EXPECT_STREQ(verr_msg(&err_), "device says no");
}

}  // namespace
