// The guard reads only the request record: the runtime never sees a header, so its own
// CORS answer (which would allow every origin) has nothing to act on.
#include "service/browser_guard.h"

#include <strings.h>

#include <cstdio>
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
// The command line's 16, and the dashboard's own three loopback origins.
constexpr int kMaxOrigins = 19;
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

int browser_guard_check(const struct http_request *req, const char **why, char *cors, size_t n)
{
    cors[0] = '\0';
    if (req->origin && !on_list(req->origin)) {
        *why = kOriginRefused;
        return kForbidden;
    }
    if (req->method == HTTP_POST && req->content_type && is_form_type(req->content_type)) {
        *why = kFormRefused;
        return kUnsupportedMediaType;
    }
    if (req->origin)
        snprintf(cors, n, "Access-Control-Allow-Origin: %s\r\nVary: Origin", req->origin);
    return 0;
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
