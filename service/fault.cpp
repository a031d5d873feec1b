// The runtime's soap_send_fault differs from what this service's clients read in four
// ways: it never writes encodingStyle on a fault, it drops the echoed header for runtime
// errors, it answers method errors with 405 and it puts the 1.2 Reason text in a Text
// child (or an empty one). This sender keeps the runtime's fault texts and codes and
// fixes those four.
#include "service/fault.h"

#include "service/schema/envelope.h"
#include "soapH.h"

// The generated soap_fault() creates an empty 1.2 Reason whenever the fault record is
// touched; without a text the Reason must not be written at all.
static void drop_empty_reason(struct soap *soap)
{
    if (soap->fault && soap->fault->SOAP_ENV__Reason &&
        !soap->fault->SOAP_ENV__Reason->SOAP_ENV__Text)
        soap->fault->SOAP_ENV__Reason = nullptr;
}

static int put_fault_message(struct soap *soap)
{
    if (soap_envelope_begin_out(soap) || soap_putheader(soap) || soap_body_begin_out(soap) ||
        soap_putfault(soap) || soap_body_end_out(soap) || envelope_end_out(soap))
        return soap->error;
    return SOAP_OK;
}

// Same check as the runtime's: a client that closed its side gets no fault written.
static int client_gone(struct soap *soap, int status)
{
    if (status == SOAP_EOF && (soap->recv_timeout || soap->send_timeout))
        return 1;
    return soap->fpoll && soap->fpoll(soap) != SOAP_OK;
}

int fault_send(struct soap *soap, int before_dispatch)
{
    const int status = soap->error;
    if (status == SOAP_OK || status == SOAP_STOP)
        return soap_closesock(soap);
    if (status >= 200 && status <= 299)
        return soap_send_empty_response(soap, status);

    soap->keep_alive = 0;
    soap_set_fault(soap);
    if (!client_gone(soap, status)) {
        soap->error = SOAP_OK;
        // A connection whose first request failed before dispatch still has the context's
        // initial SOAP encoding; every serve routine clears it for good.
        soap->encodingStyle = before_dispatch ? "" : nullptr;
        // A 1.2 request's action must not be echoed into the reply's Content-Type.
        soap->action = nullptr;
        // Method errors are answered 500 like every other fault, not 405; the fault text
        // is already set.
        const int http_status =
            (status >= SOAP_GET_METHOD && status <= SOAP_HTTP_METHOD) ? SOAP_FAULT : status;
        soap_serializeheader(soap);
        soap_serializefault(soap);
        drop_empty_reason(soap);
        (void)soap_begin_count(soap);
        if ((soap->mode & SOAP_IO_LENGTH) && put_fault_message(soap))
            return soap_closesock(soap);
        (void)soap_end_count(soap);
        if (soap_response(soap, http_status))
            return soap_closesock(soap);
        // soap_response asked for the fault code, which re-created the Reason.
        drop_empty_reason(soap);
        if (put_fault_message(soap) || soap_end_send(soap))
            return soap_closesock(soap);
    }
    soap->error = status;
    return soap_closesock(soap);
}
