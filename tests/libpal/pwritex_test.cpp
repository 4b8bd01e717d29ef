// The positioned-write executor: chunks of its buffer's size, a fixed byte,
// fresh random bytes per chunk, zeroed prepared buffers, refusals, failing
// writes, and the buffer reuse of pwritex_write.
#include "libpal/tframe/pwritex.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "libpal/os/os_file.h"
#include "tool_files.h"

namespace {

// A write function that records each chunk into a byte image.
struct sink {
    std::vector<uint8_t> image;
    std::vector<size_t> chunks;
    int fail_at = -1;  // the chunk that fails
    size_t max_step = SIZE_MAX;  // a write moves at most this many bytes
};

int64_t sink_write(void *h, const void *buf, size_t n, uint64_t off)
{
    auto *s = static_cast<sink *>(h);
    if (static_cast<int>(s->chunks.size()) == s->fail_at)
        return -1;
    n = std::min(n, s->max_step);
    s->chunks.push_back(n);
    if (s->image.size() < off + n)
        s->image.resize(off + n);
    std::copy_n(static_cast<const uint8_t *>(buf), n, s->image.begin() + static_cast<long>(off));
    return static_cast<int64_t>(n);
}

int sink_error(void *, verr *err)
{
    verr_set(err, __FILE__, __LINE__, __func__, -250, "sink failed");
    return 0;
}

struct executor {
    pwritex_ctx ctx{};
    verr err{};
    sink out;
    executor()
    {
        ctx.write = sink_write;
        ctx.on_error = sink_error;
        ctx.err = &err;
    }
    ~executor() { pwritex_free(&ctx); }
};

TEST(Pwritex, WritesInChunksOfItsBuffer)
{
    executor e;
    ASSERT_EQ(pwritex_init(&e.ctx, &e.out, 0xFF, 4096), 0);
    EXPECT_EQ(pwritex_exec(&e.ctx, 10000, 0), 10000);
    EXPECT_EQ(e.out.chunks, (std::vector<size_t>{4096, 4096, 1808}));
    EXPECT_EQ(e.out.image, std::vector<uint8_t>(10000, 0xFF));
}

TEST(Pwritex, RandomFillIsNewForEveryChunk)
{
    executor e;
    ASSERT_EQ(pwritex_init(&e.ctx, &e.out, PWRITEX_RANDOM, 4096), 0);
    EXPECT_EQ(pwritex_exec(&e.ctx, 8192, 100), 8192);
    const auto first = std::vector<uint8_t>(e.out.image.begin() + 100, e.out.image.begin() + 4196);
    const auto second = std::vector<uint8_t>(e.out.image.begin() + 4196, e.out.image.end());
    EXPECT_NE(first, second);
    EXPECT_NE(first, std::vector<uint8_t>(4096, 0));
}

TEST(Pwritex, PreparedBufferStartsZeroedAndIsWrittenAsItStands)
{
    executor e;
    ASSERT_EQ(pwritex_init(&e.ctx, &e.out, PWRITEX_BUFFER, 1000), 0);
    EXPECT_EQ(pwritex_exec(&e.ctx, 1000, 0), 1000);
    EXPECT_EQ(e.out.image, std::vector<uint8_t>(1000, 0));
    e.ctx.buf[0] = 'x';
    EXPECT_EQ(pwritex_exec(&e.ctx, 1500, 1000), 1500);
    EXPECT_EQ(e.out.image[1000], 'x');
    EXPECT_EQ(e.out.image[2000], 'x');
}

TEST(Pwritex, RefusalsAndFailures)
{
    executor e;
    EXPECT_EQ(pwritex_exec(&e.ctx, 100, 0), -1) << "no buffer";
    EXPECT_EQ(e.err.code, -2);
    EXPECT_EQ(pwritex_init(&e.ctx, &e.out, 0, 0), -1) << "size 0";
    EXPECT_EQ(pwritex_init(&e.ctx, &e.out, 0, PWRITEX_MAX_SIZE + 1), -1);
    EXPECT_EQ(e.err.code, -2);

    ASSERT_EQ(pwritex_init(&e.ctx, &e.out, 1, 4096), 0);
    e.out.fail_at = 1;
    EXPECT_EQ(pwritex_exec(&e.ctx, 10000, 0), -1) << "a failed chunk fails the call";
    EXPECT_EQ(e.err.code, -250);
    EXPECT_STREQ(verr_msg(&e.err), "sink failed");

    // Short writes are continued until the chunk is whole.
    e.out = sink{};
    e.out.max_step = 1000;
    EXPECT_EQ(pwritex_exec(&e.ctx, 5000, 0), 5000);
    EXPECT_EQ(e.out.image, std::vector<uint8_t>(5000, 1));

    // The default write on a read-only file records the errno's code.
    tool_dir dir;
    const std::string path = dir.write("ro.bin", {});
    os_file_ctx *ro = os_file_open(path.c_str(), 1);
    ASSERT_NE(ro, nullptr);
    pwritex_ctx plain{};
    verr err{};
    plain.err = &err;
    ASSERT_EQ(pwritex_init(&plain, ro, 7, 512), 0);
    EXPECT_EQ(pwritex_exec(&plain, 512, 0), -1);
    EXPECT_EQ(err.code, os_verr_get(EBADF));
    pwritex_free(&plain);
    os_file_close(ro);
}

TEST(Pwritex, WriteReusesTheBufferForItsFill)
{
    executor e;
    EXPECT_EQ(pwritex_write(&e.ctx, &e.out, 0xAA, 50, 0), 50);
    EXPECT_EQ(pwritex_write(&e.ctx, &e.out, 0xAA, 100, 0), 100);
    EXPECT_EQ(e.out.image, std::vector<uint8_t>(100, 0xAA));
    // A shorter write of another byte, then a longer one of the same.
    EXPECT_EQ(pwritex_write(&e.ctx, &e.out, 0xBB, 40, 200), 40);
    EXPECT_EQ(pwritex_write(&e.ctx, &e.out, 0xBB, 100, 300), 100);
    EXPECT_EQ(std::vector<uint8_t>(e.out.image.begin() + 300, e.out.image.end()), std::vector<uint8_t>(100, 0xBB));
    // A new buffer is zeroed: fill 0 needs no refill.
    executor z;
    EXPECT_EQ(pwritex_write(&z.ctx, &z.out, 0, 64, 0), 64);
    EXPECT_EQ(z.out.image, std::vector<uint8_t>(64, 0));
    EXPECT_EQ(pwritex_write(&z.ctx, &z.out, 0, 0, 0), -1);
}

}  // namespace
