// A whole run of the daemon, for the leak check: start, status messages of every kind,
// every operation in both SOAP versions, a hundred connections, long polls cut by the
// stop, and the same again over TLS; then a stop that must end with status 0. Built with
// AddressSanitizer, the daemon runs LeakSanitizer at exit, and any leak it finds turns
// that status into a failure (`make leak-check` runs just these).
#include "process/fault_daemon.h"

namespace {

class LoadWholeRun : public FaultDaemon {
protected:
    // Every kind and item of status message, once.
    static std::string every_message()
    {
        return "1 S I 1\n2 S I 2\n3 S I 3\n4 S S /etc/scanner.conf\n"
               "5 S 2 /tmp/eicar.com\tEicar-Test\n"
               "5 S s \\nSO=/home/u/r.doc\\nBR=3\\nAN=Sig\\nAT=x\\nAC=deny\\nUM=d\\nUR=http://h/\n"
               "6 S S /home/u/scanned\n7 S I 2\n8 S I 12\n9 S Z 5\n9 I Z 5\n10 S Z 100\n"
               "10 I Z 1\n11 S Z 1\n11 I Z 1\n12 S I 1\n12 I I 1\n";
    }

    // One request for every operation that answers at once with this state; the long
    // polls that would wait come separately.
    static std::vector<std::string> every_request(int version)
    {
        std::vector<std::string> r;
        for (const char *op : {"get-versionInfo", "get-binVersionNumber", "get-engVersionNumber",
                               "get-vdfVersionNumber", "get-currentConffile",
                               "get-lastScannedFile", "get-currentStats", "get-logChanged",
                               "reload", "stop", "ping", "register-client", "get-nothing"})
            r.push_back(soap_request(op, "", version));
        r.push_back(soap_request("get-blockedFile", "<index>0</index>", version));
        r.push_back(soap_request("get-blockedFile2", "<index>1</index>", version));
        r.push_back(soap_request("unregister-client", "<id>1</id>", version));
        return r;
    }
};

TEST_F(LoadWholeRun, PlainRunOfEveryKindStopsWithoutLeaks)
{
    ASSERT_TRUE(raise_fd_limit(1024));
    ASSERT_TRUE(start_quiet());
    ASSERT_TRUE(send_lines(every_message()));
    ASSERT_TRUE(stat_reaches("blockedCount", "2"));
    for (int version : {1, 2})
        for (const std::string &req : every_request(version)) {
            http_conn c;
            ASSERT_TRUE(http_connect(&c, port));
            ASSERT_TRUE(http_post(&c, req, version));
            http_reply r;
            (void)http_read_reply(&c, &r, 2000);  // one-way requests answer nothing
        }
    // A hundred connections: some served, some silent, some in long polls at the stop.
    std::vector<http_conn> conns(100);
    for (size_t i = 0; i < conns.size(); i++) {
        ASSERT_TRUE(http_connect(&conns[i], port));
        if (i % 3 == 0) {
            EXPECT_EQ(xml_text(call(&conns[i], "get-versionInfo"), "interface-version"), "2");
        } else if (i % 3 == 1) {
            ASSERT_TRUE(http_post(&conns[i], soap_request("get-lastBlockedFile")));
        }
    }
    expect_alive_and_exact(stats_body(10, 101, 2, 2, 12));
    expect_clean_stop();
}

TEST_F(LoadWholeRun, TlsRunOfEveryKindStopsWithoutLeaks)
{
    ASSERT_TRUE(raise_fd_limit(1024));
    ASSERT_TRUE(start_tls());
    const int base_threads = settled_threads(), base_fds = descriptors();
    ASSERT_TRUE(send_lines(every_message()));
    // A one-way request answers nothing, so a closing request follows it. Only there: the
    // runtime shares one buffer between reading and writing, and a request that follows
    // an answered one in the same read is lost.
    const std::string closing =
        raw_post(soap_request("get-versionInfo"), "Connection: close\r\n");
    for (int version : {1, 2})
        for (const std::string &req : every_request(version)) {
            bool one_way = req.find("reload") != std::string::npos ||
                           req.find(":stop") != std::string::npos ||
                           req.find("unregister") != std::string::npos;
            (void)tls_exchange(dir, port,
                               one_way ? raw_post(req) + closing
                                       : raw_post(req, "Connection: close\r\n"));
        }
    // Plain HTTP on the TLS port, a handshake cut short, and silent connections held over
    // the stop. The exchanges' threads go first: held connections are counted by thread.
    ASSERT_TRUE(settles_to(base_threads, base_fds));
    std::vector<int> held;
    ASSERT_TRUE(hold_connections(50, &held));
    http_conn plain;
    ASSERT_TRUE(http_connect(&plain, port));
    (void)http_post(&plain, soap_request("get-versionInfo"));
    std::string stats = tls_exchange(
        dir, port, raw_post(soap_request("get-currentStats"), "Connection: close\r\n"));
    EXPECT_NE(stats.find(stats_body(10, 101, 2, 2, 12)), std::string::npos) << stats;
    expect_clean_stop();
    close_all(&held);
}

}  // namespace
