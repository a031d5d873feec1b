// connector-client: asks a running GUI connector over SOAP, one operation per run,
// follows its blocked files or scanned files as they arrive, or reports its figures for
// Prometheus. Built on the client stubs generated from the service's interface
// declaration, so it speaks exactly what the daemon serves.
#include <csignal>
#include <cstdio>

#include "tools/client_conn.h"
#include "tools/client_metrics.h"
#include "tools/client_ops.h"
#include "tools/client_options.h"
#include "tools/client_watch.h"

int main(int argc, char **argv)
{
    client_options opts;
    int rc = client_options_parse(&opts, argc, argv);
    if (rc != 0) {
        client_options_free(&opts);
        return rc > 0 ? EXIT_ANSWER : EXIT_USAGE;
    }
    // A daemon that closes the connection while a request is written must give an
    // error, not kill the client (MSG_NOSIGNAL does not reach OpenSSL's writes).
    signal(SIGPIPE, SIG_IGN);
    if (opts.command == CMD_METRICS) {
        rc = client_metrics(&opts);
        client_options_free(&opts);
        return rc;
    }
    const bool watch = opts.command == CMD_WATCH_BLOCKED || opts.command == CMD_WATCH_SCANNED;
    if (watch && client_stop_on_signals() != 0) {
        perror("connector-client: signal set-up");
        client_options_free(&opts);
        return EXIT_USAGE;
    }
    // One-way requests go without keep-alive: the daemon then closes the connection
    // when it accepts one, which is how the client learns the outcome.
    client_conn *conn = nullptr;
    if (client_conn_open(&conn, &opts, watch ? 1 : 0) != 0) {
        client_options_free(&opts);
        return EXIT_USAGE;
    }
    if (opts.command == CMD_WATCH_BLOCKED)
        rc = client_watch_blocked(conn);
    else if (opts.command == CMD_WATCH_SCANNED)
        rc = client_watch_scanned(conn);
    else
        rc = client_run_call(conn);
    client_conn_free(conn);
    client_options_free(&opts);
    return rc;
}
