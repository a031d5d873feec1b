// Request framing beneath the runtime's reader, one per connection context. The runtime
// reads as much as the socket holds and parses on until its XML ends, so a malformed body
// made it wait for bytes past the request, and a second request sent in the same write
// was lost when the reply reused the buffer. This layer hands the runtime the bytes of
// one request only (its header, then exactly its Content-Length or chunked body) and
// keeps what follows for the next request; it also bounds how long a request may take
// to arrive. Called by the connection's own thread only; no lock.
#ifndef GC_HTTP_REQUEST_READER_H
#define GC_HTTP_REQUEST_READER_H

struct soap;

// Puts the reader under soap's receive and header hooks, unless it is there already. With
// timeout_ms > 0, a connection whose first request has not arrived, or a request that
// has begun and not been read whole, within timeout_ms is ended (the runtime sees the
// end of its input); the wait between two requests is not bounded. Returns 0, -1 when
// memory runs out. The context owns the reader and frees it with itself.
int request_reader_install(struct soap *soap, int timeout_ms);
// Starts the next request: what the previous request's body still held is skipped, and
// the runtime's buffer is emptied, since it holds nothing but that request. Call before
// each soap_begin_recv after the first.
void request_reader_next(struct soap *soap);
// 1 when the input ended because a request took too long, else 0.
int request_reader_timed_out(struct soap *soap);
// Why the request is refused, or null: its header or body is larger than any request
// of this service ("request too large"), its XML carries more attributes or namespace
// declarations than one may ("request too complex"), its Content-Length is not a plain
// number (as this reader or the runtime reads it), its body is compressed, or a header
// line holds a CR without LF. The runtime saw its input end there, or its header parse
// failed; nothing past the bound was read. Sets *http_status to the refusal's HTTP
// status (415 for a compressed body, 400 for a bare CR), or 0 when the runtime's status
// for the fault applies.
const char *request_reader_refusal(struct soap *soap, int *http_status);
// 1 when the body read so far closes an element it did not open (tags crossed,
// mismatched or unbalanced), which the runtime lets pass; else 0.
int request_reader_malformed(struct soap *soap);

#endif
