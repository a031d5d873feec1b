// The HTTP Connection header as RFC 9110 section 7.6.1 (and RFC 9112 section 9) reads it:
// a comma-separated, case-insensitive list of connection options. "close" anywhere in it
// ends the connection after the reply (or after a one-way request, which gets none);
// "keep-alive" lets an HTTP/1.0 request keep its connection, which HTTP/1.0 otherwise
// closes. Every other header goes to the runtime's own parser unchanged.
//
// The runtime (gSOAP 2.8) compares the whole value with "close", so "TE, close" (what
// Perl's LWP sends) kept the connection and was even answered "Connection: keep-alive",
// and it closes every HTTP/1.0 exchange whatever the request asked.
#ifndef GC_HTTP_HTTP_CONNECTION_H
#define GC_HTTP_HTTP_CONNECTION_H

#include <cstddef>

struct soap;

// Bits of http_connection_tokens' result.
enum {
    HTTP_CONNECTION_CLOSE = 1,       // the token "close"
    HTTP_CONNECTION_KEEP_ALIVE = 2,  // the token "keep-alive"
};

// The options of one Connection header value that this service acts on: the bits of
// the tokens found among the comma-separated list in value (len bytes), compared without
// regard to case, with optional whitespace around each. Other tokens (TE, Upgrade, the
// names of hop-by-hop headers) are ignored.
unsigned http_connection_tokens(const char *value, size_t len);

// Wraps soap's header hooks (fparse and fparsehdr) so that the Connection header is read
// as a token list; the wrapped hooks are kept in a plugin of the context, released with
// it. Installing twice is harmless. Returns 0, or SOAP_EOM when memory runs out (the
// context then keeps the runtime's hooks). The keep-alive limit of the serve loop (the
// last request is answered with Connection: close) stays in force: a keep-alive token
// never reopens a connection that was already to be closed.
int http_connection_install(struct soap *soap);

#endif
