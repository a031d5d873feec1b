// Service operations: the sixteen adapters between the serve routines and the status
// store, command forwarding and client registry. Run on the connection thread that
// received the request, with its own context and release list; they take no lock
// themselves (the store takes the store mutex).
#ifndef GC_SERVICE_OPERATIONS_H
#define GC_SERVICE_OPERATIONS_H

#include "soapStub.h"

// Every operation returns SOAP_OK, or SOAP_FAULT with a fault text set and soap->error
// unset (the serve routine stores it). Strings put into outputs stay valid until the
// next operation on the same connection or release_deferred, whichever comes first.
// Operations that read the store first release the previous operation's strings.
// REQUIRES: store mutex not held.

// Sets interface-version to 2.
int operation_get_versionInfo(struct soap *soap, struct sntr__versionInfo *out);
// *ver = the stored version number, -1 without a store.
int operation_get_binVersionNumber(struct soap *soap, long *ver);
int operation_get_engVersionNumber(struct soap *soap, long *ver);
int operation_get_vdfVersionNumber(struct soap *soap, long *ver);
// *fn = copy of the configuration file name ("" before any update), null without a store
// or when the copy failed.
int operation_get_currentConffile(struct soap *soap, char **fn);
// Long poll for the next blocked file; a sender fault "no blocked file record" when none
// is returned. Cancellation point.
int operation_get_lastBlockedFile(struct soap *soap, struct sntr__blockedFile *out);
// Record with sequence number index (the oldest held one when index is older), waiting
// while it does not exist yet; a sender fault "no blocked file record" when none is
// returned. Cancellation point.
int operation_get_blockedFile(struct soap *soap, unsigned int index, struct sntr__blockedFile *out);
// As operation_get_blockedFile, with every field; a stored reason outside 0-4 becomes
// BLOCKED_ALERT.
int operation_get_blockedFile2(struct soap *soap, unsigned int index,
                               struct sntr__blockedFile2 *out);
// Long poll for the next last-scanned file; *fn = its copy, null without a store.
// Cancellation point.
int operation_get_lastScannedFile(struct soap *soap, char **fn);
// The five statistics, all 0 without a store.
int operation_get_currentStats(struct soap *soap, struct sntr__currentStats *out);
// *changed = true when the log-changed counter taken (and zeroed) was not 0.
int operation_get_logChanged(struct soap *soap, enum xsd__boolean *changed);
// Forward reload/stop/ping to the scanner daemon. A failed write is a sender fault
// "could not forward request". ping sets *foo to 1.
int operation_reload(struct soap *soap);
int operation_stop(struct soap *soap);
int operation_ping(struct soap *soap, int *foo);
// *id = the client id of the calling connection thread; a sender fault "could not
// register client" when it is not registered or there is no store.
int operation_register_client(struct soap *soap, unsigned long *id);
// Cancels the connection thread with client id id; a sender fault "unknown client id"
// when no thread has it or there is no store.
int operation_unregister_client(struct soap *soap, unsigned long id);

#endif
