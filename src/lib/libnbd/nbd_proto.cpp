#include "libnbd/nbd_proto.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

namespace {

struct err_row {
    int code;
    uint32_t nbd_errno;
};

// Block-layer codes that clients can act on; every other code is EINVAL.
constexpr std::array<err_row, 6> k_err_map{{
    {-38, NBD_EPERM},
    {-250, NBD_EIO},
    {-254, NBD_EIO},
    {-8, NBD_ENOMEM},
    {-128, NBD_ENOSPC},
    {-152, NBD_ENOSPC},
}};

constexpr std::string_view k_drive_prefix = "\\\\.\\";
constexpr std::string_view k_physical_drive = "\\\\.\\PhysicalDrive";
constexpr std::string_view k_physical_memory = "\\\\.\\PhysicalMemory";

// Copies text into out (cut to the list name bound), lower-cased when asked.
size_t put_name(std::string_view text, char *out, bool lower)
{
    const size_t n = std::min<size_t>(text.size(), NBD_LIST_NAME_MAX);
    for (size_t i = 0; i < n; i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        out[i] = lower ? static_cast<char>(std::tolower(c)) : static_cast<char>(c);
    }
    out[n] = '\0';
    return n;
}

bool writes_data(uint16_t type)
{
    return type == NBD_CMD_WRITE || type == NBD_CMD_WRITE_ZEROES || type == NBD_CMD_TRIM;
}

}  // namespace

void nbd_greeting_encode(uint8_t out[NBD_GREETING_SIZE])
{
    memcpy(out, "NBDMAGIC", 8);
    be64_store(out + 8, NBD_OPTS_MAGIC);
    be16_store(out + 16, NBD_FLAG_FIXED_NEWSTYLE | NBD_FLAG_NO_ZEROES);
}

void nbd_opt_reply_encode(uint8_t out[NBD_OPT_REPLY_SIZE], uint32_t opt, uint32_t type, uint32_t len)
{
    be64_store(out, NBD_REP_MAGIC);
    be32_store(out + 8, opt);
    be32_store(out + 12, type);
    be32_store(out + 16, len);
}

void nbd_export_info_encode(uint8_t out[NBD_EXPORT_INFO_SIZE], uint64_t size, uint16_t tflags)
{
    be64_store(out, size);
    be16_store(out + 8, tflags);
}

void nbd_reply_encode(uint8_t out[NBD_REPLY_SIZE], uint32_t error, uint64_t handle)
{
    be32_store(out, NBD_SIMPLE_REPLY_MAGIC);
    be32_store(out + 4, error);
    // The handle is opaque: returned byte for byte as the request carried it.
    be64_store(out + 8, handle);
}

void nbd_block_size_encode(uint8_t out[NBD_BLOCK_SIZE_REPLY_SIZE], bool encrypted)
{
    be16_store(out, NBD_INFO_BLOCK_SIZE);
    be32_store(out + 2, encrypted ? NBD_BLOCK_MIN_CIPHER : NBD_BLOCK_MIN_PLAIN);
    be32_store(out + 6, NBD_BLOCK_PREFERRED);
    be32_store(out + 10, NBD_REQ_BUF_MAX);
}

uint16_t nbd_transmission_flags(bool readonly)
{
    return readonly ? NBD_TFLAGS_READONLY : NBD_TFLAGS_READWRITE;
}

uint32_t nbd_err_to_errno(int code)
{
    uint32_t e = NBD_EINVAL;
    for (const auto &row : k_err_map) {
        if (row.code == code) {
            e = row.nbd_errno;
            break;
        }
    }
    return __builtin_bswap32(e);
}

uint32_t nbd_errno_host(uint32_t wire)
{
    return __builtin_bswap32(wire);
}

bool nbd_client_flags_ok(uint32_t cflags)
{
    return (cflags & ~(NBD_FLAG_C_FIXED_NEWSTYLE | NBD_FLAG_C_NO_ZEROES)) == 0;
}

bool nbd_info_len_ok(uint32_t optlen, uint32_t namelen)
{
    return optlen >= 6 && optlen - 6 >= namelen;
}

nbd_info_verdict nbd_info_parse(std::span<const uint8_t> data, nbd_info_opt *out)
{
    *out = {};
    if (data.size() < 4) {
        return nbd_info_verdict::too_small;
    }
    const uint32_t namelen = be32_load(data.data());
    if (data.size() > UINT32_MAX || !nbd_info_len_ok(static_cast<uint32_t>(data.size()), namelen)) {
        return nbd_info_verdict::too_small;
    }
    if (namelen > NBD_NAME_MAX) {
        return nbd_info_verdict::name_too_long;
    }
    out->name = std::string_view(reinterpret_cast<const char *>(data.data() + 4), namelen);
    const auto reqs = data.subspan(4 + static_cast<size_t>(namelen));
    out->nreqs = be16_load(reqs.data());
    if (reqs.size() - 2 != 2 * static_cast<size_t>(out->nreqs)) {
        return nbd_info_verdict::bad_length;
    }
    for (size_t i = 0; i < out->nreqs; i++) {
        const uint16_t what = be16_load(reqs.data() + 2 + 2 * i);
        if (what == NBD_INFO_EXPORT) {
            out->export_reqs++;
        } else if (what == NBD_INFO_BLOCK_SIZE) {
            out->block_size_req = true;
        }
    }
    return nbd_name_ok(out->name) ? nbd_info_verdict::ok : nbd_info_verdict::name_has_nul;
}

bool nbd_name_ok(std::string_view name)
{
    return name.find('\0') == std::string_view::npos;
}

const char *nbd_info_verdict_text(nbd_info_verdict v)
{
    switch (v) {
    case nbd_info_verdict::ok:
        return "";
    case nbd_info_verdict::too_small:
        return "An OPT_INFO request cannot be smaller than the length of the name + 6";
    case nbd_info_verdict::name_too_long:
        return "export name too long";
    case nbd_info_verdict::bad_length:
        return "information request count does not match the option length";
    case nbd_info_verdict::name_has_nul:
        return "export name holds a NUL byte";
    }
    return "";
}

size_t nbd_list_alias(std::string_view name, char *out)
{
    char mapped[NBD_LIST_NAME_MAX + 16];
    if (name.starts_with(k_physical_drive)) {
        const auto rest = name.substr(k_physical_drive.size());
        const size_t n = std::min<size_t>(rest.size(), NBD_LIST_NAME_MAX);
        memcpy(mapped, "/dev/disk", 9);
        memcpy(mapped + 9, rest.data(), n);
        return put_name(std::string_view(mapped, 9 + n), out, true);
    }
    if (name == k_physical_memory) {
        return put_name("/dev/pmem", out, true);
    }
    if (name.size() == k_drive_prefix.size() + 2 && name.starts_with(k_drive_prefix) &&
        std::isalpha(static_cast<unsigned char>(name[k_drive_prefix.size()])) != 0 && name.back() == ':') {
        memcpy(mapped, "/dev/", 5);
        mapped[5] = name[k_drive_prefix.size()];
        return put_name(std::string_view(mapped, 6), out, true);
    }
    return put_name(name, out, false);
}

void nbd_request_parse(const uint8_t in[NBD_REQUEST_SIZE], nbd_request *req)
{
    req->magic = be32_load(in);
    req->flags = be16_load(in + 4);
    req->type = be16_load(in + 6);
    req->handle = be64_load(in + 8);
    req->offset = be64_load(in + 16);
    req->len = be32_load(in + 24);
}

nbd_req_verdict nbd_request_check(const nbd_request *req, uint64_t export_size, bool readonly)
{
    if ((req->flags & ~(NBD_CMD_FLAG_FUA | NBD_CMD_FLAG_NO_HOLE)) != 0) {
        return nbd_req_verdict::bad_flags;
    }
    switch (req->type) {
    case NBD_CMD_READ:
    case NBD_CMD_WRITE:
    case NBD_CMD_FLUSH:
    case NBD_CMD_TRIM:
    case NBD_CMD_WRITE_ZEROES:
        break;
    default:
        return nbd_req_verdict::unknown_cmd;
    }
    if (readonly && writes_data(req->type)) {
        return nbd_req_verdict::read_only;
    }
    if ((req->type == NBD_CMD_READ || req->type == NBD_CMD_WRITE) && req->len > NBD_REQ_BUF_MAX) {
        return nbd_req_verdict::too_large;
    }
    if (req->type != NBD_CMD_FLUSH && (req->offset > export_size || req->len > export_size - req->offset)) {
        return nbd_req_verdict::past_end;
    }
    return nbd_req_verdict::ok;
}

uint32_t nbd_req_verdict_errno(nbd_req_verdict v, uint16_t type)
{
    switch (v) {
    case nbd_req_verdict::ok:
        return 0;
    case nbd_req_verdict::read_only:
        return NBD_EPERM;
    case nbd_req_verdict::past_end:
        return type == NBD_CMD_WRITE || type == NBD_CMD_WRITE_ZEROES ? NBD_ENOSPC : NBD_EINVAL;
    case nbd_req_verdict::bad_flags:
    case nbd_req_verdict::unknown_cmd:
    case nbd_req_verdict::too_large:
        return NBD_EINVAL;
    }
    return NBD_EINVAL;
}
