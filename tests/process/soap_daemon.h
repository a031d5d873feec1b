// Fixture for the end-to-end tests of the SOAP service: a real daemon in a private
// directory (its own lock file and IPC key) on a free loopback port, fed by the real
// status-send exactly as a scanner daemon would feed it, and read by raw HTTP clients.
// The daemon runs verbose so that a test can see each status message applied (its echo
// ends with " => rc 0") instead of guessing with sleeps.
#ifndef GC_TESTS_PROCESS_SOAP_DAEMON_H
#define GC_TESTS_PROCESS_SOAP_DAEMON_H

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/http_client.h"
#include "support/test_support.h"

// How long a blocked request must stay unanswered to count as blocked, and how long a
// released one may take to answer. Generous bounds: CI machines are slow, not hung.
constexpr int kStillBlockedMs = 300;
constexpr int kAnswerMs = 5000;

class SoapDaemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        bin = private_binary(dir, "gui-connector");
        ASSERT_FALSE(bin.empty());
        sender = build_path("status-send");
        port = free_tcp_port();
        ASSERT_GT(port, 0);
    }

    void TearDown() override
    {
        // A daemon that ended on its own (a crash, a sanitizer report) explains the
        // failures before this point; show why.
        if (daemon.pid > 0) {
            int status = wait_exit(&daemon, HasFailure() ? 2000 : 0);
            if (status >= 0)
                ADD_FAILURE() << "the daemon ended by itself with status " << status
                              << "; stderr:\n"
                              << daemon.err;
        }
        kill_and_reap(&daemon);
        remove_tree(dir);
    }

    // Starts the daemon (verbose, on 127.0.0.1:port, IPC in dir) with extra options and
    // waits until its start-up is over.
    ::testing::AssertionResult start(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args{bin,  "-v", "-h", "127.0.0.1:" + std::to_string(port),
                                      "-d", dir};
        args.insert(args.end(), extra.begin(), extra.end());
        if (!spawn(&daemon, args))
            return ::testing::AssertionFailure() << "cannot start " << bin;
        if (!wait_for_output(&daemon, "done.\n", 1, 10000))
            return ::testing::AssertionFailure() << "no start-up; stdout:\n"
                                                 << daemon.out << "\nstderr:\n"
                                                 << daemon.err;
        return ::testing::AssertionSuccess();
    }

    // Sends one status message: status-send -d dir ITEM OP KIND VALUE [VALUE2], and waits
    // until the daemon has applied it with result 0.
    ::testing::AssertionResult send(const std::vector<std::string> &words)
    {
        std::vector<std::string> args{sender, "-d", dir};
        args.insert(args.end(), words.begin(), words.end());
        return run_sender(args, 1);
    }

    // Sends count messages in one status-send run, one per line of lines (batch mode), at
    // most rate a second if rate > 0, and waits until the daemon has applied them all with
    // result 0.
    ::testing::AssertionResult send_batch(const std::string &lines, int count, int rate = 0)
    {
        std::string file = dir + "/batch.txt";
        std::ofstream(file, std::ios::binary) << lines;
        const std::string paced = rate > 0 ? " -r " + std::to_string(rate) : "";
        return run_sender(
            {"/bin/sh", "-c", "exec \"$0\" -d \"$1\"" + paced + " -b < \"$2\"", sender, dir, file},
            count);
    }

    // Calls operation on c (connecting it first when it is not connected) and expects a
    // "200 OK" reply on a connection that stays open; returns the reply body.
    std::string call(http_conn *c, const std::string &operation, const std::string &children = "",
                     int soap_version = 1)
    {
        if (c->fd < 0 && !http_connect(c, port)) {
            ADD_FAILURE() << "cannot connect to port " << port;
            return "";
        }
        http_reply r;
        http_read_result rc = http_call(c, soap_request(operation, children, soap_version), &r,
                                        soap_version, kAnswerMs);
        if (rc != HTTP_REPLY) {
            ADD_FAILURE() << operation << ": no reply (" << rc << ")";
            return "";
        }
        EXPECT_EQ(r.status, 200) << operation << "\n" << r.head << "\n" << r.body;
        EXPECT_TRUE(r.keep_alive) << operation << "\n" << r.head;
        return r.body;
    }

    // Posts a request that is expected to block: it must stay unanswered for
    // kStillBlockedMs. The caller later reads the answer with answer().
    ::testing::AssertionResult post_blocked(http_conn *c, const std::string &operation,
                                            const std::string &children = "")
    {
        if (c->fd < 0 && !http_connect(c, port))
            return ::testing::AssertionFailure() << "cannot connect to port " << port;
        if (!http_post(c, soap_request(operation, children)))
            return ::testing::AssertionFailure() << operation << ": cannot send";
        if (!http_silent_for(c, kStillBlockedMs))
            return ::testing::AssertionFailure() << operation << " did not block; got: " << c->in;
        return ::testing::AssertionSuccess();
    }

    // Reads the answer to a request posted earlier; "" (and a failure) when none came
    // within kAnswerMs.
    std::string answer(http_conn *c, const std::string &what)
    {
        http_reply r;
        http_read_result rc = http_read_reply(c, &r, kAnswerMs);
        if (rc != HTTP_REPLY) {
            ADD_FAILURE() << what << ": no answer (" << rc << ")";
            return "";
        }
        EXPECT_EQ(r.status, 200) << what << "\n" << r.body;
        return r.body;
    }

    // Sends SIGTERM and expects the daemon to end with status 0 within ms.
    void expect_clean_stop(int ms = kAnswerMs)
    {
        ASSERT_GT(daemon.pid, 0);
        kill(daemon.pid, SIGTERM);
        EXPECT_EQ(wait_exit(&daemon, ms), 0) << "stdout tail:\n"
                                             << tail(daemon.out) << "\nstderr:\n"
                                             << daemon.err;
    }

    // Closes the test's end of the daemon's standard error, where the scanner side reads
    // forwarded commands: every forward fails from then on (EPIPE).
    void stop_reading_forwards()
    {
        close(daemon.err_fd);
        daemon.err_fd = -1;
    }

    // The interop checks' second half: once c says FAULTS, forwarding is made to fail and
    // c is told to go on, on its stdin.
    ::testing::AssertionResult fail_forwards_when_asked(child_proc *c)
    {
        if (!wait_for_output(c, "FAULTS\n", 1, 30000))
            return ::testing::AssertionFailure() << "no FAULTS\n" << c->out << "\n" << c->err;
        stop_reading_forwards();
        if (write(c->in_fd, "\n", 1) != 1)
            return ::testing::AssertionFailure() << "cannot write to the check's stdin";
        return ::testing::AssertionSuccess();
    }

    static std::string tail(const std::string &s)
    {
        return s.size() > 2000 ? s.substr(s.size() - 2000) : s;
    }

    std::string dir, bin, sender;
    int port = 0;
    child_proc daemon;

private:
    // Runs status-send, draining the daemon's output meanwhile (a full stdout pipe would
    // stall the daemon's intake and with it the sender), then waits for count more
    // " => rc " echoes, every one of them " => rc 0".
    ::testing::AssertionResult run_sender(const std::vector<std::string> &args, int count)
    {
        int want = applied + count;
        child_proc s;
        child_guard g(&s);
        if (!spawn(&s, args))
            return ::testing::AssertionFailure() << "cannot start status-send";
        int status = -1;
        for (int round = 0; round < 3000 && status < 0; round++) {
            status = wait_exit(&s, 10);
            drain(&daemon, 10);
        }
        if (status != 0)
            return ::testing::AssertionFailure()
                   << "status-send exited with " << status << ": " << s.err;
        for (int round = 0; round < 1500 && count_of(daemon.out, " => rc ") < want; round++)
            drain(&daemon, 10);
        int seen = count_of(daemon.out, " => rc ");
        int ok = count_of(daemon.out, " => rc 0\n");
        applied = seen;
        if (seen < want)
            return ::testing::AssertionFailure()
                   << "only " << seen << " of " << want << " messages applied; stdout tail:\n"
                   << tail(daemon.out);
        if (ok != seen)
            return ::testing::AssertionFailure() << "a message was refused; stdout tail:\n"
                                                 << tail(daemon.out);
        return ::testing::AssertionSuccess();
    }

    int applied = 0;  // " => rc " echoes seen so far
};

#endif
