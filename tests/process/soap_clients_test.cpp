// Command forwarding, client registration and shutdown end to end: ping, reload and stop
// reach the scanner side as single lines on the daemon's standard error (and fail
// visibly when nobody reads it), client ids name connections, unregister-client ends
// exactly the connection it names, and a stop signal ends the daemon promptly however
// many clients are blocked in long polls.
#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "process/soap_daemon.h"

namespace {

// The blocked-signal masks of every thread of pid but its main one.
std::vector<unsigned long long> other_threads_blocked(int pid)
{
    std::vector<unsigned long long> masks;
    const std::string task = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(task.c_str());
    if (!d)
        return masks;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' || std::to_string(pid) == e->d_name)
            continue;
        std::ifstream f(task + "/" + e->d_name + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.rfind("SigBlk:", 0) == 0)
                masks.push_back(std::stoull(line.substr(7), nullptr, 16));
    }
    closedir(d);
    return masks;
}

const char kForwardFault11[] =
    "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode>"
    "<faultstring>could not forward request</faultstring>"
    "<detail>had a problem forwarding the request to the executing instance</detail>"
    "</SOAP-ENV:Fault>";
const char kForwardFault12[] =
    "<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>"
    "</SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">could not forward request"
    "</SOAP-ENV:Text></SOAP-ENV:Reason><SOAP-ENV:Detail><sntr:text>had a problem forwarding "
    "the request to the executing instance</sntr:text></SOAP-ENV:Detail></SOAP-ENV:Fault>";

class SoapClients : public SoapDaemon {
protected:
    // Reads a fault reply and checks that the server closes the connection after it.
    http_reply fault(http_conn *c, const std::string &what)
    {
        http_reply r;
        EXPECT_EQ(http_read_reply(c, &r, kAnswerMs), HTTP_REPLY) << what;
        EXPECT_FALSE(r.keep_alive) << what << "\n" << r.head;
        EXPECT_TRUE(http_closed_without_reply(c, kAnswerMs)) << what << ": still open";
        return r;
    }

    // register-client on c; the id as sent.
    std::string register_client(http_conn *c)
    {
        std::string reply = call(c, "register-client");
        std::string id = xml_text(reply, "id");
        EXPECT_EQ(xml_text(reply, "SOAP-ENV:Body"), "<sntr:register-clientResponse><id>" + id +
                                                        "</id></sntr:register-clientResponse>");
        return id;
    }

    // Asks on c to unregister id; a one-way request, so nothing comes back on success.
    ::testing::AssertionResult unregister(http_conn *c, const std::string &id)
    {
        if (c->fd < 0 && !http_connect(c, port))
            return ::testing::AssertionFailure() << "cannot connect";
        if (!http_post(c, soap_request("unregister-client", "<id>" + id + "</id>")))
            return ::testing::AssertionFailure() << "cannot send";
        return ::testing::AssertionSuccess();
    }

    const std::string ping_body = "<sntr:pingResponse><foo>1</foo></sntr:pingResponse>";
};

TEST_F(SoapClients, PingAnswersFooAndForwardsOneLine)
{
    ASSERT_TRUE(start());
    http_conn c;
    EXPECT_EQ(xml_text(call(&c, "ping"), "SOAP-ENV:Body"), ping_body);
    ASSERT_TRUE(wait_for_output(&daemon, "FWD_CMD: PING\n", 2, kAnswerMs)) << daemon.err;
    drain(&daemon, 200);
    EXPECT_EQ(daemon.err, "FWD_CMD: PING\n");
    // The daemon only forwards: it is still serving.
    EXPECT_EQ(xml_text(call(&c, "ping", "", 2), "SOAP-ENV:Body"), ping_body);
    ASSERT_TRUE(wait_for_output(&daemon, "FWD_CMD: PING\nFWD_CMD: PING\n", 2, kAnswerMs));
}

TEST_F(SoapClients, ReloadAndStopAnswerNothingAndKeepTheConnection)
{
    ASSERT_TRUE(start());
    http_conn c;
    ASSERT_TRUE(http_connect(&c, port));
    ASSERT_TRUE(http_post(&c, soap_request("reload")));
    EXPECT_TRUE(http_silent_for(&c, kStillBlockedMs)) << "reload got: " << c.in;
    ASSERT_TRUE(wait_for_output(&daemon, "FWD_CMD: RELOAD\n", 2, kAnswerMs)) << daemon.err;
    // The next reply on the connection is the ping's: nothing was queued for the reload.
    EXPECT_EQ(xml_text(call(&c, "ping"), "SOAP-ENV:Body"), ping_body);

    ASSERT_TRUE(http_post(&c, soap_request("stop")));
    EXPECT_TRUE(http_silent_for(&c, kStillBlockedMs)) << "stop got: " << c.in;
    ASSERT_TRUE(wait_for_output(&daemon, "FWD_CMD: STOP\n", 2, kAnswerMs)) << daemon.err;
    EXPECT_EQ(xml_text(call(&c, "ping"), "SOAP-ENV:Body"), ping_body);
    drain(&daemon, 200);
    EXPECT_EQ(daemon.err, "FWD_CMD: RELOAD\nFWD_CMD: PING\nFWD_CMD: STOP\nFWD_CMD: PING\n");
    // A forwarded stop is for the scanner daemon: this daemon goes on and ends normally.
    EXPECT_GT(daemon.pid, 0);
    expect_clean_stop();
}

// A one-way request as the 99th used to lose the 100th when both came in one write:
// the reply's buffer reset dropped it, and the client waited for ever.
TEST_F(SoapClients, OneWayRequestCountsAmongTheHundred)
{
    ASSERT_TRUE(start());
    http_conn c;
    for (int i = 1; i <= 98; i++)
        ASSERT_EQ(xml_text(call(&c, "get-versionInfo"), "interface-version"), "2") << i;
    const std::string reload = soap_request("reload"), version = soap_request("get-versionInfo");
    ASSERT_TRUE(http_send_raw(&c, "POST / HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: " +
                                      std::to_string(reload.size()) + "\r\n\r\n" + reload +
                                      "POST / HTTP/1.1\r\nContent-Type: text/xml\r\n"
                                      "Content-Length: " +
                                      std::to_string(version.size()) + "\r\n\r\n" + version));
    http_reply r;
    ASSERT_EQ(http_read_reply(&c, &r, kAnswerMs), HTTP_REPLY) << "the 100th request was lost";
    EXPECT_EQ(xml_text(r.body, "interface-version"), "2");
    EXPECT_FALSE(r.keep_alive) << r.head;
    EXPECT_TRUE(http_closed_without_reply(&c, kAnswerMs));
    ASSERT_TRUE(wait_for_output(&daemon, "FWD_CMD: RELOAD\n", 2, kAnswerMs));
}

// A POST of a request for operation with the given HTTP version ("1.1", "1.0") and
// Connection header value (none when empty), as clients other than ours write them.
static std::string post_with_connection(const std::string &operation, const std::string &version,
                                        const std::string &connection)
{
    const std::string envelope = soap_request(operation);
    std::string req = "POST / HTTP/" + version +
                      "\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\n"
                      "SOAPAction: \"\"\r\n";
    if (!connection.empty())
        req += "Connection: " + connection + "\r\n";
    return req + "Content-Length: " + std::to_string(envelope.size()) + "\r\n\r\n" + envelope;
}

// Connection is a token list (RFC 9110 7.6.1): "close" anywhere in it, in any case, ends
// the connection after the reply, and after a one-way request, which gets no reply at
// all; so does HTTP/1.0 unless it asks for keep-alive. Perl's LWP sends "TE, close".
TEST_F(SoapClients, ConnectionCloseTokenEndsTheConnectionAfterReplyOrOneWay)
{
    ASSERT_TRUE(start());
    const struct {
        const char *version, *connection;
    } closing[] = {
        {"1.1", "TE, close"}, {"1.1", "Close"}, {"1.1", "keep-alive , CLOSE"},
        {"1.0", ""},          {"1.0", "TE"},    {"1.0", "Keep-Alive, close"},
    };
    int reloads = 0;
    for (const auto &k : closing) {
        const std::string what = std::string("HTTP/") + k.version + " Connection: " + k.connection;
        // A two-way request: answered with Connection: close, then the server closes.
        http_conn c;
        ASSERT_TRUE(http_connect(&c, port));
        ASSERT_TRUE(http_send_raw(&c, post_with_connection("ping", k.version, k.connection)));
        http_reply r;
        ASSERT_EQ(http_read_reply(&c, &r, kAnswerMs), HTTP_REPLY) << what;
        EXPECT_EQ(r.status, 200) << what << "\n" << r.head;
        EXPECT_NE(r.head.find("\r\nConnection: close"), std::string::npos) << what << "\n"
                                                                           << r.head;
        EXPECT_EQ(xml_text(r.body, "SOAP-ENV:Body"), ping_body) << what;
        EXPECT_TRUE(http_closed_without_reply(&c, kAnswerMs)) << what << ": still open";

        // A one-way request: no reply at all, and the connection is closed at once
        // instead of waiting for a next request that will never come.
        http_conn d;
        ASSERT_TRUE(http_connect(&d, port));
        ASSERT_TRUE(http_send_raw(&d, post_with_connection("reload", k.version, k.connection)));
        EXPECT_TRUE(http_closed_without_reply(&d, kAnswerMs)) << what << ": got " << d.in;
        reloads++;
    }
    std::string want;
    for (int i = 0; i < reloads; i++)
        want += "FWD_CMD: PING\nFWD_CMD: RELOAD\n";
    ASSERT_TRUE(wait_for_output(&daemon, want, 2, kAnswerMs)) << daemon.err;
}

TEST_F(SoapClients, ConnectionKeepAliveTokenKeepsTheConnection)
{
    ASSERT_TRUE(start());
    const struct {
        const char *version, *connection;
    } keeping[] = {
        {"1.1", ""},
        {"1.1", "TE"},
        {"1.1", "Keep-Alive, TE"},
        {"1.0", "keep-alive"},
        {"1.0", "TE ,KEEP-ALIVE"},
    };
    for (const auto &k : keeping) {
        const std::string what = std::string("HTTP/") + k.version + " Connection: " + k.connection;
        http_conn c;
        ASSERT_TRUE(http_connect(&c, port));
        for (const char *op : {"ping", "reload", "ping"}) {
            ASSERT_TRUE(http_send_raw(&c, post_with_connection(op, k.version, k.connection)))
                << what << " " << op;
            if (std::string(op) == "reload") {
                EXPECT_TRUE(http_silent_for(&c, kStillBlockedMs)) << what << ": got " << c.in;
                continue;
            }
            http_reply r;
            ASSERT_EQ(http_read_reply(&c, &r, kAnswerMs), HTTP_REPLY) << what << " " << op;
            EXPECT_NE(r.head.find("\r\nConnection: keep-alive"), std::string::npos) << what << "\n"
                                                                                    << r.head;
            EXPECT_EQ(xml_text(r.body, "SOAP-ENV:Body"), ping_body) << what;
        }
    }
}

TEST_F(SoapClients, ForwardingFailsVisiblyWhenStandardErrorHasNoReader)
{
    ASSERT_TRUE(start());
    stop_reading_forwards();

    http_conn c;
    ASSERT_TRUE(http_connect(&c, port));
    ASSERT_TRUE(http_post(&c, soap_request("reload")));
    http_reply r = fault(&c, "reload");
    EXPECT_EQ(r.status, 500) << r.head;
    EXPECT_EQ(xml_text(r.body, "SOAP-ENV:Body"), kForwardFault11) << r.body;

    // The same sender fault in SOAP 1.2, for ping, with 400 Bad Request.
    ASSERT_TRUE(http_connect(&c, port));
    ASSERT_TRUE(http_post(&c, soap_request("ping", "", 2), 2));
    r = fault(&c, "ping");
    EXPECT_EQ(r.status, 400) << r.head;
    EXPECT_EQ(xml_text(r.body, "SOAP-ENV:Body"), kForwardFault12) << r.body;
    EXPECT_NE(r.body.find("xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\""),
              std::string::npos)
        << r.body;

    // Nothing else changed: reads still work and the daemon stops normally.
    http_conn d;
    EXPECT_EQ(xml_text(call(&d, "get-versionInfo"), "interface-version"), "2");
    expect_clean_stop();
}

TEST_F(SoapClients, ClientIdNamesTheConnection)
{
    ASSERT_TRUE(start());
    http_conn a, b;
    std::string id_a = register_client(&a);
    EXPECT_FALSE(id_a.empty());
    EXPECT_EQ(id_a.find_first_not_of("0123456789"), std::string::npos) << id_a;
    EXPECT_EQ(register_client(&a), id_a);
    std::string id_b = register_client(&b);
    EXPECT_NE(id_b, id_a);
    EXPECT_EQ(register_client(&a), id_a);

    // Ids were thread ids, and the next connection's thread often got the id of the one
    // that had just ended: the old id then cancelled an unrelated connection. a ends
    // here from the daemon's side, so its end is known when the close is seen.
    ASSERT_TRUE(unregister(&a, id_a));
    ASSERT_TRUE(http_closed_without_reply(&a, kAnswerMs)) << "a got: " << a.in;
    http_conn x, c;
    std::string id_x = register_client(&x);
    EXPECT_NE(id_x, id_a);
    ASSERT_TRUE(unregister(&c, id_a));
    http_reply r = fault(&c, "unregister-client with an ended connection's id");
    EXPECT_EQ(r.status, 500) << r.head;
    EXPECT_EQ(register_client(&x), id_x);
}

TEST_F(SoapClients, UnregisterEndsOnlyTheNamedBlockedConnection)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(send({"5", "S", "2", "/before", "Sig"}));
    http_conn a, b, c;
    std::string id_a = register_client(&a);
    register_client(&b);
    ASSERT_TRUE(post_blocked(&a, "get-lastBlockedFile"));
    ASSERT_TRUE(post_blocked(&b, "get-lastBlockedFile"));

    // unregister-client is one-way: c gets nothing, a is ended without an answer.
    ASSERT_TRUE(unregister(&c, id_a));
    EXPECT_TRUE(http_closed_without_reply(&a, kAnswerMs)) << "a got: " << a.in;
    EXPECT_TRUE(http_silent_for(&c, kStillBlockedMs)) << "c got: " << c.in;
    // b woke with the broadcast, found nothing new and waits on.
    EXPECT_TRUE(http_silent_for(&b, kStillBlockedMs)) << "b got: " << b.in;
    // c's connection is still good for more requests.
    EXPECT_EQ(xml_text(call(&c, "ping"), "SOAP-ENV:Body"), ping_body);

    // The next blocked file releases b, and the store was not left locked by a's end.
    ASSERT_TRUE(send({"5", "S", "2", "/after", "Sig.2"}));
    EXPECT_EQ(xml_text(answer(&b, "get-lastBlockedFile"), "SOAP-ENV:Body"),
              "<sntr:blockedFile><filename>/after</filename><information>Sig.2</information>"
              "<index>1</index></sntr:blockedFile>");

    // a's id ended with a, before its connection closed.
    http_conn d;
    ASSERT_TRUE(unregister(&d, id_a));
    http_reply r;
    EXPECT_EQ(http_read_reply(&d, &r, kAnswerMs), HTTP_REPLY)
        << "the id of an ended connection is still accepted";
    EXPECT_EQ(r.status, 500) << r.head;
}

TEST_F(SoapClients, UnregisterUnknownIdIsAFaultWithItsTextAndCancelsNothing)
{
    ASSERT_TRUE(start());
    http_conn blocked, c;
    ASSERT_TRUE(post_blocked(&blocked, "get-lastScannedFile"));
    std::string id_c = register_client(&c);
    // Client ids are thread identifiers, far above a small number like this one.
    std::string unknown = "12345";
    ASSERT_NE(unknown, id_c);
    ASSERT_TRUE(unregister(&c, unknown));
    http_reply r = fault(&c, "unregister-client");
    EXPECT_EQ(r.status, 500) << r.head;
    EXPECT_EQ(xml_text(r.body, "SOAP-ENV:Body"),
              "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode>"
              "<faultstring>unknown client id</faultstring></SOAP-ENV:Fault>")
        << r.body;

    // The same in SOAP 1.2: a Sender fault with the text as its Reason, sent as 400.
    http_conn c12;
    ASSERT_TRUE(http_connect(&c12, port));
    ASSERT_TRUE(
        http_post(&c12, soap_request("unregister-client", "<id>" + unknown + "</id>", 2), 2));
    r = fault(&c12, "unregister-client in SOAP 1.2");
    EXPECT_EQ(r.status, 400) << r.head;
    EXPECT_EQ(xml_text(r.body, "SOAP-ENV:Body"),
              "<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>"
              "</SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">unknown client id"
              "</SOAP-ENV:Text></SOAP-ENV:Reason></SOAP-ENV:Fault>")
        << r.body;

    // Nothing was cancelled: the blocked client still waits and is then answered.
    EXPECT_TRUE(http_silent_for(&blocked, kStillBlockedMs)) << blocked.in;
    ASSERT_TRUE(send({"6", "S", "S", "/scanned"}));
    EXPECT_EQ(xml_text(answer(&blocked, "get-lastScannedFile"), "fn"), "/scanned");
}

TEST_F(SoapClients, UnregisterOwnIdEndsTheAskingConnection)
{
    ASSERT_TRUE(start());
    http_conn a;
    std::string id_a = register_client(&a);
    ASSERT_TRUE(unregister(&a, id_a));
    EXPECT_TRUE(http_closed_without_reply(&a, kAnswerMs)) << "a got: " << a.in;
    http_conn b;
    EXPECT_EQ(xml_text(call(&b, "ping"), "SOAP-ENV:Body"), ping_body);
}

TEST_F(SoapClients, StopSignalEndsEveryLongPollPromptly)
{
    ASSERT_TRUE(start());
    http_conn last, by_index, by_index2, scanned, idle;
    ASSERT_TRUE(post_blocked(&last, "get-lastBlockedFile"));
    ASSERT_TRUE(post_blocked(&by_index, "get-blockedFile", "<index>0</index>"));
    ASSERT_TRUE(post_blocked(&by_index2, "get-blockedFile2"));
    ASSERT_TRUE(post_blocked(&scanned, "get-lastScannedFile"));
    EXPECT_EQ(xml_text(call(&idle, "get-versionInfo"), "interface-version"), "2");
    // Only the main thread may take a stop signal: every other thread blocks them all.
    const std::vector<unsigned long long> masks = other_threads_blocked(daemon.pid);
    EXPECT_GE(masks.size(), 5u);
    for (unsigned long long m : masks)
        for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM})
            EXPECT_TRUE(m & (1ULL << (sig - 1))) << "signal " << sig << ", mask " << std::hex << m;

    // Promptly: well within the bounded waits of a client that would hang.
    expect_clean_stop(3000);
    EXPECT_NE(daemon.out.find("exit from service loop.\n"), std::string::npos) << tail(daemon.out);
    // None of the cancelled polls sent an answer.
    for (http_conn *c : {&last, &by_index, &by_index2, &scanned})
        EXPECT_TRUE(http_closed_without_reply(c, kAnswerMs)) << c->in;
}

// A client that knows its own id cannot reach another's by counting from it.
TEST_F(SoapClients, ClientIdsCannotBeCountedToOtherClients)
{
    ASSERT_TRUE(start());
    std::vector<http_conn> parked(50);
    for (http_conn &p : parked)
        ASSERT_TRUE(http_connect(&p, port) && http_post(&p, soap_request("get-lastScannedFile")));
    http_conn c;
    const unsigned long long own = std::stoull(register_client(&c));
    for (unsigned long long d = 1; d <= 1000; d++)
        for (unsigned long long guess : {own + d, own - d}) {
            http_conn g;
            ASSERT_TRUE(unregister(&g, std::to_string(guess)));
            ASSERT_EQ(fault(&g, "a guessed id").status, 500) << guess;
        }
    ASSERT_TRUE(send({"6", "S", "S", "/scanned"}));
    for (http_conn &p : parked)
        ASSERT_EQ(xml_text(answer(&p, "a parked poll"), "fn"), "/scanned");
}

// Any web page can post to a loopback port; Origin tells the browser's requests (no SOAP
// stack sends it), and a form's Content-Type tells a form post that left Origin out.
TEST_F(SoapClients, BrowserRequestsAreRefusedUnlessTheirOriginIsAllowed)
{
    const std::string allowed = "http://127.0.0.1:8080";
    ASSERT_TRUE(start({"--allow-origin", allowed}));
    const struct {
        const char *method, *headers;
        int status;
    } refused[] = {
        {"POST", "Origin: http://evil.example\r\nContent-Type: text/xml\r\n", 403},
        {"POST", "Origin: null\r\nContent-Type: text/xml\r\n", 403},
        {"POST", "Origin: http://127.0.0.1:8081\r\n", 403},
        // Its own origin, but a Host (port 80) that is not where the daemon listens.
        {"POST", "Origin: http://127.0.0.1\r\n", 403},
        {"OPTIONS", "Origin: http://evil.example\r\n", 403},
        {"POST", "Content-Type: text/plain;charset=UTF-8\r\n", 415},
        {"POST", "Content-Type: Application/X-WWW-Form-Urlencoded\r\n", 415},
        {"POST", "Content-Type:  multipart/form-data ; boundary=x\r\n", 415},
        {"POST", "Origin: http://127.0.0.1:8080\r\nContent-Type: text/plain\r\n", 415},
    };
    const std::string stop = soap_request("stop");
    for (const auto &k : refused) {
        http_conn c;
        ASSERT_TRUE(http_connect(&c, port));
        ASSERT_TRUE(http_send_raw(
            &c, std::string(k.method) + " / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + k.headers +
                    "Content-Length: " + std::to_string(stop.size()) + "\r\n\r\n" + stop));
        http_reply r = fault(&c, k.headers);
        EXPECT_EQ(r.status, k.status) << k.headers << r.head;
        EXPECT_EQ(xml_text(r.body, "faultcode"), "SOAP-ENV:Client") << r.body;
        EXPECT_NE(xml_text(r.body, "faultstring").find(k.status == 403 ? "origin" : "text/xml"),
                  std::string::npos)
            << r.body;
    }

    // The allowed origin's preflight, and its reply marked for it; a script that sends
    // no Content-Type at all is served as before.
    http_conn a;
    ASSERT_TRUE(http_connect(&a, port));
    ASSERT_TRUE(http_send_raw(&a, "OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: " + allowed +
                                      "\r\nAccess-Control-Request-Method: POST\r\n\r\n"));
    http_reply r;
    ASSERT_EQ(http_read_reply(&a, &r, kAnswerMs), HTTP_REPLY);
    EXPECT_EQ(r.status, 204) << r.head;
    for (const std::string &h :
         {"Access-Control-Allow-Origin: " + allowed, std::string("Vary: Origin"),
          std::string("Access-Control-Allow-Methods: POST"),
          std::string("Access-Control-Allow-Headers: Content-Type, SOAPAction"),
          std::string("Access-Control-Max-Age: ")})
        EXPECT_NE(r.head.find("\r\n" + h), std::string::npos) << h << "\n" << r.head;
    const std::string ping = soap_request("ping");
    for (const std::string &origin : {"Origin: " + allowed + "\r\n", std::string()}) {
        http_conn p;
        ASSERT_TRUE(http_connect(&p, port));
        ASSERT_TRUE(http_send_raw(&p, "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + origin +
                                          "Content-Length: " + std::to_string(ping.size()) +
                                          "\r\n\r\n" + ping));
        ASSERT_EQ(http_read_reply(&p, &r, kAnswerMs), HTTP_REPLY);
        EXPECT_EQ(r.status, 200) << r.head;
        EXPECT_EQ(r.head.find("Access-Control-Allow-Origin: " + allowed) != std::string::npos,
                  !origin.empty())
            << r.head;
    }
    ASSERT_TRUE(wait_for_output(&daemon, "FWD_CMD: PING\nFWD_CMD: PING\n", 2, kAnswerMs));
    drain(&daemon, 200);
    EXPECT_EQ(daemon.err, "FWD_CMD: PING\nFWD_CMD: PING\n");
}

}  // namespace
