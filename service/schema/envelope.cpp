#include "envelope.h"

#include <stdsoap2.h>

const char envelope_prolog[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// The runtime's soap_envelope_end_out appends CRLF after the end tag; writing the tag
// ourselves keeps the reply on one line. Setting part matches what it does, so the
// runtime treats the envelope as complete.
int envelope_end_out(struct soap *soap)
{
    if (soap->version == 0)
        return SOAP_OK;
    if (soap_element_end_out(soap, "SOAP-ENV:Envelope"))
        return soap->error;
    soap->part = SOAP_END_ENVELOPE;
    return SOAP_OK;
}
