// The guard reads only the request record and the connection's address: the runtime
// never sees a header, so its own CORS answer (which would allow every origin) has
// nothing to act on. Names other than an allowed origin's host are never trusted, not
// even "localhost": browsers may take it to another process's address (::1), and a name
// can be rebound to any address.
#include "service/browser_guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/request_parser.h"
#include "service/web.h"

namespace {

const char kOriginRefused[] = "origin not allowed";
const char kFormRefused[] =
    "content type not accepted: send text/xml (SOAP 1.1) or application/soap+xml (SOAP 1.2)";
constexpr int kForbidden = 403;
constexpr int kUnsupportedMediaType = 415;
// Long enough for any preflight result cache a browser keeps; it caps it lower itself.
constexpr int kPreflightMaxAgeS = 600;
constexpr int kMaxOrigins = 16;
// scheme://host:port with a host name of DNS's longest.
constexpr size_t kMaxOriginLen = 8 + 253 + 6;

const char *g_allowed[kMaxOrigins];
int g_nallowed;

bool on_list(const char *origin)
{
    for (int i = 0; i < g_nallowed; i++)
        if (strcmp(g_allowed[i], origin) == 0)
            return true;
    return false;
}

const char *scheme_of(const struct guard_here *here) { return here->tls ? "https" : "http"; }

// The port of the connection, and whether host (a Host value) is a literal of its
// address with that port (or none, where the scheme's default is the port).
bool names_local_address(const char *host, const struct guard_here *here)
{
    char addr[INET6_ADDRSTRLEN + 2];
    const char *colon = host[0] == '[' ? strstr(host, "]:") : strrchr(host, ':');
    if (colon && host[0] == '[')
        colon++;
    const size_t len = colon ? static_cast<size_t>(colon - host) : strlen(host);
    if (len + 1 > sizeof addr)
        return false;
    memcpy(addr, host, len);
    addr[len] = '\0';
    const unsigned port = colon ? static_cast<unsigned>(atoi(colon + 1)) : here->tls ? 443 : 80;
    struct in_addr v4;
    struct in6_addr v6;
    if (here->local.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const struct sockaddr_in *>(&here->local);
        return inet_pton(AF_INET, addr, &v4) == 1 && v4.s_addr == a->sin_addr.s_addr &&
               port == ntohs(a->sin_port);
    }
    if (here->local.ss_family != AF_INET6)
        return false;
    const auto *a = reinterpret_cast<const struct sockaddr_in6 *>(&here->local);
    if (port != ntohs(a->sin6_port))
        return false;
    // An IPv4 client of the dual-stack socket came to a mapped address.
    if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr))
        return inet_pton(AF_INET, addr, &v4) == 1 &&
               memcmp(&v4, a->sin6_addr.s6_addr + 12, sizeof v4) == 0;
    if (len < 2 || addr[0] != '[' || addr[len - 1] != ']')
        return false;
    addr[len - 1] = '\0';
    return inet_pton(AF_INET6, addr + 1, &v6) == 1 && memcmp(&v6, &a->sin6_addr, sizeof v6) == 0;
}

// Whether host (a Host value) names this daemon: the connection's own address, or the
// host of an allowed origin of the connection's scheme.
bool host_trusted(const char *host, const struct guard_here *here)
{
    if (!web_host_ok(host))
        return false;
    if (names_local_address(host, here))
        return true;
    const char *scheme = scheme_of(here);
    const size_t n = strlen(scheme);
    for (int i = 0; i < g_nallowed; i++)
        if (strncmp(g_allowed[i], scheme, n) == 0 && strncmp(g_allowed[i] + n, "://", 3) == 0 &&
            strcasecmp(g_allowed[i] + n + 3, host) == 0)
            return true;
    return false;
}

// The request's own origin: scheme://Host, compared as browsers serialize it (the host
// in lower case).
bool is_own_origin(const char *origin, const char *host, const struct guard_here *here)
{
    const char *scheme = scheme_of(here);
    const size_t n = strlen(scheme);
    return strncmp(origin, scheme, n) == 0 && strncmp(origin + n, "://", 3) == 0 &&
           strcasecmp(origin + n + 3, host) == 0;
}

// The media type alone, without parameters or whitespace, compared without case.
bool is_form_type(const char *value)
{
    static const char *const kFormTypes[] = {"text/plain", "application/x-www-form-urlencoded",
                                             "multipart/form-data"};
    size_t n = strcspn(value, ";");
    while (n > 0 && (value[n - 1] == ' ' || value[n - 1] == '\t'))
        n--;
    for (const char *t : kFormTypes)
        if (strlen(t) == n && strncasecmp(value, t, n) == 0)
            return true;
    return false;
}

// scheme://host[:port] as a browser serializes an origin, nothing after it.
bool well_formed(const char *origin)
{
    if (strlen(origin) > kMaxOriginLen)
        return false;
    if (strncmp(origin, "http://", 7) == 0)
        return web_host_ok(origin + 7);
    return strncmp(origin, "https://", 8) == 0 && web_host_ok(origin + 8);
}

}  // namespace

int browser_guard_allow(const char *origin)
{
    if (!well_formed(origin))
        return -2;
    if (g_nallowed == kMaxOrigins)
        return -1;
    g_allowed[g_nallowed++] = origin;
    return 0;
}

void browser_guard_clear(void) { g_nallowed = 0; }

int browser_guard_here(int fd, int tls, struct guard_here *here)
{
    memset(here, 0, sizeof *here);
    here->tls = tls;
    socklen_t len = sizeof here->local;
    return getsockname(fd, reinterpret_cast<struct sockaddr *>(&here->local), &len) == 0 ? 0 : -1;
}

int browser_guard_check(const struct http_request *req, const struct guard_here *here,
                        const char **why, char *cors, size_t n)
{
    cors[0] = '\0';
    const bool allowed = req->origin && on_list(req->origin);
    const bool own = req->origin && req->host && is_own_origin(req->origin, req->host, here) &&
                     host_trusted(req->host, here);
    if (req->origin && !allowed && !own) {
        *why = kOriginRefused;
        return kForbidden;
    }
    if (req->method == HTTP_POST && req->content_type && is_form_type(req->content_type)) {
        *why = kFormRefused;
        return kUnsupportedMediaType;
    }
    if (allowed)
        snprintf(cors, n, "Access-Control-Allow-Origin: %s\r\nVary: Origin", req->origin);
    return 0;
}

int browser_guard_page(const struct http_request *req, const struct guard_here *here, char *text,
                       size_t n)
{
    if (!req->host || host_trusted(req->host, here))
        return 0;
    char ip[INET6_ADDRSTRLEN] = "", addr[INET6_ADDRSTRLEN + 2] = "";
    unsigned port = 0;
    if (here->local.ss_family == AF_INET6) {
        const auto *a = reinterpret_cast<const struct sockaddr_in6 *>(&here->local);
        if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr))
            inet_ntop(AF_INET, a->sin6_addr.s6_addr + 12, addr, sizeof addr);
        else if (inet_ntop(AF_INET6, &a->sin6_addr, ip, sizeof ip))
            snprintf(addr, sizeof addr, "[%s]", ip);
        port = ntohs(a->sin6_port);
    } else if (here->local.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const struct sockaddr_in *>(&here->local);
        inet_ntop(AF_INET, &a->sin_addr, addr, sizeof addr);
        port = ntohs(a->sin_port);
    }
    snprintf(text, n,
             "This daemon does not answer to the name \"%s\", which any host could be given.\n"
             "Open %s://%s:%u/ instead, or start the daemon with --allow-origin %s://%s\n",
             req->host, scheme_of(here), addr, port, scheme_of(here), req->host);
    return kForbidden;
}

int browser_guard_preflight(const struct http_request *req, char *cors, size_t n)
{
    if (!req->origin || !on_list(req->origin))
        return 0;
    snprintf(cors, n,
             "Access-Control-Allow-Origin: %s\r\nVary: Origin\r\n"
             "Access-Control-Allow-Methods: POST\r\n"
             "Access-Control-Allow-Headers: Content-Type, SOAPAction\r\n"
             "Access-Control-Max-Age: %d",
             req->origin, kPreflightMaxAgeS);
    return 1;
}
