// Connection registry: entries, client ids and cancellation; the events are in
// conn_events.cpp. Entries are only ever removed by their own thread, which is what lets a
// waiter keep using its entry while it holds only the external mutex.
#include "registry/conn_registry.h"

#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "registry/conn_registry_internal.h"

static_assert(sizeof(unsigned long) >= 8, "client ids are 64-bit values");

// Ids stay below 2^53, so that clients that read numbers as doubles (JavaScript, PHP past
// its integers) hold them exactly: an id rounded on its way back names nobody. The
// network runs over 54 bits, two halves of 27.
constexpr int kIdBits = 53;
constexpr uint64_t kIdLimit = uint64_t{1} << kIdBits;
constexpr int kIdHalfBits = (kIdBits + 1) / 2;
constexpr uint64_t kIdHalfMask = (uint64_t{1} << kIdHalfBits) - 1;

// A keyed permutation of the ids below 2^53: distinct serials give distinct ids, and
// without the key one id tells nothing of the others. Ids were the serials themselves,
// so one connection could cancel every other client's long poll by counting.
static uint64_t mix64(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// A permutation of [0, 2^54).
static uint64_t feistel(const uint64_t *key, uint64_t v)
{
    uint64_t left = v >> kIdHalfBits, right = v & kIdHalfMask;
    for (int i = 0; i < kIdRounds; i++) {
        const uint64_t next = left ^ (mix64(right ^ key[i]) & kIdHalfMask);
        left = right;
        right = next;
    }
    return (left << kIdHalfBits) | right;
}

// Walks the network's cycle from serial until it falls below 2^53 again, which makes a
// permutation of [0, 2^53) out of one of twice that; the walk takes two steps on
// average. REQUIRES: serial < 2^53 (a million registrations a second take 285 years).
static uint64_t permute(const uint64_t *key, uint64_t serial)
{
    uint64_t id = serial;
    do
        id = feistel(key, id);
    while (id >= kIdLimit);
    return id;
}

// REQUIRES: reg->mutex held.
static unsigned long next_client_id_locked(struct conn_registry *reg)
{
    // 0 means "retired": the one serial that maps to it is skipped.
    uint64_t id;
    do
        id = permute(reg->id_key, ++reg->last_serial);
    while (id == 0);
    return static_cast<unsigned long>(id);
}

// Fills key with random bytes. Returns 0, or -1 when the kernel gives none.
static int random_key(uint64_t *key, size_t len)
{
    auto *p = reinterpret_cast<unsigned char *>(key);
    while (len > 0) {
        const ssize_t n = getrandom(p, len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

struct conn_registry *conn_registry_new(int max_event)
{
    struct conn_registry *reg =
        static_cast<struct conn_registry *>(calloc(1, sizeof(struct conn_registry)));
    if (!reg)
        return nullptr;
    reg->max_event = max_event;
    if (random_key(reg->id_key, sizeof reg->id_key) != 0 || events_new(reg) != 0) {
        free(reg);
        return nullptr;
    }
    pthread_mutex_init(&reg->mutex, nullptr);
    pthread_cond_init(&reg->drained, nullptr);
    return reg;
}

int conn_registry_free(struct conn_registry *reg)
{
    if (!reg)
        return -1;
    events_free(reg);
    pthread_mutex_destroy(&reg->mutex);
    pthread_cond_destroy(&reg->drained);
    free(reg);
    return 0;
}

// REQUIRES: reg->mutex held.
static struct conn_entry *find_locked(struct conn_registry *reg, pthread_t id)
{
    for (struct conn_entry *e = reg->threads; e; e = e->next)
        if (pthread_equal(e->thread, id))
            return e;
    return nullptr;
}

// REQUIRES: reg->mutex held, which keeps e->watch_fd open (it is closed only after its
// thread retired it under the mutex). The cancellation request reaches a thread
// blocked in a wait that is no cancellation point (the request reader's poll) through
// its socket: shut down, it ends such a wait at once, and every read or write after it.
static void cancel_entry_locked(struct conn_entry *e)
{
    pthread_cancel(e->thread);
    if (e->watch_fd >= 0)
        shutdown(e->watch_fd, SHUT_RDWR);
}

int conn_registry_reserve(struct conn_registry *reg)
{
    if (!reg)
        return -1;
    pthread_mutex_lock(&reg->mutex);
    reg->reserved++;
    pthread_mutex_unlock(&reg->mutex);
    return 0;
}

// REQUIRES: reg->mutex held, reg->reserved > 0.
static void unreserve_locked(struct conn_registry *reg)
{
    // Broadcast: a canceller waits for reserved and thread_count on the same condition.
    if (--reg->reserved == 0)
        pthread_cond_broadcast(&reg->drained);
}

int conn_registry_unreserve(struct conn_registry *reg)
{
    if (!reg)
        return -1;
    int rc = -2;
    pthread_mutex_lock(&reg->mutex);
    if (reg->reserved > 0) {
        unreserve_locked(reg);
        rc = 0;
    }
    pthread_mutex_unlock(&reg->mutex);
    return rc;
}

// Allocates outside the lock so that a slow allocator never holds up notifiers.
static struct conn_entry *entry_new(const struct conn_registry *reg, pthread_t id, int watch_fd)
{
    struct conn_entry *e = static_cast<struct conn_entry *>(calloc(1, sizeof(struct conn_entry)));
    if (!e)
        return nullptr;
    if (events_entry_new(reg, e) != 0) {
        free(e);
        return nullptr;
    }
    e->thread = id;
    e->watch_fd = watch_fd;
    return e;
}

static void entry_free(struct conn_entry *e)
{
    if (!e)
        return;
    free(e->seen);
    free(e);
}

int conn_registry_add_reserved(struct conn_registry *reg, pthread_t id, int watch_fd)
{
    if (!reg)
        return -1;
    struct conn_entry *e = entry_new(reg, id, watch_fd);
    pthread_mutex_lock(&reg->mutex);
    if (e) {
        e->client_id = next_client_id_locked(reg);
        events_entry_attach_locked(reg, e);
        e->next = reg->threads;
        reg->threads = e;
        reg->thread_count++;
    }
    if (reg->reserved > 0)
        unreserve_locked(reg);
    pthread_mutex_unlock(&reg->mutex);
    return e ? 0 : -1;
}

int conn_registry_retire(struct conn_registry *reg, pthread_t id)
{
    if (!reg)
        return -1;
    pthread_mutex_lock(&reg->mutex);
    struct conn_entry *e = find_locked(reg, id);
    if (e) {
        e->client_id = 0;
        e->watch_fd = -1;
        reg->handshakes -= e->handshaking;
        e->handshaking = 0;
    }
    pthread_mutex_unlock(&reg->mutex);
    return e ? 0 : -2;
}

// Entries are added at the head of the list, so the last handshaking entry found is the
// one that began first: a client that has been slow the longest, and whose dropping
// costs an honest client the least.
int conn_registry_handshake_begin(struct conn_registry *reg, pthread_t id, int cap)
{
    if (!reg)
        return -1;
    int rc = -2;
    pthread_mutex_lock(&reg->mutex);
    struct conn_entry *e = find_locked(reg, id);
    if (e) {
        rc = 0;
        if (!e->handshaking) {
            e->handshaking = 1;
            reg->handshakes++;
        }
        struct conn_entry *oldest = nullptr;
        if (reg->handshakes > cap)
            for (struct conn_entry *x = reg->threads; x; x = x->next)
                if (x->handshaking && x != e)
                    oldest = x;
        if (oldest) {
            // The mutex keeps its descriptor open: see cancel_entry_locked.
            oldest->handshaking = 0;
            reg->handshakes--;
            if (oldest->watch_fd >= 0)
                shutdown(oldest->watch_fd, SHUT_RDWR);
            rc = 1;
        }
    }
    pthread_mutex_unlock(&reg->mutex);
    return rc;
}

int conn_registry_handshake_end(struct conn_registry *reg, pthread_t id)
{
    if (!reg)
        return -1;
    pthread_mutex_lock(&reg->mutex);
    struct conn_entry *e = find_locked(reg, id);
    if (e) {
        reg->handshakes -= e->handshaking;
        e->handshaking = 0;
    }
    pthread_mutex_unlock(&reg->mutex);
    return e ? 0 : -2;
}

int conn_registry_idle(struct conn_registry *reg, pthread_t id, int idle)
{
    if (!reg)
        return -1;
    pthread_mutex_lock(&reg->mutex);
    struct conn_entry *e = find_locked(reg, id);
    if (e)
        e->idle_mark = idle ? ++reg->idle_serial : 0;
    pthread_mutex_unlock(&reg->mutex);
    return e ? 0 : -2;
}

int conn_registry_close_idlest(struct conn_registry *reg)
{
    if (!reg)
        return -1;
    pthread_mutex_lock(&reg->mutex);
    struct conn_entry *idlest = nullptr;
    for (struct conn_entry *x = reg->threads; x; x = x->next)
        if (x->idle_mark && x->watch_fd >= 0 && (!idlest || x->idle_mark < idlest->idle_mark))
            idlest = x;
    if (idlest) {
        // The mutex keeps its descriptor open: see cancel_entry_locked.
        idlest->idle_mark = 0;
        shutdown(idlest->watch_fd, SHUT_RDWR);
    }
    pthread_mutex_unlock(&reg->mutex);
    return idlest ? 1 : 0;
}

int conn_registry_remove(struct conn_registry *reg, pthread_t id)
{
    if (!reg)
        return -1;
    pthread_mutex_lock(&reg->mutex);
    struct conn_entry **link = &reg->threads;
    while (*link && !pthread_equal((*link)->thread, id))
        link = &(*link)->next;
    struct conn_entry *e = *link;
    if (e) {
        *link = e->next;
        events_entry_detach(e);
        if (--reg->thread_count == 0)
            pthread_cond_broadcast(&reg->drained);
    }
    pthread_mutex_unlock(&reg->mutex);
    entry_free(e);
    return e ? 0 : -2;
}

// REQUIRES: reg->mutex held. Sends each entry its request once, however often it runs.
static int cancel_unsent_locked(struct conn_registry *reg)
{
    int n = 0;
    for (struct conn_entry *e = reg->threads; e; e = e->next) {
        if (e->cancel_sent)
            continue;
        cancel_entry_locked(e);
        e->cancel_sent = 1;
        n++;
    }
    broadcast_all_locked(reg);
    return n;
}

int conn_registry_cancel_all(struct conn_registry *reg, int wait)
{
    if (!reg)
        return -1;
    int n = 0;
    pthread_mutex_lock(&reg->mutex);
    pthread_cleanup_push(unlock_mutex, &reg->mutex);
    if (!wait) {
        n = cancel_unsent_locked(reg);
    } else {
        // A thread that was started but has not registered yet would escape a single
        // sweep and might outlive whatever its owner frees next. So wait for every
        // reservation to turn into an entry, cancel, and sweep again for late arrivals.
        for (;;) {
            while (reg->reserved > 0)
                pthread_cond_wait(&reg->drained, &reg->mutex);
            n += cancel_unsent_locked(reg);
            if (reg->thread_count == 0 && reg->reserved == 0)
                break;
            pthread_cond_wait(&reg->drained, &reg->mutex);
        }
    }
    pthread_cleanup_pop(1);
    return n;
}

int conn_registry_self_id(struct conn_registry *reg, unsigned long *id)
{
    if (!reg)
        return -1;
    pthread_t self = pthread_self();
    pthread_mutex_lock(&reg->mutex);
    struct conn_entry *e = find_locked(reg, self);
    if (e && e->client_id == 0)
        e = nullptr;  // retired: the thread is on its way out
    if (e && id)
        *id = e->client_id;
    pthread_mutex_unlock(&reg->mutex);
    return e ? 0 : -2;
}

int conn_registry_cancel_thread(struct conn_registry *reg, unsigned long id)
{
    if (!reg)
        return -1;
    int rc = -2;
    pthread_mutex_lock(&reg->mutex);
    // Retired entries carry id 0, which no registration ever hands out.
    for (struct conn_entry *e = reg->threads; e; e = e->next) {
        if (id == 0 || e->client_id != id)
            continue;
        // Cancelling under the mutex: the target cannot finish removing itself before
        // we are done, so the request never reaches a thread that has left.
        cancel_entry_locked(e);
        // The connection is ending from now on, although its thread may not reach its
        // clean-up for a while, and its client may already see the socket closed: the
        // id names nothing any more.
        e->client_id = 0;
        broadcast_all_locked(reg);
        rc = 0;
        break;
    }
    pthread_mutex_unlock(&reg->mutex);
    return rc;
}

int conn_registry_count(struct conn_registry *reg)
{
    if (!reg)
        return -1;
    pthread_mutex_lock(&reg->mutex);
    int n = reg->thread_count + reg->reserved;
    pthread_mutex_unlock(&reg->mutex);
    return n;
}
