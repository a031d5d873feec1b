// GET answers are whole pages of known length, sent as the runtime's "file" responses
// (SOAP_FILE + status: the given status and http_content as the content type).
#include "service/web.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "http/request_parser.h"
#include "service/web_json.h"
#include "service/web_metrics.h"
#include "stdsoap2.h"

extern const char kWebDashboard[];
extern const unsigned long kWebDashboard_len;
extern const char kWebDashboardCss[];
extern const unsigned long kWebDashboardCss_len;
extern const char kWebDashboardJs[];
extern const unsigned long kWebDashboardJs_len;
extern const char kWebDashboardWorker[];
extern const unsigned long kWebDashboardWorker_len;
extern const char kWebWsdl[];
extern const unsigned long kWebWsdl_len;

namespace {

int g_web;

// Every page keeps to what this daemon serves, in no other site's frame, and is not read
// as another type than it says; no link of it tells another site where it was.
const char kPageHeaders[] =
    "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer";

// The dashboard's files, compiled in.
struct asset {
    const char *path;
    const char *type;
    const char *data;
    const unsigned long *len;
};
const struct asset kAssets[] = {
    {"/", "text/html; charset=utf-8", kWebDashboard, &kWebDashboard_len},
    {"/dashboard.css", "text/css; charset=utf-8", kWebDashboardCss, &kWebDashboardCss_len},
    {"/dashboard.js", "text/javascript; charset=utf-8", kWebDashboardJs, &kWebDashboardJs_len},
    {"/dashboard-worker.js", "text/javascript; charset=utf-8", kWebDashboardWorker,
     &kWebDashboardWorker_len},
};

int send_page(struct soap *soap, int status, const char *type, const char *body, size_t len)
{
    // After the lines an allowed origin's answer carries, if any.
    std::string headers = soap->http_extra_header ? soap->http_extra_header : "";
    headers.append(headers.empty() ? "" : "\r\n").append(kPageHeaders);
    soap->http_extra_header = headers.c_str();
    soap->http_content = type;
    if (soap_response(soap, SOAP_FILE + status) || soap_send_raw(soap, body, len) ||
        soap_end_send(soap))
        return soap_closesock(soap);
    return SOAP_OK;
}

// The address the connection came to, as host:port, for a request without a usable Host.
std::string bound_address(struct soap *soap)
{
    struct sockaddr_storage a;
    socklen_t len = sizeof a;
    char host[INET6_ADDRSTRLEN] = "localhost";
    unsigned port = 0;
    if (getsockname(soap->socket, reinterpret_cast<struct sockaddr *>(&a), &len) == 0) {
        if (a.ss_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(&a);
            inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
            port = ntohs(in6->sin6_port);
            return "[" + std::string(host) + "]:" + std::to_string(port);
        }
        const auto *in4 = reinterpret_cast<const struct sockaddr_in *>(&a);
        inet_ntop(AF_INET, &in4->sin_addr, host, sizeof host);
        port = ntohs(in4->sin_port);
    }
    return std::string(host) + ":" + std::to_string(port);
}

// scheme://host[:port]/ of the request: its Host header when well formed.
std::string request_base(struct soap *soap, const struct http_request *req)
{
    const char *scheme = soap->ssl ? "https://" : "http://";
    std::string h = req->host && web_host_ok(req->host) ? req->host : bound_address(soap);
    return scheme + h + "/";
}

}  // namespace

void web_enable(int on) { g_web = on != 0; }

int web_enabled(void) { return g_web; }

int web_host_ok(const char *host)
{
    const char *p = host;
    if (*p == '[') {
        p += 1 + strspn(p + 1, "0123456789abcdefABCDEF:.");
        if (*p++ != ']')
            return 0;
    } else {
        p += strspn(p, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.");
    }
    if (p == host || p - host > 255)
        return 0;
    if (*p == ':') {
        const size_t digits = strspn(p + 1, "0123456789");
        if (digits == 0 || digits > 5)
            return 0;
        p += 1 + digits;
    }
    return *p == '\0';
}

std::string web_wsdl_for(const char *base)
{
    std::string wsdl(kWebWsdl, kWebWsdl_len);
    static const char kAddress[] = "address location=\"";
    for (size_t at = wsdl.find(kAddress); at != std::string::npos; at = wsdl.find(kAddress, at)) {
        const size_t from = at + sizeof kAddress - 1;
        const size_t to = wsdl.find('"', from);
        if (to == std::string::npos)
            break;
        wsdl.replace(from, to - from, base);
        at = from + strlen(base);
    }
    return wsdl;
}

int web_send_text(struct soap *soap, int status, const char *text)
{
    return send_page(soap, status, "text/plain; charset=utf-8", text, strlen(text));
}

int web_get(struct soap *soap, const struct http_request *req)
{
    const char *path = req->target;
    if (strcmp(path, "/metrics") == 0) {
        const std::string text = web_metrics_text();
        return send_page(soap, 200, kWebMetricsType, text.data(), text.size());
    }
    if (strcmp(path, "/?wsdl") == 0 || strcmp(path, "/gui-connector.wsdl") == 0) {
        const std::string wsdl = web_wsdl_for(request_base(soap, req).c_str());
        return send_page(soap, 200, "text/xml; charset=utf-8", wsdl.data(), wsdl.size());
    }
    if (strcmp(path, "/api/state") == 0) {
        const std::string state = web_state_json();
        return send_page(soap, state.empty() ? 503 : 200, "application/json; charset=utf-8",
                         state.data(), state.size());
    }
    for (const struct asset &a : kAssets)
        if (strcmp(path, a.path) == 0)
            return send_page(soap, 200, a.type, a.data, *a.len);
    static const char kNotFound[] =
        "not found: the pages here are /, /metrics, /?wsdl, /api/state and /events\n";
    return send_page(soap, 404, "text/plain; charset=utf-8", kNotFound, sizeof kNotFound - 1);
}
