// Command line of the daemon: the option string "Dd:h:Mp:r:s:UVv" and the long options
// --allow-origin and --web, the -h/-p/-s rules,
// the synopsis and the version lines. Main thread only, before any other thread exists.
#ifndef GC_CORE_OPTIONS_H
#define GC_CORE_OPTIONS_H

#include "service/ssl_settings.h"

constexpr unsigned int kDefaultSoapPort = 50359;
constexpr int kMaxAllowOrigins = 16;

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
    int web;     // --web: the metrics page, the WSDL and the dashboard on the SOAP port
    int nwords;  // words left after the options
    char **words;
};

// Results of options_parse besides 0.
enum {
    OPTIONS_VERSION_HELP = 1,  // -V: the caller prints the synopsis and exits 0
    OPTIONS_BAD = -1,          // unknown option, missing argument or too many (complained)
};

// Parses argv with getopt into *o, which holds the defaults on entry. Splits -s and -h
// arguments in place and masks the -s password with 'X' in argv. Returns 0,
// OPTIONS_VERSION_HELP or OPTIONS_BAD. The caller frees o->ssl with ssl_settings_free.
int options_parse(int argc, char **argv, struct options *o);

// Applies the -h rule to arg (cut in place): *host and maybe *port change.
void options_apply_host(char *arg, char **host, unsigned int *port);

// Builds an SSL settings record from a -s argument, split in place, masking the password
// in the argument with 'X'. Returns null when the argument holds no key part (SSL off)
// or memory runs out. The caller frees it with ssl_settings_free.
struct ssl_settings *options_parse_ssl(char *arg);

// Frees every string of the record that is present, then the record; accepts null.
void ssl_settings_free(struct ssl_settings *ssl);

// Converts a port the way -p does: unsigned, automatic base, 0 for a non-number.
unsigned int options_port(const char *text);

// Prints the synopsis (first line with prog) to stderr; exits with status when it is
// non-zero, otherwise returns.
void options_synopsis(const char *prog, int status);

// Prints the two --version lines to stdout.
void options_version(void);

#endif
