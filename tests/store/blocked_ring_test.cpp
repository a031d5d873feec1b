// Blocked-file ring: sequence numbers across drops and across the 2^32 wrap of the
// arrival count. The source is included to reach the ring's private count.
#include "store/blocked_ring.cpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_released;

void record_release(struct blocked_file *rec)
{
    g_released.push_back(rec->object);
    blocked_file_free(rec);
}

struct blocked_file *make(uint32_t n)
{
    std::string name = "f" + std::to_string(n);
    return blocked_file_new(name.c_str(), 1, "i", nullptr, nullptr, nullptr, nullptr);
}

class BlockedRingTest : public ::testing::Test {
protected:
    void SetUp() override { g_released.clear(); }
    void TearDown() override { blocked_ring_free(ring); }
    struct blocked_ring *ring = nullptr;
};

TEST_F(BlockedRingTest, RefusesBadArguments)
{
    EXPECT_EQ(blocked_ring_new(0, nullptr), nullptr);
    EXPECT_EQ(blocked_ring_new(-3, nullptr), nullptr);
    EXPECT_EQ(blocked_ring_push(nullptr, nullptr), -1);
    EXPECT_EQ(blocked_ring_free(nullptr), -1);
    ring = blocked_ring_new(4, record_release);
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(blocked_ring_push(ring, nullptr), -1);
    EXPECT_EQ(blocked_ring_total(ring), 0u);
    uint32_t seq = 0;
    struct blocked_file *rec = nullptr;
    EXPECT_EQ(blocked_ring_fetch(ring, nullptr, &rec), -1);
    EXPECT_EQ(blocked_ring_fetch(ring, &seq, nullptr), -1);
    EXPECT_EQ(blocked_ring_fetch(ring, &seq, &rec), -2);
    EXPECT_EQ(rec, nullptr);
}

TEST_F(BlockedRingTest, FullRingDropsOldestAndKeepsSequenceNumbers)
{
    ring = blocked_ring_new(1024, record_release);
    ASSERT_NE(ring, nullptr);
    for (uint32_t i = 0; i < 1024; i++)
        ASSERT_EQ(blocked_ring_push(ring, make(i)), 0);
    EXPECT_TRUE(g_released.empty());
    ASSERT_EQ(blocked_ring_push(ring, make(1024)), 0);
    ASSERT_EQ(g_released.size(), 1u);
    EXPECT_EQ(g_released[0], "f0");
    EXPECT_EQ(blocked_ring_total(ring), 1025u);
    EXPECT_EQ(blocked_ring_held(ring), 1024u);

    struct blocked_file *rec = nullptr;
    uint32_t seq = 0;  // dropped: the oldest held comes back instead
    ASSERT_EQ(blocked_ring_fetch(ring, &seq, &rec), 0);
    EXPECT_EQ(seq, 1u);
    EXPECT_STREQ(rec->object, "f1");
    for (uint32_t want : {1u, 500u, 1024u}) {
        seq = want;
        ASSERT_EQ(blocked_ring_fetch(ring, &seq, &rec), 0);
        EXPECT_EQ(seq, want);
        EXPECT_EQ(std::string(rec->object), "f" + std::to_string(want));
    }
    for (uint32_t ahead : {1025u, 90000u}) {  // not there yet: oldest held
        seq = ahead;
        ASSERT_EQ(blocked_ring_fetch(ring, &seq, &rec), 0);
        EXPECT_EQ(seq, 1u);
    }
}

TEST_F(BlockedRingTest, SequenceNumbersWrapWithTheArrivalCount)
{
    ring = blocked_ring_new(3, record_release);
    ASSERT_NE(ring, nullptr);
    ring->total = 0xFFFFFFFEu;
    for (uint32_t i = 0; i < 4; i++)
        ASSERT_EQ(blocked_ring_push(ring, make(i)), 0);
    // Numbers 0xFFFFFFFE, 0xFFFFFFFF, 0, 1 arrived; the first was dropped.
    EXPECT_EQ(blocked_ring_total(ring), 2u);
    struct blocked_file *rec = nullptr;
    uint32_t seq = 0xFFFFFFFFu;
    ASSERT_EQ(blocked_ring_fetch(ring, &seq, &rec), 0);
    EXPECT_EQ(seq, 0xFFFFFFFFu);
    EXPECT_STREQ(rec->object, "f1");
    seq = 1;
    ASSERT_EQ(blocked_ring_fetch(ring, &seq, &rec), 0);
    EXPECT_STREQ(rec->object, "f3");
    seq = 2;  // the next to come: oldest held
    ASSERT_EQ(blocked_ring_fetch(ring, &seq, &rec), 0);
    EXPECT_EQ(seq, 0xFFFFFFFFu);
    seq = 0xFFFFFFFEu;  // dropped
    ASSERT_EQ(blocked_ring_fetch(ring, &seq, &rec), 0);
    EXPECT_EQ(seq, 0xFFFFFFFFu);
}

TEST_F(BlockedRingTest, FreeReleasesEveryHeldRecordOldestFirst)
{
    ring = blocked_ring_new(2, record_release);
    ASSERT_NE(ring, nullptr);
    for (uint32_t i = 0; i < 3; i++)
        ASSERT_EQ(blocked_ring_push(ring, make(i)), 0);
    EXPECT_EQ(blocked_ring_free(ring), 0);
    ring = nullptr;
    EXPECT_EQ(g_released, (std::vector<std::string>{"f0", "f1", "f2"}));
}

TEST(BlockedFile, AbsentStringsBecomeEmpty)
{
    struct blocked_file *rec =
        blocked_file_new(nullptr, 4, nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->reason, 4);
    for (const char *s :
         {rec->object, rec->info, rec->addInfo, rec->action, rec->source, rec->alerturl})
        EXPECT_STREQ(s, "");
    blocked_file_free(rec);
    blocked_file_free(nullptr);
}

}  // namespace
