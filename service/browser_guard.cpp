// The guard is a small gSOAP plugin on each connection's context: its header wrapper
// takes Origin and notes Content-Type, passing every other header on; its message wrapper refuses
// a foreign origin as soon as the header has been read, before any body byte is parsed.
#include "service/browser_guard.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/web.h"
#include "stdsoap2.h"

namespace {

const char kPluginId[] = "gc-browser-guard";
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

struct guard {
    int (*parse)(struct soap *);
    int (*parsehdr)(struct soap *, const char *, const char *);
    // the message being read
    int has_origin;
    int allowed;    // its Origin is on the list
    int form_type;  // a Content-Type that an HTML form can send
    char origin[kMaxOriginLen + 1];
    // the CORS lines of the allowed origin's replies; soap->http_extra_header points here
    char reply_headers[sizeof origin + 192];
};

struct guard *guard_of(struct soap *soap)
{
    return static_cast<struct guard *>(soap_lookup_plugin(soap, kPluginId));
}

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
    while (*value == ' ' || *value == '\t')
        value++;
    size_t n = strcspn(value, ";");
    while (n > 0 && (value[n - 1] == ' ' || value[n - 1] == '\t'))
        n--;
    for (const char *t : kFormTypes)
        if (strlen(t) == n && strncasecmp(value, t, n) == 0)
            return true;
    return false;
}

int parse_header(struct soap *soap, const char *key, const char *val)
{
    struct guard *g = guard_of(soap);
    if (!g)
        return SOAP_OK;
    if (strcasecmp(key, "Origin") == 0) {
        // A second Origin, or one too long for any list entry, can match nothing.
        const size_t n = strlen(val);
        g->allowed = !g->has_origin && n <= kMaxOriginLen;
        g->has_origin = 1;
        if (g->allowed) {
            memcpy(g->origin, val, n + 1);
            g->allowed = on_list(g->origin);
        }
        // Kept from the runtime, whose own CORS answer would allow every origin.
        return SOAP_OK;
    }
    if (strcasecmp(key, "Content-Type") == 0 && is_form_type(val))
        g->form_type = 1;
    return g->parsehdr(soap, key, val);
}

int refuse(struct soap *soap, const char *why, int http_status)
{
    // No envelope was read yet: the fault is a SOAP 1.1 one, whatever the request held.
    soap->version = 1;
    (void)soap_sender_fault(soap, why, nullptr);
    return soap->error = http_status;
}

int parse_message(struct soap *soap)
{
    struct guard *g = guard_of(soap);
    if (!g)
        return SOAP_OK;
    g->has_origin = 0;
    g->allowed = 0;
    g->form_type = 0;
    soap->http_extra_header = nullptr;
    const int rc = g->parse(soap);
    if (g->has_origin && !g->allowed)
        return refuse(soap, kOriginRefused, kForbidden);
    if (g->allowed) {
        snprintf(g->reply_headers, sizeof g->reply_headers,
                 "Access-Control-Allow-Origin: %s\r\nVary: Origin", g->origin);
        soap->http_extra_header = g->reply_headers;
    }
    return rc;
}

int copy_plugin(struct soap *, struct soap_plugin *dst, struct soap_plugin *src)
{
    auto *g = static_cast<struct guard *>(malloc(sizeof(struct guard)));
    if (!g)
        return SOAP_EOM;
    memcpy(g, src->data, sizeof(struct guard));
    dst->data = g;
    return SOAP_OK;
}

void delete_plugin(struct soap *, struct soap_plugin *p)
{
    free(p->data);
    p->data = nullptr;
}

int create_plugin(struct soap *soap, struct soap_plugin *p, void *)
{
    auto *g = static_cast<struct guard *>(calloc(1, sizeof(struct guard)));
    if (!g)
        return SOAP_EOM;
    g->parse = soap->fparse;
    g->parsehdr = soap->fparsehdr;
    p->id = kPluginId;
    p->data = g;
    p->fcopy = copy_plugin;
    p->fdelete = delete_plugin;
    soap->fparse = parse_message;
    soap->fparsehdr = parse_header;
    return SOAP_OK;
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

int browser_guard_install(struct soap *soap)
{
    if (guard_of(soap))
        return SOAP_OK;
    return soap_register_plugin_arg(soap, create_plugin, nullptr);
}

int browser_guard_check(struct soap *soap)
{
    struct guard *g = guard_of(soap);
    if (g && g->form_type)
        return refuse(soap, kFormRefused, kUnsupportedMediaType);
    return SOAP_OK;
}

int browser_guard_options(struct soap *soap)
{
    struct guard *g = guard_of(soap);
    if (!g || !g->allowed)
        return SOAP_HTTP_METHOD;
    snprintf(g->reply_headers, sizeof g->reply_headers,
             "Access-Control-Allow-Origin: %s\r\nVary: Origin\r\n"
             "Access-Control-Allow-Methods: POST\r\n"
             "Access-Control-Allow-Headers: Content-Type, SOAPAction\r\n"
             "Access-Control-Max-Age: %d",
             g->origin, kPreflightMaxAgeS);
    soap->http_extra_header = g->reply_headers;
    return soap_send_empty_response(soap, 204);
}
