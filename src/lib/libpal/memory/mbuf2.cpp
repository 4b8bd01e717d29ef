// Block pool: block i at data + i * block_size, its descriptor at desc[i].
#include "libpal/memory/mbuf2.h"

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

void mbuf2_free(mbuf2 *h)
{
    os_free(h->data);
    os_free(h->desc);
    os_free(h);
}

}  // namespace

mbuf2 *mbuf2_init(uint32_t all_size, uint32_t block_size)
{
    PL_ASSERT_TEXT_RET(all_size > 2, "all_size>2", nullptr);
    PL_ASSERT_TEXT_RET(block_size > 0, "block_size>0", nullptr);
    pl_owned<mbuf2, mbuf2_free> h(static_cast<mbuf2 *>(os_zalloc(sizeof(mbuf2))));
    if (!h)
        return nullptr;
    const uint64_t blocks = (static_cast<uint64_t>(all_size) + block_size - 1) / block_size;
    h->block_size = block_size;
    h->max_idx = all_size / block_size;
    h->data = static_cast<uint8_t *>(os_malloc(blocks * block_size));
    h->desc = static_cast<mbuf2_desc *>(os_zalloc(blocks * sizeof(mbuf2_desc)));
    if (h->data == nullptr || h->desc == nullptr)
        return nullptr;
    return h.release();
}

int mbuf2_exit(mbuf2 *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    mbuf2_free(h);
    return 0;
}

void mbuf2_reset(mbuf2 *h)
{
    PL_ASSERT_TEXT_RET_VOID(h != nullptr, "h!=NULL");
    h->alloc_idx = 0;
}

mbuf2_desc *mbuf2_get_block(mbuf2 *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", nullptr);
    PL_ASSERT_TEXT_RET(h->alloc_idx < h->max_idx, "ctx->alloc_idx<ctx->max_idx", nullptr);
    mbuf2_desc *d = &h->desc[h->alloc_idx];
    d->block = h->data + static_cast<size_t>(h->alloc_idx) * h->block_size;
    h->alloc_idx++;
    return d;
}
