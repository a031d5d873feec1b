#include "intake/stats_channel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "intake/channel.h"
#include "intake/status_message.h"

namespace {

constexpr int kQueueMode = 0600;

char *g_dir = nullptr;
channel *g_channel = nullptr;

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
    if (channel_open(&g_channel, g_dir, status_msg::kProjectId, kQueueMode, 0) == 0)
        channel_close(&g_channel, 1);
    if (channel_open(&g_channel, g_dir, status_msg::kProjectId, kQueueMode, 1) != 0) {
        perror("msgqueue creation");
        return -1;
    }
    return 0;
}

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
