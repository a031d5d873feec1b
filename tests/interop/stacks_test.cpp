// Two more third-party SOAP stacks against a real daemon fed by status-send, each with a
// client built from the installed WSDL alone: PHP's SoapClient (Debian's php-cli and
// php-soap) and node-soap (the npm package "soap" pinned in tests/interop/node, which
// make deps installs). Each calls a two-way operation, a long poll released by
// status-send, a one-way operation and one that faults, then reads the code and text of
// an unknown client id and of a failed forward on both SOAP ports
// (tests/interop/php_check.php and tests/interop/node/node_soap_check.js say how).
// Headless Chromium (Debian's chromium, driven by puppeteer-core from
// tests/interop/browser) plays web pages, hostile and trusted, and keeps the dashboard
// open in ten tabs. The snippets of docs/CLIENTS.md marked for
// it run as written. Skipped, with a message, where the stack is not installed.
#include <iterator>
#include <regex>

#include "process/soap_daemon.h"
#include "support/tls_certs.h"

namespace {

constexpr char kPhp[] = "/usr/bin/php";
constexpr char kNode[] = "/usr/bin/node";
constexpr char kChromium[] = "/usr/bin/chromium";
constexpr char kPython[] = "/usr/bin/python3";
// The npm packages the guide's Node.js snippets require, as make deps pins them.
constexpr char kNodeModules[] = GC_SOURCE_DIR "/tests/interop/node/node_modules";
// What every stack reads of an unknown client id and a failed forward, on each port.
const std::string kFaultLines =
    "1.1 unregister-client\t{\"code\":\"SOAP-ENV:Client\",\"text\":\"unknown client id\"}\n"
    "1.1 ping\t{\"code\":\"SOAP-ENV:Client\",\"text\":\"could not forward request\"}\n"
    "1.2 unregister-client\t{\"code\":\"SOAP-ENV:Sender\",\"text\":\"unknown client id\"}\n"
    "1.2 ping\t{\"code\":\"SOAP-ENV:Sender\",\"text\":\"could not forward request\"}\n";

class StackInterop : public SoapDaemon {
protected:
    // Starts the daemon with one blocked file and a 64-bit byte count in the store.
    void start_fed(const std::vector<std::string> &extra = {})
    {
        ASSERT_TRUE(start(extra));
        ASSERT_TRUE(send(
            {"blockedFile", "S", "s", "\\nSO=/home/user/a&b.doc\\nBR=2\\nAN=Eicar\\nAC=deny"}));
        // 2^53 + 1: the smallest count a JavaScript number cannot hold.
        ASSERT_TRUE(send({"scannedBytes", "S", "Z", "9007199254740993"}));
    }

    // Runs argv; once it prints READY (its long poll is about to go out on a connection
    // it already holds) sends the scanned file that releases the poll, and once it asks
    // for faults checks that its one reload got through. Returns its stdout.
    std::string run_check(const std::vector<std::string> &argv)
    {
        child_proc c;
        child_guard g(&c);
        if (!spawn(&c, argv, true)) {
            ADD_FAILURE() << "cannot start " << argv[0];
            return "";
        }
        if (!wait_for_output(&c, "READY\n", 1, 30000)) {
            ADD_FAILURE() << "no READY\n" << c.out << "\n" << c.err;
            return c.out;
        }
        EXPECT_TRUE(send({"lastScannedFile", "S", "S", "/home/user/scanned.txt"}));
        EXPECT_TRUE(wait_for_output(&c, "FAULTS\n", 1, 30000)) << c.out << "\n" << c.err;
        expect_one_reload();
        EXPECT_TRUE(fail_forwards_when_asked(&c));
        EXPECT_EQ(wait_exit(&c, 30000), 0) << c.out << "\n" << c.err;
        return c.out;
    }

    // The one-way reload reached the scanner side once.
    void expect_one_reload()
    {
        EXPECT_TRUE(wait_for_output(&daemon, "FWD_CMD: RELOAD\n", 2, kAnswerMs)) << daemon.err;
        drain(&daemon, 100);
        EXPECT_EQ(count_of(daemon.err, "FWD_CMD: RELOAD\n"), 1) << daemon.err;
    }

    // The folder of the browser checks, or "" when Chromium or puppeteer-core is missing.
    static std::string browser_dir()
    {
        const std::string dir = std::string(GC_SOURCE_DIR) + "/tests/interop/browser";
        std::string out, err;
        const bool ok =
            access(kChromium, X_OK) == 0 &&
            run_command({kNode, "-e", "require('" + dir + "/node_modules/puppeteer-core')"}, &out,
                        &err) == 0;
        return ok ? dir : "";
    }

    std::string wsdl() { return build_path("gui-connector.wsdl"); }
    std::string url() { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

    // A snippet of the guide, docs/CLIENTS.md, as a reader runs it: the block under
    // "<!-- test: name -->", with the port and the certificates' folder (/tmp/pki) made
    // the test's, run by interpreter in a scratch folder beside links to build/ and the
    // pinned node modules. Once it prints release (when given) the scanned file that ends
    // its first long poll is sent. Returns its stdout, client ids shown as N.
    std::string run_guide(const std::string &name, const std::string &interpreter,
                          const std::string &certs = "", const std::string &release = "")
    {
        std::ifstream in(std::string(GC_SOURCE_DIR) + "/docs/CLIENTS.md");
        const std::string doc{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const size_t mark = doc.find("<!-- test: " + name + " -->\n```");
        if (mark == std::string::npos)
            return "no snippet " + name;
        const size_t from = doc.find('\n', doc.find("```", mark)) + 1;
        std::string code = doc.substr(from, doc.find("\n```\n", from) + 1 - from);
        code = std::regex_replace(code, std::regex("127\\.0\\.0\\.1:50359"),
                                  "127.0.0.1:" + std::to_string(port));
        const std::string folder = dir + "/guide", file = folder + "/" + std::to_string(mark);
        mkdir(folder.c_str(), 0700);
        (void)!symlink(GC_BUILD_DIR, (folder + "/build").c_str());
        (void)!symlink(kNodeModules, (folder + "/node_modules").c_str());
        std::ofstream(file) << std::regex_replace(code, std::regex("/tmp/pki/"), certs + "/");
        child_proc c;
        child_guard g(&c);
        if (!spawn(&c,
                   {"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" \"$2\"", folder, interpreter, file}))
            return "cannot start " + interpreter;
        if (!release.empty()) {
            EXPECT_TRUE(wait_for_output(&c, release, 1, 30000)) << c.out << "\n" << c.err;
            EXPECT_TRUE(send({"lastScannedFile", "S", "S", "/home/user/notes.txt"}));
        }
        EXPECT_EQ(wait_exit(&c, 30000), 0) << name << "\n" << c.out << "\n" << c.err;
        return std::regex_replace(c.out, std::regex("client id [0-9]+"), "client id N");
    }
};

TEST_F(StackInterop, PhpSoapClientReadsWaitsSendsOneWayAndSeesAFault)
{
    std::string out, err;
    if (run_command({kPhp, "-r", "exit(class_exists('SoapClient') ? 0 : 1);"}, &out, &err) != 0)
        GTEST_SKIP() << kPhp << " without SoapClient (Debian packages php-cli, php-soap)";
    start_fed();
    EXPECT_EQ(run_check({kPhp, std::string(GC_SOURCE_DIR) + "/tests/interop/php_check.php", wsdl(),
                         url()}),
              "get-blockedFile2\t{\"object\":\"/home/user/a&b.doc\",\"reason\":"
              "\"BLOCKED-ENCRYPTED\",\"info\":\"Eicar\",\"add-info\":\"\",\"action\":\"deny\","
              "\"source\":\"\",\"index\":0,\"alerturl\":\"\"}\n"
              "READY\n"
              "get-lastScannedFile\t{\"fn\":\"/home/user/scanned.txt\"}\n"
              "reload\tnull\n"
              "get-blockedFile\t{\"faultcode\":\"SOAP-ENV:Client\",\"faultstring\":"
              "\"Validation constraint violation: invalid value in element 'index'\"}\n"
              "FAULTS\n" +
                  kFaultLines);
}

TEST_F(StackInterop, NodeSoapReadsWaitsSendsOneWayAndSeesAFault)
{
    const std::string dir = std::string(GC_SOURCE_DIR) + "/tests/interop/node";
    std::string out, err;
    if (run_command({kNode, "-e", "require('" + dir + "/node_modules/soap')"}, &out, &err) != 0)
        GTEST_SKIP() << "no node-soap in " << dir << " (make deps installs it): " << err;
    start_fed();
    EXPECT_EQ(run_check({kNode, dir + "/node_soap_check.js", wsdl(), url()}),
              "get-blockedFile2\t{\"object\":\"/home/user/a&b.doc\",\"reason\":"
              "\"BLOCKED-ENCRYPTED\",\"info\":\"Eicar\",\"add-info\":\"\",\"action\":\"deny\","
              "\"source\":\"\",\"index\":\"0\",\"alerturl\":\"\"}\n"
              "get-currentStats\t{\"numDaemons\":0,\"accessMask\":0,\"scannedFiles\":\"0\","
              "\"scannedBytes\":\"9007199254740993\",\"blockedCount\":\"0\"}\n"
              "READY\n"
              "get-lastScannedFile\t{\"fn\":\"/home/user/scanned.txt\"}\n"
              "reload\t\"closed without reply\"\n"
              "FAULTS\n" +
                  kFaultLines);
}

// The guide's PHP and strong-soap snippets: ids a PHP integer and a JavaScript number
// hold, and a long poll cancelled by its connection's id from another.
TEST_F(StackInterop, GuideSnippetsCancelAPollByItsId)
{
    if (access(kNodeModules, R_OK) != 0)
        GTEST_SKIP() << "no " << kNodeModules << " (make deps installs it)";
    start_fed();
    const std::string shown = "/home/user/a&b.doc BLOCKED-ENCRYPTED\nclient id N\n"
                              "scanned: /home/user/notes.txt\npoll cancelled: ";
    const std::string faults = "fault SOAP-ENV:Client unknown client id\n"
                               "fault SOAP-ENV:Sender unknown client id\n";
    EXPECT_EQ(run_guide("php", kPhp, "", "client id "),
              shown + "Error Fetching http headers\n" + faults);
    expect_one_reload();
    EXPECT_EQ(run_guide("strong-soap", kNode, "", "client id "), shown + "ECONNRESET\n" + faults);
    EXPECT_TRUE(wait_for_output(&daemon, "FWD_CMD: RELOAD\n", 2, kAnswerMs)) << daemon.err;
}

// The guide's TLS snippets against a daemon that requires client certificates.
TEST_F(StackInterop, GuideTlsSnippetsPresentAClientCertificate)
{
    if (access(kNodeModules, R_OK) != 0)
        GTEST_SKIP() << "no " << kNodeModules << " (make deps installs it)";
    const std::string certs = dir + "/pki";
    ASSERT_EQ(mkdir(certs.c_str(), 0700), 0);
    ASSERT_TRUE(make_test_certificates(certs));
    ASSERT_EQ(symlink("good.pem", (certs + "/client.pem").c_str()), 0);
    ASSERT_EQ(symlink("good.key", (certs + "/client.key").c_str()), 0);
    start_fed({"-s", certs + "/ca.pem:" + certs + "/server.pem:" + kTestServerKeyPassword});
    for (const auto &[name, interpreter] : {std::pair<std::string, std::string>{"zeep", kPython},
                                            {"php", kPhp},
                                            {"node-soap", kNode},
                                            {"strong-soap", kNode}})
        EXPECT_EQ(run_guide("tls " + name, interpreter, certs), "/home/user/a&b.doc\n") << name;
}

// Pages the daemon does not trust, among them one on [::1] and one under a rebinding name,
// read nothing and forward nothing; an allowed origin reads replies and waits in long
// polls like any client, and the dashboard works from the daemon's own address.
TEST_F(StackInterop, BrowserPagesNotTrustedReadNothingAndStopNothing)
{
    const std::string dir = browser_dir();
    if (dir.empty())
        GTEST_SKIP() << "no " << kChromium << " or puppeteer-core (make deps installs both)";
    const int page_port = free_tcp_port();
    start_fed({"--web", "--allow-origin", "http://127.0.0.1:" + std::to_string(page_port)});
    child_proc c;
    child_guard g(&c);
    ASSERT_TRUE(spawn(&c, {kNode, dir + "/browser_check.js", kChromium, std::to_string(port),
                           std::to_string(page_port)}));
    ASSERT_TRUE(wait_for_output(&c, "READY\n", 1, 60000)) << c.out << "\n" << c.err;
    EXPECT_TRUE(
        send({"blockedFile", "S", "s", "\\nSO=/home/user/second.doc\\nBR=2\\nAN=Eicar\\nAC=deny"}));
    EXPECT_EQ(wait_exit(&c, 30000), 0) << c.err;
    // Every attempt of browser_check.js with what it got: from 127.0.0.1 the browser
    // lets the page read nothing the daemon does not grant; from the page's own origin
    // the daemon refuses by itself.
    auto attempts = [](const std::string &read, const std::string &no_cors) {
        std::string s;
        for (const char *what :
             {"GET /api/state", "GET /metrics", "GET /?wsdl", "GET /events", "POST text/xml"})
            s += std::string(what) + " " + read + ", ";
        for (const char *type :
             {"text/plain", "application/x-www-form-urlencoded", "multipart/form-data"})
            s += std::string("no-cors ") + type + " " + no_cors + ", ";
        return s + "form text/plain sent, form application/x-www-form-urlencoded sent\n";
    };
    const std::string cross = attempts("TypeError", "opaque"), own = attempts("403", "403");
    EXPECT_EQ(c.out, "[::1]\t" + cross + "localhost\t" + cross + "localhost own\t" + own +
                         "other port\t" + cross + "127.0.0.2\t" + cross + "rebinding\t" + cross +
                         "rebinding own\t" + own +
                         "interface-version\t2\n"
                         "READY\n"
                         "get-blockedFile2\t/home/user/second.doc\n"
                         "dashboard\t/home/user/second.doc\n");
    drain(&daemon, 200);
    EXPECT_EQ(daemon.err.find("FWD_CMD"), std::string::npos) << daemon.err;
}

// The dashboard of --web kept open in ten tabs of one browser, which allows six
// connections to a host: every tab shows each blocked file within a second, names as
// text, versions dotted, an unknown reason without the alarm, and at 400 px the file,
// detection and action. The screenshot of a realistic session goes to the build tree.
TEST_F(StackInterop, DashboardInTenTabsShowsEachBlockedFileWithinASecond)
{
    const std::string dir = browser_dir();
    if (dir.empty())
        GTEST_SKIP() << "no " << kChromium << " or puppeteer-core (make deps installs both)";
    ASSERT_TRUE(start({"--web"}));
    ASSERT_TRUE(send_batch("binVersionNumber S I 50462730\nengVersionNumber S I 134430722\n"
                           "vdfVersionNumber S I 135471244\n"
                           "currentConffile S S /etc/scanner/scanner.conf\n"
                           "numDaemons S I 2\naccessMask S I 3\nscannedFiles S Z 48211\n"
                           "scannedBytes S Z 7301234567\nblockedCount S Z 1\n"
                           "lastScannedFile S S /home/anna/Dokumente/Quartalsbericht_Q3.xlsx\n"
                           "blockedFile S s \\nSO=/home/anna/Downloads/Rechnung_2024-11.pdf.exe"
                           "\\nBR=0\\nAN=Trojan.GenericKD.4711\\nAC=quarantine\n",
                           11));
    child_proc c;
    child_guard g(&c);
    ASSERT_TRUE(spawn(
        &c, {kNode, dir + "/dashboard_check.js", kChromium, url(), build_path("dashboard.png")},
        true));
    ASSERT_TRUE(wait_for_output(&c, "READY\n", 1, 60000)) << c.out << "\n" << c.err;
    // Some seconds of a file server's morning: the scanner's counter several times a
    // second, and blocked files among its reports.
    const char *blocked[] = {
        "/home/anna/Dokumente/Präsentation.pptx\\nBR=1\\nAN=HEUR/Macro.Downloader\\nAC=deny",
        "/srv/samba/public/setup_crack.zip\\nBR=2\\nAN=Encrypted archive\\nAC=deny",
        "/var/www/uploads/shell.php\\nBR=0\\nAN=PHP/WebShell.B\\nAC=quarantine",
        "/home/bernd/Bilder/urlaub.jpg.scr\\nBR=4\\nAN=Blocked extension .scr\\nAC=deny",
        "/tmp/.cache/kworker\\nBR=0\\nAN=Linux/CoinMiner.AB\\nAC=quarantine"};
    std::string session;
    for (int i = 0; i < 32; i++) {
        session += "scannedFiles I Z " + std::to_string(60 + i * 37 % 110) + "\n";
        if (i % 6 == 3)
            session +=
                std::string("blockedFile S s \\nSO=") + blocked[i / 6] + "\nblockedCount I Z 1\n";
    }
    ASSERT_TRUE(send_batch(session, 42, 5));
    ASSERT_EQ(write(c.in_fd, "6\n", 2), 2);
    ASSERT_TRUE(wait_for_output(&c, "SAVED\n", 1, 30000)) << c.out << "\n" << c.err;
    const std::string name = "/home/user/<script>window.ran=1</script><img src=x "
                             "onerror=window.ran=1>.doc";
    ASSERT_TRUE(send({"blockedFile", "S", "s", "\\nSO=" + name + "\\nBR=99\\nAN=Eicar\\nAC=deny"}));
    ASSERT_EQ(write(c.in_fd, "7\n", 2), 2);
    EXPECT_EQ(wait_exit(&c, 30000), 0) << c.err;
    EXPECT_EQ(c.out, "versions\tProgram 3.2.0.10 Engine 8.3.64.2 Signatures 8.19.32.140 "
                     "Configuration /etc/scanner/scanner.conf\n"
                     "scanned\t/home/anna/Dokumente/Quartalsbericht_Q3.xlsx\n"
                     "READY\n"
                     "tabs\t6 6 6 6 6 6 6 6 6 6\n"
                     "SAVED\n"
                     "newest\t" +
                         name +
                         "\n"
                         "reason\ttag reason 99\n"
                         "scripts ran\t0\n"
                         "narrow\tfile info action\n"
                         "filter\t3 of 7\n");
}

}  // namespace
