// The daemon's command line and start-up, seen from outside: exit statuses, the exact
// texts, the run-once lock, the masked password and the stop signals.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "support/test_support.h"
#include "support/tls_certs.h"

namespace {

const char kSynopsis[] =
    "synopsis: gui-connector [options]\n"
    "\t-h host[:port]\thostname to bind the SOAP interface to\n"
    "\t-p port\tTCP port to bind the SOAP interface to (obsolete)\n"
    "\t-s [ca]:key[:pw]\tenable SSL, use \"ca\" (CA cert), \"key\"+\"pw\" (server key+password)\n"
    "\t-r randfile\tuse random file \"randfile\" for SSL\n"
    "\t-d dir\tdirectory for msg key creation\n"
    "\t-v\tverbose operation (echos msgs)\n"
    "\t-D\tdiagnostic mode\n"
    "\t-V\tversion info and this help screen\n"
    "\t-M|-U\tdisable IPC via msg queues or UDP sockets\n";

class Cmdline : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        bin = private_binary(dir, "gui-connector");
        ASSERT_FALSE(bin.empty());
        port = free_tcp_port();
    }
    void TearDown() override { remove_tree(dir); }

    std::string soap_arg() const { return "127.0.0.1:" + std::to_string(port); }

    // Starts the daemon in verbose mode and waits until start-up is over.
    bool start(child_proc *c, std::vector<std::string> extra)
    {
        std::vector<std::string> args{bin, "-v", "-h", soap_arg()};
        args.insert(args.end(), extra.begin(), extra.end());
        return spawn(c, args) && wait_for_output(c, "done.\n", 1, 10000);
    }

    std::string dir, bin;
    int port = 0;
};

TEST_F(Cmdline, VersionOnlyAsFirstArgument)
{
    std::string out, err;
    EXPECT_EQ(run_command({bin, "--version"}, &out, &err), 0);
    EXPECT_EQ(out, "product: Server/Workstation GUI connector\nproduct version: 2007Q1\n");
    EXPECT_EQ(err, "");
    // --version needs nothing: no lock file is made.
    EXPECT_NE(access((dir + "/gui-connector.lck").c_str(), F_OK), 0);

    EXPECT_EQ(run_command({bin, "-v", "--version"}, &out, &err), 1);
    EXPECT_NE(err.find(kSynopsis), std::string::npos) << err;
}

TEST_F(Cmdline, VersionStampIsInTheProgramFile)
{
    std::ifstream f(build_path("gui-connector"), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    EXPECT_NE(ss.str().find("StAtSvErSiOn=2007Q1 / Server/Workstation / ? (20070118)"),
              std::string::npos);
}

TEST_F(Cmdline, SynopsisAndBadOptions)
{
    std::string out, err;
    EXPECT_EQ(run_command({bin, "-V"}, &out, &err), 0);
    EXPECT_EQ(err, kSynopsis);
    EXPECT_EQ(out, "");

    EXPECT_EQ(run_command({bin, "-x"}, &out, &err), 1);
    EXPECT_EQ(err, bin + ": invalid option -- 'x'\n" + kSynopsis);

    // An origin with a path would never match what a browser sends.
    EXPECT_EQ(run_command({bin, "--allow-origin", "http://127.0.0.1:8080/"}, &out, &err), 1);
    EXPECT_NE(err.find("not an origin"), std::string::npos) << err;

    EXPECT_EQ(run_command({bin, "-d"}, &out, &err), 1);
    EXPECT_NE(err.find("requires an argument"), std::string::npos) << err;
    // The lock file exists by then (created with mode 0600), but was never locked.
    struct stat st;
    ASSERT_EQ(stat((dir + "/gui-connector.lck").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Cmdline, SecondInstanceThroughSamePathIsRefused)
{
    child_proc first;
    child_guard g(&first);
    ASSERT_TRUE(start(&first, {})) << first.err;

    std::string out, err;
    int other_port = free_tcp_port();
    EXPECT_EQ(run_command({bin, "-h", "127.0.0.1:" + std::to_string(other_port)}, &out, &err), 255);
    EXPECT_NE(err.find("run once check: another instance is already running\n"), std::string::npos)
        << err;
    // -V still works while the other instance runs.
    EXPECT_EQ(run_command({bin, "-V"}, &out, &err), 0);

    // Another path means another lock file: not stopped by the first instance.
    std::string dir2 = make_temp_dir();
    std::string bin2 = private_binary(dir2, "gui-connector");
    child_proc second;
    child_guard g2(&second);
    ASSERT_TRUE(spawn(&second, {bin2, "-v", "-h", "127.0.0.1:" + std::to_string(other_port)}));
    EXPECT_TRUE(wait_for_output(&second, "done.\n", 1, 10000)) << second.err;
    kill(second.pid, SIGTERM);
    EXPECT_EQ(wait_exit(&second, 10000), 0);
    remove_tree(dir2);

    kill(first.pid, SIGTERM);
    EXPECT_EQ(wait_exit(&first, 10000), 0);
}

TEST_F(Cmdline, StopSignalsEndWithStatusZero)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        child_proc c;
        child_guard g(&c);
        ASSERT_TRUE(start(&c, {})) << c.err;
        kill(c.pid, sig);
        EXPECT_EQ(wait_exit(&c, 10000), 0) << "signal " << sig << "\n" << c.err;
        EXPECT_NE(c.out.find("exit from service loop.\nshutting down ... data ... SOAP ... "
                             "stats ... done.\n"),
                  std::string::npos)
            << c.out;
    }
}

TEST_F(Cmdline, StopSignalRightAfterStartIsNeverLost)
{
    // Signals sent as early as possible, many times over: every instance must end
    // promptly, whether the signal lands before, during or after the receive begins.
    for (int i = 0; i < 20; i++) {
        child_proc c;
        child_guard g(&c);
        ASSERT_TRUE(spawn(&c, {bin, "-v", "-h", soap_arg()}));
        ASSERT_TRUE(wait_for_output(&c, "done.\n", 1, 10000)) << c.err;
        kill(c.pid, SIGTERM);
        EXPECT_EQ(wait_exit(&c, 5000), 0) << "instance " << i;
    }
}

TEST_F(Cmdline, PasswordIsMaskedInProcessArguments)
{
    // A throwaway self-signed server certificate with a password-protected key.
    std::string cert = dir + "/cert.pem", key = dir + "/key.pem", server = dir + "/server.pem";
    std::string out, err;
    ASSERT_EQ(
        run_command({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-keyout", key,
                     "-out", cert, "-days", "1", "-subj", "/CN=localhost", "-passout", "pass:pw"},
                    &out, &err, 60000),
        0)
        << err;
    ASSERT_EQ(
        run_command({"/bin/sh", "-c", "cat " + cert + " " + key + " > " + server}, &out, &err), 0);

    child_proc c;
    child_guard g(&c);
    ASSERT_TRUE(start(&c, {"-s", cert + ":" + server + ":pw"})) << c.err;
    EXPECT_NE(c.out.find("SOAP over SSL, key \"" + server + "\" with pass \"pw\", CA \"" + cert +
                         "\", rand \"<NULL>\"\n"),
              std::string::npos)
        << c.out;

    std::ifstream f("/proc/" + std::to_string(c.pid) + "/cmdline", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    std::string masked =
        cert + std::string(1, '\0') + server + std::string(1, '\0') + "XX" + std::string(1, '\0');
    EXPECT_NE(ss.str().find(masked), std::string::npos);
    EXPECT_EQ(ss.str().find(":pw"), std::string::npos);
    kill(c.pid, SIGTERM);
    EXPECT_EQ(wait_exit(&c, 15000), 0);
}

TEST_F(Cmdline, MissingIpcDirectorySkipsTheLoopAndFailsTheStart)
{
    child_proc c;
    child_guard g(&c);
    ASSERT_TRUE(spawn(&c, {bin, "-v", "-h", soap_arg(), "-d", dir + "/missing"}));
    EXPECT_EQ(wait_exit(&c, 10000), 2);
    EXPECT_NE(c.err.find("cannot init generic stats info\n"), std::string::npos) << c.err;
    EXPECT_EQ(c.out.find("waiting for a message"), std::string::npos);
    EXPECT_NE(c.out.find("IPC msg queue directory \"" + dir + "/missing\"\n"), std::string::npos);
}

// The next datagram on sock within a bounded wait, "" when none came.
std::string next_datagram(int sock)
{
    pollfd p = {sock, POLLIN, 0};
    char buf[1024];
    const ssize_t n = poll(&p, 1, 10000) == 1 ? recv(sock, buf, sizeof buf, 0) : -1;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

TEST_F(Cmdline, ConfigurationLinesAndLeftOverWords)
{
    // A service manager's notification socket (Type=notify): the daemon says when it
    // serves and where, and when it stops.
    const std::string notify = dir + "/notify";
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", notify.c_str());
    const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    child_proc c;
    child_guard g(&c);
    ASSERT_TRUE(spawn(&c, {"/bin/sh", "-c", "NOTIFY_SOCKET=\"$0\" exec \"$@\"", notify, bin, "-v",
                           "-h", soap_arg(), "first", "second"}));
    ASSERT_TRUE(wait_for_output(&c, "done.\n", 1, 10000)) << c.err;
    EXPECT_NE(c.out.find("IPC msg queue directory \"" + dir + "\"\n"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("SOAP host \"127.0.0.1\" and port " + std::to_string(port) + "\n"),
              std::string::npos)
        << c.out;
    EXPECT_NE(c.out.find("initializing ... stats ... SOAP ... data ... done.\n"), std::string::npos)
        << c.out;
    EXPECT_NE(c.err.find("unhandled command line word [first]\n"
                         "unhandled command line word [second]\n"),
              std::string::npos)
        << c.err;
    const std::string ready = GC_HAVE_LIBSYSTEMD ? next_datagram(sock) : "";
    kill(c.pid, SIGTERM);
    EXPECT_EQ(wait_exit(&c, 10000), 0);
    if (GC_HAVE_LIBSYSTEMD) {
        EXPECT_EQ(ready.find("READY=1\nSTATUS=SOAP on " + soap_arg().replace(9, 1, " port ") +
                             "; status channel: UDP on 127.0.0.1 port "),
                  0u)
            << ready;
        EXPECT_NE(ready.find(", directory \"" + dir + "\""), std::string::npos) << ready;
        EXPECT_EQ(next_datagram(sock), "STOPPING=1\nSTATUS=stopping");
    }
    close(sock);
}

// Under a service manager's soft descriptor limit, about a thousand idle clients filled
// the connection budget, though the hard limit allowed far more.
TEST_F(Cmdline, SoftDescriptorLimitIsRaisedAndTheBudgetSaid)
{
    rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_max <= 256)
        GTEST_SKIP() << "a hard descriptor limit of " << rl.rlim_max;
    child_proc c;
    child_guard g(&c);
    ASSERT_TRUE(spawn(&c, {"/bin/sh", "-c", "ulimit -Sn 256 && exec \"$0\" \"$@\"", bin, "-v", "-h",
                           soap_arg(), "-d", dir}));
    ASSERT_TRUE(wait_for_output(&c, " connections\n", 1, 10000)) << c.out << c.err;
    const size_t at = c.out.find("SOAP interface: room for ");
    ASSERT_NE(at, std::string::npos) << c.out;
    const long budget = std::stol(c.out.substr(at + 25));
    EXPECT_GT(budget, static_cast<long>(rl.rlim_max) - 64) << c.out;
    EXPECT_LE(budget, static_cast<long>(rl.rlim_max) - 8) << c.out;
    kill(c.pid, SIGTERM);
    EXPECT_EQ(wait_exit(&c, 10000), 0);
}

TEST_F(Cmdline, EmptyHostMeansAllAddresses)
{
    child_proc c;
    child_guard g(&c);
    ASSERT_TRUE(spawn(&c, {bin, "-v", "-h", ":" + std::to_string(port)}));
    ASSERT_TRUE(wait_for_output(&c, "done.\n", 1, 10000)) << c.err;
    EXPECT_NE(c.out.find("SOAP host \"<NULL>\" and port " + std::to_string(port) + "\n"),
              std::string::npos)
        << c.out;
    // All addresses are IPv6 ones too.
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << strerror(errno);
    close(fd);
    kill(c.pid, SIGTERM);
    EXPECT_EQ(wait_exit(&c, 10000), 0);
}

TEST_F(Cmdline, BusySoapPortFailsStartAndSaysWhy)
{
    child_proc first;
    child_guard g(&first);
    ASSERT_TRUE(start(&first, {}));
    std::string dir2 = make_temp_dir();
    std::string bin2 = private_binary(dir2, "gui-connector");
    std::string out, err;
    EXPECT_EQ(run_command({bin2, "-h", soap_arg()}, &out, &err), 2);
    EXPECT_NE(err.find("cannot start SOAP interface\nSOAP interface: cannot listen on 127.0.0.1 "
                       "port " +
                       std::to_string(port) + ": Address already in use\n"),
              std::string::npos)
        << err;
    remove_tree(dir2);
}

// Holds a lock file as a running daemon would: locked, with the holder's id inside.
int hold_lock(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    std::string pid = std::to_string(getpid()) + "\n";
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        write(fd, pid.data(), pid.size()) != (ssize_t)pid.size()) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

TEST_F(Cmdline, RefusedStartsSayWhyWithTheirOwnStatus)
{
    ASSERT_TRUE(make_test_certificates(dir));
    int busy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    const std::string me = std::to_string(getpid());
    const std::string p = std::to_string(port), bad_host = "-h: bad address \"";
    enum hold { NONE, PROGRAM_LOCK, CHANNEL_LOCK };
    struct bad_start {
        std::vector<std::string> args;
        hold held;
        int status;
        std::vector<std::string> lines;  // on stderr, in this order
    };
    const std::vector<bad_start> table = {
        {{"-h", ":99999"}, NONE, 1, {bad_host + ":99999\"", "synopsis: "}},
        {{"-h", ":abc"}, NONE, 1, {bad_host + ":abc\""}},
        {{"-h", ":"}, NONE, 1, {bad_host + ":\""}},
        {{"-h", "127.0.0.1:-1"}, NONE, 1, {bad_host + "127.0.0.1:-1\""}},
        {{"-p", "65536"}, NONE, 1, {"-p: bad port \"65536\""}},
        {{"-s", dir + "/server.pem"}, NONE, 1, {"-s: no key file in " + dir + "/server.pem"}},
        {{"-s", "ca.pem::pw"}, NONE, 1, {"-s: no key file in the argument"}},
        {{"-M", "-U"}, NONE, 1, {"-M and -U together leave no status channel\n"}},
        {{"-h", "127.0.0.1:" + p},
         NONE,
         2,
         {"cannot start SOAP interface\nSOAP interface: cannot listen on 127.0.0.1 port " + p +
          ": Address already in use\n"}},
        {{"-h", "192.0.2.1:" + p}, NONE, 2, {": Cannot assign requested address\n"}},
        {{"-h", "[::1]:" + p, "-s", ":" + dir + "/server.pem:wrong"},
         NONE,
         2,
         {"SOAP interface: TLS set-up with key file \"" + dir + "/server.pem\"",
          ": bad decrypt\n"}},
        {{"-h", "[::1]:" + p, "-s", dir + "/ca.pem:" + dir + "/none.pem"},
         NONE,
         2,
         {"TLS set-up with key file \"" + dir + "/none.pem\"", ": No such file or directory\n"}},
        {{"-d", dir + "/missing"},
         NONE,
         2,
         {"msgqueue creation: No such file or directory\nstatus channel: directory \"" + dir +
          "/missing\" does not exist: create it, or name another with -d\ncannot init generic "
          "stats info\n"}},
        {{},
         PROGRAM_LOCK,
         255,
         {"run once check: another instance is already running\nlock file \"" + bin +
          ".lck\" is held by process " + me + "\n"}},
        {{},
         CHANNEL_LOCK,
         255,
         {"run once check: another instance uses the channel directory \"" + dir +
          "\"\nlock file \"" + dir + "/gui-connector-channel.lck\" is held by process " + me +
          "\n"}},
    };
    for (const auto &row : table) {
        std::string shown;
        for (const auto &w : row.args)
            shown += w + " ";
        int lock = row.held == PROGRAM_LOCK   ? hold_lock(bin + ".lck")
                   : row.held == CHANNEL_LOCK ? hold_lock(dir + "/gui-connector-channel.lck")
                                              : -2;
        ASSERT_NE(lock, -1) << shown;
        std::vector<std::string> argv{bin, "-v"};
        if (row.args.empty() || row.args[0] != "-h")
            argv.insert(argv.end(), {"-h", "127.0.0.1:" + std::to_string(free_tcp_port())});
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        std::string out, err;
        EXPECT_EQ(run_command(argv, &out, &err), row.status) << shown << err;
        size_t at = 0;
        for (const auto &line : row.lines) {
            at = err.find(line, at);
            ASSERT_NE(at, std::string::npos) << shown << "lacks " << line << " in\n" << err;
        }
        // A start that failed claims no success first.
        EXPECT_EQ(out.find("data ... done.\n"), std::string::npos) << shown << out;
        if (row.status == 2) {
            EXPECT_NE(out.find("data ... failed.\n"), std::string::npos) << shown << out;
        }
        if (lock >= 0)
            close(lock);
    }
    close(busy);
}

}  // namespace
