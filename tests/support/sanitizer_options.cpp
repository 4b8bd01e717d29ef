// Sanitizer options every test executable needs, whichever sanitizer the
// build uses (each runtime reads only its own hook; without one they are
// unused). The allocation tests ask for impossible sizes and expect the hooks
// to see nullptr rather than the runtime ending the process; death tests end
// thousands of forked children, each of which ThreadSanitizer would otherwise
// keep alive a second at exit.

extern "C" {

__attribute__((used, visibility("default"))) const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

__attribute__((used, visibility("default"))) const char *__tsan_default_options()
{
    return "allocator_may_return_null=1:atexit_sleep_ms=0";
}

}  // extern "C"
