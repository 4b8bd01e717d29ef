// The read-ahead cache: small sequential reads cost one read per buffer, the
// data's limit cuts every read, large reads go straight through, and a
// failing read is reported.
#include "libpal/tframe/read_cache.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A data source of size bytes (byte i holds i mod 251) that counts its reads.
struct source {
    size_t size;
    int reads = 0;
    bool fail = false;
};

int64_t source_read(void *h, void *buf, size_t n, uint64_t off)
{
    auto *s = static_cast<source *>(h);
    s->reads++;
    if (s->fail)
        return -1;
    if (off >= s->size)
        return 0;
    const size_t take = std::min<size_t>(n, s->size - off);
    for (size_t i = 0; i < take; i++)
        static_cast<uint8_t *>(buf)[i] = static_cast<uint8_t>((off + i) % 251);
    return static_cast<int64_t>(take);
}

struct cache_deleter {
    void operator()(read_cache *c) const { read_cache_close(c); }
};
using cache_ptr = std::unique_ptr<read_cache, cache_deleter>;

cache_ptr open_cache(source &s, uint32_t block_size, uint64_t limit)
{
    const read_cache_param p{block_size, limit, &s, source_read};
    return cache_ptr(read_cache_open(&p));
}

bool holds_data(const std::vector<uint8_t> &buf, size_t n, uint64_t off)
{
    for (size_t i = 0; i < n; i++)
        if (buf[i] != static_cast<uint8_t>((off + i) % 251))
            return false;
    return true;
}

TEST(ReadCache, LimitCutsAReadInsideTheBuffer)
{
    source s{100000};
    cache_ptr c = open_cache(s, 4096, 1000);
    std::vector<uint8_t> buf(100);
    EXPECT_EQ(read_cache_pread(c.get(), buf.data(), 100, 950), 50);
    EXPECT_TRUE(holds_data(buf, 50, 950));
    EXPECT_EQ(read_cache_pread(c.get(), buf.data(), 100, 1000), 0) << "nothing at the limit";
    std::vector<uint8_t> big(8192);
    EXPECT_EQ(read_cache_pread(c.get(), big.data(), big.size(), 0), 1000) << "a direct read is cut too";
}

TEST(ReadCache, SequentialSmallReadsCostOneReadPerBuffer)
{
    source s{1 << 20};
    cache_ptr c = open_cache(s, 65536, 0);
    std::vector<uint8_t> buf(1000);
    for (uint64_t off = 0; off < 200000; off += 1000) {
        ASSERT_EQ(read_cache_pread(c.get(), buf.data(), 1000, off), 1000);
        ASSERT_TRUE(holds_data(buf, 1000, off)) << off;
    }
    EXPECT_EQ(s.reads, 4);  // 200000 bytes through 64 KiB buffers
    // A jump elsewhere refills from there.
    ASSERT_EQ(read_cache_pread(c.get(), buf.data(), 1000, 500001), 1000);
    EXPECT_TRUE(holds_data(buf, 1000, 500001));
    EXPECT_EQ(s.reads, 5);
}

TEST(ReadCache, BufferSizedReadsGoStraightThrough)
{
    source s{1 << 20};
    cache_ptr c = open_cache(s, 4096, 0);
    std::vector<uint8_t> buf(8192);
    ASSERT_EQ(read_cache_pread(c.get(), buf.data(), 100, 0), 100);
    ASSERT_EQ(read_cache_pread(c.get(), buf.data(), 8192, 100), 8192);
    EXPECT_TRUE(holds_data(buf, 8192, 100));
    EXPECT_EQ(s.reads, 2);
    EXPECT_EQ(c->valid, 0u) << "the direct read emptied the cache";
}

TEST(ReadCache, FailingReadAndShortData)
{
    source s{5000};
    cache_ptr c = open_cache(s, 4096, 0);
    std::vector<uint8_t> buf(2000);
    ASSERT_EQ(read_cache_pread(c.get(), buf.data(), 2000, 3000), 2000);  // 3000..6999 asked of 5000
    EXPECT_EQ(read_cache_pread(c.get(), buf.data(), 2000, 4500), 500);
    s.fail = true;
    EXPECT_EQ(read_cache_pread(c.get(), buf.data(), 100, 0), -1);
    const read_cache_param none{0, 0, nullptr, nullptr};
    EXPECT_EQ(read_cache_open(&none), nullptr);
}

}  // namespace
