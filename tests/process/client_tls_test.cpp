// connector-client over TLS against a daemon that requires client certificates: a
// certificate of the daemon's CA is served; no certificate, one of another CA, a daemon
// certificate the client does not trust, or plain HTTP are refused as unreachable; the
// key password may hold colons and does not stay visible in the process listing.
#include <fstream>
#include <iterator>

#include "process/soap_daemon.h"
#include "support/tls_certs.h"

namespace {

std::string g_certs;  // certificates for the whole program

class ClientTls : public SoapDaemon {
protected:
    static void SetUpTestSuite()
    {
        g_certs = make_temp_dir();
        std::string out, err;
        // The good client's key once more, encrypted with a password that holds a colon.
        if (g_certs.empty() || !make_test_certificates(g_certs) ||
            run_command({"/bin/sh", "-c",
                         "cd \"$0\" && openssl pkey -in good.key -aes256 -passout pass:pa:ss"
                         " -out good-enc.key",
                         g_certs},
                        &out, &err) != 0)
            g_certs.clear();
    }

    static void TearDownTestSuite()
    {
        if (!g_certs.empty())
            remove_tree(g_certs);
    }

    void SetUp() override
    {
        SoapDaemon::SetUp();
        ASSERT_FALSE(g_certs.empty()) << "certificates could not be made";
        ASSERT_TRUE(start(
            {"-s", g_certs + "/ca.pem:" + g_certs + "/server.pem:" + kTestServerKeyPassword}));
    }

    std::vector<std::string> argv_for(const std::string &tls, const std::string &op)
    {
        std::vector<std::string> argv{build_path("connector-client"), "-h",
                                      "127.0.0.1:" + std::to_string(port)};
        if (!tls.empty()) {
            argv.push_back("--tls");
            argv.push_back(tls);
        }
        argv.push_back(op);
        return argv;
    }

    int client(const std::string &tls, std::string *out, std::string *err,
               const std::string &op = "get-versionInfo")
    {
        return run_command(argv_for(tls, op), out, err, 30000);
    }

    std::string file(const std::string &name) { return g_certs + "/" + name; }

    std::string unreachable() const
    {
        return "connector-client: cannot reach the GUI connector at 127.0.0.1 port " +
               std::to_string(port) + ": ";
    }
};

TEST_F(ClientTls, OnlyAClientCertificateOfTheDaemonsCaIsServed)
{
    const std::string good = file("ca.pem") + ":" + file("good.pem") + ":" + file("good.key");
    std::string out, err;
    EXPECT_EQ(client(good, &out, &err), 0) << err;
    EXPECT_EQ(out, "interface-version: 2\n");

    // Each with what the one line says to do, where the client can tell.
    const std::vector<std::pair<std::string, std::string>> refused = {
        {file("ca.pem"), "a client certificate may be required (--tls ca:cert:key)"},
        {file("ca.pem") + ":" + file("bad.pem") + ":" + file("bad.key"), ""},
        {file("rogue.pem") + ":" + file("good.pem") + ":" + file("good.key"), ""},
        {"", "the daemon may serve TLS only (--tls ca:cert:key)"},  // plain HTTP
    };
    for (const auto &[tls, hint] : refused) {
        EXPECT_EQ(client(tls, &out, &err), 3) << tls << "\n" << err;
        EXPECT_EQ(out, "") << tls;
        EXPECT_EQ(err.rfind(unreachable(), 0), 0u) << tls << "\n" << err;
        EXPECT_NE(err.find(hint), std::string::npos) << err;
        EXPECT_EQ(count_of(err, "\n"), 1) << err;
    }
    // The refusals left the daemon serving.
    EXPECT_EQ(client(good, &out, &err, "ping"), 0) << err;
    EXPECT_EQ(out, "foo: 1\n");
}

TEST_F(ClientTls, KeyPasswordMayHoldColonsAndIsMasked)
{
    const std::string cert = file("ca.pem") + ":" + file("good.pem") + ":" + file("good-enc.key");
    std::string out, err;
    EXPECT_EQ(client(cert + ":pa:ss", &out, &err), 0) << err;
    EXPECT_EQ(out, "interface-version: 2\n");
    EXPECT_EQ(client(cert + ":wrong", &out, &err), 2);
    EXPECT_NE(err.find("cannot read the client key"), std::string::npos) << err;
    // No key part: the certificate's file is read for the key, and holds none.
    EXPECT_EQ(client(file("ca.pem") + ":" + file("good.pem"), &out, &err), 2);
    EXPECT_EQ(err, "connector-client: --tls: no private key in \"" + file("good.pem") +
                       "\": name the key file after the certificate (--tls ca:cert:key[:pw])\n");

    child_proc w;
    child_guard g(&w);
    ASSERT_TRUE(spawn(&w, argv_for(cert + ":pa:ss", "watch-scanned")));
    const std::string proc = "/proc/" + std::to_string(w.pid) + "/cmdline";
    std::string cmdline;
    for (int waited = 0; waited < kAnswerMs; waited += 10) {
        std::ifstream in(proc, std::ios::binary);
        cmdline.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (cmdline.find("good-enc.key:XXXXX") != std::string::npos)
            break;
        drain(&w, 10);
    }
    EXPECT_NE(cmdline.find("good-enc.key:XXXXX"), std::string::npos);
    EXPECT_EQ(cmdline.find("pa:ss"), std::string::npos);
}

}  // namespace
