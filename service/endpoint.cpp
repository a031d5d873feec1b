// SOAP endpoint. Threads: the main thread runs new/start/stop/free; the accept thread
// accepts; one detached connection thread runs the TLS handshake and serves each
// connection. Shutdown relies on two orderings: the accept thread is joined before the
// connection threads are cancelled, so none is started during the cancel-all; and every
// connection thread is reserved in the registry before it is created, so the cancel-all
// cannot miss one that has not registered yet.
#include "service/endpoint.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "registry/conn_registry.h"
#include "service/endpoint_internal.h"
#include "service/release_list.h"
#include "http/request_reader.h"
#include "service/serve.h"
#include "soapH.h"
#include "store/activity.h"

namespace {

// The store's three events: 1 a blocked file added, 2 the last scanned file set, 3 any
// value changed.
constexpr int kMaxEvent = 3;
constexpr int kBacklog = 8;
// How long a stop waits for its wake-up connection before cancelling the accept thread.
constexpr int kWakeTimeoutMs = 2000;
// How long a connection may take to send its first request, and any request to arrive
// whole once it has begun. Real clients send a request in one go.
constexpr int kRequestTimeoutMs = 30000;
// How long a kept-alive connection may wait for its next request unless told otherwise:
// longer than any GUI client or scraper waits between two calls.
constexpr int kDefaultIdleTimeoutMs = 300000;
// Descriptors kept free of clients, above those open when the endpoint started: a stop's
// wake-up connection (both of its ends) and the daemon's own work never find the
// descriptor table full.
constexpr int kSpareDescriptors = 8;
// Connections admitted past the budget while the idle ones closed for them are still on
// their way out; the spare descriptors hold them.
constexpr int kEvictionsInFlight = kSpareDescriptors / 2;
// Pause after a failed accept, context copy or thread start, so that a lasting shortage
// does not spin the accept thread.
constexpr long kBackoffMs = 100;

// Handed from the accept thread to the connection thread, which owns it.
struct connection {
    struct conn_registry *registry;
    int idle_timeout_ms;
    struct soap *context;
    int use_ssl;        // the TLS handshake is still to be done, on the connection's thread
    int fd;             // the client's socket, closed by connection_cleanup and nowhere else
    int handshake_cap;  // how many connections may be in a TLS handshake at once
};

int load_flag(const int *flag) { return __atomic_load_n(flag, __ATOMIC_SEQ_CST); }
void store_flag(int *flag, int v) { __atomic_store_n(flag, v, __ATOMIC_SEQ_CST); }

// soap_new and soap_copy allocate with new, so soap_free (not free) ends the context;
// this also closes its socket and, under TLS, its SSL object.
void release_context(struct soap *soap)
{
    if (!soap)
        return;
    soap_destroy(soap);
    soap_end(soap);
    soap_free(soap);
}

// Copies s (null stays null). Returns -1 when a present string cannot be copied.
int copy_string(char **dst, const char *s)
{
    *dst = nullptr;
    if (!s)
        return 0;
    *dst = strdup(s);
    return *dst ? 0 : -1;
}

void free_strings(struct soap_endpoint *ep)
{
    free(ep->host);
    free(ep->keyfile);
    free(ep->password);
    free(ep->cafile);
    free(ep->capath);
    free(ep->dhfile);
    free(ep->randfile);
    free(ep->sid);
}

// Keeps why the runtime refused to start: the system's error text when there is one,
// else OpenSSL's first error (the one closest to the cause), else the runtime's text.
void note_failure(struct soap_endpoint *ep, struct soap *ctx, const char *what)
{
    const unsigned long e = ERR_peek_error();
    const char *why = nullptr;
    char buf[160];
    if (ctx && ctx->errnum) {
        why = strerror(ctx->errnum);
    } else if (e && ERR_GET_LIB(e) == ERR_LIB_SYS) {
        why = strerror(ERR_GET_REASON(e));  // a file OpenSSL could not open
    } else if (e) {
        why = ERR_reason_error_string(e);
        if (!why) {
            ERR_error_string_n(e, buf, sizeof buf);
            why = buf;
        }
    } else if (ctx && ctx->error) {
        why = soap_fault_string(ctx);
    }
    snprintf(ep->failure, sizeof ep->failure, "%s: %s", what, why ? why : "unknown error");
    ERR_clear_error();
}

// Binds where ep says. With no host, "::" with the runtime's dual-stack socket takes
// IPv6 and IPv4 clients alike; a host without IPv6 gets the IPv4 wildcard instead.
SOAP_SOCKET bind_listener(struct soap_endpoint *ep, struct soap *ctx)
{
    if (ep->host)
        return soap_bind(ctx, ep->host, ep->port, kBacklog);
    SOAP_SOCKET s = soap_bind(ctx, "::", ep->port, kBacklog);
    if (soap_valid_socket(s) || (ctx->errnum != EAFNOSUPPORT && ctx->errnum != EADDRNOTAVAIL))
        return s;
    ctx->errnum = 0;
    return soap_bind(ctx, nullptr, ep->port, kBacklog);
}

// Takes the runtime's close of a connection's socket: the client sees the connection end
// now, but the descriptor stays taken until its thread has retired its registry entry.
// Closed earlier, its number could go to a new connection while a canceller still finds
// the old entry, and shut that new connection down.
int shut_socket(struct soap *soap, SOAP_SOCKET s)
{
    (void)soap;
    shutdown(s, SHUT_RDWR);
    return SOAP_OK;
}

// Runs on the connection thread at its normal end (cancellation disabled) and when it
// is cancelled. Removing the entry comes after everything that touches the context, so
// a cancel-all that sees the registry drained knows the connection is fully released.
void connection_cleanup(void *arg)
{
    struct connection *conn = static_cast<struct connection *>(arg);
    // First: the id names nothing from now on, and no canceller reaches the descriptor.
    conn_registry_retire(conn->registry, pthread_self());
    release_deferred(conn->context);
    release_context(conn->context);
    // The entry is retired: no canceller can reach this descriptor any more.
    close(conn->fd);
    // OpenSSL would free this thread's state only after the thread function returns,
    // which a stop does not wait for: free it now, while the stop still waits for us.
    OPENSSL_thread_stop();
    conn_registry_remove(conn->registry, pthread_self());
    free(conn);
}

// A client in its handshake has not shown a certificate yet: past half the connection
// budget, the handshake that began first is dropped, so that clients which finish theirs
// always find room.
int tls_handshake(struct connection *conn)
{
    (void)conn_registry_handshake_begin(conn->registry, pthread_self(), conn->handshake_cap);
    const int rc = soap_ssl_accept(conn->context);
    (void)conn_registry_handshake_end(conn->registry, pthread_self());
    return rc;
}

// Cancellation points: the TLS handshake, the socket reads and writes inside
// serve_connection and the long-poll waits of the operations; the cleanup handler
// releases everything held. The handshake runs here and not on the accept thread: a
// client that connects and then stays silent would otherwise hold up every other
// connection for as long as the runtime waits for its handshake.
void *connection_main(void *arg)
{
    struct connection *conn = static_cast<struct connection *>(arg);
    pthread_detach(pthread_self());
    int oldtype;
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &oldtype);
    conn->fd = conn->context->socket;
    conn->context->fclosesocket = shut_socket;
    // Unregistered, the thread could not be stopped at shutdown and might reach the
    // store after it is gone: such a connection is closed without being served.
    int registered =
        conn_registry_add_reserved(conn->registry, pthread_self(), conn->context->socket) == 0;
    pthread_cleanup_push(connection_cleanup, conn);
    const struct serve_limits limits = {kRequestTimeoutMs, conn->idle_timeout_ms, conn->registry};
    if (registered && (!conn->use_ssl || tls_handshake(conn) == SOAP_OK) &&
        request_reader_install(conn->context) == 0)
        serve_connection(conn->context, &limits);
    // A cancellation request that arrives now (a client cancelling its own connection)
    // must not cut the cleanup short at one of its own cancellation points.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_cleanup_pop(1);
    pthread_setcanceltype(oldtype, nullptr);
    return nullptr;
}

// Starts a connection thread for copy, or releases copy when that is not possible;
// budget is the connection budget now. Returns 0 started, or the errno of the failure.
int start_connection(struct soap_endpoint *ep, struct soap *copy, int budget)
{
    struct connection *conn =
        static_cast<struct connection *>(calloc(1, sizeof(struct connection)));
    if (!conn) {
        release_context(copy);
        return ENOMEM;
    }
    conn->registry = ep->registry;
    conn->idle_timeout_ms = ep->idle_timeout_ms;
    conn->context = copy;
    conn->use_ssl = ep->use_ssl;
    conn->handshake_cap = budget > 1 ? budget / 2 : 1;
    conn_registry_reserve(ep->registry);
    pthread_t tid;
    const int rc = pthread_create(&tid, nullptr, connection_main, conn);
    if (rc != 0) {
        conn_registry_unreserve(ep->registry);
        release_context(copy);
        free(conn);
    }
    return rc;
}

// How many connections the descriptor limit leaves room for. Read at every accept: an
// administrator may change the limit of a running daemon.
int connection_budget(const struct soap_endpoint *ep)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return 1 << 30;
    const long long room =
        static_cast<long long>(rl.rlim_cur) - ep->descriptors_at_start - kSpareDescriptors;
    return room < 0 ? 0 : room > (1 << 30) ? 1 << 30 : static_cast<int>(room);
}

// Counts the descriptors open now (the directory's own aside); 0 when that cannot be
// told, which leaves only the spare descriptors as the margin.
int open_descriptors(void)
{
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return 0;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n > 0 ? n - 1 : 0;
}

// Whether a new connection may be served: within the budget, or past it when a
// connection that waits between requests (or for its first) could be closed to make
// room. Idle clients thus cannot shut new ones out; a long poll is never closed for it.
bool has_room(struct soap_endpoint *ep, int budget)
{
    const int open = conn_registry_count(ep->registry);
    if (open < budget)
        return true;
    if (open >= budget + kEvictionsInFlight || conn_registry_close_idlest(ep->registry) != 1)
        return false;
    activity_count(ACTIVITY_IDLE_EVICTIONS);
    return true;
}

// The accept thread's trouble, said once when it begins and once when it ends.
enum trouble { TROUBLE_NONE, TROUBLE_FULL, TROUBLE_FAILING };

void report_trouble(enum trouble *now, enum trouble next, const char *what, int err, int budget)
{
    if (*now == next)
        return;
    *now = next;
    if (next == TROUBLE_NONE)
        fputs("SOAP interface: accepting connections again\n", stderr);
    else if (next == TROUBLE_FULL)
        fprintf(stderr,
                "SOAP interface: %d connections open, as many as the descriptor limit "
                "allows; closing new ones at once\n",
                budget);
    else
        fprintf(stderr, "SOAP interface: %s failed (%s); retrying\n", what, strerror(err));
    fflush(stderr);
}

void back_off(void)
{
    struct timespec ts = {0, kBackoffMs * 1000000L};
    nanosleep(&ts, nullptr);
}

// Cancellation points: soap_accept and the back-off pause; a stop cancels this thread
// only when its wake-up connection failed, and the thread holds nothing to release then.
void *accept_main(void *arg)
{
    struct soap_endpoint *ep = static_cast<struct soap_endpoint *>(arg);
    struct soap *listener = ep->context;
    enum trouble trouble = TROUBLE_NONE;
    // Only a stop ends this loop: a shortage of descriptors, memory or threads passes,
    // and a service that stopped for good on one would leave a daemon that runs and
    // serves nobody.
    while (!load_flag(&ep->stop_requested)) {
        SOAP_SOCKET s = soap_accept(listener);
        if (load_flag(&ep->stop_requested)) {
            listener->socket = SOAP_INVALID_SOCKET;
            if (soap_valid_socket(s))
                close(s);  // the stop's own wake-up connection
            break;
        }
        if (!soap_valid_socket(s)) {
            report_trouble(&trouble, TROUBLE_FAILING, "accept", listener->errnum, 0);
            back_off();
            continue;
        }
        // The runtime leaves the accepted socket in the listener; the copy takes it over,
        // and a stale number left behind would be closed again at stop.
        const int budget = connection_budget(ep);
        if (!has_room(ep, budget)) {
            // Past the budget the connection is closed at once, so the client learns it
            // now and the spare descriptors stay free.
            listener->socket = SOAP_INVALID_SOCKET;
            close(s);
            report_trouble(&trouble, TROUBLE_FULL, nullptr, 0, budget);
            continue;
        }
        struct soap *copy = soap_copy(listener);
        listener->socket = SOAP_INVALID_SOCKET;
        if (!copy) {
            close(s);
            report_trouble(&trouble, TROUBLE_FAILING, "context copy", ENOMEM, 0);
            back_off();
            continue;
        }
        const int rc = start_connection(ep, copy, budget);
        if (rc != 0) {
            report_trouble(&trouble, TROUBLE_FAILING, "connection thread start", rc, 0);
            back_off();
            continue;
        }
        report_trouble(&trouble, TROUBLE_NONE, nullptr, 0, 0);
    }
    return nullptr;
}

// Connects to our own listening socket so that the accept thread returns from
// soap_accept. Bounded: with the backlog full a plain connect could retry for minutes.
int wake_listener(int sock)
{
    if (sock < 0)
        return -1;
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (getsockname(sock, reinterpret_cast<struct sockaddr *>(&ss), &len) != 0)
        return -1;
    if (ss.ss_family == AF_INET) {
        struct sockaddr_in *a = reinterpret_cast<struct sockaddr_in *>(&ss);
        if (a->sin_addr.s_addr == htonl(INADDR_ANY))
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else if (ss.ss_family == AF_INET6) {
        struct sockaddr_in6 *a = reinterpret_cast<struct sockaddr_in6 *>(&ss);
        // The runtime's IPv6 wildcard socket is dual-stack, and 127.0.0.1 reaches it
        // even where IPv6 is switched off and ::1 is missing.
        if (IN6_IS_ADDR_UNSPECIFIED(&a->sin6_addr)) {
            const in_port_t port = a->sin6_port;
            struct sockaddr_in *v4 = reinterpret_cast<struct sockaddr_in *>(&ss);
            memset(&ss, 0, sizeof ss);
            v4->sin_family = AF_INET;
            v4->sin_port = port;
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *v4;
        }
    } else {
        return -1;
    }
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int rc = connect(fd, reinterpret_cast<struct sockaddr *>(&ss), len);
    if (rc != 0 && errno == EINPROGRESS) {
        struct pollfd pfd = {fd, POLLOUT, 0};
        int err = 0;
        socklen_t elen = sizeof err;
        if (poll(&pfd, 1, kWakeTimeoutMs) == 1 &&
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) == 0 && err == 0)
            rc = 0;
    }
    close(fd);
    return rc == 0 ? 0 : -1;
}

}  // namespace

struct soap_endpoint *endpoint_new(const char *host, int port, const struct ssl_settings *ssl)
{
    struct soap_endpoint *ep =
        static_cast<struct soap_endpoint *>(calloc(1, sizeof(struct soap_endpoint)));
    if (!ep)
        return nullptr;
    ep->registry = conn_registry_new(kMaxEvent);
    ep->idle_timeout_ms = kDefaultIdleTimeoutMs;
    int rc = ep->registry ? 0 : -1;
    if (rc == 0)
        rc = copy_string(&ep->host, host);
    ep->port = port;
    if (rc == 0 && ssl) {
        ep->use_ssl = 1;
        ep->require_client_auth = ssl->require_client_auth;
        if (copy_string(&ep->keyfile, ssl->keyfile) || copy_string(&ep->password, ssl->password) ||
            copy_string(&ep->cafile, ssl->cafile) || copy_string(&ep->capath, ssl->capath) ||
            copy_string(&ep->dhfile, ssl->dhfile) || copy_string(&ep->randfile, ssl->randfile) ||
            copy_string(&ep->sid, ssl->sid))
            rc = -1;
    }
    if (rc != 0) {
        free_strings(ep);
        conn_registry_free(ep->registry);
        free(ep);
        return nullptr;
    }
    return ep;
}

int endpoint_set_idle_timeout(struct soap_endpoint *ep, int ms)
{
    if (!ep || ms <= 0)
        return -1;
    ep->idle_timeout_ms = ms;
    return 0;
}

int endpoint_start(struct soap_endpoint *ep)
{
    if (!ep)
        return -1;
    if (ep->accept_started)
        return 1;
    ep->failure[0] = '\0';
    struct soap *ctx = soap_new();
    if (!ctx) {
        snprintf(ep->failure, sizeof ep->failure, "%s", strerror(ENOMEM));
        return -1;
    }
    if (ep->use_ssl) {
        // Only the configured CA file and path vouch for clients, not the system store.
        unsigned short flags = SOAP_SSL_NO_DEFAULT_CA_PATH;
        flags |= ep->require_client_auth ? SOAP_SSL_REQUIRE_CLIENT_AUTHENTICATION
                                         : SOAP_SSL_REQUIRE_SERVER_AUTHENTICATION;
        if (soap_ssl_server_context(ctx, flags, ep->keyfile, ep->password, ep->cafile, ep->capath,
                                    ep->dhfile, ep->randfile, ep->sid) != SOAP_OK) {
            char what[200];
            snprintf(what, sizeof what, "TLS set-up with key file \"%s\" and CA file \"%s\"",
                     ep->keyfile, ep->cafile);
            note_failure(ep, ctx, what);
            release_context(ctx);
            return -1;
        }
    }
    soap_set_imode(ctx, SOAP_IO_KEEPALIVE);
    soap_set_omode(ctx, SOAP_IO_KEEPALIVE);
    ctx->bind_flags |= SO_REUSEADDR;
    ctx->x_frame_options = nullptr;  // copied into every connection
    SOAP_SOCKET s = bind_listener(ep, ctx);
    if (!soap_valid_socket(s)) {
        char what[200];
        snprintf(what, sizeof what, "cannot listen on %s port %d",
                 ep->host ? ep->host : "all addresses", ep->port);
        note_failure(ep, ctx, what);
        release_context(ctx);
        return -2;
    }
    ep->context = ctx;
    ep->descriptors_at_start = open_descriptors();
    store_flag(&ep->stop_requested, 0);
    // The accept thread, and every connection thread it starts, keeps the process's
    // signals blocked: they belong to the main thread, whose receive they interrupt,
    // and a connection thread interrupted by one could cut a forwarded line short.
    sigset_t block, old;
    sigemptyset(&block);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2})
        sigaddset(&block, sig);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    const int started = pthread_create(&ep->accept_thread, nullptr, accept_main, ep);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (started != 0) {
        snprintf(ep->failure, sizeof ep->failure, "accept thread: %s", strerror(started));
        release_context(ctx);
        ep->context = nullptr;
        return -1;
    }
    ep->accept_started = 1;
    return 0;
}

const char *endpoint_failure(const struct soap_endpoint *ep)
{
    return ep ? ep->failure : "no SOAP config";
}

int endpoint_stop(struct soap_endpoint *ep)
{
    if (!ep)
        return -1;
    if (!ep->accept_started)
        return 1;
    store_flag(&ep->stop_requested, 1);
    // A thread that has not reached soap_accept yet takes the cancellation there.
    if (wake_listener(ep->context->master) != 0)
        pthread_cancel(ep->accept_thread);
    if (pthread_join(ep->accept_thread, nullptr) != 0)
        return -1;
    ep->accept_started = 0;
    ep->accept_thread = pthread_t();
    conn_registry_cancel_all(ep->registry, 1);
    release_context(ep->context);
    ep->context = nullptr;
    return 0;
}

int endpoint_connection_budget(const struct soap_endpoint *ep)
{
    if (!ep || !ep->accept_started)
        return -1;
    return connection_budget(ep);
}

struct conn_registry *endpoint_registry(struct soap_endpoint *ep)
{
    return ep ? ep->registry : nullptr;
}

void endpoint_free(struct soap_endpoint *ep)
{
    if (!ep)
        return;
    // Freeing a started endpoint would pull the registry from under its threads.
    if (ep->accept_started)
        endpoint_stop(ep);
    if (ep->accept_started)
        return;  // the join failed: the accept thread may still use ep
    if (conn_registry_count(ep->registry) == 0)
        conn_registry_free(ep->registry);
    free_strings(ep);
    free(ep);
}
