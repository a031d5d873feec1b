// connector-client's link to the daemon: one gSOAP client context with the endpoint URL,
// optional TLS with a client certificate, a receive that a stop signal interrupts, and
// the mapping of a call's outcome to an exit status with its one-line report. Used by
// the main thread only; the stop flag is the one thing the signal handler touches.
#ifndef GC_TOOLS_CLIENT_CONN_H
#define GC_TOOLS_CLIENT_CONN_H

#include <cstddef>

#include "tools/client_options.h"

struct soap;

struct client_conn {
    struct soap *soap;
    char *endpoint;  // owned: "http://host:port/" or "https://...", IPv6 hosts in brackets
    const client_options *opts;                            // not owned; outlives the connection
    size_t (*socket_recv)(struct soap *, char *, size_t);  // the runtime's own receive
    int timed_out;  // the last receive gave up after opts->timeout seconds
};

// Makes a context for the daemon that opts names, kept alive across calls when
// keep_alive is set (the watches need one connection: the daemon tracks news per
// connection). Connects lazily, at the first call. Returns 0 with *out set (free it
// with client_conn_free); or -1 after a message on stderr when the TLS files cannot be
// used or memory is short.
int client_conn_open(client_conn **out, const client_options *opts, int keep_alive);

// Closes the connection and releases everything the context holds; accepts null.
void client_conn_free(client_conn *c);

// Waits for the daemon's verdict on a one-way request just sent on a context without
// keep-alive: the daemon closes such a connection without a word when it accepted the
// request, and answers with a fault when it did not. Returns SOAP_OK or the runtime's
// error code (a fault code when a fault came).
int client_conn_one_way_result(client_conn *c);

// Exit status for the outcome rc of a call on c: EXIT_ANSWER for SOAP_OK; EXIT_FAULT for
// a fault, whose code, string and detail go to stderr; EXIT_NO_NEWS when a long poll or
// watch timed out, with one line saying so; EXIT_UNREACHABLE otherwise, with one line
// naming host, port and the reason.
int client_conn_status(client_conn *c, int rc);

// Installs SIGINT and SIGTERM handlers that set the stop flag and make a receive blocked
// in a client_conn return at once. Returns 0, or -1 when they cannot be installed.
int client_stop_on_signals(void);

// Whether a stop signal has arrived.
int client_stop_requested(void);

#endif
