// The six ways the store reaches the SOAP endpoint's connection registry. Implemented
// by the endpoint; declared here so the store needs nothing else of the SOAP side.
// Lock order: callers may hold the store mutex; the registry mutex is taken inside.
#ifndef GC_STORE_ENDPOINT_LINK_H
#define GC_STORE_ENDPOINT_LINK_H

#include <pthread.h>

struct soap_endpoint;

// Counts one occurrence of event for every registered thread, waking nobody yet.
// Returns 0, -2 for an event out of range, -1 when ep is null.
// REQUIRES: the mutex the event's waiters pass as ext.
int endpoint_post(struct soap_endpoint *ep, int event);
// Wakes the waiters of event after a post, once the caller has released their ext.
// Returns 0, -2 for an event out of range, -1 when ep is null.
int endpoint_wake(struct soap_endpoint *ep, int event);
// Blocks the calling connection thread until it has a pending occurrence of event, then
// consumes (cap 1: all of them). ext, when given, is held by the caller, is the mutex
// waited with and guards the event's counters; on cancellation it stays held for the
// caller's own clean-up handler to release. Returns the pending count (>= 1), -2 for an event out
// of range, -1 when ep is null or the caller is not registered. Cancellation point.
int endpoint_wait(struct soap_endpoint *ep, int event, int cap, pthread_mutex_t *ext);
// Stores the calling thread's client id (never reused, not to be guessed) in *id (when id is
// given). Returns 0, -2 when the caller is not registered, -1 when ep is null.
int endpoint_client_id(struct soap_endpoint *ep, unsigned long *id);
// Requests cancellation of the connection thread with that client id and wakes every
// waiter. Returns 0, -2 when no live connection has the id, -1 when ep is null.
int endpoint_cancel_client(struct soap_endpoint *ep, unsigned long id);

// Number of connection threads registered or reserved; -1 when ep is null.
int endpoint_connections(struct soap_endpoint *ep);

#endif
