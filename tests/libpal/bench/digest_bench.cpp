// Throughput of SHA-256 (each routine the processor runs), SHA-512 and
// XXH3-128 on 1 MiB buffers, to be read beside `openssl speed -evp sha256`,
// `openssl speed -evp sha512` and `xxhsum -b` run in the same sitting.
#include <memory>

#include <benchmark/benchmark.h>

#include "libpal/hash/sha256.h"
#include "libpal/hash/sha512.h"
#include "libpal/hash/xxh3.h"

namespace {

constexpr size_t k_size = 1 << 20;

// Cache-line aligned, as xxhsum's own benchmark buffer is.
struct bench_data {
    alignas(64) uint8_t bytes[k_size];
    bench_data()
    {
        for (size_t i = 0; i < k_size; i++)
            bytes[i] = static_cast<uint8_t>(i * 131 + i / 7);
    }
    const uint8_t *data() const { return bytes; }
    size_t size() const { return k_size; }
};

const bench_data &data()
{
    static const auto d = std::make_unique<bench_data>();
    return *d;
}

void bm_sha256(benchmark::State &state)
{
    const int impl = static_cast<int>(state.range(0));
    const int saved = pl_sha256_selected();
    if (pl_sha256_select(impl) != 0) {
        state.SkipWithError("routine not available on this processor");
        return;
    }
    uint8_t digest[PL_SHA256_DIGEST_SIZE];
    for (auto _ : state) {
        pl_sha256_buf(data().data(), data().size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    pl_sha256_select(saved);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * k_size);
    state.SetLabel(impl == PL_SHA256_SHA_NI ? "sha_ni" : "portable");
}

void bm_sha512(benchmark::State &state)
{
    uint8_t digest[PL_SHA512_DIGEST_SIZE];
    for (auto _ : state) {
        pl_sha512_buf(data().data(), data().size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * k_size);
}

void bm_xxh3_128(benchmark::State &state)
{
    uint8_t digest[PL_XXH3_128_DIGEST_SIZE];
    for (auto _ : state) {
        pl_xxh3_128_buf(data().data(), data().size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * k_size);
}

void bm_xxh3_128_stream(benchmark::State &state)
{
    XXH3_state_t *s = pl_xxh3_128_new();
    uint8_t digest[PL_XXH3_128_DIGEST_SIZE];
    for (auto _ : state) {
        XXH3_128bits_reset(s);
        pl_xxh3_128_update(s, data().data(), data().size());
        pl_xxh3_128_final(s, digest);
        benchmark::DoNotOptimize(digest);
    }
    pl_xxh3_128_free(s);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * k_size);
}

}  // namespace

BENCHMARK(bm_sha256)->Arg(PL_SHA256_PORTABLE)->Arg(PL_SHA256_SHA_NI);
BENCHMARK(bm_sha512);
BENCHMARK(bm_xxh3_128);
BENCHMARK(bm_xxh3_128_stream);

BENCHMARK_MAIN();
