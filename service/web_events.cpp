// The stream writes its own header and events through the connection's send hook, as
// they come: an event stream has no length, so it is no runtime reply, and it ends with
// the connection. Each turn compares a fresh copy of the store's values with what was
// sent and sends the difference; between turns it waits for any change, or only for a
// blocked file while the coalescing period of something already sent runs.
#include "service/web_events.h"

#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/request_parser.h"
#include "registry/monotonic.h"
#include "service/web_json.h"
#include "stdsoap2.h"
#include "store/blocked_ring.h"
#include "store/coalesce.h"
#include "store/store.h"

namespace {

constexpr int kQuietPingMs = 15000;
constexpr int kCopyPiece = 64;
// "retry": a browser that loses the stream connects again after this many ms.
const char kHead[] = "HTTP/1.1 200 OK\r\n"
                     "Server: gSOAP/2.8\r\n"
                     "Content-Type: text/event-stream; charset=utf-8\r\n"
                     "Cache-Control: no-cache\r\n"
                     "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n"
                     "X-Content-Type-Options: nosniff\r\n"
                     "Referrer-Policy: no-referrer\r\n"
                     "Connection: close\r\n"
                     "\r\n"
                     "retry: 2000\n\n";

// What a stream has sent, and the copy of the store it works from. Its strings are its
// own, freed by its clean-up handler, since the stream waits between turns.
struct stream {
    struct soap *soap;
    char instance[17];
    uint32_t next;            // the sequence number of the next blocked file to send
    struct store_view now;    // the store as this turn found it
    struct store_view sent;   // the versions, statistics and scanned file last sent
    int64_t stats_sent_ms;    // monotonic, 0 before the first
    int64_t scanned_sent_ms;  // monotonic, 0 before the first
    int period_ms;
};

void stream_cleanup(void *arg)
{
    struct stream *s = static_cast<struct stream *>(arg);
    store_view_free(&s->now);
    store_view_free(&s->sent);
}

int put(struct stream *s, const std::string &text)
{
    return s->soap->fsend(s->soap, text.data(), text.size());
}

int put_event(struct stream *s, const char *name, const std::string &data)
{
    return put(s, std::string("event: ") + name + "\ndata: " + data + "\n\n");
}

// The id a client names: "<instance>:<index>", from Last-Event-ID or ?last=. Returns
// true with *index set when it is of this run.
bool resume_point(const struct http_request *req, const char *instance, uint32_t *index)
{
    const char *id = req->last_event_id;
    const char *q = strstr(req->target, "?last=");
    if (!id && q)
        id = q + 6;
    const size_t n = strlen(instance);
    if (!id || strncmp(id, instance, n) != 0 || id[n] != ':')
        return false;
    char *end = nullptr;
    const unsigned long long v = strtoull(id + n + 1, &end, 10);
    if (end == id + n + 1 || (*end && *end != '&') || v > UINT32_MAX)
        return false;
    *index = static_cast<uint32_t>(v);
    return true;
}

// Sends the blocked files from s->next up to the newest of this turn.
int send_blocked(struct stream *s)
{
    while (s->next != s->now.nextIndex) {
        struct blocked_file *recs[kCopyPiece];
        uint32_t first = s->next;
        const int n = store_copy_blocked(s->next, kCopyPiece, recs, &first);
        if (n <= 0)
            return SOAP_OK;
        int rc = SOAP_OK;
        for (int i = 0; i < n; i++) {
            const uint32_t index = first + static_cast<uint32_t>(i);
            if (rc == SOAP_OK) {
                std::string data;
                json_blocked(&data, index, recs[i]);
                const std::string id =
                    std::string("id: ") + s->instance + ":" + std::to_string(index) + "\n";
                rc = put(s, id);
                if (rc == SOAP_OK)
                    rc = put_event(s, "blocked", data);
            }
            blocked_file_free(recs[i]);
        }
        if (rc != SOAP_OK)
            return rc;
        s->next = first + static_cast<uint32_t>(n);
    }
    return SOAP_OK;
}

bool same_text(const char *a, const char *b) { return a == b || (a && b && strcmp(a, b) == 0); }

// Moves the string *from into *to, freeing what *to held.
void take(char **to, char **from)
{
    free(*to);
    *to = *from;
    *from = nullptr;
}

int64_t wall_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Whether a coalesced value that changed may go now; if not, *due gets the earliest
// time one held back may.
bool may_go(int64_t sent_ms, int64_t now, int period_ms, int64_t *due)
{
    const int64_t at = coalesce_due(sent_ms, now, period_ms);
    if (at <= now)
        return true;
    if (*due == 0 || at < *due)
        *due = at;
    return false;
}

// Sends what of s->now differs from what was sent (everything, with all set): the
// versions at once, the statistics and the scanned file each at most once a period;
// *due gets when one held back may go (0: none). Returns SOAP_OK or a write's error.
int send_changes(struct stream *s, bool all, int64_t *due)
{
    struct store_view *v = &s->now, *was = &s->sent;
    const int64_t now = monotonic_ms();
    *due = 0;
    std::string data;
    if (all || v->binVersionNumber != was->binVersionNumber ||
        v->engVersionNumber != was->engVersionNumber ||
        v->vdfVersionNumber != was->vdfVersionNumber ||
        !same_text(v->currentConffile, was->currentConffile)) {
        json_versions(&data, v);
        if (const int rc = put_event(s, "versions", data))
            return rc;
        was->binVersionNumber = v->binVersionNumber;
        was->engVersionNumber = v->engVersionNumber;
        was->vdfVersionNumber = v->vdfVersionNumber;
        take(&was->currentConffile, &v->currentConffile);
    }
    if ((all || v->numDaemons != was->numDaemons || v->accessMask != was->accessMask ||
         v->scannedFiles != was->scannedFiles || v->scannedBytes != was->scannedBytes ||
         v->blockedCount != was->blockedCount) &&
        may_go(s->stats_sent_ms, now, s->period_ms, due)) {
        data.clear();
        json_stats(&data, v, wall_ms());
        if (const int rc = put_event(s, "stats", data))
            return rc;
        was->numDaemons = v->numDaemons;
        was->accessMask = v->accessMask;
        was->scannedFiles = v->scannedFiles;
        was->scannedBytes = v->scannedBytes;
        was->blockedCount = v->blockedCount;
        s->stats_sent_ms = now;
    }
    if (v->lastScannedFile &&
        (v->lastScannedAt_ms != was->lastScannedAt_ms ||
         !same_text(v->lastScannedFile, was->lastScannedFile)) &&
        may_go(s->scanned_sent_ms, now, s->period_ms, due)) {
        data.clear();
        json_scanned(&data, v);
        if (const int rc = put_event(s, "scanned", data))
            return rc;
        was->lastScannedAt_ms = v->lastScannedAt_ms;
        take(&was->lastScannedFile, &v->lastScannedFile);
        s->scanned_sent_ms = now;
    }
    return SOAP_OK;
}

struct timespec monotonic_at(int64_t ms)
{
    return {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
}

}  // namespace

int web_events(struct soap *soap, const struct http_request *req)
{
    struct stream s {};
    s.soap = soap;
    if (store_get_view(&s.now) != 0)
        return SOAP_EOF;
    int rc;
    pthread_cleanup_push(stream_cleanup, &s);
    snprintf(s.instance, sizeof s.instance, "%s", json_instance(&s.now).c_str());
    s.period_ms = store_coalesce_ms();
    uint32_t resume = 0;
    s.next = resume_point(req, s.instance, &resume) ? resume + 1 : s.now.nextIndex;
    const std::string hello = std::string("{\"instance\":\"") + s.instance +
                              "\",\"next\":" + std::to_string(s.now.nextIndex) + "}";
    rc = put(&s, kHead);
    if (rc == SOAP_OK)
        rc = put_event(&s, "hello", hello);
    bool all = true;
    while (rc == SOAP_OK) {
        int64_t due = 0;
        rc = send_blocked(&s);
        if (rc == SOAP_OK)
            rc = send_changes(&s, all, &due);
        all = false;
        store_view_free(&s.now);
        if (rc != SOAP_OK)
            break;
        // While something waits out its period only a blocked file, which is never held
        // back, ends the wait early; otherwise any change does, or 15 s of quiet.
        const struct timespec until = due ? monotonic_at(due) : monotonic_after(kQuietPingMs);
        const int changed = store_wait_change(due != 0, &until);
        if (changed < 0)
            break;
        if (changed == 0 && due == 0)
            rc = put(&s, ": ping\n\n");
        if (store_get_view(&s.now) != 0)
            break;
    }
    pthread_cleanup_pop(1);
    return rc;
}
