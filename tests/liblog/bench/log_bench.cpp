// The cost of a log call with the binary record on its way out, beside the
// same call with only the console. Every call builds its record; "Console"
// hands it to nobody, "ConsolePcap" also appends it to a pcap log file
// (written, capped and flushed per record, as the file sink does), and
// "ConsolePcapReader" also to one ring reader. Standard error goes to
// /dev/null meanwhile, so the console's cost is the logger's, not a
// terminal's. "RecordBuild" is the record alone.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "libbsv/bsv.h"
#include "libbsv/bsv_log.h"
#include "libpal/env/pl_init.h"
#include "liblog/log2.h"

namespace {

const void *as_arg(intptr_t v)
{
    return reinterpret_cast<const void *>(v);
}

// Standard error on /dev/null for the life of the guard.
class quiet_stderr {
public:
    quiet_stderr()
    {
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null_fd, STDERR_FILENO);
        close(null_fd);
    }
    ~quiet_stderr()
    {
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    quiet_stderr(const quiet_stderr &) = delete;
    quiet_stderr &operator=(const quiet_stderr &) = delete;

private:
    int saved_ = -1;
};

enum class outs { console, pcap, pcap_reader };

void log_call(benchmark::State &state, outs o)
{
    pl_init();
    log2_ctx *ctx = log2_ctx_new();
    log2_ioctl(ctx, LOG2_CMD_FLAGS_STR, "time|tid|func", 0);
    const std::string path = "/tmp/zorv_log_bench_" + std::to_string(getpid()) + ".pcap";
    if (o != outs::console) {
        log2_ioctl(ctx, LOG2_CMD_FILE_OPEN, path.c_str(), 0);
        log2_ioctl(ctx, LOG2_CMD_FILE_ON, as_arg(1), 0);
    }
    bsv_log_reader *reader = o == outs::pcap_reader ? bsv_open_log() : nullptr;
    {
        quiet_stderr quiet;
        int i = 0;
        for (auto _ : state)
            log2_printf(ctx, LOG2_INFO, "bench", "tests/liblog/bench/log_bench.cpp", __LINE__, __func__,
                        "request %d served in %d us from export [%s]\n", i++, 125, "disk0");
    }
    bsv_close_log(reader);
    log2_exit(ctx);
    unlink(path.c_str());
}

void BM_Console(benchmark::State &state)
{
    log_call(state, outs::console);
}

void BM_ConsolePcap(benchmark::State &state)
{
    log_call(state, outs::pcap);
}

void BM_ConsolePcapReader(benchmark::State &state)
{
    log_call(state, outs::pcap_reader);
}

void BM_RecordBuild(benchmark::State &state)
{
    uint8_t rec[BSV_LOG_MAX];
    for (auto _ : state) {
        const int n = bsv_log_record(rec, LOG2_INFO, "bench", "tests/liblog/bench/log_bench.cpp", __LINE__, __func__,
                                     "request 1 served in 125 us from export [disk0]\n");
        benchmark::DoNotOptimize(n);
    }
}

BENCHMARK(BM_Console);
BENCHMARK(BM_ConsolePcap);
BENCHMARK(BM_ConsolePcapReader);
BENCHMARK(BM_RecordBuild);

}  // namespace

BENCHMARK_MAIN();
