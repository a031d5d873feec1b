// Long-poll fan-out and memory probe for one server process (the daemon or the bare
// gSOAP server). It opens N connections and waits until the server runs a thread for
// each, sends each a long poll and waits until N threads are parked in a futex wait,
// then sends one status record through the status channel, as status-send does, and
// times until the last of the N answers has been read. It prints one line:
//   rss_kb <idle server> <with N idle connections> <with N parked polls> wake_us <t>
// Every wait is bounded; a step that times out ends it with status 1.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

#include "intake/channel.h"
#include "intake/status_message.h"

using namespace status_msg;

namespace {

constexpr int kMaxConns = 4096;
constexpr int kInFlight = 4;  // connects ahead of the server's accepted threads
constexpr double kStepTimeout = 20.0;
constexpr size_t kReplyRoom = 4096;

struct conn {
    int fd;
    size_t got;
    int done;
    char buf[kReplyRoom];
};

double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// A field of /proc/PID/status ("Threads:", "VmRSS:") as a number; -1 when absent.
long status_field(int pid, const char *name)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char line[256];
    long v = -1;
    size_t len = strlen(name);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, name, len) == 0) {
            v = strtol(line + len, nullptr, 10);
            break;
        }
    fclose(f);
    return v;
}

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

int wait_threads(int pid, long want)
{
    double end = now() + kStepTimeout;
    while (status_field(pid, "Threads:") < want) {
        if (now() > end)
            return -1;
        usleep(100);
    }
    return 0;
}

int wait_parked(int pid, int want)
{
    double end = now() + kStepTimeout;
    while (futex_waiters(pid) < want) {
        if (now() > end)
            return -1;
        usleep(1000);
    }
    return 0;
}

int connect_one(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Connects n sockets, keeping at most kInFlight ahead of the server's threads: with
// the daemon's listen backlog of 8, a burst would overflow it and stall in SYN retries.
int open_all(struct conn *c, int n, int port, int pid)
{
    long base = status_field(pid, "Threads:");
    for (int i = 0; i < n; ++i) {
        c[i].fd = connect_one(port);
        if (c[i].fd < 0) {
            perror("connect");
            return -1;
        }
        if (i >= kInFlight && wait_threads(pid, base + i + 1 - kInFlight) != 0)
            return -1;
    }
    return wait_threads(pid, base + n);
}

int build_request(char *out, size_t room, int port, const char *op)
{
    char body[512];
    const char *call = strcmp(op, "blocked") == 0
                           ? "<sntr:get-blockedFile2><index>0</index></sntr:get-blockedFile2>"
                           : "<sntr:get-lastScannedFile/>";
    int blen = snprintf(body, sizeof body,
                        "<SOAP-ENV:Envelope"
                        " xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
                        " xmlns:sntr=\"urn:sntr:gui-connector\"><SOAP-ENV:Body>%s"
                        "</SOAP-ENV:Body></SOAP-ENV:Envelope>",
                        call);
    return snprintf(out, room,
                    "POST / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                    "Content-Type: text/xml; charset=utf-8\r\nContent-Length: %d\r\n\r\n%s",
                    port, blen, body);
}

void put_word(unsigned char *msg, size_t off, int32_t v) { memcpy(msg + off, &v, sizeof v); }

void put_slot(unsigned char *msg, size_t slot, const char *s)
{
    uint32_t len = static_cast<uint32_t>(strlen(s));
    memcpy(msg + slot + kSlotLenOff, &len, sizeof len);
    memcpy(msg + slot + kSlotTextOff, s, len + 1);
}

// status-send lastScannedFile S S <path>, or blockedFile S 2 <path> <signature>.
void build_record(unsigned char *msg, const char *op)
{
    memset(msg, 0, kSize);
    put_word(msg, kTypeOff, kType);
    memcpy(msg + kProductOff, kProduct, sizeof kProduct);
    memcpy(msg + kSubsysOff, kSubsys, sizeof kSubsys);
    put_word(msg, kOpOff, kOpSet);
    if (strcmp(op, "blocked") == 0) {
        put_word(msg, kItemOff, 5);
        put_word(msg, kKindOff, kKindTwoStrings);
        put_slot(msg, kSlotAOff, "/home/user/Downloads/setup.exe");
        put_slot(msg, kSlotBOff, "Test.Signature");
    } else {
        put_word(msg, kItemOff, 6);
        put_word(msg, kKindOff, kKindString);
        put_slot(msg, kSlotAOff, "/home/user/documents/quarterly-report-2026.pdf");
    }
}

// True once buf holds a whole reply (headers and Content-Length bytes of body).
int reply_complete(const struct conn *c)
{
    const char *end = static_cast<const char *>(memmem(c->buf, c->got, "\r\n\r\n", 4));
    if (!end)
        return 0;
    const char *cl = static_cast<const char *>(memmem(c->buf, end - c->buf, "Content-Length:", 15));
    long body = cl ? strtol(cl + 15, nullptr, 10) : 0;
    return c->got >= static_cast<size_t>(end + 4 - c->buf + body);
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
    double end = now() + kStepTimeout;
    static struct epoll_event evs[256];
    while (left > 0 && now() < end) {
        int k = epoll_wait(ep, evs, 256, 100);
        for (int j = 0; j < k; ++j) {
            struct conn *x = &c[evs[j].data.u32];
            ssize_t r = read(x->fd, x->buf + x->got, kReplyRoom - 1 - x->got);
            if (r <= 0) {
                close(ep);
                return -1;
            }
            x->got += static_cast<size_t>(r);
            if (!x->done && reply_complete(x)) {
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
    int rlen = build_request(req, sizeof req, port, op);
    unsigned char msg[kSize];
    build_record(msg, op);
    long rss0 = status_field(pid, "VmRSS:");
    int rc = 1;
    long rss_idle = 0, rss_parked = 0;
    double t0 = 0, t1 = 0;
    if (open_all(c, n, port, pid) != 0) {
        fputs("fanout: connections not all accepted\n", stderr);
        goto out;
    }
    rss_idle = status_field(pid, "VmRSS:");
    for (int i = 0; i < n; ++i)
        if (write(c[i].fd, req, rlen) != rlen) {
            perror("fanout: request");
            goto out;
        }
    if (wait_parked(pid, n) != 0) {
        fputs("fanout: long polls not all parked\n", stderr);
        goto out;
    }
    rss_parked = status_field(pid, "VmRSS:");
    t0 = now();
    if (channel_send(ch, msg, kBodySize, 0, nullptr) != 0) {
        perror("fanout: send");
        goto out;
    }
    rc = read_all(c, n);
    t1 = now();
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
