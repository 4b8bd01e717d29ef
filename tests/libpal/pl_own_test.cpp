// Objects built in steps: when any one allocation fails, the constructor
// answers nullptr and every step already made is released again.
#include "libpal/basic/pl_own.h"

#include <functional>

#include <gtest/gtest.h>

#include "alloc_tracker.h"
#include "libpal/comm/avl_tree.h"
#include "libpal/comm/queue.h"
#include "libpal/memory/lbuf.h"
#include "libpal/memory/mem_mgr.h"
#include "libpal/network/os_poller.h"

TEST(StepwiseConstruction, AFailedStepReleasesTheOnesBefore)
{
    struct row {
        const char *what;
        std::function<void *()> make;
        std::function<void(void *)> release;
    };
    const row rows[] = {
        {"queue", [] { return static_cast<void *>(queue_init(nullptr)); },
         [](void *p) { queue_close(static_cast<queue *>(p)); }},
        {"condition event", [] { return static_cast<void *>(os_cond_new()); },
         [](void *p) { os_cond_free(static_cast<os_cond *>(p)); }},
        {"item pool", [] {
             const lbuf_param param{"pool", nullptr, nullptr, nullptr, 0};
             return static_cast<void *>(lbuf_init(&param));
         },
         [](void *p) { lbuf_exit(static_cast<lbuf *>(p)); }},
        {"slab manager", [] { return static_cast<void *>(mem_slab_mgr_init(0, nullptr, 32)); },
         [](void *p) { mem_slab_mgr_exit(static_cast<mem_mgr *>(p)); }},
        {"AVL tree", [] { return static_cast<void *>(avl_new(nullptr)); },
         [](void *p) { avl_exit(static_cast<avl_tree *>(p)); }},
        {"poller", [] { return static_cast<void *>(os_poller_init(nullptr)); },
         [](void *p) { os_poller_exit(static_cast<os_poller *>(p)); }},
    };
    // The logger makes its own state on first use; a failure report must not
    // be the first thing to log.
    EXPECT_EQ(queue_size(nullptr), 0);
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        long failures = 0;
        for (long n = 1; n < 64; n++) {
            alloc_tracker mem;
            mem.fail_nth(n);
            void *obj = r.make();
            mem.fail_nth(0);
            if (obj == nullptr) {
                EXPECT_EQ(mem.live_count(), 0u) << "allocation " << n << " failed";
                failures++;
                continue;
            }
            r.release(obj);
            EXPECT_EQ(mem.live_count(), 0u);
            break;
        }
        EXPECT_GT(failures, 0) << "the constructor allocates";
    }
}
