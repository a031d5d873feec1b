#include "intake/channel.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "intake/stats_channel.h"
#include "msg_builder.h"
#include "support/test_support.h"

using namespace status_msg;

namespace {

class Channel : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override
    {
        channel_close(&rx_, 1);
        channel_close(&tx_, 0);
        channel_set_transport_enabled(CHANNEL_MSGQ, 1);
        channel_set_transport_enabled(CHANNEL_UDP, 1);
        if (sock_ >= 0)
            close(sock_);
        remove_tree(dir_);
    }
    // Sends len raw bytes to the receiving side's derived port from a plain socket.
    void send_raw(size_t len)
    {
        if (sock_ < 0)
            sock_ = socket(AF_INET, SOCK_DGRAM, 0);
        std::string bytes(len, 'x');
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons((uint16_t)rx_->udp.port);
        ASSERT_EQ((ssize_t)len, sendto(sock_, bytes.data(), len, 0, (sockaddr *)&to, sizeof to));
    }

    std::string dir_;
    channel *rx_ = nullptr;
    channel *tx_ = nullptr;
    int sock_ = -1;
    unsigned char buf_[kSize + 64];
};

TEST_F(Channel, UdpDatagramSizes)
{
    ASSERT_EQ(0, channel_open(&rx_, dir_.c_str(), kProjectId, 0600, 1));
    ASSERT_EQ(CHANNEL_UDP, rx_->kind);
    EXPECT_EQ(-1, msgget(ftok(dir_.c_str(), kProjectId), 0));  // no queue was made

    const struct {
        size_t sent;
        long got;
    } cases[] = {{944, 940}, {1000, 940}, {100, 96}};
    for (auto c : cases) {
        send_raw(c.sent);
        EXPECT_EQ(c.got, channel_receive(rx_, buf_, kBodySize, 0, 0, nullptr)) << c.sent;
    }
    send_raw(3);
    errno = EINVAL;
    EXPECT_EQ(-1, channel_receive(rx_, buf_, kBodySize, 0, 0, nullptr));
    EXPECT_EQ(EBADMSG, errno);
}

// A reader descheduled for a while must find the records that arrived meanwhile.
TEST_F(Channel, UdpReceivingSideHoldsABurstItHasNotRead)
{
    ASSERT_EQ(0, channel_open(&rx_, dir_.c_str(), kProjectId, 0600, 1));
    ASSERT_EQ(0, channel_open(&tx_, dir_.c_str(), kProjectId, 0600, 0));
    EXPECT_EQ(-1, channel_receive_buffer(tx_));
    EXPECT_EQ(-1, channel_receive_buffer(nullptr));
    int granted = channel_receive_buffer(rx_);
    int actual = 0;
    socklen_t alen = sizeof actual;
    ASSERT_EQ(0, getsockopt(rx_->udp.fd, SOL_SOCKET, SO_RCVBUF, &actual, &alen));
    EXPECT_EQ(actual, granted);
    // Past the system's limit only with the privilege to pass it.
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(probe, 0);
    int want = 1 << 24;
    bool may_force = setsockopt(probe, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) == 0;
    close(probe);
    if (!may_force)
        GTEST_SKIP() << "this process may not pass the system's receive buffer limit";
    test_msg m('S', 9, 'Z');
    int sent = 0;
    for (int i = 0; i < kUdpBurstRecords; i++)
        sent += channel_send(tx_, m.b, kBodySize, 1, nullptr) == 0;
    ASSERT_EQ(kUdpBurstRecords, sent);
    int got = 0;
    pollfd pfd = {rx_->udp.fd, POLLIN, 0};
    while (poll(&pfd, 1, 200) == 1 && recv(rx_->udp.fd, buf_, sizeof buf_, MSG_DONTWAIT) > 0)
        got++;
    EXPECT_EQ(kUdpBurstRecords, got) << "receive buffer of " << granted << " bytes";
}

TEST_F(Channel, UdpReceivingSideAnswersOnlyAKnownPeer)
{
    ASSERT_EQ(0, channel_open(&rx_, dir_.c_str(), kProjectId, 0600, 1));
    ASSERT_EQ(0, channel_open(&tx_, dir_.c_str(), kProjectId, 0600, 0));
    ASSERT_EQ(CHANNEL_UDP, tx_->kind);
    EXPECT_GT(tx_->udp.local_port, 0);

    test_msg m('S', 1, 'I');
    m.word(kValueOff, 77);
    ASSERT_EQ(0, channel_send(tx_, m.b, kBodySize, 0, nullptr));
    channel_peer *peer = nullptr;
    ASSERT_EQ((long)kBodySize, channel_receive(rx_, buf_, kBodySize, 0, 0, &peer));
    EXPECT_EQ(0, memcmp(m.b, buf_, kSize));
    ASSERT_NE(nullptr, peer);
    EXPECT_EQ(tx_->udp.local_port, ntohs(peer->udp.addr.sin_port));

    EXPECT_EQ(-1, channel_send(rx_, m.b, kBodySize, 0, nullptr));
    m.word(kValueOff, 78);
    EXPECT_EQ(0, channel_send(rx_, m.b, kBodySize, 0, peer));
    EXPECT_EQ((long)kBodySize, channel_receive(tx_, buf_, kBodySize, 0, 0, nullptr));
    EXPECT_EQ(0, memcmp(m.b, buf_, kSize));
    channel_free_peer(&peer);
    EXPECT_EQ(nullptr, peer);
    channel_free_peer(&peer);
}

TEST_F(Channel, UdpTypeFilterSkipsOtherTypes)
{
    ASSERT_EQ(0, channel_open(&rx_, dir_.c_str(), kProjectId, 0600, 1));
    ASSERT_EQ(0, channel_open(&tx_, dir_.c_str(), kProjectId, 0600, 0));
    test_msg other('S', 1, 'I'), wanted('S', 2, 'I');
    other.word(kTypeOff, 5);
    ASSERT_EQ(0, channel_send(tx_, other.b, kBodySize, 0, nullptr));
    ASSERT_EQ(0, channel_send(tx_, wanted.b, kBodySize, 0, nullptr));
    ASSERT_EQ((long)kBodySize, channel_receive(rx_, buf_, kBodySize, 1, 0, nullptr));
    EXPECT_EQ(0, memcmp(wanted.b, buf_, kSize));
    EXPECT_EQ(-1, channel_receive(rx_, buf_, kBodySize, -1, 0, nullptr));
}

TEST_F(Channel, SameDirectoryThroughTwoNamesGivesSameRendezvous)
{
    std::string link = dir_ + "/alias";
    ASSERT_EQ(0, symlink(dir_.c_str(), link.c_str()));
    std::string dotted = dir_ + "/./alias/.";
    ASSERT_EQ(0, channel_open(&rx_, link.c_str(), kProjectId, 0600, 0));
    ASSERT_EQ(0, channel_open(&tx_, dotted.c_str(), kProjectId, 0600, 0));
    EXPECT_EQ(rx_->udp.key, tx_->udp.key);
    EXPECT_EQ(rx_->udp.port, tx_->udp.port);
    EXPECT_EQ(udp_port_for_key(rx_->udp.key), rx_->udp.port);
}

TEST(ChannelPort, DerivedFromTwelveBitGroups)
{
    EXPECT_EQ(49152, udp_port_for_key(0));
    EXPECT_EQ(49152, udp_port_for_key(-5));
    EXPECT_EQ(49152 + 0x123 + 0x456 + 0x52, udp_port_for_key(0x52456123));
}

TEST_F(Channel, ArgumentsAndSwitches)
{
    EXPECT_EQ(-1, channel_open(nullptr, dir_.c_str(), kProjectId, 0600, 1));
    EXPECT_EQ(-1, channel_open(&rx_, "", kProjectId, 0600, 1));
    EXPECT_EQ(-1, channel_open(&rx_, nullptr, kProjectId, 0600, 1));
    EXPECT_EQ(-1, channel_open(&rx_, (dir_ + "/missing").c_str(), kProjectId, 0600, 0));
    EXPECT_EQ(0, channel_close(&rx_, 1));
    EXPECT_EQ(-1, channel_close(nullptr, 1));
    EXPECT_EQ(-1, channel_receive(nullptr, buf_, kBodySize, 0, 0, nullptr));
    EXPECT_EQ(-1, channel_send(nullptr, buf_, kBodySize, 0, nullptr));

    EXPECT_EQ(-1, channel_set_transport_enabled(3, 0));
    EXPECT_EQ(1, channel_set_transport_enabled(CHANNEL_MSGQ, 0));
    EXPECT_EQ(0, channel_set_transport_enabled(CHANNEL_MSGQ, 0));
    EXPECT_EQ(1, channel_set_transport_enabled(CHANNEL_UDP, 0));
    EXPECT_EQ(-1, channel_open(&rx_, dir_.c_str(), kProjectId, 0600, 1));
    EXPECT_EQ(-1, channel_open(&tx_, dir_.c_str(), kProjectId, 0600, 0));
    EXPECT_EQ(nullptr, rx_);
    EXPECT_EQ(nullptr, tx_);
}

TEST_F(Channel, QueueRoundTripsEveryKindByteForByte)
{
    channel_set_transport_enabled(CHANNEL_UDP, 0);
    ASSERT_EQ(0, channel_open(&rx_, dir_.c_str(), kProjectId, 0600, 1));
    ASSERT_EQ(CHANNEL_MSGQ, rx_->kind);
    msqid_ds ds;
    ASSERT_EQ(0, msgctl(rx_->mq.id, IPC_STAT, &ds));
    EXPECT_EQ(0600, ds.msg_perm.mode & 0777);
    channel *again = nullptr;
    EXPECT_EQ(-1, channel_open(&again, dir_.c_str(), kProjectId, 0600, 1));  // exclusive

    channel_set_transport_enabled(CHANNEL_UDP, 1);
    ASSERT_EQ(0, channel_open(&tx_, dir_.c_str(), kProjectId, 0600, 0));
    ASSERT_EQ(CHANNEL_MSGQ, tx_->kind);

    test_msg msgs[] = {test_msg('S', 1, 'I'), test_msg('I', 9, 'Z'), test_msg('S', 6, 'S'),
                       test_msg('S', 5, '2'), test_msg('S', 5, 's')};
    msgs[0].word(kValueOff, -3);
    msgs[1].i64(0x0102030405060708LL);
    msgs[2].slot(kSlotAOff, "/a/\xE4\\b");
    msgs[3].slot(kSlotAOff, std::string(449, 'o'), 449, 1);
    msgs[3].slot(kSlotBOff, "info", 4, 1);
    msgs[4].text("\nSO=x\nAN=y");
    msgs[4].b[kSize - 1] = 0xFF;  // the very last byte travels too
    for (const test_msg &m : msgs) {
        ASSERT_EQ(0, channel_send(tx_, m.b, kBodySize, 1, nullptr));
        memset(buf_, 0xAA, sizeof buf_);
        ASSERT_EQ((long)kBodySize, channel_receive(rx_, buf_, kBodySize, 0, 0, nullptr));
        EXPECT_EQ(0, memcmp(m.b, buf_, kSize));
        EXPECT_EQ(0xAA, buf_[kSize]);
    }
}

TEST_F(Channel, QueueRefusesOverlongMessageUntilTruncating)
{
    channel_set_transport_enabled(CHANNEL_UDP, 0);
    ASSERT_EQ(0, channel_open(&rx_, dir_.c_str(), kProjectId, 0600, 1));
    struct {
        long mtype;
        char text[1000];
    } big;
    big.mtype = 1;
    memset(big.text, 'z', sizeof big.text);
    ASSERT_EQ(0, msgsnd(rx_->mq.id, &big, 941, IPC_NOWAIT));
    EXPECT_EQ(-1, channel_receive(rx_, buf_, kBodySize, 0, 0, nullptr));
    EXPECT_EQ(E2BIG, errno);
    EXPECT_EQ((long)kBodySize, channel_receive(rx_, buf_, kBodySize, 0, 1, nullptr));
    EXPECT_EQ('z', buf_[kSize - 1]);
    int32_t type;
    memcpy(&type, buf_, 4);
    EXPECT_EQ(1, type);

    int id = rx_->mq.id;
    ASSERT_EQ(0, channel_close(&rx_, 1));
    EXPECT_EQ(nullptr, rx_);
    EXPECT_EQ(-1, msgctl(id, IPC_STAT, nullptr));
}

TEST_F(Channel, QueueRemovedUnderReceiverReportsIdrmOrInval)
{
    channel_set_transport_enabled(CHANNEL_UDP, 0);
    ASSERT_EQ(0, channel_open(&rx_, dir_.c_str(), kProjectId, 0600, 1));
    ASSERT_EQ(0, msgctl(rx_->mq.id, IPC_RMID, nullptr));
    EXPECT_EQ(-1, channel_receive(rx_, buf_, kBodySize, 0, 0, nullptr));
    EXPECT_TRUE(errno == EIDRM || errno == EINVAL) << errno;
    EXPECT_EQ(-1, channel_close(&rx_, 1));  // already gone: the channel stays held
    ASSERT_NE(nullptr, rx_);
    EXPECT_EQ(0, channel_close(&rx_, 0));
}

TEST_F(Channel, SetupRemovesLeftoverQueueThenPrefersUdp)
{
    int left = msgget(ftok(dir_.c_str(), kProjectId), IPC_CREAT | 0600);
    ASSERT_GE(left, 0);
    ASSERT_EQ(0, stats_channel_setup(dir_.c_str()));
    EXPECT_EQ(-1, msgctl(left, IPC_STAT, nullptr));
    EXPECT_EQ(1, stats_channel_removed_leftover());
    ASSERT_NE(nullptr, stats_channel_get());
    EXPECT_EQ(CHANNEL_UDP, stats_channel_get()->kind);
    // What -v and systemd's status line say of it: the port a sender must reach.
    char said[160];
    ASSERT_EQ(0, stats_channel_describe(said, sizeof said));
    const std::string port = std::to_string(udp_port_for_key(ftok(dir_.c_str(), kProjectId)));
    EXPECT_EQ(0u, std::string(said).find("UDP on 127.0.0.1 port " + port + " (receive buffer "))
        << said;
    EXPECT_EQ(0, stats_channel_setup(dir_.c_str()));  // already set up
    EXPECT_EQ(0, stats_channel_remove());
    EXPECT_EQ(nullptr, stats_channel_get());
    EXPECT_EQ(0, stats_channel_remove());
}

TEST_F(Channel, SetupWithQueueOnlyAndFailures)
{
    int left = msgget(ftok(dir_.c_str(), kProjectId), IPC_CREAT | 0666);
    ASSERT_GE(left, 0);
    channel_set_transport_enabled(CHANNEL_UDP, 0);
    ASSERT_EQ(0, stats_channel_setup(dir_.c_str()));
    channel *ch = stats_channel_get();
    ASSERT_EQ(CHANNEL_MSGQ, ch->kind);
    EXPECT_NE(left, ch->mq.id);
    int id = ch->mq.id;
    char said[64], want[64];
    ASSERT_EQ(0, stats_channel_describe(said, sizeof said));
    snprintf(want, sizeof want, "message queue 0x%08x (id %d)",
             static_cast<unsigned>(ftok(dir_.c_str(), kProjectId)), id);
    EXPECT_STREQ(want, said);
    msgctl(id, IPC_RMID, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, stats_channel_remove());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("msgqueue removal"));
    ASSERT_EQ(ch, stats_channel_get());
    ch->mq.id = -1;  // forget the vanished queue so the channel can go
    EXPECT_EQ(0, stats_channel_remove());
    EXPECT_EQ(nullptr, stats_channel_get());
}

TEST_F(Channel, SetupFailsWhenDerivedPortTakenAndQueueOff)
{
    ASSERT_EQ(0, channel_open(&rx_, dir_.c_str(), kProjectId, 0600, 1));  // holds the port
    channel_set_transport_enabled(CHANNEL_MSGQ, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, stats_channel_setup(dir_.c_str()));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("msgqueue creation: Address already in use\n"
                                          "status channel: UDP port " +
                                          std::to_string(rx_->udp.port) + " on 127.0.0.1"))
        << err;
    EXPECT_EQ(nullptr, stats_channel_get());
}

}  // namespace
