// Coalescing of answers about a value that changes faster than anyone can read it: a
// reader is not answered again before a period has passed since its last answer, and is
// then given the newest value. Used on the connection threads; no lock, no state of its
// own (each reader keeps its last answer's time).
#ifndef GC_STORE_COALESCE_H
#define GC_STORE_COALESCE_H

#include <cerrno>
#include <cstdint>
#include <ctime>

// The earliest time (monotonic ms) at which a reader last answered at last_ms may be
// answered again, asking at now_ms: now_ms when last_ms is 0 (never answered), when
// period_ms is 0 or less, or when the period has passed; otherwise last_ms + period_ms.
inline int64_t coalesce_due(int64_t last_ms, int64_t now_ms, int period_ms)
{
    if (last_ms <= 0 || period_ms <= 0 || now_ms - last_ms >= period_ms)
        return now_ms;
    return last_ms + period_ms;
}

// Sleeps until the monotonic time due_ms; returns at once when it has passed.
// Cancellation point.
inline void coalesce_sleep_until(int64_t due_ms)
{
    struct timespec until = {static_cast<time_t>(due_ms / 1000),
                             static_cast<long>(due_ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

#endif
