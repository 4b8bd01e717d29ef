// Test helper for the XXH3 state text: restores a state written by another
// process, hashes the rest of the message and prints the digest as hex.
// Usage: xxh3_resume STATE_TEXT REST; exits 1 when the text is refused.
#include <cstdio>
#include <cstring>

#include "libpal/hash/xxh3.h"
#include "libpal/string/str_hex.h"

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    XXH3_state_t *state = pl_xxh3_128_new();
    if (state == nullptr || pl_xxh3_128_set_ctx(state, argv[1]) != 0)
        return 1;
    pl_xxh3_128_update(state, argv[2], strlen(argv[2]));
    uint8_t digest[PL_XXH3_128_DIGEST_SIZE];
    pl_xxh3_128_final(state, digest);
    pl_xxh3_128_free(state);
    char text[2 * PL_XXH3_128_DIGEST_SIZE + 1];
    str_bin_to_hex(digest, sizeof(digest), text, sizeof(text));
    printf("%s\n", text);
    return 0;
}
