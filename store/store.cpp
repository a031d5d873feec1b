// Status store. The mutex lives for the whole process and the record pointer is read
// under it, so a call that comes when no store exists sees "none" instead of racing a
// destroyed mutex. Whoever locks the store mutex owns its release on cancellation: the
// long polls push their own clean-up handler, and the registry wait they call leaves
// the mutex alone when cancelled.
#include "store/store.h"

#include <sys/random.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "registry/conn_registry.h"
#include "registry/monotonic.h"
#include "store/blocked_ring.h"
#include "store/coalesce.h"

namespace {

constexpr int kRingCapacity = 1024;
constexpr int kEventBlockedFile = 1;
constexpr int kEventLastScanned = 2;
// Any value changed (the ones above included): what an event stream waits for.
constexpr int kEventChanged = 3;

struct store {
    struct conn_registry *registry;  // set at creation, read-only afterwards
    // guarded by: g_store_mutex
    char *currentConffile;
    struct blocked_ring *ring;  // null when it could not be made
    char *lastScannedFile;
    int64_t lastScannedAt_ms;  // when it was set, wall clock ms since the epoch
    uint64_t instance;         // drawn at creation: which store the sequence numbers are of
    int binVersionNumber;
    int engVersionNumber;
    int vdfVersionNumber;
    int numDaemons;
    int accessMask;
    int64_t scannedFiles;
    int64_t scannedBytes;
    int64_t blockedCount;
    int logChanged;
    int parked;  // threads inside a long poll's wait
};

// Also guards the registry's pending counters of events 1 and 2: their waiters pass it
// as the external mutex, and the setters post both events while holding it.
pthread_mutex_t g_store_mutex = PTHREAD_MUTEX_INITIALIZER;
// Set on the main thread before the intake loop, called only by it: no lock.
store_blocked_hook g_blocked_hook;
void *g_blocked_hook_arg;
struct store *g_store;  // guarded by: g_store_mutex

// How far apart one connection's last-scanned answers are at least, in ms (0: not held
// back). A setting of the process rather than a value of the store: it outlives
// store_create. Read and written with __atomic builtins, no lock.
int g_coalesce_ms;

// When this connection thread's last get-lastScannedFile was answered (monotonic ms, 0
// before the first). A connection keeps its one thread for its whole life, so this is
// the connection's own.
thread_local int64_t t_scanned_answered_ms;

// Scoped lock for the getters and setters, none of which has a cancellation point.
struct store_lock {
    store_lock() { pthread_mutex_lock(&g_store_mutex); }
    ~store_lock() { pthread_mutex_unlock(&g_store_mutex); }
    store_lock(const store_lock &) = delete;
    store_lock &operator=(const store_lock &) = delete;
};

void release_blocked_file(struct blocked_file *rec) { blocked_file_free(rec); }

int64_t wall_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

char *copy_or_empty(const char *s) { return strdup(s ? s : ""); }

// The plain members are read and written through these three, so that each public
// accessor below is one line that grep and ctags find by its own name.
// Each posts event 3 under the lock and wakes its waiters once it is released.
template <typename T> int set_member(T store::*member, T v)
{
    struct conn_registry *reg;
    {
        store_lock lock;
        if (!g_store)
            return -1;
        g_store->*member = v;
        reg = g_store->registry;
        conn_registry_post(reg, kEventChanged);
    }
    conn_registry_wake(reg, kEventChanged);
    return 0;
}

// Two's-complement addition, without the undefined behaviour of signed overflow.
template <typename T> int add_member(T store::*member, T v)
{
    using U = std::make_unsigned_t<T>;
    struct conn_registry *reg;
    {
        store_lock lock;
        if (!g_store)
            return -1;
        g_store->*member = static_cast<T>(static_cast<U>(g_store->*member) + static_cast<U>(v));
        reg = g_store->registry;
        conn_registry_post(reg, kEventChanged);
    }
    conn_registry_wake(reg, kEventChanged);
    return 0;
}

int get_member(int store::*member)
{
    store_lock lock;
    return g_store ? g_store->*member : -1;
}

void store_free(struct store *s)
{
    if (!s)
        return;
    free(s->currentConffile);
    blocked_ring_free(s->ring);
    free(s->lastScannedFile);
    free(s);
}

}  // namespace

int store_create(struct conn_registry *reg, int nwords, char **words)
{
    store_destroy();
    struct store *s = static_cast<struct store *>(calloc(1, sizeof(struct store)));
    if (s) {
        s->registry = reg;
        s->ring = blocked_ring_new(kRingCapacity, release_blocked_file);
        // Readers that outlive the store (a page reconnecting) tell by it that the
        // sequence numbers began again; without random bytes the clock still differs.
        if (getrandom(&s->instance, sizeof s->instance, GRND_NONBLOCK) != sizeof s->instance)
            s->instance = static_cast<uint64_t>(wall_ms());
        pthread_mutex_lock(&g_store_mutex);
        g_store = s;
        pthread_mutex_unlock(&g_store_mutex);
    }
    // The words serve no purpose; they are reported so a mistyped option is noticed.
    for (int i = 0; words && i < nwords; i++)
        fprintf(stderr, "unhandled command line word [%s]\n", words[i] ? words[i] : "");
    return s ? 0 : -1;
}

void store_destroy(void)
{
    pthread_mutex_lock(&g_store_mutex);
    struct store *s = g_store;
    g_store = nullptr;
    pthread_mutex_unlock(&g_store_mutex);
    store_free(s);
}

// Setters ------------------------------------------------------------------------------

int store_set_binVersionNumber(int v) { return set_member(&store::binVersionNumber, v); }
int store_set_engVersionNumber(int v) { return set_member(&store::engVersionNumber, v); }
int store_set_vdfVersionNumber(int v) { return set_member(&store::vdfVersionNumber, v); }
int store_set_numDaemons(int v) { return set_member(&store::numDaemons, v); }
int store_set_accessMask(int v) { return set_member(&store::accessMask, v); }
int store_set_scannedFiles(int64_t v) { return set_member(&store::scannedFiles, v); }
int store_set_scannedBytes(int64_t v) { return set_member(&store::scannedBytes, v); }
int store_set_blockedCount(int64_t v) { return set_member(&store::blockedCount, v); }
int store_set_logChanged(int v) { return set_member(&store::logChanged, v); }

int store_add_scannedFiles(int64_t v) { return add_member(&store::scannedFiles, v); }
int store_add_scannedBytes(int64_t v) { return add_member(&store::scannedBytes, v); }
int store_add_blockedCount(int64_t v) { return add_member(&store::blockedCount, v); }
int store_add_logChanged(int v) { return add_member(&store::logChanged, v); }

int store_set_currentConffile(const char *name)
{
    struct conn_registry *reg;
    int rc;
    {
        store_lock lock;
        if (!g_store)
            return -1;
        free(g_store->currentConffile);
        g_store->currentConffile = name ? strdup(name) : nullptr;
        rc = (name && !g_store->currentConffile) ? -1 : 0;
        reg = g_store->registry;
        conn_registry_post(reg, kEventChanged);
    }
    conn_registry_wake(reg, kEventChanged);
    return rc;
}

int store_set_lastScannedFile(const char *name)
{
    struct conn_registry *reg = nullptr;
    int rc;
    {
        store_lock lock;
        if (!g_store)
            return -1;
        free(g_store->lastScannedFile);
        g_store->lastScannedFile = copy_or_empty(name);
        g_store->lastScannedAt_ms = wall_ms();
        // Posted even when the copy failed: waiters then read "" rather than sleep on.
        reg = g_store->registry;
        conn_registry_post(reg, kEventLastScanned);
        conn_registry_post(reg, kEventChanged);
        rc = g_store->lastScannedFile ? 0 : -1;
    }
    // Woken once the mutex is free, so that the waiters do not first queue behind us.
    conn_registry_wake(reg, kEventLastScanned);
    conn_registry_wake(reg, kEventChanged);
    return rc;
}

// Getters ------------------------------------------------------------------------------

char *store_get_currentConffile(void)
{
    store_lock lock;
    if (!g_store)
        return nullptr;
    return copy_or_empty(g_store->currentConffile);
}

int store_get_binVersionNumber(void) { return get_member(&store::binVersionNumber); }
int store_get_engVersionNumber(void) { return get_member(&store::engVersionNumber); }
int store_get_vdfVersionNumber(void) { return get_member(&store::vdfVersionNumber); }

int store_get_stats(int *numDaemons, int *accessMask, int64_t *scannedFiles, int64_t *scannedBytes,
                    int64_t *blockedCount)
{
    store_lock lock;
    if (!g_store)
        return -1;
    if (numDaemons)
        *numDaemons = g_store->numDaemons;
    if (accessMask)
        *accessMask = g_store->accessMask;
    if (scannedFiles)
        *scannedFiles = g_store->scannedFiles;
    if (scannedBytes)
        *scannedBytes = g_store->scannedBytes;
    if (blockedCount)
        *blockedCount = g_store->blockedCount;
    return 0;
}

int store_get_metrics(struct store_metrics *m)
{
    store_lock lock;
    if (!g_store)
        return -1;
    m->binVersionNumber = g_store->binVersionNumber;
    m->engVersionNumber = g_store->engVersionNumber;
    m->vdfVersionNumber = g_store->vdfVersionNumber;
    m->numDaemons = g_store->numDaemons;
    m->accessMask = g_store->accessMask;
    m->scannedFiles = g_store->scannedFiles;
    m->scannedBytes = g_store->scannedBytes;
    m->blockedCount = g_store->blockedCount;
    m->logChanged = g_store->logChanged;
    m->blockedReceived = g_store->ring ? blocked_ring_total(g_store->ring) : 0;
    m->parkedPolls = g_store->parked;
    m->connections = conn_registry_count(g_store->registry);
    return 0;
}

int store_take_logChanged(void)
{
    store_lock lock;
    if (!g_store)
        return -1;
    int v = g_store->logChanged;
    g_store->logChanged = 0;
    return v;
}

// Long polls ---------------------------------------------------------------------------
// No scoped lock here: conn_registry_wait is a cancellation point, and a guard's destructor
// does not run when the thread is cancelled. Each poll pushes its own handler instead.

// Runs with the store mutex held, on return and on cancellation alike.
static void unpark(void *) { g_store->parked--; }

// REQUIRES: g_store_mutex held, g_store set.
static int wait_counted_locked(int event)
{
    int r;
    g_store->parked++;
    pthread_cleanup_push(unpark, nullptr);
    r = conn_registry_wait(g_store->registry, event, 1, &g_store_mutex);
    pthread_cleanup_pop(1);
    return r;
}

static void unlock_store(void *) { pthread_mutex_unlock(&g_store_mutex); }

// Adds n to the count of waiting long polls when there is a store.
static void count_parked(int n)
{
    store_lock lock;
    if (g_store)
        g_store->parked += n;
}

static void unpark_paused(void *) { count_parked(-1); }

// The coalescing pause of a last-scanned poll, which waits as much as its wait does and
// counts as a waiting long poll too. Cancellation point. REQUIRES: store mutex not held.
static void pause_counted(int64_t due)
{
    count_parked(1);
    pthread_cleanup_push(unpark_paused, nullptr);
    coalesce_sleep_until(due);
    pthread_cleanup_pop(1);
}

void store_set_coalesce_ms(int ms) { __atomic_store_n(&g_coalesce_ms, ms, __ATOMIC_RELAXED); }

int store_coalesce_ms(void) { return __atomic_load_n(&g_coalesce_ms, __ATOMIC_RELAXED); }

int store_wait_change(int blocked_only, const struct timespec *deadline)
{
    int r = -1;
    pthread_mutex_lock(&g_store_mutex);
    pthread_cleanup_push(unlock_store, nullptr);
    if (g_store) {
        g_store->parked++;
        pthread_cleanup_push(unpark, nullptr);
        r = conn_registry_wait_until(g_store->registry,
                                     blocked_only ? kEventBlockedFile : kEventChanged, 1,
                                     &g_store_mutex, deadline);
        pthread_cleanup_pop(1);
    }
    pthread_cleanup_pop(1);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

char *store_get_lastScannedFile(void)
{
    // The pause comes before the wait, and outside the store mutex: what arrives during
    // it is consumed by the wait with the rest and shown by the value read after it, so
    // nothing already answered is left pending for the next call.
    const int64_t now = monotonic_ms();
    const int64_t due =
        coalesce_due(t_scanned_answered_ms, now, __atomic_load_n(&g_coalesce_ms, __ATOMIC_RELAXED));
    if (due > now)
        pause_counted(due);
    char *copy = nullptr;
    pthread_mutex_lock(&g_store_mutex);
    pthread_cleanup_push(unlock_store, nullptr);
    if (g_store) {
        // Result ignored: without a link, or off a connection thread, the value is
        // returned at once. The store cannot go away while we wait (store_destroy's
        // precondition).
        wait_counted_locked(kEventLastScanned);
        copy = copy_or_empty(g_store->lastScannedFile);
    }
    pthread_cleanup_pop(1);
    if (copy)
        t_scanned_answered_ms = monotonic_ms();
    return copy;
}

int store_add_blocked_file(const char *object, int reason, const char *info, const char *addInfo,
                           const char *action, const char *source, const char *alerturl)
{
    {
        store_lock lock;
        if (!g_store || !g_store->ring)
            return -1;
    }
    // Built outside the lock: copying strings must not hold up the readers.
    struct blocked_file *rec =
        blocked_file_new(object, reason, info, addInfo, action, source, alerturl);
    if (!rec)
        return -1;
    rec->arrived_ms = wall_ms();
    struct conn_registry *reg = nullptr;
    uint32_t index;
    {
        store_lock lock;
        if (!g_store || !g_store->ring) {
            blocked_file_free(rec);
            return -1;
        }
        blocked_ring_push(g_store->ring, rec);
        index = blocked_ring_total(g_store->ring) - 1;
        reg = g_store->registry;
        conn_registry_post(reg, kEventBlockedFile);
        conn_registry_post(reg, kEventChanged);
    }
    conn_registry_wake(reg, kEventBlockedFile);
    conn_registry_wake(reg, kEventChanged);
    // Only this thread drops records from the ring, so rec outlives the hook's call.
    if (g_blocked_hook)
        g_blocked_hook(rec, index, g_blocked_hook_arg);
    return 0;
}

void store_set_blocked_hook(store_blocked_hook fn, void *arg)
{
    g_blocked_hook = fn;
    g_blocked_hook_arg = arg;
}

// REQUIRES: g_store_mutex held and g_store set. A cancellation point.
static int wait_blocked_locked(void) { return wait_counted_locked(kEventBlockedFile); }

// Copies the object and the wanted strings of rec into one heap block, the object first,
// and points the wanted outputs into it: one allocation per fetch, however many fields.
// Returns the block, or null (nothing filled).
// REQUIRES: g_store_mutex held, so that rec cannot be dropped while it is copied.
static char *copy_record_locked(const struct blocked_file *rec, int *reason, char **info,
                                char **addInfo, char **action, char **source, char **alerturl)
{
    char **const out[] = {nullptr, info, addInfo, action, source, alerturl};
    const char *const from[] = {rec->object, rec->info,   rec->addInfo,
                                rec->action, rec->source, rec->alerturl};
    constexpr int kParts = sizeof from / sizeof from[0];
    size_t len[kParts] = {};
    size_t total = 0;
    for (int i = 0; i < kParts; i++) {
        if (i > 0 && !out[i])
            continue;
        len[i] = strlen(from[i] ? from[i] : "") + 1;
        total += len[i];
    }
    char *block = static_cast<char *>(malloc(total));
    if (!block)
        return nullptr;
    char *p = block;
    for (int i = 0; i < kParts; i++) {
        if (len[i] == 0)
            continue;
        memcpy(p, from[i] ? from[i] : "", len[i]);
        if (out[i])
            *out[i] = p;
        p += len[i];
    }
    if (reason)
        *reason = rec->reason;
    return block;
}

char *store_fetch_blocked_file(int newest, unsigned int *index, int *reason, char **info,
                               char **addInfo, char **action, char **source, char **alerturl)
{
    static_assert(sizeof(unsigned int) == sizeof(uint32_t), "sequence numbers are 32-bit");
    if (!newest && !index)
        return nullptr;
    char *object = nullptr;
    pthread_mutex_lock(&g_store_mutex);
    pthread_cleanup_push(unlock_store, nullptr);
    if (g_store && g_store->ring) {
        struct blocked_ring *ring = g_store->ring;
        int r = 0;
        uint32_t target;
        if (newest) {
            wait_blocked_locked();
            target = blocked_ring_total(ring) - 1;
        } else {
            target = blocked_ring_total(ring);
            if (blocked_ring_held(ring) == 0) {
                // Nothing ever arrived: the first record to come is the answer.
                do
                    r = wait_blocked_locked();
                while (r >= 0 && blocked_ring_held(ring) == 0);
            } else if (*index == target) {
                // The client has seen everything; a stale notification ends one wait,
                // finds total unchanged and waits again.
                do
                    r = wait_blocked_locked();
                while (r >= 0 && blocked_ring_total(ring) == *index);
            } else {
                target = *index;
            }
        }
        struct blocked_file *rec = nullptr;
        if (r >= 0 && blocked_ring_fetch(ring, &target, &rec) == 0)
            object = copy_record_locked(rec, reason, info, addInfo, action, source, alerturl);
        if (index)
            *index = target;
    }
    pthread_cleanup_pop(1);
    return object;
}

// Client registry ----------------------------------------------------------------------
// The registry calls run without the store mutex; only the link is read under it.

static int read_link(struct conn_registry **reg)
{
    store_lock lock;
    if (!g_store)
        return -1;
    *reg = g_store->registry;
    return 0;
}

int store_register_client(unsigned long *id)
{
    struct conn_registry *reg = nullptr;
    if (read_link(&reg) < 0)
        return -1;
    return conn_registry_self_id(reg, id);
}

int store_unregister_client(unsigned long id)
{
    struct conn_registry *reg = nullptr;
    if (read_link(&reg) < 0)
        return -1;
    return conn_registry_cancel_thread(reg, id);
}

// Views for the web pages ----------------------------------------------------------------

int store_get_view(struct store_view *v)
{
    *v = store_view{};
    store_lock lock;
    if (!g_store)
        return -1;
    v->instance = g_store->instance;
    v->binVersionNumber = g_store->binVersionNumber;
    v->engVersionNumber = g_store->engVersionNumber;
    v->vdfVersionNumber = g_store->vdfVersionNumber;
    v->numDaemons = g_store->numDaemons;
    v->accessMask = g_store->accessMask;
    v->scannedFiles = g_store->scannedFiles;
    v->scannedBytes = g_store->scannedBytes;
    v->blockedCount = g_store->blockedCount;
    v->lastScannedAt_ms = g_store->lastScannedAt_ms;
    v->nextIndex = g_store->ring ? blocked_ring_total(g_store->ring) : 0;
    v->oldestIndex = v->nextIndex - (g_store->ring ? blocked_ring_held(g_store->ring) : 0);
    v->currentConffile = g_store->currentConffile ? strdup(g_store->currentConffile) : nullptr;
    v->lastScannedFile = g_store->lastScannedFile ? strdup(g_store->lastScannedFile) : nullptr;
    if ((g_store->currentConffile && !v->currentConffile) ||
        (g_store->lastScannedFile && !v->lastScannedFile)) {
        store_view_free(v);
        return -1;
    }
    return 0;
}

void store_view_free(struct store_view *v)
{
    free(v->currentConffile);
    free(v->lastScannedFile);
    v->currentConffile = v->lastScannedFile = nullptr;
}

int store_copy_blocked(uint32_t from, int max, struct blocked_file **recs, uint32_t *first)
{
    store_lock lock;
    if (!g_store || !g_store->ring)
        return -1;
    const uint32_t total = blocked_ring_total(g_store->ring);
    const uint32_t held = blocked_ring_held(g_store->ring);
    // How far from is behind the next number: 0 is nothing new, and half the number
    // space or more is a number not given yet rather than one dropped long ago.
    const uint32_t behind = total - from;
    if (behind == 0 || behind >= 0x80000000u)
        return 0;
    if (behind > held)
        from = total - held;
    *first = from;
    int n = 0;
    for (uint32_t seq = from; n < max && seq != total; seq++) {
        uint32_t at = seq;
        struct blocked_file *rec;
        if (blocked_ring_fetch(g_store->ring, &at, &rec) != 0)
            break;
        recs[n] = blocked_file_new(rec->object, rec->reason, rec->info, rec->addInfo, rec->action,
                                   rec->source, rec->alerturl);
        if (!recs[n]) {
            while (n > 0)
                blocked_file_free(recs[--n]);
            return -1;
        }
        recs[n++]->arrived_ms = rec->arrived_ms;
    }
    return n;
}
