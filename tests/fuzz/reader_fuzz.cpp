// Fuzzes the request reader's promise to the runtime: whatever bytes come, every request
// the parser reads whole and the policy hands to the runtime costs the runtime no more
// than the complexity bound allows. The cost that grows fastest is the runtime's list of
// attribute names, one per message, which each new name is looked up in: after serving
// the body, that list may hold no more names than the scanner counted in it, and the few
// the reply itself writes.
//
// The store has no endpoint: a long poll's wait fails at once instead of blocking the
// fuzzer. Forwarded commands are written to descriptor 2; run with -close_fd_mask=2 (as
// .ci/fuzz does) to keep them out of the log.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <stdsoap2.h>

#include "http/request_parser.h"
#include "http/xml_balance.h"
#include "service/browser_guard.h"
#include "service/release_list.h"
#include "service/request_policy.h"
#include "service/routes.h"
#include "store/store.h"

namespace {

// Attributes a reply's envelope writes through the same list.
constexpr int kReplyAttributes = 16;

const char *g_body;
size_t g_left;

size_t body_recv(struct soap *, char *buf, size_t len)
{
    const size_t n = g_left < len ? g_left : len;
    memcpy(buf, g_body, n);
    g_body += n;
    g_left -= n;
    return n;
}

int sink_send(struct soap *, const char *, size_t) { return SOAP_OK; }

// Serves body as the serve loop does, and checks the runtime's attribute list after it.
void serve_body(const char *body, size_t len)
{
    struct xml_balance scan {};
    (void)xml_balance_feed(&scan, body, len);
    const int counted = scan.attributes;
    xml_balance_free(&scan);

    struct soap *soap = soap_new();
    if (!soap)
        __builtin_trap();
    soap_set_imode(soap, SOAP_IO_KEEPALIVE | SOAP_ENC_PLAIN);
    soap_set_omode(soap, SOAP_IO_KEEPALIVE);
    soap->frecv = body_recv;
    soap->fsend = sink_send;
    g_body = body;
    g_left = len;
    int entered = 0;
    if (soap_begin_recv(soap) == SOAP_OK) {
        soap->status = SOAP_POST;
        (void)routes_serve(soap, &entered);
    }
    int held = 0;
    for (const struct soap_attribute *a = soap->attributes; a; a = a->next)
        held++;
    if (held > counted + kReplyAttributes)
        __builtin_trap();
    release_deferred(soap);
    soap_destroy(soap);
    soap_end(soap);
    soap_free(soap);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    store_create(nullptr, 0, nullptr);
    store_set_lastScannedFile("/home/u/notes.txt");
    store_add_blocked_file("/tmp/eicar.com", 1, "Eicar-Test", "", "deny", "d1", "");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string buf(reinterpret_cast<const char *>(data), size);
    for (int served = 0; !buf.empty(); served++) {
        struct http_parser p;
        http_parser_reset(&p);
        struct http_request req {};
        int rc;
        do
            rc = http_parse(&p, &buf[0], buf.size(), &req);
        while (rc == HTTP_PARSE_HEADER);
        if (rc != HTTP_PARSE_DONE)
            break;
        struct request_verdict v {};
        struct guard_here here {};
        request_policy_decide(&req, served, &here, &v);
        if (v.action == ACTION_SOAP)
            serve_body(req.body, req.body_len);
        buf.erase(0, p.pos);
        if (!v.keep_alive)
            break;
    }
    return 0;
}
