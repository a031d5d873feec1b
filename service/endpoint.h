// SOAP endpoint: the listening gSOAP context, the accept thread, one detached connection
// thread per connection, and the connection registry they all register in. New, start,
// stop and free run on the main thread; the registry mutex is the endpoint's only lock
// and comes after the store mutex in the lock order.
#ifndef GC_SERVICE_ENDPOINT_H
#define GC_SERVICE_ENDPOINT_H

#include "service/ssl_settings.h"

struct conn_registry;

struct soap_endpoint;

// Creates an endpoint for host (null: all addresses) and port, copying every string of
// ssl (null: plain HTTP). Returns the endpoint, or null when memory runs out (nothing is
// left allocated).
struct soap_endpoint *endpoint_new(const char *host, int port, const struct ssl_settings *ssl);
// How long a kept-alive connection may wait for its next request (ms > 0) before it is
// closed, for connections accepted from now on. Returns 0, -1 for a null ep or ms <= 0.
int endpoint_set_idle_timeout(struct soap_endpoint *ep, int ms);
// Binds the port and starts the accept thread. Returns 0 started, 1 already running,
// -1 no endpoint, no memory, SSL context set-up failed, or no thread,
// -2 binding failed. On failure everything it took is released and endpoint_failure
// says why. With no host it listens on IPv6 and IPv4 alike, or on IPv4 alone when the
// host has no IPv6.
int endpoint_start(struct soap_endpoint *ep);
// Why the last endpoint_start failed, as one line without its end (the system's error
// text or OpenSSL's first error, and what was being done); "" when it did not fail.
// The text belongs to ep and lives until the next start; for a null ep it is static.
const char *endpoint_failure(const struct soap_endpoint *ep);
// Stops accepting, joins the accept thread, cancels every connection thread and waits
// until all have ended, then closes the listening socket. Returns 0 stopped, 1 not
// running, -1 no endpoint or the join failed.
int endpoint_stop(struct soap_endpoint *ep);
// How many client connections the descriptor limit leaves room for now. Returns that
// number, or -1 when ep is null or not started.
int endpoint_connection_budget(const struct soap_endpoint *ep);
// The endpoint's connection registry, which lives as long as the endpoint (the store's
// link to its connection threads); null for a null endpoint.
struct conn_registry *endpoint_registry(struct soap_endpoint *ep);
// Releases the endpoint; accepts null. REQUIRES: stopped (no connection thread left).
void endpoint_free(struct soap_endpoint *ep);

#endif
