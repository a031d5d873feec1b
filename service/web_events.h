// The event stream of --web (GET /events, Server-Sent Events): blocked files the moment
// they arrive, with their sequence numbers as event ids; the last scanned file, the
// statistics and the versions when they change, the first two at most once a coalescing
// period; a comment every 15 s of quiet. One stream holds its connection's thread, which
// waits in the store like a long poll; no lock of its own.
#ifndef GC_SERVICE_WEB_EVENTS_H
#define GC_SERVICE_WEB_EVENTS_H

struct soap;
struct http_request;

// Streams events on soap's connection until the client leaves, a write fails or the
// store cannot be waited on; the connection then closes. A client resumes after the
// event id it names in Last-Event-ID (or in the query ?last=ID of its first request):
// the blocked files after it that the ring still holds come first, when the id is of
// this daemon's run. Returns SOAP_OK, or the error of a failed write. Cancellation
// points: the waits and the writes.
int web_events(struct soap *soap, const struct http_request *req);

#endif
