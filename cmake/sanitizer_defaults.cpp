// Default options of the sanitizer build (GC_SANITIZE), linked into every program of it,
// so that a daemon a test starts runs as make asan-test runs the tests, without an
// environment of its own; ASAN_OPTIONS and UBSAN_OPTIONS still override them.
//
// Connection threads end by cancellation, whose forced unwinding does not clear the
// shadow of the frames it discards. With fake stacks (detect_stack_use_after_return)
// those frames live off the thread stack, so no stale poison is left there for the
// unwinder's own calls to trip over; without them a stop could hang in the unwinder.
extern "C" const char *__asan_default_options(void)
{
    return "halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1";
}

extern "C" const char *__ubsan_default_options(void)
{
    return "halt_on_error=1:print_stacktrace=1";
}
