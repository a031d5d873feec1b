// Deadlines on the monotonic clock, which an administrator's change of the wall clock
// does not move. Pure functions, for any thread; no lock.
#ifndef GC_REGISTRY_MONOTONIC_H
#define GC_REGISTRY_MONOTONIC_H

#include <time.h>

#include <cstdint>

// The monotonic time now, in milliseconds (more than 0 once the system has been up 1 ms).
inline int64_t monotonic_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The monotonic time ms milliseconds (>= 0) from now.
inline struct timespec monotonic_after(int ms)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

#endif
