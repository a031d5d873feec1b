// status-send against a receiving channel held by the test itself: the records it
// builds, its batch mode and its refusals.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "intake/channel.h"
#include "intake/decode.h"
#include "intake/status_message.h"
#include "support/test_support.h"

using namespace status_msg;

namespace {

class StatusSend : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        ASSERT_EQ(0, channel_open(&rx_, dir_.c_str(), kProjectId, 0600, 1));
    }
    void TearDown() override
    {
        channel_close(&rx_, 1);
        remove_tree(dir_);
    }
    int send(std::vector<std::string> args, std::string *err = nullptr)
    {
        args.insert(args.begin(), {build_path("status-send"), "-d", dir_});
        std::string out, e;
        int rc = run_command(args, &out, &e);
        if (err)
            *err = e;
        return rc;
    }
    // Receives one record within a bounded wait and decodes it; false when none came.
    bool receive(status_decoded *d)
    {
        pollfd p = {rx_->udp.fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return false;
        long n = channel_receive(rx_, msg_, kBodySize, 0, 0, nullptr);
        const char *why = nullptr;
        return n == (long)kBodySize && decode_message(msg_, &tb_, d, &why) == 0;
    }
    std::string field(const status_decoded &d, const char *code)
    {
        const char *v = nullptr;
        return field_list_lookup(&d.fields, code, &v) == 0 ? v : "<none>";
    }

    std::string dir_;
    channel *rx_ = nullptr;
    unsigned char msg_[kSize];
    field_text tb_;
};

TEST_F(StatusSend, BuildsEveryKind)
{
    status_decoded d;
    ASSERT_EQ(0, send({"binVersionNumber", "S", "I", "0x20"}));
    ASSERT_TRUE(receive(&d));
    EXPECT_EQ(1, d.item);
    EXPECT_EQ("32", field(d, "I0"));

    ASSERT_EQ(0, send({"9", "I", "Z", "-9000000000"}));
    ASSERT_TRUE(receive(&d));
    EXPECT_EQ('I', d.op);
    EXPECT_EQ("-9000000000", field(d, "Z0"));

    ASSERT_EQ(0, send({"lastScannedFile", "S", "S", "/a\\tb\\\\c\\xE4"}));
    ASSERT_TRUE(receive(&d));
    EXPECT_EQ("/a\tb\\c\xE4", field(d, "S0"));
    EXPECT_EQ(0, d.fields.truncated);

    ASSERT_EQ(0, send({"5", "S", "2", "/tmp/x", "Eicar"}));
    ASSERT_TRUE(receive(&d));
    EXPECT_EQ("/tmp/x", field(d, "S0"));
    EXPECT_EQ("Eicar", field(d, "S1"));

    ASSERT_EQ(0, send({"5", "S", "s", "\\nSO=/home/user/report.doc\\nBR=3\\nAN=Test.Signature"}));
    ASSERT_TRUE(receive(&d));
    EXPECT_EQ(3, d.fields.count);
    EXPECT_EQ("Test.Signature", field(d, "AN"));
}

TEST_F(StatusSend, CutsLongStringsAndFlagsThem)
{
    std::string err;
    ASSERT_EQ(0, send({"6", "S", "S", std::string(500, 'q')}, &err));
    EXPECT_NE(std::string::npos, err.find("warning"));
    status_decoded d;
    ASSERT_TRUE(receive(&d));
    EXPECT_EQ(std::string(449, 'q'), field(d, "S0"));
    EXPECT_EQ(1, d.fields.truncated);
}

TEST_F(StatusSend, RepeatsAndReadsBatches)
{
    ASSERT_EQ(0, send({"-n", "3", "-r", "1000", "7", "S", "I", "2"}));
    status_decoded d;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(receive(&d)) << i;

    child_proc c;
    child_guard g(&c);
    ASSERT_TRUE(spawn(&c, {build_path("status-send"), "-d", dir_, "-b"}, true));
    std::string input = "# comment\n1 S I 5\n\n5 S 2 /x\tSig\n12 I I 1\n";
    ASSERT_EQ((ssize_t)input.size(), write(c.in_fd, input.data(), input.size()));
    close(c.in_fd);
    c.in_fd = -1;
    EXPECT_EQ(0, wait_exit(&c, 10000));
    ASSERT_TRUE(receive(&d));
    EXPECT_EQ("5", field(d, "I0"));
    ASSERT_TRUE(receive(&d));
    EXPECT_EQ("Sig", field(d, "S1"));
    ASSERT_TRUE(receive(&d));
    EXPECT_EQ(12, d.item);
}

TEST_F(StatusSend, RefusesBadInputWithOneLine)
{
    const std::vector<std::vector<std::string>> bad = {
        {"13", "S", "I", "1"},
        {"nosuch", "S", "I", "1"},
        {"1", "X", "I", "1"},
        {"1", "S", "Q", "1"},
        {"1", "S", "I", "12abc"},
        {"1", "S", "I", "4294967296"},
        {"5", "S", "2", "/x"},
        // An option after the operands is one more operand, and was once dropped unsaid.
        {"1", "S", "I", "1", "-f"},
        {"1", "S", "I", "1", "-n", "2"},
        {"1", "S", "I"},
        // Records the daemon would drop: an op or kind the item does not take, a cut
        // configuration file, a field text past its room.
        {"1", "I", "I", "1"},
        {"blockedFile", "S", "S", "/x"},
        {"4", "S", "S", std::string(450, 'c')},
        {"5", "S", "s", "\\nSO=" + std::string(900, 'p') + "\\nAN=x"},
    };
    for (const auto &args : bad) {
        std::string err;
        EXPECT_NE(0, send(args, &err)) << args[0] << args[1] << args[2];
        EXPECT_NE(std::string::npos, err.find("status-send: ")) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
    std::string out, err;
    EXPECT_NE(0,
              run_command({build_path("status-send"), "-d", dir_ + "/missing", "1", "S", "I", "1"},
                          &out, &err));
    EXPECT_NE(std::string::npos, err.find("cannot open the status channel"));
    // Nobody receives on this directory's UDP port.
    std::string idle = dir_ + "/idle";
    ASSERT_EQ(0, mkdir(idle.c_str(), 0700));
    EXPECT_EQ(1,
              run_command({build_path("status-send"), "-d", idle, "1", "S", "I", "1"}, &out, &err));
    EXPECT_EQ("status-send: send failed: no GUI connector takes messages on \"" + idle + "\"\n",
              err);
}

}  // namespace
