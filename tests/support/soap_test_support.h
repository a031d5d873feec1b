// Helpers for the SOAP service tests: serve_connection on one end of a socket pair in a
// thread of its own, raw HTTP requests written by hand, and replies read back with
// bounded waits. Each soap_conn belongs to the test thread that started it.
#ifndef GC_TESTS_SOAP_TEST_SUPPORT_H
#define GC_TESTS_SOAP_TEST_SUPPORT_H

#include <future>
#include <string>
#include <thread>

struct soap;

// Namespace declarations of a SOAP 1.1 reply, in table order, and the reply's start up
// to and including <SOAP-ENV:Body>.
extern const char kNs11[];
extern const char kNs12[];
std::string reply_head(int version);
// The rest of a reply after the body content.
extern const char kReplyTail[];

struct soap_conn {
    int fd = -1;                  // the client's end
    struct soap *soap = nullptr;  // the server's context
    std::thread thread;
    std::future<int> result;  // serve_connection's result
};

// Creates a keep-alive context on one end of a socket pair and runs serve_connection on
// it in a new thread; request_timeout_ms > 0 bounds how long a request may take to
// arrive, and idle_timeout_ms > 0 the wait between requests, as the endpoint does.
// Returns false when nothing could be started.
bool soap_conn_start(soap_conn *c, int request_timeout_ms = 0, int idle_timeout_ms = 0);
// Waits until serve_connection returned; *rc gets its result. False on timeout.
bool soap_conn_wait(soap_conn *c, int timeout_ms, int *rc = nullptr);
// Closes the client end, waits for the server thread and frees the context (with its
// release list). False when the server did not end in time (the thread is then left).
bool soap_conn_finish(soap_conn *c, int timeout_ms = 5000);

// A SOAP envelope (1.1 or 1.2) around body, with a Header holding header when given.
std::string soap_envelope(const std::string &body, int version = 1,
                          const std::string *header = nullptr);
// A complete HTTP POST of payload; extra_headers are "Name: value\r\n" lines.
std::string http_post(const std::string &payload, int version = 1,
                      const std::string &extra_headers = "");
bool send_all(int fd, const std::string &data);
// Reads one HTTP response (header and Content-Length body). Returns "" on timeout or
// when the connection ends first.
std::string read_response(int fd, int timeout_ms = 5000);
// True when the peer closes the connection within timeout_ms without sending anything
// (bytes received, if any, go to *extra).
bool wait_closed(int fd, int timeout_ms = 5000, std::string *extra = nullptr);
// The part after the blank line, and the status line, of an HTTP response.
std::string http_body(const std::string &response);
std::string http_status_line(const std::string &response);

#endif
