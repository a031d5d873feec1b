// Test threads that behave like connection threads: each registers in a registry, runs a
// body that may block in a registry wait, and removes itself in a cancellation handler.
// Every wait on them is bounded, so a broken implementation fails a test, never hangs it.
// Header only: each test file is its own program.
#ifndef GC_TESTS_REGISTRY_HARNESS_H
#define GC_TESTS_REGISTRY_HARNESS_H

#include <pthread.h>
#include <time.h>

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "registry/conn_registry.h"

struct conn_thread {
    pthread_t tid{};
    struct conn_registry *reg = nullptr;
    std::function<int()> body;
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t c = PTHREAD_COND_INITIALIZER;
    bool joinable = false;
    // guarded by: m
    int registered = 0;  // 1 once in the registry, -1 when the add failed
    int finished = 0;    // 1 once the cleanup ran, cancelled or not
    int returned = 0;    // 1 when the body returned (0 after a cancellation)
    int result = 0;      // the body's result
};

inline timespec deadline_after(int ms)
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

inline void conn_thread_set(conn_thread *t, int *field, int v)
{
    pthread_mutex_lock(&t->m);
    *field = v;
    pthread_cond_broadcast(&t->c);
    pthread_mutex_unlock(&t->m);
}

inline void conn_thread_cleanup(void *arg)
{
    conn_thread *t = static_cast<conn_thread *>(arg);
    conn_registry_remove(t->reg, pthread_self());
    conn_thread_set(t, &t->finished, 1);
}

inline void *conn_thread_main(void *arg)
{
    conn_thread *t = static_cast<conn_thread *>(arg);
    int old;
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &old);
    int rc = conn_registry_add_reserved(t->reg, pthread_self(), -1);
    conn_thread_set(t, &t->registered, rc == 0 ? 1 : -1);
    pthread_cleanup_push(conn_thread_cleanup, t);
    int r = t->body();
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_mutex_lock(&t->m);
    t->result = r;
    t->returned = 1;
    pthread_mutex_unlock(&t->m);
    pthread_cleanup_pop(1);
    return nullptr;
}

// Starts t: it registers, then runs body. False when the thread cannot be created.
inline bool conn_thread_start(conn_thread *t, struct conn_registry *reg, std::function<int()> body)
{
    t->reg = reg;
    t->body = std::move(body);
    // Reserved first, as the daemon does, so that a cancel-all with waiting cannot miss it.
    if (conn_registry_reserve(reg) != 0)
        return false;
    t->joinable = pthread_create(&t->tid, nullptr, conn_thread_main, t) == 0;
    if (!t->joinable)
        conn_registry_unreserve(reg);
    return t->joinable;
}

inline bool conn_thread_wait_flag(conn_thread *t, int *field, int ms)
{
    timespec ts = deadline_after(ms);
    pthread_mutex_lock(&t->m);
    while (*field == 0 && pthread_cond_timedwait(&t->c, &t->m, &ts) == 0) {
    }
    bool ok = *field != 0;
    pthread_mutex_unlock(&t->m);
    return ok;
}

// Waits up to ms for registration / for the cleanup to have run. True when it happened.
inline bool conn_thread_wait_registered(conn_thread *t, int ms)
{
    return conn_thread_wait_flag(t, &t->registered, ms);
}
inline bool conn_thread_wait_finished(conn_thread *t, int ms)
{
    return conn_thread_wait_flag(t, &t->finished, ms);
}

// Joins within ms (true); otherwise leaves the thread alone (false).
inline bool conn_thread_join(conn_thread *t, int ms)
{
    if (!t->joinable)
        return true;
    timespec ts = deadline_after(ms);
    if (pthread_timedjoin_np(t->tid, nullptr, &ts) != 0)
        return false;
    t->joinable = false;
    return true;
}

inline int conn_thread_returned(conn_thread *t)
{
    pthread_mutex_lock(&t->m);
    int v = t->returned;
    pthread_mutex_unlock(&t->m);
    return v;
}

inline int conn_thread_result(conn_thread *t)
{
    pthread_mutex_lock(&t->m);
    int v = t->result;
    pthread_mutex_unlock(&t->m);
    return v;
}

// Polls pred every millisecond for up to ms; true once it held.
inline bool poll_until(const std::function<bool()> &pred, int ms)
{
    timespec end = deadline_after(ms);
    for (;;) {
        if (pred())
            return true;
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_sec > end.tv_sec || (now.tv_sec == end.tv_sec && now.tv_nsec >= end.tv_nsec))
            return false;
        timespec tick = {0, 1000000L};
        nanosleep(&tick, nullptr);
    }
}

// How long a thread that should block is watched before it is judged blocked.
constexpr int kStillBlockedMs = 150;
// Upper bound for anything that should happen promptly.
constexpr int kPromptMs = 5000;

// The threads of one test. spawn starts one and waits until it is registered; join_all,
// after the registry's cancel-all, joins and frees them all.
struct conn_threads {
    std::vector<conn_thread *> started;
    conn_thread *spawn(struct conn_registry *reg, std::function<int()> body)
    {
        conn_thread *t = new conn_thread;
        started.push_back(t);
        EXPECT_TRUE(conn_thread_start(t, reg, std::move(body)));
        EXPECT_TRUE(conn_thread_wait_registered(t, kPromptMs));
        return t;
    }
    void join_all()
    {
        for (conn_thread *t : started)
            EXPECT_TRUE(conn_thread_join(t, kPromptMs));
        for (conn_thread *t : started)
            delete t;
        started.clear();
    }
};

#endif
