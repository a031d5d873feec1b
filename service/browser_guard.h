// What a web page may do with the service. Every browser sends Origin with a POST, and no
// SOAP stack does, so a request that carries one is refused unless its origin is on the
// allow list; a POST that a plain HTML form could send (its Content-Type one of the three
// "simple" types) is refused whatever it carries, for browsers that leave Origin out of
// form posts. An allowed origin gets its CORS preflight answered and its replies marked
// for it. The allow list is written on the main thread before the endpoint starts and
// only read afterwards; the checks are pure functions of a request. No lock.
#ifndef GC_SERVICE_BROWSER_GUARD_H
#define GC_SERVICE_BROWSER_GUARD_H

#include <cstddef>

struct http_request;

// Adds origin (exactly "scheme://host[:port]", http or https, no path) to the allow list;
// the string is kept, not copied, and must outlive the endpoint. Returns 0, -1 when the
// list is full, -2 when origin is malformed (or "null", which is never allowed).
int browser_guard_allow(const char *origin);
// Empties the allow list. REQUIRES: no connection is being served.
void browser_guard_clear(void);

// Checks req's Origin and, for a POST, its Content-Type. Returns 0 to serve it, or the
// HTTP status of its refusal (403 for an origin not allowed, 415 for a form's
// Content-Type) with *why set to the refusal's fault text. For an allowed origin, cors
// (n bytes) gets the header lines its reply carries; otherwise it is left "".
int browser_guard_check(const struct http_request *req, const char **why, char *cors, size_t n);
// For an OPTIONS request: 1 when it is the preflight of an allowed origin (cors, n bytes,
// then holds the preflight's header lines), else 0.
int browser_guard_preflight(const struct http_request *req, char *cors, size_t n);

#endif
