// The parser reads whole lines only: a line is searched for its end once, however many
// pieces it arrives in, and a request is refused at the first byte that RFC 9112 does
// not allow where it stands. Line ends are CRLF or a lone LF (which RFC 9112 lets a
// recipient accept); a CR anywhere else is refused, since readers split on it
// differently.
#include "http/request_parser.h"

#include <strings.h>

#include <cstring>

namespace {

enum phase {
    START,           // empty lines before the request line, then the request line
    HEADER,          // header field lines, up to the empty line
    BODY_LENGTH,     // left bytes of a Content-Length body
    CHUNK_SIZE,      // a chunk-size line
    CHUNK_DATA,      // left bytes of chunk data
    CHUNK_DATA_END,  // the line end after chunk data
    TRAILER,         // trailer field lines after the last chunk, up to the empty line
    DONE,
    REFUSED,
};

constexpr size_t kAbsent = ~size_t{0};
constexpr int kBadRequest = 400;
constexpr int kNotImplemented = 501;
constexpr int kUnsupportedMediaType = 415;
constexpr int kVersionNotSupported = 505;
// Bounds are answered as the service's other size faults are: 500, a client fault.
constexpr int kTooLargeStatus = 500;

const char kTooLarge[] = "request too large";
const char kBareCr[] = "bare CR in the request header: end each line with CR LF";
const char kBadLine[] = "malformed request line: send METHOD /path HTTP/1.1";
const char kBadVersion[] = "HTTP version not supported: send HTTP/1.1 or HTTP/1.0";
const char kBadField[] = "malformed header field: send name: value, no blank before the colon";
const char kFolded[] = "obsolete line folding in the header: send each field on one line";
const char kLookalike[] = "header field name resembles a framing field: spell it exactly";
const char kTwice[] = "header field given twice";
const char kBadLength[] = "invalid Content-Length";
const char kBothFramings[] = "Content-Length and Transfer-Encoding together";
const char kCoding[] = "transfer coding not implemented: send Content-Length or chunked";
const char kEncoded[] = "content encoding not accepted: send the body uncompressed";
const char kBadChunk[] = "malformed chunked body";

struct method_name {
    const char *name;
    enum http_method method;
};
const method_name kMethods[] = {
    {"GET", HTTP_GET},     {"HEAD", HTTP_HEAD},     {"POST", HTTP_POST},       {"PUT", HTTP_PUT},
    {"PATCH", HTTP_PATCH}, {"DELETE", HTTP_DELETE}, {"OPTIONS", HTTP_OPTIONS},
};

// The fields the service acts on. A name that only differs from one of the hyphenated
// ones where the hyphen stands is refused: some readers let any byte stand for it.
enum field {
    F_OTHER,
    F_HOST,
    F_ORIGIN,
    F_TYPE,
    F_LENGTH,
    F_TRANSFER,
    F_ENCODING,
    F_CONNECTION,
    F_EXPECT,
    F_LAST_EVENT_ID,
};
struct field_name {
    const char *name;
    enum field field;
};
const field_name kFields[] = {
    {"Host", F_HOST},
    {"Origin", F_ORIGIN},
    {"Content-Type", F_TYPE},
    {"Content-Length", F_LENGTH},
    {"Transfer-Encoding", F_TRANSFER},
    {"Content-Encoding", F_ENCODING},
    {"Connection", F_CONNECTION},
    {"Expect", F_EXPECT},
    {"Last-Event-ID", F_LAST_EVENT_ID},
};

int refuse(struct http_parser *p, int status, const char *reason)
{
    p->phase = REFUSED;
    p->status = status;
    p->reason = reason;
    return HTTP_PARSE_REFUSED;
}

bool is_tchar(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c && strchr("!#$%&'*+-.^_`|~", c));
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

int hex_digit(char c)
{
    return (c >= '0' && c <= '9')   ? c - '0'
           : (c >= 'a' && c <= 'f') ? c - 'a' + 10
           : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                    : -1;
}

// Finds the end of the line at p->pos: sets *end to its LF and returns 1, 0 when it has
// not come yet, -1 when the line runs past max bytes. The search resumes where it
// stopped, so a line that arrives a byte at a time is read once.
int find_line(struct http_parser *p, const char *buf, size_t len, size_t max, size_t *end)
{
    if (p->scan < p->pos)
        p->scan = p->pos;
    const void *lf = memchr(buf + p->scan, '\n', len - p->scan);
    if (!lf) {
        p->scan = len;
        return len - p->pos > max ? -1 : 0;
    }
    *end = static_cast<size_t>(static_cast<const char *>(lf) - buf);
    return *end - p->pos > max ? -1 : 1;
}

// The line [from, *to) loses its CR before the LF; a CR elsewhere, or a NUL, refuses it.
// Returns 0, or the refusal.
int line_bytes(struct http_parser *p, const char *buf, size_t from, size_t *to)
{
    if (*to > from && buf[*to - 1] == '\r')
        (*to)--;
    for (size_t i = from; i < *to; i++) {
        if (buf[i] == '\r')
            return refuse(p, kBadRequest, kBareCr);
        if (buf[i] == '\0')
            return refuse(p, kBadRequest, kBadField);
    }
    return 0;
}

int request_line(struct http_parser *p, char *buf, size_t from, size_t to)
{
    size_t i = from;
    while (i < to && ((buf[i] >= 'A' && buf[i] <= 'Z') || (buf[i] >= 'a' && buf[i] <= 'z')))
        i++;
    if (i == from || i == to || buf[i] != ' ')
        return refuse(p, kBadRequest, kBadLine);
    p->req.method = HTTP_METHOD_OTHER;
    for (const method_name &m : kMethods)
        if (strlen(m.name) == i - from && memcmp(buf + from, m.name, i - from) == 0)
            p->req.method = m.method;
    const size_t target = ++i;
    while (i < to && buf[i] > ' ' && buf[i] < 0x7f)
        i++;
    if (i == target || i == to || buf[i] != ' ')
        return refuse(p, kBadRequest, kBadLine);
    buf[i++] = '\0';
    p->target = target;
    // "HTTP/1.0" or "HTTP/1.1" and nothing after it; another version is named as such.
    static const char kVersion[] = "HTTP/1.";
    const size_t n = sizeof kVersion - 1;
    const bool http = to - i >= 5 && memcmp(buf + i, kVersion, 5) == 0;
    if (to - i != n + 1 || memcmp(buf + i, kVersion, n) != 0 ||
        (buf[i + n] != '0' && buf[i + n] != '1'))
        return refuse(p, http ? kVersionNotSupported : kBadRequest, http ? kBadVersion : kBadLine);
    p->req.http_minor = buf[i + n] - '0';
    return 0;
}

// Which field name[0, n) is, or -1 when it only resembles one of them.
int field_of(const char *name, size_t n)
{
    for (const field_name &f : kFields) {
        if (strlen(f.name) != n)
            continue;
        if (strncasecmp(name, f.name, n) == 0)
            return f.field;
        bool alike = true;
        for (size_t i = 0; i < n && alike; i++)
            alike = f.name[i] == '-' || (name[i] | 0x20) == (f.name[i] | 0x20);
        if (alike)
            return -1;
    }
    return F_OTHER;
}

// Stores offset at *slot unless one is there already. Returns 0, or the refusal.
int once(struct http_parser *p, size_t *slot, size_t offset)
{
    if (*slot != kAbsent)
        return refuse(p, kBadRequest, kTwice);
    *slot = offset;
    return 0;
}

int content_length(struct http_parser *p, const char *v)
{
    if (p->has_length)
        return refuse(p, kBadRequest, kTwice);
    p->has_length = 1;
    if (!*v)
        return refuse(p, kBadRequest, kBadLength);
    unsigned long long n = 0;
    for (; *v; v++) {
        if (*v < '0' || *v > '9')
            return refuse(p, kBadRequest, kBadLength);
        n = n * 10 + static_cast<unsigned>(*v - '0');
        if (n > kMaxBodyBytes)
            return refuse(p, kTooLargeStatus, kTooLarge);
    }
    p->left = n;
    return 0;
}

// One field line [from, to) of the header (or, with trailer set, of a chunked body's
// trailer, whose fields are read only for their form). Returns 0, or the refusal.
int field_line(struct http_parser *p, char *buf, size_t from, size_t to, bool trailer)
{
    if (is_blank(buf[from]))
        return refuse(p, kBadRequest, kFolded);
    size_t colon = from;
    while (colon < to && is_tchar(static_cast<unsigned char>(buf[colon])))
        colon++;
    if (colon == from || colon == to || buf[colon] != ':')
        return refuse(p, kBadRequest, kBadField);
    size_t v = colon + 1, e = to;
    while (v < e && is_blank(buf[v]))
        v++;
    while (e > v && is_blank(buf[e - 1]))
        e--;
    for (size_t i = v; i < e; i++)
        if ((static_cast<unsigned char>(buf[i]) < ' ' && buf[i] != '\t') || buf[i] == 0x7f)
            return refuse(p, kBadRequest, kBadField);
    const int f = field_of(buf + from, colon - from);
    if (f < 0)
        return refuse(p, kBadRequest, kLookalike);
    if (trailer)
        return 0;
    buf[e] = '\0';
    const char *value = buf + v;
    switch (f) {
    case F_HOST: return once(p, &p->host, v);
    case F_ORIGIN: return once(p, &p->origin, v);
    case F_TYPE: return once(p, &p->content_type, v);
    case F_LENGTH: return content_length(p, value);
    case F_TRANSFER:
        if (p->req.chunked)
            return refuse(p, kBadRequest, kTwice);
        if (strcasecmp(value, "chunked") != 0)
            return refuse(p, kNotImplemented, kCoding);
        p->req.chunked = 1;
        return 0;
    case F_ENCODING:
        // No client of this service compresses its requests, and a compressed body would
        // hide its XML from every bound.
        if (*value && strcasecmp(value, "identity") != 0)
            return refuse(p, kUnsupportedMediaType, kEncoded);
        return once(p, &p->content_encoding, v);
    case F_CONNECTION: p->req.connection |= http_connection_tokens(value, e - v); return 0;
    case F_LAST_EVENT_ID: return once(p, &p->last_event_id, v);
    case F_EXPECT:
        if (strcasecmp(value, "100-continue") == 0)
            p->req.expect_continue = 1;
        return 0;
    }
    return 0;
}

// The header is whole: the framing it gave decides how the body is read. With neither
// Content-Length nor Transfer-Encoding a request has no body.
int header_done(struct http_parser *p)
{
    if (p->has_length && p->req.chunked)
        return refuse(p, kBadRequest, kBothFramings);
    if (p->req.chunked)
        p->phase = CHUNK_SIZE;
    else if (p->left)
        p->phase = BODY_LENGTH;
    else
        p->phase = DONE;
    return p->phase == DONE ? HTTP_PARSE_DONE : HTTP_PARSE_HEADER;
}

// A chunk-size line [from, to): hex digits, then nothing, or extensions after a ';'.
int chunk_size(struct http_parser *p, const char *buf, size_t from, size_t to)
{
    size_t i = from;
    unsigned long long n = 0;
    for (; i < to && hex_digit(buf[i]) >= 0; i++) {
        n = n << 4 | static_cast<unsigned>(hex_digit(buf[i]));
        if (n > kMaxBodyBytes)
            return refuse(p, kTooLargeStatus, kTooLarge);
    }
    if (i == from)
        return refuse(p, kBadRequest, kBadChunk);
    while (i < to && is_blank(buf[i]))
        i++;
    if (i < to && buf[i] != ';')
        return refuse(p, kBadRequest, kBadChunk);
    for (; i < to; i++)
        if ((static_cast<unsigned char>(buf[i]) < ' ' && buf[i] != '\t') || buf[i] == 0x7f)
            return refuse(p, kBadRequest, kBadChunk);
    p->left = n;
    p->phase = n ? CHUNK_DATA : TRAILER;
    return 0;
}

// Copies the record out, its strings as pointers into buf.
void finish(struct http_parser *p, char *buf, struct http_request *out)
{
    *out = p->req;
    auto at = [buf](size_t off) { return off == kAbsent ? nullptr : buf + off; };
    out->target = at(p->target);
    out->host = at(p->host);
    out->origin = at(p->origin);
    out->content_type = at(p->content_type);
    out->content_encoding = at(p->content_encoding);
    out->last_event_id = at(p->last_event_id);
    out->body = buf + p->body_start;
    out->body_len = p->body_end - p->body_start;
}

// Room left for the part of the request being read: the header's or the body's.
size_t room(const struct http_parser *p)
{
    const bool header = p->phase < BODY_LENGTH;
    const size_t used = header ? p->pos : p->pos - p->body_start;
    const size_t max = header ? kMaxHeaderBytes : kMaxBodyBytes;
    return used >= max ? 0 : max - used;
}

// The first byte of some lines tells at once that they cannot be right, and a client
// that sends no line end would otherwise be waited for up to the bound: a request line
// starts with a method's letter (not with XML, nor with a compressed stream), a chunk's
// size with a hex digit, and chunk data ends with the line end.
bool first_byte_ok(const struct http_parser *p, const char *buf, size_t len)
{
    if (p->pos >= len)
        return true;
    const char c = buf[p->pos];
    switch (p->phase) {
    case START: return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '\r' || c == '\n';
    case CHUNK_SIZE: return hex_digit(c) >= 0;
    case CHUNK_DATA_END: return c == '\r' || c == '\n';
    default: return true;
    }
}

// Reads the line at p->pos if it has come whole. Returns HTTP_PARSE_MORE when it has
// not, HTTP_PARSE_REFUSED, HTTP_PARSE_HEADER or HTTP_PARSE_DONE when the request reached
// that point, or -1 when the line was taken and parsing goes on.
int step_line(struct http_parser *p, char *buf, size_t len)
{
    if (!first_byte_ok(p, buf, len))
        return refuse(p, kBadRequest, p->phase == START ? kBadLine : kBadChunk);
    size_t end = 0;
    const int found = find_line(p, buf, len, room(p), &end);
    if (found <= 0)
        return found == 0 ? HTTP_PARSE_MORE : refuse(p, kTooLargeStatus, kTooLarge);
    const size_t from = p->pos;
    p->pos = end + 1;
    if (line_bytes(p, buf, from, &end))
        return HTTP_PARSE_REFUSED;
    int rc = 0;
    switch (p->phase) {
    case START:
        // Empty lines before the request line are skipped, as RFC 9112 allows.
        if (end == from)
            return -1;
        rc = request_line(p, buf, from, end);
        p->phase = HEADER;
        break;
    case HEADER:
        if (end == from) {
            p->body_start = p->body_end = p->pos;
            return header_done(p);
        }
        rc = field_line(p, buf, from, end, false);
        break;
    case CHUNK_SIZE: rc = chunk_size(p, buf, from, end); break;
    case CHUNK_DATA_END:
        if (end != from)
            return refuse(p, kBadRequest, kBadChunk);
        p->phase = CHUNK_SIZE;
        break;
    case TRAILER:
        if (end == from) {
            p->phase = DONE;
            return HTTP_PARSE_DONE;
        }
        rc = field_line(p, buf, from, end, true);
        break;
    }
    return rc ? rc : -1;
}

// Moves the body bytes that have come to where the de-chunked body ends.
void body_bytes(struct http_parser *p, char *buf, size_t len)
{
    size_t n = len - p->pos;
    if (n > p->left)
        n = static_cast<size_t>(p->left);
    if (p->body_end != p->pos)
        memmove(buf + p->body_end, buf + p->pos, n);
    p->body_end += n;
    p->pos += n;
    p->left -= n;
}

}  // namespace

void http_parser_reset(struct http_parser *p)
{
    *p = http_parser{};
    p->target = p->host = p->origin = p->content_type = p->content_encoding = p->last_event_id =
        kAbsent;
}

int http_parse(struct http_parser *p, char *buf, size_t len, struct http_request *out)
{
    for (;;) {
        switch (p->phase) {
        case DONE: finish(p, buf, out); return HTTP_PARSE_DONE;
        case REFUSED: return HTTP_PARSE_REFUSED;
        case BODY_LENGTH:
        case CHUNK_DATA:
            if (p->phase == CHUNK_DATA && p->left > room(p))
                return refuse(p, kTooLargeStatus, kTooLarge);
            body_bytes(p, buf, len);
            if (p->left)
                return HTTP_PARSE_MORE;
            p->phase = p->phase == CHUNK_DATA ? CHUNK_DATA_END : DONE;
            continue;
        default: break;
        }
        const int rc = step_line(p, buf, len);
        if (rc == HTTP_PARSE_DONE)
            finish(p, buf, out);
        if (rc >= 0)
            return rc;
    }
}

unsigned http_connection_tokens(const char *value, size_t len)
{
    unsigned found = 0;
    const char *p = value, *end = value + len;
    while (p < end) {
        const char *comma = static_cast<const char *>(memchr(p, ',', static_cast<size_t>(end - p)));
        const char *b = p, *e = comma ? comma : end;
        while (b < e && is_blank(*b))
            b++;
        while (e > b && is_blank(e[-1]))
            e--;
        const size_t n = static_cast<size_t>(e - b);
        if (n == 5 && strncasecmp(b, "close", 5) == 0)
            found |= HTTP_CONNECTION_CLOSE;
        else if (n == 10 && strncasecmp(b, "keep-alive", 10) == 0)
            found |= HTTP_CONNECTION_KEEP_ALIVE;
        if (!comma)
            break;
        p = comma + 1;
    }
    return found;
}
