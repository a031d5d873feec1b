// The reply sequence of a two-way operation: a counting pass for Content-Length, then
// the one-line message. Shared by the daemon's serve routines and the bare server the
// benchmarks compare them with, so that both write the very same bytes the same way.
// Called on a connection's own context by its thread only; no lock.
#ifndef GC_SERVICE_SCHEMA_REPLY_H
#define GC_SERVICE_SCHEMA_REPLY_H

#include "service/schema/envelope.h"
#include "soapH.h"

template <typename T> using put_fn = int (*)(struct soap *, const T *, const char *, const char *);

// Writes the envelope with out as the body's element tag. Returns SOAP_OK or soap->error.
template <typename T>
int reply_put_message(struct soap *soap, const T *out, const char *tag, put_fn<T> put)
{
    if (soap_envelope_begin_out(soap) || soap_putheader(soap) || soap_body_begin_out(soap) ||
        put(soap, out, tag, "") || soap_body_end_out(soap) || envelope_end_out(soap))
        return soap->error;
    return SOAP_OK;
}

// Sends out as the whole reply; the socket stays open while keep-alive holds. Returns
// SOAP_OK or soap->error.
template <typename T>
int reply_send(struct soap *soap, const T *out, const char *tag,
               void (*serialize)(struct soap *, const T *), put_fn<T> put)
{
    soap_serializeheader(soap);
    serialize(soap, out);
    if (soap_begin_count(soap))
        return soap->error;
    if ((soap->mode & SOAP_IO_LENGTH) && reply_put_message(soap, out, tag, put))
        return soap->error;
    if (soap_end_count(soap) || soap_response(soap, SOAP_OK) ||
        reply_put_message(soap, out, tag, put) || soap_end_send(soap))
        return soap->error;
    (void)soap_closesock(soap);
    return SOAP_OK;
}

#endif
