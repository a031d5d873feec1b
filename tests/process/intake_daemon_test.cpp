// The real daemon fed by status-send and by raw senders: the verbose echo, refusals,
// short and over-long messages, the counter line, and the restart after its queue was
// removed from outside.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "core/journal.h"
#include "intake/channel.h"
#include "intake/status_message.h"
#include "support/test_support.h"

using namespace status_msg;

namespace {

size_t count_of(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

class Daemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        bin_ = private_binary(dir_, "gui-connector");
        if (access(build_path("gui-connector").c_str(), X_OK) != 0)
            GTEST_SKIP() << "gui-connector not built";
        key_ = ftok(dir_.c_str(), kProjectId);
    }
    void TearDown() override
    {
        kill_and_reap(&d_);
        int id = msgget(key_, 0);
        if (id >= 0)
            msgctl(id, IPC_RMID, nullptr);
        remove_tree(dir_);
    }
    void start(std::vector<std::string> extra)
    {
        std::vector<std::string> argv = {
            bin_, "-v", "-d", dir_, "-h", "127.0.0.1:" + std::to_string(free_tcp_port())};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(spawn(&d_, argv));
        ASSERT_TRUE(wait_for_output(&d_, "waiting for a message ... ", 1, 15000))
            << d_.out << d_.err;
    }
    // Waits until needle has appeared n times on stdout (which == 1) or stderr.
    bool wait_count(const std::string &needle, size_t n, int which = 1, int timeout_ms = 15000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (count_of(which == 1 ? d_.out : d_.err, needle) >= n)
                return true;
            if (std::chrono::steady_clock::now() > end)
                return false;
            drain(&d_, 50);
        }
    }
    void send(std::vector<std::string> args)
    {
        args.insert(args.begin(), {build_path("status-send"), "-d", dir_});
        std::string out, err;
        ASSERT_EQ(0, run_command(args, &out, &err)) << err;
    }
    // True once the daemon's main thread sleeps, i.e. waits in its receive.
    bool blocked()
    {
        std::string path = "/proc/" + std::to_string(d_.pid) + "/stat";
        FILE *f = fopen(path.c_str(), "r");
        if (!f)
            return false;
        char line[512] = "";
        bool sleeping = fgets(line, sizeof line, f) && strstr(line, ") S ");
        fclose(f);
        return sleeping;
    }
    int stop()
    {
        kill(d_.pid, SIGTERM);
        return wait_exit(&d_, 15000);
    }

    std::string dir_, bin_;
    key_t key_ = -1;
    child_proc d_;
};

TEST_F(Daemon, VerboseEchoOfAcceptedAndRefusedMessages)
{
    start({});
    EXPECT_EQ(-1, msgget(key_, 0));  // UDP by default: no queue under the key
    // The port a sender must reach, and the receive buffer the kernel granted, which
    // says how big a burst is held.
    const std::string said = "status channel: UDP on 127.0.0.1 port " +
                             std::to_string(udp_port_for_key(key_)) + " (receive buffer ";
    size_t at = d_.out.find(said);
    ASSERT_NE(std::string::npos, at) << d_.out;
    EXPECT_GT(atol(d_.out.c_str() + at + said.size()), 0) << d_.out;
    EXPECT_NE(std::string::npos, d_.out.find(" records), directory \"" + dir_ + "\"\n", at))
        << d_.out;
    send({"1", "S", "I", "42"});
    ASSERT_TRUE(wait_for_output(&d_, "=> rc", 1, 10000));
    EXPECT_NE(
        std::string::npos,
        d_.out.find("waiting for a message ... got one.\n"
                    "mtype 1, product SNTR, subsys STAT: op S on item 1, I0=[42] => rc 0\n\n"))
        << d_.out;
    send({"9", "I", "Z", "5"});
    send({"6", "S", "S", "/a\\nb"});
    send({"5", "S", "s", "\\nSO=/home/user/report.doc\\nBR=3\\nAN=Test.Signature"});
    send({"-f", "4", "S", "S", std::string(460, 'c')});
    send({"-f", "1", "I", "I", "1"});
    ASSERT_TRUE(wait_count("=> rc", 6));
    EXPECT_NE(std::string::npos, d_.out.find(": op I on item 9, Z0=[5] => rc 0\n\n"));
    EXPECT_NE(std::string::npos, d_.out.find(": op S on item 6, S0=[/a\nb] => rc 0\n\n"));
    EXPECT_NE(std::string::npos, d_.out.find(": op S on item 5, SO=[/home/user/report.doc] BR=[3] "
                                             "AN=[Test.Signature] => rc 0\n\n"));
    EXPECT_NE(std::string::npos,
              d_.out.find("S0=[" + std::string(449, 'c') + "] (trunc) => rc -1\n\n"));
    EXPECT_NE(std::string::npos, d_.out.find(": op I on item 1, I0=[1] => rc -1\n\n"));

    // Refusals from a raw sender, then proof the daemon still serves.
    channel *tx = nullptr;
    ASSERT_EQ(0, channel_open(&tx, dir_.c_str(), kProjectId, 0600, 0));
    unsigned char m[kSize] = {};
    int32_t w = 2;
    memcpy(m, &w, 4);
    memcpy(m + kProductOff, "SNTR", 4);
    memcpy(m + kSubsysOff, "STAT", 4);
    ASSERT_EQ(0, channel_send(tx, m, kBodySize, 0, nullptr));
    w = 1;
    memcpy(m, &w, 4);
    memcpy(m + kSubsysOff, "XXXX", 4);
    ASSERT_EQ(0, channel_send(tx, m, kBodySize, 0, nullptr));
    memcpy(m + kSubsysOff, "STAT", 4);
    ASSERT_EQ(0, channel_send(tx, m, kBodySize, 0, nullptr));  // op 0: improper
    channel_close(&tx, 0);
    send({"2", "S", "I", "3"});
    ASSERT_TRUE(wait_count("=> rc", 7));
    EXPECT_NE(std::string::npos,
              d_.out.find("mtype 2, product SNTR, subsys STAT: *** wrong msg type, skipping\n\n"));
    EXPECT_NE(std::string::npos, d_.out.find("subsys XXXX: *** no STAT subsys, skipping\n\n"));
    EXPECT_NE(std::string::npos, d_.out.find("subsys STAT: *** improper data, skipping\n\n"));
    EXPECT_EQ(0, stop());
    EXPECT_NE(std::string::npos, d_.out.find("exit from service loop.\n"));
}

TEST_F(Daemon, ShortDatagramAndCounterLine)
{
    start({"-D"});
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons((uint16_t)udp_port_for_key(key_));
    char bytes[943] = {};
    ASSERT_EQ(943, sendto(s, bytes, sizeof bytes, 0, (sockaddr *)&to, sizeof to));
    ASSERT_EQ(2, sendto(s, bytes, 2, 0, (sockaddr *)&to, sizeof to));  // ignored
    close(s);
    ASSERT_TRUE(wait_for_output(&d_, "too short (939/940) -- skipping\n", 1, 10000)) << d_.out;
    send({"7", "S", "I", "1"});
    ASSERT_TRUE(wait_count("=> rc 0", 1));
    EXPECT_EQ(0, stop());
    EXPECT_EQ(0u, d_.err.find("DBG: *_stats counters: rcv[0], long[0], short[0]\n")) << d_.err;
    EXPECT_NE(std::string::npos, d_.err.find("DBG: *_stats counters: rcv[2], long[0], short[1]\n"))
        << d_.err;
}

TEST_F(Daemon, OverlongQueueMessageIsDropped)
{
    start({"-U"});
    int id = msgget(key_, 0);
    ASSERT_GE(id, 0);
    msqid_ds ds;
    ASSERT_EQ(0, msgctl(id, IPC_STAT, &ds));
    EXPECT_EQ(0600, ds.msg_perm.mode & 0777);
    struct {
        long mtype;
        char text[1000];
    } big = {1, {}};
    ASSERT_EQ(0, msgsnd(id, &big, 941, 0));
    ASSERT_TRUE(wait_for_output(&d_, "was too long -- dropped\n", 1, 10000)) << d_.out;
    send({"3", "S", "I", "9"});
    ASSERT_TRUE(wait_count("item 3, I0=[9] => rc 0", 1));
    EXPECT_EQ(0, stop());
    EXPECT_EQ(-1, msgget(key_, 0));  // removed at shutdown
}

TEST_F(Daemon, QueueRemovedFromOutsideRestartsUnderSameKey)
{
    start({"-U"});
    int id = msgget(key_, 0);
    ASSERT_GE(id, 0);
    // Removed while the receive blocks the queue reports EIDRM; removed just before, EINVAL.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!blocked() && std::chrono::steady_clock::now() < end)
        drain(&d_, 5);
    ASSERT_EQ(0, msgctl(id, IPC_RMID, nullptr));  // what "ipcrm -q ID" does
    ASSERT_TRUE(wait_for_output(&d_, "restarting GUI connector", 2, 15000)) << d_.err;
    EXPECT_NE(std::string::npos, d_.err.find("msg queue vanished? will schedule a restart ...\n"));
    EXPECT_NE(std::string::npos, d_.err.find("msgqueue removal"));
    ASSERT_TRUE(wait_count("waiting for a message ... ", 2)) << d_.out;
    int id2 = msgget(key_, 0);
    EXPECT_GE(id2, 0);
    EXPECT_NE(id, id2);
    send({"8", "S", "I", "0x11"});
    ASSERT_TRUE(wait_count("item 8, I0=[17] => rc 0", 1)) << d_.out;
    EXPECT_EQ(0, stop());
}

TEST_F(Daemon, BothTransportsOffIsRefusedBeforeAnySetUp)
{
    ASSERT_TRUE(spawn(
        &d_, {bin_, "-M", "-U", "-d", dir_, "-h", "127.0.0.1:" + std::to_string(free_tcp_port())}));
    EXPECT_EQ(1, wait_exit(&d_, 15000)) << d_.err;
    drain(&d_, 100);
    EXPECT_NE(std::string::npos, d_.err.find("-M and -U together")) << d_.err;
    EXPECT_EQ(std::string::npos, d_.err.find("msgqueue creation")) << d_.err;
    EXPECT_EQ("", d_.out);  // not verbose: no progress at all
}

// With --journal each blocked file is one structured entry in the journal: read back from
// the journal where one runs, else from a stand-in bound to its socket (root only).
TEST_F(Daemon, BlockedFilesGoToTheJournal)
{
    const std::string socket_path = "/run/systemd/journal/socket";
    const bool journal = access(socket_path.c_str(), W_OK) == 0;
    std::vector<std::string> made;
    int fake = -1;
    if (!journal) {
        for (const char *d : {"/run/systemd", "/run/systemd/journal"})
            if (mkdir(d, 0755) == 0)
                made.push_back(d);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", socket_path.c_str());
        fake = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (bind(fake, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fake);
            for (auto d = made.rbegin(); d != made.rend(); ++d)
                rmdir(d->c_str());
            GTEST_SKIP() << "no systemd journal here, and no stand-in for its socket";
        }
    }
    start({"-U", "--journal"});
    send({"blockedFile", "S", "s",
          "\\nSO=/home/u/r\xc3\xa9sum\xc3\xa9\\nBR=0\\nAN=Eicar\\nAC=deny"});
    std::string entry;
    for (int tries = 0; tries < 100 && entry.find("BLOCKED_INDEX=") == std::string::npos; tries++) {
        if (fake >= 0) {
            pollfd p{fake, POLLIN, 0};
            char buf[4096];
            const ssize_t n = poll(&p, 1, 100) == 1 ? recv(fake, buf, sizeof buf, 0) : 0;
            entry.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
        } else {
            std::string err;
            run_command({"/usr/bin/journalctl", "-o", "export",
                         "MESSAGE_ID=" + std::string(kJournalBlockedFileId),
                         "_PID=" + std::to_string(d_.pid)},
                        &entry, &err);
            drain(&d_, 100);
        }
    }
    if (fake >= 0) {
        close(fake);
        unlink(socket_path.c_str());
        for (auto d = made.rbegin(); d != made.rend(); ++d)
            rmdir(d->c_str());
    }
    for (const std::string &field :
         {"MESSAGE_ID=" + std::string(kJournalBlockedFileId),
          std::string("BLOCKED_FILE=/home/u/r\xc3\xa9sum\xc3\xa9\n"),
          std::string("BLOCKED_REASON=BLOCKED-ALERT\n"), std::string("BLOCKED_DETECTION=Eicar\n"),
          std::string("BLOCKED_ACTION=deny\n"), std::string("BLOCKED_INDEX=0\n")})
        EXPECT_NE(entry.find(field), std::string::npos) << field << " in\n" << entry;
    EXPECT_EQ(0, stop());
}

}  // namespace
