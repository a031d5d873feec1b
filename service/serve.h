// The serve loop: reads the successive requests of one kept-alive connection, applies the
// request policy to each and answers it (a SOAP operation, a page, a preflight or a
// fault). Runs on the connection's own thread with its own gSOAP context; takes no
// locks itself (the registry calls take the registry's).
#ifndef GC_SERVICE_SERVE_H
#define GC_SERVICE_SERVE_H

struct soap;
struct conn_registry;

// What the endpoint grants a connection.
struct serve_limits {
    int request_timeout_ms;  // for the first request to begin, and any request to come whole
    int idle_timeout_ms;     // for the next request to begin on a kept-alive connection
    struct conn_registry *registry;  // where the waits between requests are marked; null: none
};

// Serves soap's connection, whose context has the request reader installed
// (request_reader_install), until it closes. Returns 0 when the connection ended in
// order (its last request answered, its client gone, or a wait ran out), otherwise the
// error of the failed request after its fault was sent. Cancellation points: socket
// reads and writes, long-poll waits.
int serve_connection(struct soap *soap, const struct serve_limits *limits);

#endif
