// The reader owns one buffer per connection: the request being read sits at its front,
// what the client sent behind it follows. It grows as a request needs, up to the
// parser's bounds, and shrinks back once a large request is done, so that an idle
// connection holds little.
#include "http/request_reader.h"

#include <fcntl.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "http/request_parser.h"
#include "registry/monotonic.h"
#include "stdsoap2.h"

namespace {

const char kPluginId[] = "gc-request-reader";
const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
// What a connection holds between requests, and the most it holds: a whole request at
// its bounds and a little of the next one behind it.
constexpr size_t kSmallBuffer = 16 << 10;
constexpr size_t kMaxBuffer = kMaxHeaderBytes + kMaxBodyBytes + kSmallBuffer;

struct reader {
    char *buf;
    size_t cap;
    size_t len;   // bytes held
    size_t used;  // of those, the request read last
    struct http_parser parser;
    // the body the runtime reads
    const char *body;
    size_t body_len;
    size_t body_fed;
    struct timespec deadline;
};

struct reader *reader_of(struct soap *soap)
{
    return static_cast<struct reader *>(soap_lookup_plugin(soap, kPluginId));
}

// The runtime's receive hook: the current body, then the end of the input.
size_t body_recv(struct soap *soap, char *buf, size_t len)
{
    struct reader *r = reader_of(soap);
    if (!r)
        return 0;
    size_t n = r->body_len - r->body_fed;
    if (n > len)
        n = len;
    memcpy(buf, r->body + r->body_fed, n);
    r->body_fed += n;
    return n;
}

// Waits until the socket is ready for events, or the deadline passes (returns 0).
// Cancellation point, though not inside poll: a thread cancelled inside poll leaves
// ThreadSanitizer's view of its later locking wrong, which would hide real races in the
// clean-up behind false ones. A canceller shuts the socket down as well (see the
// registry), which ends the poll at once; the cancellation is taken right after it.
int wait_ready(struct soap *soap, struct reader *r, short events)
{
    for (;;) {
        pthread_testcancel();
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long ms = (r->deadline.tv_sec - now.tv_sec) * 1000LL +
                             (r->deadline.tv_nsec - now.tv_nsec) / 1000000L;
        if (ms <= 0)
            return 0;
        struct pollfd pfd = {soap->socket, events, 0};
        int old;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
        const int rc = poll(&pfd, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
        pthread_setcancelstate(old, nullptr);
        pthread_testcancel();
        if (rc > 0)
            return 1;
        // A failed poll is left to the read itself to report.
        if (rc < 0 && errno != EINTR)
            return 1;
    }
}

// Under TLS the bytes on the socket need not make a whole record, and SSL_read on a
// blocking socket waits for the rest of one, past any deadline: the socket is made
// non-blocking for the read, and each wait for more is bounded as in plain HTTP. A
// thread cancelled in that wait leaves it non-blocking; its clean-up only closes it.
long tls_recv(struct soap *soap, struct reader *r, char *buf, size_t len)
{
    const int fd = soap->socket;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return 0;
    long got;
    for (;;) {
        got = SSL_read(soap->ssl, buf, len > INT_MAX ? INT_MAX : static_cast<int>(len));
        if (got > 0)
            break;
        const int err = SSL_get_error(soap->ssl, static_cast<int>(got));
        got = 0;
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
            break;
        if (!wait_ready(soap, r, err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN)) {
            got = -1;
            break;
        }
    }
    (void)fcntl(fd, F_SETFL, flags);
    return got;
}

// Reads what the connection holds into the buffer, waiting up to the deadline. Returns
// the bytes read, 0 at the end of the input or on an error, -1 when the deadline passed.
long fill(struct soap *soap, struct reader *r)
{
    if (r->len == r->cap) {
        const size_t cap = r->cap * 2 < kMaxBuffer ? r->cap * 2 : kMaxBuffer;
        char *b = cap > r->cap ? static_cast<char *>(realloc(r->buf, cap)) : nullptr;
        if (!b)
            return 0;
        r->buf = b;
        r->cap = cap;
    }
    char *at = r->buf + r->len;
    const size_t room = r->cap - r->len;
    long got;
    if (soap->ssl) {
        got = tls_recv(soap, r, at, room);
    } else {
        if (!wait_ready(soap, r, POLLIN))
            return -1;
        do
            got = recv(soap->socket, at, room, 0);
        while (got < 0 && errno == EINTR);
        if (got < 0)
            got = 0;
    }
    if (got > 0)
        r->len += static_cast<size_t>(got);
    return got;
}

void reader_delete(struct soap *soap, struct soap_plugin *p)
{
    (void)soap;
    struct reader *r = static_cast<struct reader *>(p->data);
    free(r->buf);
    free(r);
}

struct reader *reader_new(void)
{
    struct reader *r = static_cast<struct reader *>(calloc(1, sizeof(struct reader)));
    if (!r)
        return nullptr;
    r->buf = static_cast<char *>(malloc(kSmallBuffer));
    if (!r->buf) {
        free(r);
        return nullptr;
    }
    r->cap = kSmallBuffer;
    http_parser_reset(&r->parser);
    return r;
}

// A copied context reads a connection of its own, from its start. Having a copy hook
// also makes the runtime delete the reader with a copied context (every connection's
// context is a copy of the listener's).
int reader_copy(struct soap *soap, struct soap_plugin *dst, struct soap_plugin *src)
{
    (void)soap;
    (void)src;
    struct reader *r = reader_new();
    if (!r)
        return SOAP_EOM;
    dst->data = r;
    return SOAP_OK;
}

int reader_create(struct soap *soap, struct soap_plugin *p, void *arg)
{
    (void)arg;
    struct reader *r = reader_new();
    if (!r)
        return SOAP_EOM;
    p->id = kPluginId;
    p->data = r;
    p->fcopy = reader_copy;
    p->fdelete = reader_delete;
    soap->frecv = body_recv;
    return SOAP_OK;
}

}  // namespace

int request_reader_install(struct soap *soap)
{
    if (reader_of(soap))
        return 0;
    return soap_register_plugin_arg(soap, reader_create, nullptr) == SOAP_OK ? 0 : -1;
}

int request_reader_wait(struct soap *soap, int idle_ms)
{
    struct reader *r = reader_of(soap);
    if (!r)
        return REQUEST_ENDED;
    // The request read last goes; what came behind it moves to the front.
    r->len -= r->used;
    memmove(r->buf, r->buf + r->used, r->len);
    r->used = 0;
    r->body = nullptr;
    r->body_len = r->body_fed = 0;
    http_parser_reset(&r->parser);
    if (r->cap > kSmallBuffer && r->len <= kSmallBuffer) {
        if (char *b = static_cast<char *>(realloc(r->buf, kSmallBuffer))) {
            r->buf = b;
            r->cap = kSmallBuffer;
        }
    }
    if (r->len)
        return REQUEST_READ;
    r->deadline = monotonic_after(idle_ms);
    const long got = fill(soap, r);
    return got > 0 ? REQUEST_READ : got < 0 ? REQUEST_IDLE : REQUEST_ENDED;
}

int request_reader_read(struct soap *soap, int request_ms, struct http_request *req)
{
    struct reader *r = reader_of(soap);
    if (!r)
        return REQUEST_ENDED;
    r->deadline = monotonic_after(request_ms);
    for (;;) {
        const int rc = http_parse(&r->parser, r->buf, r->len, req);
        if (rc == HTTP_PARSE_DONE) {
            r->used = r->parser.pos;
            r->body = req->body;
            r->body_len = req->body_len;
            return REQUEST_READ;
        }
        if (rc == HTTP_PARSE_REFUSED)
            return REQUEST_REFUSED;
        if (rc == HTTP_PARSE_HEADER) {
            if (r->parser.req.expect_continue &&
                soap->fsend(soap, kContinue, sizeof kContinue - 1) != SOAP_OK)
                return REQUEST_ENDED;
            continue;
        }
        const long got = fill(soap, r);
        if (got <= 0)
            return got < 0 ? REQUEST_TIMED_OUT : REQUEST_ENDED;
    }
}

const char *request_reader_refusal(struct soap *soap, int *status)
{
    struct reader *r = reader_of(soap);
    const bool refused = r && r->parser.reason;
    *status = refused ? r->parser.status : 0;
    return refused ? r->parser.reason : nullptr;
}
