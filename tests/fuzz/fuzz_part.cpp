// Partition readers: any medium contents give a bounded list or a refusal,
// never a fault, a hang or a read outside the medium. The first byte picks
// the sector size, the rest is the medium.
#include <cstring>

#include "fuzz_quiet.h"
#include "libpart/libpart.h"

namespace {

struct image {
    const uint8_t *data;
    size_t         size;
};

int64_t read_image(void *h, void *buf, uint32_t len, uint64_t off)
{
    const auto *img = static_cast<const image *>(h);
    if (off > img->size || len > img->size - off)
        return -1;
    memcpy(buf, img->data + off, len);
    return len;
}

const char *image_err(void *)
{
    return "outside the image";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    image img{data + 1, size - 1};
    libpart_medium m{&img, read_image, image_err, img.size, 512u << (data[0] & 3), "fuzz"};
    libpart_info info{};
    char err[4096];
    if (libpart_get_medium(&m, &info, err) == 0) {
        FUZZ_CHECK(info.count >= 1 && info.count <= LIBPART_MAX_ENTRIES);
        for (uint64_t i = 0; i < info.count; i++)
            FUZZ_CHECK(memchr(info.entries[i]->desc, 0, sizeof(info.entries[i]->desc)) != nullptr);
        libpart_free(&info);
    }
    return 0;
}
