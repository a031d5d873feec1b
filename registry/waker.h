// Waker: a thread of its own that broadcasts condition variables when asked, so that the
// thread asking (the intake, through the registry) neither makes the wake-up system calls
// nor blocks inside a broadcast while the previous group of woken waiters leaves the
// condition. Requests come from any thread, lock-free; the waker holds no lock.
#ifndef GC_REGISTRY_WAKER_H
#define GC_REGISTRY_WAKER_H

#include <pthread.h>

struct waker;

// Starts a waker for the n conditions conds[0..n-1], which must outlive it. Its thread
// blocks every signal, so that the process's signals keep reaching the main thread.
// Returns null when n < 1, memory runs out or the thread cannot start (nothing is left).
struct waker *waker_new(pthread_cond_t *conds, int n);
// Asks for one broadcast of conds[i], made after this call began. Requests that arrive
// before the waker gets to them are served by one broadcast. Never blocks; makes a system
// call only when the waker sleeps. Returns 0, -1 for null, -2 for i out of range.
int waker_request(struct waker *w, int i);
// Stops and joins the thread, then releases the waker; accepts null.
// REQUIRES: no waker_request running or to come.
void waker_free(struct waker *w);

#endif
