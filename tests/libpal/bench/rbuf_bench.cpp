// Ring throughput: one writer (the benchmark's thread) hands 256-byte blocks
// to one reader thread through an rbuf of the size given as argument.
// "RbufWriteRead" writes with rbuf_write, which drops the oldest block when
// the reader falls behind: the bytes counted are those the reader received,
// and "dropped" says how many blocks were lost. "RbufWriteWaitRead" writes
// with rbuf_write_wait, which waits for room instead, so nothing is dropped.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>

#include "libpal/memory/rbuf.h"

namespace {

constexpr uint32_t k_block = 256;

void write_read(benchmark::State &state, bool wait_for_room)
{
    rbuf *h = rbuf_init(static_cast<uint32_t>(state.range(0)), k_block);
    if (h == nullptr) {
        state.SkipWithError("rbuf_init failed");
        return;
    }
    std::atomic<bool> writing{true};
    uint64_t received = 0;
    std::thread reader([&] {
        uint8_t buf[k_block];
        for (;;) {
            const int n = rbuf_read_block_wait(h, buf, sizeof(buf), 10);
            if (n > 0) {
                received++;
                benchmark::DoNotOptimize(buf[0]);
            } else if (!writing.load() && rbuf_is_empty(h)) {
                return;
            }
        }
    });
    uint8_t block[k_block];
    memset(block, 0x5a, sizeof(block));
    for (auto _ : state) {
        const int rc = wait_for_room ? rbuf_write_wait(h, block, k_block, 1000) : rbuf_write(h, block, k_block);
        if (rc != 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    writing.store(false);
    reader.join();
    state.SetBytesProcessed(static_cast<int64_t>(received * k_block));
    state.counters["dropped"] = static_cast<double>(rbuf_get_drop_count(h));
    state.counters["blocks_read"] = benchmark::Counter(static_cast<double>(received), benchmark::Counter::kIsRate);
    rbuf_exit(h);
}

void BM_RbufWriteRead(benchmark::State &state) { write_read(state, false); }
void BM_RbufWriteWaitRead(benchmark::State &state) { write_read(state, true); }

}  // namespace

BENCHMARK(BM_RbufWriteRead)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_RbufWriteWaitRead)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime();

BENCHMARK_MAIN();
