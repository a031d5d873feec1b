#include "core/options.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/host_port.h"
#include "core/log.h"

static const char kProduct[] = "Server/Workstation";
static const char kVersion[] = "2007Q1";

unsigned int options_port(const char *text) { return (unsigned int)strtoul(text, nullptr, 0); }

void options_apply_host(char *arg, char **host, unsigned int *port)
{
    *host = arg;
    if (const char *port_text = host_port_split(arg))
        *port = options_port(port_text);
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

struct ssl_settings *options_parse_ssl(char *arg)
{
    char *colon = strchr(arg, ':');
    if (!colon)
        return nullptr;
    *colon = '\0';
    char *ca = arg;
    char *key = colon + 1;
    char *pw = strchr(key, ':');
    if (pw)
        *pw++ = '\0';
    if (*key == '\0')
        return nullptr;

    auto *ssl = (struct ssl_settings *)calloc(1, sizeof(struct ssl_settings));
    if (!ssl)
        return nullptr;
    ssl->require_client_auth = 1;
    ssl->keyfile = strdup(key);
    ssl->password = strdup(pw ? pw : "");
    ssl->cafile = strdup(*ca ? ca : key);
    ssl->sid = strdup("sentrel_sid");
    if (!ssl->keyfile || !ssl->password || !ssl->cafile || !ssl->sid) {
        ssl_settings_free(ssl);
        return nullptr;
    }
    // Process listings show argv: the copy in the record is all the daemon needs.
    if (pw)
        memset(pw, 'X', strlen(pw));
    return ssl;
}

int options_parse(int argc, char **argv, struct options *o)
{
    enum { ALLOW_ORIGIN = 256, WEB };
    static const struct option kLong[] = {
        {"allow-origin", required_argument, nullptr, ALLOW_ORIGIN},
        {"web", no_argument, nullptr, WEB},
        {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "Dd:h:Mp:r:s:UVv", kLong, nullptr)) != -1) {
        switch (c) {
        case ALLOW_ORIGIN:
            if (o->nallow_origins == kMaxAllowOrigins) {
                fprintf(stderr, "at most %d --allow-origin options\n", kMaxAllowOrigins);
                return OPTIONS_BAD;
            }
            o->allow_origins[o->nallow_origins++] = optarg;
            break;
        case WEB: o->web = 1; break;
        case 'D': g_diagnostic++; break;
        case 'd': o->ipc_dir = optarg; break;
        case 'h': options_apply_host(optarg, &o->host, &o->port); break;
        case 'M': o->no_msgq = 1; break;
        case 'p':
            o->port = options_port(optarg);
            fprintf(stderr, "warning: the -p option is obsolete, use -h instead\n");
            break;
        case 'r': o->randfile = optarg; break;
        case 's': {
            struct ssl_settings *ssl = options_parse_ssl(optarg);
            if (ssl) {
                ssl_settings_free(o->ssl);
                o->ssl = ssl;
            }
            break;
        }
        case 'U': o->no_udp = 1; break;
        case 'V': return OPTIONS_VERSION_HELP;
        case 'v': g_verbosity++; break;
        default: return OPTIONS_BAD;
        }
    }
    o->nwords = argc - optind;
    o->words = argv + optind;
    return 0;
}

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
          "\t-M|-U\tdisable IPC via msg queues or UDP sockets\n"
          "\t--allow-origin origin\tlet web pages from origin (scheme://host[:port]) use "
          "the service\n"
          "\t--web\tserve GET /metrics, /?wsdl and the dashboard / on the SOAP port\n",
          stderr);
    if (status != 0)
        exit(status);
}

void options_version(void)
{
    printf("product: %s GUI connector\n", kProduct);
    printf("product version: %s\n", kVersion);
}
