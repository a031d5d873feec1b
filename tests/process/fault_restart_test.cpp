// The daemon's process-level faults: killed outright and started again, and its message
// queue removed from outside in the middle of a stream. The queue promises delivery of
// every message it took, so after the restart the counters must come out exact: nothing
// the new queue took may be lost, and nothing the old one took may be counted twice.
#include <sys/ipc.h>
#include <sys/msg.h>

#include "intake/status_message.h"
#include "process/fault_daemon.h"

namespace {

class FaultRestart : public FaultDaemon {
protected:
    // The queue key the daemon and status-send make from dir.
    key_t queue_key() const { return ftok(dir.c_str(), status_msg::kProjectId); }

    void TearDown() override
    {
        FaultDaemon::TearDown();
        // A daemon killed by a failed test leaves its queue behind.
        int id = msgget(queue_key(), 0);
        if (id >= 0)
            msgctl(id, IPC_RMID, nullptr);
    }

    // get-currentStats' scannedFiles on a fresh connection; -1 when there is no answer.
    long long scanned()
    {
        http_conn c;
        http_reply r;
        if (!http_connect(&c, port, 1000) ||
            http_call(&c, soap_request("get-currentStats"), &r, 1, 5000) != HTTP_REPLY)
            return -1;
        return std::stoll("0" + xml_text(r.body, "scannedFiles"));
    }
};

TEST_F(FaultRestart, KilledDaemonStartsAgainOnItsLeftovers)
{
    ASSERT_TRUE(start_quiet());
    ASSERT_TRUE(send_lines("scannedFiles S Z 5\n"));
    ASSERT_TRUE(eventually([&] { return scanned() == 5; }, 5000));
    int old_queue = msgget(queue_key(), 0);
    ASSERT_GE(old_queue, 0);
    // A message left in the queue when the daemon dies belongs to the dead instance.
    kill(daemon.pid, SIGSTOP);
    ASSERT_TRUE(send_lines("scannedFiles I Z 100\n"));
    kill(daemon.pid, SIGKILL);
    EXPECT_EQ(wait_exit(&daemon, 5000), 128 + SIGKILL);
    kill_and_reap(&daemon);
    ASSERT_GE(msgget(queue_key(), 0), 0) << "the queue should outlive a killed daemon";

    // The lock is free (flock dies with the process), the leftover queue is removed and
    // a new one made under the same key, and the service comes back from zero.
    ASSERT_TRUE(start_quiet());
    int new_queue = msgget(queue_key(), 0);
    EXPECT_GE(new_queue, 0);
    EXPECT_NE(new_queue, old_queue);
    EXPECT_EQ(scanned(), 0);
    ASSERT_TRUE(send_lines("scannedFiles I Z 2\nscannedFiles I Z 3\n"));
    ASSERT_TRUE(eventually([&] { return scanned() == 5; }, 5000)) << scanned();
    expect_alive_and_exact(stats_body(5));
    expect_clean_stop();
    EXPECT_EQ(msgget(queue_key(), 0), -1) << "removed at shutdown";
}

// 100,000 increments of one through the queue while the queue is removed from outside
// after the first 40,000 were taken. Messages sent into the old queue die with the old
// instance; every one the new queue takes is counted, once.
TEST_F(FaultRestart, QueueRemovedMidStreamRestartsWithoutDoubleCounting)
{
    ASSERT_TRUE(start_quiet());
    const int total = 100000, before = 40000, batch = 5000;
    std::string lines;
    for (int i = 0; i < batch; i++)
        lines += "scannedFiles I Z 1\n";
    for (int sent = 0; sent < before; sent += batch)
        ASSERT_TRUE(send_lines(lines));
    ASSERT_TRUE(eventually([&] { return scanned() == before; }, 30000)) << scanned();

    int old_queue = msgget(queue_key(), 0);
    ASSERT_GE(old_queue, 0);
    ASSERT_EQ(msgctl(old_queue, IPC_RMID, nullptr), 0);  // what "ipcrm -q ID" does
    ASSERT_TRUE(eventually(
        [&] {
            drain(&daemon, 0);
            return daemon.err.find("restarting GUI connector") != std::string::npos;
        },
        15000))
        << daemon.err;
    ASSERT_TRUE(wait_ready());
    int new_queue = msgget(queue_key(), 0);
    ASSERT_GE(new_queue, 0);
    EXPECT_NE(new_queue, old_queue);
    EXPECT_EQ(scanned(), 0) << "the new instance starts from an empty store";

    for (int sent = before; sent < total; sent += batch)
        ASSERT_TRUE(send_lines(lines));
    ASSERT_TRUE(eventually([&] { return scanned() == total - before; }, 60000)) << scanned();
    // A count passing the total would be a double count: once the queue is empty there
    // is nothing left that could still raise it.
    ASSERT_TRUE(eventually(
        [&] {
            struct msqid_ds ds;
            return msgctl(new_queue, IPC_STAT, &ds) == 0 && ds.msg_qnum == 0;
        },
        10000));
    expect_alive_and_exact(stats_body(total - before));
    expect_clean_stop();
}

}  // namespace
