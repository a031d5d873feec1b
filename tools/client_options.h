// Command line of connector-client: which operation to call, where the daemon listens,
// how to secure the connection and how to print the answer. Parsed once on the main
// thread before any connection is made; the record owns its strings.
#ifndef GC_TOOLS_CLIENT_OPTIONS_H
#define GC_TOOLS_CLIENT_OPTIONS_H

#include <cstdio>

// Exit statuses of connector-client.
enum client_exit {
    EXIT_ANSWER = 0,       // an answer (or a one-way request accepted); a watch ended
    EXIT_FAULT = 1,        // the daemon answered with a SOAP fault
    EXIT_USAGE = 2,        // bad command line or unusable TLS files
    EXIT_UNREACHABLE = 3,  // no connection, a broken one, or no answer in time
    EXIT_OUTPUT = 4,       // the answer could not be written to standard output
    EXIT_NO_NEWS = 5,      // a long poll or watch ended by --timeout with no new record
};

enum client_command {
    CMD_GET_VERSIONINFO,
    CMD_GET_BINVERSIONNUMBER,
    CMD_GET_ENGVERSIONNUMBER,
    CMD_GET_VDFVERSIONNUMBER,
    CMD_GET_CURRENTCONFFILE,
    CMD_GET_LASTBLOCKEDFILE,
    CMD_GET_BLOCKEDFILE,
    CMD_GET_BLOCKEDFILE2,
    CMD_GET_LASTSCANNEDFILE,
    CMD_GET_CURRENTSTATS,
    CMD_GET_LOGCHANGED,
    CMD_RELOAD,
    CMD_STOP,
    CMD_PING,
    CMD_REGISTER_CLIENT,
    CMD_UNREGISTER_CLIENT,
    CMD_WATCH_BLOCKED,
    CMD_WATCH_SCANNED,
    CMD_METRICS,
    CMD_COUNT
};

constexpr unsigned kClientDefaultPort = 50359;

struct client_options {
    int command;         // a client_command
    char *host;          // owned; 127.0.0.1 unless -h names another
    unsigned port;       // 1 to 65535
    char *tls_ca;        // owned; null without --tls
    char *tls_cert;      // owned; null when no client certificate is presented
    char *tls_key;       // owned; null with tls_cert null
    char *tls_password;  // owned; "" when the key has none
    int json;            // 1: one JSON object per answer
    int timeout;         // seconds a reply may take, 0: no limit
    unsigned index;      // --index (get-blockedFile, get-blockedFile2)
    unsigned long id;    // --id (unregister-client)
    unsigned from;       // --from (watch-blocked)
    char *textfile;      // owned; --textfile DIR (metrics), null for stdout
};

// Parses argv into *o (zero-filled first). Overwrites a password given with --tls in argv
// with 'X' so that process listings do not show it. Returns 0; 1 for --help or --version
// (the text is printed to stdout); or -1 after a complaint on stderr. The caller
// frees *o with client_options_free in every case.
int client_options_parse(client_options *o, int argc, char **argv);

// Releases the strings of *o and zero-fills it; accepts null.
void client_options_free(client_options *o);

// Splits arg into host and port by the daemon's -h rule (host_port_parse): an empty
// host keeps *host unchanged, no port part keeps *port. Sets *host to an owned copy
// when it changes it (freeing the old one). Returns 0, or -1 for a bad port, an
// unclosed bracket or a failed copy (nothing changed).
int client_apply_host(const char *arg, char **host, unsigned *port);

// Prints the synopsis and the option list.
void client_usage(FILE *out);

#endif
