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

    // How the daemon meets a request of this run.
    enum reply_kind { ANSWER, FAULT, NOTHING, WAITS };
    struct request {
        std::string envelope;
        reply_kind reply;
    };

    // One request for every operation, with what it gets in this state: an answer, a
    // fault, nothing at all (one-way), or a wait (the last scanned file is news only
    // once a connection has seen one).
    static std::vector<request> every_request(int version)
    {
        std::vector<request> r;
        const struct {
            const char *op;
            reply_kind reply;
        } ops[] = {{"get-versionInfo", ANSWER},
                   {"get-binVersionNumber", ANSWER},
                   {"get-engVersionNumber", ANSWER},
                   {"get-vdfVersionNumber", ANSWER},
                   {"get-currentConffile", ANSWER},
                   {"get-lastScannedFile", WAITS},
                   {"get-currentStats", ANSWER},
                   {"get-logChanged", ANSWER},
                   {"reload", NOTHING},
                   {"stop", NOTHING},
                   {"ping", ANSWER},
                   {"register-client", ANSWER},
                   {"get-nothing", FAULT}};
        for (const auto &o : ops)
            r.push_back({soap_request(o.op, "", version), o.reply});
        r.push_back({soap_request("get-blockedFile", "<index>0</index>", version), ANSWER});
        r.push_back({soap_request("get-blockedFile2", "<index>1</index>", version), ANSWER});
        // Ids are never reused, and this one's connection ended long ago.
        r.push_back({soap_request("unregister-client", "<id>1</id>", version), FAULT});
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
        for (const request &req : every_request(version)) {
            http_conn c;
            ASSERT_TRUE(http_connect(&c, port));
            ASSERT_TRUE(http_post(&c, req.envelope, version));
            if (req.reply == NOTHING || req.reply == WAITS) {
                EXPECT_TRUE(http_silent_for(&c, 100)) << req.envelope << "\ngot: " << c.in;
                continue;
            }
            http_reply r;
            ASSERT_EQ(http_read_reply(&c, &r, kAnswerMs), HTTP_REPLY) << req.envelope;
            if (req.reply == ANSWER)
                EXPECT_EQ(r.status, 200) << req.envelope << "\n" << r.body;
            else
                EXPECT_NE(r.body.find("Fault>"), std::string::npos) << req.envelope << "\n"
                                                                    << r.body;
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
    // A one-way request answers nothing, so a closing request follows it in the same
    // write, and its answer is the only one.
    const std::string closing = raw_post(soap_request("get-versionInfo"), "Connection: close\r\n");
    for (int version : {1, 2})
        for (const request &req : every_request(version)) {
            const std::string got =
                tls_exchange(dir, port,
                             req.reply == NOTHING ? raw_post(req.envelope) + closing
                                                  : raw_post(req.envelope, "Connection: close\r\n"),
                             req.reply == WAITS ? 1 : 15);
            if (req.reply == ANSWER)
                EXPECT_NE(got.find(" 200 OK\r\n"), std::string::npos) << req.envelope << "\n"
                                                                      << got;
            else if (req.reply == FAULT)
                EXPECT_NE(got.find("Fault>"), std::string::npos) << req.envelope << "\n" << got;
            else if (req.reply == WAITS)
                EXPECT_EQ(got, "") << req.envelope;
            else
                EXPECT_EQ(count_of(got, " 200 OK\r\n"), 1) << req.envelope << "\n" << got;
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
