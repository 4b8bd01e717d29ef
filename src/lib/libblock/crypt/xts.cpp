// XTS data units. The tweak of block j of unit i is E_tweak(i) times x^j in
// GF(2^128), with the tweak taken as a little-endian 128-bit number and the
// reduction byte 0x87. Encryption and decryption differ only in the block
// transform applied between the two tweak XORs.
#include "libblock/crypt/xts.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <string.h>

#include "libblock/crypt/aesni.h"
#include "libblock/crypt/cpu_probe.h"

namespace {

using units_fn = void (*)(const aes_schedule *, const aes_schedule *, uint64_t, uint8_t *, uint64_t, bool);

// What each path needs of the processor, and its whole-unit routine.
struct path_row {
    const char *name;
    bool        aesni, avx2, avx512f, vaes;
    units_fn    whole_units;
};

#if defined(__x86_64__)
constexpr path_row k_paths[] = {
    {"portable", false, false, false, false, nullptr},
    {"aesni", true, false, false, false, aesni_xts_units},
    {"vaes256", true, true, false, true, vaes256_xts_units},
    {"vaes512", true, false, true, true, vaes512_xts_units},
};
#else
constexpr path_row k_paths[] = {
    {"portable", false, false, false, false, nullptr},
};
#endif
constexpr uint32_t k_path_count = std::size(k_paths);

// The path in use, read on every request: the probe's choice until forced.
std::atomic<uint32_t> &path_slot()
{
    static std::atomic<uint32_t> slot{cipher_path_best()};
    return slot;
}

const path_row &current_row()
{
    return k_paths[path_slot().load(std::memory_order_relaxed)];
}

bool hw_path()
{
    return path_slot().load(std::memory_order_relaxed) != CIPHER_PATH_PORTABLE;
}

// One block under keys[0] (encryption) or keys[1] (decryption).
template <bool Enc>
void block_op(uint32_t kind, uint8_t *block, const aes_schedule *keys)
{
    if (kind != CIPHER_KIND_AES)
        return;
#if defined(__x86_64__)
    if (hw_path()) {
        Enc ? aesni_enc_block(&keys[0], block) : aesni_dec_block(&keys[1], block);
        return;
    }
#endif
    Enc ? aes_enc_block(block, block, &keys[0]) : aes_dec_block(block, block, &keys[1]);
}

template <bool Enc>
void blocks_op(uint32_t kind, uint8_t *data, const aes_schedule *keys, uint64_t count)
{
#if defined(__x86_64__)
    if (kind == CIPHER_KIND_AES && hw_path() && count % XTS_UNIT_BLOCKS == 0) {
        for (uint64_t i = 0; i < count; i += XTS_UNIT_BLOCKS)
            Enc ? aesni_enc_32(&keys[0], data + 16 * i) : aesni_dec_32(&keys[1], data + 16 * i);
        return;
    }
#endif
    for (uint64_t i = 0; i < count; i++)
        block_op<Enc>(kind, data + 16 * i, keys);
}

struct tweak {
    uint64_t lo;
    uint64_t hi;
};

// Byte i of a tweak is bits 8i..8i+7 of the 128-bit number.
void tweak_store(uint8_t *p, const tweak &t)
{
    for (int i = 0; i < 8; i++) {
        p[i] = static_cast<uint8_t>(t.lo >> (8 * i));
        p[8 + i] = static_cast<uint8_t>(t.hi >> (8 * i));
    }
}

tweak tweak_load(const uint8_t *p)
{
    tweak t{0, 0};
    for (int i = 0; i < 8; i++) {
        t.lo |= uint64_t{p[i]} << (8 * i);
        t.hi |= uint64_t{p[8 + i]} << (8 * i);
    }
    return t;
}

void tweak_double(tweak &t)
{
    const uint64_t carry = t.hi >> 63;
    t.hi = (t.hi << 1) | (t.lo >> 63);
    t.lo = (t.lo << 1) ^ (carry * 0x87);
}

// E_tweak(unit) for the first block of the unit.
tweak unit_tweak(uint64_t unit, const aes_schedule *tweak_keys, uint32_t kind)
{
    uint8_t t[16] = {};
    tweak_store(t, tweak{unit, 0});
    block_op<true>(kind, t, tweak_keys);
    const tweak r = tweak_load(t);
    explicit_bzero(t, sizeof(t));
    return r;
}

void xor16(uint8_t *dst, const uint8_t *t)
{
    for (int i = 0; i < 16; i++)
        dst[i] ^= t[i];
}

// Key-derived values are cleared with a call the optimiser may not drop.
void wipe(void *p, size_t n)
{
    explicit_bzero(p, n);
}

using block_fn  = void (*)(uint32_t, uint8_t *, const aes_schedule *);
using blocks_fn = void (*)(uint32_t, uint8_t *, const aes_schedule *, uint64_t);

void xts_blockwise(uint8_t *data, uint64_t len, uint64_t unit, uint32_t s, const aes_schedule *data_keys,
                   const aes_schedule *tweak_keys, uint32_t kind, block_fn transform)
{
    if (s >= XTS_UNIT_BLOCKS)
        return;
    uint64_t n = len / 16;
    tweak t{0, 0};
    while (n > 0) {
        const uint32_t e = static_cast<uint32_t>(std::min<uint64_t>(XTS_UNIT_BLOCKS, s + n));
        t = unit_tweak(unit, tweak_keys, kind);
        for (uint32_t j = 0; j < e; j++) {
            if (j >= s) {
                uint8_t tb[16];
                tweak_store(tb, t);
                xor16(data, tb);
                transform(kind, data, data_keys);
                xor16(data, tb);
                wipe(tb, sizeof(tb));
                data += 16;
            }
            tweak_double(t);
        }
        n -= e - s;
        unit++;
        s = 0;
    }
    wipe(&t, sizeof(t));
}

// Blocks s .. of unit onwards through a table of their tweaks and one
// multi-block call per unit.
void xts_tabled(uint8_t *data, uint64_t n, uint64_t unit, uint32_t s, const aes_schedule *data_keys,
                const aes_schedule *tweak_keys, uint32_t kind, blocks_fn transform)
{
    alignas(16) uint8_t table[XTS_UNIT_BLOCKS * 16];
    tweak t{0, 0};
    while (n > 0) {
        const uint32_t e = static_cast<uint32_t>(std::min<uint64_t>(XTS_UNIT_BLOCKS, s + n));
        t = unit_tweak(unit, tweak_keys, kind);
        for (uint32_t j = 0; j < e; j++) {
            if (j >= s)
                tweak_store(table + 16 * (j - s), t);
            tweak_double(t);
        }
        const uint32_t count = e - s;
        for (uint32_t i = 0; i < count * 16; i++)
            data[i] ^= table[i];
        transform(kind, data, data_keys, count);
        for (uint32_t i = 0; i < count * 16; i++)
            data[i] ^= table[i];
        data += 16 * count;
        n -= count;
        unit++;
        s = 0;
    }
    wipe(table, sizeof(table));
    wipe(&t, sizeof(t));
}

// On the AES instructions the whole units go to the path's own routine; a
// unit entered at a block other than 0, a last partial unit and everything
// on the portable path go through the table.
template <bool Enc>
void xts_unitwise(uint8_t *data, uint64_t len, uint64_t unit, uint32_t s, const aes_schedule *data_keys,
                  const aes_schedule *tweak_keys, uint32_t kind)
{
    if (s >= XTS_UNIT_BLOCKS)
        return;
    uint64_t n = len / 16;
    const units_fn whole = kind == CIPHER_KIND_AES ? current_row().whole_units : nullptr;
    if (whole != nullptr) {
        if (s != 0) {
            const uint64_t head = std::min<uint64_t>(n, XTS_UNIT_BLOCKS - s);
            xts_tabled(data, head, unit, s, data_keys, tweak_keys, kind, blocks_op<Enc>);
            data += 16 * head;
            n -= head;
            unit++;
            s = 0;
        }
        const uint64_t units = n / XTS_UNIT_BLOCKS;
        whole(data_keys, tweak_keys, unit, data, units, Enc);
        data += XTS_UNIT_SIZE * units;
        n -= XTS_UNIT_BLOCKS * units;
        unit += units;
    }
    if (n > 0)
        xts_tabled(data, n, unit, s, data_keys, tweak_keys, kind, blocks_op<Enc>);
}

}  // namespace

bool cipher_path_available(cipher_path p)
{
    if (p >= k_path_count)
        return false;
    const cpu_features *f = cpu_features_get();
    const path_row &r = k_paths[p];
    return (!r.aesni || f->aesni) && (!r.avx2 || f->avx2) && (!r.avx512f || f->avx512f) && (!r.vaes || f->vaes);
}

cipher_path cipher_path_best()
{
    static const cipher_path best = [] {
        uint32_t p = k_path_count - 1;
        while (p > CIPHER_PATH_PORTABLE && !cipher_path_available(static_cast<cipher_path>(p)))
            p--;
        return static_cast<cipher_path>(p);
    }();
    return best;
}

cipher_path cipher_path_current()
{
    return static_cast<cipher_path>(path_slot().load(std::memory_order_relaxed));
}

int cipher_path_force(cipher_path p)
{
    if (!cipher_path_available(p))
        return -1;
    path_slot().store(p, std::memory_order_relaxed);
    return 0;
}

const char *cipher_path_name(cipher_path p)
{
    return p < k_path_count ? k_paths[p].name : "?";
}

bool cipher_hw_enabled(uint32_t kind)
{
    return kind == CIPHER_KIND_AES && hw_path();
}

void cipher_encrypt_block(uint32_t kind, uint8_t *block, const aes_schedule *keys)
{
    block_op<true>(kind, block, keys);
}

void cipher_decrypt_block(uint32_t kind, uint8_t *block, const aes_schedule *keys)
{
    block_op<false>(kind, block, keys);
}

void cipher_encrypt_blocks(uint32_t kind, uint8_t *data, const aes_schedule *keys, uint64_t count)
{
    blocks_op<true>(kind, data, keys, count);
}

void cipher_decrypt_blocks(uint32_t kind, uint8_t *data, const aes_schedule *keys, uint64_t count)
{
    blocks_op<false>(kind, data, keys, count);
}

void xts_encrypt(uint8_t *data, uint64_t len, uint64_t unit, uint32_t block, const aes_schedule *data_keys,
                 const aes_schedule *tweak_keys, uint32_t kind)
{
    if (cipher_hw_enabled(kind))
        xts_encrypt_hw(data, len, unit, block, data_keys, tweak_keys, kind);
    else
        xts_blockwise(data, len, unit, block, data_keys, tweak_keys, kind, block_op<true>);
}

void xts_decrypt(uint8_t *data, uint64_t len, uint64_t unit, uint32_t block, const aes_schedule *data_keys,
                 const aes_schedule *tweak_keys, uint32_t kind)
{
    if (cipher_hw_enabled(kind))
        xts_decrypt_hw(data, len, unit, block, data_keys, tweak_keys, kind);
    else
        xts_blockwise(data, len, unit, block, data_keys, tweak_keys, kind, block_op<false>);
}

void xts_encrypt_hw(uint8_t *data, uint64_t len, uint64_t unit, uint32_t block, const aes_schedule *data_keys,
                    const aes_schedule *tweak_keys, uint32_t kind)
{
    xts_unitwise<true>(data, len, unit, block, data_keys, tweak_keys, kind);
}

void xts_decrypt_hw(uint8_t *data, uint64_t len, uint64_t unit, uint32_t block, const aes_schedule *data_keys,
                    const aes_schedule *tweak_keys, uint32_t kind)
{
    xts_unitwise<false>(data, len, unit, block, data_keys, tweak_keys, kind);
}
