// Fixture for the fault and load tests: the SOAP daemon fixture plus what those tests
// need around it: a quiet daemon (no per-message echo to drain under load), the daemon's
// own thread and descriptor counts read from /proc, connections that leave with a reset,
// raw sockets for hostile bytes, a TLS client (certificates: support/tls_certs.h), and the
// closing check of every test: the daemon still answers, and answers exactly.
#ifndef GC_TESTS_PROCESS_FAULT_DAEMON_H
#define GC_TESTS_PROCESS_FAULT_DAEMON_H

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process/soap_daemon.h"
#include "support/tls_certs.h"

inline std::string raw_post(const std::string &body, const std::string &extra_headers = "")
{
    return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n" + extra_headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Connects to 127.0.0.1:port; -1 on failure. Reads and writes give up after timeout_s.
// Close-on-exec, so that a daemon started later does not inherit the test's sockets.
inline int raw_connect(int port, int timeout_s = 15)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval tv = {timeout_s, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Closes fd with a reset (SO_LINGER 0) instead of an orderly end.
inline void close_with_reset(int fd)
{
    linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

inline void close_all(std::vector<int> *fds)
{
    for (int fd : *fds)
        close(fd);
    fds->clear();
}

// Lifts the soft descriptor limit to the hard one, for tests that hold many sockets (the
// daemon inherits it). False when the hard limit is below need.
inline bool raise_fd_limit(rlim_t need)
{
    rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_max < need)
        return false;
    r.rlim_cur = r.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &r) == 0;
}

// Entries of a /proc directory ("/proc/PID/task", "/proc/PID/fd"); -1 when unreadable.
inline int proc_entries(const std::string &path)
{
    DIR *d = opendir(path.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n;
}

// Polls pred every 10 ms until it holds or ms passed.
inline bool eventually(const std::function<bool()> &pred, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Sends request over TLS with the client certificate from dir and reads until the
// daemon closes or timeout_s passes; everything read, or "" when the handshake or the
// exchange failed.
inline std::string tls_exchange(const std::string &dir, int port, const std::string &request,
                                int timeout_s = 15)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx)
        return "";
    SSL_CTX_load_verify_locations(ctx, (dir + "/ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_use_certificate_file(ctx, (dir + "/good.pem").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, (dir + "/good.key").c_str(), SSL_FILETYPE_PEM);
    std::string reply;
    int fd = raw_connect(port, timeout_s);
    SSL *ssl = fd >= 0 ? SSL_new(ctx) : nullptr;
    if (ssl && SSL_set_fd(ssl, fd) == 1 && SSL_connect(ssl) == 1 &&
        SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
        char buf[4096];
        int n;
        while ((n = SSL_read(ssl, buf, sizeof buf)) > 0)
            reply.append(buf, static_cast<size_t>(n));
    }
    ERR_clear_error();
    if (ssl)
        SSL_free(ssl);
    if (fd >= 0)
        close(fd);
    SSL_CTX_free(ctx);
    return reply;
}

// One get-versionInfo over TLS; the reply or "".
inline std::string tls_version_request(const std::string &dir, int port)
{
    return tls_exchange(dir, port,
                        raw_post(soap_request("get-versionInfo"), "Connection: close\r\n"));
}

class FaultDaemon : public SoapDaemon {
protected:
    // Starts the daemon without -v, with the message queue only unless extra says
    // otherwise, and waits until it answers get-versionInfo.
    ::testing::AssertionResult start_quiet(const std::vector<std::string> &extra = {"-U"})
    {
        std::vector<std::string> args{bin, "-h", "127.0.0.1:" + std::to_string(port), "-d", dir};
        args.insert(args.end(), extra.begin(), extra.end());
        if (!spawn(&daemon, args))
            return ::testing::AssertionFailure() << "cannot start " << bin;
        return wait_ready();
    }

    // Starts the daemon over TLS with the test certificates (queue transport only) and
    // waits until one TLS exchange is answered: plain requests are refused on a TLS port.
    ::testing::AssertionResult start_tls()
    {
        if (!make_test_certificates(dir))
            return ::testing::AssertionFailure() << "cannot make test certificates";
        if (!spawn(&daemon, {bin, "-U", "-h", "127.0.0.1:" + std::to_string(port), "-d", dir, "-s",
                             dir + "/ca.pem:" + dir + "/server.pem:" + kTestServerKeyPassword}))
            return ::testing::AssertionFailure() << "cannot start " << bin;
        if (!eventually(
                [&] {
                    return tls_version_request(dir, port).find("<interface-version>2<") !=
                           std::string::npos;
                },
                15000))
            return ::testing::AssertionFailure() << "no TLS answer; stderr:\n" << daemon.err;
        return ::testing::AssertionSuccess();
    }

    // Waits until a fresh connection reads the get-currentStats member name as value:
    // status messages are applied asynchronously to the sender's exit.
    bool stat_reaches(const std::string &name, const std::string &value, int ms = 5000)
    {
        return eventually(
            [&] {
                http_conn c;
                http_reply r;
                return http_connect(&c, port) &&
                       http_call(&c, soap_request("get-currentStats"), &r) == HTTP_REPLY &&
                       xml_text(r.body, name) == value;
            },
            ms);
    }

    // Waits until a fresh connection gets get-versionInfo answered.
    ::testing::AssertionResult wait_ready(int ms = 15000)
    {
        bool up = eventually(
            [&] {
                drain(&daemon, 0);
                http_conn c;
                http_reply r;
                return http_connect(&c, port, 200) &&
                       http_call(&c, soap_request("get-versionInfo"), &r, 1, 2000) == HTTP_REPLY &&
                       r.status == 200;
            },
            ms);
        if (!up)
            return ::testing::AssertionFailure() << "no answer; stderr:\n" << daemon.err;
        return ::testing::AssertionSuccess();
    }

    // Connections in the daemon's listen queue, from the kernel's table; -1 if not found.
    int listen_queue() const
    {
        char want[8];
        snprintf(want, sizeof want, ":%04X", port);
        std::ifstream f("/proc/net/tcp");
        std::string line, sl, local, remote, st, queues;
        while (std::getline(f, line)) {
            std::istringstream in(line);
            in >> sl >> local >> remote >> st >> queues;
            if (st == "0A" && local.size() > 5 && local.substr(local.size() - 5) == want)
                return std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
        }
        return -1;
    }

    // Opens n connections to the daemon, eight at a time (its listen backlog), waiting
    // after each batch until the daemon runs a thread for every one (with accepted_only,
    // until it has accepted them): a fuller queue makes the kernel drop handshakes, which
    // then crawl in on retransmission timers. Appends them to fds; false when the daemon
    // does not take them within 10 s a batch.
    bool hold_connections(int n, std::vector<int> *fds, bool accepted_only = false)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int base = settled_threads();
        for (int done = 0; done < n;) {
            int batch = std::min(8, n - done);
            for (int i = 0; i < batch; i++) {
                int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                if (fd < 0)
                    return false;
                fds->push_back(fd);
                if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 &&
                    errno != EINPROGRESS)
                    return false;
            }
            done += batch;
            if (!eventually(
                    [&] { return accepted_only ? listen_queue() == 0 : threads() >= base + done; },
                    10000))
                return false;
        }
        for (int fd : *fds)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return true;
    }

    // The daemon's thread count once it has not changed for 200 ms: connection threads
    // of clients that just left are still on their way out for a moment.
    int settled_threads()
    {
        int last = threads(), same_since = 0;
        eventually(
            [&] {
                int now = threads();
                same_since = now == last ? same_since + 1 : 0;
                last = now;
                return same_since >= 20;
            },
            10000);
        return last;
    }

    int threads() const { return proc_entries("/proc/" + std::to_string(daemon.pid) + "/task"); }
    int descriptors() const { return proc_entries("/proc/" + std::to_string(daemon.pid) + "/fd"); }

    // Waits until the daemon is back to the given thread and descriptor counts: every
    // connection it had was released.
    ::testing::AssertionResult settles_to(int thread_count, int fd_count, int ms = 30000)
    {
        if (eventually([&] { return threads() == thread_count && descriptors() == fd_count; }, ms))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "threads " << threads() << " (want " << thread_count << "), descriptors "
               << descriptors() << " (want " << fd_count << ")";
    }

    // The closing check: a fresh connection gets get-versionInfo and get-currentStats
    // answered, the statistics exactly as given.
    void expect_alive_and_exact(const std::string &stats)
    {
        http_conn c;
        EXPECT_EQ(xml_text(call(&c, "get-versionInfo"), "interface-version"), "2");
        EXPECT_EQ(xml_text(call(&c, "get-currentStats"), "SOAP-ENV:Body"), stats);
    }

    // Runs status-send -U -b on lines (one message each) and expects it to end with 0.
    ::testing::AssertionResult send_lines(const std::string &lines, int ms = 60000)
    {
        std::string file = dir + "/lines.txt";
        std::ofstream(file, std::ios::binary) << lines;
        child_proc s;
        child_guard g(&s);
        if (!spawn(&s,
                   {"/bin/sh", "-c", "exec \"$0\" -U -d \"$1\" -b < \"$2\"", sender, dir, file}))
            return ::testing::AssertionFailure() << "cannot start status-send";
        int status = -1;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (status < 0 && std::chrono::steady_clock::now() < end) {
            status = wait_exit(&s, 10);
            drain(&daemon, 0);
        }
        if (status != 0)
            return ::testing::AssertionFailure()
                   << "status-send ended with " << status << ": " << s.err;
        return ::testing::AssertionSuccess();
    }

    static std::string stats_body(long long scanned, long long bytes = 0, long long blocked = 0,
                                  int daemons = 0, int mask = 0)
    {
        return "<sntr:currentStats><numDaemons>" + std::to_string(daemons) +
               "</numDaemons><accessMask>" + std::to_string(mask) + "</accessMask><scannedFiles>" +
               std::to_string(scanned) + "</scannedFiles><scannedBytes>" + std::to_string(bytes) +
               "</scannedBytes><blockedCount>" + std::to_string(blocked) +
               "</blockedCount></sntr:currentStats>";
    }
};

#endif
