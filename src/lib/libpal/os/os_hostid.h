// Host identity from the machine's link-layer (MAC) addresses: the host
// identifier that the application descriptor and every binary-record packet
// carry, and the conversions of a MAC between bytes, number and text. A MAC
// as a number is its 6 bytes read big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/utils/vec.h"

struct ifaddrs;

// The 6 to 8 bytes as a big-endian number; 0 for any other length.
uint64_t os_mac_to_u64(const uint8_t *bytes, size_t len);
// Reads "xx:xx:xx:xx:xx:xx" into out (6 bytes); fields that are missing or
// unreadable become 0. Returns the number of fields read.
int os_mac_parse(const char *text, uint8_t *out);

// The link-layer addresses of the machine's interfaces above 0xffffff, last
// interface first, in an array the caller frees with vec_u64_free; nullptr
// when the interface list cannot be read or is empty.
vec_u64 *os_mac_get_all();

// Over the link-layer addresses of list, walked from the last entry to the
// first, leaving out values not above 0xffffff (all-zero and near-zero
// addresses): mode 0 the first value, 1 the lowest, 2 the highest; 0 when
// there is none.
uint64_t os_host_id_from(const ifaddrs *list, int mode);
// The same over the machine's interfaces.
uint64_t os_host_id_by(int mode);
uint64_t os_host_id();
uint64_t os_host_id_min();
uint64_t os_host_id_max();
// os_host_id as "%llx", in a per-thread buffer rewritten on each call.
const char *os_host_id_str();
// The system information text (os_get_info) with blanks trimmed at both ends,
// read once (256 bytes); the banner's command-line log line carries it.
const char *os_host_info_str();
