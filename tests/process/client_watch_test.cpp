// The watches of connector-client against a real daemon: watch-blocked prints every
// blocked file once and in order however many arrive, says when a stopped watcher fell
// behind the 1024-record ring and goes on with the oldest record held; watch-scanned
// prints each scanned file; both end cleanly on SIGINT.
#include <signal.h>

#include <sstream>

#include "process/soap_daemon.h"

namespace {

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The JSON line of a blocked file sent as kind 2 (object and info only).
std::string record_json(const std::string &object, const std::string &info, unsigned index)
{
    return "{\"object\":\"" + object + "\",\"reason\":\"BLOCKED-ALERT\",\"info\":\"" + info +
           "\",\"add-info\":\"\",\"action\":\"\",\"source\":\"\",\"index\":" +
           std::to_string(index) + ",\"alerturl\":\"\"}";
}

std::string numbered_json(unsigned i)
{
    return record_json("/blocked/file-" + std::to_string(i), "Sig-" + std::to_string(i), i);
}

class ClientWatch : public SoapDaemon {
protected:
    void TearDown() override
    {
        kill_and_reap(&watcher);
        SoapDaemon::TearDown();
    }

    ::testing::AssertionResult start_watcher(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{build_path("connector-client"), "-h",
                                      "127.0.0.1:" + std::to_string(port)};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!spawn(&watcher, argv))
            return ::testing::AssertionFailure() << "cannot start connector-client";
        return ::testing::AssertionSuccess();
    }

    // Drains daemon and watcher until the watcher printed at least n lines.
    ::testing::AssertionResult wait_lines(size_t n, int timeout_ms)
    {
        for (int waited = 0; waited < timeout_ms; waited += 10) {
            drain(&daemon, 5);
            drain(&watcher, 5);
            if (static_cast<size_t>(count_of(watcher.out, "\n")) >= n)
                return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "the watcher printed " << count_of(watcher.out, "\n") << " of " << n
               << " lines; stderr: " << watcher.err << "\nstdout tail:\n"
               << tail(watcher.out);
    }

    // Sends blocked files first .. first+count-1 in one status-send run over the message
    // queue, while draining daemon and watcher.
    ::testing::AssertionResult send_numbered(unsigned first, unsigned count)
    {
        std::string lines;
        for (unsigned i = first; i < first + count; i++)
            lines +=
                "5 S 2 /blocked/file-" + std::to_string(i) + "\tSig-" + std::to_string(i) + "\n";
        std::string file = dir + "/numbered.txt";
        std::ofstream(file, std::ios::binary) << lines;
        child_proc s;
        child_guard g(&s);
        if (!spawn(&s,
                   {"/bin/sh", "-c", "exec \"$0\" -U -d \"$1\" -b < \"$2\"", sender, dir, file}))
            return ::testing::AssertionFailure() << "cannot start status-send";
        int status = -1;
        for (int round = 0; round < 6000 && status < 0; round++) {
            status = wait_exit(&s, 5);
            drain(&daemon, 5);
            drain(&watcher, 0);
        }
        if (status != 0)
            return ::testing::AssertionFailure()
                   << "status-send ended with " << status << ": " << s.err;
        return ::testing::AssertionSuccess();
    }

    // Drains the daemon until it applied total status messages in all.
    ::testing::AssertionResult wait_applied(int total)
    {
        for (int round = 0; round < 3000; round++) {
            if (count_of(daemon.out, " => rc 0\n") >= total)
                return ::testing::AssertionSuccess();
            drain(&daemon, 10);
        }
        return ::testing::AssertionFailure()
               << count_of(daemon.out, " => rc 0\n") << " of " << total << " messages applied";
    }

    // Ends the watcher with SIGINT and expects a clean exit, nothing on stderr.
    void expect_clean_interrupt()
    {
        ASSERT_GT(watcher.pid, 0);
        kill(watcher.pid, SIGINT);
        EXPECT_EQ(wait_exit(&watcher, kAnswerMs), 0) << watcher.err;
        EXPECT_EQ(watcher.err, "");
    }

    child_proc watcher;
};

TEST_F(ClientWatch, BlockedFilesArriveOnceInOrderAndAStoppedWatcherResumesAtTheRing)
{
    ASSERT_TRUE(start({"-U"}));
    ASSERT_TRUE(start_watcher({"--json", "watch-blocked"}));
    // Sent in steps that never run more than 750 records ahead of what the watcher has
    // printed, so that it stays within the ring however slow the machine.
    for (unsigned first = 0; first < 2000; first += 250) {
        ASSERT_TRUE(wait_lines(first > 500 ? first - 500 : 0, 60000));
        ASSERT_TRUE(send_numbered(first, 250));
    }
    ASSERT_TRUE(wait_lines(2000, 60000));
    std::vector<std::string> lines = lines_of(watcher.out);
    ASSERT_EQ(lines.size(), 2000u);
    for (unsigned i = 0; i < 2000; i++)
        ASSERT_EQ(lines[i], numbered_json(i)) << "line " << i;

    // Stopped, the watcher falls more than 1024 records behind.
    ASSERT_EQ(kill(watcher.pid, SIGSTOP), 0);
    ASSERT_TRUE(send_numbered(2000, 3000));
    ASSERT_TRUE(wait_applied(5000));
    ASSERT_EQ(kill(watcher.pid, SIGCONT), 0);
    ASSERT_TRUE(wait_lines(2000 + 1 + 1024, 30000));
    // It may already have had its request for record 2000 answered before it stopped.
    drain(&watcher, 200);
    lines = lines_of(watcher.out);
    size_t at = 2000;
    if (lines[at] == numbered_json(2000))
        at++;
    const unsigned asked = static_cast<unsigned>(at);
    ASSERT_EQ(lines[at], "{\"note\":\"fell behind the 1024-record blocked-file ring; continuing "
                         "with the oldest record it holds\",\"asked\":" +
                             std::to_string(asked) +
                             ",\"index\":3976,\"missed\":" + std::to_string(3976 - asked) + "}");
    ASSERT_EQ(lines.size(), at + 1 + 1024);
    for (unsigned i = 0; i < 1024; i++)
        ASSERT_EQ(lines[at + 1 + i], numbered_json(3976 + i)) << "line " << at + 1 + i;
    expect_clean_interrupt();
}

TEST_F(ClientWatch, PlainWatchStartsWhereAskedAndNotesAStartBeyondTheNewest)
{
    ASSERT_TRUE(start());
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(send({"5", "S", "2", "/f" + std::to_string(i), "S" + std::to_string(i)}));
    ASSERT_TRUE(start_watcher({"watch-blocked", "--from", "1"}));
    ASSERT_TRUE(wait_lines(18, kAnswerMs));
    ASSERT_TRUE(send({"5", "S", "2", "/f3", "S3"}));
    ASSERT_TRUE(wait_lines(27, kAnswerMs));
    std::string expected;
    for (int i = 1; i < 4; i++)
        expected += "object:   /f" + std::to_string(i) + "\nreason:   BLOCKED-ALERT\ninfo:     S" +
                    std::to_string(i) +
                    "\nadd-info: \naction:   \nsource:   \nindex:    " + std::to_string(i) +
                    "\nalerturl: \n\n";
    EXPECT_EQ(watcher.out, expected);
    expect_clean_interrupt();

    // Record 10 does not exist yet: the daemon answers with the oldest, which the
    // watcher says before printing it.
    ASSERT_TRUE(start_watcher({"watch-blocked", "--from", "10", "--json"}));
    ASSERT_TRUE(wait_lines(5, kAnswerMs));
    std::vector<std::string> lines = lines_of(watcher.out);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "{\"note\":\"the index jumped back: the daemon started again, or the "
                        "record asked for lies beyond the newest; continuing with the oldest "
                        "held\",\"asked\":10,\"index\":0}");
    EXPECT_EQ(lines[1], record_json("/f0", "S0", 0));
    EXPECT_EQ(lines[4], record_json("/f3", "S3", 3));
    expect_clean_interrupt();
}

TEST_F(ClientWatch, ScannedFilesArriveOneByOneAcrossAConnectionRenewal)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(start_watcher({"--json", "watch-scanned"}));
    // The daemon counts news per connection and closes a connection after 100
    // requests; 105 scans take the watcher over that limit once. Each scan is repeated
    // until the watcher shows it, since one sent while it reconnects is missed.
    std::vector<std::string> sent;
    for (int i = 0; i < 105; i++) {
        std::string fn = "/scan/" + std::to_string(i);
        sent.push_back("{\"fn\":\"" + fn + "\"}");
        bool shown = false;
        for (int round = 0; round < 50 && !shown; round++) {
            ASSERT_TRUE(send({"6", "S", "S", fn}));
            for (int waited = 0; waited < 200 && !shown; waited += 10) {
                drain(&watcher, 10);
                shown = watcher.out.find(sent.back() + "\n") != std::string::npos;
            }
        }
        ASSERT_TRUE(shown) << fn << " never shown; stderr: " << watcher.err;
    }
    std::vector<std::string> shown, notes;
    for (const std::string &line : lines_of(watcher.out)) {
        if (line.rfind("{\"note\":", 0) == 0)
            notes.push_back(line);
        else if (shown.empty() || shown.back() != line)
            shown.push_back(line);
    }
    EXPECT_EQ(shown, sent);
    ASSERT_EQ(notes.size(), 1u) << watcher.out;
    EXPECT_EQ(notes[0],
              "{\"note\":\"connection opened again: a file scanned meanwhile is not shown\"}");
    expect_clean_interrupt();
}

}  // namespace
