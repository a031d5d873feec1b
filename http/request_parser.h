// HTTP/1.1 request parser: one request at a time, read strictly as RFC 9112 frames it
// (request line, header fields, a body by Content-Length or chunked coding), in place in
// the caller's buffer, as its bytes arrive. Whatever could be read two ways is refused,
// so that no layer behind it can read a request otherwise. No I/O, no gSOAP; one parser
// per connection, used by that connection's thread only; no lock.
#ifndef GC_HTTP_REQUEST_PARSER_H
#define GC_HTTP_REQUEST_PARSER_H

#include <cstddef>

// A request's header, request line included, and its body, counted as they came on the
// wire (a chunked body with its size lines, extensions and trailer): every request of
// this service is a few hundred bytes.
constexpr size_t kMaxHeaderBytes = 64 << 10;
constexpr size_t kMaxBodyBytes = 1 << 20;

enum http_method {
    HTTP_METHOD_OTHER,  // a method this service has no meaning for
    HTTP_GET,
    HTTP_HEAD,
    HTTP_POST,
    HTTP_PUT,
    HTTP_PATCH,
    HTTP_DELETE,
    HTTP_OPTIONS,
};

// Bits of http_request.connection: the Connection options this service acts on.
enum {
    HTTP_CONNECTION_CLOSE = 1,       // the token "close"
    HTTP_CONNECTION_KEEP_ALIVE = 2,  // the token "keep-alive"
};

// One request as read. Its strings are NUL-terminated and live in the parser's buffer
// until the next request is parsed there; a header that was not sent is null.
struct http_request {
    enum http_method method;
    int http_minor;  // 0 for HTTP/1.0, 1 for HTTP/1.1
    const char *target;
    const char *host;
    const char *origin;
    const char *content_type;
    const char *content_encoding;
    const char *last_event_id;  // where an event stream's client left off
    unsigned connection;        // HTTP_CONNECTION_* over every Connection field
    int expect_continue;        // Expect: 100-continue
    int chunked;                // the body came in chunked coding
    const char *body;           // body_len bytes, de-chunked
    size_t body_len;
};

enum http_parse_result {
    HTTP_PARSE_MORE,     // the request is not whole yet: parse again when more has come
    HTTP_PARSE_HEADER,   // its header is whole (said once, before its body is read)
    HTTP_PARSE_DONE,     // the request is whole
    HTTP_PARSE_REFUSED,  // it cannot be read one way only: status and reason say why
};

// Parse state of the request at the front of a buffer. Value-initialise one for each
// request (http_parser_reset); the positions are offsets, since the buffer may move
// between calls.
struct http_parser {
    int phase;
    size_t pos;   // the next byte to read
    size_t scan;  // how far the line at pos was searched for its end
    size_t body_start;
    size_t body_end;  // the de-chunked body is written up to here
    unsigned long long left;
    struct http_request req;  // its strings as offsets until the request is whole
    size_t target, host, origin, content_type, content_encoding, last_event_id;
    int has_length;
    int status;          // of a refusal: the HTTP status that answers it
    const char *reason;  // of a refusal: the fault text that answers it
};

// Starts a new request.
void http_parser_reset(struct http_parser *p);
// Parses buf[0, len), the request at the front and whatever came after it; bytes it
// read before are not read again, and may not change. Writes into buf (the strings' ends,
// the de-chunked body). Returns HTTP_PARSE_HEADER once when the header is whole and a
// body is to follow (p->req then holds the header's record, without the body);
// HTTP_PARSE_DONE with *out filled when the request is whole (it takes p->pos bytes of
// buf); HTTP_PARSE_REFUSED with p->status and p->reason set; else HTTP_PARSE_MORE.
// A request refused stays refused.
int http_parse(struct http_parser *p, char *buf, size_t len, struct http_request *out);

// The options among a Connection field's comma-separated, case-insensitive list of
// tokens (value, len bytes): the HTTP_CONNECTION_* bits of those found.
unsigned http_connection_tokens(const char *value, size_t len);

#endif
