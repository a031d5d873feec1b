// Serving a connection: keep-alive, routing, reading rules, header echo and faults, with
// serve_connection running on one end of a socket pair and a real store behind it.
#include <expat.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "store/activity.h"
#include "store/store.h"
#include "support/soap_test_support.h"
#include "support/test_support.h"

namespace {

const char kFault11Open[] = "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode>";
const char kNoMethod[] = "not implemented: method name or namespace not recognized";

// Points descriptor 2, where commands are forwarded, at a pipe for the test's duration.
// broken: the pipe's read end is closed at once, so every forward fails.
struct stderr_pipe {
    int saved = -1;
    int rd = -1;
    void (*old_pipe)(int) = SIG_DFL;
    explicit stderr_pipe(bool broken)
    {
        int p[2];
        if (pipe(p) != 0)
            return;
        old_pipe = signal(SIGPIPE, SIG_IGN);
        saved = dup(2);
        dup2(p[1], 2);
        close(p[1]);
        if (broken)
            close(p[0]);
        else
            rd = p[0];
    }
    ~stderr_pipe()
    {
        dup2(saved, 2);
        close(saved);
        if (rd >= 0)
            close(rd);
        signal(SIGPIPE, old_pipe);
    }
    std::string take()
    {
        char buf[256];
        fcntl(rd, F_SETFL, O_NONBLOCK);
        ssize_t n = read(rd, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
};

// The text of each element of a reply by its name as written, first occurrence only, and
// "name@attribute" for its attributes; empty when a strict XML parser refuses the reply.
std::map<std::string, std::string> element_texts(const std::string &xml)
{
    struct state {
        std::map<std::string, std::string> texts;
        std::vector<std::string> open;
    } st;
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetUserData(p, &st);
    XML_SetElementHandler(
        p,
        [](void *u, const XML_Char *name, const XML_Char **attrs) {
            auto *s = static_cast<state *>(u);
            s->open.push_back(s->texts.count(name) ? "" : name);
            for (; s->open.back() != "" && *attrs; attrs += 2)
                s->texts[std::string(name) + "@" + attrs[0]] = attrs[1];
            if (s->open.back() != "")
                s->texts[name];
        },
        [](void *u, const XML_Char *) { static_cast<state *>(u)->open.pop_back(); });
    XML_SetCharacterDataHandler(p, [](void *u, const XML_Char *text, int len) {
        auto *s = static_cast<state *>(u);
        if (!s->open.empty() && s->open.back() != "")
            s->texts[s->open.back()].append(text, static_cast<size_t>(len));
    });
    const bool ok = XML_Parse(p, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return ok ? st.texts : std::map<std::string, std::string>();
}

class ServeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(store_create(nullptr, 0, nullptr), 0);
        ASSERT_TRUE(soap_conn_start(&conn));
    }
    void TearDown() override
    {
        EXPECT_TRUE(soap_conn_finish(&conn));
        store_destroy();
    }
    std::string ask_raw(const std::string &request)
    {
        EXPECT_TRUE(send_all(conn.fd, request));
        return read_response(conn.fd);
    }
    std::string ask(const std::string &body, int version = 1)
    {
        return ask_raw(http_post(soap_envelope(body, version), version));
    }
    // The connection must close after a fault; serve_connection returns the error.
    void expect_closed(int *rc = nullptr)
    {
        EXPECT_TRUE(wait_closed(conn.fd));
        EXPECT_TRUE(soap_conn_wait(&conn, 5000, rc));
    }
    soap_conn conn;
};

TEST_F(ServeTest, HundredthRequestIsAnsweredWithConnectionClose)
{
    for (int i = 1; i <= 100; i++) {
        const std::string r = ask("<sntr:get-versionInfo/>");
        ASSERT_EQ(http_status_line(r), "HTTP/1.1 200 OK") << "request " << i;
        const char *want = i < 100 ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
        ASSERT_NE(r.find(want), std::string::npos) << "request " << i;
    }
    int rc = -1;
    expect_closed(&rc);
    EXPECT_EQ(rc, 0);
}

// Requests sent in one write are answered in order, each exactly as if it had come
// alone, a one-way and a chunked one among them. A Content-Length that runs past the
// envelope covers bytes that are the request's, even when they come later.
TEST_F(ServeTest, PipelinedRequestsAreAnsweredInOrderAsIfAlone)
{
    stderr_pipe err(false);
    const std::string ping = soap_envelope("<sntr:ping/>");
    const std::string version = soap_envelope("<sntr:get-versionInfo/>");
    char size[16];
    snprintf(size, sizeof size, "%zx", version.size());
    const std::string chunked = "POST / HTTP/1.1\r\nContent-Type: text/xml\r\n"
                                "Transfer-Encoding: chunked\r\n\r\n" +
                                std::string(size) + "\r\n" + version + "\r\n0\r\n\r\n";
    const std::string pad = " <!-- the request's own -->";
    const std::string alone_ping = ask("<sntr:ping/>");
    const std::string alone_version = ask("<sntr:get-versionInfo/>");
    ASSERT_EQ(http_status_line(alone_ping), "HTTP/1.1 200 OK");
    ASSERT_EQ(http_status_line(alone_version), "HTTP/1.1 200 OK");

    ASSERT_TRUE(send_all(conn.fd, http_post(ping) + http_post(soap_envelope("<sntr:reload/>")) +
                                      chunked + http_post(version)));
    // The replies may arrive in one read, so they are read as one.
    auto read_all = [&](const std::string &want) {
        std::string got;
        while (got.size() < want.size()) {
            const std::string more = read_response(conn.fd);
            if (more.empty())
                break;
            got += more;
        }
        EXPECT_EQ(got, want);
    };
    read_all(alone_ping + alone_version + alone_version);

    // A longer header line right before Content-Length, with digits where the length's
    // line ends: the length must be read from its own line only.
    ASSERT_TRUE(send_all(conn.fd, "POST / HTTP/1.1\r\nContent-Type: text/xml\r\n"
                                  "Host: 127.0.0.1:50411\r\nContent-Length: " +
                                      std::to_string(ping.size() + pad.size()) + "\r\n\r\n" +
                                      ping));
    ASSERT_TRUE(send_all(conn.fd, pad + http_post(version)));
    read_all(alone_ping + alone_version);
    EXPECT_EQ(err.take(), "FWD_CMD: PING\nFWD_CMD: PING\nFWD_CMD: RELOAD\nFWD_CMD: PING\n");
    // Nothing else was queued, and the connection is still good.
    EXPECT_EQ(ask("<sntr:get-versionInfo/>"), alone_version);
}

TEST_F(ServeTest, ReloadSendsNothingAndTheConnectionGoesOn)
{
    stderr_pipe err(false);
    ASSERT_TRUE(send_all(conn.fd, http_post(soap_envelope("<sntr:reload/>"))));
    // The first bytes that come back must be the ping's reply.
    const std::string r = ask("<sntr:ping/>");
    EXPECT_EQ(http_body(r),
              reply_head(1) + "<sntr:pingResponse><foo>1</foo></sntr:pingResponse>" + kReplyTail);
    EXPECT_EQ(err.take(), "FWD_CMD: RELOAD\nFWD_CMD: PING\n");
}

TEST_F(ServeTest, FailedForwardIsASenderFaultInSoap11)
{
    stderr_pipe err(true);
    const std::string r = ask("<sntr:ping/>");
    EXPECT_EQ(http_status_line(r), "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(http_body(r), reply_head(1) + kFault11Open +
                                "<faultstring>could not forward request</faultstring><detail>"
                                "had a problem forwarding the request to the executing instance"
                                "</detail></SOAP-ENV:Fault>" +
                                kReplyTail);
    expect_closed();
}

TEST_F(ServeTest, FailedForwardIsASenderFaultInSoap12)
{
    stderr_pipe err(true);
    const std::string r = ask("<sntr:reload/>", 2);
    EXPECT_EQ(http_status_line(r), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(http_body(r),
              reply_head(2) +
                  "<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender"
                  "</SOAP-ENV:Value></SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text "
                  "xml:lang=\"en\">could not forward request</SOAP-ENV:Text></SOAP-ENV:Reason>"
                  "<SOAP-ENV:Detail><sntr:text>had a problem forwarding the request to the "
                  "executing instance</sntr:text></SOAP-ENV:Detail></SOAP-ENV:Fault>" +
                  kReplyTail);
    expect_closed();
}

// Every kind of fault the service writes, in both versions, read as a SOAP stack reads
// it (code, text, detail), and every 1.2 one held to the SOAP 1.2 envelope schema that
// stacks ship (the npm package strong-soap, installed by make deps, with xmllint).
TEST_F(ServeTest, EveryFaultCarriesItsCodeAndTextAndValidatesInSoap12)
{
    const std::string big = "<sntr:ping>" + std::string(1 << 20, '7') + "</sntr:ping>";
    struct fault_case {
        const char *kind, *body, *text, *detail;
    } cases[] = {
        {"unknown method", "<sntr:nosuch/>",
         "Method 'sntr:nosuch' not implemented: method name or namespace not recognized", ""},
        {"bad argument", "<sntr:get-blockedFile><index>abc</index></sntr:get-blockedFile>",
         "Validation constraint violation: invalid value in element 'index'", ""},
        {"unknown id", "<sntr:unregister-client><id>7</id></sntr:unregister-client>",
         "unknown client id", ""},
        {"failed forward", "<sntr:ping/>", "could not forward request",
         "had a problem forwarding the request to the executing instance"},
        {"too large", nullptr, "request too large", ""},
        {"malformed body", "<sntr:get-versionInfo><a></b></sntr:get-versionInfo>",
         "Validation constraint violation: syntax error in element 'SOAP-ENV:Envelope'", ""},
    };
    const std::string dir = make_temp_dir();
    const std::string schema = std::string(GC_SOURCE_DIR) +
                               "/tests/interop/node/node_modules/strong-soap/xsds/"
                               "soap12-envelope.xsd";
    std::vector<std::string> lint{"/usr/bin/xmllint", "--noout", "--nonet", "--schema", schema};
    for (const fault_case &f : cases) {
        for (int version : {1, 2}) {
            stderr_pipe err(true);
            ASSERT_TRUE(soap_conn_finish(&conn));
            ASSERT_TRUE(soap_conn_start(&conn));
            const std::string envelope = soap_envelope(f.body ? f.body : big, version);
            char size[16];
            snprintf(size, sizeof size, "%zx", envelope.size());
            // Refused on its Content-Length or its chunks before the envelope is read, a
            // request too large gets a 1.1 fault whatever it holds.
            (void)send_all(conn.fd, f.body || version == 1
                                        ? http_post(envelope, version)
                                        : "POST / HTTP/1.1\r\nContent-Type: application/soap+xml"
                                          "\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                              std::string(size) + "\r\n" + envelope);
            const std::string r = read_response(conn.fd);
            std::map<std::string, std::string> t = element_texts(http_body(r));
            const std::string what = std::string(f.kind) + " in " + std::to_string(version);
            if (version == 1 || !f.body) {
                EXPECT_EQ(http_status_line(r), "HTTP/1.1 500 Internal Server Error") << what;
                EXPECT_EQ(t["faultcode"], "SOAP-ENV:Client") << what << "\n" << r;
                EXPECT_EQ(t["faultstring"], f.text) << what << "\n" << r;
                EXPECT_EQ(t["detail"], f.detail) << what;
                continue;
            }
            EXPECT_EQ(http_status_line(r), "HTTP/1.1 400 Bad Request") << what;
            EXPECT_EQ(t["SOAP-ENV:Value"], "SOAP-ENV:Sender") << what << "\n" << r;
            EXPECT_EQ(t["SOAP-ENV:Text"], f.text) << what << "\n" << r;
            EXPECT_EQ(t["SOAP-ENV:Text@xml:lang"], "en") << what;
            EXPECT_EQ(t["sntr:text"], f.detail) << what;
            lint.push_back(dir + "/" + std::to_string(lint.size()) + ".xml");
            std::ofstream(lint.back(), std::ios::binary) << http_body(r);
        }
    }
    std::string out, lint_err;
    const int rc = run_command(lint, &out, &lint_err);
    remove_tree(dir);
    if (access(lint[0].c_str(), X_OK) != 0 || access(schema.c_str(), R_OK) != 0)
        GTEST_SKIP() << "no xmllint (libxml2-utils) or no strong-soap schemas (make deps)";
    EXPECT_EQ(rc, 0) << lint_err;
}

// The first request on a connection fails before any serve routine: a 1.1 fault still
// carries the SOAP encoding style on Body; 1.2 allows none on Fault.
TEST_F(ServeTest, UnknownElementOnAFreshConnectionCarriesEncodingStyle)
{
    const std::string r = ask("<sntr:nosuch/>");
    EXPECT_EQ(http_status_line(r), "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(http_body(r),
              std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope ") + kNs11 +
                  "><SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/"
                  "encoding/\">" +
                  kFault11Open + "<faultstring>Method 'sntr:nosuch' " + kNoMethod +
                  "</faultstring></SOAP-ENV:Fault>" + kReplyTail);
    int rc = 0;
    expect_closed(&rc);
    EXPECT_EQ(rc, 13);  // SOAP_NO_METHOD
}

TEST_F(ServeTest, Soap12FaultBeforeDispatchHasNoEncodingStyle)
{
    const std::string r = ask("", 2);
    EXPECT_EQ(http_status_line(r), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(http_body(r), reply_head(2) +
                                "<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender"
                                "</SOAP-ENV:Value></SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text "
                                "xml:lang=\"en\">Method '' " +
                                kNoMethod + "</SOAP-ENV:Text></SOAP-ENV:Reason></SOAP-ENV:Fault>" +
                                kReplyTail);
    expect_closed();
}

TEST_F(ServeTest, FaultAfterAServedRequestHasNoEncodingStyle)
{
    ASSERT_EQ(http_status_line(ask("<sntr:get-versionInfo/>")), "HTTP/1.1 200 OK");
    const std::string r = ask("<x:get-versionInfo xmlns:x=\"urn:other\"/>");  // wrong namespace URI
    EXPECT_EQ(http_body(r), reply_head(1) + kFault11Open +
                                "<faultstring>Method 'x:get-versionInfo' " + kNoMethod +
                                "</faultstring></SOAP-ENV:Fault>" + kReplyTail);
    expect_closed();
}

// A read error inside the first serve routine is not "before dispatch".
TEST_F(ServeTest, TypeMismatchInFirstRequestHasNoEncodingStyle)
{
    const std::string r = ask("<sntr:get-blockedFile><index>abc</index></sntr:get-blockedFile>");
    EXPECT_EQ(http_status_line(r), "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(r.find("encodingStyle"), std::string::npos) << r;
    EXPECT_NE(r.find("<faultcode>SOAP-ENV:Client</faultcode>"), std::string::npos) << r;
    EXPECT_NE(r.find("invalid value in element 'index'"), std::string::npos) << r;
    expect_closed();
}

TEST_F(ServeTest, HeaderChildIsSkippedAndAnEmptyHeaderComesBack)
{
    const std::string header = "<h:trace xmlns:h=\"urn:h\"><n>1</n></h:trace>";
    const std::string r = ask_raw(http_post(soap_envelope("<sntr:get-versionInfo/>", 1, &header)));
    EXPECT_EQ(http_body(r),
              std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope ") + kNs11 +
                  "><SOAP-ENV:Header></SOAP-ENV:Header><SOAP-ENV:Body><sntr:versionInfo>"
                  "<interface-version>2</interface-version></sntr:versionInfo>" +
                  kReplyTail);
}

TEST_F(ServeTest, MustUnderstandHeaderIsAFault)
{
    const std::string header =
        "<h:trace xmlns:h=\"urn:h\" SOAP-ENV:mustUnderstand=\"1\">x</h:trace>";
    const std::string r = ask_raw(http_post(soap_envelope("<sntr:get-versionInfo/>", 1, &header)));
    EXPECT_NE(r.find("<faultcode>SOAP-ENV:MustUnderstand</faultcode>"), std::string::npos) << r;
    expect_closed();
}

TEST_F(ServeTest, RequestChildrenAreReadByTheirRules)
{
    ASSERT_EQ(store_add_blocked_file("zero", 0, "", "", "", "", ""), 0);
    ASSERT_EQ(store_add_blocked_file("one", 0, "", "", "", "", ""), 0);
    const char *bodies[] = {
        "<sntr:get-blockedFile/>",  // absent index reads 0
        "<sntr:get-blockedFile><index>1</index><index>0</index></sntr:get-blockedFile>",
        "<sntr:get-blockedFile><junk><index>0</index></junk><index>1</index>"
        "</sntr:get-blockedFile>",
        // A default namespace binds the request element too.
        "<get-blockedFile xmlns=\"urn:sntr:gui-connector\"><index xmlns=\"\">1</index>"
        "</get-blockedFile>",
    };
    const char *want[] = {"<filename>zero</filename>", "<filename>one</filename>",
                          "<filename>one</filename>", "<filename>one</filename>"};
    for (size_t i = 0; i < 4; i++)
        EXPECT_NE(ask(bodies[i]).find(want[i]), std::string::npos) << bodies[i];
}

TEST_F(ServeTest, OlderIndexAnswersTheOldestHeldRecord)
{
    ASSERT_EQ(store_add_blocked_file("zero", 0, "", "", "", "", ""), 0);
    const std::string r =
        ask("<sntr:get-blockedFile><index>4000000000</index></sntr:get-blockedFile>");
    EXPECT_NE(r.find("<filename>zero</filename><information></information><index>0</index>"),
              std::string::npos)
        << r;
}

TEST_F(ServeTest, SoapEnvChildInRequestIsATagMismatch)
{
    const std::string r =
        ask("<sntr:get-blockedFile><SOAP-ENV:index>1</SOAP-ENV:index></sntr:get-blockedFile>");
    EXPECT_NE(r.find("tag name or namespace mismatch"), std::string::npos) << r;
    expect_closed();
}

// Stricter than older runtimes: an empty or negative unsigned value is refused.
TEST_F(ServeTest, EmptyOrNegativeIndexIsRefused)
{
    const std::string r = ask("<sntr:get-blockedFile2><index/></sntr:get-blockedFile2>");
    EXPECT_NE(r.find("<faultcode>SOAP-ENV:Client</faultcode>"), std::string::npos) << r;
    expect_closed();
    ASSERT_TRUE(soap_conn_finish(&conn));
    ASSERT_TRUE(soap_conn_start(&conn));
    const std::string n = ask("<sntr:get-blockedFile2><index>-1</index></sntr:get-blockedFile2>");
    EXPECT_NE(n.find("invalid value in element 'index'"), std::string::npos) << n;
    expect_closed();
}

TEST_F(ServeTest, Xsd1999NamespaceIsAcceptedAndEchoed)
{
    ASSERT_EQ(store_add_blocked_file("zero", 0, "", "", "", "", ""), 0);
    const std::string r =
        ask("<sntr:get-blockedFile xmlns:xsd=\"http://www.w3.org/1999/XMLSchema\">"
            "<index>0</index></sntr:get-blockedFile>");
    EXPECT_EQ(http_status_line(r), "HTTP/1.1 200 OK");
    EXPECT_NE(r.find("xmlns:xsd=\"http://www.w3.org/1999/XMLSchema\""), std::string::npos) << r;
}

TEST_F(ServeTest, NonEnvelopeRootIsATagMismatch)
{
    const std::string r = ask_raw(http_post("<?xml version=\"1.0\"?><hello/>"));
    EXPECT_EQ(http_status_line(r), "HTTP/1.1 500 Internal Server Error");
    EXPECT_NE(r.find("tag name or namespace mismatch"), std::string::npos) << r;
    expect_closed();
}

TEST_F(ServeTest, GetIsAMethodFaultWith500)
{
    const std::string r = ask_raw("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(http_status_line(r), "HTTP/1.1 500 Internal Server Error");
    EXPECT_NE(r.find("<faultstring>HTTP GET method not implemented</faultstring>"),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("Connection: close\r\n"), std::string::npos) << r;
    expect_closed();
}

// HEAD gets the header of GET's fault, without its body.
TEST_F(ServeTest, OtherMethodsAreFaultsThatClose)
{
    const char *methods[] = {"HEAD", "OPTIONS", "PUT", "DELETE", "BREW"};
    for (const char *m : methods) {
        SCOPED_TRACE(m);
        const bool head = std::string(m) == "HEAD";
        const std::string request =
            std::string(m) + " / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n";
        std::string r;
        if (head)
            EXPECT_FALSE(send_all(conn.fd, request) && wait_closed(conn.fd, 5000, &r));
        else
            r = ask_raw(request);
        EXPECT_EQ(http_status_line(r), "HTTP/1.1 500 Internal Server Error");
        EXPECT_EQ(http_body(r).empty(), head) << r;
        expect_closed();
        ASSERT_TRUE(soap_conn_finish(&conn));
        ASSERT_TRUE(soap_conn_start(&conn));
    }
}

TEST_F(ServeTest, Soap12ActionIsNotEchoedIntoContentType)
{
    const std::string with_action =
        "POST / HTTP/1.1\r\nHost: localhost\r\n"
        "Content-Type: application/soap+xml; charset=utf-8; action=\"urn:a\"\r\n"
        "Content-Length: " +
        std::to_string(soap_envelope("<sntr:get-versionInfo/>", 2).size()) + "\r\n\r\n" +
        soap_envelope("<sntr:get-versionInfo/>", 2);
    const std::string a = ask_raw(with_action);
    EXPECT_NE(a.find("Content-Type: application/soap+xml; charset=utf-8\r\n"), std::string::npos)
        << a;
    EXPECT_EQ(a.find("action="), std::string::npos) << a;
}

TEST_F(ServeTest, ClientRegistrationWithoutEndpointIsAFaultWithItsText)
{
    const std::string r = ask("<sntr:register-client/>", 2);
    EXPECT_EQ(http_status_line(r), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(http_body(r), reply_head(2) +
                                "<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender"
                                "</SOAP-ENV:Value></SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text "
                                "xml:lang=\"en\">could not register client</SOAP-ENV:Text>"
                                "</SOAP-ENV:Reason></SOAP-ENV:Fault>" +
                                kReplyTail);
    expect_closed();
    ASSERT_TRUE(soap_conn_finish(&conn));
    ASSERT_TRUE(soap_conn_start(&conn));
    const std::string u =
        ask("<sntr:unregister-client><id>18446744073709551615</id></sntr:unregister-client>");
    EXPECT_EQ(http_body(u), reply_head(1) + kFault11Open +
                                "<faultstring>unknown client id</faultstring></SOAP-ENV:Fault>" +
                                kReplyTail);
    expect_closed();
}

TEST_F(ServeTest, ClientLeavingBetweenRequestsEndsWithoutFault)
{
    ASSERT_EQ(http_status_line(ask("<sntr:get-versionInfo/>")), "HTTP/1.1 200 OK");
    shutdown(conn.fd, SHUT_WR);
    std::string extra;
    EXPECT_TRUE(wait_closed(conn.fd, 5000, &extra)) << extra;
    EXPECT_TRUE(soap_conn_wait(&conn, 5000));
}

// A connection that sends nothing, or sends part of a request, is closed without an
// answer once the request time has passed; between requests it may wait up to the idle
// time, however much longer that is.
TEST(ServeDeadline, SlowRequestsAreClosedAndIdleConnectionsAreKept)
{
    ASSERT_EQ(store_create(nullptr, 0, nullptr), 0);
    const int timeout_ms = 300;
    const std::string request = http_post(soap_envelope("<sntr:get-versionInfo/>"));
    {
        soap_conn silent;
        ASSERT_TRUE(soap_conn_start(&silent, timeout_ms));
        EXPECT_TRUE(wait_closed(silent.fd, 5000));
        EXPECT_TRUE(soap_conn_finish(&silent));
    }
    soap_conn c;
    ASSERT_TRUE(soap_conn_start(&c, timeout_ms));
    ASSERT_TRUE(send_all(c.fd, request));
    EXPECT_EQ(http_status_line(read_response(c.fd)), "HTTP/1.1 200 OK");
    // Idle between requests for longer than the request time: still open.
    EXPECT_FALSE(wait_closed(c.fd, 3 * timeout_ms));
    ASSERT_TRUE(send_all(c.fd, request));
    EXPECT_EQ(http_status_line(read_response(c.fd)), "HTTP/1.1 200 OK");
    // Half a request, and then nothing.
    ASSERT_TRUE(send_all(c.fd, request.substr(0, request.size() / 2)));
    std::string extra;
    EXPECT_TRUE(wait_closed(c.fd, 5000, &extra));
    EXPECT_EQ(extra, "");
    EXPECT_TRUE(soap_conn_finish(&c));
    // Idle past the idle time: closed, and counted.
    const long long idle_closed = activity_get(ACTIVITY_IDLE_TIMEOUTS);
    ASSERT_TRUE(soap_conn_start(&c, timeout_ms, 2 * timeout_ms));
    ASSERT_TRUE(send_all(c.fd, request));
    EXPECT_EQ(http_status_line(read_response(c.fd)), "HTTP/1.1 200 OK");
    EXPECT_TRUE(wait_closed(c.fd, 5000));
    EXPECT_TRUE(soap_conn_finish(&c));
    EXPECT_EQ(activity_get(ACTIVITY_IDLE_TIMEOUTS), idle_closed + 1);
    store_destroy();
}

}  // namespace
