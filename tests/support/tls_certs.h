// Throwaway certificates for the TLS tests, made with the openssl command in a private
// directory on each run, so nothing secret is kept in the tree. Call from the test
// thread; the files stay until the directory is removed.
#ifndef GC_TESTS_TLS_CERTS_H
#define GC_TESTS_TLS_CERTS_H

#include <string>

// Password of the server key in server.pem.
extern const char kTestServerKeyPassword[];  // "s3cret"

// Makes in dir: CA "ca" (ca.pem, ca.key) signing the server certificate (server.pem:
// certificate then key, encrypted with kTestServerKeyPassword; names IP 127.0.0.1 and
// DNS localhost) and client "good" (good.pem, good.key); CA "rogue" (rogue.pem) signing
// client "bad" (bad.pem, bad.key). Returns false when an openssl step failed.
bool make_test_certificates(const std::string &dir);

#endif
