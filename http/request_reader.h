// Request reader: the only reader of a connection's bytes. It reads each request whole
// through the strict parser (http/request_parser.h) into a buffer bounded by the
// parser's limits, keeps what came after a request for the next one, and bounds how long
// a request may take. The runtime's input is the current request's body and nothing
// else: the reader takes the context's receive hook and hands it those bytes only, so
// the runtime never sees a header nor reads the socket. One per connection context,
// released with it (a cancelled thread leaks nothing); used by the connection's own
// thread only; no lock.
#ifndef GC_HTTP_REQUEST_READER_H
#define GC_HTTP_REQUEST_READER_H

struct soap;
struct http_request;

enum request_result {
    REQUEST_READ,       // the request is here (wait: it has begun; read: it is whole)
    REQUEST_REFUSED,    // it cannot be read one way only: request_reader_refusal says why
    REQUEST_ENDED,      // the client closed, or the socket was shut down or failed
    REQUEST_TIMED_OUT,  // a request that had begun did not come whole in time
    REQUEST_IDLE,       // no request began within the wait allowed
};

// Makes the reader the context's source of input: its receive hook (soap->frecv) gives
// the runtime the body of the request read last, then the end of the input. Installing
// twice is harmless. Returns 0, -1 when memory runs out. The context owns the reader.
int request_reader_install(struct soap *soap);
// Forgets the request read last, and waits up to idle_ms (> 0) for the next one to
// begin: REQUEST_READ as soon as a byte of it is here (bytes sent behind the last
// request count), REQUEST_ENDED or REQUEST_IDLE. Cancellation point.
int request_reader_wait(struct soap *soap, int idle_ms);
// Reads the request that began, giving it request_ms (> 0) from now to come whole; its
// header's "Expect: 100-continue" is answered "100 Continue" before its body is read.
// Returns REQUEST_READ with *req filled (its strings live until the next wait), or
// REQUEST_REFUSED, REQUEST_ENDED, REQUEST_TIMED_OUT. Cancellation point.
int request_reader_read(struct soap *soap, int request_ms, struct http_request *req);
// Why the last read was refused, as a fault text, with the HTTP status that answers it
// in *status; null (and 0) when it was not.
const char *request_reader_refusal(struct soap *soap, int *status);

#endif
