// XTS over whole 512-byte data units on the AES round instructions, written
// once for registers of 1, 2 or 4 blocks (AES-NI, VAES on YMM, VAES on ZMM).
// The intrinsics inline only into functions compiled for their instruction
// set, so this body is included, inside an anonymous namespace, by aesni.cpp,
// vaes256.cpp and vaes512.cpp, each of which first defines XTS_TARGET (its
// target attribute) and a register traits type W:
//   vec, lanes                    the register type (a vector type, so ^ and &
//                                 apply) and the blocks it holds
//   load, store                   unaligned, lanes blocks at a time
//   key(rk)                       a 16-byte round key in every lane
//   enc, enc_last, dec, dec_last  one AES round in every lane
//   unit_blocks(u)                lane j: unit number u + j, little-endian,
//                                 then 8 zero bytes
//   spread(t, u)                  tweak u of the registers t (lane u % lanes
//                                 of t[u / lanes]) in every lane
// With one lane:
//   tweak_run(t, tw)              t times x^0 .. x^7 into tw, t times x^8 back
// With several:
//   shl(v, k), shr(v, k)          64-bit halves of lane j shifted by k + j
//                                 left, by 64 - k - j right (0 <= k + j <= 64)
//   shl_all(v, n)                 every 64-bit half shifted left by n
//   swap(v)                       the two 64-bit halves of each lane exchanged
//   low_halves()                  all ones in the low half of each lane
// The includer has <cstdint> and <string.h> (explicit_bzero) already.
// Tweaks are the encrypted unit number times x^j in GF(2^128) for block j,
// with the tweak read as a little-endian 128-bit number and the reduction
// byte 0x87, as IEEE Std 1619 has it.

constexpr int k_aes_rounds = 14;
// Registers in flight through the rounds: the round instruction's latency
// (about 4 cycles) times its issue rate (2 per cycle).
constexpr int k_xts_group = 8;
// Units whose tweaks are encrypted together, ahead of the data that needs them.
constexpr int k_xts_batch = 8;

// Lane j of t times x^(k + j), 0 <= k + j <= 57: both 64-bit halves shift
// left; the bits leaving the low half enter the high half, the bits leaving
// the top fold back into the low half times x^7 + x^2 + x + 1.
template <class W>
XTS_TARGET inline typename W::vec gf_mul_x(typename W::vec t, int k)
{
    const auto out  = W::swap(W::shr(t, k));
    const auto fold = W::shl_all(out, 1) ^ W::shl_all(out, 2) ^ W::shl_all(out, 7);
    return W::shl(t, k) ^ out ^ (fold & W::low_halves());
}

// Rounds 1 to 13 of N registers already XORed with round key 0. Each round
// key is read from the schedule where it is used: with 16 registers the
// blocks in flight must keep theirs, and a broadcast load costs no more than
// a register move.
template <class W, int N, bool Enc>
XTS_TARGET inline void aes_middle_rounds(const aes_schedule *s, typename W::vec *x)
{
#pragma GCC unroll 13
    for (int r = 1; r < k_aes_rounds; r++) {
        const auto k = W::key(s->rk + 4 * r);
#pragma GCC unroll 8
        for (int i = 0; i < N; i++)
            x[i] = Enc ? W::enc(x[i], k) : W::dec(x[i], k);
    }
}

// The encrypted tweaks of units unit .. unit + N * lanes - 1.
template <class W, int N>
XTS_TARGET inline void xts_unit_tweaks(const aes_schedule *tk, uint64_t unit, typename W::vec *t)
{
    const auto first = W::key(tk->rk);
#pragma GCC unroll 8
    for (int i = 0; i < N; i++)
        t[i] = W::unit_blocks(unit + static_cast<uint64_t>(i * W::lanes)) ^ first;
    aes_middle_rounds<W, N, true>(tk, t);
    const auto last = W::key(tk->rk + 4 * k_aes_rounds);
#pragma GCC unroll 8
    for (int i = 0; i < N; i++)
        t[i] = W::enc_last(t[i], last);
}

// One data unit whose encrypted tweak t fills every lane. Wide registers
// take each tweak straight from t, all at once; on 128-bit registers, whose
// instructions have no third operand, a run of doublings (W::tweak_run)
// costs a third of that. The tweak XOR after the last round rides in that
// round's key.
template <class W, bool Enc>
XTS_TARGET inline void xts_unit(const aes_schedule *k, typename W::vec t, uint8_t *data)
{
    constexpr int regs = 32 / W::lanes;
#pragma GCC unroll 4
    for (int g = 0; g < regs; g += k_xts_group) {
        typename W::vec x[k_xts_group], tw[k_xts_group];
        uint8_t *p       = data + 16 * W::lanes * g;
        const auto first = W::key(k->rk);
        if constexpr (W::lanes == 1) {
            t = W::tweak_run(t, tw);
        } else {
#pragma GCC unroll 8
            for (int i = 0; i < k_xts_group; i++)
                tw[i] = gf_mul_x<W>(t, (g + i) * W::lanes);
        }
#pragma GCC unroll 8
        for (int i = 0; i < k_xts_group; i++)
            x[i] = W::load(p + 16 * W::lanes * i) ^ tw[i] ^ first;
        aes_middle_rounds<W, k_xts_group, Enc>(k, x);
        const auto last_key = W::key(k->rk + 4 * k_aes_rounds);
#pragma GCC unroll 8
        for (int i = 0; i < k_xts_group; i++) {
            const auto last = last_key ^ tw[i];
            W::store(p + 16 * W::lanes * i, Enc ? W::enc_last(x[i], last) : W::dec_last(x[i], last));
        }
    }
}

// count whole units from unit number unit. The next batch's tweaks are
// encrypted before this batch's data, so their rounds overlap its work; a
// lone unit encrypts only its own.
template <class W, bool Enc>
XTS_TARGET inline void xts_units_of(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit,
                                    uint8_t *data, uint64_t count)
{
    constexpr int tweak_regs = k_xts_batch / W::lanes;
    if (count == 0)
        return;
    const aes_schedule *dk = Enc ? &data_keys[0] : &data_keys[1];
    const aes_schedule *tk = tweak_keys;
    typename W::vec t[tweak_regs], next[tweak_regs];
    if (count == 1)
        xts_unit_tweaks<W, 1>(tk, unit, t);
    else
        xts_unit_tweaks<W, tweak_regs>(tk, unit, t);
    for (;;) {
        const uint64_t n = count < k_xts_batch ? count : k_xts_batch;
        if (count > k_xts_batch)
            xts_unit_tweaks<W, tweak_regs>(tk, unit + k_xts_batch, next);
        for (uint64_t u = 0; u < n; u++)
            xts_unit<W, Enc>(dk, W::spread(t, static_cast<int>(u)), data + 512 * u);
        if (count == n)
            break;
        count -= n;
        unit += k_xts_batch;
        data += 512 * k_xts_batch;
#pragma GCC unroll 8
        for (int i = 0; i < tweak_regs; i++)
            t[i] = next[i];
    }
    // Encrypted tweaks are key-derived: none stays behind on the stack.
    explicit_bzero(t, sizeof(t));
    explicit_bzero(next, sizeof(next));
}

// The entry each instruction set exports: enc picks encryption or decryption.
template <class W>
XTS_TARGET inline void xts_whole_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit,
                                       uint8_t *data, uint64_t count, bool enc)
{
    if (enc)
        xts_units_of<W, true>(data_keys, tweak_keys, unit, data, count);
    else
        xts_units_of<W, false>(data_keys, tweak_keys, unit, data, count);
}
