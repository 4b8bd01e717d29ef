// Thread-name registry: thread id -> "<name>_<tag>" in an AVL tree that keeps
// its own copies of the texts, guarded by the registry's mutex.
#include "libpal/basic/os_thread_name.h"

#include <pthread.h>

#include <atomic>
#include <cstring>

#include "libpal/basic/os_sync.h"
#include "libpal/comm/avl_tree.h"
#include "libpal/hash/crc.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "liblog/zlog.h"

namespace {

enum : int { k_none = 0, k_failed = 1, k_ready = 2 };

// Guards the registry's existence (not its contents): every use holds it
// shared, os_thread_name_exit holds it exclusive, so a thread still naming
// itself while the process ends never touches a freed registry. A static
// rwlock is never destroyed, so it outlives every thread. Nothing logs while
// holding it exclusively: the logger reads thread names. Writers go first:
// with reader preference, threads that keep naming themselves would starve
// the exit for ever.
pthread_rwlock_t g_life = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
int g_state = k_none;
os_mutex *g_mutex = nullptr;
avl_tree *g_tree = nullptr;

class life_shared {
public:
    life_shared() { pthread_rwlock_rdlock(&g_life); }
    ~life_shared() { pthread_rwlock_unlock(&g_life); }
    life_shared(const life_shared &) = delete;
    life_shared &operator=(const life_shared &) = delete;
};

class life_exclusive {
public:
    life_exclusive() { pthread_rwlock_wrlock(&g_life); }
    ~life_exclusive() { pthread_rwlock_unlock(&g_life); }
    life_exclusive(const life_exclusive &) = delete;
    life_exclusive &operator=(const life_exclusive &) = delete;
};

// This thread's own entry as last stored, valid while the registry that
// stored it lives (its generation). The logger reads the name while it holds
// its own mutex, and the registry logs while it holds its locks (a failed
// allocation): reading the name therefore takes no lock at all. Only a thread
// sets or deletes its own entry, so the copy cannot go stale otherwise.
std::atomic<uint32_t> g_generation{1};
thread_local uint32_t t_generation = 0;
thread_local char t_name[64];

class registry_lock {
public:
    registry_lock() { mutex_lock(g_mutex); }
    ~registry_lock() { mutex_unlock(g_mutex); }
    registry_lock(const registry_lock &) = delete;
    registry_lock &operator=(const registry_lock &) = delete;
};

const void *tid_key(uint64_t tid)
{
    return reinterpret_cast<const void *>(static_cast<uintptr_t>(tid));
}

// Creates the registry when it does not exist; returns its state. The objects
// are made outside the lock because a failing allocation logs.
int registry_ensure()
{
    {
        life_shared lk;
        if (g_state != k_none)
            return g_state;
    }
    os_mutex *mutex = mutex_malloc();
    avl_tree *tree = nullptr;
    if (mutex != nullptr) {
        avl_param param{};
        param.flags = AVL_VAL_STR_COPY;
        tree = avl_new(&param);
    }
    bool installed = false;
    int state;
    {
        life_exclusive lk;
        if (g_state == k_none) {
            installed = true;
            if (mutex != nullptr && tree != nullptr) {
                g_mutex = mutex;
                g_tree = tree;
                g_state = k_ready;
            } else {
                g_state = k_failed;
            }
        }
        state = g_state;
    }
    if (installed && state == k_ready)
        return state;
    if (installed && mutex == nullptr)
        ZLOG_ERR("mutex_malloc filed\n");
    else if (installed)
        ZLOG_ERR("avl_new filed\n");
    avl_exit(tree);
    mutex_free(mutex);
    return state;
}

// 16 bytes {u64 seconds, u32 nanoseconds, 4 zero bytes}, little-endian.
uint16_t name_tag()
{
    os_time now{};
    os_time_now(&now);
    unsigned char buf[16] = {};
    for (int i = 0; i < 8; i++)
        buf[i] = static_cast<unsigned char>(now.sec >> (8 * i));
    for (int i = 0; i < 4; i++)
        buf[8 + i] = static_cast<unsigned char>(now.nsec >> (8 * i));
    return hash_crc16(buf, sizeof(buf), 0);
}

char *format_name(char *buf, size_t size, const char *name, uint64_t tid)
{
    if (name != nullptr)
        str_sprintf_s2(buf, size, "%s_%lu", name, static_cast<unsigned long>(tid));
    else
        str_sprintf_s2(buf, size, "%lu", static_cast<unsigned long>(tid));
    return buf;
}

}  // namespace

int os_thread_name_init()
{
    return registry_ensure() == k_ready ? 0 : -1;
}

int os_thread_name_set(const char *name)
{
    if (name == nullptr)
        return -1;
    uint64_t tid = os_thread_id();
    if (registry_ensure() != k_ready)
        return -1;
    // A name too long for 64 bytes leaves the text empty (and is logged).
    char text[64];
    str_sprintf_s(text, sizeof(text), "%s_%04x", name, name_tag());
    bool stored = false;
    {
        life_shared lk;
        if (g_state != k_ready)
            return -1;
        registry_lock reg;
        // avl_set answers false both for a replaced entry and for no memory.
        if (!avl_set(g_tree, tid_key(tid), text)) {
            const auto *now = static_cast<const char *>(avl_get(g_tree, tid_key(tid)));
            stored = now != nullptr && strcmp(now, text) == 0;
        } else {
            stored = true;
        }
        if (stored) {
            str_safecopy2(t_name, sizeof(t_name), text);
            t_generation = g_generation.load();
        }
    }
    // Reported once both locks are let go: the logger reads thread names.
    if (!stored) {
        ZLOG_ERR("thread name [%s] not stored\n", text);
        return -1;
    }
    return 0;
}

char *os_thread_name_get(char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return buf;
    const bool named = t_generation != 0 && t_generation == g_generation.load();
    return format_name(buf, size, named ? t_name : nullptr, os_thread_id());
}

int os_thread_name_del()
{
    uint64_t tid = os_thread_id();
    t_generation = 0;
    life_shared lk;
    if (g_state != k_ready)
        return 0;
    registry_lock reg;
    avl_del(g_tree, tid_key(tid));
    return 0;
}

void os_thread_name_exit()
{
    os_mutex *mutex = nullptr;
    avl_tree *tree = nullptr;
    {
        life_exclusive lk;
        mutex = g_mutex;
        tree = g_tree;
        g_mutex = nullptr;
        g_tree = nullptr;
        g_state = k_none;
        g_generation.fetch_add(1);
    }
    avl_exit(tree);
    mutex_free(mutex);
}
