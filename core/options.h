// Command line of the daemon: the option string "Dd:h:Mp:r:s:UVv" and the long options,
// the -h/-p/-s rules, the synopsis, the help text and the version lines. Main thread
// only, before any other thread exists.
#ifndef GC_CORE_OPTIONS_H
#define GC_CORE_OPTIONS_H

#include "service/ssl_settings.h"

constexpr unsigned int kDefaultSoapPort = 50359;
constexpr int kMaxAllowOrigins = 16;
constexpr int kMaxIdleTimeoutS = 86400;
// How far apart one connection's get-lastScannedFile answers are at least, in ms: a file
// name shown for less than a tenth of a second is read by nobody.
constexpr int kDefaultCoalesceMs = 100;
constexpr int kMaxCoalesceMs = 60000;

// What the command line chose. Strings other than the SSL record point into argv.
struct options {
    const char *ipc_dir;       // directory the channel key is made from
    char *host;                // SOAP host, null for all addresses
    unsigned int port;         // SOAP port
    struct ssl_settings *ssl;  // heap record from -s, null when SSL is off; owned
    const char *randfile;      // -r argument, or null
    int no_msgq;               // -M: message queue transport disabled
    int no_udp;                // -U: UDP transport disabled
    const char *allow_origins[kMaxAllowOrigins];  // --allow-origin arguments, in order
    int nallow_origins;
    int web;             // --web: the metrics page, the WSDL and the dashboard on the SOAP port
    int journal;         // --journal: each blocked file in the systemd journal too
    int idle_timeout_s;  // --idle-timeout: a kept-alive connection's wait between requests,
                         // 0 for the endpoint's default
    int coalesce_ms;     // --coalesce-ms: last-scanned answers to one connection this far apart
    int nwords;          // words left after the options
    char **words;
};

// Results of options_parse besides 0.
enum {
    OPTIONS_VERSION_HELP = 1,  // -V: the caller prints the synopsis and exits 0
    OPTIONS_HELP = 2,          // --help: the caller prints the help text and exits 0
    OPTIONS_BAD = -1,          // a refused command line, e.g. too many origins (complained)
    OPTIONS_NO_MEMORY = -2,    // an -s record could not be made (already complained)
};

// Parses argv with getopt_long into *o, which holds the defaults on entry. Splits -s and
// -h arguments in place and masks the -s password with 'X' in argv. Refuses, with one
// line on stderr, a bad port in -h or -p, an -s without a key part, a --coalesce-ms that
// is not a number from 0 to kMaxCoalesceMs, and -M with -U.
// Returns 0, OPTIONS_VERSION_HELP, OPTIONS_HELP, OPTIONS_BAD or OPTIONS_NO_MEMORY. The
// caller frees o->ssl with ssl_settings_free in every case.
int options_parse(int argc, char **argv, struct options *o);

// Applies the -h rule to arg (cut in place). Returns 0 with *host and maybe *port set,
// or -1 for a bad port or an unclosed bracket (nothing set).
int options_apply_host(char *arg, char **host, unsigned int *port);

// Builds an SSL settings record from a -s argument, split in place, masking the password
// in the argument with 'X'. Returns 0 with *out set (the caller frees it with
// ssl_settings_free), -1 when the argument holds no key part, or -2 when memory runs
// out (*out untouched in both).
int options_parse_ssl(char *arg, struct ssl_settings **out);

// Frees every string of the record that is present, then the record; accepts null.
void ssl_settings_free(struct ssl_settings *ssl);

// Prints the ten synopsis lines (the first with prog) to stderr; exits with status when it
// is non-zero, otherwise returns.
void options_synopsis(const char *prog, int status);

// Prints the help text (first line with prog and the package version) to stdout.
void options_help(const char *prog);

// Prints the two --version lines to stdout.
void options_version(void);

#endif
