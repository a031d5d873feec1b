// Release list: heap values handed to gSOAP for one response, kept in the connection
// context's user field and released when the next operation starts or the connection
// ends. Per connection, used only by that connection's thread: no lock.
#ifndef GC_SERVICE_RELEASE_LIST_H
#define GC_SERVICE_RELEASE_LIST_H

struct soap;

// Puts *value on the list with its release function. Returns 0 (also when *value is
// null, doing nothing), -1 when soap, value or release is null, and -1 when the entry
// cannot be allocated: *value is then released at once and set to null.
int defer_release(struct soap *soap, void **value, void (*release)(void *));
// Releases every value on the list, newest first, and empties it; accepts null.
void release_deferred(struct soap *soap);

#endif
