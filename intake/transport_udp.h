// UDP transport of the status channel: a datagram socket on 127.0.0.1 whose receiving
// side holds a port derived from the channel key. Owned by one channel; used by one
// thread at a time, no locking.
#ifndef GC_INTAKE_TRANSPORT_UDP_H
#define GC_INTAKE_TRANSPORT_UDP_H

#include <netinet/in.h>

#include <cstddef>

struct udp_part {
    int key;         // channel key
    int port;        // the receiving side's derived port
    int local_port;  // the sending side's own port once bound
    int fd;          // socket, -1 when none
    int receiving;   // 1 when this side holds the derived port
    int rcvbuf;      // receiving side: receive buffer the kernel granted, in bytes
};

// Records a receiving side's buffer is sized to hold while its reader is not scheduled:
// a burst of this many status records is kept rather than dropped.
constexpr int kUdpBurstRecords = 10000;
// What the kernel charges a receive queue for one 944-byte datagram on loopback: about
// 2,300 bytes of buffer and bookkeeping, rounded up.
constexpr int kUdpQueuedBytesPerRecord = 2400;

// The port derived from a channel key: 49152 plus each 12-bit group of the key (49152
// for a key of 0 or below).
int udp_port_for_key(int key);

// Binds a socket on 127.0.0.1: at the derived port of ftok(dir, proj) when create is
// set, else at any free port, connected to the derived port. A receiving side asks for a receive
// buffer that holds kUdpBurstRecords records (beyond the system's limit where the process may) and
// keeps what it got in rcvbuf; a smaller grant is no failure. Returns 0, or -1 with errno (no
// socket then).
int udp_open(udp_part *p, const char *dir, int proj, int create);

// Shuts the socket down and closes it. Returns 0; -1 only for a null part.
int udp_close(udp_part *p);

// Receives one datagram of at most size + 4 bytes into buf (longer ones are cut),
// skipping datagrams whose first word differs from a non-zero type. The sender's
// address goes to *from when from is given (null: the address is not even read). Returns the length
// minus 4, or -1 with the call's errno, or with EBADMSG for a datagram shorter than the type word.
long udp_receive(udp_part *p, void *buf, size_t size, long type, sockaddr_in *from);

// Sends size + 4 bytes from buf to *to, or to the derived port when to is null (refused
// with EDESTADDRREQ on the receiving side). Returns 0, or -1 with errno: ECONNREFUSED
// when nothing listens at the derived port.
int udp_send(udp_part *p, const void *buf, size_t size, int nowait, const sockaddr_in *to);

#endif
