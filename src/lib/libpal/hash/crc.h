// Table-driven CRCs. Each takes the previous value so a CRC can run over
// several pieces: CRC-8 (poly 0x07, SMBUS with 0), CRC-16 (poly 0x8005, kept
// and returned with its two bytes exchanged), CRC-32 (IEEE 802.3; pass 0 to
// start, or the previous result to continue), CRC-64 (reflected poly
// 0x95AC9329AC4BC9B5, no inversion).
#pragma once

#include <cstddef>
#include <cstdint>

// A missing data pointer is refused with 0.
uint8_t  hash_crc8(const void *data, size_t len, uint8_t init);
uint16_t hash_crc16(const void *data, size_t len, uint16_t init);
uint32_t hash_crc32(const void *data, size_t len, uint32_t prev);
uint64_t hash_crc64(const void *data, size_t len, uint64_t init);
// The CRC-32 as "%x" in a per-thread buffer that the next call overwrites.
const char *hash_crc32_str(const void *data, size_t len);
// The CRC-32 of a whole file, read in 2 MiB pieces through a file object.
// 0, or -1 when the path cannot be opened (out untouched) or a read fails.
int hash_crc32_file(const char *path, uint32_t *out);
