// The file-hash tool on a 1 GiB file held in the page cache: per-block
// SHA-256 in pool mode, and whole-range SHA-256 on the hashing thread,
// each beside `sha256sum` on the same file in the same run. Prints the ratio
// sha256sum time / tool time (1.0 or more: the tool is at least as fast).
// Usage: file_hash_bench [--bench_file=PATH] [benchmark options]; the file
// is made once (random bytes) when it does not exist yet, and removed when
// the program made it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "libpal/os/os_file.h"
#include "libpal/tframe/file_hash.h"

namespace {

constexpr uint64_t k_size = 1ull << 30;
constexpr uint32_t k_block = 2u << 20;  // the read-ahead size: blocks are read directly
std::string g_path = "/tmp/zorv_file_hash_bench.bin";

bool make_file(const std::string &path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return false;
    std::mt19937_64 gen(26);
    std::vector<uint64_t> chunk(k_block / 8);
    for (uint64_t done = 0; done < k_size; done += k_block) {
        for (auto &w : chunk)
            w = gen();
        if (write(fd, chunk.data(), k_block) != static_cast<ssize_t>(k_block)) {
            close(fd);
            return false;
        }
    }
    close(fd);
    return true;
}

void hash_with_tool(benchmark::State &state, uint32_t flags, uint8_t use_pool)
{
    os_file_ctx *file = os_file_open(g_path.c_str(), 1);
    if (file == nullptr) {
        state.SkipWithError("cannot open the file");
        return;
    }
    for (auto _ : state) {
        verr err{};
        file_hash_param p{};
        p.flags = flags;
        p.handle = file;
        p.block_size = k_block;
        p.use_pool = use_pool;
        file_hash_ctx *t = file_hash_open(&p, &err);
        uint8_t digest[32];
        if (t == nullptr || file_hash_cal(t, 0, k_size) != 0 || file_hash_get_digest(t, flags, digest, 32) != 0) {
            state.SkipWithError(verr_msg(&err));
            file_hash_close(t);
            break;
        }
        benchmark::DoNotOptimize(digest);
        file_hash_close(t);
    }
    os_file_close(file);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * k_size));
}

void BM_PoolPerBlockSha256(benchmark::State &state)
{
    hash_with_tool(state, FILE_HASH_PSHA256, 1);
}

void BM_ThreadWholeSha256(benchmark::State &state)
{
    hash_with_tool(state, FILE_HASH_SHA256, 0);
}

void BM_Sha256sum(benchmark::State &state)
{
    const std::string cmd = "sha256sum '" + g_path + "' >/dev/null";
    for (auto _ : state)
        if (system(cmd.c_str()) != 0) {
            state.SkipWithError("sha256sum failed");
            break;
        }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * k_size));
}

BENCHMARK(BM_Sha256sum)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_PoolPerBlockSha256)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_ThreadWholeSha256)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// Keeps each benchmark's real time per iteration for the ratio.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs)
            if (!r.error_occurred)
                seconds[r.run_name.function_name] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg.rfind("--bench_file=", 0) == 0)
            g_path = arg.substr(13);
    }
    benchmark::Initialize(&argc, argv);
    const bool made = make_file(g_path);
    // Once through, so that every run reads from the page cache.
    if (system(("cat '" + g_path + "' >/dev/null").c_str()) != 0)
        return 1;
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double base = reporter.seconds["BM_Sha256sum"];
    for (const char *name : {"BM_PoolPerBlockSha256", "BM_ThreadWholeSha256"}) {
        const double t = reporter.seconds[name];
        if (base > 0 && t > 0)
            printf("%s: %.2fx sha256sum (target >= 1.0)\n", name, base / t);
    }
    if (made)
        unlink(g_path.c_str());
    benchmark::Shutdown();
    return 0;
}
