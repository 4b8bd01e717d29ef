// Allocator managers over item pools without name or callbacks.
#include "libpal/memory/mem_mgr.h"

#include <cstring>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

void *slab_malloc(lbuf *B, uint64_t)
{
    return lbuf_slab_malloc(B);
}

mem_mgr *mgr_new(uint32_t type, uint64_t item_size, void *(*alloc)(lbuf *, uint64_t))
{
    if (type != 0) {
        PL_ASSERT_RET(0, nullptr);
    }
    const lbuf_param param{nullptr, nullptr, nullptr, nullptr, item_size};
    pl_owned<lbuf, lbuf_exit> imp(lbuf_init(&param));
    pl_owned<mem_mgr, os_free> mgr(static_cast<mem_mgr *>(os_zalloc(sizeof(mem_mgr))));
    if (!imp || !mgr)
        return nullptr;
    mgr->imp = imp.release();
    mgr->type = type;
    mgr->malloc = alloc;
    mgr->free = lbuf_free;
    mgr->clear = lbuf_free_all;
    mgr->exit = lbuf_exit;
    return mgr.release();
}

void mgr_free(mem_mgr *mgr, void *block)
{
    if (mgr->free != nullptr)
        mgr->free(mgr->imp, block);
}

void mgr_exit(mem_mgr *mgr)
{
    if (mgr == nullptr)
        return;
    mgr->exit(mgr->imp);
    os_free(mgr);
}

}  // namespace

mem_mgr *mem_slab_mgr_init(uint32_t type, void *arg, uint64_t item_size)
{
    (void)arg;
    return mgr_new(type, item_size, slab_malloc);
}

void *mem_slab_mgr_malloc(mem_mgr *mgr)
{
    return mgr->malloc(mgr->imp, 0);
}

void mem_slab_mgr_free(mem_mgr *mgr, void *block)
{
    mgr_free(mgr, block);
}

void mem_slab_mgr_clear(mem_mgr *mgr)
{
    mgr->clear(mgr->imp);
}

void mem_slab_mgr_exit(mem_mgr *mgr)
{
    mgr_exit(mgr);
}

mem_mgr *mem_pool_mgr_init(uint32_t type)
{
    return mgr_new(type, 0, lbuf_malloc);
}

void *mem_pool_mgr_malloc(mem_mgr *mgr, uint64_t size)
{
    return mgr->malloc(mgr->imp, size);
}

void mem_pool_mgr_free(mem_mgr *mgr, void *block)
{
    mgr_free(mgr, block);
}

void mem_pool_mgr_clear(mem_mgr *mgr)
{
    mgr->clear(mgr->imp);
}

void mem_pool_mgr_exit(mem_mgr *mgr)
{
    mgr_exit(mgr);
}

char *mem_pool_mgr_strdup(mem_mgr *mgr, const char *text)
{
    PL_ASSERT_TEXT_RET(text != nullptr, "text!=NULL", nullptr);
    const size_t len = strlen(text) + 1;
    auto *copy = static_cast<char *>(mgr->malloc(mgr->imp, len));
    if (copy != nullptr)
        memcpy(copy, text, len);
    return copy;
}
