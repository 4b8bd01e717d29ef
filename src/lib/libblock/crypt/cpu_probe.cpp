// The cpuid probe. The SIGILL guard changes a process-wide disposition and
// uses one jump buffer, so probes are serialised by a mutex and the previous
// disposition (handler, mask and flags) is put back exactly with sigaction.
#include "libblock/crypt/cpu_probe.h"

#include <csetjmp>
#include <csignal>
#include <mutex>
#include <atomic>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

std::mutex         g_probe_lock;
std::atomic<bool>  g_probe_done{false};
std::atomic<int>   g_aesni{0};
sigjmp_buf         g_probe_jump;

constexpr uint32_t k_edx_sse2    = 1u << 26;
constexpr uint32_t k_ecx_osxsave = 1u << 27;
constexpr uint32_t k_ecx_aes     = 1u << 25;

extern "C" void cpu_sigill_handler(int)
{
    siglongjmp(g_probe_jump, 1);
}

}  // namespace

int cpu_cpuid_guarded(uint32_t leaf, uint32_t regs[4])
{
#if defined(__x86_64__)
    struct sigaction guard = {};
    struct sigaction saved = {};
    guard.sa_handler = cpu_sigill_handler;
    sigemptyset(&guard.sa_mask);
    // A refused guard still lets the instruction run: cpuid exists on every
    // x86-64 processor, the guard only covers emulators that trap it.
    const bool guarded = sigaction(SIGILL, &guard, &saved) == 0;
    int ok = 0;
    // sigsetjmp with a saved mask: leaving the handler by the jump must not
    // leave SIGILL blocked.
    if (sigsetjmp(g_probe_jump, 1) == 0) {
        unsigned a = 0, b = 0, c = 0, d = 0;
        __cpuid_count(leaf, 0, a, b, c, d);
        regs[0] = a, regs[1] = b, regs[2] = c, regs[3] = d;
        ok = 1;
    }
    if (guarded)
        sigaction(SIGILL, &saved, nullptr);
    return ok;
#else
    (void)leaf;
    (void)regs;
    return 0;
#endif
}

void cpu_detect_features()
{
    std::lock_guard<std::mutex> lock(g_probe_lock);
    if (g_probe_done.load(std::memory_order_acquire))
        return;
    uint32_t r0[4], r1[4];
    if (cpu_cpuid_guarded(0, r0) == 0 || cpu_cpuid_guarded(1, r1) == 0)
        return;
    const bool aes = r0[0] >= 1 && (r1[3] & k_edx_sse2) && (r1[2] & k_ecx_osxsave) && (r1[2] & k_ecx_aes);
    g_aesni.store(aes ? 1 : 0, std::memory_order_relaxed);
    g_probe_done.store(true, std::memory_order_release);
}

int cpu_has_aesni()
{
    if (!g_probe_done.load(std::memory_order_acquire))
        cpu_detect_features();
    return g_aesni.load(std::memory_order_relaxed);
}
