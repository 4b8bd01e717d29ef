// Pseudo-random filler bytes, texts and numbers.
#include "libpal/memory/random.h"

#include <array>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "libpal/basic/os_sync.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

// Shared and unlocked by design; relaxed atomics keep concurrent use defined.
std::atomic<uint64_t> g_rand_xorshift_state{0x811c9dc5};

constexpr std::string_view kAlnum = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::string_view kHex = kAlnum.substr(0, 16);
constexpr std::string_view kDigits = kAlnum.substr(0, 10);
constexpr std::string_view kLower = kAlnum.substr(10, 26);
constexpr std::string_view kUpper = kAlnum.substr(36, 26);
constexpr size_t kPasswdSetMax = 255;
// A generator stuck on one value (xorshift seeded with 1) never mixes the
// classes: the draws stop here instead of spinning for good.
constexpr int kPasswdMaxDraws = 100000;

void fill_from(char *text, size_t size, std::string_view set)
{
    for (size_t i = 0; i + 1 < size; i++)
        text[i] = set[static_cast<uint32_t>(rand_xorshift64()) % set.size()];
    text[size - 1] = '\0';
}

// The additive generator: 31 words and two indices.
constexpr size_t kAddWords = 31;
struct add_state {
    std::array<uint32_t, kAddWords> x;
    size_t i;
    size_t j;
};

constexpr add_state add_seeded(uint64_t s)
{
    add_state st{};
    st.i = 3;
    st.j = 0;
    for (size_t k = 0; k < kAddWords; k++) {
        s = 6364136223846793005ULL * s + 1;
        st.x[k] = static_cast<uint32_t>(s >> 32);
    }
    st.x[0] |= 1;
    return st;
}

std::mutex g_add_lock;
add_state g_add = add_seeded(1);

}  // namespace

void rand_seed(uint64_t seed)
{
    g_rand_xorshift_state.store(seed - 1, std::memory_order_relaxed);
}

uint64_t rand_xorshift64()
{
    uint64_t x = g_rand_xorshift_state.load(std::memory_order_relaxed);
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    g_rand_xorshift_state.store(x, std::memory_order_relaxed);
    return x;
}

uint32_t rand_u32()
{
    uint32_t hi = static_cast<uint32_t>(rand());
    uint32_t lo = static_cast<uint32_t>(rand());
    return (hi << 16) | (lo & 0xffff);
}

uint64_t rand_u64()
{
    uint64_t hi = rand_u32();
    uint64_t lo = rand_u32();
    return (hi << 32) | lo;
}

uint32_t rand_range(uint32_t lo, uint32_t hi)
{
    PL_ASSERT_RET(lo < hi, lo);
    // Draws above the last whole multiple of the span are refused, so every
    // value of the range is equally likely and a narrow range far from 0 is
    // found in about one draw.
    const uint64_t span = uint64_t{hi} - lo;
    const uint64_t bound = (uint64_t{1} << 32) - (uint64_t{1} << 32) % span;
    uint64_t x;
    do {
        x = rand_u32();
    } while (x >= bound);
    return lo + static_cast<uint32_t>(x % span);
}

size_t memory_random_imp(int kind, void *buf, size_t len)
{
    PL_ASSERT_RET(buf, SIZE_MAX);
    auto *out = static_cast<unsigned char *>(buf);
    size_t done = 0;
    while (len - done >= sizeof(uint64_t)) {
        uint64_t w = kind == 0 ? rand_xorshift64() : rand_u64();
        memcpy(out + done, &w, sizeof(w));
        done += sizeof(w);
    }
    if (done < len) {
        uint64_t w = kind == 0 ? rand_xorshift64() : rand_u64();
        // The least significant bytes first, whatever the machine's byte order.
        for (size_t i = 0; done < len; i++, done++)
            out[done] = static_cast<unsigned char>(w >> (8 * i));
    }
    return len;
}

size_t memory_random(void *buf, size_t len)
{
    return memory_random_imp(0, buf, len);
}

size_t memory_random_seeded(void *buf, size_t len)
{
    srand(static_cast<unsigned>(os_tick_ms()));
    return memory_random_imp(1, buf, len);
}

void rand_str(char *text, size_t size)
{
    if (text && size >= 2)
        fill_from(text, size, kAlnum);
}

void rand_hex_str(char *text, size_t size)
{
    if (text && size >= 2)
        fill_from(text, size, kHex);
}

void rand_passwd(char *text, size_t size, const char *extra, uint32_t classes)
{
    PL_ASSERT_RET(text && size > 0, );
    text[0] = '\0';
    classes &= RAND_PW_DIGIT | RAND_PW_LOWER | RAND_PW_UPPER;
    std::string set = extra ? extra : "";
    // Every drawn character's class is the part of the set it came from.
    std::array<std::pair<uint32_t, size_t>, 4> parts{};
    size_t nparts = 0;
    uint32_t wanted = 0;
    if (!set.empty()) {
        parts[nparts++] = {RAND_PW_EXTRA, set.size()};
        wanted |= RAND_PW_EXTRA;
    }
    constexpr std::array<std::pair<uint32_t, std::string_view>, 3> kClasses = {{
        {RAND_PW_DIGIT, kDigits}, {RAND_PW_LOWER, kLower}, {RAND_PW_UPPER, kUpper}}};
    for (const auto &[bit, chars] : kClasses) {
        if (classes & bit) {
            set.append(chars);
            parts[nparts++] = {bit, set.size()};
            wanted |= bit;
        }
    }
    const size_t count = size - 1;
    if (wanted == 0 || count < static_cast<size_t>(std::popcount(wanted)) || set.size() > kPasswdSetMax) {
        ZLOG_ERR("rand_passwd size=%zu classes=0x%x set=%zu error: impossible request\n", size, wanted, set.size());
        return;
    }
    for (int draw = 0; draw < kPasswdMaxDraws; draw++) {
        uint32_t present = 0;
        for (size_t i = 0; i < count; i++) {
            const size_t at = static_cast<uint32_t>(rand_xorshift64()) % set.size();
            text[i] = set[at];
            for (size_t p = 0; p < nparts; p++) {
                if (at < parts[p].second) {
                    present |= parts[p].first;
                    break;
                }
            }
        }
        text[count] = '\0';
        if (present == wanted)
            return;
    }
    text[0] = '\0';
    ZLOG_ERR("rand_passwd size=%zu classes=0x%x error: no mix after %d draws\n", size, wanted, kPasswdMaxDraws);
}

void rand_add_seed(uint64_t seed)
{
    const add_state st = add_seeded(seed);
    std::lock_guard<std::mutex> guard(g_add_lock);
    g_add = st;
}

uint32_t rand_add_next()
{
    std::lock_guard<std::mutex> guard(g_add_lock);
    g_add.x[g_add.i] += g_add.x[g_add.j];
    const uint32_t r = g_add.x[g_add.i] >> 1;
    g_add.i = (g_add.i + 1) % kAddWords;
    g_add.j = (g_add.j + 1) % kAddWords;
    return r;
}
