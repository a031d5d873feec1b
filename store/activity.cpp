#include "store/activity.h"

#include <time.h>

namespace {

long long g_counts[ACTIVITY_COUNT];

double now_s()
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

const double g_start = now_s();

}  // namespace

void activity_count(int which)
{
    if (which >= 0 && which < ACTIVITY_COUNT)
        __atomic_add_fetch(&g_counts[which], 1, __ATOMIC_RELAXED);
}

long long activity_get(int which)
{
    if (which < 0 || which >= ACTIVITY_COUNT)
        return 0;
    return __atomic_load_n(&g_counts[which], __ATOMIC_RELAXED);
}

double activity_start_time(void) { return g_start; }
