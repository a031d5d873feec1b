#include "intake/stats_channel.h"

#include <sys/ipc.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "intake/channel.h"
#include "intake/status_message.h"

namespace {

constexpr int kQueueMode = 0600;

char *g_dir = nullptr;
channel *g_channel = nullptr;
int g_removed_leftover = 0;

// The line after the perror: what the failure concerns and what to do about it.
void explain_failure(const char *dir, int err)
{
    fprintf(stderr, "status channel: ");
    if (err == ENOENT || err == ENOTDIR) {
        fprintf(stderr, "directory \"%s\" does not exist: create it, or name another with -d\n",
                dir);
    } else if (err == EADDRINUSE) {
        const key_t key = ftok(dir, status_msg::kProjectId);
        fprintf(stderr,
                "UDP port %d on 127.0.0.1, the one directory \"%s\" gives, is taken: stop what "
                "holds it, or name another directory with -d\n",
                udp_port_for_key(static_cast<int>(key)), dir);
    } else if (err == EEXIST || err == EACCES || err == EPERM) {
        fprintf(stderr,
                "directory \"%s\": %s (a message queue another user left under its key, "
                "or a directory this user may not search): name another directory with -d\n",
                dir, strerror(err));
    } else {
        fprintf(stderr, "directory \"%s\": %s\n", dir, strerror(err));
    }
}

}  // namespace

int stats_channel_setup(const char *dir)
{
    if (!dir)
        return -1;
    char *copy = strdup(dir);
    if (!copy)
        return -1;
    free(g_dir);
    g_dir = copy;
    if (g_channel)
        return 0;
    // The probe opens as a sender would: it finds a queue left by an earlier run and
    // removes it, or ends up on a throw-away UDP port. It uses the daemon's own slot, so
    // a leftover queue that cannot be removed keeps the slot and the open below is refused.
    g_removed_leftover = 0;
    if (channel_open(&g_channel, g_dir, status_msg::kProjectId, kQueueMode, 0) == 0) {
        g_removed_leftover = g_channel->kind == CHANNEL_MSGQ;
        channel_close(&g_channel, 1);
    }
    if (channel_open(&g_channel, g_dir, status_msg::kProjectId, kQueueMode, 1) != 0) {
        const int err = errno;
        perror("msgqueue creation");
        explain_failure(g_dir, err);
        return -1;
    }
    return 0;
}

int stats_channel_describe(char *buf, size_t size)
{
    if (!buf || size == 0)
        return -1;
    buf[0] = '\0';
    if (!g_channel)
        return -1;
    if (g_channel->kind == CHANNEL_UDP) {
        const int rcvbuf = channel_receive_buffer(g_channel);
        snprintf(buf, size,
                 "UDP on 127.0.0.1 port %d (receive buffer %d bytes: a burst of about %d records)",
                 g_channel->udp.port, rcvbuf, rcvbuf / kUdpQueuedBytesPerRecord);
    } else {
        snprintf(buf, size, "message queue 0x%08x (id %d)",
                 static_cast<unsigned int>(g_channel->mq.key), g_channel->mq.id);
    }
    return 0;
}

int stats_channel_removed_leftover(void) { return g_removed_leftover; }

struct channel *stats_channel_get(void) { return g_channel; }

int stats_channel_remove(void)
{
    if (!g_channel)
        return 0;
    if (channel_close(&g_channel, 1) != 0) {
        perror("msgqueue removal");
        return -1;
    }
    free(g_dir);
    g_dir = nullptr;
    return 0;
}
