// Status store. The mutex lives for the whole process and the record pointer is read
// under it, so a call that comes when no store exists sees "none" instead of racing a
// destroyed mutex. Long polls hand the store mutex to the registry wait, whose own
// cancellation handler releases it: a thread cancelled there must not unlock it again.
#include "store/store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "store/blocked_ring.h"
#include "store/endpoint_link.h"

namespace {

constexpr int kRingCapacity = 1024;
constexpr int kEventBlockedFile = 1;
constexpr int kEventLastScanned = 2;

struct store {
    struct soap_endpoint *endpoint;  // set at creation, read-only afterwards
    // guarded by: g_store_mutex
    char *currentConffile;
    struct blocked_ring *ring;  // null when it could not be made
    char *lastScannedFile;
    int binVersionNumber;
    int engVersionNumber;
    int vdfVersionNumber;
    int numDaemons;
    int accessMask;
    int64_t scannedFiles;
    int64_t scannedBytes;
    int64_t blockedCount;
    int logChanged;
};

pthread_mutex_t g_store_mutex = PTHREAD_MUTEX_INITIALIZER;
struct store *g_store;  // guarded by: g_store_mutex

// Scoped lock for the getters and setters, none of which has a cancellation point.
struct store_lock {
    store_lock() { pthread_mutex_lock(&g_store_mutex); }
    ~store_lock() { pthread_mutex_unlock(&g_store_mutex); }
    store_lock(const store_lock &) = delete;
    store_lock &operator=(const store_lock &) = delete;
};

void release_blocked_file(struct blocked_file *rec) { blocked_file_free(rec); }

char *copy_or_empty(const char *s) { return strdup(s ? s : ""); }

// Two's-complement addition without the undefined behaviour of signed overflow.
int64_t wrap_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

void store_free(struct store *s) {
    if (!s) return;
    free(s->currentConffile);
    blocked_ring_free(s->ring);
    free(s->lastScannedFile);
    free(s);
}

}  // namespace

int store_create(struct soap_endpoint *ep, int nwords, char **words) {
    store_destroy();
    struct store *s = static_cast<struct store *>(calloc(1, sizeof(struct store)));
    if (s) {
        s->endpoint = ep;
        s->ring = blocked_ring_new(kRingCapacity, release_blocked_file);
        pthread_mutex_lock(&g_store_mutex);
        g_store = s;
        pthread_mutex_unlock(&g_store_mutex);
    }
    // The words serve no purpose; they are reported so a mistyped option is noticed.
    for (int i = 0; words && i < nwords; i++)
        fprintf(stderr, "unhandled command line word [%s]\n", words[i] ? words[i] : "");
    return s ? 0 : -1;
}

void store_destroy(void) {
    pthread_mutex_lock(&g_store_mutex);
    struct store *s = g_store;
    g_store = nullptr;
    pthread_mutex_unlock(&g_store_mutex);
    store_free(s);
}

// Setters ------------------------------------------------------------------------------

#define STORE_SET(name, type, expr)          \
    int store_set_##name(type v) {           \
        store_lock lock;                     \
        if (!g_store) return -1;             \
        g_store->name = (expr);              \
        return 0;                            \
    }

STORE_SET(binVersionNumber, int, v)
STORE_SET(engVersionNumber, int, v)
STORE_SET(vdfVersionNumber, int, v)
STORE_SET(numDaemons, int, v)
STORE_SET(accessMask, int, v)
STORE_SET(scannedFiles, int64_t, v)
STORE_SET(scannedBytes, int64_t, v)
STORE_SET(blockedCount, int64_t, v)
STORE_SET(logChanged, int, v)

#undef STORE_SET

#define STORE_ADD(name, type, expr)          \
    int store_add_##name(type v) {           \
        store_lock lock;                     \
        if (!g_store) return -1;             \
        g_store->name = (expr);              \
        return 0;                            \
    }

STORE_ADD(scannedFiles, int64_t, wrap_add(g_store->scannedFiles, v))
STORE_ADD(scannedBytes, int64_t, wrap_add(g_store->scannedBytes, v))
STORE_ADD(blockedCount, int64_t, wrap_add(g_store->blockedCount, v))
STORE_ADD(logChanged, int,
          static_cast<int>(static_cast<unsigned>(g_store->logChanged) + static_cast<unsigned>(v)))

#undef STORE_ADD

int store_set_currentConffile(const char *name) {
    store_lock lock;
    if (!g_store) return -1;
    free(g_store->currentConffile);
    g_store->currentConffile = name ? strdup(name) : nullptr;
    return (name && !g_store->currentConffile) ? -1 : 0;
}

int store_set_lastScannedFile(const char *name) {
    store_lock lock;
    if (!g_store) return -1;
    free(g_store->lastScannedFile);
    g_store->lastScannedFile = copy_or_empty(name);
    // Notified even when the copy failed: waiters then read "" rather than sleep on.
    endpoint_notify(g_store->endpoint, kEventLastScanned);
    return g_store->lastScannedFile ? 0 : -1;
}

// Getters ------------------------------------------------------------------------------

char *store_get_currentConffile(void) {
    store_lock lock;
    if (!g_store) return nullptr;
    return copy_or_empty(g_store->currentConffile);
}

#define STORE_GET(name)                      \
    int store_get_##name(void) {             \
        store_lock lock;                     \
        return g_store ? g_store->name : -1; \
    }

STORE_GET(binVersionNumber)
STORE_GET(engVersionNumber)
STORE_GET(vdfVersionNumber)

#undef STORE_GET

int store_get_stats(int *numDaemons, int *accessMask, int64_t *scannedFiles,
                    int64_t *scannedBytes, int64_t *blockedCount) {
    store_lock lock;
    if (!g_store) return -1;
    if (numDaemons) *numDaemons = g_store->numDaemons;
    if (accessMask) *accessMask = g_store->accessMask;
    if (scannedFiles) *scannedFiles = g_store->scannedFiles;
    if (scannedBytes) *scannedBytes = g_store->scannedBytes;
    if (blockedCount) *blockedCount = g_store->blockedCount;
    return 0;
}

int store_take_logChanged(void) {
    store_lock lock;
    if (!g_store) return -1;
    int v = g_store->logChanged;
    g_store->logChanged = 0;
    return v;
}

// Long polls ---------------------------------------------------------------------------
// No scoped lock and no cleanup handler of our own here: endpoint_wait is a cancellation
// point, and on cancellation its handler already unlocks g_store_mutex.

char *store_get_lastScannedFile(void) {
    pthread_mutex_lock(&g_store_mutex);
    if (!g_store) {
        pthread_mutex_unlock(&g_store_mutex);
        return nullptr;
    }
    // Result ignored: without a link, or off a connection thread, the value is returned
    // at once. The store cannot go away while we wait (store_destroy's precondition).
    endpoint_wait(g_store->endpoint, kEventLastScanned, 1, &g_store_mutex);
    char *copy = copy_or_empty(g_store->lastScannedFile);
    pthread_mutex_unlock(&g_store_mutex);
    return copy;
}

int store_add_blocked_file(const char *object, int reason, const char *info,
                           const char *addInfo, const char *action, const char *source,
                           const char *alerturl) {
    {
        store_lock lock;
        if (!g_store || !g_store->ring) return -1;
    }
    // Built outside the lock: copying strings must not hold up the readers.
    struct blocked_file *rec =
        blocked_file_new(object, reason, info, addInfo, action, source, alerturl);
    if (!rec) return -1;
    store_lock lock;
    if (!g_store || !g_store->ring) {
        blocked_file_free(rec);
        return -1;
    }
    blocked_ring_push(g_store->ring, rec);
    endpoint_notify(g_store->endpoint, kEventBlockedFile);
    return 0;
}

// REQUIRES: g_store_mutex held and g_store set. A cancellation point.
static int wait_blocked_locked(void) {
    return endpoint_wait(g_store->endpoint, kEventBlockedFile, 1, &g_store_mutex);
}

// Fills the wanted outputs from rec; returns the object copy, or null (nothing filled).
// REQUIRES: g_store_mutex held, so that rec cannot be dropped while it is copied.
static char *copy_record_locked(const struct blocked_file *rec, int *reason, char **info,
                                char **addInfo, char **action, char **source,
                                char **alerturl) {
    char *object = copy_or_empty(rec->object);
    if (!object) return nullptr;
    if (reason) *reason = rec->reason;
    if (info) *info = copy_or_empty(rec->info);
    if (addInfo) *addInfo = copy_or_empty(rec->addInfo);
    if (action) *action = copy_or_empty(rec->action);
    if (source) *source = copy_or_empty(rec->source);
    if (alerturl) *alerturl = copy_or_empty(rec->alerturl);
    return object;
}

char *store_fetch_blocked_file(int newest, unsigned int *index, int *reason, char **info,
                               char **addInfo, char **action, char **source,
                               char **alerturl) {
    static_assert(sizeof(unsigned int) == sizeof(uint32_t), "sequence numbers are 32-bit");
    if (!newest && !index) return nullptr;
    pthread_mutex_lock(&g_store_mutex);
    if (!g_store || !g_store->ring) {
        pthread_mutex_unlock(&g_store_mutex);
        return nullptr;
    }
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
            do r = wait_blocked_locked();
            while (r >= 0 && blocked_ring_held(ring) == 0);
        } else if (*index == target) {
            // The client has seen everything; a stale notification ends one wait, finds
            // total unchanged and waits again.
            do r = wait_blocked_locked();
            while (r >= 0 && blocked_ring_total(ring) == *index);
        } else {
            target = *index;
        }
    }
    char *object = nullptr;
    struct blocked_file *rec = nullptr;
    if (r >= 0 && blocked_ring_fetch(ring, &target, &rec) == 0)
        object = copy_record_locked(rec, reason, info, addInfo, action, source, alerturl);
    if (index) *index = target;
    pthread_mutex_unlock(&g_store_mutex);
    return object;
}

// Client registry ----------------------------------------------------------------------
// The registry calls run without the store mutex; only the link is read under it.

static int read_link(struct soap_endpoint **ep) {
    store_lock lock;
    if (!g_store) return -1;
    *ep = g_store->endpoint;
    return 0;
}

int store_register_client(unsigned long *id) {
    struct soap_endpoint *ep = nullptr;
    if (read_link(&ep) < 0) return -1;
    return endpoint_client_id(ep, id);
}

int store_unregister_client(unsigned long id) {
    struct soap_endpoint *ep = nullptr;
    if (read_link(&ep) < 0) return -1;
    return endpoint_cancel_client(ep, id);
}
