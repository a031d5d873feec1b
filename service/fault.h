// Fault sender: writes the SOAP fault for a failed request and closes the connection.
// Called by serve_connection on the connection's own thread and context; no lock.
#ifndef GC_SERVICE_FAULT_H
#define GC_SERVICE_FAULT_H

struct soap;

// Sends the fault for soap->error, using the fault record an operation filled in, and
// closes the connection (keep-alive ends). before_dispatch != 0 when no serve routine has
// run on this connection yet: a 1.1 fault then carries the SOAP encodingStyle attribute.
// Nothing is written when soap->error is 0 or SOAP_STOP (the socket is closed as after
// a reply) or when the client has gone. Returns the request's error code, or the code
// of a failure while closing.
int fault_send(struct soap *soap, int before_dispatch);

#endif
