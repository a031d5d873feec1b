// Blocked-file ring: the last blocked files, numbered by arrival, oldest dropped first.
// Has no lock of its own: the status store owns the only ring and touches it only while
// holding the store mutex (which comes before the registry mutex in the lock order).
#ifndef GC_STORE_BLOCKED_RING_H
#define GC_STORE_BLOCKED_RING_H

#include <cstdint>

// One blocked file as a scanner daemon reported it. Every string is the record's own
// heap copy; none only when that copy failed (readers then see "").
struct blocked_file {
    int reason;
    int64_t arrived_ms;  // when the daemon took it, wall clock ms since the epoch; kept
                         // beside what clients of the SOAP interface are sent
    char *object;
    char *info;
    char *addInfo;
    char *action;
    char *source;
    char *alerturl;
};

// Builds a record from copies of the strings (null becomes ""). Returns the record, or
// null when the record itself cannot be allocated. The caller frees it with
// blocked_file_free unless a ring takes it over.
struct blocked_file *blocked_file_new(const char *object, int reason, const char *info,
                                      const char *addInfo, const char *action, const char *source,
                                      const char *alerturl);
// Frees every present string, then the record; accepts null.
void blocked_file_free(struct blocked_file *rec);
// The wire name of reason ("BLOCKED-ALERT" ...), or null for a code clients do not know.
const char *blocked_reason_name(int reason);

struct blocked_ring;

// Creates an empty ring holding up to capacity records; release (may be null) is called
// on each record the ring drops or frees. Returns null for capacity <= 0 or no memory.
struct blocked_ring *blocked_ring_new(int capacity, void (*release)(struct blocked_file *));
// Appends rec, which the ring then owns; when full, the oldest record is released first.
// Returns 0, or -1 for a null ring or record (nothing changes).
int blocked_ring_push(struct blocked_ring *ring, struct blocked_file *rec);
// Finds the record with sequence number *seq. A number that was dropped or does not exist
// yet is replaced by that of the oldest held record. Returns 0 with *seq and *rec set (the
// ring keeps the record), -1 when an argument is null, -2 when the ring is empty (*rec is
// left alone).
int blocked_ring_fetch(struct blocked_ring *ring, uint32_t *seq, struct blocked_file **rec);
// Number of records ever appended, modulo 2^32; 0 for a null ring.
uint32_t blocked_ring_total(const struct blocked_ring *ring);
// Number of records held now; 0 for a null ring.
uint32_t blocked_ring_held(const struct blocked_ring *ring);
// Releases every held record, oldest first, then the ring. Returns 0, or -1 for null.
int blocked_ring_free(struct blocked_ring *ring);

#endif
