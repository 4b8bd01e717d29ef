// Byte order for wire fields and on-disk tables: the 64-bit swaps of the NBD
// handles, offsets and sizes (both directions reverse the 8 bytes, as the
// wire is big-endian and the hosts we build for are little-endian), and
// big- and little-endian loads and stores at any alignment (memcpy plus a
// byte swap, never a struct cast over a buffer), shared by the NBD messages
// and the partition readers.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

constexpr uint64_t os_hton64(uint64_t x)
{
    return __builtin_bswap64(x);
}

constexpr uint64_t os_ntoh64(uint64_t x)
{
    return __builtin_bswap64(x);
}

namespace byte_order_detail {

template <typename T>
constexpr T swap(T v)
{
    if constexpr (sizeof(T) == 2)
        return __builtin_bswap16(v);
    else if constexpr (sizeof(T) == 4)
        return __builtin_bswap32(v);
    else
        return __builtin_bswap64(v);
}

template <typename T>
inline T load(const uint8_t *p, std::endian order)
{
    T v;
    std::memcpy(&v, p, sizeof(v));
    return order == std::endian::native ? v : swap(v);
}

template <typename T>
inline void store(uint8_t *p, T v, std::endian order)
{
    if (order != std::endian::native)
        v = swap(v);
    std::memcpy(p, &v, sizeof(v));
}

}  // namespace byte_order_detail

inline uint16_t be16_load(const uint8_t *p) { return byte_order_detail::load<uint16_t>(p, std::endian::big); }
inline uint32_t be32_load(const uint8_t *p) { return byte_order_detail::load<uint32_t>(p, std::endian::big); }
inline uint64_t be64_load(const uint8_t *p) { return byte_order_detail::load<uint64_t>(p, std::endian::big); }
inline uint32_t le32_load(const uint8_t *p) { return byte_order_detail::load<uint32_t>(p, std::endian::little); }
inline uint64_t le64_load(const uint8_t *p) { return byte_order_detail::load<uint64_t>(p, std::endian::little); }

inline void be16_store(uint8_t *p, uint16_t v) { byte_order_detail::store(p, v, std::endian::big); }
inline void be32_store(uint8_t *p, uint32_t v) { byte_order_detail::store(p, v, std::endian::big); }
inline void be64_store(uint8_t *p, uint64_t v) { byte_order_detail::store(p, v, std::endian::big); }
inline void le32_store(uint8_t *p, uint32_t v) { byte_order_detail::store(p, v, std::endian::little); }
