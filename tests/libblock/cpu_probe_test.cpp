#include "libblock/crypt/cpu_probe.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

namespace {

void custom_sigill(int, siginfo_t *, void *) {}

// The probe borrows SIGILL: whatever the program had installed (handler,
// flags, mask) is there again afterwards, and the thread's signal mask is
// unchanged.
TEST(CpuProbe, RestoresSigillDispositionAndMask)
{
    struct sigaction mine = {};
    mine.sa_sigaction = custom_sigill;
    mine.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&mine.sa_mask);
    sigaddset(&mine.sa_mask, SIGUSR2);
    struct sigaction old = {};
    ASSERT_EQ(sigaction(SIGILL, &mine, &old), 0);
    sigset_t mask_before, mask_after;
    ASSERT_EQ(sigprocmask(SIG_SETMASK, nullptr, &mask_before), 0);

    uint32_t regs[4] = {};
#if defined(__x86_64__)
    EXPECT_EQ(cpu_cpuid_guarded(0, regs), 1);
    EXPECT_GE(regs[0], 1u);  // the highest leaf; every x86-64 has leaf 1
#else
    EXPECT_EQ(cpu_cpuid_guarded(0, regs), 0);
#endif

    struct sigaction now = {};
    ASSERT_EQ(sigaction(SIGILL, nullptr, &now), 0);
    EXPECT_EQ(now.sa_sigaction, custom_sigill);
    EXPECT_EQ(now.sa_flags & (SA_SIGINFO | SA_RESTART), SA_SIGINFO | SA_RESTART);
    EXPECT_TRUE(sigismember(&now.sa_mask, SIGUSR2));
    ASSERT_EQ(sigprocmask(SIG_SETMASK, nullptr, &mask_after), 0);
    for (int s = 1; s < 32; s++)
        EXPECT_EQ(sigismember(&mask_before, s), sigismember(&mask_after, s)) << s;
    sigaction(SIGILL, &old, nullptr);
}

TEST(CpuProbe, AnswerIsStable)
{
    const int first = cpu_has_aesni();
    EXPECT_TRUE(first == 0 || first == 1);
    cpu_detect_features();
    EXPECT_EQ(cpu_has_aesni(), first);
}

}  // namespace
