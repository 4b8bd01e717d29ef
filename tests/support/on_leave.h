// Test helper: runs a restoring step when the scope is left, however it is
// left (a failed ASSERT returns from the test body), so that process state a
// test changes (its umask, a fake clock) never leaks into the tests after it.
//     const on_leave restore{[old] { umask(old); }};
#pragma once

template <class F>
class on_leave {
public:
    explicit on_leave(F restore) : restore_(restore) {}
    on_leave(const on_leave &) = delete;
    on_leave &operator=(const on_leave &) = delete;
    ~on_leave() { restore_(); }

private:
    F restore_;
};
