#include "tools/client_options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/host_port.h"

namespace {

const char kClientDefaultHost[] = "127.0.0.1";

const char *const kCommandNames[CMD_COUNT] = {
    "get-versionInfo",
    "get-binVersionNumber",
    "get-engVersionNumber",
    "get-vdfVersionNumber",
    "get-currentConffile",
    "get-lastBlockedFile",
    "get-blockedFile",
    "get-blockedFile2",
    "get-lastScannedFile",
    "get-currentStats",
    "get-logChanged",
    "reload",
    "stop",
    "ping",
    "register-client",
    "unregister-client",
    "watch-blocked",
    "watch-scanned",
    "metrics",
};

enum {
    OPT_TLS = 256,
    OPT_JSON,
    OPT_TIMEOUT,
    OPT_INDEX,
    OPT_ID,
    OPT_FROM,
    OPT_HELP,
    OPT_VERSION,
    OPT_TEXTFILE
};

// Decimal digits only: a sign, a base prefix or trailing text is refused rather than
// read as something the user did not mean.
int parse_decimal(const char *text, unsigned long long max, unsigned long long *out)
{
    if (!text || !*text || strspn(text, "0123456789") != strlen(text))
        return -1;
    errno = 0;
    unsigned long long v = strtoull(text, nullptr, 10);
    if (errno == ERANGE || v > max)
        return -1;
    *out = v;
    return 0;
}

char *copy_part(const char *begin, size_t len)
{
    char *s = static_cast<char *>(malloc(len + 1));
    if (s) {
        memcpy(s, begin, len);
        s[len] = '\0';
    }
    return s;
}

// --tls ca[:cert[:key[:pw]]]: the key may live in the certificate file, and the password
// takes the rest of the argument, colons included, as the daemon's -s does.
int parse_tls(char *arg, client_options *o)
{
    const char *parts[3] = {arg, nullptr, nullptr};
    size_t lens[3] = {strlen(arg), 0, 0};
    char *pw = nullptr;
    for (int i = 0; i < 2; i++) {
        const char *colon = strchr(parts[i], ':');
        if (!colon)
            break;
        lens[i] = static_cast<size_t>(colon - parts[i]);
        parts[i + 1] = colon + 1;
        lens[i + 1] = strlen(colon + 1);
    }
    if (parts[2]) {
        char *colon = strchr(const_cast<char *>(parts[2]), ':');
        if (colon) {
            lens[2] = static_cast<size_t>(colon - parts[2]);
            pw = colon + 1;
        }
    }
    if (lens[0] == 0 || (parts[1] && lens[1] == 0)) {
        fputs("connector-client: --tls needs a CA file, and a certificate file after a ':'\n",
              stderr);
        return -1;
    }
    o->tls_ca = copy_part(parts[0], lens[0]);
    if (parts[1]) {
        o->tls_cert = copy_part(parts[1], lens[1]);
        o->tls_key =
            parts[2] && lens[2] ? copy_part(parts[2], lens[2]) : copy_part(parts[1], lens[1]);
    }
    o->tls_password = copy_part(pw ? pw : "", pw ? strlen(pw) : 0);
    if (!o->tls_ca || (parts[1] && (!o->tls_cert || !o->tls_key)) || !o->tls_password) {
        fputs("connector-client: out of memory\n", stderr);
        return -1;
    }
    if (pw)
        memset(pw, 'X', strlen(pw));
    return 0;
}

int find_command(const char *word)
{
    for (int i = 0; i < CMD_COUNT; i++)
        if (strcmp(word, kCommandNames[i]) == 0)
            return i;
    return -1;
}

int usage_error(const char *fmt, const char *what)
{
    fputs("connector-client: ", stderr);
    fprintf(stderr, fmt, what);
    fputs("\n(connector-client --help lists the options and operations)\n", stderr);
    return -1;
}

}  // namespace

int client_apply_host(const char *arg, char **host, unsigned *port)
{
    char *copy = copy_part(arg, strlen(arg));
    if (!copy)
        return -1;
    // The daemon's own rule, port check included.
    char *host_part = nullptr;
    unsigned new_port = *port;
    if (host_port_parse(copy, &host_part, &new_port) != 0) {
        free(copy);
        return -1;
    }
    if (*host_part) {
        memmove(copy, host_part, strlen(host_part) + 1);
        free(*host);
        *host = copy;
    } else {
        free(copy);
    }
    *port = new_port;
    return 0;
}

int client_options_parse(client_options *o, int argc, char **argv)
{
    memset(o, 0, sizeof *o);
    o->command = -1;
    o->port = kClientDefaultPort;
    o->host = copy_part(kClientDefaultHost, strlen(kClientDefaultHost));
    if (!o->host) {
        fputs("connector-client: out of memory\n", stderr);
        return -1;
    }
    static const option longs[] = {
        {"host", required_argument, nullptr, 'h'},
        {"tls", required_argument, nullptr, OPT_TLS},
        {"json", no_argument, nullptr, OPT_JSON},
        {"timeout", required_argument, nullptr, OPT_TIMEOUT},
        {"index", required_argument, nullptr, OPT_INDEX},
        {"id", required_argument, nullptr, OPT_ID},
        {"from", required_argument, nullptr, OPT_FROM},
        {"help", no_argument, nullptr, OPT_HELP},
        {"version", no_argument, nullptr, OPT_VERSION},
        {"textfile", required_argument, nullptr, OPT_TEXTFILE},
        {nullptr, 0, nullptr, 0},
    };
    bool has_index = false, has_id = false, has_from = false;
    unsigned long long v;
    int opt;
    optind = 1;
    opterr = 0;
    while ((opt = getopt_long(argc, argv, ":h:", longs, nullptr)) != -1) {
        switch (opt) {
        case 'h':
            if (client_apply_host(optarg, &o->host, &o->port) != 0)
                return usage_error("bad -h \"%s\": the port must be a number from 1 to 65535",
                                   optarg);
            break;
        case OPT_TLS:
            free(o->tls_ca);
            free(o->tls_cert);
            free(o->tls_key);
            free(o->tls_password);
            o->tls_ca = o->tls_cert = o->tls_key = o->tls_password = nullptr;
            if (parse_tls(optarg, o) != 0)
                return -1;
            break;
        case OPT_JSON: o->json = 1; break;
        case OPT_TIMEOUT:
            if (parse_decimal(optarg, INT_MAX, &v) != 0 || v == 0)
                return usage_error("bad --timeout \"%s\": seconds, at least 1", optarg);
            o->timeout = static_cast<int>(v);
            break;
        case OPT_INDEX:
            if (parse_decimal(optarg, UINT_MAX, &v) != 0)
                return usage_error("bad --index \"%s\": a record number from 0", optarg);
            o->index = static_cast<unsigned>(v);
            has_index = true;
            break;
        case OPT_ID:
            if (parse_decimal(optarg, ULONG_MAX, &v) != 0)
                return usage_error("bad --id \"%s\": a client id as register-client gave it",
                                   optarg);
            o->id = static_cast<unsigned long>(v);
            has_id = true;
            break;
        case OPT_FROM:
            if (parse_decimal(optarg, UINT_MAX, &v) != 0)
                return usage_error("bad --from \"%s\": a record number from 0", optarg);
            o->from = static_cast<unsigned>(v);
            has_from = true;
            break;
        case OPT_TEXTFILE:
            free(o->textfile);
            o->textfile = copy_part(optarg, strlen(optarg));
            if (!o->textfile) {
                fputs("connector-client: out of memory\n", stderr);
                return -1;
            }
            break;
        case OPT_HELP: client_usage(stdout); return 1;
        case OPT_VERSION:
            printf("connector-client (gui-connector) %s\n", GC_PACKAGE_VERSION);
            return 1;
        case ':': return usage_error("%s needs an argument", argv[optind - 1]);
        default: return usage_error("unknown option \"%s\"", argv[optind - 1]);
        }
    }
    if (optind >= argc)
        return usage_error("%s", "no operation given");
    if (argc - optind > 1)
        return usage_error("unexpected word \"%s\"", argv[optind + 1]);
    o->command = find_command(argv[optind]);
    if (o->command < 0)
        return usage_error("unknown operation \"%s\"", argv[optind]);
    const bool takes_index =
        o->command == CMD_GET_BLOCKEDFILE || o->command == CMD_GET_BLOCKEDFILE2;
    if (has_index != takes_index)
        return usage_error(takes_index ? "%s needs --index N" : "%s takes no --index",
                           argv[optind]);
    if (has_id != (o->command == CMD_UNREGISTER_CLIENT))
        return usage_error(has_id ? "%s takes no --id" : "%s needs --id N", argv[optind]);
    if (has_from && o->command != CMD_WATCH_BLOCKED)
        return usage_error("%s takes no --from", argv[optind]);
    if (o->textfile && o->command != CMD_METRICS)
        return usage_error("%s takes no --textfile", argv[optind]);
    return 0;
}

void client_options_free(client_options *o)
{
    if (!o)
        return;
    free(o->host);
    free(o->tls_ca);
    free(o->tls_cert);
    free(o->tls_key);
    free(o->tls_password);
    free(o->textfile);
    memset(o, 0, sizeof *o);
}

void client_usage(FILE *out)
{
    fprintf(out, "connector-client (gui-connector) %s: asks the GUI connector over SOAP\n",
            GC_PACKAGE_VERSION);
    fputs("Usage: connector-client [options] OPERATION\n"
          "\n"
          "  -h host[:port]   the GUI connector's address (default 127.0.0.1, port 50359;\n"
          "                   \"::1\" is a host, \":8080\" the default host on port 8080)\n"
          "  --tls ca[:cert[:key[:pw]]]\n"
          "                   TLS: trust the daemon's certificate when ca signed it, and\n"
          "                   present the client certificate cert with its key (key\n"
          "                   defaults to cert, pw to none)\n"
          "  --json           one JSON object per answer (default: name: value lines)\n"
          "  --timeout S      give up when a reply takes more than S seconds (default:\n"
          "                   wait for ever, as the long polls need)\n"
          "  --help           print this text\n"
          "  --version        print the version\n"
          "\n"
          "OPERATION\n"
          "  get-versionInfo  get-binVersionNumber  get-engVersionNumber  get-vdfVersionNumber\n"
          "  get-currentConffile  get-lastBlockedFile  get-lastScannedFile  get-currentStats\n"
          "  get-logChanged  get-blockedFile --index N  get-blockedFile2 --index N\n"
          "  reload  stop  ping  register-client  unregister-client --id N\n"
          "  watch-blocked [--from N]  print every blocked file once, in order, as it arrives\n"
          "  watch-scanned             print every last scanned file as it arrives\n"
          "  (the watches end on Ctrl-C)\n"
          "  unregister-client ends the connection that register-client named, while that\n"
          "  connection is still open: each run of this client is a connection of its own,\n"
          "  so an id from an earlier run is already retired (a SOAP fault)\n"
          "  metrics [--textfile DIR]  the daemon's figures for Prometheus, on stdout or\n"
          "                   written atomically to DIR/gui_connector.prom\n"
          "\n"
          "exit status: 0 answer, 1 SOAP fault, 2 usage error, 3 daemon not reached or no\n"
          "answer in time, 4 output not written, 5 no new record within --timeout (long\n"
          "polls and watches)\n",
          out);
}
