#define ZLOG_TAG "pal"
#include "libpal/network/os_poller.h"

#include "libpal/env/pl_assert.h"
#include "libpal/os/posix/os_poller_select.h"

os_poller *os_poller_init(void *priv)
{
    os_poller *poller = os_poller_select_init();
    if (poller != nullptr)
        poller->priv = priv;
    return poller;
}

void os_poller_exit(os_poller *poller)
{
    PL_ASSERT_RET_VOID(poller);
    os_poller_kill(poller);
    if (poller->exit != nullptr)
        poller->exit(poller);
}

void *os_poller_priv(os_poller *poller)
{
    PL_ASSERT_RET(poller, nullptr);
    return poller->priv;
}

uint16_t os_poller_type(os_poller *poller)
{
    PL_ASSERT_RET(poller, 0);
    return poller->type;
}

bool os_poller_support(os_poller *poller, uint32_t bits)
{
    PL_ASSERT_RET(poller, false);
    return (poller->features & bits) == bits;
}

bool os_poller_insert(os_poller *poller, const os_poller_object *object, uint32_t events, void *udata)
{
    PL_ASSERT_RET(poller && poller->insert && object, false);
    PL_ASSERT_RET(object->type != OS_POLLER_OBJECT_PROC, false);
    return poller->insert(poller, object, events, udata);
}

bool os_poller_remove(os_poller *poller, const os_poller_object *object)
{
    PL_ASSERT_RET(poller && poller->remove && object, false);
    PL_ASSERT_RET(object->type != OS_POLLER_OBJECT_PROC, false);
    return poller->remove(poller, object);
}

bool os_poller_modify(os_poller *poller, const os_poller_object *object, uint32_t events, void *udata)
{
    PL_ASSERT_RET(poller && poller->modify && object, false);
    PL_ASSERT_RET(object->type != OS_POLLER_OBJECT_PROC, false);
    return poller->modify(poller, object, events, udata);
}

int64_t os_poller_wait(os_poller *poller, os_poller_cb func, int64_t timeout_ms)
{
    PL_ASSERT_RET(poller && poller->wait && func, -1);
    return poller->wait(poller, func, timeout_ms);
}

void os_poller_spak(os_poller *poller)
{
    PL_ASSERT_RET_VOID(poller);
    if (poller->spak != nullptr)
        poller->spak(poller);
}

void os_poller_kill(os_poller *poller)
{
    PL_ASSERT_RET_VOID(poller);
    if (poller->kill != nullptr)
        poller->kill(poller);
}

int os_poller_attach(os_poller *poller)
{
    PL_ASSERT_RET(poller, -1);
    return poller->attach != nullptr ? poller->attach(poller) : 0;
}
