#include "support/http_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

const char kSoap11EnvNs[] = "http://schemas.xmlsoap.org/soap/envelope/";
const char kSoap12EnvNs[] = "http://www.w3.org/2003/05/soap-envelope";
const char kServiceNs[] = "urn:sntr:gui-connector";

static long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

http_conn::~http_conn() { http_close(this); }

bool http_connect(http_conn *c, int port, int timeout_ms)
{
    http_close(c);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (connect(fd, (sockaddr *)&a, sizeof a) != 0) {
        if (errno != EINPROGRESS) {
            close(fd);
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (poll(&p, 1, timeout_ms) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 ||
            err != 0) {
            close(fd);
            return false;
        }
    }
    // Requests are written whole and replies read with poll, so blocking writes are fine;
    // reads stay non-blocking to keep every wait under poll's deadline.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c->fd = fd;
    c->in.clear();
    return true;
}

void http_close(http_conn *c)
{
    if (c->fd >= 0)
        close(c->fd);
    c->fd = -1;
    c->in.clear();
}

bool http_send_raw(http_conn *c, const std::string &bytes)
{
    if (c->fd < 0)
        return false;
    size_t done = 0;
    long long end = now_ms() + 5000;
    while (done < bytes.size()) {
        ssize_t n = send(c->fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            long long left = end - now_ms();
            pollfd p{c->fd, POLLOUT, 0};
            if (left <= 0 || poll(&p, 1, (int)left) != 1)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

bool http_post(http_conn *c, const std::string &envelope, int soap_version)
{
    std::string req = "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (soap_version == 2)
        req += "Content-Type: application/soap+xml; charset=utf-8\r\n";
    else
        req += "Content-Type: text/xml; charset=utf-8\r\nSOAPAction: \"\"\r\n";
    req += "Content-Length: " + std::to_string(envelope.size()) + "\r\n\r\n";
    req += envelope;
    return http_send_raw(c, req);
}

// Reads what is available within timeout_ms into c->in. Returns 1 when bytes came, 0 on
// timeout, -1 when the peer closed (or reset) the connection.
static int fill(http_conn *c, int timeout_ms)
{
    pollfd p{c->fd, POLLIN, 0};
    int rc = poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (rc < 0)
        return errno == EINTR ? 0 : -1;
    if (rc == 0)
        return 0;
    char buf[65536];
    ssize_t n = recv(c->fd, buf, sizeof buf, 0);
    if (n > 0) {
        c->in.append(buf, (size_t)n);
        return 1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    return -1;
}

static std::string lower(std::string s)
{
    for (char &ch : s)
        ch = (char)tolower((unsigned char)ch);
    return s;
}

// The value of header name (lower case) in head, or "" when absent.
static std::string header_value(const std::string &head, const std::string &name)
{
    std::string l = lower(head);
    size_t pos = 0;
    if ((pos = l.find("\r\n" + name + ":", pos)) != std::string::npos) {
        size_t v = pos + 2 + name.size() + 1;
        size_t e = l.find("\r\n", v);
        std::string val = head.substr(v, e == std::string::npos ? std::string::npos : e - v);
        size_t b = val.find_first_not_of(" \t");
        return b == std::string::npos ? "" : val.substr(b);
    }
    return "";
}

// Decodes a chunked entity at the start of data. Returns the bytes it spans, or 0 when
// it is not complete yet; -1 when it is malformed.
static long dechunk(const std::string &data, std::string *body)
{
    size_t pos = 0;
    body->clear();
    for (;;) {
        size_t eol = data.find("\r\n", pos);
        if (eol == std::string::npos)
            return 0;
        char *end = nullptr;
        unsigned long len = strtoul(data.c_str() + pos, &end, 16);
        if (end == data.c_str() + pos)
            return -1;
        pos = eol + 2;
        if (len == 0) {
            size_t fin = data.find("\r\n", pos);  // no trailers expected
            return fin == std::string::npos ? 0 : (long)(fin + 2);
        }
        if (data.size() < pos + len + 2)
            return 0;
        body->append(data, pos, len);
        pos += len + 2;
    }
}

http_read_result http_read_reply(http_conn *c, http_reply *r, int timeout_ms, bool head_only)
{
    if (c->fd < 0)
        return HTTP_ERROR;
    long long end = now_ms() + timeout_ms;
    bool closed = false;
    for (;;) {
        size_t hend = c->in.find("\r\n\r\n");
        if (hend != std::string::npos) {
            std::string head = c->in.substr(0, hend);
            size_t start = hend + 4;
            int status = 0;
            if (head.compare(0, 7, "HTTP/1.") != 0 || head.size() < 12)
                return HTTP_ERROR;
            status = atoi(head.c_str() + 9);
            std::string te = lower(header_value(head, "transfer-encoding"));
            std::string cl = header_value(head, "content-length");
            std::string body;
            long span = -1;
            if (head_only) {
                span = 0;
            } else if (te.find("chunked") != std::string::npos) {
                span = dechunk(c->in.substr(start), &body);
                if (span < 0)
                    return HTTP_ERROR;
                if (span == 0)
                    span = -1;
            } else if (!cl.empty()) {
                size_t len = strtoul(cl.c_str(), nullptr, 10);
                if (c->in.size() - start >= len) {
                    body = c->in.substr(start, len);
                    span = (long)len;
                }
            } else if (closed) {
                body = c->in.substr(start);
                span = (long)body.size();
            }
            if (span >= 0) {
                r->status = status;
                r->head = head;
                r->body = body;
                std::string conn = lower(header_value(head, "connection"));
                r->keep_alive = conn.find("close") == std::string::npos &&
                                (head.compare(0, 8, "HTTP/1.0") != 0 ||
                                 conn.find("keep-alive") != std::string::npos);
                c->in.erase(0, start + (size_t)span);
                return HTTP_REPLY;
            }
        }
        if (closed)
            return HTTP_CLOSED;
        long long left = end - now_ms();
        if (left <= 0)
            return HTTP_TIMEOUT;
        int got = fill(c, (int)left);
        if (got < 0)
            closed = true;
    }
}

http_read_result http_call(http_conn *c, const std::string &envelope, http_reply *r,
                           int soap_version, int timeout_ms)
{
    if (!http_post(c, envelope, soap_version))
        return HTTP_ERROR;
    return http_read_reply(c, r, timeout_ms);
}

bool http_closed_without_reply(http_conn *c, int timeout_ms)
{
    if (c->fd < 0 || !c->in.empty())
        return false;
    long long end = now_ms() + timeout_ms;
    for (;;) {
        long long left = end - now_ms();
        if (left <= 0)
            return false;
        int got = fill(c, (int)left);
        if (got < 0)
            return c->in.empty();
        if (got > 0)
            return false;
    }
}

bool http_silent_for(http_conn *c, int timeout_ms)
{
    if (c->fd < 0 || !c->in.empty())
        return false;
    pollfd p{c->fd, POLLIN, 0};
    long long end = now_ms() + timeout_ms;
    for (;;) {
        long long left = end - now_ms();
        if (left <= 0)
            return true;
        int rc = poll(&p, 1, (int)left);
        if (rc < 0 && errno == EINTR)
            continue;
        return rc == 0;
    }
}

std::string soap_envelope(const std::string &body_content, int soap_version,
                          const std::string &header)
{
    std::string env = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"";
    env += soap_version == 2 ? kSoap12EnvNs : kSoap11EnvNs;
    env += "\" xmlns:sntr=\"";
    env += kServiceNs;
    env += "\">";
    if (!header.empty())
        env += "<SOAP-ENV:Header>" + header + "</SOAP-ENV:Header>";
    env += "<SOAP-ENV:Body>" + body_content + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
    return env;
}

std::string soap_request(const std::string &operation, const std::string &children,
                         int soap_version)
{
    std::string el = "sntr:" + operation;
    if (children.empty())
        return soap_envelope("<" + el + "/>", soap_version);
    return soap_envelope("<" + el + ">" + children + "</" + el + ">", soap_version);
}

bool xml_text(const std::string &xml, const std::string &name, std::string *text)
{
    std::string open = "<" + name + ">", empty = "<" + name + "/>", close = "</" + name + ">";
    size_t a = xml.find(open), e = xml.find(empty);
    if (e != std::string::npos && (a == std::string::npos || e < a)) {
        text->clear();
        return true;
    }
    if (a == std::string::npos)
        return false;
    size_t b = xml.find(close, a + open.size());
    if (b == std::string::npos)
        return false;
    *text = xml.substr(a + open.size(), b - a - open.size());
    return true;
}

std::string xml_text(const std::string &xml, const std::string &name)
{
    std::string t;
    if (!xml_text(xml, name, &t))
        return "(missing <" + name + ">)";
    return t;
}

int count_of(const std::string &haystack, const std::string &needle)
{
    if (needle.empty())
        return 0;
    int n = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size()))
        n++;
    return n;
}
