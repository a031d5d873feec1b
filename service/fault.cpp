// The runtime's soap_send_fault differs from what this service's clients read in three
// ways: it never writes the encodingStyle that a 1.1 fault before dispatch carries, it
// drops the echoed header for runtime errors and it answers method errors with 405. This
// sender keeps the runtime's fault texts and codes and fixes those three.
#include "service/fault.h"

#include "service/schema/envelope.h"
#include "soapH.h"

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
        // initial SOAP encoding; every serve routine clears it for good. SOAP 1.2 allows
        // no encodingStyle on a Fault, where the runtime would put it.
        soap->encodingStyle = (before_dispatch && soap->version == 1) ? "" : nullptr;
        // Method errors are answered 500 like every other fault, not 405; the fault text
        // is already set.
        const int http_status =
            (status >= SOAP_GET_METHOD && status <= SOAP_HTTP_METHOD) ? SOAP_FAULT : status;
        soap_serializeheader(soap);
        soap_serializefault(soap);
        (void)soap_begin_count(soap);
        if ((soap->mode & SOAP_IO_LENGTH) && put_fault_message(soap))
            return soap_closesock(soap);
        (void)soap_end_count(soap);
        if (soap_response(soap, http_status))
            return soap_closesock(soap);
        if (put_fault_message(soap) || soap_end_send(soap))
            return soap_closesock(soap);
    }
    soap->error = status;
    return soap_closesock(soap);
}
