// The road of a request: socket, reader (which frames it strictly and reads it whole),
// record, policy, and only then the runtime, which reads nothing but the body the
// reader hands it, and the operation. Every rule sees the bytes the runtime will.
#include "service/serve.h"

#include <pthread.h>

#include "http/request_parser.h"
#include "http/request_reader.h"
#include "registry/conn_registry.h"
#include "service/browser_guard.h"
#include "service/fault.h"
#include "service/request_policy.h"
#include "service/routes.h"
#include "service/schema/envelope.h"
#include "service/web.h"
#include "service/web_events.h"
#include "stdsoap2.h"
#include "store/activity.h"

namespace {

// The answer to a HEAD request: what GET would send, without its body. The send hook
// passes the header through its empty line and drops the rest. The connection's own
// thread alone uses these.
thread_local int (*t_send)(struct soap *, const char *, size_t);
thread_local int t_header_end;  // how much of the header's closing CRLF CRLF was sent

int head_send(struct soap *soap, const char *s, size_t n)
{
    static const char kEnd[] = "\r\n\r\n";
    size_t i = 0;
    for (; i < n && t_header_end < 4; i++)
        t_header_end = s[i] == kEnd[t_header_end] ? t_header_end + 1 : s[i] == '\r' ? 1 : 0;
    return i ? t_send(soap, s, i) : SOAP_OK;
}

// The runtime never parses HTTP here: it is handed bodies only, and were it to take one
// for a header, this makes that a fault rather than a second reading.
int no_http(struct soap *soap)
{
    (void)soap;
    return SOAP_HTTP_METHOD;
}

// A body that crosses its tags is read by the runtime as if it were well-formed; it
// fails once read, before its operation runs.
int fail_malformed(struct soap *soap)
{
    (void)soap;
    return SOAP_SYNTAX_ERROR;
}

// Per-context settings every request and reply depends on.
void prepare_context(struct soap *soap)
{
    soap->prolog = envelope_prolog;
    soap->x_frame_options = nullptr;
    soap->imode |= SOAP_ENC_PLAIN;
    soap->fparse = no_http;
    // A second bound behind the reader's: the runtime takes no more than a body's worth.
    soap->recv_maxlength = kMaxBodyBytes;
}

// Answers a fault: the verdict's refusal, or the runtime's own fault in its words.
// Refused before its envelope was read, a request has no SOAP version yet: it is
// answered in 1.1, or its fault code would read "at source".
int send_fault(struct soap *soap, const struct request_verdict *v, int entered)
{
    soap->keep_alive = 0;
    if (v->reason) {
        soap_set_version(soap, 1);
        soap_sender_fault(soap, v->reason, nullptr);
        soap->error = v->status;
    } else if (v->soap_error) {
        // In the SOAP version the runtime answers with before any envelope is read.
        soap_set_local_namespaces(soap);
        soap->version = 0;
        soap->error = v->soap_error;
    }
    // A client that closed between two requests gets nothing, and is no fault.
    if (soap->error != SOAP_EOF)
        activity_count(ACTIVITY_SOAP_FAULTS);
    return fault_send(soap, !entered);
}

// Answers req as v says. Returns SOAP_OK, or the error of a failed request.
int answer(struct soap *soap, const struct http_request *req, struct request_verdict *v,
           int *entered)
{
    soap->keep_alive = v->keep_alive ? -1 : 0;
    soap->http_extra_header = v->cors[0] ? v->cors : nullptr;
    soap->fpreparefinalrecv = v->malformed ? fail_malformed : nullptr;
    switch (v->action) {
    case ACTION_SOAP:
        if (soap_begin_recv(soap))
            return send_fault(soap, v, *entered);
        // Read as an HTTP POST's body: the runtime refuses a root other than an Envelope,
        // which it would otherwise take for plain XML content.
        soap->status = SOAP_POST;
        if (routes_serve(soap, entered))
            return send_fault(soap, v, *entered);
        return SOAP_OK;
    case ACTION_PAGE:
        if (v->page[0] ? web_send_text(soap, v->status, v->page) : web_get(soap, req))
            return soap->error;
        return SOAP_OK;
    case ACTION_PREFLIGHT: return soap_send_empty_response(soap, 204);
    case ACTION_EVENTS: return web_events(soap, req);
    case ACTION_FAULT: break;
    }
    return send_fault(soap, v, *entered);
}

// Closes without a word: for a connection whose client left or took too long.
int close_unanswered(struct soap *soap)
{
    soap->keep_alive = 0;
    (void)soap_closesock(soap);
    return SOAP_OK;
}

// Waits for the next request to begin, marked meanwhile as a connection that may be
// closed to make room (see conn_registry_close_idlest).
int wait_next(struct soap *soap, const struct serve_limits *limits, int served)
{
    const int ms = served ? limits->idle_timeout_ms : limits->request_timeout_ms;
    (void)conn_registry_idle(limits->registry, pthread_self(), 1);
    const int rc = request_reader_wait(soap, ms);
    (void)conn_registry_idle(limits->registry, pthread_self(), 0);
    return rc;
}

}  // namespace

int serve_connection(struct soap *soap, const struct serve_limits *limits)
{
    prepare_context(soap);
    struct guard_here here;
    (void)browser_guard_here(soap->socket, soap->ssl != nullptr, &here);
    int entered = 0;
    for (int served = 0;; served++) {
        soap_begin(soap);
        int rc = wait_next(soap, limits, served);
        if (rc == REQUEST_IDLE && served)
            activity_count(ACTIVITY_IDLE_TIMEOUTS);
        struct http_request req {};
        if (rc == REQUEST_READ)
            rc = request_reader_read(soap, limits->request_timeout_ms, &req);
        if (rc != REQUEST_READ && rc != REQUEST_REFUSED)
            return close_unanswered(soap);
        if (rc == REQUEST_READ && req.method == HTTP_POST)
            activity_count(ACTIVITY_SOAP_REQUESTS);
        struct request_verdict v {};
        if (rc == REQUEST_REFUSED)
            v.reason = request_reader_refusal(soap, &v.status);
        else
            request_policy_decide(&req, served, &here, &v);
        if (v.head) {
            t_send = soap->fsend;
            t_header_end = 0;
            soap->fsend = head_send;
        }
        rc = answer(soap, &req, &v, &entered);
        if (v.head)
            soap->fsend = t_send;
        if (rc)
            return rc;
        if (!v.keep_alive)
            return close_unanswered(soap);
    }
}
