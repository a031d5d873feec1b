// connector-client against a real daemon fed by status-send: every operation in both
// output forms, the one-way requests and their faults, the long polls, the metrics for
// Prometheus (checked by promtool and scraped through a real node exporter), and the
// exit statuses for usage errors, faults and a daemon that cannot be reached.
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "process/soap_daemon.h"

namespace {

// The sample lines of a Prometheus text, without the HELP and TYPE comments.
std::string samples(const std::string &text)
{
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#')
            out += line + "\n";
    return out;
}

// The sample line of one metric ("name value"), or "(no name)".
std::string sample(const std::string &text, const std::string &name)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name + " ", 0) == 0)
            return line;
    return "(no " + name + ")";
}

// A program on PATH, or "" when it is not installed.
std::string find_program(const std::string &name)
{
    const char *path = getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return "";
}

int directory_entries(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            n++;
    closedir(d);
    return n;
}

struct client_run {
    int status = -1;
    std::string out, err;
};

// Relays connections from a free port to the daemon, holding the answer to each
// get-blockedFile back by delay_ms, as a slow link or a loaded proxy would.
class SlowRelay {
public:
    SlowRelay(int to, int delay_ms) : to_(to), delay_ms_(delay_ms)
    {
        port = free_tcp_port();
        sockaddr_in a = loopback(port);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd_, 8) == 0)
            accepter_ = std::thread([this] { accept_loop(); });
    }
    ~SlowRelay()
    {
        shutdown(fd_, SHUT_RDWR);
        if (accepter_.joinable())
            accepter_.join();
        for (std::thread &t : pumps_)
            t.join();
        for (int fd : fds_)
            close(fd);
        close(fd_);
    }
    int port = 0;

private:
    static sockaddr_in loopback(int port)
    {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    void accept_loop()
    {
        for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            int d = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a = loopback(to_);
            fds_.insert(fds_.end(), {c, d});
            timeval tv = {5, 0};  // every relayed read is bounded
            for (int fd : {c, d})
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            if (connect(d, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
                continue;
            auto asked = std::make_shared<std::atomic<bool>>(false);
            pumps_.emplace_back([c, d, asked] { pump(c, d, asked, 0); });
            pumps_.emplace_back([this, c, d, asked] { pump(d, c, asked, delay_ms_); });
        }
    }
    // Copies from one socket to the other until the end; the client's side raises asked
    // at a get-blockedFile, and the daemon's side holds its next bytes back.
    static void pump(int from, int to, std::shared_ptr<std::atomic<bool>> asked, int delay_ms)
    {
        char buf[65536];
        for (ssize_t n; (n = recv(from, buf, sizeof buf, 0)) > 0;) {
            if (!delay_ms && memmem(buf, static_cast<size_t>(n), "get-blockedFile", 15))
                *asked = true;
            if (delay_ms && asked->exchange(false))
                std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));  // the lag
            send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
        }
        shutdown(to, SHUT_WR);
    }
    int to_, delay_ms_, fd_ = -1;
    std::thread accepter_;
    std::vector<std::thread> pumps_;
    std::vector<int> fds_;
};

class ClientOps : public SoapDaemon {
protected:
    std::vector<std::string> client_argv(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{build_path("connector-client"), "-h",
                                      "127.0.0.1:" + std::to_string(port)};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    client_run client(const std::vector<std::string> &args)
    {
        client_run r;
        r.status = run_command(client_argv(args), &r.out, &r.err, 20000);
        return r;
    }

    // Plain and JSON answers of one operation, each expected to exit with status 0.
    void expect_answer(const std::vector<std::string> &args, const std::string &plain,
                       const std::string &json)
    {
        client_run p = client(args);
        EXPECT_EQ(p.status, 0) << args[0] << ": " << p.err;
        EXPECT_EQ(p.out, plain) << args[0];
        std::vector<std::string> j = args;
        j.push_back("--json");
        client_run q = client(j);
        EXPECT_EQ(q.status, 0) << args[0] << " --json: " << q.err;
        EXPECT_EQ(q.out, json + "\n") << args[0] << " --json";
    }

    // Runs a long poll in the background and repeats the status message until the poll
    // answers: its connection may not be open yet when the first message arrives.
    client_run long_poll(const std::string &operation, const std::vector<std::string> &message)
    {
        client_run r;
        child_proc c;
        child_guard g(&c);
        if (!spawn(&c, client_argv({operation}))) {
            ADD_FAILURE() << "cannot start connector-client";
            return r;
        }
        for (int round = 0; round < 50 && r.status < 0; round++) {
            EXPECT_TRUE(send(message));
            r.status = wait_exit(&c, 200);
        }
        r.out = c.out;
        r.err = c.err;
        return r;
    }
};

TEST_F(ClientOps, EveryReadIsPrintedAlignedOrAsJson)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(send({"binVersionNumber", "S", "I", "7"}));
    ASSERT_TRUE(send({"engVersionNumber", "S", "I", "-8"}));
    ASSERT_TRUE(send({"vdfVersionNumber", "S", "I", "2147483647"}));
    ASSERT_TRUE(send({"currentConffile", "S", "S", "/etc/ren\\xe9/a\\\\b \"q\"\\tc.conf"}));
    ASSERT_TRUE(send({"numDaemons", "S", "I", "3"}));
    ASSERT_TRUE(send({"accessMask", "S", "I", "5"}));
    ASSERT_TRUE(send({"scannedFiles", "S", "Z", "4294967296"}));
    ASSERT_TRUE(send({"scannedBytes", "S", "Z", "1099511627776"}));
    ASSERT_TRUE(send({"blockedCount", "S", "Z", "2"}));

    expect_answer({"get-versionInfo"}, "interface-version: 2\n", "{\"interface-version\":2}");
    expect_answer({"get-binVersionNumber"}, "ver: 7\n", "{\"ver\":7}");
    expect_answer({"get-engVersionNumber"}, "ver: -8\n", "{\"ver\":-8}");
    expect_answer({"get-vdfVersionNumber"}, "ver: 2147483647\n", "{\"ver\":2147483647}");
    // The daemon sends byte 0xE9 as &#233;: a byte that is no UTF-8 is shown as the
    // character it reads as; control bytes and backslashes are escaped so that each value
    // keeps to its line.
    expect_answer({"get-currentConffile"}, "fn: /etc/ren\xC3\xA9/a\\\\b \"q\"\\tc.conf\n",
                  "{\"fn\":\"/etc/ren\xC3\xA9/a\\\\b \\\"q\\\"\\tc.conf\"}");
    // A name written in UTF-8 (each of its bytes a reference of its own) is shown as such.
    ASSERT_TRUE(send({"currentConffile", "S", "S", "/Pr\\xc3\\xa4sentation.pptx"}));
    expect_answer({"get-currentConffile"}, "fn: /Pr\xC3\xA4sentation.pptx\n",
                  "{\"fn\":\"/Pr\xC3\xA4sentation.pptx\"}");
    expect_answer({"get-currentStats"},
                  "numDaemons:   3\naccessMask:   5\nscannedFiles: 4294967296\n"
                  "scannedBytes: 1099511627776\nblockedCount: 2\n",
                  "{\"numDaemons\":3,\"accessMask\":5,\"scannedFiles\":4294967296,"
                  "\"scannedBytes\":1099511627776,\"blockedCount\":2}");
}

TEST_F(ClientOps, LogChangedIsTakenOnce)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(send({"logChanged", "S", "I", "3"}));
    client_run first = client({"get-logChanged", "--json"});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "{\"log-changed\":true}\n");
    expect_answer({"get-logChanged"}, "log-changed: false\n", "{\"log-changed\":false}");
}

TEST_F(ClientOps, BlockedFilesByIndexInBothForms)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(send({"blockedFile", "S", "s",
                      "\\nSO=/home/user/a&b<c>.doc\\nBR=3\\nAN=Eicar\\nAT=heuristic\\nAC=deny"
                      "\\nUM=uid 1000\\nUR=http://alerts/?id=7&lang=en"}));
    ASSERT_TRUE(send({"blockedFile", "S", "2", "/srv/x.zip", "Archive.Bomb"}));

    expect_answer({"get-blockedFile2", "--index", "0"},
                  "object:   /home/user/a&b<c>.doc\n"
                  "reason:   BLOCKED-UNSUPPORTED\n"
                  "info:     Eicar\n"
                  "add-info: heuristic\n"
                  "action:   deny\n"
                  "source:   uid 1000\n"
                  "index:    0\n"
                  "alerturl: http://alerts/?id=7&lang=en\n",
                  "{\"object\":\"/home/user/a&b<c>.doc\",\"reason\":\"BLOCKED-UNSUPPORTED\","
                  "\"info\":\"Eicar\",\"add-info\":\"heuristic\",\"action\":\"deny\","
                  "\"source\":\"uid 1000\",\"index\":0,"
                  "\"alerturl\":\"http://alerts/?id=7&lang=en\"}");
    expect_answer({"get-blockedFile", "--index", "1"},
                  "filename:    /srv/x.zip\ninformation: Archive.Bomb\nindex:       1\n",
                  "{\"filename\":\"/srv/x.zip\",\"information\":\"Archive.Bomb\",\"index\":1}");
    // An index beyond the newest gets the oldest held record, with its own index.
    client_run beyond = client({"get-blockedFile", "--index", "9", "--json"});
    EXPECT_EQ(beyond.status, 0) << beyond.err;
    EXPECT_EQ(beyond.out, "{\"filename\":\"/home/user/a&b<c>.doc\",\"information\":\"Eicar\","
                          "\"index\":0}\n");
}

TEST_F(ClientOps, LongPollsAnswerWithTheNextArrival)
{
    ASSERT_TRUE(start());
    client_run blocked = long_poll("get-lastBlockedFile", {"5", "S", "2", "/new/file", "Sig"});
    EXPECT_EQ(blocked.status, 0) << blocked.err;
    EXPECT_EQ(blocked.out.rfind("filename:    /new/file\ninformation: Sig\nindex:       ", 0), 0u)
        << blocked.out;
    client_run scanned = long_poll("get-lastScannedFile", {"6", "S", "S", "/scanned/now"});
    EXPECT_EQ(scanned.status, 0) << scanned.err;
    EXPECT_EQ(scanned.out, "fn: /scanned/now\n");
}

TEST_F(ClientOps, CommandsAreForwardedAndOnlyPingAnswers)
{
    ASSERT_TRUE(start());
    client_run reload = client({"reload"});
    EXPECT_EQ(reload.status, 0) << reload.err;
    EXPECT_EQ(reload.out, "");
    client_run stop = client({"stop", "--json"});
    EXPECT_EQ(stop.status, 0) << stop.err;
    EXPECT_EQ(stop.out, "");
    expect_answer({"ping"}, "foo: 1\n", "{\"foo\":1}");
    EXPECT_TRUE(wait_for_output(&daemon, "FWD_CMD: PING\nFWD_CMD: PING\n", 2, kAnswerMs));
    EXPECT_EQ(daemon.err, "FWD_CMD: RELOAD\nFWD_CMD: STOP\nFWD_CMD: PING\nFWD_CMD: PING\n");
    // The daemon is still there for the next client.
    EXPECT_EQ(client({"get-versionInfo"}).status, 0);
}

TEST_F(ClientOps, ForwardingFailureIsAFaultWithItsStringOnStderr)
{
    ASSERT_TRUE(start());
    close(daemon.err_fd);
    daemon.err_fd = -1;
    for (const char *op : {"reload", "stop", "ping"}) {
        client_run r = client({op});
        EXPECT_EQ(r.status, 1) << op;
        EXPECT_EQ(r.out, "") << op;
        EXPECT_EQ(r.err, "connector-client: SOAP fault SOAP-ENV:Client: could not forward request\n"
                         "connector-client: detail: had a problem forwarding the request to the "
                         "executing instance\n")
            << op;
    }
}

TEST_F(ClientOps, UnregisterEndsTheNamedConnectionAndFaultsOnUnknownIds)
{
    ASSERT_TRUE(start());
    // Ids are handed out from 1 up, one per connection, so this one is far ahead.
    client_run unknown = client({"unregister-client", "--id", "999999999999"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "connector-client: SOAP fault SOAP-ENV:Client: unknown client id\n");

    http_conn held;
    std::string id = xml_text(call(&held, "register-client"), "id");
    client_run plain = client({"register-client"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out.rfind("id: ", 0), 0u) << plain.out;
    EXPECT_NE(plain.out, "id: " + id + "\n");
    client_run json = client({"register-client", "--json"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out.rfind("{\"id\":", 0), 0u) << json.out;
    client_run unreg = client({"unregister-client", "--id", id});
    EXPECT_EQ(unreg.status, 0) << unreg.err;
    EXPECT_EQ(unreg.out, "");
    EXPECT_TRUE(http_closed_without_reply(&held, kAnswerMs));
}

TEST_F(ClientOps, UsageErrorsExitWithTwoBeforeAnyConnection)
{
    // No daemon runs: a usage error must be found without trying to connect.
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"get-nothing"},
        {"get-versionInfo", "extra"},
        {"get-blockedFile"},
        {"get-blockedFile2", "--index", "-1"},
        {"get-blockedFile2", "--index", "4294967296"},
        {"get-versionInfo", "--index", "1"},
        {"unregister-client"},
        {"unregister-client", "--id", "12x"},
        {"ping", "--id", "1"},
        {"get-blockedFile", "--index", "0", "--from", "1"},
        {"ping", "--timeout", "0"},
        {"ping", "--timeout"},
        {"ping", "--bogus"},
        {"ping", "-h", "127.0.0.1:0"},
        {"ping", "-h", "127.0.0.1:65536"},
        {"ping", "-h", "localhost:http"},
        {"ping", "--tls", ""},
        {"ping", "--tls", "ca.pem::key.pem"},
        {"ping", "--tls", "/nonexistent/ca.pem"},
        {"ping", "--textfile", "/tmp"},
    };
    for (const auto &args : bad) {
        client_run r = client(args);
        std::string shown;
        for (const auto &a : args)
            shown += a + " ";
        EXPECT_EQ(r.status, 2) << shown << r.err;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_NE(r.err.find("connector-client: "), std::string::npos) << shown;
    }
    client_run help = client({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("watch-blocked [--from N]"), std::string::npos);
}

TEST_F(ClientOps, UnreachableDaemonIsNamedWithHostAndPort)
{
    // Nothing listens on the fixture's port until start().
    client_run r = client({"ping"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "connector-client: cannot reach the GUI connector at 127.0.0.1 port " +
                         std::to_string(port) + ": Connection refused\n");
    // The daemon's -h rule: ":port" keeps the default host, "::1" is a host on the
    // default port.
    std::string out, err;
    EXPECT_EQ(run_command({build_path("connector-client"), "-h", ":" + std::to_string(port),
                           "get-versionInfo"},
                          &out, &err),
              3);
    EXPECT_NE(err.find("at 127.0.0.1 port " + std::to_string(port) + ": "), std::string::npos)
        << err;
    EXPECT_EQ(
        run_command({build_path("connector-client"), "-h", "::1", "get-versionInfo"}, &out, &err),
        3);
    EXPECT_NE(err.find("at ::1 port 50359: "), std::string::npos) << err;
}

TEST_F(ClientOps, TimeoutEndsAWaitWithNoAnswer)
{
    ASSERT_TRUE(start());
    client_run r = client({"get-lastScannedFile", "--timeout", "1"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err, "connector-client: no new record within 1 s from the GUI connector at "
                     "127.0.0.1 port " +
                         std::to_string(port) + "\n");
}

TEST_F(ClientOps, MetricsReportEveryFigureAndLeaveTheLogChangedFlag)
{
    // The message queue holds the sender back instead of dropping records, so all of
    // the more than 1024 blocked files below arrive.
    ASSERT_TRUE(start({"-U"}));
    ASSERT_TRUE(send_batch("numDaemons S I 3\naccessMask S I 5\nscannedFiles S Z 4294967296\n"
                           "scannedBytes S Z 1099511627776\nblockedCount S Z 2\n"
                           "binVersionNumber S I 7\nengVersionNumber S I -8\n"
                           "vdfVersionNumber S I 2147483647\ncurrentConffile S S /etc/s.conf\n"
                           "logChanged S I 3\n",
                           10));
    const std::string task_dir = "/proc/" + std::to_string(daemon.pid) + "/task";
    const int idle_threads = directory_entries(task_dir);
    // No blocked file yet: the count is found by a request that waits, which the
    // client must end, not leave holding a connection thread until the next one.
    client_run m = client({"metrics"});
    EXPECT_EQ(m.status, 0) << m.err;
    EXPECT_EQ(m.err, "");
    EXPECT_EQ(samples(m.out), "gui_connector_up 1\n"
                              "gui_connector_scanner_daemons 3\n"
                              "gui_connector_access_mask 5\n"
                              "gui_connector_scanned_files_total 4294967296\n"
                              "gui_connector_scanned_bytes_total 1099511627776\n"
                              "gui_connector_blocked_files_total 2\n"
                              "gui_connector_blocked_file_records_total 0\n"
                              "gui_connector_version_number{kind=\"bin\"} 7\n"
                              "gui_connector_version_number{kind=\"eng\"} -8\n"
                              "gui_connector_version_number{kind=\"vdf\"} 2147483647\n"
                              "gui_connector_config_file_set 1\n");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerMs);
    while (directory_entries(task_dir) > idle_threads &&
           std::chrono::steady_clock::now() < deadline)
        drain(&daemon, 20);
    EXPECT_EQ(directory_entries(task_dir), idle_threads) << "a connection thread was left waiting";
    // Still set after the metrics: the plain call takes it, the JSON call finds it taken.
    expect_answer({"get-logChanged"}, "log-changed: true\n", "{\"log-changed\":false}");

    // Fewer records than the ring holds, then more: both ways of counting.
    std::string three;
    for (int i = 0; i < 3; i++)
        three += "blockedFile S 2 /b/" + std::to_string(i) + "\tSig\n";
    ASSERT_TRUE(send_batch(three, 3));
    EXPECT_EQ(sample(client({"metrics"}).out, "gui_connector_blocked_file_records_total"),
              "gui_connector_blocked_file_records_total 3");
    std::string many;
    for (int i = 0; i < 1100; i++)
        many += "blockedFile S 2 /m/" + std::to_string(i) + "\tSig\n";
    ASSERT_TRUE(send_batch(many, 1100));
    EXPECT_EQ(sample(client({"metrics"}).out, "gui_connector_blocked_file_records_total"),
              "gui_connector_blocked_file_records_total 1103");
    // A probe answered after more than a second was taken for a wait, and the count
    // written as 0: a counter reset to a scraper. A count not known is left out.
    {
        SlowRelay relay(port, 1200);
        client_run slow = client({"-h", "127.0.0.1:" + std::to_string(relay.port), "metrics"});
        EXPECT_EQ(slow.status, 0) << slow.err;
        EXPECT_NE(slow.out.find("gui_connector_up 1\n"), std::string::npos) << slow.out;
        EXPECT_EQ(slow.out.find("blocked_file_records"), std::string::npos) << slow.out;
    }
}

// The metrics timer ignored /etc/default/gui-connector: a service moved with -h got
// "up 0" every 15 s. Its command, as systemd runs it, with the service's options set. A
// service with --web is scraped itself: the timer then takes its file away.
TEST_F(ClientOps, MetricsTimerAsksWhereTheServiceListens)
{
    ASSERT_TRUE(start({"-U"}));
    std::ifstream unit(std::string(GC_SOURCE_DIR) +
                       "/debian/gui-connector.gui-connector-metrics.service");
    std::string line, exec;
    while (std::getline(unit, line))
        if (line.rfind("ExecStart=", 0) == 0)
            exec = line.substr(10);
    for (size_t at; (at = exec.find("$$")) != std::string::npos;)
        exec.erase(at, 1);
    const std::string textdir = dir + "/textfile";
    ASSERT_EQ(mkdir(textdir.c_str(), 0755), 0);
    for (const auto &[from, to] : {std::pair<std::string, std::string>{
                                       "/usr/bin/connector-client", build_path("connector-client")},
                                   {"/var/lib/prometheus/node-exporter", textdir}})
        exec.replace(exec.find(from), from.size(), to);
    client_run r;
    r.status = run_command({"/bin/sh", "-c",
                            "GUI_CONNECTOR_OPTS='-U -h127.0.0.1:" + std::to_string(port) +
                                " -d /x' && export GUI_CONNECTOR_OPTS && " + exec},
                           &r.out, &r.err, 20000);
    EXPECT_EQ(r.status, 0) << exec << "\n" << r.err;
    std::ifstream prom(textdir + "/gui_connector.prom");
    std::string text((std::istreambuf_iterator<char>(prom)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("gui_connector_up 1\n"), std::string::npos) << text << r.err;
    r.status = run_command({"/bin/sh", "-c",
                            "GUI_CONNECTOR_OPTS='-h 127.0.0.1:" + std::to_string(port) +
                                " --web' && export GUI_CONNECTOR_OPTS && " + exec},
                           &r.out, &r.err, 20000);
    EXPECT_EQ(r.status, 0) << exec << "\n" << r.err;
    EXPECT_EQ(directory_entries(textdir), 0);
}

TEST_F(ClientOps, MetricsWithoutADaemonSayDownAndWhy)
{
    client_run m = client({"metrics"});
    EXPECT_EQ(m.status, 0);
    EXPECT_EQ(samples(m.out), "gui_connector_up 0\n");
    EXPECT_EQ(m.err, "connector-client: cannot reach the GUI connector at 127.0.0.1 port " +
                         std::to_string(port) + ": Connection refused\n");
    client_run nowhere = client({"metrics", "--textfile", dir + "/missing"});
    EXPECT_EQ(nowhere.status, 4);
    EXPECT_NE(nowhere.err.find("cannot write " + dir + "/missing/gui_connector.prom: "),
              std::string::npos)
        << nowhere.err;
}

TEST_F(ClientOps, MetricsTextfileIsCheckedAndScrapedByTheNodeExporter)
{
    const std::string promtool = find_program("promtool");
    const std::string exporter = find_program("prometheus-node-exporter");
    if (promtool.empty() || exporter.empty())
        GTEST_SKIP() << "needs promtool (package prometheus) and prometheus-node-exporter; "
                        "make test installs both";
    ASSERT_TRUE(start());
    ASSERT_TRUE(send_batch("scannedFiles S Z 42\nbinVersionNumber S I 9\n"
                           "blockedFile S 2 /x\tSig\nblockedFile S 2 /y\tSig\n",
                           4));
    const std::string textdir = dir + "/textfile";
    ASSERT_EQ(mkdir(textdir.c_str(), 0755), 0);
    client_run m = client({"metrics", "--textfile", textdir});
    ASSERT_EQ(m.status, 0) << m.err;
    EXPECT_EQ(m.out, "");
    EXPECT_EQ(directory_entries(textdir), 1) << "the temporary file stayed behind";
    std::string out, err;
    EXPECT_EQ(run_command({"/bin/sh", "-c", "exec \"$0\" check metrics < \"$1\"", promtool,
                           textdir + "/gui_connector.prom"},
                          &out, &err),
              0)
        << out << err;

    const int web_port = free_tcp_port();
    ASSERT_GT(web_port, 0);
    child_proc ne;
    child_guard g(&ne);
    ASSERT_TRUE(spawn(&ne, {exporter, "--collector.disable-defaults", "--collector.textfile",
                            "--collector.textfile.directory=" + textdir,
                            "--web.listen-address=127.0.0.1:" + std::to_string(web_port)}));
    http_conn c;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!http_connect(&c, web_port, 200) && std::chrono::steady_clock::now() < deadline) {
        drain(&ne, 50);
        ASSERT_LT(wait_exit(&ne, 0), 0) << "the node exporter ended: " << ne.err;
    }
    ASSERT_GE(c.fd, 0) << "the node exporter did not listen: " << ne.err;
    ASSERT_TRUE(http_send_raw(&c, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                  "Connection: close\r\n\r\n"));
    http_reply r;
    ASSERT_EQ(http_read_reply(&c, &r, kAnswerMs), HTTP_REPLY);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(sample(r.body, "gui_connector_up"), "gui_connector_up 1");
    EXPECT_EQ(sample(r.body, "gui_connector_scanned_files_total"),
              "gui_connector_scanned_files_total 42");
    EXPECT_EQ(sample(r.body, "gui_connector_blocked_file_records_total"),
              "gui_connector_blocked_file_records_total 2");
    EXPECT_NE(r.body.find("gui_connector_version_number{kind=\"bin\"} 9\n"), std::string::npos)
        << r.body;
    EXPECT_EQ(sample(r.body, "node_textfile_scrape_error"), "node_textfile_scrape_error 0");
}

}  // namespace
