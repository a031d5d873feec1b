// One-line SOAP replies: the prolog without a line end and an Envelope end tag with
// nothing after it, which is what clients of this service read. Stateless; called on a
// connection's own context by its thread only.
#ifndef GC_SERVICE_SCHEMA_ENVELOPE_H
#define GC_SERVICE_SCHEMA_ENVELOPE_H

struct soap;

// XML declaration every reply starts with; install it as soap->prolog.
extern const char envelope_prolog[];

// Writes </SOAP-ENV:Envelope> with nothing after it and marks the envelope ended, in the
// counting pass and the sending pass alike. Returns SOAP_OK or soap->error.
int envelope_end_out(struct soap *soap);

#endif
