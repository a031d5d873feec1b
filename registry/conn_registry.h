// Connection registry: the live connection threads, their event counts and the
// conditions long polls wait on, which its waker thread broadcasts. Called by the stopping
// thread, connection threads, the accept thread and (through the store) the intake loop.
// Guarded by the registry mutex, except the counts of an event waited with an external
// mutex, which that mutex guards; lock order: store mutex first, then the registry mutex.
#ifndef GC_REGISTRY_CONN_REGISTRY_H
#define GC_REGISTRY_CONN_REGISTRY_H

#include <pthread.h>
#include <time.h>

struct conn_registry;

// Creates a registry for events 0..max_event; with max_event <= 0 it has no events.
// Returns null when memory runs out or the kernel has no random bytes for the client id
// key (nothing is left allocated).
struct conn_registry *conn_registry_new(int max_event);
// Releases the registry. Returns 0, or -1 for null.
// REQUIRES: no thread registered, reserved or inside a registry call.
int conn_registry_free(struct conn_registry *reg);

// Counts one connection thread that is about to be started, so that a cancel-all with
// waiting cannot miss it. Returns 0, or -1 for null.
int conn_registry_reserve(struct conn_registry *reg);
// Drops a reservation whose thread was never started. Returns 0, -1 for null, -2 when
// no reservation is held.
int conn_registry_unreserve(struct conn_registry *reg);

// Registers thread id with nothing pending and gives it a client id: never 0, below 2^53,
// never handed out twice in the registry's life, and not to be guessed from other ids. Turns one
// reservation, if any is held, into the entry; the reservation is dropped even when the entry
// cannot be made. watch_fd (-1: none) is the client's socket, which the entry's waits watch for a
// hang-up. Returns 0, or -1 for null or no memory (the caller must then not rely on the registry to
// stop it). REQUIRES: id is the calling thread, not registered yet in any registry.
int conn_registry_add_reserved(struct conn_registry *reg, pthread_t id, int watch_fd);
// Called by thread id as its connection ends, before its socket is closed: from now on
// its client id names nothing and its socket is no longer watched. Returns 0, -1 for
// null, -2 when id is not registered.
int conn_registry_retire(struct conn_registry *reg, pthread_t id);
// Marks registered thread id as in its TLS handshake. When more than cap threads are
// then in one, shuts down the socket of the one that began first (its handshake fails;
// it no longer counts). Returns 0, 1 when one was shut down, -1 for null, -2 when id is
// not registered.
int conn_registry_handshake_begin(struct conn_registry *reg, pthread_t id, int cap);
// Marks id's handshake as over (retiring id does too). Returns 0, -1 for null, -2 when
// id is not registered.
int conn_registry_handshake_end(struct conn_registry *reg, pthread_t id);
// Marks registered thread id as waiting for its client's next request (idle != 0), or
// as no longer waiting. Returns 0, -1 for null, -2 when id is not registered.
int conn_registry_idle(struct conn_registry *reg, pthread_t id, int idle);
// Shuts down the socket of the thread that has waited longest for its client's next
// request, so that its connection ends and gives back its room; that thread no longer
// counts as waiting. Returns 1 when one was shut down, 0 when none waits, -1 for null.
int conn_registry_close_idlest(struct conn_registry *reg);
// Unregisters id. Returns 0, -1 for null, -2 when id is not registered.
// REQUIRES: id is the calling thread (a waiter keeps using its entry without a lock).
int conn_registry_remove(struct conn_registry *reg, pthread_t id);

// Sends a cancellation request to every registered thread and wakes all waiters. With
// wait set it first waits for reserved threads to register and returns only when every
// thread has removed itself. Returns the number of threads cancelled, -1 for null.
// Cancellation point (when waiting). REQUIRES: registry mutex not held.
int conn_registry_cancel_all(struct conn_registry *reg, int wait);
// The two halves of a notification, for events whose waiters pass ext: post counts one
// occurrence for every registered thread while the caller holds ext, in constant time; wake
// is called after the caller released ext, so that woken waiters do not queue on a mutex
// their notifier still holds. A waiter that checked its count before the post is asleep on
// the condition by the time ext is free, so the wake reaches it. The broadcast itself is
// made by the registry's waker thread, and only when the post found a waiter asleep: wake
// never blocks, and makes a system call only to rouse a sleeping waker. Both return 0, -2
// for an event out of range, -1 for null.
// REQUIRES (post): the ext the event's waiters pass; registry mutex not held.
int conn_registry_post(struct conn_registry *reg, int event);
// REQUIRES (wake): a post of event made before it; no lock needed.
int conn_registry_wake(struct conn_registry *reg, int event);
// Blocks the calling registered thread until it has an occurrence of event pending (one
// posted since it registered and not consumed yet), then consumes one, leaving at most
// cap - 1 when cap > 0 (cap 1 consumes them all). Returns the count found (>= 1), -2 for
// an event out of range, -1 for null or a caller not registered in reg. ext, when given,
// is held by the caller, is waited with and is held again on return; the counts of an
// event waited with ext are read and consumed under ext alone, so every waiter of one
// event must pass the same ext. On cancellation
// ext stays held: the caller, which locked it, releases it in its own clean-up handler.
// When the caller's entry watches a socket, a client that hangs up meanwhile ends the
// wait as a cancellation of the caller would (checked about once a second).
// Cancellation point. REQUIRES: ext held when given; registry mutex not held.
int conn_registry_wait(struct conn_registry *reg, int event, int cap, pthread_mutex_t *ext);
// As conn_registry_wait, but gives up when the monotonic clock passes deadline (null:
// never) with nothing pending, and returns 0 then. Cancellation point.
int conn_registry_wait_until(struct conn_registry *reg, int event, int cap, pthread_mutex_t *ext,
                             const struct timespec *deadline);
// Sets *id (when id is given) to the calling thread's client id. Returns 0, -1 for null,
// -2 when the caller is not registered or its id is retired.
int conn_registry_self_id(struct conn_registry *reg, unsigned long *id);
// Requests cancellation of the thread whose client id is id, retires that id at once (a
// second request for it gets -2, however long the thread takes to end) and wakes every
// waiter. Returns 0, -1 for null, -2 when no live entry has that id (nobody is woken).
int conn_registry_cancel_thread(struct conn_registry *reg, unsigned long id);
// Number of threads registered or reserved, that is, still answered for; -1 for null.
int conn_registry_count(struct conn_registry *reg);

#endif
