#include "core/process.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

volatile sig_atomic_t g_stop_counter = 0;

void process_reserve_std_fds(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // Descriptors below fd are open, so the lowest free number is fd itself.
        int got = open("/dev/null", O_RDONLY);
        if (got >= 0 && got != fd)
            close(got);
    }
}

// A service manager's default soft limit (1024 under systemd) would cap the clients at
// about a thousand idle connections, though the hard limit allows far more.
int process_raise_fd_limit(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return -1;
    if (rl.rlim_cur == rl.rlim_max)
        return 0;
    rl.rlim_cur = rl.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &rl);
}

// A stop signal that lands after the intake loop tested the counter but before its
// receive started would be lost until the next message arrives. The alarm interrupts
// such a receive within a second, so the loop sees the counter again.
static void on_stop_signal(int)
{
    g_stop_counter = g_stop_counter + 1;
    alarm(1);
}

// Once a stop was asked for, the alarm comes back every second until the process ends:
// a write of the shutdown that blocks (a full pipe on standard error or output that
// nobody reads) is then cut short instead of holding the stop up for ever.
static void on_alarm(int)
{
    if (g_stop_counter)
        alarm(1);
}

// No SA_RESTART: a blocked receive must return with EINTR so the loop can look at the
// stop counter.
static void install(int sig, void (*handler)(int))
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(sig, &sa, nullptr);
}

void process_signals_install(void)
{
    install(SIGPIPE, SIG_IGN);
    install(SIGTERM, on_stop_signal);
    install(SIGINT, on_stop_signal);
    install(SIGHUP, on_stop_signal);
    install(SIGQUIT, on_stop_signal);
    install(SIGALRM, on_alarm);
}

void process_args_free(char **args)
{
    if (!args)
        return;
    for (char **p = args; *p; p++)
        free(*p);
    free(args);
}

char **process_args_copy(int argc, char **argv)
{
    auto **copy = (char **)calloc((size_t)argc + 1, sizeof(char *));
    if (!copy)
        return nullptr;
    for (int i = 0; i < argc; i++) {
        copy[i] = strdup(argv[i]);
        if (!copy[i]) {
            process_args_free(copy);
            return nullptr;
        }
    }
    return copy;
}

char *process_lock_path(char *buf, size_t size, const char *base, const char *suffix)
{
    snprintf(buf, size, "%s%s", base, suffix);
    return buf;
}

int process_lock_open(const char *path)
{
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // A lock file made beforehand (by a package, say) still serves in a directory the
    // daemon may not write; flock needs no write access.
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
        const int saved = errno;
        fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            errno = saved;
    }
    return fd;
}

int process_lock_take(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return -1;
    char pid[32];
    const int len = snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) == 0)
        (void)!pwrite(fd, pid, static_cast<size_t>(len), 0);
    return 0;
}

long process_lock_holder(int fd)
{
    char buf[32];
    const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    char *end;
    const long pid = strtol(buf, &end, 10);
    return pid > 0 && *end == '\n' ? pid : -1;
}

void process_lock_release(int fd)
{
    if (fd < 0)
        return;
    flock(fd, LOCK_UN);
    close(fd);
}
