// The sixteen serve routines, written by hand rather than taken from soapcpp2's
// soapServer.cpp: the generated routines end the envelope with CRLF, and faults go
// through the project's own sender (service/fault.cpp).
#include "service/routes.h"

#include "service/operations.h"
#include "service/schema/envelope.h"
#include "service/schema/reply.h"
#include "soapH.h"

// Steps after the request element was read. The encoding style is cleared only now:
// an encodingStyle attribute in the request sets it while reading, and it must not
// reach the reply. soap_getindependent is not called after the envelope: on a kept-alive
// connection it would wait for the client's next request.
static int end_request(struct soap *soap)
{
    if (soap_body_end_in(soap) || soap_envelope_end_in(soap) || soap_end_recv(soap))
        return soap->error;
    soap->encodingStyle = nullptr;
    return SOAP_OK;
}

// A one-way success sends nothing at all, not even a status line.
static int end_one_way(struct soap *soap, int rc)
{
    soap->error = rc;
    if (rc)
        return rc;
    (void)soap_closesock(soap);
    return SOAP_OK;
}

// Reads a request without members; the request types differ only in their reader.
#define READ_EMPTY_REQUEST(type, tag)                                                              \
    do {                                                                                           \
        struct type req;                                                                           \
        soap_default_##type(soap, &req);                                                           \
        if (!soap_get_##type(soap, &req, tag, nullptr) || end_request(soap))                       \
            return soap->error;                                                                    \
    } while (0)

static int serve_get_versionInfo(struct soap *soap)
{
    struct sntr__versionInfo out;
    soap_default_sntr__versionInfo(soap, &out);
    READ_EMPTY_REQUEST(sntr__get_versionInfo, "sntr:get-versionInfo");
    if ((soap->error = operation_get_versionInfo(soap, &out)))
        return soap->error;
    return reply_send(soap, &out, "sntr:versionInfo", soap_serialize_sntr__versionInfo,
                      soap_put_sntr__versionInfo);
}

// The three version routes differ in request, operation and wrapper type only.
#define SERVE_VERSION(name, tag, rtag)                                                             \
    static int serve_##name(struct soap *soap)                                                     \
    {                                                                                              \
        long ver = 0;                                                                              \
        struct sntr__##name##Response out;                                                         \
        soap_default_sntr__##name##Response(soap, &out);                                           \
        out.ver = &ver;                                                                            \
        READ_EMPTY_REQUEST(sntr__##name, tag);                                                     \
        if ((soap->error = operation_##name(soap, &ver)))                                          \
            return soap->error;                                                                    \
        return reply_send(soap, &out, rtag, soap_serialize_sntr__##name##Response,                 \
                          soap_put_sntr__##name##Response);                                        \
    }

SERVE_VERSION(get_binVersionNumber, "sntr:get-binVersionNumber",
              "sntr:get-binVersionNumberResponse")
SERVE_VERSION(get_engVersionNumber, "sntr:get-engVersionNumber",
              "sntr:get-engVersionNumberResponse")
SERVE_VERSION(get_vdfVersionNumber, "sntr:get-vdfVersionNumber",
              "sntr:get-vdfVersionNumberResponse")

static int serve_get_currentConffile(struct soap *soap)
{
    char *fn = nullptr;
    struct sntr__get_currentConffileResponse out;
    soap_default_sntr__get_currentConffileResponse(soap, &out);
    out.fn = &fn;
    READ_EMPTY_REQUEST(sntr__get_currentConffile, "sntr:get-currentConffile");
    if ((soap->error = operation_get_currentConffile(soap, &fn)))
        return soap->error;
    return reply_send(soap, &out, "sntr:get-currentConffileResponse",
                      soap_serialize_sntr__get_currentConffileResponse,
                      soap_put_sntr__get_currentConffileResponse);
}

static int serve_get_lastBlockedFile(struct soap *soap)
{
    struct sntr__blockedFile out;
    soap_default_sntr__blockedFile(soap, &out);
    READ_EMPTY_REQUEST(sntr__get_lastBlockedFile, "sntr:get-lastBlockedFile");
    if ((soap->error = operation_get_lastBlockedFile(soap, &out)))
        return soap->error;
    return reply_send(soap, &out, "sntr:blockedFile", soap_serialize_sntr__blockedFile,
                      soap_put_sntr__blockedFile);
}

static int serve_get_blockedFile(struct soap *soap)
{
    struct sntr__blockedFile out;
    struct sntr__get_blockedFile req;
    soap_default_sntr__blockedFile(soap, &out);
    soap_default_sntr__get_blockedFile(soap, &req);
    if (!soap_get_sntr__get_blockedFile(soap, &req, "sntr:get-blockedFile", nullptr) ||
        end_request(soap))
        return soap->error;
    if ((soap->error = operation_get_blockedFile(soap, req.index, &out)))
        return soap->error;
    return reply_send(soap, &out, "sntr:blockedFile", soap_serialize_sntr__blockedFile,
                      soap_put_sntr__blockedFile);
}

static int serve_get_blockedFile2(struct soap *soap)
{
    struct sntr__blockedFile2 out;
    struct sntr__get_blockedFile2 req;
    soap_default_sntr__blockedFile2(soap, &out);
    soap_default_sntr__get_blockedFile2(soap, &req);
    if (!soap_get_sntr__get_blockedFile2(soap, &req, "sntr:get-blockedFile2", nullptr) ||
        end_request(soap))
        return soap->error;
    if ((soap->error = operation_get_blockedFile2(soap, req.index, &out)))
        return soap->error;
    return reply_send(soap, &out, "sntr:blockedFile2", soap_serialize_sntr__blockedFile2,
                      soap_put_sntr__blockedFile2);
}

static int serve_get_lastScannedFile(struct soap *soap)
{
    char *fn = nullptr;
    struct sntr__get_lastScannedFileResponse out;
    soap_default_sntr__get_lastScannedFileResponse(soap, &out);
    out.fn = &fn;
    READ_EMPTY_REQUEST(sntr__get_lastScannedFile, "sntr:get-lastScannedFile");
    if ((soap->error = operation_get_lastScannedFile(soap, &fn)))
        return soap->error;
    return reply_send(soap, &out, "sntr:get-lastScannedFileResponse",
                      soap_serialize_sntr__get_lastScannedFileResponse,
                      soap_put_sntr__get_lastScannedFileResponse);
}

static int serve_get_currentStats(struct soap *soap)
{
    struct sntr__currentStats out;
    soap_default_sntr__currentStats(soap, &out);
    READ_EMPTY_REQUEST(sntr__get_currentStats, "sntr:get-currentStats");
    if ((soap->error = operation_get_currentStats(soap, &out)))
        return soap->error;
    return reply_send(soap, &out, "sntr:currentStats", soap_serialize_sntr__currentStats,
                      soap_put_sntr__currentStats);
}

static int serve_get_logChanged(struct soap *soap)
{
    enum xsd__boolean changed = false_;
    struct sntr__get_logChangedResponse out;
    soap_default_sntr__get_logChangedResponse(soap, &out);
    out.log_changed = &changed;
    READ_EMPTY_REQUEST(sntr__get_logChanged, "sntr:get-logChanged");
    if ((soap->error = operation_get_logChanged(soap, &changed)))
        return soap->error;
    return reply_send(soap, &out, "sntr:get-logChangedResponse",
                      soap_serialize_sntr__get_logChangedResponse,
                      soap_put_sntr__get_logChangedResponse);
}

static int serve_reload(struct soap *soap)
{
    READ_EMPTY_REQUEST(sntr__reload, "sntr:reload");
    return end_one_way(soap, operation_reload(soap));
}

static int serve_stop(struct soap *soap)
{
    READ_EMPTY_REQUEST(sntr__stop, "sntr:stop");
    return end_one_way(soap, operation_stop(soap));
}

static int serve_ping(struct soap *soap)
{
    int foo = 0;
    struct sntr__pingResponse out;
    soap_default_sntr__pingResponse(soap, &out);
    out.foo = &foo;
    READ_EMPTY_REQUEST(sntr__ping, "sntr:ping");
    if ((soap->error = operation_ping(soap, &foo)))
        return soap->error;
    return reply_send(soap, &out, "sntr:pingResponse", soap_serialize_sntr__pingResponse,
                      soap_put_sntr__pingResponse);
}

static int serve_register_client(struct soap *soap)
{
    unsigned long id = 0;
    struct sntr__register_clientResponse out;
    soap_default_sntr__register_clientResponse(soap, &out);
    out.id = &id;
    READ_EMPTY_REQUEST(sntr__register_client, "sntr:register-client");
    if ((soap->error = operation_register_client(soap, &id)))
        return soap->error;
    return reply_send(soap, &out, "sntr:register-clientResponse",
                      soap_serialize_sntr__register_clientResponse,
                      soap_put_sntr__register_clientResponse);
}

static int serve_unregister_client(struct soap *soap)
{
    struct sntr__unregister_client req;
    soap_default_sntr__unregister_client(soap, &req);
    if (!soap_get_sntr__unregister_client(soap, &req, "sntr:unregister-client", nullptr) ||
        end_request(soap))
        return soap->error;
    return end_one_way(soap, operation_unregister_client(soap, req.id));
}

struct route {
    const char *tag;
    int (*serve)(struct soap *);
};

// Tried in this order; the first match serves the request.
static const struct route routes[] = {
    {"sntr:get-versionInfo", serve_get_versionInfo},
    {"sntr:get-binVersionNumber", serve_get_binVersionNumber},
    {"sntr:get-engVersionNumber", serve_get_engVersionNumber},
    {"sntr:get-vdfVersionNumber", serve_get_vdfVersionNumber},
    {"sntr:get-currentConffile", serve_get_currentConffile},
    {"sntr:get-lastBlockedFile", serve_get_lastBlockedFile},
    {"sntr:get-blockedFile", serve_get_blockedFile},
    {"sntr:get-blockedFile2", serve_get_blockedFile2},
    {"sntr:get-lastScannedFile", serve_get_lastScannedFile},
    {"sntr:get-currentStats", serve_get_currentStats},
    {"sntr:get-logChanged", serve_get_logChanged},
    {"sntr:reload", serve_reload},
    {"sntr:stop", serve_stop},
    {"sntr:ping", serve_ping},
    {"sntr:register-client", serve_register_client},
    {"sntr:unregister-client", serve_unregister_client},
};

static int dispatch(struct soap *soap, int *entered)
{
    (void)soap_peek_element(soap);
    for (const struct route &r : routes) {
        if (!soap_match_tag(soap, soap->tag, r.tag)) {
            *entered = 1;
            return r.serve(soap);
        }
    }
    return soap->error = SOAP_NO_METHOD;
}

// Reads the envelope up to the body's first element.
static int begin_request(struct soap *soap)
{
    if (soap_envelope_begin_in(soap)) {
        // A root other than an Envelope comes back as the HTTP method code; clients
        // know it as a tag mismatch.
        if (soap->error >= SOAP_POST)
            soap->error = SOAP_TAG_MISMATCH;
        return soap->error;
    }
    if (soap_recv_header(soap) || soap_body_begin_in(soap))
        return soap->error;
    return SOAP_OK;
}

int routes_serve(struct soap *soap, int *entered)
{
    if (begin_request(soap))
        return soap->error;
    return dispatch(soap, entered);
}
