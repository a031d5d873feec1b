// The web side of the SOAP port, on only with --web: GET /metrics (the metrics page),
// GET /?wsdl and /gui-connector.wsdl (the WSDL, its addresses set to where the request
// came), GET / (the dashboard), 404 for any other path. Switched on by the main thread
// before the endpoint starts and only read afterwards; the GET hook runs on the
// connection's own thread. No lock.
#ifndef GC_SERVICE_WEB_H
#define GC_SERVICE_WEB_H

#include <string>

struct soap;
struct http_request;

// Turns the web pages on (on != 0) for every connection served from now on.
void web_enable(int on);
// 1 when the web pages are on, else 0.
int web_enabled(void);

// Answers a GET of req's target (a HEAD alike: the caller drops the body) and returns 0,
// or the error of a failed send (the connection is then closed).
int web_get(struct soap *soap, const struct http_request *req);

// Answers with status and text as a plain text page, and returns 0, or the error of a
// failed send (the connection is then closed).
int web_send_text(struct soap *soap, int status, const char *text);

// The WSDL with every service address set to base (scheme://host[:port]/).
std::string web_wsdl_for(const char *base);
// 1 when host is a well-formed Host header value: a name, an IPv4 address or a bracketed
// IPv6 address, with an optional :port of digits; else 0.
int web_host_ok(const char *host);

#endif
