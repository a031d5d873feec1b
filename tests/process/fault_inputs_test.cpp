// Hostile clients against a real daemon: malformed and oversized requests, connections
// that never speak (in plain HTTP and in the TLS handshake), and a standard error that is
// closed. Each must cost the daemon at most the one connection involved; every test ends
// by reading the service back, exactly.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <future>

#include "process/fault_daemon.h"

namespace {

class FaultInputs : public FaultDaemon {
protected:
    // Sends bytes on a fresh connection (stopping early if the daemon cuts it off) and
    // reads what comes back. The daemon must answer with a fault or close; hanging up on
    // such input is fine, staying silent on it is not.
    void expect_refused(const std::string &what, const std::string &bytes)
    {
        http_conn c;
        ASSERT_TRUE(http_connect(&c, port)) << what;
        (void)http_send_raw(&c, bytes);
        http_reply r;
        http_read_result rc = http_read_reply(&c, &r, 20000);
        if (rc == HTTP_REPLY) {
            EXPECT_GE(r.status, 400) << what << "\n" << r.head;
            EXPECT_NE(r.body.find("Fault>"), std::string::npos) << what << "\n" << r.body;
            EXPECT_FALSE(r.keep_alive) << what << "\n" << r.head;
        } else {
            EXPECT_NE(rc, HTTP_TIMEOUT) << what << ": neither an answer nor a close";
        }
        tried++;
    }

    // Posts a 100 MB envelope whose request element holds open, then 1 MB blocks of
    // digits, then close; a writer thread sends it so that the daemon may answer (or cut
    // the connection) at any point. Expects the given status.
    void expect_huge_body(const std::string &open, const std::string &close, int status)
    {
        http_conn c;
        ASSERT_TRUE(http_connect(&c, port));
        const size_t total = 100u << 20;
        std::string start = "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" +
                            std::string(kSoap11EnvNs) + "\" xmlns:sntr=\"" + kServiceNs +
                            "\"><SOAP-ENV:Body>" + open;
        std::string end = close + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
        std::string head = "POST / HTTP/1.1\r\nHost: h\r\nContent-Type: text/xml\r\n"
                           "Content-Length: " + std::to_string(total) + "\r\n\r\n" + start;
        int fd = c.fd;
        auto writer = std::async(std::launch::async, [fd, head, start, end, total] {
            std::string block(1 << 20, '7');
            size_t fill = total - start.size() - end.size();
            if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) < 0)
                return;
            while (fill > 0) {
                ssize_t w = ::send(fd, block.data(), std::min(block.size(), fill), MSG_NOSIGNAL);
                if (w <= 0)
                    return;
                fill -= static_cast<size_t>(w);
            }
            (void)::send(fd, end.data(), end.size(), MSG_NOSIGNAL);
        });
        http_reply r;
        http_read_result rc = http_read_reply(&c, &r, 120000);
        ASSERT_EQ(writer.wait_for(std::chrono::seconds(120)), std::future_status::ready);
        EXPECT_EQ(rc, HTTP_REPLY) << "100 MB body in " << open;
        EXPECT_EQ(r.status, status) << r.head;
        tried++;
    }

    // The daemon's peak resident size in KiB.
    int peak_kib() const
    {
        std::ifstream f("/proc/" + std::to_string(daemon.pid) + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.rfind("VmHWM:", 0) == 0)
                return std::stoi(line.substr(6));
        return -1;
    }

    int tried = 0;
};

TEST_F(FaultInputs, MalformedAndHostileRequestsCostOnlyTheirConnection)
{
    ASSERT_TRUE(start_quiet());
    ASSERT_TRUE(send_lines("scannedFiles S Z 41\n"));
    ASSERT_TRUE(eventually([&] { return descriptors() > 0; }, 1000));
    const int base_threads = threads(), base_fds = descriptors();

    expect_refused("truncated headers", "POST / HTTP/1.1\r\nHost: x\r\nContent-Le");
    expect_refused("header line without end",
                   "POST / HTTP/1.1\r\nX: " + std::string(100000, 'a') + "\r\n\r\n");
    expect_refused("no envelope", raw_post("<a>not soap</a>"));
    expect_refused("unknown method", raw_post(soap_request("get-everything")));
    expect_refused("known method, other namespace",
                   raw_post("<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" +
                            std::string(kSoap11EnvNs) + "\" xmlns:sntr=\"urn:other\">"
                            "<SOAP-ENV:Body><sntr:ping/></SOAP-ENV:Body></SOAP-ENV:Envelope>"));
    expect_refused("SOAP-ENV child in the body",
                   raw_post(soap_envelope("<SOAP-ENV:Fault><faultcode>x</faultcode>"
                                            "</SOAP-ENV:Fault>")));
    expect_refused("SOAP-ENV envelope in the body",
                   raw_post(soap_envelope(soap_request("ping"))));
    expect_refused("SOAP-ENV child in the request",
                   raw_post(soap_envelope("<sntr:get-blockedFile><SOAP-ENV:Body/>"
                                            "</sntr:get-blockedFile>")));
    expect_refused("header child that must be understood",
                   raw_post(soap_envelope("<sntr:ping/>", 1,
                                          "<x:t xmlns:x=\"urn:x\" SOAP-ENV:mustUnderstand="
                                          "\"1\"/>")));
    std::string deep;
    for (int i = 0; i < 100000; i++)
        deep += "<a>";
    expect_refused("100000 nested elements",
                   raw_post(soap_envelope("<sntr:get-blockedFile2>" + deep)));
    expect_refused("100000 nested elements in the header",
                   raw_post(soap_envelope("<sntr:ping/>", 1, deep)));
    expect_refused("invalid UTF-8 in the method name",
                   raw_post(soap_envelope("<sntr:get-\xff\xfe-versionInfo/>")));
    expect_refused("invalid UTF-8 in a number",
                   raw_post(soap_request("get-blockedFile", "<index>\xc3\x28\xa0</index>")));
    expect_refused("NUL bytes in the envelope",
                   raw_post(soap_envelope(std::string("<sntr:ping>\0\0</sntr:ping>", 25))));
    expect_refused("NUL byte in the header block",
                   std::string("POST / HTTP/1.1\r\nHost: \0x\r\nContent-Length: 5\r\n\r\n<a/>", 52));
    expect_refused("number out of range",
                   raw_post(soap_request("get-blockedFile", "<index>99999999999999999999</index>")));
    expect_refused("negative Content-Length",
                   "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n" + soap_request("ping"));
    expect_refused("chunk size beyond any buffer",
                   "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                   "fffffffffffffff0\r\n<a/>");
    expect_refused("entity declaration",
                   raw_post("<!DOCTYPE a [<!ENTITY e \"x\">]>" + soap_request("ping")));

    // 100 MB bodies, whole envelopes: one enormous unknown child is skipped as it
    // streams by, one enormous number is refused; neither may grow the daemon.
    expect_huge_body("<sntr:get-currentStats><x>", "</x></sntr:get-currentStats>", 200);
    expect_huge_body("<sntr:get-blockedFile><index>", "</index></sntr:get-blockedFile>", 500);
    EXPECT_LT(peak_kib(), 64 * 1024);

    // A Content-Length far beyond what follows: the daemon waits for the rest, as it
    // waits for any slow client, while others are served; the client's leaving ends it.
    {
        http_conn c;
        ASSERT_TRUE(http_connect(&c, port));
        ASSERT_TRUE(http_send_raw(&c, "POST / HTTP/1.1\r\nContent-Type: text/xml\r\n"
                                      "Content-Length: 9223372036854775807\r\n\r\n<a"));
        expect_alive_and_exact(stats_body(41));
        tried++;
    }
    {
        http_conn c;
        ASSERT_TRUE(http_connect(&c, port));
        ASSERT_TRUE(http_send_raw(&c, "POST / HTTP/1.1\r\nContent-Length: "
                                      "184467440737095516160\r\n\r\n"));
        http_reply r;
        http_read_result rc = http_read_reply(&c, &r, 2000);
        EXPECT_NE(rc, HTTP_ERROR);
        tried++;
    }

    // Every connection above is gone from the daemon, and the service is as it was.
    EXPECT_TRUE(settles_to(base_threads, base_fds));
    expect_alive_and_exact(stats_body(41));
    RecordProperty("bad_inputs", tried);
    expect_clean_stop();
}

// 200 connections that never send a byte hold 200 connection threads; meanwhile others
// are served, and the 200 cost nothing once they leave.
TEST_F(FaultInputs, SilentConnectionsDoNotHoldUpOthers)
{
    ASSERT_TRUE(raise_fd_limit(1024));
    ASSERT_TRUE(start_quiet());
    ASSERT_TRUE(send_lines("scannedFiles S Z 7\n"));
    const int base_threads = threads(), base_fds = descriptors();
    std::vector<int> silent;
    for (int i = 0; i < 200; i++) {
        int fd = raw_connect(port);
        ASSERT_GE(fd, 0) << "connection " << i;
        silent.push_back(fd);
    }
    ASSERT_TRUE(eventually([&] { return threads() == base_threads + 200; }, 20000))
        << threads() << " threads";
    for (int i = 0; i < 20; i++) {
        http_conn c;
        EXPECT_EQ(xml_text(call(&c, "get-currentStats"), "scannedFiles"), "7");
    }
    for (int fd : silent)
        close(fd);
    EXPECT_TRUE(settles_to(base_threads, base_fds));
    expect_alive_and_exact(stats_body(7));
    expect_clean_stop();
}

// The TLS handshake used to run on the accept thread: one client that connected and
// stayed silent shut every other client out until the runtime gave up on its handshake,
// and 200 of them shut the service for half an hour.
TEST_F(FaultInputs, SilentTlsHandshakesShutOutOtherClients)
{
    ASSERT_TRUE(raise_fd_limit(1024));
    ASSERT_TRUE(make_tls_files(dir));
    ASSERT_TRUE(spawn(&daemon, {bin, "-U", "-h", "127.0.0.1:" + std::to_string(port), "-d",
                                dir, "-s", dir + "/ca.pem:" + dir + "/server.pem:s3cret"}));
    // Plain requests are refused on a TLS port, so readiness is one TLS exchange.
    ASSERT_TRUE(eventually(
        [&] {
            return tls_version_request(dir, port).find("<interface-version>2<") !=
                   std::string::npos;
        },
        15000));
    const int base_threads = threads(), base_fds = descriptors();
    std::vector<int> silent;
    for (int i = 0; i < 200; i++) {
        int fd = raw_connect(port);
        ASSERT_GE(fd, 0) << "connection " << i;
        silent.push_back(fd);
    }
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; i++)
        EXPECT_NE(tls_version_request(dir, port).find("<interface-version>2<"),
                  std::string::npos) << "client " << i;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    for (int fd : silent)
        close(fd);
    EXPECT_TRUE(settles_to(base_threads, base_fds));
    EXPECT_NE(tls_version_request(dir, port).find("<interface-version>2<"), std::string::npos);
    expect_clean_stop();
}

// Started with descriptor 2 closed, the daemon opened its lock file as descriptor 2,
// and every forwarded command was written into the lock file as if it had succeeded.
// Forwarding must answer its fault instead, and intake and reads must go on.
TEST_F(FaultInputs, ForwardedCommandsWentIntoTheLockFileWhenStandardErrorWasClosed)
{
    std::vector<std::string> args{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&-", bin, "-U", "-h",
                                  "127.0.0.1:" + std::to_string(port), "-d", dir};
    ASSERT_TRUE(spawn(&daemon, args));
    ASSERT_TRUE(wait_ready());
    for (const char *op : {"ping", "reload", "stop"}) {
        http_conn c;
        ASSERT_TRUE(http_connect(&c, port));
        http_reply r;
        ASSERT_EQ(http_call(&c, soap_request(op), &r), HTTP_REPLY) << op;
        EXPECT_EQ(r.status, 500) << op;
        EXPECT_EQ(xml_text(r.body, "faultstring"), "could not forward request") << op;
    }
    std::ifstream lock(bin + ".lck", std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(lock)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "");
    ASSERT_TRUE(send_lines("scannedFiles S Z 3\nscannedFiles I Z 2\n"));
    ASSERT_TRUE(eventually(
        [&] {
            http_conn c;
            http_reply r;
            return http_connect(&c, port) &&
                   http_call(&c, soap_request("get-currentStats"), &r) == HTTP_REPLY &&
                   xml_text(r.body, "scannedFiles") == "5";
        },
        5000));
    expect_alive_and_exact(stats_body(5));
    expect_clean_stop();
}

}  // namespace
