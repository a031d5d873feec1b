// Request policy: what the service does with one request record, in one place. It
// holds every rule a request meets once it has been read whole: the browser guard, the
// methods and the pages of --web, the form of the body and its complexity bound,
// keep-alive and the number of requests a connection may make. Pure apart from the
// --web switch and the origin list, which the main thread sets before the endpoint
// starts; called on a connection's own thread. No lock.
#ifndef GC_SERVICE_REQUEST_POLICY_H
#define GC_SERVICE_REQUEST_POLICY_H

struct http_request;
struct guard_here;

// Requests one connection may make; the last is answered with Connection: close.
constexpr int kMaxRequestsPerConnection = 100;

enum request_action {
    ACTION_FAULT,      // a fault, and the connection closes
    ACTION_SOAP,       // the runtime reads the body and the operation it names runs
    ACTION_PAGE,       // a page of --web
    ACTION_PREFLIGHT,  // the CORS preflight of an allowed origin: 204 with its headers
    ACTION_EVENTS,     // the event stream of --web, which holds the connection to its end
};

// The decision for one request; value-initialise it for each, so that what nothing
// decided is a fault that closes the connection.
struct request_verdict {
    enum request_action action;
    int keep_alive;      // the connection stays open after the answer
    int head;            // the answer goes without its body (HEAD)
    int status;          // of a refusal: the HTTP status that answers it
    const char *reason;  // of a refusal: its fault text; null when soap_error words it
    int soap_error;      // of any other fault: the runtime's code, in the runtime's words
    int malformed;       // the body closes elements it did not open, which the runtime
                         // lets pass: the request fails once it has been read
    char cors[512];      // header lines of an allowed origin's answer, or ""
    char page[384];      // of a refused page: the words its status comes with, or ""
};

// Decides what becomes of req, the connection's served-th request (from 0), which came in
// where here says, into *v.
void request_policy_decide(const struct http_request *req, int served,
                           const struct guard_here *here, struct request_verdict *v);

#endif
