// OpenSSL's thread locking, set up where the endpoint starts and torn down where it
// stops. Main thread only; no lock of its own.
#ifndef GC_SERVICE_SSL_LOCKS_H
#define GC_SERVICE_SSL_LOCKS_H

// Prepares OpenSSL for use by several threads. Returns 0.
int ssl_locks_init(void);
// Undoes ssl_locks_init.
void ssl_locks_cleanup(void);

#endif
