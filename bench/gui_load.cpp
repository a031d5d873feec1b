// Intake under GUI load, for one daemon process: sends lastScannedFile records through
// the status channel for SECONDS, flat out (RATE 0) or RATE a second on an absolute
// schedule, with one blocked-file record after every 1,000, while CLIENTS kept-alive
// connections loop on get-lastScannedFile: each asks again the moment it is answered, and
// opens a new connection when the server ends one. It prints one line:
//   sent <records> blocked <of them blocked files> secs <sending time> answers <answers>
//   intake_cpu <CPU seconds of the server's main thread while sending>
// Every wait is bounded; a step that times out ends it with status 1.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <atomic>
#include <thread>

#include "bench/load_common.h"
#include "intake/channel.h"

using namespace status_msg;

namespace {

constexpr int kMaxClients = 1000;
constexpr double kStepTimeout = 20.0;
constexpr size_t kReplyRoom = 4096;
constexpr long kBlockedEvery = 1000;  // lastScannedFile records between two blocked files

struct client {
    int fd;
    int connecting;  // a new connection's connect is under way
    size_t got;
    char buf[kReplyRoom];
};

struct poller {
    struct client *c;
    int n;
    int port;
    int ep;
    char req[1024];
    int rlen;
    std::atomic<int> stop{0};
    std::atomic<long> answers{0};
    long reconnects;
};

// CPU seconds (user + system) thread tid of pid has used.
double thread_cpu(int pid, int tid)
{
    char path[96];
    snprintf(path, sizeof path, "/proc/%d/task/%d/stat", pid, tid);
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char line[1024];
    const char *fields = fgets(line, sizeof line, f) ? strrchr(line, ')') : nullptr;
    fclose(f);
    unsigned long ut = 0, st = 0;
    // After the name: state, then 10 fields up to utime (14th of the line) and stime.
    if (!fields ||
        sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) != 2)
        return -1;
    return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Opens a new connection for c without waiting for it; the poll goes out once it is up.
// Each client does this on its own, as GUIs do, so a connect that waits for the server's
// backlog holds up no other client.
void reopen(struct poller *p, struct client *c)
{
    if (c->fd >= 0)
        close(c->fd);
    p->reconnects++;
    c->got = 0;
    c->connecting = 1;
    c->fd = load_connect(p->port, 1);
    if (c->fd < 0)
        return;
    struct epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.ptr = c;
    epoll_ctl(p->ep, EPOLL_CTL_ADD, c->fd, &ev);
}

// Sends the poll on c's connection; one that fails is opened anew.
void ask(struct poller *p, struct client *c)
{
    if (write(c->fd, p->req, p->rlen) != p->rlen)
        reopen(p, c);
}

void on_connected(struct poller *p, struct client *c, uint32_t events)
{
    int err = 0;
    socklen_t len = sizeof err;
    if ((events & (EPOLLERR | EPOLLHUP)) ||
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        reopen(p, c);
        return;
    }
    c->connecting = 0;
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.ptr = c;
    epoll_ctl(p->ep, EPOLL_CTL_MOD, c->fd, &ev);
    ask(p, c);
}

// Reads what c's connection has; counts each whole reply and asks again at once.
void on_readable(struct poller *p, struct client *c)
{
    const ssize_t r = read(c->fd, c->buf + c->got, kReplyRoom - c->got);
    if (r < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (r <= 0) {
        // The server ends a kept-alive connection after so many requests: a client then
        // opens another, as a GUI would.
        reopen(p, c);
        return;
    }
    c->got += static_cast<size_t>(r);
    size_t whole;
    while ((whole = load_reply_length(c->buf, c->got)) > 0) {
        p->answers.fetch_add(1, std::memory_order_relaxed);
        memmove(c->buf, c->buf + whole, c->got - whole);
        c->got -= whole;
        ask(p, c);
    }
    if (c->got == kReplyRoom) {
        fputs("gui-load: reply too long\n", stderr);
        exit(1);
    }
}

void poll_loop(struct poller *p)
{
    struct epoll_event evs[64];
    while (!p->stop.load()) {
        const int k = epoll_wait(p->ep, evs, 64, 50);
        for (int j = 0; j < k; ++j) {
            struct client *c = static_cast<struct client *>(evs[j].data.ptr);
            if (c->connecting)
                on_connected(p, c, evs[j].events);
            else
                on_readable(p, c);
        }
    }
}

struct sender {
    channel *ch;
    unsigned char scanned[kSize];
    unsigned char blocked[kSize];
    long sent;
    long blocked_sent;
    long failed;
};

// Sends the next record: every (kBlockedEvery + 1)-th a blocked file, numbered.
void send_one(struct sender *s)
{
    unsigned char *msg = s->scanned;
    char path[64];
    if (s->sent % (kBlockedEvery + 1) == kBlockedEvery) {
        snprintf(path, sizeof path, "/blocked/%ld", s->blocked_sent);
        load_put_slot(s->blocked, kSlotAOff, path);
        msg = s->blocked;
    } else {
        snprintf(path, sizeof path, "/scanned/%ld", s->sent);
        load_put_slot(s->scanned, kSlotAOff, path);
    }
    if (channel_send(s->ch, msg, kBodySize, 0, nullptr) != 0) {
        s->failed++;
        return;
    }
    if (msg == s->blocked)
        s->blocked_sent++;
    s->sent++;
}

// Sends for secs seconds, flat out (rate 0) or rate a second on an absolute schedule, so
// that a sender that fell behind catches up in a burst.
void send_for(struct sender *s, long rate, double secs)
{
    const double t0 = load_now(), end = t0 + secs;
    for (;;) {
        const double t = load_now();
        if (t >= end)
            return;
        if (rate == 0) {
            for (int i = 0; i < 256; i++)
                send_one(s);
            continue;
        }
        const long due = static_cast<long>((t - t0) * static_cast<double>(rate));
        if (s->sent + s->failed >= due) {
            struct timespec pause = {0, 50000};
            nanosleep(&pause, nullptr);
        }
        while (s->sent + s->failed < due)
            send_one(s);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 8) {
        fputs("usage: gui-load PORT PID DIR udp|msgq RATE SECONDS CLIENTS\n", stderr);
        return 2;
    }
    const int port = atoi(argv[1]), pid = atoi(argv[2]);
    const char *dir = argv[3], *transport = argv[4];
    const long rate = atol(argv[5]);
    const double secs = atof(argv[6]);
    const int n = atoi(argv[7]);
    if (n < 0 || n > kMaxClients || rate < 0 || secs <= 0)
        return 2;
    signal(SIGPIPE, SIG_IGN);
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);

    static struct sender s;
    channel_set_transport_enabled(strcmp(transport, "msgq") == 0 ? CHANNEL_UDP : CHANNEL_MSGQ, 0);
    if (channel_open(&s.ch, dir, kProjectId, 0600, 0) != 0) {
        perror("status channel");
        return 1;
    }
    load_record(s.scanned, "scanned", "/scanned/0");
    load_record(s.blocked, "blocked", "/blocked/0");

    static struct poller p;
    static struct client c[kMaxClients];
    static int fds[kMaxClients];
    p.c = c;
    p.n = n;
    p.port = port;
    p.rlen = load_request(p.req, sizeof p.req, port, "scanned");
    p.ep = epoll_create1(0);
    if (load_open_all(fds, n, port, pid, kStepTimeout) != 0) {
        fputs("gui-load: connections not all accepted\n", stderr);
        return 1;
    }
    for (int i = 0; i < n; ++i) {
        c[i].fd = fds[i];
        fcntl(c[i].fd, F_SETFL, O_NONBLOCK);
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.ptr = &c[i];
        epoll_ctl(p.ep, EPOLL_CTL_ADD, c[i].fd, &ev);
        if (write(c[i].fd, p.req, p.rlen) != p.rlen) {
            fputs("gui-load: first poll not sent\n", stderr);
            return 1;
        }
    }
    std::thread polling(poll_loop, &p);

    const double cpu0 = thread_cpu(pid, pid);
    const double t0 = load_now();
    send_for(&s, rate, secs);
    const double t1 = load_now();
    const double cpu1 = thread_cpu(pid, pid);
    const long answers = p.answers.load();
    p.stop.store(1);
    polling.join();
    printf("sent %ld blocked %ld secs %.3f answers %ld intake_cpu %.3f failed %ld reconnects "
           "%ld\n",
           s.sent, s.blocked_sent, t1 - t0, answers, cpu1 - cpu0, s.failed, p.reconnects);
    for (int i = 0; i < n; ++i)
        if (c[i].fd >= 0)
            close(c[i].fd);
    close(p.ep);
    channel_close(&s.ch, 0);
    return 0;
}
