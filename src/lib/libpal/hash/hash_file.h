// Whole-file digests read a file the same way: opened read-only through a
// file object, read in 2 MiB pieces through one buffer until a read comes
// back short. Used by the CRC-32 and MD5 file functions.
#pragma once

#include <cstddef>

using hash_file_feed = void (*)(void *ctx, const void *data, size_t len);

// Hands each piece to feed. 0 at the end of the file; -1 when the path cannot
// be opened (feed never called); -2 when a read fails or the buffer cannot be
// had (the pieces before it were fed).
int hash_file_pieces(const char *path, hash_file_feed feed, void *ctx);
