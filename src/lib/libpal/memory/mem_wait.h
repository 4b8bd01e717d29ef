// The bounded wait of the block rings (rbuf, mbuf): a waiter tests its
// condition under the ring's mutex and sleeps on the ring's event under that
// same mutex, so a change made (and signalled) after the test always wakes
// it. It waits at most twice, as the rings promise their callers.
#pragma once

#include <cstdint>

#include "libpal/basic/os_sync.h"
#include "libpal/basic/pl_own.h"

// While busy() holds, up to two waits of ms on cond: 0 once busy() is false,
// the result of a wait that timed out (-2) or failed (-1), or -1 when still
// busy after the second wait.
template <typename Busy>
int mem_wait_twice(const os_mutex_guard &held, os_cond *cond, uint32_t ms, const Busy &busy)
{
    for (int i = 0; i < 2 && busy(); i++) {
        const int rc = os_cond_wait_locked(cond, held.mutex(), ms);
        if (rc != 0)
            return rc;
    }
    return busy() ? -1 : 0;
}
