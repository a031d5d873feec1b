// Request dispatch: serves the successive requests of one kept-alive connection and
// routes each by its body element to one of the sixteen serve routines. Runs on the
// connection's own thread with its own gSOAP context; takes no locks itself.
#ifndef GC_SERVICE_SERVE_H
#define GC_SERVICE_SERVE_H

struct soap;

// Serves up to max_keep_alive requests on soap's connection, whose context has the
// request reader installed (request_reader_install; the deadline is the caller's). Returns
// 0 when the connection ended in order, otherwise the error of the failed request after
// its fault was sent. Cancellation points: socket reads and writes, long-poll waits.
int serve_connection(struct soap *soap);

#endif
