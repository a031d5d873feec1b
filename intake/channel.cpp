#include "intake/channel.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

int g_msgq_enabled = 1;
int g_udp_enabled = 1;

int try_msgq(channel *ch, const char *dir, int proj, int perms, int create)
{
    ch->kind = CHANNEL_MSGQ;
    return msgq_open(&ch->mq, dir, proj, perms, create);
}

int try_udp(channel *ch, const char *dir, int proj, int create)
{
    ch->kind = CHANNEL_UDP;
    return udp_open(&ch->udp, dir, proj, create);
}

}  // namespace

int channel_set_transport_enabled(int kind, int on)
{
    int *sw = kind == CHANNEL_MSGQ  ? &g_msgq_enabled
              : kind == CHANNEL_UDP ? &g_udp_enabled
                                    : nullptr;
    if (!sw)
        return -1;
    int prev = *sw;
    *sw = on ? 1 : 0;
    return prev;
}

int channel_open(channel **slot, const char *dir, int proj, int perms, int create)
{
    if (!slot || *slot || !dir || !*dir) {
        errno = slot && *slot ? EBUSY : EINVAL;
        return -1;
    }
    channel *ch = static_cast<channel *>(calloc(1, sizeof *ch));
    if (!ch)
        return -1;
    ch->mq.id = -1;
    ch->udp.fd = -1;
    int rc = -1;
    errno = ENODEV;  // stays when every transport is switched off
    // The receiving side prefers UDP and falls back to a queue (port taken, or -U); a
    // sender uses a queue when one exists under the key and UDP otherwise.
    if (create) {
        if (g_udp_enabled)
            rc = try_udp(ch, dir, proj, create);
        if (rc != 0 && g_msgq_enabled)
            rc = try_msgq(ch, dir, proj, perms, create);
    } else {
        if (g_msgq_enabled)
            rc = try_msgq(ch, dir, proj, perms, create);
        if (rc != 0 && g_udp_enabled)
            rc = try_udp(ch, dir, proj, create);
    }
    if (rc != 0) {
        int saved = errno;
        free(ch);
        errno = saved;
        return -1;
    }
    *slot = ch;
    return 0;
}

int channel_close(channel **slot, int remove)
{
    if (!slot)
        return -1;
    channel *ch = *slot;
    if (!ch)
        return 0;
    if (ch->kind == CHANNEL_MSGQ && msgq_close(&ch->mq, remove) != 0)
        return -1;
    if (ch->kind == CHANNEL_UDP)
        udp_close(&ch->udp);
    free(ch);
    *slot = nullptr;
    return 0;
}

long channel_receive(channel *ch, void *buf, size_t size, long type, int truncate,
                     channel_peer **peer)
{
    if (peer)
        channel_free_peer(peer);
    if (!ch || !buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    if (ch->kind == CHANNEL_MSGQ)
        return msgq_receive(&ch->mq, buf, size, type, truncate);
    if (ch->kind != CHANNEL_UDP || ch->udp.fd < 0 || type < 0) {
        errno = EINVAL;
        return -1;
    }
    sockaddr_in from;
    long n = udp_receive(&ch->udp, buf, size, type, peer ? &from : nullptr);
    if (n < 0 || !peer)
        return n;
    channel_peer *p = static_cast<channel_peer *>(calloc(1, sizeof *p));
    if (!p)
        return -1;
    p->kind = CHANNEL_UDP;
    p->udp.addr = from;
    p->udp.len = sizeof from;
    *peer = p;
    return n;
}

int channel_send(channel *ch, const void *buf, size_t size, int nowait, const channel_peer *peer)
{
    if (!ch || !buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    if (ch->kind == CHANNEL_MSGQ)
        return msgq_send(&ch->mq, buf, size, nowait);
    if (ch->kind != CHANNEL_UDP || ch->udp.fd < 0) {
        errno = EINVAL;
        return -1;
    }
    const sockaddr_in *to = peer && peer->kind == CHANNEL_UDP ? &peer->udp.addr : nullptr;
    return udp_send(&ch->udp, buf, size, nowait, to);
}

void channel_free_peer(channel_peer **slot)
{
    if (!slot || !*slot)
        return;
    free(*slot);
    *slot = nullptr;
}

int channel_receive_buffer(const channel *ch)
{
    return ch && ch->kind == CHANNEL_UDP && ch->udp.receiving ? ch->udp.rcvbuf : -1;
}
