// Long-poll fan-out and memory probe for one server process (the daemon or the bare
// gSOAP server). It opens N connections and waits until the server runs a thread for
// each, sends each a long poll and waits until N more threads than before are parked in a
// futex wait, then sends one status record through the status channel, as status-send
// does, and times until the last of the N answers has been read. It prints one line:
//   rss_kb <idle server> <with N idle connections> <with N parked polls> wake_us <t>
// Every wait is bounded; a step that times out ends it with status 1.
#include <dirent.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bench/load_common.h"
#include "intake/channel.h"

using namespace status_msg;

namespace {

constexpr int kMaxConns = 4096;
constexpr double kStepTimeout = 20.0;
constexpr size_t kReplyRoom = 4096;

struct conn {
    int fd;
    size_t got;
    int done;
    char buf[kReplyRoom];
};

// Threads of pid now inside the futex system call: the parked long polls.
int futex_waiters(int pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task", pid);
    DIR *d = opendir(path);
    if (!d)
        return -1;
    int n = 0;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char sp[320];
        snprintf(sp, sizeof sp, "/proc/%d/task/%s/syscall", pid, e->d_name);
        FILE *f = fopen(sp, "r");
        long nr = -1;
        if (f) {
            if (fscanf(f, "%ld", &nr) != 1)
                nr = -1;
            fclose(f);
        }
        if (nr == SYS_futex)
            n++;
    }
    closedir(d);
    return n;
}

int wait_parked(int pid, int want)
{
    double end = load_now() + kStepTimeout;
    while (futex_waiters(pid) < want) {
        if (load_now() > end)
            return -1;
        usleep(1000);
    }
    return 0;
}

// Reads until all n replies are whole. Returns the number of replies that are not
// "200 OK", or -1 on a timeout or a closed connection.
int read_all(struct conn *c, int n)
{
    int ep = epoll_create1(0);
    for (int i = 0; i < n; ++i) {
        fcntl(c[i].fd, F_SETFL, O_NONBLOCK);
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, c[i].fd, &ev);
    }
    int left = n, bad = 0;
    double end = load_now() + kStepTimeout;
    static struct epoll_event evs[256];
    while (left > 0 && load_now() < end) {
        int k = epoll_wait(ep, evs, 256, 100);
        for (int j = 0; j < k; ++j) {
            struct conn *x = &c[evs[j].data.u32];
            ssize_t r = read(x->fd, x->buf + x->got, kReplyRoom - 1 - x->got);
            if (r <= 0) {
                close(ep);
                return -1;
            }
            x->got += static_cast<size_t>(r);
            if (!x->done && load_reply_length(x->buf, x->got) > 0) {
                x->done = 1;
                left--;
                if (strncmp(x->buf, "HTTP/1.1 200 OK", 15) != 0)
                    bad++;
                epoll_ctl(ep, EPOLL_CTL_DEL, x->fd, nullptr);
            }
        }
    }
    close(ep);
    return left > 0 ? -1 : bad;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        fputs("usage: fanout PORT PID N scanned|blocked DIR\n", stderr);
        return 2;
    }
    int port = atoi(argv[1]), pid = atoi(argv[2]), n = atoi(argv[3]);
    const char *op = argv[4], *dir = argv[5];
    if (n < 1 || n > kMaxConns)
        return 2;
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    channel *ch = nullptr;
    channel_set_transport_enabled(CHANNEL_MSGQ, 0);
    if (channel_open(&ch, dir, kProjectId, 0600, 0) != 0) {
        perror("status channel");
        return 1;
    }
    static struct conn c[kMaxConns];
    char req[1024];
    int rlen = load_request(req, sizeof req, port, op);
    unsigned char msg[kSize];
    load_record(msg, op,
                strcmp(op, "blocked") == 0 ? "/home/user/Downloads/setup.exe"
                                           : "/home/user/documents/quarterly-report-2026.pdf");
    long rss0 = load_status_field(pid, "VmRSS:");
    int rc = 1;
    long rss_idle = 0, rss_parked = 0;
    int idle_waiters = 0;
    double t0 = 0, t1 = 0;
    static int fds[kMaxConns];
    const int opened = load_open_all(fds, n, port, pid, kStepTimeout);
    for (int i = 0; i < n; ++i)
        c[i].fd = fds[i];
    if (opened != 0) {
        fputs("fanout: connections not all accepted\n", stderr);
        goto out;
    }
    rss_idle = load_status_field(pid, "VmRSS:");
    // Threads of the server that sleep in a futex anyway (the daemon's waker) are not
    // parked polls.
    idle_waiters = futex_waiters(pid);
    for (int i = 0; i < n; ++i)
        if (write(c[i].fd, req, rlen) != rlen) {
            perror("fanout: request");
            goto out;
        }
    if (wait_parked(pid, idle_waiters + n) != 0) {
        fputs("fanout: long polls not all parked\n", stderr);
        goto out;
    }
    rss_parked = load_status_field(pid, "VmRSS:");
    t0 = load_now();
    if (channel_send(ch, msg, kBodySize, 0, nullptr) != 0) {
        perror("fanout: send");
        goto out;
    }
    rc = read_all(c, n);
    t1 = load_now();
    if (rc != 0) {
        fprintf(stderr, "fanout: %s\n", rc < 0 ? "answers missing" : "answers not 200 OK");
        rc = 1;
        goto out;
    }
    printf("rss_kb %ld %ld %ld wake_us %.0f\n", rss0, rss_idle, rss_parked, (t1 - t0) * 1e6);
out:
    for (int i = 0; i < n; ++i)
        if (c[i].fd > 0)
            close(c[i].fd);
    channel_close(&ch, 0);
    return rc;
}
