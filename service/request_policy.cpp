// The runtime is handed a body only when it is XML within the bounds: it begins with
// '<' (after an optional UTF-8 byte order mark and blanks), it is UTF-8, it has no form
// that the runtime and the scanner would read two ways, and its attributes and namespace
// declarations, counted over the whole message, are few enough that parsing costs at
// most a few milliseconds. Anything else the runtime would read its own way (compressed,
// MIME or DIME framed, or as HTTP when it begins with a letter), or slowly.
#include "service/request_policy.h"

#include <cstring>

#include "http/request_parser.h"
#include "http/xml_balance.h"
#include "service/browser_guard.h"
#include "service/web.h"
#include "stdsoap2.h"
#include "text/utf8.h"

namespace {

const char kNotXml[] = "request body is not XML: send a SOAP envelope in UTF-8";
const char kNotUtf8[] = "request body is not UTF-8: send a SOAP envelope in UTF-8";
const char kTooComplex[] = "request too complex";
constexpr int kBadRequest = 400;
// Bounds are answered as the service's other size faults are: 500, a client fault.
constexpr int kTooComplexStatus = 500;

void refuse(struct request_verdict *v, int status, const char *reason)
{
    v->action = ACTION_FAULT;
    v->status = status;
    v->reason = reason;
    v->keep_alive = 0;
}

void runtime_fault(struct request_verdict *v, int soap_error)
{
    v->action = ACTION_FAULT;
    v->soap_error = soap_error;
    v->keep_alive = 0;
}

bool begins_as_xml(const char *p, size_t n)
{
    size_t i = 0;
    if (n >= 3 && static_cast<unsigned char>(p[0]) == 0xEF &&
        static_cast<unsigned char>(p[1]) == 0xBB && static_cast<unsigned char>(p[2]) == 0xBF)
        i = 3;
    while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\r' || p[i] == '\n'))
        i++;
    return i < n && p[i] == '<';
}

// A POST's body: the runtime gets it only in a form it reads one way, within the bounds.
void soap_body(const struct http_request *req, struct request_verdict *v)
{
    // An empty body is the runtime's own fault, in its own words, as it always was.
    if (req->body_len == 0)
        return runtime_fault(v, SOAP_NO_DATA);
    if (!begins_as_xml(req->body, req->body_len))
        return refuse(v, kBadRequest, kNotXml);
    // Within a value the runtime takes the bytes a UTF-8 lead byte announces, whatever
    // they are: a quote among them would end the value for the scanner only.
    if (!utf8_valid(req->body, req->body_len))
        return refuse(v, kBadRequest, kNotUtf8);
    struct xml_balance scan {};
    const size_t took = xml_balance_feed(&scan, req->body, req->body_len);
    v->malformed = scan.broken;
    const char *refusal = scan.refusal;
    xml_balance_free(&scan);
    if (refusal)
        return refuse(v, kBadRequest, refusal);
    if (took < req->body_len)
        return refuse(v, kTooComplexStatus, kTooComplex);
    v->action = ACTION_SOAP;
}

bool is_events(const char *target)
{
    static const char kEvents[] = "/events";
    const size_t n = sizeof kEvents - 1;
    return strncmp(target, kEvents, n) == 0 && (target[n] == '\0' || target[n] == '?');
}

// The runtime's fault code for a method this service does not serve.
int method_error(enum http_method m)
{
    switch (m) {
    case HTTP_PUT: return SOAP_PUT_METHOD;
    case HTTP_PATCH: return SOAP_PATCH_METHOD;
    case HTTP_DELETE: return SOAP_DEL_METHOD;
    default: return SOAP_HTTP_METHOD;
    }
}

}  // namespace

void request_policy_decide(const struct http_request *req, int served,
                           const struct guard_here *here, struct request_verdict *v)
{
    // HTTP/1.0 closes unless asked to keep the connection; a chunked HTTP/1.0 request
    // closes whatever it asked, since its sender may not frame the next one alike.
    const bool asked = req->http_minor > 0
                           ? !(req->connection & HTTP_CONNECTION_CLOSE)
                           : (req->connection & HTTP_CONNECTION_KEEP_ALIVE) &&
                                 !(req->connection & HTTP_CONNECTION_CLOSE) && !req->chunked;
    v->keep_alive = asked && served + 1 < kMaxRequestsPerConnection;
    v->head = req->method == HTTP_HEAD;
    const char *why = nullptr;
    if (const int status = browser_guard_check(req, here, &why, v->cors, sizeof v->cors))
        return refuse(v, status, why);
    switch (req->method) {
    case HTTP_POST: return soap_body(req, v);
    case HTTP_GET:
    case HTTP_HEAD:
        // Without --web, HEAD gets the headers of the fault a GET gets.
        if (!web_enabled())
            return runtime_fault(v, SOAP_GET_METHOD);
        v->action = ACTION_PAGE;
        // A page under a name this daemon does not answer to says so, and closes.
        if ((v->status = browser_guard_page(req, here, v->page, sizeof v->page))) {
            v->keep_alive = 0;
        } else if (req->method == HTTP_GET && is_events(req->target)) {
            v->action = ACTION_EVENTS;
            v->keep_alive = 0;
        }
        return;
    case HTTP_OPTIONS:
        if (!browser_guard_preflight(req, v->cors, sizeof v->cors))
            return runtime_fault(v, SOAP_HTTP_METHOD);
        v->action = ACTION_PREFLIGHT;
        return;
    default: return runtime_fault(v, method_error(req->method));
    }
}
