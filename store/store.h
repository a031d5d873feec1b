// Status store: the latest values the scanner daemons reported, and the blocked-file ring.
// Written only by the main thread (intake), read by the connection threads. Every member,
// and the registry's pending counters of events 1 and 2, is guarded by the store mutex,
// which is always taken before the registry mutex.
#ifndef GC_STORE_STORE_H
#define GC_STORE_STORE_H

#include <time.h>

#include <cstdint>

struct conn_registry;
struct blocked_file;

// Creates the store linked to the connection registry reg (may be null: notifications and
// waits then do nothing),
// replacing a live one, and prints "unhandled command line word [%s]\n" to stderr for each
// of the nwords words. Returns 0, or -1 when the record cannot be allocated (no store then).
// REQUIRES: no other thread inside a store operation.
int store_create(struct conn_registry *reg, int nwords, char **words);

// Frees the store and everything it owns; nothing when there is none. Takes no lock.
// REQUIRES: no connection thread inside a store operation or blocked in a store wait.
void store_destroy(void);

// Setters: 0, or -1 when no store exists (or a string copy failed: the member is then none).
int store_set_binVersionNumber(int v);
int store_set_engVersionNumber(int v);
int store_set_vdfVersionNumber(int v);
// Stores a copy of name, or none for a null name. No wake-up.
int store_set_currentConffile(const char *name);
// Stores a copy of name ("" for null), posts event 2 under the store mutex and wakes
// its waiters after releasing it.
int store_set_lastScannedFile(const char *name);
int store_set_numDaemons(int v);
int store_set_accessMask(int v);
int store_set_scannedFiles(int64_t v);
int store_add_scannedFiles(int64_t v);  // wraps modulo 2^64
int store_set_scannedBytes(int64_t v);
int store_add_scannedBytes(int64_t v);
int store_set_blockedCount(int64_t v);
int store_add_blockedCount(int64_t v);
int store_set_logChanged(int v);
int store_add_logChanged(int v);

// Heap copy of currentConffile ("" when none); null when no store or the copy failed.
// The caller frees it.
char *store_get_currentConffile(void);
// Long poll: waits for event 2 (cap 1) on a registered connection thread, then returns a
// heap copy of lastScannedFile ("" when none); null when no store. A thread answered
// less than the coalescing period ago first sleeps until that period has passed, outside
// the store mutex, so that it is answered at most once a period, with the newest value.
// Cancellation point.
char *store_get_lastScannedFile(void);
// Sets the coalescing period of store_get_lastScannedFile in ms (0 or less: none, the
// start value). Kept across store_create. Any thread; takes no lock.
void store_set_coalesce_ms(int ms);
// The coalescing period in ms (0 or less: none). Any thread; takes no lock.
int store_coalesce_ms(void);
// Waits on a registered connection thread for a change of any value (blocked_only 0) or
// for a blocked file (blocked_only 1), counted as a waiting long poll, until the monotonic
// clock passes deadline (null: no limit). Every change since the last wait counts, so
// one that came meanwhile ends the wait at once. Returns 1 on a change, 0 at the
// deadline, -1 when no store exists or the caller cannot wait (no registry, not a
// registered thread). Cancellation point. REQUIRES: store mutex not held.
int store_wait_change(int blocked_only, const struct timespec *deadline);
// The value, or -1 when no store exists.
int store_get_binVersionNumber(void);
int store_get_engVersionNumber(void);
int store_get_vdfVersionNumber(void);
// Copies the five statistics under one lock. Returns 0, or -1 with the outputs untouched
// when no store exists. Null outputs are skipped.
int store_get_stats(int *numDaemons, int *accessMask, int64_t *scannedFiles, int64_t *scannedBytes,
                    int64_t *blockedCount);
// Everything the metrics page shows of the store, copied under one lock.
struct store_metrics {
    int binVersionNumber, engVersionNumber, vdfVersionNumber;
    int numDaemons, accessMask;
    int64_t scannedFiles, scannedBytes, blockedCount;
    int logChanged;            // read, not consumed
    uint32_t blockedReceived;  // blocked files the ring took since start
    int parkedPolls;           // connection threads waiting in a long poll
    int connections;           // connection threads answered for; -1 without a registry
};
// Fills *m without waiting and without disturbing any client's pending events. Returns
// 0, or -1 with *m untouched when no store exists.
int store_get_metrics(struct store_metrics *m);
// Returns logChanged and zeroes it in the same lock; -1 when no store exists.
int store_take_logChanged(void);

// Builds a blocked-file record (null strings become ""), appends it to the ring, posts
// event 1 under the store mutex and wakes its waiters after releasing it. Returns 0, or -1 for no
// store, no ring or no memory (nothing appended, no notification).
int store_add_blocked_file(const char *object, int reason, const char *info, const char *addInfo,
                           const char *action, const char *source, const char *alerturl);

// Called on the intake thread after each blocked file is added, outside the store mutex:
// rec is the record as the ring holds it, with its sequence number index, and stays
// valid until the next blocked file is added. arg is the hook's own.
typedef void (*store_blocked_hook)(const struct blocked_file *rec, uint32_t index, void *arg);
// Sets the blocked-file hook (null: none). REQUIRES: before the intake loop runs.
void store_set_blocked_hook(store_blocked_hook fn, void *arg);

// A copy of the values for the web pages, made under one lock without waiting.
struct store_view {
    uint64_t instance;  // drawn when the store was made: sequence numbers are of this one
    int binVersionNumber, engVersionNumber, vdfVersionNumber;
    char *currentConffile;  // heap copy; null when none was set
    int numDaemons, accessMask;
    int64_t scannedFiles, scannedBytes, blockedCount;
    char *lastScannedFile;     // heap copy; null when none was set
    int64_t lastScannedAt_ms;  // when it was set, wall clock ms since the epoch
    uint32_t oldestIndex;      // the sequence number of the oldest blocked file held
    uint32_t nextIndex;        // the sequence number the next blocked file gets
};
// Fills *v. Returns 0 (free it with store_view_free), or -1 when no store exists or
// memory runs out (nothing to free).
int store_get_view(struct store_view *v);
// Frees the copies of *v; v may be freed twice.
void store_view_free(struct store_view *v);
// Copies up to max held blocked files, oldest first, from sequence number from on (from
// the oldest held when from is no longer held), into recs, with their arrival times;
// *first gets the number of recs[0]. Returns how many (the caller frees each with
// blocked_file_free), or -1 when no store exists or memory runs out (none to free).
// Holds the store mutex for the copying: callers take the ring in small pieces.
int store_copy_blocked(uint32_t from, int max, struct blocked_file **recs, uint32_t *first);

// Fetches a blocked-file record. newest != 0: waits once for event 1, returns the newest.
// newest == 0: *index carries the wanted sequence number in (required) and waits while
// that record does not exist yet. Returns a heap copy of the object, or null when no
// record is returned. Each non-null output gets the record's value: strings point into
// the object's heap block, which the caller frees as one (free the object only); *index
// the returned sequence number (also set when no record is returned). Cancellation point.
char *store_fetch_blocked_file(int newest, unsigned int *index, int *reason, char **info,
                               char **addInfo, char **action, char **source, char **alerturl);

// Sets *id to the calling connection thread's client id. Returns 0, -1 when no store
// exists, -2 when the caller is not a registered connection thread.
int store_register_client(unsigned long *id);
// Requests cancellation of the connection thread with client id id. Returns 0, -1 when
// no store exists, -2 when no registered thread has that id.
int store_unregister_client(unsigned long id);

#endif
