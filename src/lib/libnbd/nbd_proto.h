// NBD wire format: the constants of the fixed newstyle handshake and of the
// transmission phase with simple replies, the encoders of every message the
// server sends, and the pure checks that decide what an option or a request
// gets before anything is executed. Used by the NBD server (nbdsrv.cpp); no
// function here touches a socket or a device. Every field on the wire is
// big-endian; buffers are the callers', of the sizes named below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "libpal/os/os_byte_order.h"

// Handshake.
constexpr uint64_t NBD_OPTS_MAGIC = 0x49484156454F5054ULL;  // "IHAVEOPT"
constexpr uint64_t NBD_REP_MAGIC  = 0x0003E889045565A9ULL;
constexpr uint16_t NBD_FLAG_FIXED_NEWSTYLE = 1;
constexpr uint16_t NBD_FLAG_NO_ZEROES      = 2;
constexpr uint32_t NBD_FLAG_C_FIXED_NEWSTYLE = 1;
constexpr uint32_t NBD_FLAG_C_NO_ZEROES    = 2;  // client flag bit looked at
constexpr uint32_t NBD_SRV_NO_ZEROES       = 4;  // the session's server flag for it

constexpr uint32_t NBD_OPT_EXPORT_NAME = 1;
constexpr uint32_t NBD_OPT_ABORT       = 2;
constexpr uint32_t NBD_OPT_LIST        = 3;
constexpr uint32_t NBD_OPT_STARTTLS    = 5;
constexpr uint32_t NBD_OPT_INFO        = 6;
constexpr uint32_t NBD_OPT_GO          = 7;

constexpr uint32_t NBD_REP_ACK          = 1;
constexpr uint32_t NBD_REP_SERVER       = 2;
constexpr uint32_t NBD_REP_INFO         = 3;
constexpr uint32_t NBD_REP_ERR_UNSUP    = 0x80000001;
constexpr uint32_t NBD_REP_ERR_POLICY   = 0x80000002;
constexpr uint32_t NBD_REP_ERR_INVALID  = 0x80000003;
constexpr uint32_t NBD_REP_ERR_PLATFORM = 0x80000004;
constexpr uint32_t NBD_REP_ERR_UNKNOWN  = 0x80000006;

constexpr uint16_t NBD_INFO_EXPORT     = 0;
constexpr uint16_t NBD_INFO_BLOCK_SIZE = 3;

// Transmission flags of the export information.
constexpr uint16_t NBD_TFLAGS_READONLY  = 0x143;  // has flags, read only, write zeroes, multi-conn
constexpr uint16_t NBD_TFLAGS_READWRITE = 0x6D;   // has flags, flush, FUA, trim, write zeroes

// Transmission.
constexpr uint32_t NBD_REQUEST_MAGIC      = 0x25609513;
constexpr uint32_t NBD_SIMPLE_REPLY_MAGIC = 0x67446698;

constexpr uint16_t NBD_CMD_READ         = 0;
constexpr uint16_t NBD_CMD_WRITE        = 1;
constexpr uint16_t NBD_CMD_DISC         = 2;
constexpr uint16_t NBD_CMD_FLUSH        = 3;
constexpr uint16_t NBD_CMD_TRIM         = 4;
constexpr uint16_t NBD_CMD_WRITE_ZEROES = 6;

constexpr uint16_t NBD_CMD_FLAG_FUA     = 1;
constexpr uint16_t NBD_CMD_FLAG_NO_HOLE = 2;

// NBD error numbers (host order; nbd_err_to_errno gives them in wire order).
constexpr uint32_t NBD_EPERM  = 1;
constexpr uint32_t NBD_EIO    = 5;
constexpr uint32_t NBD_ENOMEM = 12;
constexpr uint32_t NBD_EINVAL = 22;
constexpr uint32_t NBD_ENOSPC = 28;

// Message sizes.
constexpr size_t NBD_GREETING_SIZE    = 18;
constexpr size_t NBD_OPT_REPLY_SIZE   = 20;
constexpr size_t NBD_EXPORT_INFO_SIZE = 10;
constexpr size_t NBD_EXPORT_PAD_SIZE  = 124;
constexpr size_t NBD_INFO_REPLY_SIZE  = 12;  // u16 NBD_INFO_EXPORT + export information
constexpr size_t NBD_BLOCK_SIZE_REPLY_SIZE = 14;  // u16 NBD_INFO_BLOCK_SIZE + minimum, preferred, maximum
constexpr size_t NBD_REQUEST_SIZE     = 28;
constexpr size_t NBD_REPLY_SIZE       = 16;

// Bounds a peer's length fields must respect.
constexpr uint32_t NBD_NAME_MAX      = 4096;              // export names
constexpr uint32_t NBD_LIST_NAME_MAX = 1020;              // one name of NBD_REP_SERVER
constexpr uint32_t NBD_REQ_BUF_INIT  = 4096;              // the request buffer at first
constexpr uint32_t NBD_REQ_BUF_MAX   = 32U * 1024 * 1024;  // largest READ or WRITE served
// What a session keeps between requests: a larger request buffer is given
// back once its request is answered, so idle sessions hold little.
constexpr uint32_t NBD_REQ_BUF_KEEP  = 1024U * 1024;
// The session's receive buffer: what the socket already holds, taken in one
// receive, so that queued requests are served without a wait between them.
constexpr uint32_t NBD_RX_SIZE       = 64U * 1024;

// The block sizes told to a client that asks (NBD_INFO_BLOCK_SIZE): an
// encrypted export works in whole 512-byte units.
constexpr uint32_t NBD_BLOCK_MIN_PLAIN     = 1;
constexpr uint32_t NBD_BLOCK_MIN_CIPHER    = 512;
constexpr uint32_t NBD_BLOCK_PREFERRED     = 4096;

// Encoders: each writes exactly its message's size into out.
void nbd_greeting_encode(uint8_t out[NBD_GREETING_SIZE]);
void nbd_opt_reply_encode(uint8_t out[NBD_OPT_REPLY_SIZE], uint32_t opt, uint32_t type, uint32_t len);
void nbd_export_info_encode(uint8_t out[NBD_EXPORT_INFO_SIZE], uint64_t size, uint16_t tflags);
// error is in host order.
void nbd_reply_encode(uint8_t out[NBD_REPLY_SIZE], uint32_t error, uint64_t handle);
// The NBD_REP_INFO data for NBD_INFO_BLOCK_SIZE; the maximum is NBD_REQ_BUF_MAX.
void nbd_block_size_encode(uint8_t out[NBD_BLOCK_SIZE_REPLY_SIZE], bool encrypted);

uint16_t nbd_transmission_flags(bool readonly);

// A block-layer error code as the client's error number, in wire order:
// -38 EPERM, -250 and -254 EIO, -8 ENOMEM, -128 and -152 ENOSPC, else EINVAL.
uint32_t nbd_err_to_errno(int code);
// A wire-order error number back in host order (for messages and replies).
uint32_t nbd_errno_host(uint32_t wire);

// The client flags: a bit this server does not know ends the handshake, as
// the protocol requires (the client would expect something it never gets).
bool nbd_client_flags_ok(uint32_t cflags);

// NBD_OPT_INFO and NBD_OPT_GO: the option's data parsed whole.
enum class nbd_info_verdict {
    ok,
    too_small,     // shorter than the name length + 6
    name_too_long, // above NBD_NAME_MAX
    bad_length,    // the count of information requests disagrees with the length
    name_has_nul,  // the name would be read shorter than it was sent
};
struct nbd_info_opt {
    std::string_view name;      // points into the parsed data
    uint16_t nreqs;
    uint16_t export_reqs;       // how many of them are NBD_INFO_EXPORT
    bool block_size_req;        // NBD_INFO_BLOCK_SIZE is among them
};
// The option length must be known first: below this the option is refused
// without being buffered (its data is discarded instead).
constexpr uint32_t NBD_INFO_OPT_MAX = 4 + NBD_NAME_MAX + 2 + 2 * 65535;
// Cheap pre-check on the option length and the name length alone (the
// protocol's "name + 6" rule, computed without wrapping).
bool nbd_info_len_ok(uint32_t optlen, uint32_t namelen);
nbd_info_verdict nbd_info_parse(std::span<const uint8_t> data, nbd_info_opt *out);
// The reply text of a refused NBD_OPT_INFO or NBD_OPT_GO.
const char *nbd_info_verdict_text(nbd_info_verdict v);
// An export name is opened as a C string: one holding a NUL byte would open
// what comes before it ("a.img\0?alg=aes&key=..." as a plain "a.img"), so it
// is refused whatever the option.
bool nbd_name_ok(std::string_view name);

// NBD_OPT_LIST: a device lister name as the client sees it. Drive forms of
// the lister ("\\.\PhysicalDrive3", "\\.\PhysicalMemory", "\\.\C:") become
// device paths, lower-cased; every other name passes unchanged. The result
// is cut to NBD_LIST_NAME_MAX bytes. out holds NBD_LIST_NAME_MAX + 1 bytes.
size_t nbd_list_alias(std::string_view name, char *out);

// Transmission: a request as read from the wire.
struct nbd_request {
    uint32_t magic;
    uint16_t flags;
    uint16_t type;
    uint64_t handle;
    uint64_t offset;
    uint32_t len;
};
void nbd_request_parse(const uint8_t in[NBD_REQUEST_SIZE], nbd_request *req);

// What a request gets before it runs, in the order checked.
enum class nbd_req_verdict {
    ok,
    bad_flags,     // a flag other than FUA and NO_HOLE: EINVAL
    unknown_cmd,   // EINVAL
    read_only,     // WRITE, WRITE_ZEROES or TRIM on a read-only session: EPERM
    too_large,     // READ or WRITE above NBD_REQ_BUF_MAX: EINVAL
    past_end,      // READ and TRIM: EINVAL; WRITE and WRITE_ZEROES: ENOSPC
};
// Requires: req->type is not NBD_CMD_DISC without flags (that ends the loop).
nbd_req_verdict nbd_request_check(const nbd_request *req, uint64_t export_size, bool readonly);
// The host-order error number of a refused request (0 for ok).
uint32_t nbd_req_verdict_errno(nbd_req_verdict v, uint16_t type);
