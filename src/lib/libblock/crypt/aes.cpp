// Portable AES on 32-bit columns. A column holds its four state bytes in
// memory order (row 0 in the low byte), which is how the schedule stores its
// words too; the round tables are built at compile time from the S-box, which
// is itself computed from its definition (inverse in GF(2^8), then the affine
// map) rather than typed in.
#include "libblock/crypt/aes.h"

#include <array>
#include <bit>
#include <cstring>
#include <string.h>

namespace {

using table = std::array<uint32_t, 256>;

constexpr uint8_t gf_mul(uint8_t a, uint8_t b)
{
    uint8_t r = 0;
    while (b != 0) {
        if (b & 1)
            r ^= a;
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0));
        b >>= 1;
    }
    return r;
}

constexpr uint8_t rotl8(uint8_t x, int k)
{
    return static_cast<uint8_t>((x << k) | (x >> (8 - k)));
}

// p runs through every non-zero element as powers of the generator 3 while q
// runs through their inverses; the S-box is the affine map of the inverse.
constexpr std::array<uint8_t, 256> make_sbox()
{
    std::array<uint8_t, 256> s{};
    uint8_t p = 1, q = 1;
    do {
        p = static_cast<uint8_t>(p ^ (p << 1) ^ ((p & 0x80) ? 0x1B : 0));
        q = static_cast<uint8_t>(q ^ (q << 1));
        q = static_cast<uint8_t>(q ^ (q << 2));
        q = static_cast<uint8_t>(q ^ (q << 4));
        if (q & 0x80)
            q ^= 0x09;
        s[p] = static_cast<uint8_t>(q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4) ^ 0x63);
    } while (p != 1);
    s[0] = 0x63;
    return s;
}

constexpr std::array<uint8_t, 256> k_sbox = make_sbox();

constexpr std::array<uint8_t, 256> make_inv_sbox()
{
    std::array<uint8_t, 256> s{};
    for (int x = 0; x < 256; x++)
        s[k_sbox[x]] = static_cast<uint8_t>(x);
    return s;
}

constexpr std::array<uint8_t, 256> k_inv_sbox = make_inv_sbox();

constexpr uint32_t pack(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
{
    return b0 | (uint32_t{b1} << 8) | (uint32_t{b2} << 16) | (uint32_t{b3} << 24);
}

// The MixColumns (or InvMixColumns) column of a substituted byte in row 0,
// rotated by 8 bits per row for the other three tables.
constexpr table make_table(const std::array<uint8_t, 256> &box, std::array<uint8_t, 4> coef, int row)
{
    table t{};
    for (int x = 0; x < 256; x++) {
        const uint8_t s = box[x];
        const uint32_t col = pack(gf_mul(s, coef[0]), gf_mul(s, coef[1]), gf_mul(s, coef[2]), gf_mul(s, coef[3]));
        t[x] = std::rotl(col, 8 * row);
    }
    return t;
}

constexpr std::array<uint8_t, 4> k_mix     = {2, 1, 1, 3};
constexpr std::array<uint8_t, 4> k_inv_mix = {14, 9, 13, 11};

constexpr std::array<table, 4> k_te = {make_table(k_sbox, k_mix, 0), make_table(k_sbox, k_mix, 1),
                                       make_table(k_sbox, k_mix, 2), make_table(k_sbox, k_mix, 3)};
constexpr std::array<table, 4> k_td = {
    make_table(k_inv_sbox, k_inv_mix, 0), make_table(k_inv_sbox, k_inv_mix, 1),
    make_table(k_inv_sbox, k_inv_mix, 2), make_table(k_inv_sbox, k_inv_mix, 3)};

// InvMixColumns of a column, through the decryption tables: Td[S(b)] is
// InvMixColumns applied to b alone.
constexpr uint32_t inv_mix(uint32_t w)
{
    return k_td[0][k_sbox[w & 0xFF]] ^ k_td[1][k_sbox[(w >> 8) & 0xFF]] ^
           k_td[2][k_sbox[(w >> 16) & 0xFF]] ^ k_td[3][k_sbox[w >> 24]];
}

uint32_t load_col(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    return v;
}

void store_col(uint8_t *p, uint32_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    memcpy(p, &v, 4);
}

// Round key word i as a column (bytes in memory order).
uint32_t rk_col(const aes_schedule *s, int i)
{
    return load_col(reinterpret_cast<const uint8_t *>(s->rk) + 4 * i);
}

uint8_t b(uint32_t w, int n)
{
    return static_cast<uint8_t>(w >> (8 * n));
}

int rounds_of(const aes_schedule *s)
{
    switch (s->last) {
    case 160: return 10;
    case 192: return 12;
    case 224: return 14;
    default: return 0;
    }
}

// FIPS-197 key expansion for nk words of key, bytes in memory order.
void expand(const uint8_t *key, int nk, aes_schedule *s)
{
    const int nr = nk + 6;
    const int words = 4 * (nr + 1);
    std::array<uint8_t, 240> w{};
    memcpy(w.data(), key, 4 * nk);
    uint8_t rcon = 1;
    for (int i = nk; i < words; i++) {
        uint8_t t[4];
        memcpy(t, &w[4 * (i - 1)], 4);
        if (i % nk == 0) {
            const uint8_t t0 = t[0];
            t[0] = static_cast<uint8_t>(k_sbox[t[1]] ^ rcon);
            t[1] = k_sbox[t[2]];
            t[2] = k_sbox[t[3]];
            t[3] = k_sbox[t0];
            rcon = static_cast<uint8_t>((rcon << 1) ^ ((rcon & 0x80) ? 0x1B : 0));
        } else if (nk > 6 && i % nk == 4) {
            for (auto &x : t)
                x = k_sbox[x];
        }
        for (int k = 0; k < 4; k++)
            w[4 * i + k] = static_cast<uint8_t>(w[4 * (i - nk) + k] ^ t[k]);
    }
    memset(s->rk, 0, sizeof(s->rk));
    memcpy(s->rk, w.data(), 4 * words);
    s->last = static_cast<uint32_t>(16 * nr);
    // The expanded key must not linger on the stack.
    explicit_bzero(w.data(), w.size());
}

void invert(aes_schedule *s)
{
    const int nr = rounds_of(s);
    aes_schedule enc = *s;
    uint8_t *out = reinterpret_cast<uint8_t *>(s->rk);
    for (int r = 0; r <= nr; r++) {
        for (int c = 0; c < 4; c++) {
            uint32_t w = rk_col(&enc, 4 * (nr - r) + c);
            if (r != 0 && r != nr)
                w = inv_mix(w);
            store_col(out + 16 * r + 4 * c, w);
        }
    }
    explicit_bzero(&enc, sizeof(enc));
}

int dec_schedule(const uint8_t *key, int nk, aes_schedule *s)
{
    expand(key, nk, s);
    invert(s);
    return 0;
}

int key_words(uint32_t size)
{
    switch (size) {
    case 16: case 128: return 4;
    case 24: case 192: return 6;
    case 32: case 256: return 8;
    default: return 0;
    }
}

// One block either way: the inverse cipher takes the row-r byte of a new
// column from the column r places to the left instead of to the right.
template <bool Enc>
int aes_block(const uint8_t *in, uint8_t *out, const aes_schedule *s)
{
    const int nr = rounds_of(s);
    if (nr == 0)
        return -1;
    const auto &t = Enc ? k_te : k_td;
    const auto &box = Enc ? k_sbox : k_inv_sbox;
    constexpr int d = Enc ? 1 : 3;
    uint32_t st[4];
    for (int c = 0; c < 4; c++)
        st[c] = load_col(in + 4 * c) ^ rk_col(s, c);
    for (int r = 1; r < nr; r++) {
        uint32_t n[4];
        for (int c = 0; c < 4; c++)
            n[c] = t[0][b(st[c], 0)] ^ t[1][b(st[(c + d) & 3], 1)] ^ t[2][b(st[(c + 2 * d) & 3], 2)] ^
                   t[3][b(st[(c + 3 * d) & 3], 3)] ^ rk_col(s, 4 * r + c);
        for (int c = 0; c < 4; c++)
            st[c] = n[c];
    }
    uint32_t n[4];
    for (int c = 0; c < 4; c++)
        n[c] = pack(box[b(st[c], 0)], box[b(st[(c + d) & 3], 1)], box[b(st[(c + 2 * d) & 3], 2)],
                    box[b(st[(c + 3 * d) & 3], 3)]) ^ rk_col(s, 4 * nr + c);
    for (int c = 0; c < 4; c++)
        store_col(out + 4 * c, n[c]);
    return 0;
}

}  // namespace

int aes128_enc_schedule(const uint8_t *key, aes_schedule *s) { expand(key, 4, s); return 0; }
int aes192_enc_schedule(const uint8_t *key, aes_schedule *s) { expand(key, 6, s); return 0; }
int aes256_enc_schedule(const uint8_t *key, aes_schedule *s) { expand(key, 8, s); return 0; }
int aes128_dec_schedule(const uint8_t *key, aes_schedule *s) { return dec_schedule(key, 4, s); }
int aes192_dec_schedule(const uint8_t *key, aes_schedule *s) { return dec_schedule(key, 6, s); }
int aes256_dec_schedule(const uint8_t *key, aes_schedule *s) { return dec_schedule(key, 8, s); }

int aes_set_enc_key(const uint8_t *key, uint32_t size, aes_schedule *s)
{
    const int nk = key_words(size);
    if (nk == 0)
        return 1;
    expand(key, nk, s);
    return 0;
}

int aes_set_dec_key(const uint8_t *key, uint32_t size, aes_schedule *s)
{
    const int nk = key_words(size);
    if (nk == 0)
        return 1;
    return dec_schedule(key, nk, s);
}

int aes_enc_block(const uint8_t *in, uint8_t *out, const aes_schedule *s)
{
    return aes_block<true>(in, out, s);
}

int aes_dec_block(const uint8_t *in, uint8_t *out, const aes_schedule *s)
{
    return aes_block<false>(in, out, s);
}
