// The pages of --web on the SOAP port: the metrics page as promtool and a real Prometheus
// read it, and connector-client too, the WSDL that zeep loads from ?wsdl alone, 404 for
// any other path, and 403 under a name the daemon does not answer to.
#include <poll.h>
#include <sys/socket.h>

#include <chrono>

#include "process/soap_daemon.h"

namespace {

constexpr char kPromtool[] = "/usr/bin/promtool";
constexpr char kPrometheus[] = "/usr/bin/prometheus";

class WebPages : public SoapDaemon {
protected:
    // GET path with the given Host (default: the daemon's address); the reply.
    http_reply get(const std::string &path, std::string host = "")
    {
        if (host.empty())
            host = "127.0.0.1:" + std::to_string(port);
        http_conn c;
        http_reply r;
        EXPECT_TRUE(http_connect(&c, port));
        EXPECT_TRUE(http_send_raw(&c, "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n"));
        EXPECT_EQ(http_read_reply(&c, &r, kAnswerMs), HTTP_REPLY) << path;
        return r;
    }

    // The line of sample name in a metrics page, "" when there is none.
    static std::string line_of(const std::string &page, const std::string &name)
    {
        const size_t at = page.find("\n" + name + " ");
        return at == std::string::npos ? "" : page.substr(at + 1, page.find('\n', at + 1) - at - 1);
    }

    // The TYPE lines of a metrics text, in order.
    static std::string families(const std::string &text)
    {
        std::string out;
        for (size_t at = 0; (at = text.find("# TYPE ", at)) != std::string::npos; at++)
            out += text.substr(at, text.find('\n', at) - at + 1);
        return out;
    }

    // promtool, where it is installed, finds nothing wrong with text.
    void expect_promtool_passes(const std::string &text)
    {
        if (access(kPromtool, X_OK) != 0)
            return;
        std::ofstream(dir + "/page.prom") << text;
        std::string out, err;
        EXPECT_EQ(run_command({"/bin/sh", "-c", "exec \"$0\" check metrics < \"$1\"", kPromtool,
                               dir + "/page.prom"},
                              &out, &err),
                  0)
            << out << err << text;
    }
};

TEST_F(WebPages, MetricsNeverDisturbAClientAndPrometheusScrapesThem)
{
    ASSERT_TRUE(start({"--web"}));
    ASSERT_TRUE(
        send_batch("blockedFile S 2 /x\tSig\nblockedFile S 2 /y\tSig\nlogChanged S I 1\n", 3));
    http_conn poll;
    ASSERT_TRUE(post_blocked(&poll, "get-lastScannedFile"));
    for (int i = 0; i < 2; i++) {
        http_reply r = get("/metrics");
        EXPECT_EQ(r.status, 200) << r.head;
        EXPECT_NE(r.head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
        EXPECT_EQ(line_of(r.body, "gui_connector_blocked_file_records_total"),
                  "gui_connector_blocked_file_records_total 2");
        EXPECT_EQ(line_of(r.body, "gui_connector_log_changed"), "gui_connector_log_changed 1");
        EXPECT_EQ(line_of(r.body, "gui_connector_long_polls"), "gui_connector_long_polls 1");
        expect_promtool_passes(r.body);
    }
    // Read, not taken: the client still gets its log-changed notice, and its poll waits on.
    http_conn c;
    EXPECT_EQ(xml_text(call(&c, "get-logChanged"), "log-changed"), "true");
    EXPECT_TRUE(http_silent_for(&poll, kStillBlockedMs)) << poll.in;
    EXPECT_EQ(get("/metrics.txt").status, 404);
    // A header the daemon refuses is refused for a page too, not served.
    EXPECT_EQ(get("/metrics", "127.0.0.1\rb").status, 400);

    if (access(kPrometheus, X_OK) != 0)
        GTEST_SKIP() << "no " << kPrometheus << " (make test installs it)";
    const int prom_port = free_tcp_port();
    std::ofstream(dir + "/prometheus.yml")
        << "global: {scrape_interval: 1s}\nscrape_configs:\n  - job_name: gc\n"
        << "    static_configs: [{targets: ['127.0.0.1:" << port << "']}]\n";
    child_proc prom;
    child_guard g(&prom);
    ASSERT_TRUE(spawn(&prom, {kPrometheus, "--config.file=" + dir + "/prometheus.yml",
                              "--storage.tsdb.path=" + dir + "/tsdb",
                              "--web.listen-address=127.0.0.1:" + std::to_string(prom_port)}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string seen;
    while (seen.find("\"2\"]") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        http_conn q;
        http_reply r;
        if (http_connect(&q, prom_port, 200) &&
            http_send_raw(&q, "GET /api/v1/query?query=gui_connector_blocked_file_records_total "
                              "HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n") &&
            http_read_reply(&q, &r, kAnswerMs) == HTTP_REPLY)
            seen = r.body;
        drain(&prom, 200);
    }
    EXPECT_NE(seen.find("\"2\"]"), std::string::npos) << seen << "\n" << tail(prom.err);
}

// A name rebound to this host reads no page: only the address the daemon was reached on
// and the hosts of allowed origins are answered.
TEST_F(WebPages, WsdlCarriesTheAddressAskedForAndZeepLoadsIt)
{
    ASSERT_TRUE(start({"--web", "--allow-origin", "http://gui.example:8080"}));
    const std::string here = "127.0.0.1:" + std::to_string(port);
    for (const std::string &host : {here, std::string("GUI.example:8080")}) {
        http_reply r = get("/?wsdl", host);
        EXPECT_EQ(count_of(r.body, "address location=\"http://" + host + "/\""), 2) << host;
        for (const char *h : {"Content-Security-Policy: default-src 'self'; frame-ancestors 'none'",
                              "X-Content-Type-Options: nosniff", "Referrer-Policy: no-referrer"})
            EXPECT_NE(r.head.find(h), std::string::npos) << h;
    }
    for (const std::string &host :
         {std::string("gui.example:8081"), "localhost:" + std::to_string(port),
          "[::1]:" + std::to_string(port), std::string("127.0.0.1"), std::string("evil/path")}) {
        http_reply r = get("/?wsdl", host);
        EXPECT_EQ(r.status, 403) << host;
        EXPECT_NE(r.body.find("--allow-origin http://" + host), std::string::npos) << r.body;
    }
    EXPECT_EQ(get("/gui-connector.wsdl").body, get("/?wsdl").body);
    std::string out, err;
    EXPECT_EQ(
        run_command({"/usr/bin/python3", "-m", "zeep", "http://" + here + "/?wsdl"}, &out, &err), 0)
        << err;
    EXPECT_NE(out.find("get-blockedFile2(index: xsd:unsignedInt"), std::string::npos) << out;
}

// With the page there, connector-client metrics takes the count from it: five reads and
// no probe of the ring, no registration, no request left waiting. Both exports write the
// same families, and a scanner's count below 0 as 0: Prometheus reads a fall as a reset.
TEST_F(WebPages, ConnectorClientCountsFromThePageWithoutProbing)
{
    ASSERT_TRUE(start({"--web"}));
    ASSERT_TRUE(
        send_batch("scannedFiles S Z -5\nblockedCount S Z -1\nblockedFile S 2 /x\tSig\n", 3));
    std::string out, err;
    ASSERT_EQ(run_command({build_path("connector-client"), "-h",
                           "127.0.0.1:" + std::to_string(port), "metrics"},
                          &out, &err),
              0)
        << err;
    EXPECT_EQ(line_of(out, "gui_connector_blocked_file_records_total"),
              "gui_connector_blocked_file_records_total 1");
    const std::string page = get("/metrics").body;
    EXPECT_EQ(line_of(page, "gui_connector_soap_requests_total"),
              "gui_connector_soap_requests_total 5");
    EXPECT_EQ(families(out), families(page));
    for (const std::string &text : {out, page}) {
        EXPECT_EQ(line_of(text, "gui_connector_scanned_files_total"),
                  "gui_connector_scanned_files_total 0");
        expect_promtool_passes(text);
    }
}

// The dashboard's data: /api/state holds the whole ring with arrival times and names as
// their owners wrote them; /events sends what comes next, and a client that resumes gets
// first what it missed that the ring still holds, in order, but only from its own run.
TEST_F(WebPages, StateAndEventStreamCarryTheRing)
{
    ASSERT_TRUE(start({"--web"}));
    std::string batch;
    for (int i = 0; i < 1030; i++)
        batch += "blockedFile S 2 /f" + std::to_string(i) + "\tSig\n";
    ASSERT_TRUE(send_batch(batch + "blockedFile S 2 /Pr\\xc3\\xa4s\tSig\n"
                                   "blockedFile S 2 /\\xe9t\\xe9\tSig\n",
                           1032));
    const std::string state = get("/api/state").body;
    EXPECT_EQ(count_of(state, "{\"index\":"), 1024);
    EXPECT_NE(state.find("[{\"index\":8,\"at\":"), std::string::npos) << state.substr(0, 300);
    EXPECT_NE(state.find("\"object\":\"/Pr\xc3\xa4s\""), std::string::npos);
    EXPECT_NE(state.find("\"object\":\"/\\u00e9t\\u00e9\""), std::string::npos);
    EXPECT_NE(state.find("\"next\":1032}"), std::string::npos);
    const size_t at = state.find("\"instance\":\"") + 12;
    const std::string instance = state.substr(at, 16);

    // Reads c until want has come, or 5 s have passed; returns what came.
    auto read_until = [](http_conn *c, const std::string &want) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (c->in.find(want) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{c->fd, POLLIN, 0};
            char buf[4096];
            const ssize_t n = poll(&p, 1, 100) == 1 ? recv(c->fd, buf, sizeof buf, 0) : 0;
            if (n > 0)
                c->in.append(buf, static_cast<size_t>(n));
        }
        return c->in;
    };
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    http_conn resumed, other_run;
    ASSERT_TRUE(http_connect(&resumed, port) && http_connect(&other_run, port));
    ASSERT_TRUE(http_send_raw(&resumed, "GET /events HTTP/1.1\r\n" + host +
                                            "Last-Event-ID: " + instance + ":1029\r\n\r\n"));
    ASSERT_TRUE(http_send_raw(&other_run, "GET /events?last=0123456789abcdef:1029 HTTP/1.1\r\n" +
                                              host + "\r\n"));
    read_until(&resumed, ":1031\n");
    read_until(&other_run, "event: hello");
    ASSERT_TRUE(send_batch("blockedFile S 2 /new\tSig\n", 1));
    const std::string next = "id: " + instance + ":1032\nevent: blocked\ndata: {\"index\":1032,";
    for (http_conn *c : {&resumed, &other_run}) {
        const std::string got = read_until(c, next);
        EXPECT_NE(got.find("Content-Type: text/event-stream"), std::string::npos) << got;
        EXPECT_NE(got.find("event: hello\ndata: {\"instance\":\"" + instance + "\",\"next\":1032}"),
                  std::string::npos)
            << got;
        EXPECT_NE(got.find(next), std::string::npos) << got;
        EXPECT_EQ(count_of(got, "event: blocked"), c == &resumed ? 3 : 1) << got;
    }
    EXPECT_LT(resumed.in.find(":1030\n"), resumed.in.find(":1031\n")) << resumed.in;
}

}  // namespace
