// Intake loop: the main thread's receive-check-decode-dispatch cycle over the status
// channel, with its counters and the verbose echo. Main thread only; it holds no lock
// (the store operations it calls take the store mutex themselves).
#ifndef GC_CORE_INTAKE_LOOP_H
#define GC_CORE_INTAKE_LOOP_H

struct channel;

struct intake_counters {
    long long received;   // successful receives, plus messages dropped as too long
    long long too_long;   // queue messages over 940 bytes, dropped
    long long too_short;  // receives of fewer than 940 bytes
};

// Runs until g_stop_counter is non-zero; sets *restart = 1 when the queue vanished or broke.
// Receive errors EACCES/EFAULT, EIDRM and EINVAL raise g_stop_counter and print to
// stderr; decoding failures only reach the progress log. counters and restart are
// required (nothing runs without them).
void intake_loop_run(struct channel *ch, struct intake_counters *counters, int *restart);

// Prints the DBG counter line to stderr.
void intake_print_counters(const struct intake_counters *counters);

#endif
