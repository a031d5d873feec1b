#include "core/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/host_port.h"
#include "core/log.h"

static const char kProduct[] = "Server/Workstation";
static const char kVersion[] = "2007Q1";

int options_apply_host(char *arg, char **host, unsigned int *port)
{
    return host_port_parse(arg, host, port);
}

void ssl_settings_free(struct ssl_settings *ssl)
{
    if (!ssl)
        return;
    free(ssl->keyfile);
    free(ssl->password);
    free(ssl->cafile);
    free(ssl->capath);
    free(ssl->dhfile);
    free(ssl->randfile);
    free(ssl->sid);
    free(ssl);
}

int options_parse_ssl(char *arg, struct ssl_settings **out)
{
    char *colon = strchr(arg, ':');
    if (!colon)
        return -1;
    *colon = '\0';
    char *ca = arg;
    char *key = colon + 1;
    char *pw = strchr(key, ':');
    if (pw)
        *pw++ = '\0';
    if (*key == '\0')
        return -1;

    auto *ssl = (struct ssl_settings *)calloc(1, sizeof(struct ssl_settings));
    if (!ssl)
        return -2;
    ssl->require_client_auth = 1;
    ssl->keyfile = strdup(key);
    ssl->password = strdup(pw ? pw : "");
    ssl->cafile = strdup(*ca ? ca : key);
    ssl->sid = strdup("sentrel_sid");
    if (!ssl->keyfile || !ssl->password || !ssl->cafile || !ssl->sid) {
        ssl_settings_free(ssl);
        return -2;
    }
    // Process listings show argv: the copy in the record is all the daemon needs.
    if (pw)
        memset(pw, 'X', strlen(pw));
    *out = ssl;
    return 0;
}

// Long options get values above every short option character.
enum { OPT_HELP = 256, OPT_ALLOW_ORIGIN, OPT_WEB, OPT_IDLE_TIMEOUT, OPT_JOURNAL, OPT_COALESCE_MS };

static const struct option kLongOptions[] = {
    {"help", no_argument, nullptr, OPT_HELP},
    {"allow-origin", required_argument, nullptr, OPT_ALLOW_ORIGIN},
    {"web", no_argument, nullptr, OPT_WEB},
    {"idle-timeout", required_argument, nullptr, OPT_IDLE_TIMEOUT},
    {"journal", no_argument, nullptr, OPT_JOURNAL},
    {"coalesce-ms", required_argument, nullptr, OPT_COALESCE_MS},
    {nullptr, 0, nullptr, 0},
};

// One line on stderr in the option parser's own manner, then the refusal.
static int refuse(const char *prog, const char *fmt, const char *arg)
{
    fprintf(stderr, "%s: ", prog);
    fprintf(stderr, fmt, arg);
    fputc('\n', stderr);
    return OPTIONS_BAD;
}

// A decimal number of milliseconds from 0 to kMaxCoalesceMs. Returns 0 with *ms set, or -1.
static int parse_coalesce_ms(const char *arg, int *ms)
{
    char *end = nullptr;
    errno = 0;
    const long v = strtol(arg, &end, 10);
    if (*arg < '0' || *arg > '9' || *end != '\0' || errno != 0 || v > kMaxCoalesceMs)
        return -1;
    *ms = static_cast<int>(v);
    return 0;
}

int options_parse(int argc, char **argv, struct options *o)
{
    static const char kBadPort[] = "-p: bad port \"%s\": a number from 1 to 65535";
    int c;
    while ((c = getopt_long(argc, argv, "Dd:h:Mp:r:s:UVv", kLongOptions, nullptr)) != -1) {
        switch (c) {
        case OPT_ALLOW_ORIGIN:
            if (o->nallow_origins == kMaxAllowOrigins) {
                fprintf(stderr, "at most %d --allow-origin options\n", kMaxAllowOrigins);
                return OPTIONS_BAD;
            }
            o->allow_origins[o->nallow_origins++] = optarg;
            break;
        case OPT_WEB: o->web = 1; break;
        case OPT_JOURNAL: o->journal = 1; break;
        case OPT_IDLE_TIMEOUT: {
            char *end = nullptr;
            const long v = strtol(optarg, &end, 10);
            if (end == optarg || *end || v < 1 || v > kMaxIdleTimeoutS)
                return refuse(argv[0], "--idle-timeout: bad value \"%s\": seconds from 1 to 86400",
                              optarg);
            o->idle_timeout_s = static_cast<int>(v);
            break;
        }
        case OPT_COALESCE_MS:
            if (parse_coalesce_ms(optarg, &o->coalesce_ms) != 0) {
                char why[96];
                snprintf(why, sizeof why,
                         "--coalesce-ms: bad value \"%%s\": a number of ms from 0 to %d",
                         kMaxCoalesceMs);
                return refuse(argv[0], why, optarg);
            }
            break;
        case 'D': g_diagnostic++; break;
        case 'd': o->ipc_dir = optarg; break;
        case 'h': {
            // Shown whole in the complaint: the rule cuts the argument.
            char shown[256];
            snprintf(shown, sizeof shown, "%s", optarg);
            if (options_apply_host(optarg, &o->host, &o->port) != 0)
                return refuse(argv[0],
                              "-h: bad address \"%s\" (host[:port], [IPv6 address][:port] "
                              "or :port; the port from 1 to 65535)",
                              shown);
            break;
        }
        case 'M': o->no_msgq = 1; break;
        case 'p':
            if (host_port_number(optarg, &o->port) != 0)
                return refuse(argv[0], kBadPort, optarg);
            fprintf(stderr, "warning: the -p option is obsolete, use -h instead\n");
            break;
        case 'r': o->randfile = optarg; break;
        case 's': {
            // Without a colon there is no password to keep out of the complaint.
            const bool has_colon = strchr(optarg, ':') != nullptr;
            struct ssl_settings *ssl = nullptr;
            int rc = options_parse_ssl(optarg, &ssl);
            if (rc == -2) {
                perror("cannot allocate memory");
                return OPTIONS_NO_MEMORY;
            }
            // A value without a key file used to turn TLS off without a word, and the
            // daemon then served plain HTTP to clients that believed otherwise.
            if (rc != 0)
                return refuse(argv[0], "-s: no key file in %s (the form is [ca]:key[:pw])",
                              has_colon ? "the argument" : optarg);
            ssl_settings_free(o->ssl);
            o->ssl = ssl;
            break;
        }
        case 'U': o->no_udp = 1; break;
        case 'V': return OPTIONS_VERSION_HELP;
        case 'v': g_verbosity++; break;
        case OPT_HELP: return OPTIONS_HELP;
        default: return OPTIONS_BAD;
        }
    }
    if (o->no_msgq && o->no_udp)
        return refuse(argv[0], "%s", "-M and -U together leave no status channel");
    o->nwords = argc - optind;
    o->words = argv + optind;
    return 0;
}

// Exactly the ten lines that scripts and the manual know: options added since appear in
// the help text and the manual page only.
void options_synopsis(const char *prog, int status)
{
    fprintf(stderr, "synopsis: %s [options]\n", prog);
    fputs("\t-h host[:port]\thostname to bind the SOAP interface to\n"
          "\t-p port\tTCP port to bind the SOAP interface to (obsolete)\n"
          "\t-s [ca]:key[:pw]\tenable SSL, use \"ca\" (CA cert), \"key\"+\"pw\" (server "
          "key+password)\n"
          "\t-r randfile\tuse random file \"randfile\" for SSL\n"
          "\t-d dir\tdirectory for msg key creation\n"
          "\t-v\tverbose operation (echos msgs)\n"
          "\t-D\tdiagnostic mode\n"
          "\t-V\tversion info and this help screen\n"
          "\t-M|-U\tdisable IPC via msg queues or UDP sockets\n",
          stderr);
    if (status != 0)
        exit(status);
}

void options_help(const char *prog)
{
    printf("%s (gui-connector) %s: the scanner daemons' status over SOAP\n", prog,
           GC_PACKAGE_VERSION);
    printf("Usage: %s [OPTION]...\n", prog);
    fputs("Takes status records from the scanner daemons over a local channel and serves\n"
          "them to clients over SOAP, in the foreground.\n"
          "\n"
          "  -h HOST[:PORT]    address of the SOAP interface (default: all IPv4 and IPv6\n"
          "                    addresses, port 50359); [ADDR]:PORT for an IPv6 address\n"
          "  -p PORT           TCP port of the SOAP interface (obsolete, use -h)\n"
          "  -s [CA]:KEY[:PW]  TLS: KEY holds the server certificate and key, PW its\n"
          "                    password, CA the file of the CA clients' certificates\n"
          "                    must come from (default: KEY)\n"
          "  -r RANDFILE       random seed file for TLS\n"
          "  -d DIR            directory the status channel is derived from (default:\n"
          "                    the program's)\n"
          "  -v                verbose: progress and an echo of every status message\n"
          "  -D                diagnostic: counter lines on standard error\n"
          "  -M, -U            do not take status messages by message queue, or by UDP\n"
          "  -V                print the synopsis on standard error\n"
          "      --allow-origin ORIGIN\n"
          "                    let web pages from ORIGIN (scheme://host[:port]) use the\n"
          "                    service (up to 16 times)\n"
          "      --web         also serve GET /metrics, /?wsdl and a dashboard at /\n"
          "      --idle-timeout SECONDS\n"
          "                    close a kept-alive connection that sends no request for\n"
          "                    SECONDS (default 300)\n"
          "      --journal     write each blocked file to the systemd journal as well\n"
          "      --coalesce-ms MS\n"
          "                    answer get-lastScannedFile on one connection at most once\n"
          "                    every MS milliseconds, with the newest file (default 100;\n"
          "                    0: at every update)\n"
          "      --help        print this text\n"
          "      --version     print the product and version lines (first argument only)\n"
          "\n"
          "Exit status: 0 stopped by a signal, 1 bad command line, 2 start-up failed (the\n"
          "reason on standard error), 255 lock taken or unusable, memory or restart failure.\n"
          "The manual page gui-connector(8) has the details.\n",
          stdout);
}

void options_version(void)
{
    printf("product: %s GUI connector\n", kProduct);
    printf("product version: %s\n", kVersion);
}
