#include "support/test_support.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string make_temp_dir()
{
    char tmpl[] = "/tmp/gc-test-XXXXXX";
    if (!mkdtemp(tmpl))
        return "";
    return tmpl;
}

void remove_tree(const std::string &path)
{
    if (path.empty() || path.rfind("/tmp/gc-test-", 0) != 0)
        return;
    std::string out, err;
    run_command({"/bin/rm", "-rf", path}, &out, &err);
}

// Ports come from below the kernel's ephemeral range: a port the kernel handed out as
// free would be handed out again, to any test's outgoing connection, before the daemon
// that is to listen on it has bound it.
int free_tcp_port()
{
    int low = 32768;
    if (FILE *f = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (fscanf(f, "%d", &low) != 1)
            low = 32768;
        fclose(f);
    }
    const int first = 10000, span = low - first;
    if (span <= 0)
        return -1;
    unsigned seed =
        static_cast<unsigned>(getpid()) * 2654435761u ^
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int tries = 0; tries < 200; tries++) {
        const int port = first + static_cast<int>(rand_r(&seed) % static_cast<unsigned>(span));
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool ok = bind(fd, (sockaddr *)&a, sizeof a) == 0;
        close(fd);
        if (ok)
            return port;
    }
    return -1;
}

std::string build_path(const std::string &name) { return std::string(GC_BUILD_DIR) + "/" + name; }

std::string private_binary(const std::string &dir, const std::string &name)
{
    std::string link = dir + "/" + name;
    if (symlink(build_path(name).c_str(), link.c_str()) != 0 && errno != EEXIST)
        return "";
    return link;
}

bool spawn(child_proc *c, const std::vector<std::string> &argv, bool stdin_pipe)
{
    int out[2], err[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    if (stdin_pipe && pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        return false;
    }
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(stdin_pipe ? in[0] : null_fd, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (stdin_pipe) {
        close(in[0]);
        c->in_fd = in[1];
    }
    c->pid = pid;
    c->out_fd = out[0];
    c->err_fd = err[0];
    c->out.clear();
    c->err.clear();
    c->status = -1;
    return true;
}

static long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// One poll round over both pipes; returns false when both are closed.
static bool read_some(child_proc *c, int timeout_ms)
{
    pollfd p[2];
    int n = 0;
    if (c->out_fd >= 0)
        p[n++] = {c->out_fd, POLLIN, 0};
    if (c->err_fd >= 0)
        p[n++] = {c->err_fd, POLLIN, 0};
    if (n == 0)
        return false;
    if (poll(p, n, timeout_ms) <= 0)
        return true;
    for (int i = 0; i < n; i++) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buf[65536];
        ssize_t r = read(p[i].fd, buf, sizeof buf);
        bool is_out = p[i].fd == c->out_fd;
        if (r > 0) {
            (is_out ? c->out : c->err).append(buf, r);
        } else if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) {
            close(p[i].fd);
            (is_out ? c->out_fd : c->err_fd) = -1;
        }
    }
    return true;
}

void drain(child_proc *c, int timeout_ms)
{
    long long end = now_ms() + timeout_ms;
    do {
        if (!read_some(c, 10))
            return;
    } while (now_ms() < end);
}

bool wait_for_output(child_proc *c, const std::string &needle, int which, int timeout_ms)
{
    long long end = now_ms() + timeout_ms;
    for (;;) {
        const std::string &s = which == 1 ? c->out : c->err;
        if (s.find(needle) != std::string::npos)
            return true;
        long long left = end - now_ms();
        if (left <= 0)
            return false;
        if (!read_some(c, (int)std::min(left, 50LL))) {
            const std::string &t = which == 1 ? c->out : c->err;
            return t.find(needle) != std::string::npos;
        }
    }
}

static int decode_status(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

int wait_exit(child_proc *c, int timeout_ms)
{
    if (c->pid < 0)
        return c->status >= 0 ? decode_status(c->status) : -1;
    long long end = now_ms() + timeout_ms;
    for (;;) {
        int st;
        pid_t r = waitpid(c->pid, &st, WNOHANG);
        if (r == c->pid) {
            c->status = st;
            c->pid = -1;
            // Collect the rest of the output, bounded: a grandchild may hold the pipes.
            long long stop = now_ms() + 2000;
            while (now_ms() < stop && read_some(c, 50)) {
            }
            return decode_status(st);
        }
        if (now_ms() >= end)
            return -1;
        read_some(c, 10);
    }
}

void kill_and_reap(child_proc *c)
{
    // A polite stop first: a daemon that fell back to the message queue removes it on
    // its way out, which SIGKILL would leave behind in the system.
    if (c->pid > 0) {
        kill(c->pid, SIGTERM);
        kill(c->pid, SIGCONT);
        wait_exit(c, 3000);
    }
    if (c->pid > 0) {
        kill(c->pid, SIGKILL);
        int st;
        waitpid(c->pid, &st, 0);
        c->status = st;
        c->pid = -1;
    }
    if (c->out_fd >= 0) {
        close(c->out_fd);
        c->out_fd = -1;
    }
    if (c->err_fd >= 0) {
        close(c->err_fd);
        c->err_fd = -1;
    }
    if (c->in_fd >= 0) {
        close(c->in_fd);
        c->in_fd = -1;
    }
}

int run_command(const std::vector<std::string> &argv, std::string *out, std::string *err,
                int timeout_ms)
{
    child_proc c;
    if (!spawn(&c, argv))
        return -1;
    int rc = wait_exit(&c, timeout_ms);
    kill_and_reap(&c);
    if (out)
        *out = c.out;
    if (err)
        *err = c.err;
    return rc;
}
