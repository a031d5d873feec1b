// The daemon's own receiving status channel, set up once at start-up and removed at
// shutdown. Main thread only; no locking.
#ifndef GC_INTAKE_STATS_CHANNEL_H
#define GC_INTAKE_STATS_CHANNEL_H

struct channel;

// Keeps a copy of dir, removes a queue an earlier run left under the key, then opens
// the receiving side (UDP first, then a queue with mode 0600). Returns 0 (also when the
// channel already exists), or -1 after perror "msgqueue creation" (or silently when the
// copy of dir cannot be made).
int stats_channel_setup(const char *dir);

// The channel made by stats_channel_setup, or null. Owned by this module.
struct channel *stats_channel_get(void);

// Closes the channel, removing its queue. Returns 0 (also when there is none), or -1
// after perror "msgqueue removal" (the channel and the directory copy are then kept).
int stats_channel_remove(void);

#endif
