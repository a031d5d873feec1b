// Connection-header handling as a small gSOAP plugin: the plugin keeps the runtime's own
// fparse and fparsehdr hooks and puts two wrappers in their place. The header wrapper
// takes the Connection header itself and passes every other header on; the message
// wrapper brings back the keep-alive of an HTTP/1.0 request that asked for it, which the
// runtime's parser clears for every HTTP/1.0 message after reading the header lines.
#include "http/http_connection.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "stdsoap2.h"

namespace {

const char kPluginId[] = "gc-http-connection";

// One per context: the wrapped hooks and the options seen in the message being read.
struct connection_hooks {
    int (*parse)(struct soap *);
    int (*parsehdr)(struct soap *, const char *, const char *);
    unsigned seen;
};

connection_hooks *hooks_of(struct soap *soap)
{
    return static_cast<connection_hooks *>(soap_lookup_plugin(soap, kPluginId));
}

bool is_ows(char c) { return c == ' ' || c == '\t'; }

// The request (or status) line names HTTP/1.0; the same test as the runtime's own.
bool is_http10(const struct soap *soap)
{
    const char *s = strstr(soap->msgbuf, "HTTP/");
    return s && s[5] == '1' && s[6] == '.' && s[7] == '0';
}

int parse_header(struct soap *soap, const char *key, const char *val)
{
    connection_hooks *h = hooks_of(soap);
    if (!h)
        return SOAP_OK;
    if (strcasecmp(key, "Connection") != 0)
        return h->parsehdr(soap, key, val);
    // The runtime's parser does nothing else with this header than look for "close".
    const unsigned t = http_connection_tokens(val, strlen(val));
    h->seen |= t;
    if (t & HTTP_CONNECTION_CLOSE)
        soap->keep_alive = 0;
    return SOAP_OK;
}

int parse_message(struct soap *soap)
{
    connection_hooks *h = hooks_of(soap);
    if (!h)
        return SOAP_OK;
    h->seen = 0;
    // Zero here means the serve loop already chose to close (its last request) or the
    // context does not keep connections at all: a token does not change that.
    const int before = soap->keep_alive;
    const int rc = h->parse(soap);
    if (before && !soap->keep_alive && (h->seen & HTTP_CONNECTION_KEEP_ALIVE) &&
        !(h->seen & HTTP_CONNECTION_CLOSE) && is_http10(soap))
        soap->keep_alive = before;
    return rc;
}

int copy_plugin(struct soap *, struct soap_plugin *dst, struct soap_plugin *src)
{
    void *data = malloc(sizeof(connection_hooks));
    if (!data)
        return SOAP_EOM;
    memcpy(data, src->data, sizeof(connection_hooks));
    dst->data = data;
    return SOAP_OK;
}

void delete_plugin(struct soap *, struct soap_plugin *p)
{
    free(p->data);
    p->data = nullptr;
}

int create_plugin(struct soap *soap, struct soap_plugin *p, void *)
{
    auto *h = static_cast<connection_hooks *>(malloc(sizeof(connection_hooks)));
    if (!h)
        return SOAP_EOM;
    h->parse = soap->fparse;
    h->parsehdr = soap->fparsehdr;
    h->seen = 0;
    p->id = kPluginId;
    p->data = h;
    p->fcopy = copy_plugin;
    p->fdelete = delete_plugin;
    soap->fparse = parse_message;
    soap->fparsehdr = parse_header;
    return SOAP_OK;
}

bool token_is(const char *b, const char *e, const char *word)
{
    const size_t n = strlen(word);
    return static_cast<size_t>(e - b) == n && strncasecmp(b, word, n) == 0;
}

}  // namespace

unsigned http_connection_tokens(const char *value, size_t len)
{
    unsigned found = 0;
    const char *p = value, *end = value + len;
    while (p < end) {
        const char *comma = static_cast<const char *>(memchr(p, ',', static_cast<size_t>(end - p)));
        const char *b = p, *e = comma ? comma : end;
        while (b < e && is_ows(*b))
            b++;
        while (e > b && is_ows(e[-1]))
            e--;
        if (token_is(b, e, "close"))
            found |= HTTP_CONNECTION_CLOSE;
        else if (token_is(b, e, "keep-alive"))
            found |= HTTP_CONNECTION_KEEP_ALIVE;
        if (!comma)
            break;
        p = comma + 1;
    }
    return found;
}

int http_connection_install(struct soap *soap)
{
    if (hooks_of(soap))
        return SOAP_OK;
    // A failure leaves soap->error set; the serve loop's soap_begin clears it.
    return soap_register_plugin_arg(soap, create_plugin, nullptr);
}
