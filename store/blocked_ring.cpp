// Blocked-file ring. One slot always stays free, so head == tail means empty and a full
// ring is told apart without a separate count.
#include "store/blocked_ring.h"

#include <cstdlib>
#include <cstring>

struct blocked_ring {
    struct blocked_file **slots;  // modulus slots
    void (*release)(struct blocked_file *);
    uint32_t head;     // where the next record goes
    uint32_t tail;     // oldest held record
    uint32_t modulus;  // capacity + 1
    uint32_t total;    // records ever appended, wraps modulo 2^32
};

// A failed copy leaves the member null; readers turn that into "".
static char *copy_or_empty(const char *s) { return strdup(s ? s : ""); }

struct blocked_file *blocked_file_new(const char *object, int reason, const char *info,
                                      const char *addInfo, const char *action, const char *source,
                                      const char *alerturl)
{
    struct blocked_file *rec =
        static_cast<struct blocked_file *>(calloc(1, sizeof(struct blocked_file)));
    if (!rec)
        return nullptr;
    rec->reason = reason;
    rec->object = copy_or_empty(object);
    rec->info = copy_or_empty(info);
    rec->addInfo = copy_or_empty(addInfo);
    rec->action = copy_or_empty(action);
    rec->source = copy_or_empty(source);
    rec->alerturl = copy_or_empty(alerturl);
    return rec;
}

const char *blocked_reason_name(int reason)
{
    static const char *const kNames[] = {"BLOCKED-ALERT", "BLOCKED-SUSPICIOUS", "BLOCKED-ENCRYPTED",
                                         "BLOCKED-UNSUPPORTED", "BLOCKED-EXTENSION"};
    return reason >= 0 && reason < 5 ? kNames[reason] : nullptr;
}

void blocked_file_free(struct blocked_file *rec)
{
    if (!rec)
        return;
    free(rec->object);
    free(rec->info);
    free(rec->addInfo);
    free(rec->action);
    free(rec->source);
    free(rec->alerturl);
    free(rec);
}

struct blocked_ring *blocked_ring_new(int capacity, void (*release)(struct blocked_file *))
{
    if (capacity <= 0)
        return nullptr;
    struct blocked_ring *ring =
        static_cast<struct blocked_ring *>(calloc(1, sizeof(struct blocked_ring)));
    if (!ring)
        return nullptr;
    ring->modulus = static_cast<uint32_t>(capacity) + 1;
    ring->slots =
        static_cast<struct blocked_file **>(calloc(ring->modulus, sizeof(struct blocked_file *)));
    if (!ring->slots) {
        free(ring);
        return nullptr;
    }
    ring->release = release;
    return ring;
}

uint32_t blocked_ring_held(const struct blocked_ring *ring)
{
    if (!ring)
        return 0;
    if (ring->head >= ring->tail)
        return ring->head - ring->tail;
    return ring->modulus - (ring->tail - ring->head);
}

uint32_t blocked_ring_total(const struct blocked_ring *ring) { return ring ? ring->total : 0; }

int blocked_ring_push(struct blocked_ring *ring, struct blocked_file *rec)
{
    if (!ring || !rec)
        return -1;
    if ((ring->head + 1) % ring->modulus == ring->tail) {
        if (ring->release)
            ring->release(ring->slots[ring->tail]);
        ring->slots[ring->tail] = nullptr;
        ring->tail = (ring->tail + 1) % ring->modulus;
    }
    ring->slots[ring->head] = rec;
    ring->head = (ring->head + 1) % ring->modulus;
    ring->total++;  // unsigned: wraps modulo 2^32 by definition
    return 0;
}

int blocked_ring_fetch(struct blocked_ring *ring, uint32_t *seq, struct blocked_file **rec)
{
    if (!ring || !seq || !rec)
        return -1;
    uint32_t held = blocked_ring_held(ring);
    if (held == 0)
        return -2;
    // Unsigned arithmetic keeps this right across the 2^32 wrap of total.
    uint32_t age = ring->total - *seq;
    // age 0 is the record that has not arrived yet; beyond held it was dropped (or lies
    // so far ahead that it wrapped): either way the client gets the oldest we still have.
    if (age == 0 || age > held) {
        *seq = ring->total - held;
        age = held;
    }
    uint32_t slot = (ring->tail + (held - age)) % ring->modulus;
    *rec = ring->slots[slot];
    return 0;
}

int blocked_ring_free(struct blocked_ring *ring)
{
    if (!ring)
        return -1;
    while (ring->tail != ring->head) {
        if (ring->release)
            ring->release(ring->slots[ring->tail]);
        ring->tail = (ring->tail + 1) % ring->modulus;
    }
    free(ring->slots);
    free(ring);
    return 0;
}
