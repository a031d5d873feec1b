// OpenSSL thread locks: one POSIX mutex per static OpenSSL lock plus the dynamic-lock
// callbacks, installed process-wide. Main thread only (endpoint start and stop); the
// mutexes themselves are taken only by OpenSSL, inside whatever thread calls it, and
// never while the store or registry mutex is awaited.
#ifndef GC_SERVICE_SSL_LOCKS_H
#define GC_SERVICE_SSL_LOCKS_H

// Allocates CRYPTO_num_locks() mutexes and installs the id, locking and dynamic-lock
// callbacks. Returns 0 (also when already installed), or SOAP_EOM when the mutexes
// cannot be allocated (nothing is installed then).
int ssl_locks_init(void);
// Removes the callbacks and destroys the mutexes; nothing when they are not installed.
void ssl_locks_cleanup(void);

#endif
