#include "libblock/crypt/cpu_probe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "cipher_paths.h"

namespace {

#if defined(__x86_64__)
// libgcc reads cpuid and the OS's register-state enablement too: a probe
// that said no where it says yes would quietly run the slow path and turn
// the tests of the fast ones into skips.
TEST(CpuProbe, AgreesWithTheCompilersCpuQuery)
{
    const cpu_features *f = cpu_features_get();
    const struct { const char *name; int probe; bool compiler; } rows[] = {
        {"aesni", f->aesni, __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2") && cpu_query_osxsave()},
        {"avx2", f->avx2, __builtin_cpu_supports("avx2") != 0},
        {"avx512f", f->avx512f, __builtin_cpu_supports("avx512f") != 0},
        {"vaes", f->vaes, cpu_query_vaes()},
    };
    for (const auto &r : rows)
        EXPECT_EQ(r.probe != 0, r.compiler) << r.name;
    EXPECT_EQ(cpu_has_aesni(), f->aesni);
}
#endif

// Every path the processor has is offered, none other, and the fastest one
// is the one in use.
TEST(CpuProbe, ChoosesTheFastestPathTheProcessorHas)
{
    cipher_path want = CIPHER_PATH_PORTABLE;
    for (const cipher_path p : k_cipher_paths) {
        EXPECT_EQ(cipher_path_available(p), processor_has(p)) << cipher_path_name(p);
        if (processor_has(p))
            want = p;
    }
    EXPECT_EQ(cipher_path_best(), want) << cipher_path_name(cipher_path_best());
}

bool g_ours_ran = false;
void our_sigill(int, siginfo_t *, void *)
{
    g_ours_ran = true;
}

// A fault handler the program installed stays in place, without a gap, while
// another thread probes: a fault on any thread meets the program's handler.
TEST(CpuProbe, LeavesTheSigillHandlerInPlace)
{
    struct sigaction ours = {}, old = {};
    ours.sa_sigaction = our_sigill;
    ours.sa_flags = SA_SIGINFO;
    sigemptyset(&ours.sa_mask);
    ASSERT_EQ(sigaction(SIGILL, &ours, &old), 0);

    std::atomic<bool> done{false};
    std::atomic<int>  answered{0};
    std::thread prober([&] {
        for (int i = 0; i < 20000; i++) {
            uint32_t regs[4] = {};
            answered += cpu_cpuid_guarded(0, regs) == 1 && regs[0] >= 1;
        }
        done = true;
    });
    int replaced = 0;
    while (!done) {
        struct sigaction now = {};
        sigaction(SIGILL, nullptr, &now);
        replaced += now.sa_sigaction != our_sigill;
    }
    prober.join();
    sigaction(SIGILL, &old, nullptr);
    EXPECT_EQ(replaced, 0);
    EXPECT_FALSE(g_ours_ran);
#if defined(__x86_64__)
    EXPECT_EQ(answered, 20000);
#else
    EXPECT_EQ(answered, 0);
#endif
}

}  // namespace
