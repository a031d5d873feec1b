// The daemon's own receiving status channel, set up once at start-up and removed at
// shutdown. Main thread only; no locking.
#ifndef GC_INTAKE_STATS_CHANNEL_H
#define GC_INTAKE_STATS_CHANNEL_H

#include <cstddef>

struct channel;

// Keeps a copy of dir, removes a queue an earlier run left under the key, then opens
// the receiving side (UDP first, then a queue with mode 0600). Returns 0 (also when the
// channel already exists), or -1 after perror "msgqueue creation" and a line naming the
// directory and what to do (or silently when the copy of dir cannot be made).
int stats_channel_setup(const char *dir);

// Writes into buf (size bytes, cut to fit) what the channel is: "UDP on 127.0.0.1 port
// N (receive buffer B bytes: a burst of about R records)" or "message queue 0xKEY (id
// I)". Returns 0, or -1 (buf "" when it has room) without a channel or a buffer.
int stats_channel_describe(char *buf, size_t size);

// 1 when stats_channel_setup found a queue an earlier run had left under the key and
// removed it, else 0.
int stats_channel_removed_leftover(void);

// The channel made by stats_channel_setup, or null. Owned by this module.
struct channel *stats_channel_get(void);

// Closes the channel, removing its queue. Returns 0 (also when there is none), or -1
// after perror "msgqueue removal" (the channel and the directory copy are then kept).
int stats_channel_remove(void);

#endif
