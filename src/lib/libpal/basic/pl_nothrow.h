// The C-shaped boundary: a function that builds std::string or std::vector on
// the way runs its body through pl_nothrow, so a failed allocation becomes its
// error value (errno ENOMEM) instead of an exception thrown through callers
// that expect -1 or nullptr. Such functions are declared noexcept.
#pragma once

#include <cerrno>
#include <new>
#include <stdexcept>

template <typename R, typename Body>
R pl_nothrow(R fail, Body &&body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
    } catch (const std::length_error &) {
        errno = ENOMEM;
    }
    return fail;
}
