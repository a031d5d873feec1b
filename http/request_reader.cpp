// Request framing: a scanner follows each request through its header (only the two
// lines that say how long the body is matter) and its body, and the receive hook hands
// the runtime no byte past the request's end. Bytes read beyond it wait in a spill
// buffer, allocated only while such bytes exist, for the next request.
#include "http/request_reader.h"

#include <fcntl.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "registry/monotonic.h"
#include "http/xml_balance.h"
#include "stdsoap2.h"

namespace {

const char kPluginId[] = "gc-request-reader";
const char kTooLarge[] = "request too large";
const char kTooComplex[] = "request too complex";
const char kBadLength[] = "invalid Content-Length";
const char kBareCr[] = "bare CR in the request header: end each line with CR LF";
constexpr int kBadRequest = 400;
const char kEncoded[] = "content encoding not accepted: send the body uncompressed";
constexpr int kUnsupportedMediaType = 415;
// Every request of this service is a few hundred bytes; a header or a body past this is
// refused before it is read, so that no client can make the daemon buffer it.
constexpr unsigned long long kMaxHeaderBytes = 1 << 20;
constexpr unsigned long long kMaxBodyBytes = 1 << 20;

enum phase {
    HEAD,          // request line and header lines, up to the empty line
    BODY_LENGTH,   // left bytes of a Content-Length body
    BODY_CHUNKED,  // a chunked body, followed by chunk_state
    BODY_TO_END,   // no length given: the body runs to the end of the connection
    DONE,          // the request was read whole; the runtime gets no more of it
};

enum chunk_state {
    CHUNK_SIZE,      // hex digits of a chunk's size
    CHUNK_EXT,       // extensions after the size, up to the line end
    CHUNK_DATA,      // left bytes of chunk data
    CHUNK_DATA_END,  // the line end after the data
    CHUNK_TRAILER,   // trailer lines after the last chunk, up to the empty line
};

// What one request's scan learns; a new request starts from a value-initialised one, so
// that no field can be left over from the request before (HEAD, CHUNK_SIZE and
// LENGTH_BLANKS are the zeros).
struct request_scan {
    enum phase phase;
    const char *refusal;  // why the request is refused; the runtime gets no more of it
    int refusal_status;   // the HTTP status of that refusal, 0 for the runtime's own
    int timed_out;        // the input ended because the request took too long
    unsigned long long header_bytes;
    unsigned long long body_bytes;
    // header scan
    int started;      // a byte other than CR or LF came: the request has begun
    int after_cr;     // the byte before was a CR, so this one must be LF
    size_t line_len;  // bytes on the current line, CRs not counted
    char line[64];    // the current line's start: enough for the lines we read
    int has_length;
    // A Content-Length line's value, read as it comes: it may be longer than line.
    int length_line;   // the current line is a Content-Length line
    int length_state;  // LENGTH_* below
    unsigned long long length_value;
    int chunked;
    unsigned long long length;
    // body scan
    unsigned long long left;
    enum chunk_state chunk;
};

struct reader {
    size_t (*next_recv)(struct soap *, char *, size_t);  // the hooks we sit on
    int (*next_parse)(struct soap *);
    int (*next_parsehdr)(struct soap *, const char *, const char *);
    int skipping;  // the bytes scanned belong to a request already answered
    struct request_scan req;
    // bytes read past the request
    char *spill;
    size_t spill_off;
    size_t spill_len;
    struct xml_balance balance;  // of the body's XML
    // the request's deadline
    int timeout_ms;
    int armed;
    struct timespec deadline;
};

// How far a Content-Length value has come: only digits between blanks is a number that
// this reader and the runtime's header parser are sure to read alike.
enum length_state { LENGTH_BLANKS, LENGTH_DIGITS, LENGTH_AFTER, LENGTH_BAD };
const char kLengthKey[] = "Content-Length:";
constexpr size_t kLengthKeyLen = sizeof kLengthKey - 1;

struct reader *reader_of(struct soap *soap)
{
    return static_cast<struct reader *>(soap_lookup_plugin(soap, kPluginId));
}

void arm(struct reader *r)
{
    if (r->timeout_ms <= 0)
        return;
    r->deadline = monotonic_after(r->timeout_ms);
    r->armed = 1;
}

void begin_request(struct reader *r)
{
    r->req = request_scan{};
    xml_balance_reset(&r->balance);
}

int starts_with_key(const char *line, size_t len, const char *key, const char **value)
{
    const size_t k = strlen(key);
    if (len < k || strncasecmp(line, key, k) != 0)
        return 0;
    const char *v = line + k;
    while (v < line + len && (*v == ' ' || *v == '\t'))
        v++;
    *value = v;
    return 1;
}

// Reads the two header lines that frame the body, the way the runtime's own header
// parser does: the last of each counts, and only a plain "chunked" is chunked.
void header_line(struct reader *r)
{
    const size_t len = r->req.line_len < sizeof r->req.line ? r->req.line_len : sizeof r->req.line;
    // Terminated here: r->req.line still holds the tail of a longer earlier line, whose
    // digits strtoull would otherwise read as more of the length.
    char line[sizeof r->req.line + 1];
    memcpy(line, r->req.line, len);
    line[len] = '\0';
    const char *v;
    if (r->req.length_line) {
        r->req.length_line = 0;
        r->req.has_length = 1;
        r->req.length = r->req.length_value;
        if (r->req.length_state != LENGTH_DIGITS && r->req.length_state != LENGTH_AFTER &&
            !r->skipping)
            r->req.refusal = kBadLength;
    } else if (starts_with_key(line, len, "Transfer-Encoding:", &v)) {
        size_t n = static_cast<size_t>(line + len - v);
        while (n > 0 && (v[n - 1] == ' ' || v[n - 1] == '\t'))
            n--;
        r->req.chunked = n == 7 && strncasecmp(v, "chunked", 7) == 0;
    }
}

// Takes one byte of a header line as it is stored; from the end of a Content-Length
// key on, reads the value. A value past any real length saturates: it is refused as
// too large.
void header_char(struct reader *r, char c)
{
    if (r->req.line_len < sizeof r->req.line)
        r->req.line[r->req.line_len] = c;
    r->req.line_len++;
    if (r->req.line_len == kLengthKeyLen &&
        strncasecmp(r->req.line, kLengthKey, kLengthKeyLen) == 0) {
        r->req.length_line = 1;
        r->req.length_state = LENGTH_BLANKS;
        r->req.length_value = 0;
        return;
    }
    if (!r->req.length_line || r->req.line_len <= kLengthKeyLen)
        return;
    const int blank = c == ' ' || c == '\t';
    if (c >= '0' && c <= '9' && r->req.length_state <= LENGTH_DIGITS) {
        r->req.length_state = LENGTH_DIGITS;
        const unsigned long long d = static_cast<unsigned long long>(c - '0');
        r->req.length_value =
            r->req.length_value > (~0ULL - d) / 10 ? ~0ULL : r->req.length_value * 10 + d;
    } else if (blank && r->req.length_state != LENGTH_BAD) {
        if (r->req.length_state == LENGTH_DIGITS)
            r->req.length_state = LENGTH_AFTER;
    } else {
        r->req.length_state = LENGTH_BAD;
    }
}

// Body bytes of the request being read are counted and go through the tag balance
// check. Returns how many of the n may reach the runtime: fewer once it is refused.
size_t body_bytes(struct reader *r, const char *p, size_t n)
{
    if (r->skipping)
        return n;
    if (r->req.body_bytes + n > kMaxBodyBytes) {
        n = static_cast<size_t>(kMaxBodyBytes - r->req.body_bytes);
        r->req.refusal = kTooLarge;
    }
    r->req.body_bytes += n;
    const size_t ok = xml_balance_feed(&r->balance, p, n);
    if (ok < n)
        r->req.refusal = kTooComplex;
    return ok;
}

// As body_bytes, for a stretch whose length is counted down in r->req.left (a Content-Length
// body, or a chunk's data): takes at most r->req.left of the n and counts them off.
size_t counted_bytes(struct reader *r, const char *p, size_t n)
{
    const size_t ok = body_bytes(r, p, r->req.left < n ? static_cast<size_t>(r->req.left) : n);
    r->req.left -= ok;
    return ok;
}

// The header ended: the body's framing is known now.
void header_done(struct soap *soap, struct reader *r)
{
    if (r->req.chunked) {
        r->req.phase = BODY_CHUNKED;
    } else if (r->req.has_length) {
        r->req.left = r->req.length;
        r->req.phase = r->req.left ? BODY_LENGTH : DONE;
    } else {
        // Where such a body ends is known only when the client closes, so no request
        // can follow it on this connection.
        r->req.phase = BODY_TO_END;
        soap->keep_alive = 0;
    }
}

// Scans up to n bytes of the current request; returns how many belong to it (all of
// them, unless the request ends inside).
size_t scan(struct soap *soap, struct reader *r, const char *p, size_t n)
{
    size_t i = 0;
    while (i < n && r->req.phase != DONE && !r->req.refusal) {
        const char c = p[i];
        switch (r->req.phase) {
        case HEAD:
            if (++r->req.header_bytes > kMaxHeaderBytes && !r->skipping) {
                r->req.refusal = kTooLarge;
                break;
            }
            i++;
            // The runtime ends a header line at a CR and drops the byte after it, so
            // that "Content-Length: 1\r00" is 10 to it and 100 here; a CR not followed
            // by LF is refused (as HTTP allows) rather than read two ways.
            if (r->req.after_cr && c != '\n' && !r->skipping) {
                r->req.refusal = kBareCr;
                r->req.refusal_status = kBadRequest;
                break;
            }
            r->req.after_cr = c == '\r';
            if (!r->req.started) {
                // Line ends before the request line are skipped, by the runtime too.
                if (c != '\r' && c != '\n') {
                    r->req.started = 1;
                    r->req.line[0] = c;
                    r->req.line_len = 1;
                }
            } else if (c == '\n') {
                if (r->req.line_len == 0) {
                    header_done(soap, r);
                } else {
                    header_line(r);
                    r->req.line_len = 0;
                }
            } else if (c != '\r') {
                header_char(r, c);
            }
            break;
        case BODY_LENGTH:
            i += counted_bytes(r, p + i, n - i);
            if (r->req.left == 0)
                r->req.phase = DONE;
            break;
        case BODY_TO_END: i += body_bytes(r, p + i, n - i); break;
        case BODY_CHUNKED:
            if (r->req.chunk == CHUNK_DATA) {
                i += counted_bytes(r, p + i, n - i);
                if (r->req.left == 0)
                    r->req.chunk = CHUNK_DATA_END;
                break;
            }
            i++;
            if (r->req.chunk == CHUNK_SIZE || r->req.chunk == CHUNK_EXT) {
                const int digit = (c >= '0' && c <= '9')   ? c - '0'
                                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                           : -1;
                if (r->req.chunk == CHUNK_SIZE && digit >= 0) {
                    // An absurd size saturates; the runtime refuses it anyway.
                    r->req.left = r->req.left > (~0ULL >> 4) ? ~0ULL : (r->req.left << 4) | digit;
                } else if (c == '\n') {
                    r->req.chunk = r->req.left ? CHUNK_DATA : CHUNK_TRAILER;
                    r->req.line_len = 0;
                } else {
                    r->req.chunk = CHUNK_EXT;
                }
            } else if (r->req.chunk == CHUNK_DATA_END) {
                if (c == '\n')
                    r->req.chunk = CHUNK_SIZE;
            } else if (c == '\n') {  // CHUNK_TRAILER
                if (r->req.line_len == 0)
                    r->req.phase = DONE;
                r->req.line_len = 0;
            } else if (c != '\r') {
                r->req.line_len++;
            }
            break;
        case DONE: break;
        }
    }
    return i;
}

// The runtime's header parser, seen from here: each header line as the runtime reads it
// (its key matching lets "-" stand for any byte, and it strips quotes from values),
// before it acts on the line. A Content-Length the runtime would take past the bound is
// refused here whatever the scanner read: for a request line that it takes for a
// status (such as "POST 441") the runtime allocates the whole length at once. So is a
// compressed body, which the runtime would inflate past every bound (a megabyte of
// gzip holds a gigabyte of XML) and out of the scanner's sight; no client of this
// service compresses its requests. Once the request is refused, no line is acted on.
int parse_header(struct soap *soap, const char *key, const char *val)
{
    struct reader *r = reader_of(soap);
    if (!r || r->req.refusal)
        return SOAP_HDR;
    if (!soap_tag_cmp(key, "Content-Length")) {
        unsigned long long n = 0;
        r->req.refusal = *val ? nullptr : kBadLength;
        for (const char *p = val; *p && !r->req.refusal; p++) {
            if (*p < '0' || *p > '9')
                r->req.refusal = kBadLength;
            else if ((n = n * 10 + static_cast<unsigned>(*p - '0')) > kMaxBodyBytes)
                r->req.refusal = kTooLarge;
        }
    } else if (!soap_tag_cmp(key, "Content-Encoding") && *val && strcasecmp(val, "identity")) {
        r->req.refusal = kEncoded;
        r->req.refusal_status = kUnsupportedMediaType;
    }
    return r->req.refusal ? SOAP_HDR : r->next_parsehdr(soap, key, val);
}

// The runtime takes the end of its input for the end of a header, so after a header
// this reader cut short (refused, or out of time) it would serve a GET or an OPTIONS,
// or read on into a POST's body. The message fails here instead, before any of them.
int parse_message(struct soap *soap)
{
    struct reader *r = reader_of(soap);
    if (!r)
        return SOAP_HDR;
    const int rc = r->next_parse(soap);
    if (r->req.refusal)
        return SOAP_HDR;
    return r->req.timed_out ? SOAP_EOF : rc;
}

// Waits until the socket is ready for events, or the request's deadline passes
// (returns 0). Cancellation point, though not inside poll: a thread cancelled inside
// poll leaves ThreadSanitizer's view of its later locking wrong, which would hide real
// races in the clean-up behind false ones. A canceller shuts the socket down as well
// (see the registry), which ends the poll at once; the cancellation is taken right
// after it.
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
        const int rc = poll(&pfd, 1, static_cast<int>(ms));
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
size_t tls_recv(struct soap *soap, struct reader *r, char *buf, size_t len)
{
    const int fd = soap->socket;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return 0;
    int got;
    for (;;) {
        got = SSL_read(soap->ssl, buf, len > INT_MAX ? INT_MAX : static_cast<int>(len));
        if (got > 0)
            break;
        const int err = SSL_get_error(soap->ssl, got);
        got = 0;
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
            break;
        if (!wait_ready(soap, r, err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN)) {
            r->req.timed_out = 1;
            break;
        }
    }
    (void)fcntl(fd, F_SETFL, flags);
    return static_cast<size_t>(got);
}

// Reads what the socket holds, bounded by the request's deadline while one runs.
// Returns 0 at the end of the input, on an error, and when the deadline passed
// (r->req.timed_out is then set).
size_t bounded_recv(struct soap *soap, struct reader *r, char *buf, size_t len)
{
    if (!r->armed || !soap_valid_socket(soap->socket))
        return r->next_recv(soap, buf, len);
    if (soap->ssl)
        return tls_recv(soap, r, buf, len);
    if (!wait_ready(soap, r, POLLIN)) {
        r->req.timed_out = 1;
        return 0;
    }
    return r->next_recv(soap, buf, len);
}

void keep_spill(struct reader *r, const char *p, size_t n)
{
    if (n == 0)
        return;
    if (r->spill_len == 0) {
        char *b = static_cast<char *>(malloc(n));
        // Without memory the bytes are lost as they were before this layer existed; the
        // next request then fails to parse instead of being answered.
        if (!b)
            return;
        memcpy(b, p, n);
        free(r->spill);
        r->spill = b;
        r->spill_off = 0;
        r->spill_len = n;
        return;
    }
    // Bytes taken from the spill and given back sit right before spill_off.
    r->spill_off -= n;
    r->spill_len += n;
}

size_t framed_recv(struct soap *soap, char *buf, size_t len)
{
    struct reader *r = reader_of(soap);
    if (!r)
        return 0;
    for (;;) {
        if ((r->req.phase == DONE && !r->skipping) || r->req.refusal)
            return 0;
        size_t n;
        if (r->spill_len) {
            n = r->spill_len < len ? r->spill_len : len;
            memcpy(buf, r->spill + r->spill_off, n);
            r->spill_off += n;
            r->spill_len -= n;
        } else {
            n = bounded_recv(soap, r, buf, len);
            if (n == 0)
                return 0;
        }
        size_t from = 0;
        if (r->skipping) {
            // What is left of a request that was already answered goes nowhere.
            from = scan(soap, r, buf, n);
            if (r->req.phase != DONE)
                continue;
            r->skipping = 0;
            begin_request(r);
        }
        if (r->req.phase == HEAD && !r->req.started && !r->armed)
            arm(r);
        const size_t mine = scan(soap, r, buf + from, n - from);
        keep_spill(r, buf + from + mine, n - from - mine);
        if (r->spill && r->spill_len == 0) {
            free(r->spill);
            r->spill = nullptr;
        }
        if (r->req.phase == DONE)
            r->armed = 0;
        if (mine == 0)
            continue;
        if (from)
            memmove(buf, buf + from, mine);
        return mine;
    }
}

void reader_delete(struct soap *soap, struct soap_plugin *p)
{
    (void)soap;
    struct reader *r = static_cast<struct reader *>(p->data);
    xml_balance_free(&r->balance);
    free(r->spill);
    free(r);
}

// A reader on the hooks of hooks (the context's own, or another reader's).
struct reader *reader_new(const struct reader *hooks, int timeout_ms)
{
    struct reader *r = static_cast<struct reader *>(calloc(1, sizeof(struct reader)));
    if (!r)
        return nullptr;
    r->next_recv = hooks->next_recv;
    r->next_parse = hooks->next_parse;
    r->next_parsehdr = hooks->next_parsehdr;
    r->timeout_ms = timeout_ms;
    begin_request(r);
    arm(r);
    return r;
}

// A copied context reads a connection of its own, from its start. Having a copy hook
// also makes the runtime delete the reader with a copied context (every connection's
// context is a copy of the listener's).
int reader_copy(struct soap *soap, struct soap_plugin *dst, struct soap_plugin *src)
{
    (void)soap;
    const struct reader *from = static_cast<const struct reader *>(src->data);
    struct reader *r = reader_new(from, from->timeout_ms);
    if (!r)
        return SOAP_EOM;
    dst->data = r;
    return SOAP_OK;
}

int reader_create(struct soap *soap, struct soap_plugin *p, void *arg)
{
    struct reader hooks {};
    hooks.next_recv = soap->frecv;
    hooks.next_parse = soap->fparse;
    hooks.next_parsehdr = soap->fparsehdr;
    struct reader *r = reader_new(&hooks, *static_cast<int *>(arg));
    if (!r)
        return SOAP_EOM;
    p->id = kPluginId;
    p->data = r;
    p->fcopy = reader_copy;
    p->fdelete = reader_delete;
    soap->frecv = framed_recv;
    soap->fparse = parse_message;
    soap->fparsehdr = parse_header;
    return SOAP_OK;
}

}  // namespace

int request_reader_install(struct soap *soap, int timeout_ms)
{
    if (reader_of(soap))
        return 0;
    return soap_register_plugin_arg(soap, reader_create, &timeout_ms) == SOAP_OK ? 0 : -1;
}

void request_reader_next(struct soap *soap)
{
    struct reader *r = reader_of(soap);
    if (!r)
        return;
    soap->bufidx = 0;
    soap->buflen = 0;
    if (r->req.phase == HEAD && !r->req.started)
        return;
    r->armed = 0;
    if (r->req.phase == DONE || r->req.phase == BODY_TO_END)
        begin_request(r);
    else
        r->skipping = 1;
}

int request_reader_timed_out(struct soap *soap)
{
    struct reader *r = reader_of(soap);
    return r ? r->req.timed_out : 0;
}

int request_reader_malformed(struct soap *soap)
{
    struct reader *r = reader_of(soap);
    return r ? r->balance.broken : 0;
}

const char *request_reader_refusal(struct soap *soap, int *http_status)
{
    struct reader *r = reader_of(soap);
    *http_status = r ? r->req.refusal_status : 0;
    return r ? r->req.refusal : nullptr;
}
