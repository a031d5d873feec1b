// The SOAP endpoint record, private to the endpoint's own files. Written by the main
// thread (new, start, stop, free); the accept thread reads it. Its only lock
// is the registry's, which comes after the store mutex in the lock order. No gSOAP
// header here: the endpoint's tests build one by hand.
#ifndef GC_SERVICE_ENDPOINT_INTERNAL_H
#define GC_SERVICE_ENDPOINT_INTERNAL_H

#include <pthread.h>

struct soap;
struct conn_registry;

struct soap_endpoint {
    // set by endpoint_new, read-only afterwards
    char *host;  // null: all local addresses
    int port;
    int use_ssl;
    int require_client_auth;
    char *keyfile;
    char *password;
    char *cafile;
    char *capath;
    char *dhfile;
    char *randfile;
    char *sid;
    struct conn_registry *registry;  // guards itself; lives as long as the endpoint
    int idle_timeout_ms;             // between two requests of a connection

    // main thread only (start, stop); the accept thread reads context while it runs
    struct soap *context;      // listening context, null when stopped
    int descriptors_at_start;  // open when accepting began; set before the thread
    pthread_t accept_thread;
    int accept_started;  // accept_thread was created and not yet joined
    char failure[256];   // why the last start failed, "" when it did not

    // written by the stopping thread, read by the accept thread without a lock: a
    // single-word flag, accessed only with __atomic loads and stores
    int stop_requested;
};

#endif
