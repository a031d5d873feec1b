// Status store: values, wrap-around and snapshot consistency, and the long polls with
// real connection-like threads registered in a registry the store is linked to.
#include "store/store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>

#include "registry/conn_registry.h"
#include "store/registry_harness.h"
#include "store/stderr_capture.h"

namespace {

// Takes ownership of a heap string from the store and returns it as std::string.
std::string take(char *s)
{
    std::string out = s ? s : "<null>";
    free(s);
    return out;
}

// Runs fn on its own thread and reports whether it completed within ms, so that a
// store mutex left locked fails the test instead of hanging it.
bool completes_within(std::function<void()> fn, int ms)
{
    struct job {
        std::function<void()> fn;
        std::atomic<int> done{0};
    };
    job *j = new job{std::move(fn)};
    pthread_t t;
    if (pthread_create(
            &t, nullptr,
            [](void *a) -> void * {
                job *jj = static_cast<job *>(a);
                jj->fn();
                jj->done.store(1);
                return nullptr;
            },
            j) != 0)
        return false;
    bool ok = poll_until([j] { return j->done.load() == 1; }, ms);
    if (ok) {
        pthread_join(t, nullptr);
        delete j;
    } else {
        pthread_detach(t);  // stuck; leaked on purpose so the test can report it
    }
    return ok;
}

TEST(StoreAbsent, EveryOperationReportsNoStore)
{
    store_destroy();
    EXPECT_EQ(store_set_binVersionNumber(1), -1);
    EXPECT_EQ(store_set_lastScannedFile("x"), -1);
    EXPECT_EQ(store_add_scannedFiles(1), -1);
    EXPECT_EQ(store_get_currentConffile(), nullptr);
    EXPECT_EQ(store_get_lastScannedFile(), nullptr);
    EXPECT_EQ(store_get_vdfVersionNumber(), -1);
    EXPECT_EQ(store_take_logChanged(), -1);
    int nd = 7;
    int64_t sf = 8;
    EXPECT_EQ(store_get_stats(&nd, nullptr, &sf, nullptr, nullptr), -1);
    EXPECT_EQ(nd, 7);
    EXPECT_EQ(sf, 8);
    EXPECT_EQ(store_add_blocked_file("o", 0, "i", "", "", "", ""), -1);
    unsigned int idx = 0;
    EXPECT_EQ(
        store_fetch_blocked_file(0, &idx, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
        nullptr);
    unsigned long id = 0;
    EXPECT_EQ(store_register_client(&id), -1);
    EXPECT_EQ(store_unregister_client(1), -1);
    store_destroy();  // a second destroy is harmless
}

TEST(StoreCreate, ReportsLeftOverWordsInOrderAndStillCreates)
{
    char w1[] = "first", w2[] = "second";
    char *words[] = {w1, w2};
    std::string err;
    {
        stderr_capture cap;
        ASSERT_GE(cap.rd, 0);
        ASSERT_EQ(store_create(nullptr, 2, words), 0);
        err = cap.read_all();
    }
    EXPECT_EQ(err, "unhandled command line word [first]\nunhandled command line word [second]\n");
    EXPECT_EQ(store_set_numDaemons(2), 0);
    store_destroy();
}

class StoreValues : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(store_create(nullptr, 0, nullptr), 0); }
    void TearDown() override { store_destroy(); }
};

TEST_F(StoreValues, StringsReadAsEmptyUntilSetAndAfterClearing)
{
    EXPECT_EQ(take(store_get_currentConffile()), "");
    EXPECT_EQ(take(store_get_lastScannedFile()), "");  // unlinked: no wait
    EXPECT_EQ(store_set_currentConffile("/etc/scan.conf"), 0);
    EXPECT_EQ(take(store_get_currentConffile()), "/etc/scan.conf");
    EXPECT_EQ(store_set_currentConffile(nullptr), 0);
    EXPECT_EQ(take(store_get_currentConffile()), "");
    EXPECT_EQ(store_set_lastScannedFile("/tmp/a"), 0);
    EXPECT_EQ(take(store_get_lastScannedFile()), "/tmp/a");
    EXPECT_EQ(store_set_lastScannedFile(nullptr), 0);
    EXPECT_EQ(take(store_get_lastScannedFile()), "");
}

TEST_F(StoreValues, RecreatingReturnsEverythingToItsStart)
{
    EXPECT_EQ(store_set_binVersionNumber(5), 0);
    EXPECT_EQ(store_set_engVersionNumber(6), 0);
    EXPECT_EQ(store_set_vdfVersionNumber(7), 0);
    EXPECT_EQ(store_get_engVersionNumber(), 6);
    EXPECT_EQ(store_add_blocked_file("o", 0, "i", "", "", "", ""), 0);
    ASSERT_EQ(store_create(nullptr, 0, nullptr), 0);
    EXPECT_EQ(store_get_binVersionNumber(), 0);
    unsigned int idx = 0;
    // Empty again, and unlinked: the wait fails, so nothing is returned.
    EXPECT_EQ(
        store_fetch_blocked_file(0, &idx, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
        nullptr);
}

TEST_F(StoreValues, LogChangedIsTakenAndZeroed)
{
    EXPECT_EQ(store_set_logChanged(5), 0);
    EXPECT_EQ(store_add_logChanged(2), 0);
    EXPECT_EQ(store_take_logChanged(), 7);
    EXPECT_EQ(store_take_logChanged(), 0);
    EXPECT_EQ(store_add_logChanged(0), 0);
    EXPECT_EQ(store_take_logChanged(), 0);
}

TEST_F(StoreValues, SixtyFourBitCountersWrapWithoutError)
{
    EXPECT_EQ(store_set_scannedFiles(INT64_MAX), 0);
    EXPECT_EQ(store_add_scannedFiles(1), 0);
    EXPECT_EQ(store_set_scannedBytes(-1), 0);
    EXPECT_EQ(store_add_scannedBytes(2), 0);
    EXPECT_EQ(store_set_blockedCount(INT64_MIN), 0);
    EXPECT_EQ(store_add_blockedCount(-1), 0);
    int64_t f = 0, b = 0, c = 0;
    ASSERT_EQ(store_get_stats(nullptr, nullptr, &f, &b, &c), 0);
    EXPECT_EQ(f, INT64_MIN);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(c, INT64_MAX);
}

TEST_F(StoreValues, StatsSnapshotNeverMixesBeforeAndAfter)
{
    // The writer raises the counters in order, so any snapshot taken under one lock has
    // files >= bytes >= blocked, at most one apart; halves equal rules out torn values.
    std::atomic<int> stop{0};
    std::atomic<long> bad{0}, reads{0};
    auto reader = [&] {
        while (!stop.load()) {
            int64_t f = 0, b = 0, c = 0;
            store_get_stats(nullptr, nullptr, &f, &b, &c);
            int64_t nf = f >> 32, nb = b >> 32, nc = c >> 32;
            if (nf != (f & 0xffffffff) || !(nf >= nb && nb >= nc && nf - nc <= 1))
                bad++;
            reads++;
        }
    };
    std::thread r1(reader), r2(reader), r3(reader);
    // Runs until the readers have had a fair share, however the threads are scheduled.
    for (int64_t i = 1; i <= 20000 || (reads.load() < 1000 && i < 50000000); i++) {
        int64_t v = (i << 32) | i;
        store_set_scannedFiles(v);
        store_set_scannedBytes(v);
        store_set_blockedCount(v);
    }
    stop.store(1);
    r1.join();
    r2.join();
    r3.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(bad.load(), 0);
}

TEST_F(StoreValues, BlockedFilesByIndexAcrossTheDrop)
{
    for (int i = 0; i < 1025; i++) {
        std::string o = "/o" + std::to_string(i);
        ASSERT_EQ(
            store_add_blocked_file(o.c_str(), i % 5, "virus", nullptr, nullptr, nullptr, nullptr),
            0);
    }
    unsigned int idx = 0;
    int reason = -1;
    char *info = nullptr, *add = nullptr, *act = nullptr, *src = nullptr, *url = nullptr;
    char *object = store_fetch_blocked_file(0, &idx, &reason, &info, &add, &act, &src, &url);
    ASSERT_NE(object, nullptr);
    EXPECT_STREQ(object, "/o1");
    EXPECT_EQ(idx, 1u);
    EXPECT_EQ(reason, 1);
    EXPECT_STREQ(info, "virus");
    for (char *s : {add, act, src, url})
        EXPECT_STREQ(s, "");
    free(object);  // the other strings share its block
    idx = 5000;    // beyond total, ring not empty: oldest, no wait
    EXPECT_EQ(take(store_fetch_blocked_file(0, &idx, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr)),
              "/o1");
    EXPECT_EQ(idx, 1u);
    idx = 1024;
    EXPECT_EQ(take(store_fetch_blocked_file(0, &idx, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr)),
              "/o1024");
    // Index mode needs the index.
    EXPECT_EQ(
        store_fetch_blocked_file(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
        nullptr);
}

// A store linked to a registry that the test threads join.
class StoreLinked : public ::testing::Test {
protected:
    void SetUp() override
    {
        reg = conn_registry_new(2);
        ASSERT_NE(reg, nullptr);
        ASSERT_EQ(store_create(reg, 0, nullptr), 0);
    }
    void TearDown() override
    {
        conn_registry_cancel_all(reg, 0);
        threads.join_all();
        store_destroy();
        conn_registry_free(reg);
        store_set_coalesce_ms(0);
    }
    conn_thread *spawn(std::function<int()> body) { return threads.spawn(reg, std::move(body)); }
    // A fetch in index mode starting from *in; the object goes to *out.
    conn_thread *fetcher(unsigned int start, std::string *out, unsigned int *idx)
    {
        return spawn([=] {
            *idx = start;
            *out = take(store_fetch_blocked_file(0, idx, nullptr, nullptr, nullptr, nullptr,
                                                 nullptr, nullptr));
            return 0;
        });
    }
    struct conn_registry *reg = nullptr;
    conn_threads threads;
};

TEST_F(StoreLinked, FetchBeforeTheFirstRecordWaitsForIt)
{
    std::string got;
    unsigned int idx = 0;
    conn_thread *t = fetcher(7, &got, &idx);
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    ASSERT_EQ(store_add_blocked_file("/first", 0, "", "", "", "", ""), 0);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(got, "/first");
    EXPECT_EQ(idx, 0u);
}

TEST_F(StoreLinked, FetchAtTotalWaitsForExactlyTheNextRecord)
{
    ASSERT_EQ(store_add_blocked_file("/a", 0, "", "", "", "", ""), 0);
    ASSERT_EQ(store_add_blocked_file("/b", 0, "", "", "", "", ""), 0);
    std::string got;
    unsigned int idx = 0;
    // Registered after both records: its counter is 0 and index 2 does not exist yet.
    conn_thread *t = fetcher(2, &got, &idx);
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    ASSERT_EQ(store_add_blocked_file("/c", 0, "", "", "", "", ""), 0);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(got, "/c");
    EXPECT_EQ(idx, 2u);
}

TEST_F(StoreLinked, StaleNotificationDoesNotEndAnIndexWait)
{
    std::atomic<int> phase{0};
    std::string second;
    unsigned int idx = 0;
    conn_thread *t = spawn([&] {
        while (phase.load() == 0)
            sched_yield();
        idx = 0;  // the record that caused the pending notification
        take(store_fetch_blocked_file(0, &idx, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr));
        phase.store(2);
        idx = 1;  // everything seen: waits although a notification is still pending
        second = take(store_fetch_blocked_file(0, &idx, nullptr, nullptr, nullptr, nullptr, nullptr,
                                               nullptr));
        return 0;
    });
    ASSERT_EQ(store_add_blocked_file("/a", 0, "", "", "", "", ""), 0);
    phase.store(1);
    ASSERT_TRUE(poll_until([&] { return phase.load() == 2; }, kPromptMs));
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    ASSERT_EQ(store_add_blocked_file("/b", 0, "", "", "", "", ""), 0);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(second, "/b");
    EXPECT_EQ(idx, 1u);
}

TEST_F(StoreLinked, NewestConsumesEveryPendingNotification)
{
    std::atomic<int> phase{0};
    std::string first, second;
    unsigned int idx1 = 0, idx2 = 0;
    conn_thread *t = spawn([&] {
        while (phase.load() == 0)
            sched_yield();
        first = take(store_fetch_blocked_file(1, &idx1, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr));
        phase.store(2);
        second = take(store_fetch_blocked_file(1, &idx2, nullptr, nullptr, nullptr, nullptr,
                                               nullptr, nullptr));
        return 0;
    });
    for (const char *o : {"/a", "/b", "/c"})
        ASSERT_EQ(store_add_blocked_file(o, 0, "", "", "", "", ""), 0);
    phase.store(1);
    ASSERT_TRUE(poll_until([&] { return phase.load() == 2; }, kPromptMs));
    EXPECT_EQ(first, "/c");
    EXPECT_EQ(idx1, 2u);
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    // The older two are still there by index.
    unsigned int idx = 0;
    EXPECT_EQ(take(store_fetch_blocked_file(0, &idx, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr)),
              "/a");
    ASSERT_EQ(store_add_blocked_file("/d", 0, "", "", "", "", ""), 0);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(second, "/d");
    EXPECT_EQ(idx2, 3u);
}

// Updates that fall anywhere in a poll (before its check, between the check and the
// sleep, during the sleep) must each end it: the posts are made under the store mutex
// and the wake follows them. A lost wake-up or count leaves a poller asleep for good.
TEST_F(StoreLinked, EveryUpdateEndsThePollItRacesWith)
{
    constexpr int kRounds = 3000;
    std::atomic<int> scanned_armed{0}, scanned_seen{0}, blocked_armed{0}, blocked_seen{0};
    spawn([&] {
        for (int i = 1; i <= kRounds; i++) {
            scanned_armed.store(i);
            if (take(store_get_lastScannedFile()) != std::to_string(i))
                return -i;
            scanned_seen.store(i);
        }
        return 0;
    });
    spawn([&] {
        for (int i = 1; i <= kRounds; i++) {
            unsigned int idx = static_cast<unsigned int>(i - 1);
            blocked_armed.store(i);
            if (take(store_fetch_blocked_file(0, &idx, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr)) != std::to_string(i))
                return -i;
            blocked_seen.store(i);
        }
        return 0;
    });
    for (int i = 1; i <= kRounds; i++) {
        ASSERT_TRUE(poll_until([&] { return scanned_armed.load() == i; }, kPromptMs));
        ASSERT_TRUE(poll_until([&] { return blocked_armed.load() == i; }, kPromptMs));
        std::string v = std::to_string(i);
        ASSERT_EQ(store_set_lastScannedFile(v.c_str()), 0);
        ASSERT_EQ(store_add_blocked_file(v.c_str(), 0, "", "", "", "", ""), 0);
        ASSERT_TRUE(poll_until([&] { return scanned_seen.load() == i; }, kPromptMs))
            << "last scanned file, round " << i;
        ASSERT_TRUE(poll_until([&] { return blocked_seen.load() == i; }, kPromptMs))
            << "blocked file, round " << i;
    }
    // Back to back, racing the pollers' consumption: the last post must still be seen.
    std::atomic<int> newest_done{0};
    spawn([&] {
        unsigned int idx = 0;
        const unsigned int last = 2 * kRounds - 1;
        while (idx != last)
            take(store_fetch_blocked_file(1, &idx, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr));
        newest_done.store(1);
        return 0;
    });
    for (int i = kRounds + 1; i <= 2 * kRounds; i++)
        ASSERT_EQ(store_add_blocked_file("/burst", 0, "", "", "", "", ""), 0);
    EXPECT_TRUE(poll_until([&] { return newest_done.load() == 1; }, kPromptMs));
    for (conn_thread *t : threads.started) {
        ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
        EXPECT_EQ(conn_thread_result(t), 0);
    }
}

TEST_F(StoreLinked, UnregisteredCallerGetsNothingInsteadOfWaiting)
{
    ASSERT_EQ(store_add_blocked_file("/a", 0, "", "", "", "", ""), 0);
    unsigned int idx = 1;  // at total: would wait, but the caller is no connection thread
    EXPECT_EQ(
        store_fetch_blocked_file(0, &idx, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
        nullptr);
    EXPECT_EQ(idx, 1u);
    // Newest mode ignores the failed wait and returns the newest record.
    EXPECT_EQ(take(store_fetch_blocked_file(1, &idx, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr)),
              "/a");
    EXPECT_EQ(idx, 0u);
}

TEST_F(StoreLinked, FirstLastScannedPollOfAConnectionWaitsForTheNextUpdate)
{
    ASSERT_EQ(store_set_lastScannedFile("/old"), 0);
    std::atomic<int> phase{0};
    std::string first, second;
    conn_thread *t = spawn([&] {
        first = take(store_get_lastScannedFile());
        phase.store(1);
        while (phase.load() != 2)
            sched_yield();
        second = take(store_get_lastScannedFile());
        return 0;
    });
    EXPECT_FALSE(poll_until([&] { return phase.load() == 1; }, kStillBlockedMs));
    ASSERT_EQ(store_set_lastScannedFile("/new"), 0);
    ASSERT_TRUE(poll_until([&] { return phase.load() == 1; }, kPromptMs));
    EXPECT_EQ(first, "/new");
    // Two updates while the client was busy: the next poll returns at once, latest value.
    ASSERT_EQ(store_set_lastScannedFile("/x"), 0);
    ASSERT_EQ(store_set_lastScannedFile("/y"), 0);
    phase.store(2);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(second, "/y");
}

// Updates faster than a client reads them: a connection answered less than a period ago
// is answered when the period is over, with the newest value and every update before it
// consumed. The pause holds neither the store mutex nor off a cancellation.
TEST_F(StoreLinked, LastScannedAnswersOfAConnectionAreAPeriodApart)
{
    constexpr int kPeriodMs = 1000;
    store_set_coalesce_ms(kPeriodMs);
    std::atomic<int> phase{0};
    std::atomic<unsigned long> id{0};
    std::string first, second, third;
    conn_thread *t = spawn([&] {
        unsigned long mine = 0;
        store_register_client(&mine);
        id.store(mine);
        first = take(store_get_lastScannedFile());
        phase.store(1);
        second = take(store_get_lastScannedFile());
        phase.store(2);
        third = take(store_get_lastScannedFile());
        phase.store(3);
        while (phase.load() != 4)
            sched_yield();
        return static_cast<int>(take(store_get_lastScannedFile()).size());
    });
    ASSERT_EQ(store_set_lastScannedFile("/a"), 0);
    ASSERT_TRUE(poll_until([&] { return phase.load() == 1; }, kPromptMs));
    EXPECT_EQ(first, "/a");
    ASSERT_EQ(store_set_lastScannedFile("/b"), 0);
    EXPECT_FALSE(poll_until([&] { return phase.load() == 2; }, kStillBlockedMs));
    struct store_metrics m = {};
    ASSERT_EQ(store_get_metrics(&m), 0);
    EXPECT_EQ(m.parkedPolls, 1);  // the pause is a wait of the long poll too
    ASSERT_TRUE(
        completes_within([] { EXPECT_EQ(store_set_lastScannedFile("/c"), 0); }, kPeriodMs / 2));
    ASSERT_TRUE(poll_until([&] { return phase.load() == 2; }, kPromptMs));
    EXPECT_EQ(second, "/c");
    EXPECT_FALSE(poll_until([&] { return phase.load() == 3; }, kPeriodMs + kStillBlockedMs));
    ASSERT_EQ(store_set_lastScannedFile("/d"), 0);
    ASSERT_TRUE(poll_until([&] { return phase.load() == 3; }, kPromptMs));
    EXPECT_EQ(third, "/d");
    // A pause far longer than this test still ends when the connection is unregistered.
    store_set_coalesce_ms(3600 * 1000);
    phase.store(4);
    EXPECT_FALSE(conn_thread_wait_finished(t, kStillBlockedMs));
    EXPECT_EQ(store_unregister_client(id.load()), 0);
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(conn_thread_returned(t), 0);
    ASSERT_EQ(store_get_metrics(&m), 0);
    EXPECT_EQ(m.parkedPolls, 0);
}

TEST_F(StoreLinked, ClientIdsComeFromTheRegistry)
{
    unsigned long id = 99;
    EXPECT_EQ(store_register_client(&id), -2);  // the test's main thread is no connection
    EXPECT_EQ(id, 99UL);
    unsigned long a = 0, b = 1;
    conn_thread *t = spawn([&] {
        int r = store_register_client(&a);
        return r * 10 + store_register_client(&b);
    });
    ASSERT_TRUE(conn_thread_wait_finished(t, kPromptMs));
    EXPECT_EQ(conn_thread_result(t), 0);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, 0UL);
    // Its connection has ended, so its id is no longer accepted.
    EXPECT_EQ(store_unregister_client(a), -2);
}

TEST_F(StoreLinked, CancelledFetchReleasesTheStoreMutex)
{
    std::atomic<unsigned long> id{0};
    conn_thread *blocked = spawn([&] {
        unsigned long mine = 0;
        store_register_client(&mine);
        id.store(mine);
        return take(store_fetch_blocked_file(1, nullptr, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr))
            .size();
    });
    std::atomic<unsigned long> scan_id{0};
    conn_thread *scanning = spawn([&] {
        unsigned long mine = 0;
        store_register_client(&mine);
        scan_id.store(mine);
        return static_cast<int>(take(store_get_lastScannedFile()).size());
    });
    std::string got;
    unsigned int idx = 0;
    conn_thread *bystander = fetcher(0, &got, &idx);
    ASSERT_TRUE(poll_until([&] { return id.load() != 0 && scan_id.load() != 0; }, kPromptMs));
    EXPECT_FALSE(conn_thread_wait_finished(blocked, kStillBlockedMs));
    // Both long polls, each cancelled in its wait, must leave the store mutex free.
    EXPECT_EQ(store_unregister_client(id.load()), 0);
    EXPECT_EQ(store_unregister_client(scan_id.load()), 0);
    ASSERT_TRUE(conn_thread_wait_finished(blocked, kPromptMs));
    ASSERT_TRUE(conn_thread_wait_finished(scanning, kPromptMs));
    EXPECT_EQ(conn_thread_returned(blocked), 0);
    EXPECT_EQ(conn_thread_returned(scanning), 0);
    // The other long poll keeps waiting, and the store mutex is free for the writer.
    EXPECT_FALSE(conn_thread_wait_finished(bystander, kStillBlockedMs));
    EXPECT_TRUE(completes_within(
        [] { EXPECT_EQ(store_add_blocked_file("/z", 0, "", "", "", "", ""), 0); }, kPromptMs));
    ASSERT_TRUE(conn_thread_wait_finished(bystander, kPromptMs));
    EXPECT_EQ(got, "/z");
}

}  // namespace
