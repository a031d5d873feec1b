// Connection registry, events. A post costs the same however many threads are registered:
// each event has one sequence number, the count of its occurrences, and each entry the
// count it has seen, so an entry's pending count is the difference. A wait finds its own
// entry through a thread-local link rather than in the list. The broadcast that wakes
// parked waiters is made by the waker thread, and only when a post found one parked.
#include "registry/conn_registry.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "registry/conn_registry_internal.h"
#include "registry/monotonic.h"
#include "registry/waker.h"

// How often a parked wait looks at its client's socket for a hang-up: often enough that
// abandoned long polls give back their threads within seconds, rarely enough to cost
// nothing next to the wait itself.
constexpr long kHangupCheckMs = 1000;

// The calling thread's own entry, and the registry it is in. Written only by that
// thread (as it registers and as it leaves), so its waits read it without a lock.
static thread_local struct conn_registry *t_registry;
static thread_local struct conn_entry *t_entry;

template <typename T> static T *alloc_array(int n)
{
    return static_cast<T *>(calloc(static_cast<size_t>(n), sizeof(T)));
}

int events_new(struct conn_registry *reg)
{
    if (reg->max_event <= 0)
        return 0;
    const int n = reg->max_event + 1;
    reg->event_conds = alloc_array<pthread_cond_t>(n);
    reg->seq = alloc_array<uint64_t>(n);
    reg->parked = alloc_array<int>(n);
    reg->wake_due = alloc_array<int>(n);
    if (reg->event_conds && reg->seq && reg->parked && reg->wake_due) {
        // Monotonic, so that the hang-up checks of parked waits keep their pace when
        // the wall clock is set.
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        for (int e = 0; e < n; e++)
            pthread_cond_init(&reg->event_conds[e], &attr);
        pthread_condattr_destroy(&attr);
        reg->waker = waker_new(reg->event_conds, n);
        if (reg->waker)
            return 0;
        for (int e = 0; e < n; e++)
            pthread_cond_destroy(&reg->event_conds[e]);
    }
    free(reg->event_conds);
    free(reg->seq);
    free(reg->parked);
    free(reg->wake_due);
    reg->event_conds = nullptr;
    return -1;
}

void events_free(struct conn_registry *reg)
{
    if (!reg->event_conds)
        return;
    // First, so that no broadcast is under way when the conditions go.
    waker_free(reg->waker);
    for (int e = 0; e <= reg->max_event; e++)
        pthread_cond_destroy(&reg->event_conds[e]);
    free(reg->event_conds);
    free(reg->seq);
    free(reg->parked);
    free(reg->wake_due);
}

int events_entry_new(const struct conn_registry *reg, struct conn_entry *e)
{
    if (!reg->event_conds)
        return 0;
    e->seen = alloc_array<uint64_t>(reg->max_event + 1);
    return e->seen ? 0 : -1;
}

void events_entry_attach_locked(struct conn_registry *reg, struct conn_entry *e)
{
    // Every post holds the registry mutex, so the counts read here are whole, and the
    // occurrences before this moment are not this thread's.
    for (int ev = 0; e->seen && ev <= reg->max_event; ev++)
        e->seen[ev] = reg->seq[ev];
    t_registry = reg;
    t_entry = e;
}

void events_entry_detach(struct conn_entry *e)
{
    if (t_entry != e)
        return;
    t_registry = nullptr;
    t_entry = nullptr;
}

void broadcast_all_locked(struct conn_registry *reg)
{
    if (!reg->event_conds)
        return;
    for (int e = 0; e <= reg->max_event; e++)
        pthread_cond_broadcast(&reg->event_conds[e]);
}

int conn_registry_post(struct conn_registry *reg, int event)
{
    if (!reg)
        return -1;
    if (!event_in_range(reg, event))
        return -2;
    pthread_mutex_lock(&reg->mutex);
    reg->seq[event]++;
    // Nobody asleep on the condition: nobody to wake. A waiter that checks its count
    // later does so under the event's mutex, which we hold, and finds this occurrence.
    if (reg->parked[event] > 0)
        __atomic_store_n(&reg->wake_due[event], 1, __ATOMIC_SEQ_CST);
    pthread_mutex_unlock(&reg->mutex);
    return 0;
}

int conn_registry_wake(struct conn_registry *reg, int event)
{
    if (!reg)
        return -1;
    if (!event_in_range(reg, event))
        return -2;
    if (__atomic_exchange_n(&reg->wake_due[event], 0, __ATOMIC_SEQ_CST))
        waker_request(reg->waker, event);
    return 0;
}

// Waits on cond for at most kHangupCheckMs, and not past deadline (null: none). Returns
// what the timed wait returned.
static int wait_a_while(pthread_cond_t *cond, pthread_mutex_t *m, const struct timespec *deadline)
{
    struct timespec until = monotonic_after(kHangupCheckMs);
    if (deadline && (deadline->tv_sec < until.tv_sec ||
                     (deadline->tv_sec == until.tv_sec && deadline->tv_nsec < until.tv_nsec)))
        until = *deadline;
    return pthread_cond_timedwait(cond, m, &until);
}

// Whether the monotonic clock has passed deadline (never for null).
static bool passed(const struct timespec *deadline)
{
    if (!deadline)
        return false;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline->tv_sec ||
           (now.tv_sec == deadline->tv_sec && now.tv_nsec >= deadline->tv_nsec);
}

// True when the peer of fd has closed its side or the connection failed. Bytes waiting
// to be read (a request sent ahead) are no hang-up.
// Not a cancellation point (see the request reader's wait for why).
static int client_hung_up(int fd)
{
    struct pollfd pfd = {fd, POLLRDHUP, 0};
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    const int rc = poll(&pfd, 1, 0);
    pthread_setcancelstate(old, nullptr);
    return rc == 1 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

// The occurrences of event that e has not consumed. REQUIRES: the event's mutex held.
static uint64_t pending(const struct conn_registry *reg, const struct conn_entry *e, int event)
{
    return reg->seq[event] - e->seen[event];
}

// Consumes as conn_registry_wait describes and returns the count found.
// REQUIRES: the event's mutex held, a pending occurrence.
static int consume(const struct conn_registry *reg, struct conn_entry *e, int event, int cap)
{
    const uint64_t r = pending(reg, e, event);
    if (cap > 0 && r > static_cast<uint64_t>(cap))
        e->seen[event] = reg->seq[event] - static_cast<uint64_t>(cap);
    e->seen[event]++;
    return r > INT_MAX ? INT_MAX : static_cast<int>(r);
}

// Runs with the wait mutex held, on waking and on cancellation alike.
static void unpark(void *parked) { (*static_cast<int *>(parked))--; }

// The sleep of a wait, until an occurrence is pending (returns 1) or deadline (null:
// none) has passed (returns 0). REQUIRES: wm held, and wm is the event's mutex.
static int sleep_until_pending(struct conn_registry *reg, struct conn_entry *e, int event,
                               pthread_mutex_t *wm, const struct timespec *deadline)
{
    // e->watch_fd changes only in retire, which only this thread calls for e.
    const int watch_fd = e->watch_fd;
    while (pending(reg, e, event) == 0) {
        if (passed(deadline))
            return 0;
        // Counted while asleep, so that a post knows it has someone to wake.
        reg->parked[event]++;
        int timed_out = 0;
        pthread_cleanup_push(unpark, &reg->parked[event]);
        if (watch_fd < 0 && !deadline)
            pthread_cond_wait(&reg->event_conds[event], wm);
        else
            timed_out = wait_a_while(&reg->event_conds[event], wm, deadline) == ETIMEDOUT;
        pthread_cleanup_pop(1);
        // Nobody is left to answer: end the connection the way a cancellation does,
        // which releases everything it holds (wm through its owner's handler).
        if (timed_out && watch_fd >= 0 && client_hung_up(watch_fd))
            pthread_cancel(pthread_self());
        // A cancel-one broadcast wakes everyone; the cancelled thread leaves here.
        pthread_testcancel();
    }
    return 1;
}

int conn_registry_wait_until(struct conn_registry *reg, int event, int cap, pthread_mutex_t *ext,
                             const struct timespec *deadline)
{
    if (!reg)
        return -1;
    if (!event_in_range(reg, event))
        return -2;
    // Only this thread adds or removes its entry, so the link is current without a lock.
    struct conn_entry *e = t_registry == reg ? t_entry : nullptr;
    if (!e)
        return -1;
    int r = 0;
    if (ext) {
        // The count is read and consumed under ext alone: every post of this event
        // holds ext. So a wake costs no second lock.
        if (sleep_until_pending(reg, e, event, ext, deadline))
            r = consume(reg, e, event, cap);
    } else {
        pthread_mutex_lock(&reg->mutex);
        pthread_cleanup_push(unlock_mutex, &reg->mutex);
        if (sleep_until_pending(reg, e, event, &reg->mutex, deadline))
            r = consume(reg, e, event, cap);
        pthread_cleanup_pop(1);
    }
    return r;
}

int conn_registry_wait(struct conn_registry *reg, int event, int cap, pthread_mutex_t *ext)
{
    return conn_registry_wait_until(reg, event, cap, ext, nullptr);
}
