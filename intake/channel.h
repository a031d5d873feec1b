// Status channel: one handle over the message queue and UDP transports, with the
// process-wide switches that enable them (-M, -U). A channel is used by one thread at a
// time (the daemon's main thread, or a sender); the switches are set before any open.
// Buffers hold a whole record: the 4-byte type word, then size bytes.
#ifndef GC_INTAKE_CHANNEL_H
#define GC_INTAKE_CHANNEL_H

#include <netinet/in.h>

#include <cstddef>

#include "intake/transport_msgq.h"
#include "intake/transport_udp.h"

enum { CHANNEL_NONE = 0, CHANNEL_MSGQ = 1, CHANNEL_UDP = 2 };

struct channel {
    int kind;  // CHANNEL_MSGQ, CHANNEL_UDP, or CHANNEL_NONE
    msgq_part mq;
    udp_part udp;
};

// Sender of a received datagram, so that a receiving side can answer it.
struct channel_peer {
    int kind;    // CHANNEL_UDP; queue receives make no peer
    char mq[4];  // never filled
    struct {
        sockaddr_in addr;
        int len;
    } udp;
};

// Turns a transport on or off for later opens. Returns its previous state (0 or 1), or
// -1 for a kind other than CHANNEL_MSGQ and CHANNEL_UDP.
int channel_set_transport_enabled(int kind, int on);

// Opens a channel on ftok(dir, proj) into *slot: a receiving side (create) tries UDP
// then an exclusive queue, a sender the queue then UDP, each only when enabled.
// Returns 0 (the caller closes *slot), or -1 (bad or occupied slot, no dir, no transport).
int channel_open(channel **slot, const char *dir, int proj, int perms, int create);

// Closes *slot (removing its queue when remove is set) and empties it. Returns 0, also
// for an empty slot, or -1 for a null slot or a failed removal (the channel stays held).
int channel_close(channel **slot, int remove);

// Blocks for one record of type filter type (0: any) into buf; a longer one is cut on UDP,
// and on the queue only with truncate. A UDP sender's address goes to a new *peer (free
// it with channel_free_peer); with a null peer none is made. Returns the byte count after the type
// word, or -1 with the transport's errno, EBADMSG for a datagram under 4 bytes, EINVAL for bad
// arguments.
long channel_receive(channel *ch, void *buf, size_t size, long type, int truncate,
                     channel_peer **peer);

// Sends the record in buf. A UDP receiving side needs the peer of an earlier receive;
// a sending side goes to the derived port. Returns 0, or -1 with errno.
int channel_send(channel *ch, const void *buf, size_t size, int nowait, const channel_peer *peer);

// Frees *slot's peer record and empties the slot; accepts null and an empty slot.
void channel_free_peer(channel_peer **slot);

// Bytes of receive buffer the kernel granted a UDP receiving side; -1 for anything else.
int channel_receive_buffer(const channel *ch);

#endif
