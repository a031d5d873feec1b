// What a web page may do with the service. Every browser sends Origin with a POST, and no
// SOAP stack does, so a request that carries one is refused unless its origin is on the
// allow list; a POST that a plain HTML form could send (its Content-Type one of the three
// "simple" types) is refused whatever it carries, for browsers that leave Origin out of
// form posts. An allowed origin gets its CORS preflight answered and its replies marked
// for it. The allow list is written on the main thread before the endpoint starts and
// only read afterwards; the per-connection state belongs to the connection's thread. No
// lock.
#ifndef GC_SERVICE_BROWSER_GUARD_H
#define GC_SERVICE_BROWSER_GUARD_H

struct soap;

// Adds origin (exactly "scheme://host[:port]", http or https, no path) to the allow list;
// the string is kept, not copied, and must outlive the endpoint. Returns 0, -1 when the
// list is full, -2 when origin is malformed (or "null", which is never allowed).
int browser_guard_allow(const char *origin);
// Empties the allow list. REQUIRES: no connection is being served.
void browser_guard_clear(void);

// Wraps soap's header hooks (fparse, fparsehdr) so that each message's Origin and
// Content-Type are seen; every header but Origin still reaches the runtime, whose own
// CORS handling would answer any origin. Installing twice is
// harmless. Returns 0, or SOAP_EOM when memory runs out (the context then has no guard
// and browser_guard_check refuses nothing).
int browser_guard_install(struct soap *soap);
// Checks the request whose header was just read (a POST): returns 0 to serve it, or
// sets the sender fault and returns its HTTP status (403 for an origin not allowed,
// 415 for a form's Content-Type) in soap->error. For an allowed origin it also marks
// the reply (and a fault) with Access-Control-Allow-Origin.
int browser_guard_check(struct soap *soap);
// The OPTIONS hook: answers the preflight of an allowed origin with 204 and returns 0;
// an origin not allowed gets the 403 of browser_guard_check; any other OPTIONS request
// is a method error (SOAP_HTTP_METHOD) as before.
int browser_guard_options(struct soap *soap);

#endif
