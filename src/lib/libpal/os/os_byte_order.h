// 64-bit byte order for wire fields (the NBD handles, offsets and sizes):
// both directions reverse the 8 bytes, as the wire is big-endian and the
// hosts we build for are little-endian.
#pragma once

#include <cstdint>

constexpr uint64_t os_hton64(uint64_t x)
{
    return __builtin_bswap64(x);
}

constexpr uint64_t os_ntoh64(uint64_t x)
{
    return __builtin_bswap64(x);
}
