// Test helper for the file-hash tool: resumes a job saved by another process
// and finishes it over the rest of the file, then prints "name hex" for each
// enabled algorithm's digest. Usage: file_hash_resume FILE FLAGS BLOCK_SIZE
// OFFSET SAVED_TEXT_FILE; exits 1 when the job cannot be resumed or hashed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "libpal/os/os_file.h"
#include "libpal/string/str_hex.h"
#include "libpal/tframe/file_hash.h"

int main(int argc, char **argv)
{
    if (argc != 6)
        return 2;
    std::string saved;
    if (FILE *f = fopen(argv[5], "rb")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            saved.append(buf, n);
        fclose(f);
    }
    os_file_ctx *file = os_file_open(argv[1], 1);
    if (file == nullptr)
        return 1;
    const int64_t size = os_file_size(file);
    const uint64_t offset = strtoull(argv[4], nullptr, 10);
    file_hash_param p{};
    p.flags = static_cast<uint32_t>(strtoul(argv[2], nullptr, 10));
    p.handle = file;
    p.block_size = static_cast<uint32_t>(strtoul(argv[3], nullptr, 10));
    p.saved = saved.c_str();
    static verr err;
    file_hash_ctx *tool = file_hash_open(&p, &err);
    if (tool == nullptr || size < 0 || file_hash_cal(tool, offset, static_cast<uint64_t>(size) - offset) != 0) {
        fprintf(stderr, "%s\n", verr_msg(&err));
        return 1;
    }
    for (uint32_t flag = 1; flag <= FILE_HASH_PXXH3; flag <<= 1) {
        uint8_t digest[64];
        char hex[129];
        // One bit names one algorithm; its digest size is the first that fits.
        for (size_t len : {16, 20, 32, 64})
            if ((p.flags & flag) != 0 && file_hash_get_digest(tool, flag, digest, len) == 0) {
                str_bin_to_hex(digest, len, hex, sizeof(hex));
                printf("%s %s\n", file_hash_flags_str(flag), hex);
                break;
            }
    }
    file_hash_close(tool);
    os_file_close(file);
    return 0;
}
