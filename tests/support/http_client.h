// A small HTTP/1.1 client for the process tests: it posts SOAP envelopes to the daemon on
// 127.0.0.1 over one kept-alive connection and reads one reply at a time. Every wait is
// bounded, so a daemon that never answers (or answers when it must not) fails a test
// instead of hanging it. Each http_conn belongs to the thread that uses it.
#ifndef GC_TESTS_HTTP_CLIENT_H
#define GC_TESTS_HTTP_CLIENT_H

#include <string>

// The envelope namespaces and the service namespace the clients share with the daemon.
extern const char kSoap11EnvNs[];  // http://schemas.xmlsoap.org/soap/envelope/
extern const char kSoap12EnvNs[];  // http://www.w3.org/2003/05/soap-envelope
extern const char kServiceNs[];    // urn:sntr:gui-connector

// Closed when it goes out of scope, so a failed assertion leaves no socket behind.
struct http_conn {
    int fd = -1;
    std::string in;  // bytes received and not yet consumed by a reply

    http_conn() = default;
    http_conn(const http_conn &) = delete;
    http_conn &operator=(const http_conn &) = delete;
    ~http_conn();
};

struct http_reply {
    int status = 0;          // the code of the status line
    std::string head;        // status line and header lines, without the empty line
    std::string body;        // the entity, exactly as sent
    bool keep_alive = true;  // false after "Connection: close" or an HTTP/1.0 reply
};

enum http_read_result {
    HTTP_REPLY = 0,    // one whole reply was read into *r
    HTTP_TIMEOUT = 1,  // no whole reply within the time; what came stays in c->in
    HTTP_CLOSED = 2,   // the server closed before a whole reply; a part may be in c->in
    HTTP_ERROR = 3,    // no connection, a socket error, or a reply that cannot be parsed
};

// Connects to 127.0.0.1:port. Returns false when no connection is made within timeout_ms.
bool http_connect(http_conn *c, int port, int timeout_ms = 5000);
// Closes the connection (if open) and forgets buffered bytes.
void http_close(http_conn *c);
// Writes all bytes. Returns false on a write error (for instance a reset connection).
bool http_send_raw(http_conn *c, const std::string &bytes);
// Sends a POST of envelope to "/" with Content-Length; the content type follows the SOAP
// version (1: text/xml with an empty SOAPAction, 2: application/soap+xml).
bool http_post(http_conn *c, const std::string &envelope, int soap_version = 1);
// Reads one reply, honouring Content-Length (or chunked coding, or close-delimited); the
// reply to a HEAD request (head set) ends with its header.
http_read_result http_read_reply(http_conn *c, http_reply *r, int timeout_ms, bool head = false);
// Posts and reads the reply. Returns what http_read_reply returned (HTTP_ERROR if the
// request could not be sent).
http_read_result http_call(http_conn *c, const std::string &envelope, http_reply *r,
                           int soap_version = 1, int timeout_ms = 5000);
// True when the server closes the connection within timeout_ms without sending a single
// byte; false when bytes arrive or the connection is still open at the end.
bool http_closed_without_reply(http_conn *c, int timeout_ms);
// True when nothing at all (no byte, no close) arrives for timeout_ms: the server is
// still working on, or blocked in, the request.
bool http_silent_for(http_conn *c, int timeout_ms);

// A whole envelope around body_content (and a Header when header is not empty), with the
// envelope namespace of the version and the service namespace bound to "sntr".
std::string soap_envelope(const std::string &body_content, int soap_version = 1,
                          const std::string &header = "");
// The envelope of a request for operation ("get-versionInfo") with the given children.
std::string soap_request(const std::string &operation, const std::string &children = "",
                         int soap_version = 1);
// The character data of the first element named name (exact tag, no attributes) in xml;
// "<t/>" gives "". Returns false when there is no such element.
bool xml_text(const std::string &xml, const std::string &name, std::string *text);
// The same, or "(missing <name>)" so that a failed comparison shows what was absent.
std::string xml_text(const std::string &xml, const std::string &name);
// How many times needle occurs in haystack (occurrences do not overlap).
int count_of(const std::string &haystack, const std::string &needle);

#endif
