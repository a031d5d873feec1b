#include "intake/transport_udp.h"

#include <arpa/inet.h>
#include <sys/ipc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kPortBase = 0xC000;

// Asks for room for a burst of records. The kernel doubles the value it is given (the
// other half is its bookkeeping), so half is asked. SO_RCVBUFFORCE passes the system's
// limit for a process that may (CAP_NET_ADMIN); otherwise SO_RCVBUF gets up to the limit.
// Returns the size granted.
int grow_receive_buffer(int fd)
{
    int want = kUdpBurstRecords / 2 * kUdpQueuedBytesPerRecord;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
    int got = 0;
    socklen_t len = sizeof got;
    return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &got, &len) == 0 ? got : 0;
}

sockaddr_in loopback(int port)
{
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

}  // namespace

int udp_port_for_key(int key)
{
    int port = kPortBase;
    for (int k = key; k > 0; k >>= 12)
        port += k & 0xFFF;
    return port;
}

int udp_open(udp_part *p, const char *dir, int proj, int create)
{
    if (!p || !dir)
        return -1;
    memset(p, 0, sizeof *p);
    p->fd = -1;
    key_t key = ftok(dir, proj);
    if (key == -1)
        return -1;
    p->key = static_cast<int>(key);
    p->port = udp_port_for_key(p->key);
    p->receiving = create ? 1 : 0;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a = loopback(create ? p->port : 0);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    if (create) {
        p->rcvbuf = grow_receive_buffer(fd);
    } else {
        socklen_t len = sizeof a;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            p->local_port = ntohs(a.sin_port);
        // Connected, the socket hears the port-unreachable answer when nobody listens.
        sockaddr_in to = loopback(p->port);
        if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
    }
    p->fd = fd;
    return 0;
}

int udp_close(udp_part *p)
{
    if (!p)
        return -1;
    if (p->fd >= 0) {
        shutdown(p->fd, SHUT_RDWR);
        close(p->fd);
        p->fd = -1;
    }
    return 0;
}

long udp_receive(udp_part *p, void *buf, size_t size, long type, sockaddr_in *from)
{
    for (;;) {
        sockaddr_in src;
        socklen_t len = sizeof src;
        ssize_t n =
            from ? recvfrom(p->fd, buf, size + 4, 0, reinterpret_cast<sockaddr *>(&src), &len)
                 : recv(p->fd, buf, size + 4, 0);
        if (n < 0)
            return -1;
        // Without a type word there is no record; EBADMSG keeps a stale errno from
        // being read as a broken channel.
        if (n < 4) {
            errno = EBADMSG;
            return -1;
        }
        if (type != 0) {
            int32_t word;
            memcpy(&word, buf, sizeof word);
            if (word != type)
                continue;
        }
        if (from)
            *from = src;
        return static_cast<long>(n - 4);
    }
}

int udp_send(udp_part *p, const void *buf, size_t size, int nowait, const sockaddr_in *to)
{
    if (!to && p->receiving) {
        errno = EDESTADDRREQ;
        return -1;
    }
    int flags = MSG_NOSIGNAL | (nowait ? MSG_DONTWAIT : 0);
    ssize_t n =
        to ? sendto(p->fd, buf, size + 4, flags, reinterpret_cast<const sockaddr *>(to), sizeof *to)
           : send(p->fd, buf, size + 4, flags);
    if (n != static_cast<ssize_t>(size + 4))
        return -1;
    if (to)
        return 0;
    // Loopback delivers within the send, and the port-unreachable answer with it: a
    // record that found nobody is reported now, not at the next send.
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(p->fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}
