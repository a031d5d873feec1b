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

// What the daemon may do with a hostile input.
enum outcome {
    REFUSED,     // a fault that closes the connection, or a close without a reply
    SERVED,      // an ordinary answer: the runtime tolerates the oddity
    WAITS,       // nothing yet: the request is incomplete, as from a slow client
    COMPLEX,     // refused at a bound on attributes or namespaces, before the runtime pays
    ENCODED,     // refused with 415 and a client fault: a compressed body
    MALFORMED,   // refused with 400 and a client fault: framing that reads more than one way
    UNKNOWN_TE,  // refused with 501 and a client fault: a transfer coding other than chunked
    HEAD_ONLY,   // a status and a header, no body
};

// The daemon's CPU time so far, in ms.
long cpu_ms(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; i++)
        if (i >= 14)
            ticks += std::stol(field);
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kCpuSlowdown = 10;
#else
constexpr long kCpuSlowdown = 1;
#endif
// What a refusal may cost the daemon: the request is read and refused before the
// runtime parses anything of it.
constexpr long kRefusalCpuMs = 50 * kCpuSlowdown;

// count copies of prefix + number + suffix: " a0=\"\" a1=\"\"...".
std::string many(int count, const std::string &prefix, const std::string &suffix)
{
    std::string s;
    for (int i = 0; i < count; i++)
        s += prefix + std::to_string(i) + suffix;
    return s;
}

// body in the zlib format (the runtime's "deflate"), in one stored block: no zlib needed.
std::string deflated(const std::string &body)
{
    unsigned a = 1, b = 0;
    for (unsigned char c : body) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    const unsigned n = static_cast<unsigned>(body.size()), sum = b << 16 | a;
    std::string s = {'\x78', '\x01', '\x01', char(n), char(n >> 8), char(~n), char(~n >> 8)};
    return s + body + char(sum >> 24) + char(sum >> 16) + char(sum >> 8) + char(sum);
}

class FaultInputs : public FaultDaemon {
protected:
    // Sends bytes on a fresh connection (stopping early if the daemon cuts it off) and
    // checks what comes back against want; the client then leaves.
    void expect_outcome(const std::string &what, const std::string &bytes, outcome want)
    {
        const long cpu_before = cpu_ms(daemon.pid);
        http_conn c;
        ASSERT_TRUE(http_connect(&c, port)) << what;
        (void)http_send_raw(&c, bytes);
        tried++;
        if (want == WAITS) {
            EXPECT_TRUE(http_silent_for(&c, kStillBlockedMs)) << what << ": " << c.in;
            return;
        }
        http_reply r;
        http_read_result rc = http_read_reply(&c, &r, 20000, want == HEAD_ONLY);
        const int statuses[] = {0, 0, 0, 0, 415, 400, 501, 0};
        if (statuses[want]) {
            ASSERT_EQ(rc, HTTP_REPLY) << what;
            EXPECT_EQ(r.status, statuses[want]) << what << "\n" << r.body;
            EXPECT_EQ(xml_text(r.body, "faultcode"), "SOAP-ENV:Client") << what;
            EXPECT_FALSE(r.keep_alive) << what;
        } else if (want == HEAD_ONLY) {
            ASSERT_EQ(rc, HTTP_REPLY) << what;
            EXPECT_EQ(r.body, "") << what;
            EXPECT_TRUE(http_closed_without_reply(&c, 2000)) << what << ": a body after the header";
        } else if (want == COMPLEX) {
            ASSERT_EQ(rc, HTTP_REPLY) << what;
            EXPECT_EQ(xml_text(r.body, "faultstring"), "request too complex") << what;
        } else if (want == SERVED) {
            ASSERT_EQ(rc, HTTP_REPLY) << what;
            EXPECT_EQ(r.status, 200) << what << "\n" << r.body;
        } else if (rc == HTTP_REPLY) {
            EXPECT_GE(r.status, 400) << what << "\n" << r.head;
            EXPECT_NE(r.body.find("Fault>"), std::string::npos) << what << "\n" << r.body;
            EXPECT_FALSE(r.keep_alive) << what << "\n" << r.head;
        } else {
            EXPECT_EQ(rc, HTTP_CLOSED) << what << ": neither a fault nor a close";
        }
        if (want != SERVED) {
            EXPECT_LT(cpu_ms(daemon.pid) - cpu_before, kRefusalCpuMs) << what;
        }
    }

    // Posts a 100 MB envelope whose request element holds open, then 1 MB blocks of
    // digits, then close; a writer thread sends it so that the daemon may answer (or cut
    // the connection) at any point. Expects the given status.
    void expect_huge_body(const std::string &open, const std::string &close, int status)
    {
        http_conn c;
        c.fd = raw_connect(port);  // blocking: the writer sends without polling
        ASSERT_GE(c.fd, 0);
        const size_t total = 100u << 20;
        std::string start = "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" +
                            std::string(kSoap11EnvNs) + "\" xmlns:sntr=\"" + kServiceNs +
                            "\"><SOAP-ENV:Body>" + open;
        std::string end = close + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
        std::string head = "POST / HTTP/1.1\r\nHost: h\r\nContent-Type: text/xml\r\n"
                           "Content-Length: " +
                           std::to_string(total) + "\r\n\r\n" + start;
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
    const int base_threads = settled_threads(), base_fds = descriptors();

    std::string deep, undeep;
    for (int i = 0; i < 100000; i++) {
        deep += "<a>";
        undeep += "</a>";
    }
    const std::string stats = soap_request("get-currentStats");
    const std::string stats_with = "<sntr:get-currentStats>";
    const std::string stats_end = "</sntr:get-currentStats>";
    const std::string n = std::to_string(stats.size());
    const std::string attrs60k =
        soap_envelope("<sntr:get-versionInfo" + many(60000, " a", "=\"\"") + "/>");
    char hex60k[16];
    snprintf(hex60k, sizeof hex60k, "%zx", attrs60k.size());
    const std::string chunked_head =
        "POST / HTTP/1.1\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string spread;
    for (int e = 0; e < 240; e++)
        spread += "<e" + many(250, " n" + std::to_string(e) + "_", "=\"\"") + "/>";
    spread = soap_envelope(stats_with + spread + stats_end);
    const std::string names40k = many(40000, " a", "");
    const std::string x40k = "<x" + names40k + "/>";
    auto hidden = [&](const std::string &children) {
        return raw_post(soap_envelope(stats_with + children + stats_end));
    };
    const std::string stop_len = std::to_string(raw_post(soap_request("stop")).size());
    auto length_post = [&](const std::string &length) {
        return "POST / HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length:" + length +
               "\r\n\r\n" + stats;
    };
    const struct {
        const char *what;
        std::string bytes;
        outcome want;
    } inputs[] = {
        {"truncated headers", "POST / HTTP/1.1\r\nHost: x\r\nContent-Le", WAITS},
        {"header line of 100000 bytes",
         "POST / HTTP/1.1\r\nX: " + std::string(100000, 'a') + "\r\n\r\n", REFUSED},
        {"body that is not SOAP", raw_post("<a>not soap</a>"), REFUSED},
        {"body that ends inside the envelope", raw_post(stats.substr(0, stats.size() - 9)),
         REFUSED},
        {"attribute without quotes", raw_post(soap_envelope("<sntr:get-versionInfo a=1/>")),
         REFUSED},
        {"attribute given twice",
         raw_post(soap_envelope("<sntr:get-versionInfo a=\"1\" a=\"2\"/>")), REFUSED},
        {"crossed end tags", raw_post(soap_envelope(stats_with + "<a><b></a></b>" + stats_end)),
         REFUSED},
        {"mismatched end tag", raw_post(soap_envelope(stats_with + "<a></b>" + stats_end)),
         REFUSED},
        {"unknown method", raw_post(soap_request("get-everything")), REFUSED},
        {"known method in another namespace",
         raw_post("<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" +
                  std::string(kSoap11EnvNs) +
                  "\" xmlns:sntr=\"urn:other\"><SOAP-ENV:Body>"
                  "<sntr:get-currentStats/></SOAP-ENV:Body></SOAP-ENV:Envelope>"),
         REFUSED},
        {"SOAP-ENV:Fault as the body child",
         raw_post(soap_envelope("<SOAP-ENV:Fault><faultcode>x</faultcode></SOAP-ENV:Fault>")),
         REFUSED},
        {"SOAP-ENV:Envelope as the body child", raw_post(soap_envelope(stats)), REFUSED},
        {"SOAP-ENV:Body inside the request",
         raw_post(soap_envelope("<sntr:get-blockedFile><SOAP-ENV:Body/></sntr:get-blockedFile>")),
         REFUSED},
        {"header child that must be understood",
         raw_post(soap_envelope(stats_with + stats_end, 1,
                                "<x:t xmlns:x=\"urn:x\" SOAP-ENV:mustUnderstand=\"1\"/>")),
         REFUSED},
        {"100000 nested elements as the body child", raw_post(soap_envelope(deep + undeep)),
         REFUSED},
        {"100000 nested elements in a request",
         raw_post(soap_envelope(stats_with + deep + undeep + stats_end)), SERVED},
        {"100000 nested elements in the header",
         raw_post(soap_envelope(stats_with + stats_end, 1, deep + undeep)), SERVED},
        {"invalid UTF-8 in the method name",
         raw_post(soap_envelope("<sntr:get-\xff\xfe-versionInfo/>")), REFUSED},
        {"invalid UTF-8 in a number",
         raw_post(soap_request("get-blockedFile", "<index>\xc3\x28\xa0</index>")), REFUSED},
        {"NUL bytes in a request",
         raw_post(soap_envelope(stats_with + std::string("\0\0", 2) + stats_end)), SERVED},
        {"NUL byte in a header line",
         std::string("POST / HTTP/1.1\r\nHost: \0x\r\nContent-Length: 5\r\n\r\n<a/>", 52), REFUSED},
        {"number out of range",
         raw_post(soap_request("get-blockedFile", "<index>99999999999999999999</index>")), REFUSED},
        {"negative Content-Length (read as 2^64 - 5)",
         "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n" + stats, REFUSED},
        {"Content-Length after 70 zeros", length_post(" " + std::string(70, '0') + n), SERVED},
        {"Content-Length after 70 blanks", length_post(std::string(70, ' ') + n), SERVED},
        {"Content-Length with a sign", length_post(" +" + n), REFUSED},
        {"CR without LF in a header line", length_post(" " + n + "\r1"), REFUSED},
        // The runtime takes this request line for a status and allocates the whole body;
        // its header keys let any byte stand for "-".
        {"request line read as a status, Content/Length 2^50",
         "POST 441\r\nContent/Length: 1125899906842624\r\n\r\n<a/>", REFUSED},
        {"40000 attributes on one element",
         raw_post(soap_envelope("<sntr:get-versionInfo" + many(40000, " a", "=\"\"") + "/>")),
         COMPLEX},
        {"60000 attributes without values",
         raw_post(soap_envelope("<sntr:get-versionInfo" + many(60000, " a", "") + "/>")), COMPLEX},
        {"60000 attributes without quotes",
         raw_post(soap_envelope("<sntr:get-versionInfo" + many(60000, " a", "=x") + "/>")),
         MALFORMED},
        {"40000 attributes after crossed end tags",
         raw_post(soap_envelope(stats_with + "<a><b></a></b><c" + many(40000, " a", "=\"\"") +
                                "/>" + stats_end)),
         COMPLEX},
        {"300 namespace declarations",
         raw_post(
             soap_envelope("<sntr:get-versionInfo" + many(300, " xmlns:n", "=\"urn:n\"") + "/>")),
         COMPLEX},
        {"deflate-coded request", raw_post(deflated(stats), "Content-Encoding: deflate\r\n"),
         ENCODED},
        {"gzip-coded request", raw_post(stats, "Content-Encoding: gzip\r\n"), ENCODED},
        {"gzip-coded, Content_Encoding", raw_post(stats, "Content_Encoding: gzip\r\n"), MALFORMED},
        {"chunk size beyond any buffer",
         "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffff0\r\n<a/>", REFUSED},
        {"document type declaration", raw_post("<!DOCTYPE a [<!ENTITY e \"x\">]>" + stats), SERVED},
        // Each of these the runtime read otherwise than the request reader did, and so
        // parsed a body no bound had seen.
        {"an envelope with no request line", attrs60k, MALFORMED},
        {"a gzip stream with no HTTP", std::string("\x1f\x8b\x08\x00", 4) + attrs60k, MALFORMED},
        {"chunk size led by a blank", chunked_head + " " + hex60k + "\r\n" + attrs60k, MALFORMED},
        {"chunk size led by CRLF", chunked_head + "\r\n" + hex60k + "\r\n" + attrs60k, MALFORMED},
        {"chunk data not followed by CRLF", chunked_head + "5\r\n<a/>xx\r\n0\r\n\r\n", MALFORMED},
        {"Transfer_Encoding beside Content-Length",
         "POST / HTTP/1.1\r\nTransfer_Encoding: chunked\r\nContent-Length: 5\r\n\r\n<a/>x",
         MALFORMED},
        {"an obsolete line fold", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n x\r\n\r\n",
         MALFORMED},
        {"250 distinct attribute names on each of 240 elements", raw_post(spread), COMPLEX},
        // Each of these the runtime read as 40000 attributes where the scanner saw one,
        // hidden in a comment, a value or text.
        {"names that begin with quotes", hidden("<y \"" + names40k + " \"/>"), COMPLEX},
        {"names split by control bytes",
         hidden("<y x\x01" +
                many(40000,
                     "\x01"
                     "a",
                     "") +
                "/>"),
         COMPLEX},
        {"a comment ended by its first --", hidden("<!-- -- >" + x40k + "-->"), COMPLEX},
        {"a processing instruction ended by its first ?", hidden("<?p ? >" + x40k + "?>"), COMPLEX},
        {"a declaration ended by its angle brackets", hidden("<!x \">" + x40k + "\">"), COMPLEX},
        {"an entity reference taking a comment's start", hidden("<y>&abc<!--</y>" + x40k + "-->"),
         COMPLEX},
        {"a comment inside an end tag", hidden("<y></y <!-- <? -- > >" + x40k + "?>"), MALFORMED},
        {"a comment in a value", hidden("<y x=\"<!--\" -->\"" + names40k + "/>"), MALFORMED},
        {"an unquoted value read past '>'", hidden("<y x=a>" + names40k + "/>"), MALFORMED},
        {"a UTF-8 lead byte taking a quote", hidden("<y x=\"\xe0\x80\" z=\"" + names40k + "\"/>"),
         MALFORMED},
        {"1000 attribute names, then 100000 elements",
         hidden("<y" + many(1000, " a", "") + "/>" + many(100000, "<y", "/>")), COMPLEX},
        {"60000 elements under 250 namespace declarations",
         raw_post(soap_envelope("<sntr:get-currentStats" + many(250, " xmlns:n", "=\"urn:n\"") +
                                ">" + many(60000, "<n0:x", "/>") + stats_end)),
         COMPLEX},
        {"Content-Length and chunked, a stop behind",
         "POST / HTTP/1.1\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" +
             raw_post(soap_request("stop")),
         MALFORMED},
        {"two Content-Lengths, a stop behind",
         "POST / HTTP/1.1\r\nContent-Length: 0\r\nContent-Length: " + stop_len + "\r\n\r\n" +
             raw_post(soap_request("stop")),
         MALFORMED},
        {"a blank before the colon",
         "POST / HTTP/1.1\r\nContent-Length : " + stop_len + "\r\n\r\n" +
             raw_post(soap_request("stop")),
         MALFORMED},
        {"a transfer coding other than chunked",
         "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", UNKNOWN_TE},
        {"HEAD /metrics", "HEAD /metrics HTTP/1.1\r\nHost: h\r\n\r\n", HEAD_ONLY},
    };
    for (const auto &in : inputs)
        expect_outcome(in.what, in.bytes, in.want);
    // No request smuggled behind another was run.
    EXPECT_EQ(count_of(daemon.err, "FWD_CMD"), 0) << daemon.err;

    // 100 MB bodies, whole envelopes, are refused as they begin, whatever they hold: an
    // enormous attribute value used to be buffered whole; none may grow the daemon.
    const int peak_before = peak_kib();
    expect_huge_body("<sntr:get-currentStats><x>", "</x></sntr:get-currentStats>", 500);
    expect_huge_body("<sntr:get-blockedFile><index>", "</index></sntr:get-blockedFile>", 500);
    expect_huge_body("<sntr:get-currentStats a=\"", "\"></sntr:get-currentStats>", 500);
    EXPECT_LT(peak_kib() - peak_before, 64 * 1024);

    // A Content-Length far beyond any request is refused on its line, while others are
    // served; the client's leaving ends it.
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
    const int base_threads = settled_threads(), base_fds = descriptors();
    std::vector<int> silent;
    ASSERT_TRUE(hold_connections(200, &silent));
    ASSERT_TRUE(eventually([&] { return threads() == base_threads + 200; }, 20000))
        << threads() << " threads";
    for (int i = 0; i < 20; i++) {
        http_conn c;
        EXPECT_EQ(xml_text(call(&c, "get-currentStats"), "scannedFiles"), "7");
    }
    close_all(&silent);
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
    ASSERT_TRUE(start_tls());
    const int base_threads = settled_threads(), base_fds = descriptors();
    std::vector<int> silent;
    ASSERT_TRUE(hold_connections(200, &silent));
    // That the daemon took all 200 shows the accept thread free; these are served too.
    for (int i = 0; i < 10; i++)
        EXPECT_NE(tls_version_request(dir, port).find("<interface-version>2<"), std::string::npos)
            << "client " << i;
    close_all(&silent);
    EXPECT_TRUE(settles_to(base_threads, base_fds));
    EXPECT_NE(tls_version_request(dir, port).find("<interface-version>2<"), std::string::npos);
    expect_clean_stop();
}

// Unfinished TLS handshakes could take every connection the descriptor limit allows:
// 300 of them, with the daemon at a limit of 256, shut clients with a certificate out
// until the runtime gave up on them. Now they take at most half.
TEST_F(FaultInputs, UnfinishedTlsHandshakesLeaveRoomForClientsWithCertificates)
{
    signal(SIGPIPE, SIG_IGN);  // a client shut out finds its connection closed
    ASSERT_TRUE(raise_fd_limit(1024));
    ASSERT_TRUE(start_tls());
    const int base_threads = settled_threads(), base_fds = descriptors();
    rlimit low = {256, 256}, old;
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_NOFILE, nullptr, &old), 0);
    low.rlim_max = old.rlim_max;
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_NOFILE, &low, nullptr), 0);
    std::vector<int> silent;
    ASSERT_TRUE(hold_connections(300, &silent, true));
    for (int i = 0; i < 5; i++)
        EXPECT_NE(tls_version_request(dir, port).find("<interface-version>2<"), std::string::npos)
            << "client " << i;
    close_all(&silent);
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_NOFILE, &old, nullptr), 0);
    EXPECT_TRUE(settles_to(base_threads, base_fds));
    expect_clean_stop();
}

// The accept thread used to leave its loop on the first failed accept: with the
// descriptors used up by slow clients, the daemon went on taking status messages and
// never served another client. Now it says so once, refuses what it has no room for,
// and serves again as soon as the clients leave; its stop still finds a descriptor.
TEST_F(FaultInputs, DescriptorExhaustionPassesAndIsSaidOnce)
{
    ASSERT_TRUE(start_quiet());
    ASSERT_TRUE(send_lines("scannedFiles S Z 9\n"));
    const int base_threads = settled_threads(), base_fds = descriptors();
    rlimit low = {48, 0};
    rlimit old;
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_NOFILE, nullptr, &old), 0);
    low.rlim_max = old.rlim_max;
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_NOFILE, &low, nullptr), 0);
    // One at a time, each until the daemon has a thread for it or has closed it: faster,
    // the listen queue overflows and handshakes crawl in on retransmission timers. Each
    // has begun a request, so none is idle and none is closed to make room.
    std::vector<int> idle;
    for (int i = 0; i < 51; i++) {
        const int before = threads();
        int fd = raw_connect(port);
        ASSERT_GE(fd, 0) << "connection " << i;
        ASSERT_EQ(::send(fd, "POST / HTTP/1.1\r\n", 17, MSG_NOSIGNAL), 17);
        idle.push_back(fd);
        ASSERT_TRUE(eventually(
            [&] {
                char b;
                return threads() > before || recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
            },
            kAnswerMs))
            << "connection " << i;
    }
    const char full[] = "as many as the descriptor limit allows";
    ASSERT_TRUE(wait_for_output(&daemon, full, 2, kAnswerMs)) << daemon.err;
    close_all(&idle);
    EXPECT_TRUE(eventually(
        [&] {
            http_conn c;
            http_reply r;
            return http_connect(&c, port, 200) &&
                   http_call(&c, soap_request("get-versionInfo"), &r, 1, 200) == HTTP_REPLY &&
                   r.status == 200;
        },
        1000));
    ASSERT_TRUE(wait_for_output(&daemon, "accepting connections again\n", 2, kAnswerMs))
        << daemon.err;
    EXPECT_EQ(count_of(daemon.err, full), 1) << daemon.err;
    EXPECT_EQ(count_of(daemon.err, "SOAP interface: "), 2) << daemon.err;
    // The idle clients' threads are still on their way out; once they are gone, every
    // client is served again.
    EXPECT_TRUE(settles_to(base_threads, base_fds));
    expect_alive_and_exact(stats_body(9));
    expect_clean_stop();
}

// Kept-alive connections that made one request each and then stayed quiet held every
// slot the descriptor limit allows, and new clients were closed at once for as long as
// they stayed. Now the one idle longest is closed to make room, and a parked long poll
// is never closed for it.
TEST_F(FaultInputs, IdleConnectionsMakeRoomForNewClients)
{
    ASSERT_TRUE(start_quiet({"-U", "--web"}));
    rlimit low = {48, 0}, old;
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_NOFILE, nullptr, &old), 0);
    low.rlim_max = old.rlim_max;
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_NOFILE, &low, nullptr), 0);
    std::vector<http_conn> parked(5);
    for (http_conn &c : parked)
        ASSERT_TRUE(post_blocked(&c, "get-lastScannedFile"));
    // More than the limit leaves room for: the newest always find it.
    std::vector<http_conn> idle(60);
    for (http_conn &c : idle) {
        ASSERT_TRUE(http_connect(&c, port));
        EXPECT_EQ(xml_text(call(&c, "get-versionInfo"), "interface-version"), "2");
    }
    // Were no room made, the answer would wait for the idle timeout, far past the call's.
    http_conn fresh;
    ASSERT_TRUE(http_connect(&fresh, port));
    EXPECT_EQ(xml_text(call(&fresh, "get-versionInfo"), "interface-version"), "2");
    EXPECT_EQ(count_of(daemon.err, "as many as the descriptor limit allows"), 0) << daemon.err;
    // Each close that made room is counted.
    http_reply page;
    ASSERT_TRUE(http_send_raw(
        &fresh, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n"));
    ASSERT_EQ(http_read_reply(&fresh, &page, kAnswerMs), HTTP_REPLY);
    const char room[] = "gui_connector_idle_connections_closed_total{reason=\"room\"} ";
    const size_t at = page.body.find(room);
    ASSERT_NE(at, std::string::npos) << page.body;
    EXPECT_GE(std::stoi(page.body.substr(at + sizeof room - 1)), 10);
    ASSERT_TRUE(send_lines("lastScannedFile S S /still-parked\n"));
    for (http_conn &c : parked)
        EXPECT_EQ(xml_text(answer(&c, "get-lastScannedFile"), "fn"), "/still-parked");
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_NOFILE, &old, nullptr), 0);
    expect_clean_stop();
}

// A client that gives up on a long poll and leaves used to keep its connection thread
// and descriptor until the next event, which can be days away; one that stays
// connected still waits as long as it likes.
TEST_F(FaultInputs, AbandonedLongPollsGiveBackTheirThreads)
{
    ASSERT_TRUE(start_quiet());
    const int base_threads = settled_threads(), base_fds = descriptors();
    const int n = 20;
    std::vector<http_conn> gone(n);
    for (http_conn &c : gone) {
        ASSERT_TRUE(http_connect(&c, port));
        ASSERT_TRUE(http_post(&c, soap_request("get-lastScannedFile")));
    }
    http_conn stays;
    ASSERT_TRUE(post_blocked(&stays, "get-lastScannedFile"));
    ASSERT_TRUE(eventually([&] { return threads() == base_threads + n + 1; }, kAnswerMs));
    for (http_conn &c : gone)
        http_close(&c);
    EXPECT_TRUE(settles_to(base_threads + 1, base_fds + 1, 5000));
    ASSERT_TRUE(send_lines("lastScannedFile S S /still-asked\n"));
    EXPECT_EQ(xml_text(answer(&stays, "get-lastScannedFile"), "fn"), "/still-asked");
    expect_clean_stop();
}

// With -D the shutdown writes a counter line to standard error; when nobody read that
// pipe and it was full, the line blocked for ever and the stop signal was lost.
TEST_F(FaultInputs, StopEndsTheDaemonWhateverStandardErrorHolds)
{
    ASSERT_TRUE(start_quiet({"-U", "-D"}));
    const std::string err_path = "/proc/" + std::to_string(daemon.pid) + "/fd/2";
    // A reader that never reads keeps the pipe open; the test's own end stops draining.
    int idle_reader = open(err_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(idle_reader, 0);
    close(daemon.err_fd);
    daemon.err_fd = -1;
    int filler = open(err_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    const std::string block(4096, 'x');
    while (write(filler, block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(errno, EAGAIN);
    close(filler);
    expect_clean_stop(10000);
    close(idle_reader);
}

// Started with descriptor 2 closed, the daemon opened its lock file as descriptor 2,
// and every forwarded command was written into the lock file as if it had succeeded.
// Forwarding must answer its fault instead, and intake and reads must go on.
TEST_F(FaultInputs, ForwardedCommandsWentIntoTheLockFileWhenStandardErrorWasClosed)
{
    std::vector<std::string> args{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&-",           bin,
                                  "-U",      "-h", "127.0.0.1:" + std::to_string(port), "-d",
                                  dir};
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
    EXPECT_EQ(content, std::to_string(daemon.pid) + "\n");  // the holder's id, nothing else
    ASSERT_TRUE(send_lines("scannedFiles S Z 3\nscannedFiles I Z 2\n"));
    ASSERT_TRUE(stat_reaches("scannedFiles", "5"));
    expect_alive_and_exact(stats_body(5));
    expect_clean_stop();
}

}  // namespace
