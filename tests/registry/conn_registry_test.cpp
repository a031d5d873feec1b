// Connection registry with real threads: counting and consuming events, cancelling
// blocked waiters, and closing the window between a thread's start and its registration.
#include "registry/conn_registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <set>

#include "store/registry_harness.h"

namespace {

constexpr int kMaxEvent = 4;

// One notification, both halves, as the store makes it.
int notify(struct conn_registry *reg, int event)
{
    const int rc = conn_registry_post(reg, event);
    return rc ? rc : conn_registry_wake(reg, event);
}

void unlock_ext(void *m) { pthread_mutex_unlock(static_cast<pthread_mutex_t *>(m)); }

class ConnRegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reg = conn_registry_new(kMaxEvent);
        ASSERT_NE(reg, nullptr);
    }
    void TearDown() override
    {
        // Leaves nothing behind even when a test failed half-way.
        conn_registry_cancel_all(reg, 0);
        threads.join_all();
        EXPECT_EQ(conn_registry_count(reg), 0);
        conn_registry_free(reg);
    }
    conn_thread *spawn(std::function<int()> body) { return threads.spawn(reg, std::move(body)); }
    // A thread that waits once for event with cap and no external mutex.
    conn_thread *waiter(int event, int cap)
    {
        return spawn([this, event, cap] { return conn_registry_wait(reg, event, cap, nullptr); });
    }
    struct conn_registry *reg = nullptr;
    conn_threads threads;
};

TEST(ConnRegistryNull, EveryOperationRefusesNull)
{
    EXPECT_EQ(conn_registry_free(nullptr), -1);
    EXPECT_EQ(conn_registry_add_reserved(nullptr, pthread_self(), -1), -1);
    EXPECT_EQ(conn_registry_remove(nullptr, pthread_self()), -1);
    EXPECT_EQ(conn_registry_reserve(nullptr), -1);
    EXPECT_EQ(conn_registry_unreserve(nullptr), -1);
    EXPECT_EQ(conn_registry_cancel_all(nullptr, 1), -1);
    EXPECT_EQ(notify(nullptr, 1), -1);
    EXPECT_EQ(conn_registry_wait(nullptr, 1, 1, nullptr), -1);
    EXPECT_EQ(conn_registry_self_id(nullptr, nullptr), -1);
    EXPECT_EQ(conn_registry_cancel_thread(nullptr, 1), -1);
}

// Ids are unique, never 0, and below 2^53, where every client that reads numbers as
// doubles still holds them exactly.
TEST(ConnRegistryNoEvents, EventCallsAreOutOfRangeButRegistrationWorks)
{
    for (int n : {0, -1}) {
        struct conn_registry *reg = conn_registry_new(n);
        ASSERT_NE(reg, nullptr);
        std::set<unsigned long> ids;
        for (int i = 0; i < 1000; i++) {
            ASSERT_EQ(conn_registry_add_reserved(reg, pthread_self(), -1), 0);
            EXPECT_EQ(notify(reg, 0), -2);
            EXPECT_EQ(conn_registry_wait(reg, 0, 1, nullptr), -2);
            unsigned long id = 0;
            EXPECT_EQ(conn_registry_self_id(reg, &id), 0);
            EXPECT_NE(id, 0UL);
            EXPECT_LT(id, 1UL << 53);
            ids.insert(id);
            EXPECT_EQ(conn_registry_remove(reg, pthread_self()), 0);
        }
        EXPECT_EQ(ids.size(), 1000u);
        conn_registry_free(reg);
    }
}

TEST_F(ConnRegistryTest, OutOfRangeEventsAreRefusedWithoutCountingOrBlocking)
{
    EXPECT_EQ(notify(reg, -1), -2);
    EXPECT_EQ(notify(reg, kMaxEvent + 1), -2);
    // The range check comes first, so even an unregistered caller gets -2 at once.
    EXPECT_EQ(conn_registry_wait(reg, kMaxEvent + 1, 1, nullptr), -2);
    conn_thread *t = spawn([this] {
        if (conn_registry_wait(reg, -1, 1, nullptr) != -2)
            return -100;
        return conn_registry_wait(reg, 1, 1, nullptr);
    });
    // Neither refused notification was counted: the valid wait blocks.
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    EXPECT_EQ(notify(reg, 1), 0);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(conn_thread_result(t), 1);
}

TEST_F(ConnRegistryTest, UnregisteredWaiterGetsMinusOneAtOnce)
{
    EXPECT_EQ(conn_registry_wait(reg, 1, 1, nullptr), -1);
    // Neither an entry in another registry nor one already removed makes a waiter here,
    // although an occurrence is pending that such an entry would report.
    struct conn_registry *other = conn_registry_new(kMaxEvent);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(conn_registry_add_reserved(other, pthread_self(), -1), 0);
    EXPECT_EQ(notify(reg, 1), 0);
    EXPECT_EQ(conn_registry_wait(reg, 1, 1, nullptr), -1);
    EXPECT_EQ(conn_registry_remove(other, pthread_self()), 0);
    conn_registry_free(other);
    ASSERT_EQ(conn_registry_add_reserved(reg, pthread_self(), -1), 0);
    EXPECT_EQ(conn_registry_remove(reg, pthread_self()), 0);
    EXPECT_EQ(notify(reg, 1), 0);
    EXPECT_EQ(conn_registry_wait(reg, 1, 1, nullptr), -1);
}

TEST_F(ConnRegistryTest, CapOneConsumesAllPendingThenBlocks)
{
    std::atomic<int> phase{0};
    conn_thread *t = spawn([&] {
        while (phase.load() == 0)
            sched_yield();
        int first = conn_registry_wait(reg, 1, 1, nullptr);
        phase.store(2);
        int second = conn_registry_wait(reg, 1, 1, nullptr);
        return first * 10 + second;
    });
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(notify(reg, 1), 0);
    phase.store(1);
    ASSERT_TRUE(poll_until([&] { return phase.load() == 2; }, kPromptMs));
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    EXPECT_EQ(notify(reg, 1), 0);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(conn_thread_result(t), 31);
}

TEST_F(ConnRegistryTest, CapZeroConsumesOneAtATime)
{
    std::atomic<int> go{0}, done{0};
    conn_thread *t = spawn([&] {
        while (go.load() == 0)
            sched_yield();
        int r = 0;
        for (int i = 0; i < 3; i++)
            r = r * 10 + conn_registry_wait(reg, 2, 0, nullptr);
        done.store(1);
        return r * 10 + conn_registry_wait(reg, 2, 0, nullptr);
    });
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(notify(reg, 2), 0);
    go.store(1);
    ASSERT_TRUE(poll_until([&] { return done.load() == 1; }, kPromptMs));
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    EXPECT_EQ(notify(reg, 2), 0);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(conn_thread_result(t), 3211);
}

TEST_F(ConnRegistryTest, LateRegistrantDoesNotSeeEarlierNotification)
{
    EXPECT_EQ(notify(reg, 1), 0);
    conn_thread *t = waiter(1, 1);
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    EXPECT_EQ(notify(reg, 1), 0);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(conn_thread_result(t), 1);
}

TEST_F(ConnRegistryTest, OtherEventsDoNotWakeAWaiter)
{
    conn_thread *t = waiter(3, 1);
    EXPECT_EQ(notify(reg, 4), 0);
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    EXPECT_EQ(notify(reg, 3), 0);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
}

// The split notification of events waited with an external mutex: post counts under
// ext, wake only wakes. Posts racing the waiter's consumption are each counted once.
TEST_F(ConnRegistryTest, PostCountsOnceUnderTheExternalMutexAndWakeOnlyWakes)
{
    pthread_mutex_t ext = PTHREAD_MUTEX_INITIALIZER;
    constexpr int kRacing = 20000;
    std::atomic<int> phase{0};
    conn_thread *t = spawn([&] {
        int r = 0;
        pthread_mutex_lock(&ext);
        pthread_cleanup_push(unlock_ext, &ext);
        phase.store(1);
        for (int i = 0; i < 3; i++)
            r = r * 10 + conn_registry_wait(reg, 1, 0, &ext);
        phase.store(2);
        // Each wait consumes one, so kRacing waits end only when no post was lost.
        for (int i = 0; i < kRacing; i++)
            conn_registry_wait(reg, 1, 0, &ext);
        phase.store(3);
        // And a doubled post would end this one at once.
        r = r * 10 + conn_registry_wait(reg, 1, 0, &ext);
        pthread_cleanup_pop(1);
        return r;
    });
    auto post = [&] {
        pthread_mutex_lock(&ext);
        EXPECT_EQ(conn_registry_post(reg, 1), 0);
        pthread_mutex_unlock(&ext);
    };
    ASSERT_TRUE(poll_until([&] { return phase.load() == 1; }, kPromptMs));
    // The waiter sleeps (it released ext): a wake with nothing posted counts nothing.
    pthread_mutex_lock(&ext);
    pthread_mutex_unlock(&ext);
    EXPECT_EQ(conn_registry_wake(reg, 1), 0);
    EXPECT_EQ(conn_registry_post(reg, 0), 0);
    EXPECT_EQ(conn_registry_wake(reg, 0), 0);
    EXPECT_EQ(conn_registry_post(reg, kMaxEvent + 1), -2);
    EXPECT_EQ(conn_registry_wake(reg, -1), -2);
    EXPECT_EQ(conn_registry_post(nullptr, 1), -1);
    EXPECT_EQ(conn_registry_wake(nullptr, 1), -1);
    EXPECT_FALSE(poll_until([&] { return phase.load() == 2; }, kStillBlockedMs));
    for (int i = 0; i < 3; i++)
        post();
    EXPECT_EQ(conn_registry_wake(reg, 1), 0);
    ASSERT_TRUE(poll_until([&] { return phase.load() == 2; }, kPromptMs));
    for (int i = 0; i < kRacing; i++) {
        post();
        conn_registry_wake(reg, 1);
    }
    ASSERT_TRUE(poll_until([&] { return phase.load() == 3; }, kPromptMs));
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    post();
    conn_registry_wake(reg, 1);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(conn_thread_result(t), 3211);
    pthread_mutex_destroy(&ext);
}

TEST_F(ConnRegistryTest, CancelAllOnEmptyRegistryReturnsAtOnce)
{
    EXPECT_EQ(conn_registry_cancel_all(reg, 1), 0);
    EXPECT_EQ(conn_registry_cancel_all(reg, 0), 0);
}

TEST_F(ConnRegistryTest, CancelAllEndsWaitersAndFreesTheExternalMutex)
{
    pthread_mutex_t ext = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<int> in_wait{0};
    conn_thread *a = spawn([&] {
        int r = 0;
        pthread_mutex_lock(&ext);
        // Cancelled inside: ext is held again when the handlers run, and ours, as the
        // locker's, is the one that releases it; a second release would be a fault too.
        pthread_cleanup_push(unlock_ext, &ext);
        in_wait.store(1);
        r = conn_registry_wait(reg, 1, 1, &ext);
        pthread_cleanup_pop(1);
        return r;
    });
    conn_thread *b = waiter(3, 0);
    ASSERT_TRUE(poll_until([&] { return in_wait.load() == 1; }, kPromptMs));
    EXPECT_EQ(conn_registry_cancel_all(reg, 1), 2);
    EXPECT_EQ(conn_registry_count(reg), 0);
    EXPECT_TRUE(conn_thread_wait_finished(a, 0));
    EXPECT_TRUE(conn_thread_wait_finished(b, 0));
    EXPECT_EQ(conn_thread_returned(a), 0);
    EXPECT_EQ(conn_thread_returned(b), 0);
    ASSERT_EQ(pthread_mutex_trylock(&ext), 0);
    pthread_mutex_unlock(&ext);
    pthread_mutex_destroy(&ext);
}

TEST_F(ConnRegistryTest, CancelOneEndsOnlyItsTarget)
{
    unsigned long target_id = 0;
    std::atomic<int> have_id{0}, release{0};
    conn_thread *target = spawn([&] {
        conn_registry_self_id(reg, &target_id);
        // Busy where a cancellation waits, as a connection thread in mid-reply would be.
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        have_id.store(1);
        while (!release.load())
            usleep(1000);
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        return conn_registry_wait(reg, 1, 1, nullptr);
    });
    conn_thread *other = waiter(1, 1);
    ASSERT_TRUE(poll_until([&] { return have_id.load() == 1; }, kPromptMs));
    EXPECT_NE(target_id, 0UL);
    EXPECT_EQ(conn_registry_cancel_thread(reg, target_id), 0);
    // The id names nothing once its connection is told to end, before its thread is gone.
    EXPECT_EQ(conn_registry_cancel_thread(reg, target_id), -2);
    release.store(1);
    ASSERT_TRUE(conn_thread_wait_finished(target, kPromptMs));
    EXPECT_EQ(conn_thread_returned(target), 0);
    // The broadcast woke the other waiter too, but its counter is 0: it waits on.
    EXPECT_FALSE(conn_thread_wait_finished(other, kStillBlockedMs));
    EXPECT_EQ(conn_registry_count(reg), 1);
    // The id died with its thread.
    EXPECT_EQ(conn_registry_cancel_thread(reg, target_id), -2);
    EXPECT_EQ(notify(reg, 1), 0);
    ASSERT_TRUE(conn_thread_wait_finished(other, kPromptMs));
    EXPECT_EQ(conn_thread_result(other), 1);
}

TEST_F(ConnRegistryTest, UnknownIdsAreNotFoundAndChangeNothing)
{
    conn_thread *t = waiter(1, 1);
    EXPECT_EQ(conn_registry_cancel_thread(reg, 12345UL), -2);
    EXPECT_EQ(conn_registry_remove(reg, pthread_self()), -2);
    EXPECT_EQ(conn_registry_count(reg), 1);
    unsigned long place = 77;
    EXPECT_EQ(conn_registry_self_id(reg, &place), -2);
    EXPECT_EQ(place, 77UL);
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    EXPECT_EQ(conn_registry_unreserve(reg), -2);
}

// Threads that are started by a spawner (as the accept thread starts connection threads)
// and checked against a "resource freed" flag: a cancel-all with waiting must leave no
// thread able to see the flag set while it still counts as serving.
struct stress_state {
    struct conn_registry *reg;
    std::atomic<int> freed{0};
    std::atomic<int> violations{0};
    std::atomic<int> alive{0};
    std::atomic<int> seq{0};
    int to_spawn = 0;
};

void stress_cleanup(void *arg)
{
    stress_state *s = static_cast<stress_state *>(arg);
    conn_registry_remove(s->reg, pthread_self());
    s->alive.fetch_sub(1);
}

void *stress_conn(void *arg)
{
    stress_state *s = static_cast<stress_state *>(arg);
    pthread_detach(pthread_self());
    int n = s->seq.fetch_add(1) % 3;
    // Widens the window between being started and registering, as a busy host would.
    for (int i = 0; i < 20 * n; i++)
        sched_yield();
    if (conn_registry_add_reserved(s->reg, pthread_self(), -1) != 0) {
        s->alive.fetch_sub(1);
        return nullptr;
    }
    pthread_cleanup_push(stress_cleanup, s);
    // Some threads leave by themselves, the rest block until cancelled.
    for (int i = 0; i < 50 * n + 1; i++) {
        if (s->freed.load())
            s->violations.fetch_add(1);
        pthread_testcancel();
        sched_yield();
    }
    if (n == 0)
        conn_registry_wait(s->reg, 1, 1, nullptr);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_cleanup_pop(1);
    return nullptr;
}

void *stress_spawner(void *arg)
{
    stress_state *s = static_cast<stress_state *>(arg);
    for (int i = 0; i < s->to_spawn; i++) {
        conn_registry_reserve(s->reg);
        s->alive.fetch_add(1);
        pthread_t t;
        if (pthread_create(&t, nullptr, stress_conn, s) != 0) {
            s->alive.fetch_sub(1);
            conn_registry_unreserve(s->reg);
        }
    }
    return nullptr;
}

TEST(ConnRegistryStress, CancelAllNeverMissesAThreadThatIsStillStarting)
{
    for (int round = 0; round < 40; round++) {
        stress_state s;
        s.reg = conn_registry_new(kMaxEvent);
        ASSERT_NE(s.reg, nullptr);
        s.to_spawn = 24;
        pthread_t spawner;
        ASSERT_EQ(pthread_create(&spawner, nullptr, stress_spawner, &s), 0);
        ASSERT_EQ(pthread_join(spawner, nullptr), 0);
        // Right after the spawner is joined some threads have not registered yet.
        int n = conn_registry_cancel_all(s.reg, 1);
        s.freed.store(1);
        EXPECT_GE(n, 0);
        EXPECT_EQ(conn_registry_count(s.reg), 0);
        // Cleanups finish touching the registry before alive drops; wait for that.
        ASSERT_TRUE(poll_until([&] { return s.alive.load() == 0; }, kPromptMs));
        EXPECT_EQ(s.violations.load(), 0) << "round " << round;
        conn_registry_free(s.reg);
    }
}

}  // namespace
