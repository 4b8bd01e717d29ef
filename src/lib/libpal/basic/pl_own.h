// Ownership of what the platform's C-shaped constructors hand out: a
// unique_ptr whose deleter is the matching free function, and a scoped hold
// of an os_mutex. Every module that builds an object in steps, or locks a
// heap-held mutex, uses these instead of its own clean-up ladder.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>

#include "libpal/basic/os_sync.h"

// Calls Free on the pointer it is given; the result of Free, if any, is dropped.
template <auto Free>
struct pl_deleter {
    template <typename T>
    void operator()(T *p) const noexcept
    {
        Free(p);
    }
};

// pl_owned<queue, queue_close> q(queue_init(...)): the object is freed by
// queue_close unless released to its next owner.
template <typename T, auto Free>
using pl_owned = std::unique_ptr<T, pl_deleter<Free>>;

// Holds an os_mutex for the life of the guard, also when the thread unwinds
// on cancellation.
class os_mutex_guard {
public:
    explicit os_mutex_guard(os_mutex *mutex) : mutex_(mutex) { mutex_lock(mutex_); }
    ~os_mutex_guard() { mutex_unlock(mutex_); }
    os_mutex_guard(const os_mutex_guard &) = delete;
    os_mutex_guard &operator=(const os_mutex_guard &) = delete;

    os_mutex *mutex() const { return mutex_; }

private:
    os_mutex *mutex_;
};

// Wipes a buffer that may hold a key (an export name's "key=") when the
// scope ends, however it ends.
class pl_wipe_guard {
public:
    pl_wipe_guard(void *data, size_t size) : data_(data), size_(size) {}
    ~pl_wipe_guard() { explicit_bzero(data_, size_); }
    pl_wipe_guard(const pl_wipe_guard &) = delete;
    pl_wipe_guard &operator=(const pl_wipe_guard &) = delete;

private:
    void *data_;
    size_t size_;
};
