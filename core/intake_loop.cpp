#include "core/intake_loop.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/process.h"
#include "intake/channel.h"
#include "intake/decode.h"
#include "intake/dispatch.h"
#include "intake/status_message.h"
#include "store/activity.h"

using namespace status_msg;

namespace {

void raise_stop(void) { g_stop_counter = g_stop_counter + 1; }

// Reacts to a failed receive. A message too long for the queue would block the queue
// for good, so it is taken off with a truncating receive and counted, never handled.
void receive_failed(channel *ch, unsigned char *msg, intake_counters *c, int *restart)
{
    switch (errno) {
    case E2BIG:
        if (channel_receive(ch, msg, kBodySize, 0, 1, nullptr) >= 0)
            log_msg(1, stdout, "was too long -- dropped\n");
        else
            log_msg(1, stdout, "was too long, error (%d) dropping\n", errno);
        c->received++;
        c->too_long++;
        activity_count(ACTIVITY_RECEIVED_MSGQ);
        break;
    case EACCES:
    case EFAULT:
        fputs("shutting down GUI connection service\n", stderr);
        raise_stop();
        break;
    case EIDRM:
        fputs("msg queue vanished? will schedule a restart ...\n", stderr);
        *restart = 1;
        raise_stop();
        break;
    case EINVAL:
        fputs("msg queue broken? will schedule a restart ...", stderr);
        *restart = 1;
        raise_stop();
        break;
    default:
        // EINTR is how a stop signal ends the wait; everything else is retried.
        break;
    }
}

int32_t word_at(const unsigned char *msg, size_t off)
{
    int32_t v;
    memcpy(&v, msg + off, sizeof v);
    return v;
}

void echo_header(const unsigned char *msg)
{
    // The type word is 32 bits: print exactly those bits whatever the width of long.
    log_msg(0, stdout, "mtype %lX",
            static_cast<unsigned long>(static_cast<uint32_t>(word_at(msg, kTypeOff))));
    log_msg(0, stdout, ", product %c%c%c%c", msg[kProductOff], msg[kProductOff + 1],
            msg[kProductOff + 2], msg[kProductOff + 3]);
    log_msg(0, stdout, ", subsys %c%c%c%c", msg[kSubsysOff], msg[kSubsysOff + 1],
            msg[kSubsysOff + 2], msg[kSubsysOff + 3]);
}

void echo_fields(const status_decoded *d)
{
    log_msg(0, stdout, ": op %c on item %d,", static_cast<char>(d->op), d->item);
    for (int i = 0; i < d->fields.count; ++i) {
        const field_entry *e = &d->fields.entries[i];
        log_msg(0, stdout, " %c%c=[%s]", e->code[0], e->code[1], e->value);
    }
    if (d->fields.truncated)
        log_msg(0, stdout, " (trunc)");
}

void handle(const unsigned char *msg, field_text *tb, status_decoded *d)
{
    log_msg(1, stdout, "got one.\n");
    echo_header(msg);
    const char *refusal = nullptr;
    if (decode_message(msg, tb, d, &refusal) != 0) {
        log_msg(1, stdout, "%s", refusal);
        return;
    }
    echo_fields(d);
    int rc = dispatch_item(d);
    log_msg(1, stdout, " => rc %d\n\n", rc);
}

}  // namespace

void intake_print_counters(const struct intake_counters *c)
{
    if (!c)
        return;
    fprintf(stderr, "DBG: *_stats counters: rcv[%lld], long[%lld], short[%lld]\n", c->received,
            c->too_long, c->too_short);
}

void intake_loop_run(struct channel *ch, struct intake_counters *c, int *restart)
{
    if (!c || !restart)
        return;
    // Reused for every message: the whole path runs in these fixed-size buffers. No
    // sender's address is asked for: the daemon never answers a sender.
    unsigned char msg[kSize];
    field_text tb;
    status_decoded decoded;
    while (g_stop_counter == 0) {
        if (g_diagnostic > 0 && c->received % 100 == 0)
            intake_print_counters(c);
        log_msg(1, stdout, "waiting for a message ... ");
        memset(msg, 0, sizeof msg);
        long n = channel_receive(ch, msg, kBodySize, 0, 0, nullptr);
        if (n < 0) {
            receive_failed(ch, msg, c, restart);
            continue;
        }
        c->received++;
        activity_count(ch->kind == CHANNEL_UDP ? ACTIVITY_RECEIVED_UDP : ACTIVITY_RECEIVED_MSGQ);
        if (n < static_cast<long>(kBodySize)) {
            c->too_short++;
            activity_count(ACTIVITY_TOO_SHORT);
            log_msg(1, stdout, "too short (%d/%d) -- skipping\n", static_cast<int>(n),
                    static_cast<int>(kBodySize));
            continue;
        }
        handle(msg, &tb, &decoded);
    }
}
