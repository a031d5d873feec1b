#include "tools/client_conn.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "soapH.h"

namespace {

// A stop signal writes one byte here; a receive waits on it beside the socket.
int g_stop_pipe[2] = {-1, -1};
volatile sig_atomic_t g_stop = 0;

// A TCP connect to a host that drops packets would otherwise wait minutes.
constexpr int kConnectTimeoutSeconds = 10;

void on_stop_signal(int)
{
    int saved = errno;
    g_stop = 1;
    if (g_stop_pipe[1] >= 0) {
        char b = 1;
        (void)!write(g_stop_pipe[1], &b, 1);
    }
    errno = saved;
}

// Waits until the socket has something to read, the reply time runs out, or a stop
// signal came; only then the runtime's own receive runs, so a long poll blocked for
// hours still ends at once on Ctrl-C. Returning 0 reads as end of input to the runtime.
size_t interruptible_recv(struct soap *soap, char *s, size_t n)
{
    client_conn *c = static_cast<client_conn *>(soap->user);
    SOAP_SOCKET sk = soap_valid_socket(soap->recvsk) ? soap->recvsk : soap->socket;
    // Bytes OpenSSL already decrypted never show on the socket.
    bool buffered = soap->ssl && SSL_pending(soap->ssl) > 0;
    if (soap_valid_socket(sk) && !buffered) {
        pollfd fds[2] = {{sk, POLLIN, 0}, {g_stop_pipe[0], POLLIN, 0}};
        const int wait_ms = c->opts->timeout > 0 ? c->opts->timeout * 1000 : -1;
        int r;
        do {
            r = poll(fds, g_stop_pipe[0] >= 0 ? 2 : 1, wait_ms);
        } while (r < 0 && errno == EINTR && !g_stop);
        if (g_stop)
            return 0;
        if (r == 0) {
            c->timed_out = 1;
            return 0;
        }
    }
    return c->socket_recv(soap, s, n);
}

int key_password(char *buf, int size, int, void *password)
{
    const char *pw = static_cast<const char *>(password);
    int len = static_cast<int>(strlen(pw));
    if (len >= size)
        return 0;
    memcpy(buf, pw, static_cast<size_t>(len) + 1);
    return len;
}

// Whether the PEM file at path holds a block labelled with what ("PRIVATE KEY" also
// finds "EC PRIVATE KEY"); a file that cannot be read counts as holding it, for OpenSSL's
// reason then says why. OpenSSL's own words for a file without one ("PEM lib") name no
// file and no remedy.
bool pem_holds(const char *path, const char *what)
{
    FILE *f = fopen(path, "r");
    if (!f)
        return true;
    char line[256];
    bool found = false;
    while (!found && fgets(line, sizeof line, f))
        found = strncmp(line, "-----BEGIN ", 11) == 0 && strstr(line + 11, what);
    fclose(f);
    return found;
}

// The runtime reads one PEM file for both key and certificate; ours may be two files,
// so the client certificate goes into its SSL context directly.
int use_client_certificate(struct soap *soap, const client_options *o)
{
    SSL_CTX *ctx = soap->ctx;
    SSL_CTX_set_default_passwd_cb_userdata(ctx, o->tls_password);
    SSL_CTX_set_default_passwd_cb(ctx, key_password);
    // why, when set, says what to do instead of OpenSSL's reason.
    const char *what = nullptr, *file = o->tls_key, *why = nullptr;
    if (SSL_CTX_use_certificate_chain_file(ctx, o->tls_cert) != 1) {
        what = "cannot read the client certificate";
        file = o->tls_cert;
        if (!pem_holds(file, "CERTIFICATE")) {
            what = "no certificate in";
            why = "its second part names the client certificate (--tls ca:cert:key[:pw])";
        }
    } else if (SSL_CTX_use_PrivateKey_file(ctx, o->tls_key, SSL_FILETYPE_PEM) != 1) {
        what = "cannot read the client key (or its password is wrong)";
        // Without a key part the key is looked for in the certificate's file.
        if (!pem_holds(file, "PRIVATE KEY")) {
            what = "no private key in";
            why = "name the key file after the certificate (--tls ca:cert:key[:pw])";
        }
    } else if (SSL_CTX_check_private_key(ctx) != 1) {
        what = "the client key does not belong to the certificate";
    }
    if (!what)
        return 0;
    const unsigned long e = ERR_peek_last_error();
    if (!why && e)
        why = ERR_reason_error_string(e);
    fprintf(stderr, "connector-client: --tls: %s \"%s\"%s%s\n", what, file, why ? ": " : "",
            why ? why : "");
    ERR_clear_error();
    return -1;
}

int setup_tls(struct soap *soap, const client_options *o)
{
    // Only the given CA is trusted: a certificate some system CA issued is no proof of
    // being this daemon.
    if (soap_ssl_client_context(soap, SOAP_SSL_DEFAULT | SOAP_SSL_NO_DEFAULT_CA_PATH, nullptr,
                                nullptr, o->tls_ca, nullptr, nullptr) != SOAP_OK) {
        const char *why = soap_fault_detail(soap);
        if (!why)
            why = soap_fault_string(soap);
        fprintf(stderr, "connector-client: --tls: cannot use the CA file \"%s\": %s\n", o->tls_ca,
                why ? why : "TLS set-up failed");
        return -1;
    }
    return o->tls_cert ? use_client_certificate(soap, o) : 0;
}

char *make_endpoint(const client_options *o)
{
    const bool v6 = strchr(o->host, ':') != nullptr;
    size_t len = strlen(o->host) + 32;
    char *url = static_cast<char *>(malloc(len));
    if (url)
        snprintf(url, len, "%s://%s%s%s:%u/", o->tls_ca ? "https" : "http", v6 ? "[" : "", o->host,
                 v6 ? "]" : "", o->port);
    return url;
}

// The runtime's TLS texts span lines; the report is one line.
void one_line(char *s)
{
    size_t len = strlen(s);
    while (len && (s[len - 1] == '\n' || s[len - 1] == ' '))
        s[--len] = '\0';
    for (char *p = s; *p; p++)
        if (*p == '\n' || *p == '\r')
            *p = ';';
}

bool is_fault(int rc)
{
    return rc == SOAP_FAULT || rc == SOAP_CLI_FAULT || rc == SOAP_SVR_FAULT ||
           rc == SOAP_MUSTUNDERSTAND || rc == SOAP_VERSIONMISMATCH;
}

}  // namespace

int client_conn_open(client_conn **out, const client_options *opts, int keep_alive)
{
    client_conn *c = static_cast<client_conn *>(calloc(1, sizeof *c));
    if (!c) {
        fputs("connector-client: out of memory\n", stderr);
        return -1;
    }
    c->opts = opts;
    // Character references above 127 arrive as UTF-8, the encoding the output uses.
    c->soap = soap_new1(SOAP_C_UTFSTRING | (keep_alive ? SOAP_IO_KEEPALIVE : 0));
    c->endpoint = make_endpoint(opts);
    if (!c->soap || !c->endpoint) {
        fputs("connector-client: out of memory\n", stderr);
        client_conn_free(c);
        return -1;
    }
    c->soap->user = c;
    c->soap->connect_timeout = kConnectTimeoutSeconds;
    c->soap->recv_timeout = opts->timeout;
    c->soap->socket_flags = MSG_NOSIGNAL;
    c->socket_recv = c->soap->frecv;
    c->soap->frecv = interruptible_recv;
    if (opts->tls_ca && setup_tls(c->soap, opts) != 0) {
        client_conn_free(c);
        return -1;
    }
    *out = c;
    return 0;
}

void client_conn_free(client_conn *c)
{
    if (!c)
        return;
    if (c->soap) {
        soap_destroy(c->soap);
        soap_end(c->soap);
        soap_free(c->soap);
    }
    free(c->endpoint);
    free(c);
}

int client_conn_one_way_result(client_conn *c)
{
    struct soap *soap = c->soap;
    if (soap_begin_recv(soap)) {
        // Closed without a byte and without a socket error: accepted.
        if (soap->error == SOAP_EOF && soap->errnum == 0 && !c->timed_out && !g_stop) {
            soap->error = SOAP_OK;
            soap_closesock(soap);
            return SOAP_OK;
        }
        return soap_closesock(soap);
    }
    if (soap_envelope_begin_in(soap) || soap_recv_header(soap) || soap_body_begin_in(soap))
        return soap_closesock(soap);
    return soap_recv_fault(soap, 1) ? soap->error : soap_closesock(soap);
}

int client_conn_status(client_conn *c, int rc)
{
    const client_options *o = c->opts;
    struct soap *soap = c->soap;
    if (rc == SOAP_OK)
        return EXIT_ANSWER;
    if (is_fault(rc) && soap->fault) {
        const char **code_slot = soap_faultcode(soap);
        const char *code = code_slot ? *code_slot : nullptr;
        const char *text = soap_fault_string(soap);
        const char *detail = soap_fault_detail(soap);
        fprintf(stderr, "connector-client: SOAP fault %s: %s\n", code ? code : "(no code)",
                text ? text : "(no fault string)");
        if (detail && *detail)
            fprintf(stderr, "connector-client: detail: %s\n", detail);
        return EXIT_FAULT;
    }
    char reason[256];
    // A long poll that times out did reach the daemon: it only had nothing new to say.
    const bool polls = o->command == CMD_GET_LASTBLOCKEDFILE ||
                       o->command == CMD_GET_LASTSCANNEDFILE || o->command == CMD_GET_BLOCKEDFILE ||
                       o->command == CMD_GET_BLOCKEDFILE2 || o->command == CMD_WATCH_BLOCKED ||
                       o->command == CMD_WATCH_SCANNED;
    if (c->timed_out && polls) {
        fprintf(
            stderr,
            "connector-client: no new record within %d s from the GUI connector at %s port %u\n",
            o->timeout, o->host, o->port);
        return EXIT_NO_NEWS;
    }
    if (c->timed_out) {
        snprintf(reason, sizeof reason, "no answer within %d s", o->timeout);
    } else if (rc == SOAP_EOF) {
        // Under TLS 1.3 a refused client certificate shows only here, at the first read.
        unsigned long e = ERR_peek_last_error();
        const char *why = soap->errnum ? strerror(soap->errnum)
                          : e          ? ERR_reason_error_string(e)
                                       : nullptr;
        // A daemon that requires client certificates drops a client without one, and a
        // daemon under TLS a client that speaks plain HTTP, early enough that the request
        // may not even be written whole (EPIPE, ECONNRESET).
        const char *hint = o->tls_ca && !o->tls_cert ? "a client certificate may be required"
                           : !o->tls_ca              ? "the daemon may serve TLS only"
                                                     : nullptr;
        snprintf(reason, sizeof reason, "the connection closed without an answer%s%s%s%s%s",
                 why ? ": " : "", why ? why : "", hint ? (why ? "; " : ": ") : "", hint ? hint : "",
                 hint ? " (--tls ca:cert:key)" : "");
    } else {
        const char *text = soap->fault ? soap_fault_string(soap) : nullptr;
        const char *detail = soap->fault ? soap_fault_detail(soap) : nullptr;
        if (rc == SOAP_SSL_ERROR && detail && *detail)
            snprintf(reason, sizeof reason, "TLS: %s (%s)", text ? text : "error", detail);
        else if (text)
            snprintf(reason, sizeof reason, "%s", text);
        else
            snprintf(reason, sizeof reason, "error %d", rc);
    }
    one_line(reason);
    fprintf(stderr, "connector-client: cannot reach the GUI connector at %s port %u: %s\n", o->host,
            o->port, reason);
    return EXIT_UNREACHABLE;
}

int client_stop_on_signals(void)
{
    if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0)
        return -1;
    return 0;
}

int client_stop_requested(void) { return g_stop; }
