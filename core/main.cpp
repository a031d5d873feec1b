// Entry point: start-up as a list, the intake loop, then the one shutdown path, which
// ends in exit or in a re-execution of the program with its original arguments.
#include <libgen.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/intake_loop.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/options.h"
#include "core/process.h"
#include "core/systemd_notify.h"
#include "intake/channel.h"
#include "intake/stats_channel.h"
#include "service/browser_guard.h"
#include "service/endpoint.h"
#include "service/web.h"
#include "store/store.h"

// Outside tools look for this stamp in the program file; the program never prints it.
__attribute__((used)) static const char kVersionStamp[] =
    "StAtSvErSiOn=2007Q1 / Server/Workstation / ? (20070118)";

// Exit status when a start-up step failed: distinct from a stop (0) and from a refused
// command line (1), so that a service manager restarts and a script can tell.
constexpr int kExitStartFailed = 2;

// The channel's own lock file, in the channel directory: two daemons on one directory
// would share a queue key and a UDP port, and the second would take the first's messages.
constexpr char kChannelLockName[] = "/gui-connector-channel.lck";

// What start-up brought up; shutdown takes down whatever is there.
struct daemon_state {
    char **args;  // argument copy for a re-execution
    int restart;
    int start_failed;  // a start-up step failed: the exit status says so
    int lock_fd;
    int channel_lock_fd;  // -1 while not taken (or when the channel directory is missing)
    char lock_path[4096];
    char channel_lock_path[4096];
    char *argv0_copy;  // owns the default IPC directory's characters
    struct options opt;
    struct soap_endpoint *endpoint;
    struct intake_counters counters;
};

static int shutdown_and_exit(struct daemon_state *d)
{
    (void)systemd_notify_stopping(d->restart);
    log_msg(0, stdout, "exit from service loop.\n");
    log_msg(1, stdout, "shutting down ... ");

    // The connection threads must be gone before the store goes, since store_destroy
    // takes no lock; the words keep their familiar order all the same.
    log_msg(1, stdout, "data ... ");
    endpoint_stop(d->endpoint);
    store_destroy();
    log_msg(1, stdout, "SOAP ... ");
    endpoint_free(d->endpoint);
    d->endpoint = nullptr;

    log_msg(1, stdout, "stats ... ");
    stats_channel_remove();
    log_msg(1, stdout, "done.\n");

    ssl_settings_free(d->opt.ssl);
    d->opt.ssl = nullptr;
    process_lock_release(d->channel_lock_fd);
    process_lock_release(d->lock_fd);
    free(d->argv0_copy);

    if (!d->restart) {
        process_args_free(d->args);
        return d->start_failed ? kExitStartFailed : 0;
    }
    fprintf(stderr, "restarting GUI connector");
    fflush(stderr);
    // A pending alarm survives the exec and would end the new image before it has
    // installed its handler.
    alarm(0);
    execvp(d->args[0], d->args);
    perror("execvp()");
    fprintf(stderr, "GUI support not available any longer");
    process_args_free(d->args);
    return -1;
}

// Frees what start-up took so far, for the exits that happen before the components.
static void release_early(struct daemon_state *d)
{
    ssl_settings_free(d->opt.ssl);
    d->opt.ssl = nullptr;
    if (d->lock_fd >= 0)
        close(d->lock_fd);
    d->lock_fd = -1;
    if (d->channel_lock_fd >= 0)
        close(d->channel_lock_fd);
    d->channel_lock_fd = -1;
    free(d->argv0_copy);
    d->argv0_copy = nullptr;
    process_args_free(d->args);
    d->args = nullptr;
}

static void log_configuration(const struct options *o)
{
    log_msg(1, stdout, "IPC msg queue directory \"%s\"\n", o->ipc_dir);
    log_msg(1, stdout, "SOAP host \"%s\" and port %u\n", o->host ? o->host : "<NULL>", o->port);
    if (o->ssl)
        log_msg(1, stdout, "SOAP over SSL, key \"%s\" with pass \"%s\", CA \"%s\", rand \"%s\"\n",
                o->ssl->keyfile, o->ssl->password, o->ssl->cafile,
                o->ssl->randfile ? o->ssl->randfile : "<NULL>");
}

// Names the lock file behind a lock error and, when another process holds the lock,
// that process (the id it wrote into the file).
static void report_lock(const char *path, int fd, int held)
{
    const long holder = held ? process_lock_holder(fd) : -1;
    if (holder > 0)
        fprintf(stderr, "lock file \"%s\" is held by process %ld\n", path, holder);
    else if (held)
        fprintf(stderr, "lock file \"%s\" is held by another process\n", path);
    else
        fprintf(stderr, "lock file \"%s\"\n", path);
}

// Takes the channel directory's lock. Returns 0, also when the directory is missing
// (the channel set-up then fails and says so), or -1 after the lock error lines.
static int take_channel_lock(struct daemon_state *d)
{
    process_lock_path(d->channel_lock_path, sizeof d->channel_lock_path, d->opt.ipc_dir,
                      kChannelLockName);
    d->channel_lock_fd = process_lock_open(d->channel_lock_path);
    if (d->channel_lock_fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return 0;
        perror("cannot access channel lock file");
        report_lock(d->channel_lock_path, -1, 0);
        return -1;
    }
    if (process_lock_take(d->channel_lock_fd) == 0)
        return 0;
    const int held = errno == EWOULDBLOCK;
    if (held)
        fprintf(stderr, "run once check: another instance uses the channel directory \"%s\"\n",
                d->opt.ipc_dir);
    else
        perror("channel run once check");
    report_lock(d->channel_lock_path, d->channel_lock_fd, held);
    return -1;
}

static void start_failed(struct daemon_state *d)
{
    d->start_failed = 1;
    g_stop_counter = g_stop_counter + 1;
}

// Brings the components up in order. A failing step only raises the stop counter, so
// the remaining steps still run and the intake loop is then skipped; each failure says
// why on a line of its own.
static void start_components(struct daemon_state *d)
{
    log_msg(0, stdout, "initializing ... ");
    log_msg(0, stdout, "stats ... ");
    if (stats_channel_setup(d->opt.ipc_dir) != 0) {
        fprintf(stderr, "cannot init generic stats info\n");
        start_failed(d);
    }

    log_msg(0, stdout, "SOAP ... ");
    d->endpoint = endpoint_new(d->opt.host, (int)d->opt.port, d->opt.ssl);
    if (d->opt.idle_timeout_s)
        (void)endpoint_set_idle_timeout(d->endpoint, d->opt.idle_timeout_s * 1000);
    if (!d->endpoint) {
        fprintf(stderr, "cannot setup SOAP config\n");
        fprintf(stderr, "SOAP config: %s\n", strerror(ENOMEM));
        start_failed(d);
    }

    log_msg(0, stdout, "data ... ");
    store_set_coalesce_ms(d->opt.coalesce_ms);
    if (store_create(endpoint_registry(d->endpoint), d->opt.nwords, d->opt.words) != 0) {
        log_msg(0, stderr, "cannot init daemon specific info\n");
        fprintf(stderr, "status store: %s\n", strerror(ENOMEM));
        start_failed(d);
    }
    if (d->opt.journal && journal_blocked_files_start() != 0)
        fprintf(stderr, "--journal: this build has no libsystemd; blocked files go to no "
                        "journal\n");

    if (endpoint_start(d->endpoint) != 0) {
        fprintf(stderr, "cannot start SOAP interface\n");
        fprintf(stderr, "SOAP interface: %s\n", endpoint_failure(d->endpoint));
        start_failed(d);
    }
    log_msg(1, stdout, d->start_failed ? "failed.\n" : "done.\n");
    const int budget = endpoint_connection_budget(d->endpoint);
    if (budget >= 0)
        log_msg(1, stdout, "SOAP interface: room for %d connections\n", budget);
    char channel[160];
    if (stats_channel_describe(channel, sizeof channel) == 0) {
        log_msg(1, stdout, "status channel: %s, directory \"%s\"\n", channel, d->opt.ipc_dir);
        if (stats_channel_removed_leftover())
            log_msg(1, stdout, "status channel: removed the message queue an earlier run left\n");
    }
}

// Tells a service manager that the daemon serves, and where: the line "systemctl status"
// shows.
static void announce_ready(const struct daemon_state *d)
{
    char channel[160], status[512];
    (void)stats_channel_describe(channel, sizeof channel);
    snprintf(status, sizeof status, "SOAP%s on %s port %u; status channel: %s, directory \"%s\"",
             d->opt.ssl ? " over TLS" : "", d->opt.host ? d->opt.host : "all addresses",
             d->opt.port, channel, d->opt.ipc_dir);
    (void)systemd_notify_ready(status);
}

int main(int argc, char **argv)
{
    process_reserve_std_fds();
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        options_version();
        return 0;
    }

    struct daemon_state d;
    memset(&d, 0, sizeof d);
    d.lock_fd = -1;
    d.channel_lock_fd = -1;

    d.args = process_args_copy(argc, argv);
    if (!d.args) {
        perror("cannot allocate memory");
        return -1;
    }
    d.restart = 0;

    d.lock_fd =
        process_lock_open(process_lock_path(d.lock_path, sizeof d.lock_path, argv[0], ".lck"));
    if (d.lock_fd < 0) {
        perror("cannot access lock file");
        report_lock(d.lock_path, -1, 0);
        release_early(&d);
        return -1;
    }

    const char *prog = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];
    d.argv0_copy = strdup(argv[0]);
    if (!d.argv0_copy) {
        release_early(&d);
        return -1;
    }

    process_signals_install();

    d.opt.ipc_dir = dirname(d.argv0_copy);
    d.opt.host = nullptr;
    d.opt.port = kDefaultSoapPort;
    d.opt.ssl = nullptr;
    d.opt.randfile = nullptr;
    d.opt.coalesce_ms = kDefaultCoalesceMs;

    int rc = options_parse(argc, argv, &d.opt);
    if (rc == OPTIONS_VERSION_HELP) {
        release_early(&d);
        options_synopsis(prog, 0);
        return 0;
    }
    if (rc == OPTIONS_HELP) {
        release_early(&d);
        options_help(prog);
        return 0;
    }
    if (rc == OPTIONS_NO_MEMORY) {
        release_early(&d);
        return -1;
    }
    if (rc == OPTIONS_BAD) {
        release_early(&d);
        options_synopsis(prog, 1);
    }

    for (int i = 0; i < d.opt.nallow_origins; i++) {
        if (browser_guard_allow(d.opt.allow_origins[i]) != 0) {
            fprintf(stderr, "--allow-origin %s: not an origin of the form scheme://host[:port]\n",
                    d.opt.allow_origins[i]);
            release_early(&d);
            options_synopsis(prog, 1);
        }
    }
    if (d.opt.web)
        web_enable(1);
    if (d.opt.no_msgq)
        channel_set_transport_enabled(CHANNEL_MSGQ, 0);
    if (d.opt.no_udp)
        channel_set_transport_enabled(CHANNEL_UDP, 0);
    if (d.opt.host && *d.opt.host == '\0')
        d.opt.host = nullptr;
    if (d.opt.ssl && d.opt.randfile)
        d.opt.ssl->randfile = strdup(d.opt.randfile);

    log_configuration(&d.opt);

    if (process_lock_take(d.lock_fd) != 0) {
        const int held = errno == EWOULDBLOCK;
        if (held)
            fprintf(stderr, "run once check: another instance is already running\n");
        else
            perror("run once check");
        report_lock(d.lock_path, d.lock_fd, held);
        release_early(&d);
        return -1;
    }
    if (take_channel_lock(&d) != 0) {
        release_early(&d);
        return -1;
    }

    (void)process_raise_fd_limit();
    start_components(&d);

    if (g_stop_counter == 0) {
        announce_ready(&d);
        intake_loop_run(stats_channel_get(), &d.counters, &d.restart);
    }
    if (g_diagnostic > 0)
        intake_print_counters(&d.counters);
    return shutdown_and_exit(&d);
}
