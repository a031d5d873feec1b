#include "core/intake_loop.h"

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "core/log.h"
#include "core/process.h"
#include "intake/channel.h"
#include "msg_builder.h"
#include "store/store.h"
#include "support/test_support.h"

using namespace status_msg;

namespace {

void on_wake(int) {}

bool poll_until(const std::function<bool()> &cond, int timeout_ms = 10000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        poll(nullptr, 0, 2);
    }
    return true;
}

// Runs intake_loop_run on a thread of its own over a real channel.
class IntakeLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_wake;  // no SA_RESTART: the receive must end with EINTR
        sigaction(SIGUSR1, &sa, nullptr);
        g_stop_counter = 0;
        dir_ = make_temp_dir();
        ASSERT_EQ(0, store_create(nullptr, 0, nullptr));
    }
    void TearDown() override
    {
        if (running_)
            stop();
        channel_close(&rx_, 1);
        channel_close(&tx_, 0);
        channel_set_transport_enabled(CHANNEL_UDP, 1);
        store_destroy();
        g_stop_counter = 0;
        remove_tree(dir_);
    }
    void open(bool queue)
    {
        if (queue)
            channel_set_transport_enabled(CHANNEL_UDP, 0);
        ASSERT_EQ(0, channel_open(&rx_, dir_.c_str(), kProjectId, 0600, 1));
        channel_set_transport_enabled(CHANNEL_UDP, 1);
        ASSERT_EQ(0, channel_open(&tx_, dir_.c_str(), kProjectId, 0600, 0));
        ASSERT_EQ(queue ? CHANNEL_MSGQ : CHANNEL_UDP, tx_->kind);
    }
    void start()
    {
        done_ = false;
        running_ = true;
        pthread_create(&thread_, nullptr, run, this);
    }
    static void *run(void *arg)
    {
        auto *self = static_cast<IntakeLoop *>(arg);
        self->tid_ = gettid();
        intake_loop_run(self->rx_, &self->counters_, &self->restart_);
        self->done_ = true;
        return nullptr;
    }
    // Waits for the loop to end on its own; a loop that never ends cannot be joined, so
    // the test program stops rather than hang.
    void wait_done()
    {
        if (!poll_until([this] { return done_.load(); })) {
            ADD_FAILURE() << "intake loop did not end";
            abort();
        }
        pthread_join(thread_, nullptr);
        running_ = false;
    }
    // A stop signal may arrive just before the receive blocks, so it is repeated.
    void stop()
    {
        g_stop_counter = g_stop_counter + 1;
        poll_until([this] {
            if (!done_)
                pthread_kill(thread_, SIGUSR1);
            return done_.load();
        });
        wait_done();
    }
    // True once the loop thread sleeps, i.e. waits in its receive.
    bool blocked()
    {
        if (tid_ == 0)
            return false;
        std::string path = "/proc/self/task/" + std::to_string(tid_.load()) + "/stat";
        FILE *f = fopen(path.c_str(), "r");
        if (!f)
            return false;
        char line[512] = "";
        bool sleeping = fgets(line, sizeof line, f) && strstr(line, ") S ");
        fclose(f);
        return sleeping;
    }
    void send(const test_msg &m) { ASSERT_EQ(0, channel_send(tx_, m.b, kBodySize, 0, nullptr)); }
    void send_raw_udp(size_t len)
    {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        std::string bytes(len, 'x');
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons((uint16_t)rx_->udp.port);
        EXPECT_EQ((ssize_t)len, sendto(s, bytes.data(), len, 0, (sockaddr *)&to, sizeof to));
        close(s);
    }

    std::string dir_;
    channel *rx_ = nullptr;
    channel *tx_ = nullptr;
    intake_counters counters_ = {0, 0, 0};
    int restart_ = 0;
    pthread_t thread_;
    std::atomic<bool> done_{false};
    std::atomic<pid_t> tid_{0};
    bool running_ = false;
};

test_msg number(int item, int v)
{
    test_msg m('S', item, 'I');
    m.word(kValueOff, v);
    return m;
}

TEST_F(IntakeLoop, UdpCountsShortAndSkipsRefusedMessages)
{
    open(false);
    start();
    send(number(1, 42));
    send_raw_udp(943);
    send_raw_udp(3);  // no record at all: not counted, the loop goes on
    test_msg foreign = number(3, 9);
    memcpy(foreign.b + kProductOff, "ABCD", 4);
    send(foreign);
    send(number(2, 7));
    ASSERT_TRUE(poll_until([] { return store_get_engVersionNumber() == 7; }));
    stop();
    EXPECT_EQ(42, store_get_binVersionNumber());
    EXPECT_EQ(0, store_get_vdfVersionNumber());
    EXPECT_EQ(4, counters_.received);
    EXPECT_EQ(1, counters_.too_short);
    EXPECT_EQ(0, counters_.too_long);
    EXPECT_EQ(0, restart_);
}

TEST_F(IntakeLoop, QueueDropsOverlongMessageAndKeepsServing)
{
    open(true);
    struct {
        long mtype;
        char text[1200];
    } big;
    big.mtype = 1;
    memset(big.text, 0, sizeof big.text);
    ASSERT_EQ(0, msgsnd(rx_->mq.id, &big, sizeof big.text, IPC_NOWAIT));
    start();
    send(number(7, 4));
    ASSERT_TRUE(poll_until([] {
        int nd = 0;
        return store_get_stats(&nd, nullptr, nullptr, nullptr, nullptr) == 0 && nd == 4;
    }));
    stop();
    EXPECT_EQ(2, counters_.received);
    EXPECT_EQ(1, counters_.too_long);
    EXPECT_EQ(0, counters_.too_short);
    EXPECT_EQ(0, restart_);
}

TEST_F(IntakeLoop, QueueRemovedUnderLoopSchedulesRestart)
{
    open(true);
    start();
    send(number(1, 5));
    ASSERT_TRUE(poll_until([] { return store_get_binVersionNumber() == 5; }));
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, msgctl(rx_->mq.id, IPC_RMID, nullptr));
    wait_done();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, restart_);
    EXPECT_EQ(1, g_stop_counter);
    EXPECT_TRUE(err.find("msg queue vanished? will schedule a restart ...\n") !=
                    std::string::npos ||
                err.find("msg queue broken? will schedule a restart ...") != std::string::npos)
        << err;
    rx_->mq.id = -1;  // gone already: nothing left to remove
}

TEST_F(IntakeLoop, StopCounterEndsLoopWithoutRestartAndDiagnosticLine)
{
    open(false);
    g_diagnostic = 1;
    testing::internal::CaptureStderr();
    start();
    ASSERT_TRUE(poll_until([this] { return blocked(); }));
    stop();
    g_diagnostic = 0;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.find("DBG: *_stats counters: rcv[0], long[0], short[0]\n")) << err;
    EXPECT_EQ(0, restart_);
    EXPECT_EQ(0, counters_.received);
}

TEST(IntakeLoopArgs, MissingCountersRunNothing)
{
    int restart = 0;
    intake_loop_run(nullptr, nullptr, &restart);
    EXPECT_EQ(0, restart);
}

}  // namespace
