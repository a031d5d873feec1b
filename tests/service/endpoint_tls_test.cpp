// SOAP endpoint over TLS with client certificates. A throwaway CA, a password-protected
// server key and client certificates are made with the openssl command in a private
// temp directory for each run; nothing secret is kept in the tree.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "service/endpoint.h"
#include "store/store.h"
#include "support/test_support.h"
#include "support/tls_certs.h"

namespace {

std::string g_dir;  // certificates for the whole program

int connect_loopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Bounds every read and write: a refused handshake must fail the client, not hang it.
    timeval tv = {15, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One get-versionInfo over TLS, presenting client certificate name (none when empty).
// Returns the reply, or "" when the handshake or the exchange failed. With stall, only
// half the request is sent, then 4 bytes of a record header; returns "ended" when the
// daemon ends the connection (or 34 s pass).
std::string tls_version_request(int port, const std::string &name, bool stall = false)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx)
        return "";
    SSL_CTX_load_verify_locations(ctx, (g_dir + "/ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (!name.empty()) {
        SSL_CTX_use_certificate_file(ctx, (g_dir + "/" + name + ".pem").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(ctx, (g_dir + "/" + name + ".key").c_str(), SSL_FILETYPE_PEM);
    }
    std::string reply;
    int fd = connect_loopback(port);
    SSL *ssl = fd >= 0 ? SSL_new(ctx) : nullptr;
    if (ssl && SSL_set_fd(ssl, fd) == 1 && SSL_connect(ssl) == 1) {
        std::string body =
            "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
            "<SOAP-ENV:Body><sntr:get-versionInfo xmlns:sntr=\"urn:sntr:gui-connector\"/>"
            "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
        std::string req = "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml\r\n"
                          "Connection: close\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
        char b;
        timeval tv = {34, 0};
        if (stall && SSL_write(ssl, req.data(), static_cast<int>(req.size() / 2)) > 0 &&
            send(fd, "\x17\x03\x03\x00", 4, MSG_NOSIGNAL) == 4 &&
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
            SSL_read(ssl, &b, 1) <= 0)
            reply = "ended";
        // Under TLS 1.3 a refused client certificate shows up only at the first read.
        if (!stall && SSL_write(ssl, req.data(), static_cast<int>(req.size())) > 0) {
            char buf[4096];
            int n;
            while ((n = SSL_read(ssl, buf, sizeof buf)) > 0)
                reply.append(buf, static_cast<size_t>(n));
        }
    }
    ERR_clear_error();
    if (ssl)
        SSL_free(ssl);
    if (fd >= 0)
        close(fd);
    SSL_CTX_free(ctx);
    return reply;
}

bool served(const std::string &reply)
{
    return reply.find("<interface-version>2</interface-version>") != std::string::npos;
}

class EndpointTls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        signal(SIGPIPE, SIG_IGN);
        g_dir = make_temp_dir();
        if (!g_dir.empty() && !make_test_certificates(g_dir))
            g_dir.clear();
    }
    static void TearDownTestSuite()
    {
        if (!g_dir.empty())
            remove_tree(g_dir);
    }
    void SetUp() override
    {
        ASSERT_FALSE(g_dir.empty()) << "certificates could not be made";
        port = free_tcp_port();
        ASSERT_GT(port, 0);
    }
    void TearDown() override
    {
        if (!ep)
            return;
        endpoint_stop(ep);
        store_destroy();
        endpoint_free(ep);
    }
    // Starts an endpoint that requires client certificates; returns its start result.
    int start(const char *password)
    {
        std::string key = g_dir + "/server.pem", ca = g_dir + "/ca.pem";
        ssl_settings s = {};
        s.require_client_auth = 1;
        s.keyfile = const_cast<char *>(key.c_str());
        s.password = const_cast<char *>(password);
        s.cafile = const_cast<char *>(ca.c_str());
        s.sid = const_cast<char *>("sentrel_sid");
        ep = endpoint_new("127.0.0.1", port, &s);
        if (!ep || store_create(endpoint_registry(ep), 0, nullptr) != 0)
            return -100;
        return endpoint_start(ep);
    }
    struct soap_endpoint *ep = nullptr;
    int port = 0;
};

TEST_F(EndpointTls, WrongKeyPasswordFailsTheStart)
{
    EXPECT_EQ(start("wrong"), -1);
    EXPECT_EQ(endpoint_stop(ep), 1);
}

TEST_F(EndpointTls, OnlyClientsOfTheConfiguredCaAreServed)
{
    ASSERT_EQ(start("s3cret"), 0);
    EXPECT_TRUE(served(tls_version_request(port, "good")));
    EXPECT_FALSE(served(tls_version_request(port, "")));
    EXPECT_TRUE(served(tls_version_request(port, "good")));
    EXPECT_FALSE(served(tls_version_request(port, "bad")));
    EXPECT_TRUE(served(tls_version_request(port, "good")));
    EXPECT_EQ(endpoint_stop(ep), 0);
}

TEST_F(EndpointTls, SilentClientDoesNotShutOutLaterClients)
{
    ASSERT_EQ(start("s3cret"), 0);
    // Its handshake waits on a connection thread of its own, not on the accept thread.
    int silent = connect_loopback(port);
    ASSERT_GE(silent, 0);
    EXPECT_TRUE(served(tls_version_request(port, "good")));
    close(silent);
    EXPECT_EQ(endpoint_stop(ep), 0);
}

// Half a request and then the start of a record: the reader's poll saw bytes, and
// SSL_read then waited for the rest of the record, past the 30 s request deadline.
TEST_F(EndpointTls, PartialRecordDoesNotOutlastTheRequestDeadline)
{
    ASSERT_EQ(start("s3cret"), 0);
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(tls_version_request(port, "good", true), "ended");
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(32));
    EXPECT_TRUE(served(tls_version_request(port, "good")));
    EXPECT_EQ(endpoint_stop(ep), 0);
}

TEST_F(EndpointTls, ClientLeavingMidHandshakeDoesNotStopAccepting)
{
    ASSERT_EQ(start("s3cret"), 0);
    int idle = connect_loopback(port);
    ASSERT_GE(idle, 0);
    close(idle);  // its handshake fails at once; accepting must go on
    EXPECT_TRUE(served(tls_version_request(port, "good")));
    EXPECT_EQ(endpoint_stop(ep), 0);
}

}  // namespace
