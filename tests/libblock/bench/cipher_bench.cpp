// XTS-AES-256 throughput: the block layer's cipher on the path the probe
// chose ("ZorvXts") and on each path the processor has ("ZorvXtsPath/<path>"),
// beside OpenSSL's aes-256-xts, in the same run on the same machine. Sizes:
// one 512-byte data unit, and 1 MiB. Disks are encrypted unit by unit with a
// fresh tweak each, so OpenSSL is also given a new tweak per 512 bytes
// ("OpenSslXts"); "OpenSslXtsOneTweak" hands it 1 MiB under one tweak, its
// best case, for reference.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "libblock/bd_cipher.h"
#include "libblock/crypt/xts.h"

namespace {

constexpr size_t k_unit = 512;

void zorv_xts(benchmark::State &state, cipher_path path)
{
    if (cipher_path_force(path) != 0) {
        state.SkipWithError("path not on this processor");
        return;
    }
    const size_t len = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> key(64, 0x5A);
    std::vector<uint8_t> buf(len, 0x33);
    bd_cipher *c = bd_cipher_new("aes");
    bd_cipher_set_key(c, key.data());
    int64_t offset = 0;
    for (auto _ : state) {
        bd_cipher_encrypt(c, offset, buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
        offset += static_cast<int64_t>(len);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
    bd_cipher_free(c);
    cipher_path_force(cipher_path_best());
}

void BM_ZorvXts(benchmark::State &state) { zorv_xts(state, cipher_path_best()); }

void openssl_xts(benchmark::State &state, bool tweak_per_unit)
{
    const size_t len = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> key(64);
    for (size_t i = 0; i < key.size(); i++)
        key[i] = static_cast<uint8_t>(i * 7 + 1);
    std::vector<uint8_t> in(len, 0x33), out(len);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    if (EVP_EncryptInit_ex(ctx, EVP_aes_256_xts(), nullptr, key.data(), nullptr) != 1) {
        state.SkipWithError("aes-256-xts refused");
        EVP_CIPHER_CTX_free(ctx);
        return;
    }
    uint64_t unit = 0;
    for (auto _ : state) {
        const size_t step = tweak_per_unit ? k_unit : len;
        for (size_t pos = 0; pos < len; pos += step) {
            uint8_t iv[16] = {};
            memcpy(iv, &unit, sizeof(unit));
            unit++;
            int n = 0;
            EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv);
            EVP_EncryptUpdate(ctx, out.data() + pos, &n, in.data() + pos, static_cast<int>(step));
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
    EVP_CIPHER_CTX_free(ctx);
}

void BM_OpenSslXts(benchmark::State &state) { openssl_xts(state, true); }
void BM_OpenSslXtsOneTweak(benchmark::State &state) { openssl_xts(state, false); }

}  // namespace

BENCHMARK(BM_ZorvXts)->Arg(512)->Arg(1 << 20);
BENCHMARK(BM_OpenSslXts)->Arg(512)->Arg(1 << 20);
BENCHMARK(BM_OpenSslXtsOneTweak)->Arg(1 << 20);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const char *chosen = cipher_path_name(cipher_path_best());
    printf("zorv cipher path: %s\n", chosen);
    benchmark::AddCustomContext("zorv_cipher_path", chosen);
    for (uint32_t p = CIPHER_PATH_PORTABLE; p <= CIPHER_PATH_VAES512; p++) {
        const auto path = static_cast<cipher_path>(p);
        if (cipher_path_available(path))
            benchmark::RegisterBenchmark((std::string("BM_ZorvXtsPath/") + cipher_path_name(path)).c_str(), zorv_xts,
                                         path)
                ->Arg(512)
                ->Arg(1 << 20);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
