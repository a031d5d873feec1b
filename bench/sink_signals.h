// Stop handling shared by the plain baseline receivers: SIGTERM, SIGINT or their alarm
// set a flag and end the blocking receive. Single-threaded programs only.
#ifndef GC_BENCH_SINK_SIGNALS_H
#define GC_BENCH_SINK_SIGNALS_H

#include <csignal>

static volatile sig_atomic_t g_stop;

static void on_stop(int) { g_stop = 1; }

// No SA_RESTART: the signal must end the blocking receive.
static void catch_stop_signals(void)
{
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGALRM, &sa, nullptr);
}

#endif
