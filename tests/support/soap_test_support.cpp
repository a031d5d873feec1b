#include "support/soap_test_support.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <stdsoap2.h>

#include "service/release_list.h"
#include "http/request_reader.h"
#include "service/serve.h"

const char kNs11[] = "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                     "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
                     "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                     "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
                     "xmlns:sntr=\"urn:sntr:gui-connector\"";
const char kNs12[] = "xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
                     "xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" "
                     "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                     "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
                     "xmlns:sntr=\"urn:sntr:gui-connector\"";
const char kReplyTail[] = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

std::string reply_head(int version)
{
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope ") +
           (version == 2 ? kNs12 : kNs11) + "><SOAP-ENV:Body>";
}

static long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool soap_conn_start(soap_conn *c, int request_timeout_ms, int idle_timeout_ms)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return false;
    struct soap *soap = soap_new();
    if (!soap) {
        close(sv[0]);
        close(sv[1]);
        return false;
    }
    // As the endpoint sets up its connections: keep-alive, an accepted socket.
    soap_set_imode(soap, SOAP_IO_KEEPALIVE);
    soap_set_omode(soap, SOAP_IO_KEEPALIVE);
    soap->keep_alive = -1;
    soap->socket = sv[1];
    if (request_reader_install(soap) != 0) {
        soap_free(soap);
        close(sv[0]);
        return false;
    }
    c->fd = sv[0];
    c->soap = soap;
    std::promise<int> done;
    c->result = done.get_future();
    // Unless told otherwise, a connection here waits for as long as a test runs.
    const int unbounded = 1 << 30;
    const serve_limits limits = {request_timeout_ms > 0 ? request_timeout_ms : unbounded,
                                 idle_timeout_ms > 0 ? idle_timeout_ms : unbounded, nullptr};
    c->thread = std::thread(
        [soap, limits](std::promise<int> p) { p.set_value(serve_connection(soap, &limits)); },
        std::move(done));
    return true;
}

bool soap_conn_wait(soap_conn *c, int timeout_ms, int *rc)
{
    if (!c->result.valid())
        return false;
    if (c->result.wait_for(std::chrono::milliseconds(timeout_ms)) != std::future_status::ready)
        return false;
    int r = c->result.get();
    if (rc)
        *rc = r;
    return true;
}

bool soap_conn_finish(soap_conn *c, int timeout_ms)
{
    if (c->fd >= 0) {
        close(c->fd);
        c->fd = -1;
    }
    if (c->result.valid() &&
        c->result.wait_for(std::chrono::milliseconds(timeout_ms)) != std::future_status::ready) {
        c->thread.detach();
        return false;
    }
    if (c->thread.joinable())
        c->thread.join();
    if (c->soap) {
        release_deferred(c->soap);
        soap_destroy(c->soap);
        soap_end(c->soap);
        soap_free(c->soap);
        c->soap = nullptr;
    }
    return true;
}

std::string soap_envelope(const std::string &body, int version, const std::string *header)
{
    std::string env = version == 2 ? "http://www.w3.org/2003/05/soap-envelope"
                                   : "http://schemas.xmlsoap.org/soap/envelope/";
    std::string s = "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" + env +
                    "\" xmlns:sntr=\"urn:sntr:gui-connector\">";
    if (header)
        s += "<SOAP-ENV:Header>" + *header + "</SOAP-ENV:Header>";
    return s + "<SOAP-ENV:Body>" + body + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string http_post(const std::string &payload, int version, const std::string &extra_headers)
{
    std::string type =
        version == 2 ? "application/soap+xml; charset=utf-8" : "text/xml; charset=utf-8";
    return "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(payload.size()) + "\r\n" + extra_headers +
           "\r\n" + payload;
}

bool send_all(int fd, const std::string &data)
{
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Appends what arrives within the remaining time; returns -1 on timeout, 0 on EOF, else
// the byte count.
static ssize_t read_some(int fd, std::string *into, long deadline)
{
    for (;;) {
        long left = deadline - now_ms();
        if (left <= 0)
            return -1;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 0;
        into->append(buf, static_cast<size_t>(n));
        return n;
    }
}

std::string read_response(int fd, int timeout_ms)
{
    const long deadline = now_ms() + timeout_ms;
    std::string got;
    size_t head_end;
    while ((head_end = got.find("\r\n\r\n")) == std::string::npos)
        if (read_some(fd, &got, deadline) <= 0)
            return "";
    size_t want = 0;
    size_t cl = got.find("Content-Length: ");
    if (cl != std::string::npos && cl < head_end)
        want = strtoul(got.c_str() + cl + 16, nullptr, 10);
    while (got.size() < head_end + 4 + want)
        if (read_some(fd, &got, deadline) <= 0)
            return "";
    return got;
}

bool wait_closed(int fd, int timeout_ms, std::string *extra)
{
    const long deadline = now_ms() + timeout_ms;
    std::string got;
    ssize_t n;
    while ((n = read_some(fd, &got, deadline)) > 0) {
    }
    if (extra)
        *extra = got;
    return n == 0 && got.empty();
}

std::string http_body(const std::string &response)
{
    size_t i = response.find("\r\n\r\n");
    return i == std::string::npos ? "" : response.substr(i + 4);
}

std::string http_status_line(const std::string &response)
{
    return response.substr(0, response.find("\r\n"));
}
