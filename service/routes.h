// Request dispatch: routes a request by its body's first element to one of the sixteen
// serve routines, each of which reads its request with the generated readers, runs the
// operation and writes the reply. Runs on the connection's own thread with its own gSOAP
// context; takes no locks itself.
#ifndef GC_SERVICE_ROUTES_H
#define GC_SERVICE_ROUTES_H

struct soap;

// Reads the envelope of the request the runtime was handed, up to the body's first
// element, and serves it. *entered is set once a route matched, before its routine reads
// anything: from then on the connection's faults carry no encodingStyle, even when that
// routine fails to read. Returns SOAP_OK once the reply is sent (none for a one-way
// operation), else the runtime's error with the fault record set.
// Cancellation points: the long-poll waits of the operations, the socket writes.
int routes_serve(struct soap *soap, int *entered);

#endif
