// Message queue transport of the status channel: a System V queue under the channel key.
// Owned by one channel; used by one thread at a time, no locking.
// The kernel's message type is a long; records carry a 32-bit type word, so this
// transport converts at its edge and hands out the same record layout as UDP.
#ifndef GC_INTAKE_TRANSPORT_MSGQ_H
#define GC_INTAKE_TRANSPORT_MSGQ_H

#include <cstddef>

struct msgq_part {
    int key;  // channel key
    int id;   // queue id, -1 when none
};

// Largest size a record body may have on this transport.
constexpr size_t kMsgqMaxBody = 8192;

// Opens the queue under ftok(dir, proj): create != 0 creates it exclusively with perms,
// else finds an existing one. Returns 0, or -1 with errno (no queue, ftok failure).
int msgq_open(msgq_part *p, const char *dir, int proj, int perms, int create);

// Removes the queue when remove is set and an id is held. Returns 0, or -1 with errno
// when the removal failed (the id is then kept).
int msgq_close(msgq_part *p, int remove);

// Blocks for one message of type filter type into buf: the 32-bit type word, then up to
// size bytes. truncate != 0 cuts a longer message, else it stays queued with E2BIG.
// Returns the byte count after the type word, or -1 with the call's errno.
long msgq_receive(msgq_part *p, void *buf, size_t size, long type, int truncate);

// Sends the record in buf (type word, then size bytes). Returns 0, or -1 with errno.
int msgq_send(msgq_part *p, const void *buf, size_t size, int nowait);

#endif
