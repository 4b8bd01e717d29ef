// Binary-record packets: the UDP datagrams of the log collector. A packet is
// "bsv", a flags byte (bit 0 big-endian fields, bit 1 a CRC-8 byte ends the
// packet, bit 2 bytes 4 to the end RC4-enciphered, bits 4-7 the version 0),
// a u16 length (the whole packet), a u16 packet type (5), then the payload
// of the record schema 5: host and program identity, the record's type id,
// the host name and the record itself. The writer sets the CRC bit always,
// the cipher bit while "udps" is configured, and writes little-endian.
// Parsing is for receivers (nothing in the daemon receives packets).
// Refusals are logged at dbg level with the tag "bsv".
#pragma once

#include <cstdint>

#include "libbsv/bsv_value.h"

constexpr uint32_t BSV_NET_MAX = 1472;          // a whole packet
constexpr uint32_t BSV_NET_CONTENT_MAX = 1471;  // what the CRC byte follows
constexpr uint32_t BSV_NET_HEAD_SIZE = 8;
constexpr uint32_t BSV_NET_PAYLOAD_FIXED = 34;  // sid .. type_id
constexpr uint32_t BSV_NET_VAR_ROOM = 1430;     // host name and record
constexpr uint16_t BSV_NET_TYPE_RECORD = 5;
constexpr uint8_t BSV_NET_F_BIG = 0x01;
constexpr uint8_t BSV_NET_F_CRC = 0x02;
constexpr uint8_t BSV_NET_F_RC4 = 0x04;
// The fixed key of the packet cipher.
constexpr uint8_t BSV_NET_KEY[16] = {0x3c, 0x91, 0xe0, 0xa7, 0x4b, 0x2d, 0x58, 0xf6,
                                     0x1e, 0x07, 0xc4, 0xb9, 0xd2, 0xa3, 0x85, 0x6f};

// A received packet's payload; the strings and data point into the packet.
struct bsv_net_payload {
    uint64_t sid;
    uint64_t bid;
    uint64_t stime;
    uint32_t ver_id;
    uint16_t app_id;
    uint8_t os_id;
    uint8_t arch_id;
    uint16_t type_id;
    const char *hostname;
    const void *data;
    uint32_t data_len;
};

// A packet of type 5 around a record (type_id 0: the "log" type) in pkt
// (BSV_NET_MAX bytes). Its length, or -1 when host name and record need
// BSV_NET_VAR_ROOM bytes or more (the packet would exceed its limit).
int bsv_pack_log(void *pkt, uint32_t type_id, const void *rec, uint32_t len);
// "bsv", the flags and the packet type; the length comes with finish.
void bsv_net_head(void *pkt, uint16_t type);
// Stores the length (and the CRC-8 of bytes 3 to the end of the content)
// and enciphers when the flags ask. The length, or -1 when the content is
// longer than BSV_NET_CONTENT_MAX.
int bsv_net_finish(void *pkt, uint32_t content_len);
// RC4 with a fresh key schedule over bytes 4 to len - 1, in place.
void bsv_net_rc4(void *pkt, uint32_t len);
// The cipher switch of the packets written from now on.
void bsv_net_set_rc4(int on);

// Checks a received packet (deciphering it in place): its packet type, or -1.
int bsv_parse_net_type(void *pkt, uint32_t len);
// Reads a checked packet's payload through value (the schema of type 5, or
// 6 for big-endian packets). 0, or -1 when the packet is too short or the
// byte orders differ.
int bsv_parse_net_payload(const void *pkt, uint32_t len, bsv_value *value, bsv_net_payload *out);
