// The piece loop of the file digests.
#include "libpal/hash/hash_file.h"

#include <cstdint>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/os/os_file.h"

namespace {

// Read-only (0x1) plus two bits the file objects pass through unread.
constexpr uint64_t k_file_flags = 0x1081;
constexpr size_t k_file_piece = 0x200000;

}  // namespace

int hash_file_pieces(const char *path, hash_file_feed feed, void *ctx)
{
    pl_owned<os_file_ctx, os_file_close> file(os_file_open(path, k_file_flags));
    if (!file)
        return -1;
    pl_owned<void, os_free> buf(os_malloc(k_file_piece));
    if (!buf)
        return -2;
    // A piece shorter than the buffer is the file's end.
    for (;;) {
        const int64_t n = os_file_read(file.get(), buf.get(), k_file_piece);
        if (n < 0)
            return -2;
        feed(ctx, buf.get(), static_cast<size_t>(n));
        if (static_cast<size_t>(n) != k_file_piece)
            return 0;
    }
}
