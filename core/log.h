// Progress log: verbosity-gated output for the start-up words, the message echo and
// the shutdown words. Called from the main thread only; the levels are set once while
// the command line is parsed and read afterwards without a lock.
#ifndef GC_CORE_LOG_H
#define GC_CORE_LOG_H

#include <cstdio>

// Number of -v options; 0 silences log_msg.
extern int g_verbosity;
// Number of -D options; above 0 the intake loop prints its counter line.
extern int g_diagnostic;

// Formats to stream when g_verbosity > 0 and flushes it when flush is non-zero.
// Returns the number of characters written, or 0 while verbosity is 0.
int log_msg(int flush, FILE *stream, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

#endif
