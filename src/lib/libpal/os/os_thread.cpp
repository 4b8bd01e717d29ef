// Named threads: start record -> new thread (name registered, function run,
// name forgotten, handle handed over) and the owner's wait and release. The
// stop paths never cancel: a thread that outlives its owner's wait runs on. The
// handle's two flags live in one atomic word, so each side marks its own flag
// and learns the other's in one step: the side that comes second frees the
// handle.
#include "libpal/os/os_thread.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/os_thread_name.h"
#include "libpal/basic/pl_own.h"
#include "libpal/os/os_init.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

enum : uint32_t {
    k_released = 0x1,  // the owner joined, detached or gave up the thread
    k_exited   = 0x2,  // the thread's function is over
    k_detached = 0x4,  // owner's own mark: a failed join already detached it
};

struct os_thread {
    pthread_t thread;
    std::atomic<uint32_t> flags;
};

namespace {

constexpr size_t k_name_size = 256;
constexpr size_t k_handle_align = 64;

struct start_record {
    char name[k_name_size];
    os_thread_attr attr;
    os_thread_proc func;
    void *arg;
    os_thread *handle;
};

void handle_free(os_thread *h)
{
    h->~os_thread();
    os_free_align(h);
}

// The thread's last step, also on cancellation and os_thread_exit (both
// unwind the stack): forget the name, mark the handle exited and free it when
// the owner has already let go.
class thread_end {
public:
    explicit thread_end(os_thread *h) : h_(h) {}
    ~thread_end()
    {
        // A cancellation request arriving now must not unwind out of here.
        int old = 0;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
        os_thread_name_del();
        if (h_->flags.fetch_or(k_exited) & k_released)
            handle_free(h_);
    }
    thread_end(const thread_end &) = delete;
    thread_end &operator=(const thread_end &) = delete;

private:
    os_thread *h_;
};

void *os_thread_start_proc(void *p)
{
    // Nothing set up here may be cut short by an early cancellation, or the
    // record and the handle would never be released.
    int old_state = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_state);
    auto *rec = static_cast<start_record *>(p);
    os_thread_proc func = rec->func;
    void *arg = rec->arg;
    thread_end end(rec->handle);
    os_thread_name_set(rec->name);
    os_free(rec);
    pthread_setcancelstate(old_state, nullptr);
    const int result = func(arg);
    return reinterpret_cast<void *>(static_cast<intptr_t>(result));
}

// The stack size to start with: the caller's, else the environment's, else
// the default; -1 when the environment's does not fit an int.
long stack_size_pick(int stack_size)
{
    if (stack_size != 0)
        return stack_size;
    const uint64_t env = os_getenv_size("QD_THREAD_STACK_SIZE");
    if (env == 0)
        return OS_THREAD_STACK_SIZE;
    if (env > INT_MAX) {
        ZLOG_ERR("QD_THREAD_STACK_SIZE=%llu too large\n", static_cast<unsigned long long>(env));
        return -1;
    }
    ZLOG_VERB("QD_ENV_STACK_SIZE=%d", static_cast<int>(env));
    return static_cast<long>(env);
}

}  // namespace

os_thread *os_thread_init2(const char *name, os_thread_proc func, void *arg, int stack_size,
                           const os_thread_attr *attr)
{
    PL_ASSERT_TEXT_RET(name != nullptr, "name!=NULL", nullptr);
    PL_ASSERT_TEXT_RET(func != nullptr, "func!=NULL", nullptr);
    pl_owned<start_record, os_free> rec(static_cast<start_record *>(os_zalloc(sizeof(start_record))));
    void *mem = os_zalloc_align(sizeof(os_thread), k_handle_align);
    pl_owned<os_thread, handle_free> h(mem != nullptr ? new (mem) os_thread{} : nullptr);
    if (!rec || !h)
        return nullptr;
    str_safecopy(rec->name, sizeof(rec->name), name);
    rec->func = func;
    rec->arg = arg;
    if (attr != nullptr)
        rec->attr = *attr;
    rec->handle = h.get();

    const long stack = stack_size_pick(stack_size);
    pthread_attr_t pattr;
    int ret = pthread_attr_init(&pattr);
    if (ret != 0) {
        ZLOG_ERR("pthread_attr_init name:%s error: %s\n", rec->name, strerror(ret));
        return nullptr;
    }
    ret = stack > 0 ? pthread_attr_setstacksize(&pattr, static_cast<size_t>(stack)) : EINVAL;
    if (ret != 0) {
        ZLOG_ERR("pthread_attr_setstacksize name:%s size:%ld error: %s\n", rec->name, stack, strerror(ret));
    } else {
        ret = pthread_create(&h->thread, &pattr, os_thread_start_proc, rec.get());
        if (ret != 0)
            ZLOG(ret == EAGAIN ? LOG2_DBG : LOG2_ERR, "pthread_create name:%s error: %s\n", rec->name, strerror(ret));
    }
    pthread_attr_destroy(&pattr);
    if (ret != 0) {
        // The handle and record go first: their release must not change the reason.
        rec.reset();
        h.reset();
        errno = ret;
        return nullptr;
    }
    // The thread owns the record now, and shares the handle with the caller.
    rec.release();
    return h.release();
}

os_thread *os_thread_init(const char *name, os_thread_proc func, void *arg, int stack_size)
{
    return os_thread_init2(name, func, arg, stack_size, nullptr);
}

int os_thread_wait(os_thread *thread, int ms, int *exit_value)
{
    PL_ASSERT_TEXT_RET(thread != nullptr, "thread!=NULL", -1);
    if (thread->flags.load() & k_released) {
        if (exit_value != nullptr)
            *exit_value = 0;
        return 0;
    }
    void *value = nullptr;
    int ret = 0;
    if (ms < 0) {
        ret = pthread_join(thread->thread, &value);
    } else {
        timespec deadline{};
#ifdef __SANITIZE_THREAD__
        // ThreadSanitizer does not know pthread_clockjoin_np and would take
        // the thread for never joined; it knows the wall-clock form.
        os_timespec_after_ms(&deadline, static_cast<uint32_t>(ms));
        ret = pthread_timedjoin_np(thread->thread, &value, &deadline);
#else
        // The deadline is monotonic: a wall-clock step neither stretches nor cuts the wait.
        os_timespec_tick_after_ms(&deadline, static_cast<uint32_t>(ms));
        ret = pthread_clockjoin_np(thread->thread, &value, CLOCK_MONOTONIC, &deadline);
#endif
        if (ret == ETIMEDOUT)
            return -2;
    }
    if (ret != 0) {
        ZLOG_WARN("pthread_join ret=%d failed", ret);
        pthread_detach(thread->thread);
        thread->flags.fetch_or(k_detached);
        return -1;
    }
    thread->flags.fetch_or(k_released);
    if (exit_value != nullptr)
        *exit_value = static_cast<int>(reinterpret_cast<intptr_t>(value));
    return 0;
}

int os_thread_release(os_thread *thread)
{
    PL_ASSERT_TEXT_RET(thread != nullptr, "thread!=NULL", -1);
    if (!(thread->flags.load() & (k_released | k_detached)))
        pthread_detach(thread->thread);
    if (thread->flags.fetch_or(k_released) & k_exited) {
        handle_free(thread);
        return 0;
    }
    return -1;
}

int os_thread_cancel(os_thread *thread)
{
    PL_ASSERT_TEXT_RET(thread != nullptr, "thread!=NULL", -1);
    const int ret = pthread_cancel(thread->thread);
    if (ret != 0) {
        ZLOG_WARN("pthread_cancel ret=%d failed\n", ret);
        return -1;
    }
    return 0;
}

int os_thread_wait_kill_exit(os_thread *thread, int ms, int *exit_value)
{
    PL_ASSERT_TEXT_RET(thread != nullptr, "thread!=NULL", -1);
    const int ret = os_thread_wait(thread, ms, exit_value);
    // Not joined: the release detaches it, and it frees the handle as it ends.
    os_thread_release(thread);
    return ret == 0 ? 0 : -1;
}

void os_thread_exit(int value)
{
    pthread_exit(reinterpret_cast<void *>(static_cast<intptr_t>(value)));
}
