// The connection registry's records, shared by its two files: conn_registry.cpp (entries,
// client ids, cancellation) and conn_events.cpp (event counting, waits and wake-ups).
// Guarded by the registry mutex, except what an event's external mutex guards (below);
// lock order: store mutex first, then the registry mutex.
#ifndef GC_REGISTRY_CONN_REGISTRY_INTERNAL_H
#define GC_REGISTRY_CONN_REGISTRY_INTERNAL_H

#include <pthread.h>

#include <cstdint>

struct waker;

// Rounds of the Feistel network that turns registration serials into client ids.
constexpr int kIdRounds = 8;

// The counters of one event (below, "the event's mutex"): the external mutex its waiters
// pass, which its posts hold together with the registry mutex; the registry mutex alone
// for an event waited without one.
struct conn_entry {
    struct conn_entry *next;
    pthread_t thread;
    unsigned long client_id;  // given at registration; 0 once retired
    int watch_fd;             // the client's socket, -1 when nothing is watched
    // max_event + 1 counts, null without events: the occurrences of each event this thread
    // has consumed or, at registration, that happened before it came. Its pending count is
    // the event's seq less this. Guarded by the event's mutex.
    uint64_t *seen;
    int cancel_sent;  // set once cancel-all has sent this thread its request
    int handshaking;  // in a TLS handshake, which a newer one may cut short
    // waiting for its client's next request since this mark (the registry's idle
    // serial then), 0 when not waiting: the lowest mark has waited longest
    uint64_t idle_mark;
};

struct conn_registry {
    pthread_mutex_t mutex;
    pthread_cond_t *event_conds;  // max_event + 1 conditions, null without events
    int max_event;
    pthread_cond_t drained;  // signalled when thread_count or reserved drops to 0
    struct waker *waker;     // broadcasts event_conds off the posting thread; null without events
    // max_event + 1 each, null without events; guarded by the event's mutex
    uint64_t *seq;  // occurrences posted since the registry was made
    int *parked;    // waiters asleep on the event's condition
    // max_event + 1 flags, atomics: a post found a waiter parked and no wake has taken it yet
    int *wake_due;
    // guarded by: mutex
    struct conn_entry *threads;
    int thread_count;
    int reserved;          // threads started (or about to be) but not registered
    int handshakes;        // entries handshaking
    uint64_t last_serial;  // registrations so far; serials are never reused
    uint64_t idle_serial;  // marks of idle entries so far
    // set at creation, read-only afterwards
    uint64_t id_key[kIdRounds];
};

// A registry without events has no counters, so every index is out of range.
inline int event_in_range(const struct conn_registry *reg, int event)
{
    return reg->event_conds && event >= 0 && event <= reg->max_event;
}

// Makes the event side of reg (conditions, counts, flags, the waker) for events
// 0..reg->max_event; nothing when max_event <= 0. Returns 0, or -1 with nothing left.
int events_new(struct conn_registry *reg);
// Releases what events_new made; accepts a registry without events.
// REQUIRES: nothing waits or posts any more.
void events_free(struct conn_registry *reg);
// Allocates e's counts (nothing without events). Returns 0, or -1 when memory runs out.
int events_entry_new(const struct conn_registry *reg, struct conn_entry *e);
// Starts e's counts at the present ones, so that nothing that happened before counts for
// it, and links e to the calling thread for its waits. REQUIRES: reg->mutex held, e
// registers the calling thread.
void events_entry_attach_locked(struct conn_registry *reg, struct conn_entry *e);
// Unlinks e from the calling thread when it is that thread's link; then no wait of that
// thread finds it. Called as e leaves the list.
void events_entry_detach(struct conn_entry *e);
// Wakes every waiter of every event, on the calling thread. REQUIRES: reg->mutex held.
void broadcast_all_locked(struct conn_registry *reg);

// A clean-up handler that unlocks the mutex m.
inline void unlock_mutex(void *m) { pthread_mutex_unlock(static_cast<pthread_mutex_t *>(m)); }

#endif
