// SOAP endpoint over real loopback sockets: start and stop in every state, stopping
// with connections that are idle or blocked in a long poll, and a stop racing many
// short-lived clients. Every network wait is bounded.
#include "service/endpoint.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "registry/conn_registry.h"
#include "service/endpoint_internal.h"
#include "store/registry_harness.h"
#include "store/store.h"
#include "support/test_support.h"

namespace {

std::string soap_request(const std::string &op)
{
    std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
        "<SOAP-ENV:Body><sntr:" +
        op +
        " xmlns:sntr=\"urn:sntr:gui-connector\"/>"
        "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
    return "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml; charset=utf-8\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

int connect_to(int family, const char *addr, int port)
{
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A full backlog drops the SYN and a plain connect retries for a second or more.
    timeval tv = {0, 300000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_storage ss = {};
    socklen_t len;
    if (family == AF_INET) {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, addr, &a->sin_addr);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, addr, &a->sin6_addr);
        len = sizeof *a;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the peer closes, a complete HTTP response (by Content-Length) arrived, or
// ms passed. *eof tells whether the peer closed.
std::string read_response(int fd, int ms, bool *eof = nullptr)
{
    std::string out;
    if (eof)
        *eof = false;
    timespec end = deadline_after(ms);
    for (;;) {
        size_t hdr = out.find("\r\n\r\n");
        if (hdr != std::string::npos) {
            size_t cl = out.find("Content-Length: ");
            if (cl != std::string::npos && cl < hdr &&
                out.size() >= hdr + 4 + std::stoul(out.substr(cl + 16)))
                return out;
        }
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        long left = (end.tv_sec - now.tv_sec) * 1000 + (end.tv_nsec - now.tv_nsec) / 1000000;
        pollfd pfd = {fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0)
            return out;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (eof)
                *eof = true;
            return out;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

bool send_all(int fd, const std::string &s)
{
    return send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
}

// One get-versionInfo round trip on a fresh connection; true when answered properly.
bool version_round_trip(int family, const char *addr, int port)
{
    int fd = connect_to(family, addr, port);
    if (fd < 0)
        return false;
    bool ok = send_all(fd, soap_request("get-versionInfo")) &&
              read_response(fd, kPromptMs).find("<interface-version>2</interface-version>") !=
                  std::string::npos;
    close(fd);
    return ok;
}

// A sanitizer runtime may start a helper thread of its own at the first thread creation
// in the process; one thread made and joined before the first baseline lets it appear
// before anything is counted. A joined thread can stay listed in /proc for a moment
// after the join returns, so the baseline waits for it to leave the list.
void settle_runtime_threads()
{
    static const bool settled = [] {
        pid_t tid = 0;
        std::thread([&tid] { tid = static_cast<pid_t>(syscall(SYS_gettid)); }).join();
        const std::string entry = "/proc/self/task/" + std::to_string(tid);
        return poll_until([&] { return access(entry.c_str(), F_OK) != 0; }, kPromptMs);
    }();
    (void)settled;
}

int thread_count()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                n++;
        closedir(d);
    }
    return n;
}

// Every close in this program passes here. A trap set on one descriptor number holds the
// thread that closes it right after the close, until the test lets it go: the moment in
// which that number can go to a new connection.
std::atomic<int> g_trap_fd{-1};
std::atomic<bool> g_trapped{false}, g_release{false};

// The daemon's end of the client socket fd, found by its peer's port; -1 if none.
int server_end(int fd)
{
    sockaddr_in mine = {}, peer = {};
    socklen_t len = sizeof mine;
    getsockname(fd, reinterpret_cast<sockaddr *>(&mine), &len);
    for (int s = 0; s < 1024; s++) {
        len = sizeof peer;
        if (s != fd && getpeername(s, reinterpret_cast<sockaddr *>(&peer), &len) == 0 &&
            peer.sin_port == mine.sin_port)
            return s;
    }
    return -1;
}

}  // namespace

extern "C" int close(int fd)
{
    const int rc = static_cast<int>(syscall(SYS_close, fd));
    int want = fd;
    if (fd >= 0 && g_trap_fd.compare_exchange_strong(want, -1)) {
        g_trapped = true;
        (void)poll_until([] { return g_release.load(); }, kPromptMs);
    }
    return rc;
}

namespace {

class EndpointTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        settle_runtime_threads();
        baseline = thread_count();
        port = free_tcp_port();
        ASSERT_GT(port, 0);
    }
    void TearDown() override
    {
        if (ep) {
            endpoint_stop(ep);
            store_destroy();
            endpoint_free(ep);
        }
        // Detached connection threads finish exiting just after they deregister.
        EXPECT_TRUE(poll_until([&] { return thread_count() == baseline; }, kPromptMs));
    }
    void make(const char *host)
    {
        ep = endpoint_new(host, port, nullptr);
        ASSERT_NE(ep, nullptr);
        ASSERT_EQ(store_create(endpoint_registry(ep), 0, nullptr), 0);
    }
    int registered() { return conn_registry_count(ep->registry); }
    struct soap_endpoint *ep = nullptr;
    int port = 0;
    int baseline = 0;
};

TEST_F(EndpointTest, StartAndStopInEveryState)
{
    EXPECT_EQ(endpoint_start(nullptr), -1);
    EXPECT_EQ(endpoint_stop(nullptr), -1);
    endpoint_free(nullptr);
    make("127.0.0.1");
    EXPECT_EQ(endpoint_stop(ep), 1);  // before start
    ASSERT_EQ(endpoint_start(ep), 0);
    EXPECT_EQ(endpoint_start(ep), 1);  // already running, even before it set running
    EXPECT_TRUE(version_round_trip(AF_INET, "127.0.0.1", port));
    EXPECT_EQ(endpoint_stop(ep), 0);
    EXPECT_EQ(registered(), 0);
    EXPECT_EQ(endpoint_stop(ep), 1);
    EXPECT_EQ(connect_to(AF_INET, "127.0.0.1", port), -1);  // listening socket closed
    // Stopped is the same as created: it starts again on the same port.
    ASSERT_EQ(endpoint_start(ep), 0);
    EXPECT_TRUE(version_round_trip(AF_INET, "127.0.0.1", port));
    EXPECT_EQ(endpoint_stop(ep), 0);
}

TEST_F(EndpointTest, BusyPortFailsCleanlyAndCanBeRetried)
{
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    make("127.0.0.1");
    const int made = thread_count();  // with the registry's waker, the endpoint's from its start
    EXPECT_EQ(endpoint_start(ep), -2);
    EXPECT_EQ(thread_count(), made);
    EXPECT_EQ(endpoint_stop(ep), 1);
    close(blocker);
    ASSERT_EQ(endpoint_start(ep), 0);
    EXPECT_TRUE(version_round_trip(AF_INET, "127.0.0.1", port));
}

TEST_F(EndpointTest, StopWhenBoundToAllAddresses)
{
    make(nullptr);
    ASSERT_EQ(endpoint_start(ep), 0);
    EXPECT_TRUE(version_round_trip(AF_INET, "127.0.0.1", port));
    EXPECT_EQ(endpoint_stop(ep), 0);
}

TEST_F(EndpointTest, StopWhenBoundToIpv6Loopback)
{
    int probe = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool have_v6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (probe >= 0)
        close(probe);
    if (!have_v6)
        GTEST_SKIP() << "no IPv6 loopback";
    make("::1");
    ASSERT_EQ(endpoint_start(ep), 0);
    EXPECT_TRUE(version_round_trip(AF_INET6, "::1", port));
    EXPECT_EQ(endpoint_stop(ep), 0);
}

TEST_F(EndpointTest, StopEndsIdleAndLongPollingConnectionsWithoutAnswers)
{
    make("127.0.0.1");
    ASSERT_EQ(endpoint_start(ep), 0);
    int idle = connect_to(AF_INET, "127.0.0.1", port);
    int polling = connect_to(AF_INET, "127.0.0.1", port);
    ASSERT_GE(idle, 0);
    ASSERT_GE(polling, 0);
    ASSERT_TRUE(send_all(polling, soap_request("get-lastBlockedFile")));
    ASSERT_TRUE(poll_until([&] { return registered() == 2; }, kPromptMs));
    // The long poll is really blocked: nothing comes back.
    EXPECT_EQ(read_response(polling, kStillBlockedMs), "");
    EXPECT_EQ(endpoint_stop(ep), 0);
    EXPECT_EQ(registered(), 0);
    bool eof = false;
    EXPECT_EQ(read_response(polling, kPromptMs, &eof), "");
    EXPECT_TRUE(eof);
    EXPECT_EQ(read_response(idle, kPromptMs, &eof), "");
    EXPECT_TRUE(eof);
    close(idle);
    close(polling);
}

TEST_F(EndpointTest, UnregisterClientEndsTheConnectionItNames)
{
    make("127.0.0.1");
    ASSERT_EQ(endpoint_start(ep), 0);
    int polling = connect_to(AF_INET, "127.0.0.1", port);
    ASSERT_GE(polling, 0);
    ASSERT_TRUE(send_all(polling, soap_request("register-client")));
    std::string reply = read_response(polling, kPromptMs);
    size_t at = reply.find("<id>");
    ASSERT_NE(at, std::string::npos) << reply;
    std::string id = reply.substr(at + 4, reply.find("</id>") - at - 4);
    ASSERT_TRUE(send_all(polling, soap_request("get-lastBlockedFile")));
    EXPECT_EQ(read_response(polling, kStillBlockedMs), "");
    EXPECT_EQ(store_unregister_client(std::stoul(id)), 0);
    bool eof = false;
    EXPECT_EQ(read_response(polling, kPromptMs, &eof), "");
    EXPECT_TRUE(eof);
    EXPECT_TRUE(poll_until([&] { return registered() == 0; }, kPromptMs));
    close(polling);
}

// The serve loop used to close a connection's descriptor before its thread retired the
// client id: a new connection given the same number meanwhile was shut down by an
// unregister-client for the old id.
TEST_F(EndpointTest, UnregisterClientOfAnEndingConnectionSparesTheNextOne)
{
    make("127.0.0.1");
    ASSERT_EQ(endpoint_start(ep), 0);
    int a = connect_to(AF_INET, "127.0.0.1", port);
    ASSERT_TRUE(send_all(a, soap_request("register-client")));
    std::string reply = read_response(a, kPromptMs);
    ASSERT_NE(reply.find("<id>"), std::string::npos) << reply;
    const unsigned long id = std::stoul(reply.substr(reply.find("<id>") + 4));
    const int number = server_end(a);
    ASSERT_GE(number, 0);
    // Made now, so that the number freed below goes to the daemon's end of one of them.
    std::vector<int> next;
    for (int i = 0; i < 4; i++)
        next.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    g_trapped = g_release = false;
    g_trap_fd = number;
    ASSERT_TRUE(send_all(a, soap_request("get-everything")));  // a fault ends the connection
    ASSERT_TRUE(poll_until([] { return g_trapped.load(); }, kPromptMs));
    size_t used = 0;
    for (bool reused = false; !reused; used++) {
        ASSERT_LT(used, next.size()) << "the freed number went to none of them";
        ASSERT_EQ(connect(next[used], reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
        ASSERT_TRUE(
            poll_until([&] { return registered() == static_cast<int>(used) + 2; }, kPromptMs));
        reused = server_end(next[used]) == number;
    }
    (void)store_unregister_client(id);
    g_release = true;
    for (size_t i = 0; i < used; i++) {
        ASSERT_TRUE(send_all(next[i], soap_request("get-versionInfo")));
        EXPECT_NE(read_response(next[i], kPromptMs).find("interface-version"), std::string::npos);
    }
    for (int b : next)
        close(b);
    close(a);
}

// Clients connect, ask, and leave (some mid-request) while the endpoint stops; repeated
// so that the stop meets connections in every stage of their life.
TEST_F(EndpointTest, StopRacingManyShortLivedClients)
{
    make("127.0.0.1");
    for (int round = 0; round < 15; round++) {
        ASSERT_EQ(endpoint_start(ep), 0) << "round " << round;
        std::atomic<int> stop{0}, served{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < 6; c++) {
            clients.emplace_back([&, c] {
                for (int i = 0; !stop.load(); i++) {
                    int fd = connect_to(AF_INET, "127.0.0.1", port);
                    if (fd < 0)
                        continue;
                    std::string req =
                        soap_request(c % 3 == 0 ? "get-lastScannedFile" : "get-versionInfo");
                    // Some leave half-way through their request.
                    if (i % 4 == 3)
                        req.resize(req.size() / 2);
                    if (send_all(fd, req) && i % 4 != 3 && c % 3 != 0 &&
                        read_response(fd, 500).find("interface-version") != std::string::npos)
                        served++;
                    close(fd);
                }
            });
        }
        ASSERT_TRUE(poll_until([&] { return served.load() >= 5; }, kPromptMs));
        EXPECT_EQ(endpoint_stop(ep), 0);
        EXPECT_EQ(registered(), 0);
        stop.store(1);
        for (auto &t : clients)
            t.join();
    }
}

}  // namespace
