// What a web page may do with the service. Every browser sends Origin with a POST, and no
// SOAP stack does. A request that carries one is served only when its origin is on the
// allow list, or when it is exactly the address the request was sent to (its own Host)
// and that Host names this daemon: the address literal the connection came in on, or
// the host of an allowed origin. A page of --web is served only under such a Host too,
// so that a name rebound to this host reads nothing. A POST that a plain HTML form could
// send (its Content-Type one of the three "simple" types) is refused whatever it carries.
// The allow list is written on the main thread before the endpoint starts and only read
// afterwards; the checks are pure functions of a request and its connection. No lock.
#ifndef GC_SERVICE_BROWSER_GUARD_H
#define GC_SERVICE_BROWSER_GUARD_H

#include <sys/socket.h>

#include <cstddef>

struct http_request;

// Where a connection came in: the address it was sent to, and whether it is TLS.
struct guard_here {
    struct sockaddr_storage local;
    int tls;
};

// Adds origin (exactly "scheme://host[:port]", http or https, no path) to the allow list;
// the string is kept, not copied, and must outlive the endpoint. Returns 0, -1 when the
// list is full, -2 when origin is malformed (or "null", which is never allowed).
int browser_guard_allow(const char *origin);
// Empties the allow list. REQUIRES: no connection is being served.
void browser_guard_clear(void);

// Fills *here for the connection on fd (tls != 0 under TLS). Returns 0, or -1 when its
// address cannot be read (no literal then names the daemon).
int browser_guard_here(int fd, int tls, struct guard_here *here);
// Checks req's Origin and, for a POST, its Content-Type. Returns 0 to serve it, or the
// HTTP status of its refusal (403 for an origin not allowed, 415 for a form's
// Content-Type) with *why set to the refusal's fault text. For an allowed origin, cors
// (n bytes) gets the header lines its reply carries; otherwise it is left "".
int browser_guard_check(const struct http_request *req, const struct guard_here *here,
                        const char **why, char *cors, size_t n);
// For a page of --web: 0 when req's Host names this daemon, or there is none (no
// browser leaves it out); else 403, with the words a user sees in text (n bytes): the
// name refused, the address that is served, and the option that would allow the name.
int browser_guard_page(const struct http_request *req, const struct guard_here *here, char *text,
                       size_t n);
// For an OPTIONS request: 1 when it is the preflight of an allowed origin (cors, n bytes,
// then holds the preflight's header lines), else 0.
int browser_guard_preflight(const struct http_request *req, char *cors, size_t n);

#endif
