// SSL settings: the record the command line builds from -s and -r and hands to
// endpoint_new, which takes its own copies. Plain data, main thread only.
#ifndef GC_SERVICE_SSL_SETTINGS_H
#define GC_SERVICE_SSL_SETTINGS_H

struct ssl_settings {
    int require_client_auth;  // non-zero: clients must present a certificate
    char *keyfile;            // PEM with the server certificate and private key
    char *password;           // password of the private key
    char *cafile;             // CA used to verify client certificates
    char *capath;             // CA directory (never set by the command line)
    char *dhfile;             // DH parameters (never set by the command line)
    char *randfile;           // seed file for the random number generator
    char *sid;                // session-id context
};

#endif
