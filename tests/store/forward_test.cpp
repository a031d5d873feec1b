// Command forwarding: exactly one whole line per request on descriptor 2, and a failure
// (not a success) when that descriptor cannot take it.
#include "store/forward.h"

#include <gtest/gtest.h>

#include <csignal>

#include "store/stderr_capture.h"

namespace {

TEST(Forward, EachRequestWritesExactlyItsLine)
{
    stderr_capture cap;
    ASSERT_GE(cap.rd, 0);
    EXPECT_EQ(forward_reload(), 0);
    EXPECT_EQ(cap.read_all(), "FWD_CMD: RELOAD\n");
    EXPECT_EQ(forward_stop(), 0);
    EXPECT_EQ(cap.read_all(), "FWD_CMD: STOP\n");
    EXPECT_EQ(forward_ping(), 0);
    EXPECT_EQ(cap.read_all(), "FWD_CMD: PING\n");
    EXPECT_EQ(forward_command(nullptr), -1);
    EXPECT_EQ(cap.read_all(10), "");
}

TEST(Forward, ClosedDescriptorIsAFailure)
{
    stderr_capture cap;
    ASSERT_GE(cap.rd, 0);
    close(2);
    EXPECT_EQ(forward_ping(), -1);
    cap.restore();
}

TEST(Forward, ReaderGoneIsAFailure)
{
    // The daemon ignores the broken-pipe signal; so does this test.
    struct sigaction ign = {}, old = {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old);
    {
        stderr_capture cap;
        ASSERT_GE(cap.rd, 0);
        close(cap.rd);
        cap.rd = -1;
        EXPECT_EQ(forward_reload(), -1);
    }
    sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace
