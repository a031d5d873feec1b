// What the bench's load programs (fanout, gui-load) share: the clock, a loopback client
// connection, the SOAP requests they send, the test of a whole reply, and the status
// records status-send would send for a last scanned file and a blocked file. Header only,
// no state.
#ifndef GC_BENCH_LOAD_COMMON_H
#define GC_BENCH_LOAD_COMMON_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "intake/status_message.h"

// Seconds on the monotonic clock.
inline double load_now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// A TCP connection to 127.0.0.1:port without Nagle's delay; -1 on failure. With
// nonblocking set the socket does not block, and the connect may still be under way.
inline int load_connect(int port, int nonblocking = 0)
{
    int fd = socket(AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0 &&
        !(nonblocking && errno == EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

// A field of /proc/PID/status ("Threads:", "VmRSS:") as a number; -1 when absent.
inline long load_status_field(int pid, const char *name)
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

// Waits until server pid runs at least want threads. Returns 0, or -1 after timeout s.
inline int load_wait_threads(int pid, long want, double timeout)
{
    const double end = load_now() + timeout;
    while (load_status_field(pid, "Threads:") < want) {
        if (load_now() > end)
            return -1;
        usleep(100);
    }
    return 0;
}

// Connects fds[0..n-1] to server pid on port, each waited for until the server runs a
// thread for it, keeping at most 4 connects ahead: with the daemon's listen backlog of 8,
// a burst would overflow it and stall in SYN retries. Returns 0, or -1 (fds not opened
// are -1) after a failed connect or timeout s for one step.
inline int load_open_all(int *fds, int n, int port, int pid, double timeout)
{
    constexpr int kInFlight = 4;
    for (int i = 0; i < n; ++i)
        fds[i] = -1;
    const long base = load_status_field(pid, "Threads:");
    for (int i = 0; i < n; ++i) {
        fds[i] = load_connect(port);
        if (fds[i] < 0) {
            perror("connect");
            return -1;
        }
        if (i >= kInFlight && load_wait_threads(pid, base + i + 1 - kInFlight, timeout) != 0)
            return -1;
    }
    return load_wait_threads(pid, base + n, timeout);
}

// The kept-alive HTTP request for get-blockedFile2 with index 0 ("blocked") or
// get-lastScannedFile (anything else). Returns its length.
inline int load_request(char *out, size_t room, int port, const char *op)
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

// The length of the whole reply at the start of buf (headers and Content-Length bytes of
// body), or 0 while it is not all there.
inline size_t load_reply_length(const char *buf, size_t got)
{
    const char *end = static_cast<const char *>(memmem(buf, got, "\r\n\r\n", 4));
    if (!end)
        return 0;
    const char *cl = static_cast<const char *>(memmem(buf, end - buf, "Content-Length:", 15));
    const size_t whole = end + 4 - buf + (cl ? strtoul(cl + 15, nullptr, 10) : 0);
    return got >= whole ? whole : 0;
}

inline void load_put_word(unsigned char *msg, size_t off, int32_t v)
{
    memcpy(msg + off, &v, sizeof v);
}

inline void load_put_slot(unsigned char *msg, size_t slot, const char *s)
{
    uint32_t len = static_cast<uint32_t>(strlen(s));
    memcpy(msg + slot + status_msg::kSlotLenOff, &len, sizeof len);
    memcpy(msg + slot + status_msg::kSlotTextOff, s, len + 1);
}

// status-send blockedFile S 2 <path> <signature> (op "blocked"), or lastScannedFile S S
// <path> (anything else).
inline void load_record(unsigned char *msg, const char *op, const char *path)
{
    using namespace status_msg;
    memset(msg, 0, kSize);
    load_put_word(msg, kTypeOff, kType);
    memcpy(msg + kProductOff, kProduct, sizeof kProduct);
    memcpy(msg + kSubsysOff, kSubsys, sizeof kSubsys);
    load_put_word(msg, kOpOff, kOpSet);
    if (strcmp(op, "blocked") == 0) {
        load_put_word(msg, kItemOff, 5);
        load_put_word(msg, kKindOff, kKindTwoStrings);
        load_put_slot(msg, kSlotAOff, path);
        load_put_slot(msg, kSlotBOff, "Test.Signature");
    } else {
        load_put_word(msg, kItemOff, 6);
        load_put_word(msg, kKindOff, kKindString);
        load_put_slot(msg, kSlotAOff, path);
    }
}

#endif
