// Waker. A request marks its condition due and kicks the thread only when nobody has
// kicked it since it last looked, so a busy waker costs each request two atomic
// operations; a sleeping one a semaphore post, which wakes one thread and never blocks.
#include "registry/waker.h"

#include <semaphore.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>

struct waker {
    pthread_cond_t *conds;  // set at creation, read-only afterwards
    int n;
    pthread_t thread;
    sem_t kick;  // posted when kicked goes from 0 to 1, and once at stop
    // atomics, read and written with __atomic builtins by any thread
    int *due;    // n flags: a broadcast of conds[i] is asked for
    int kicked;  // a request came since the waker last cleared it
    int stop;
};

static void *waker_main(void *arg)
{
    struct waker *w = static_cast<struct waker *>(arg);
    for (;;) {
        // Cleared before the flags are read: a request that sets a flag after this
        // read finds kicked clear and posts, so the sleep below never misses it.
        __atomic_store_n(&w->kicked, 0, __ATOMIC_SEQ_CST);
        int served = 0;
        for (int i = 0; i < w->n; i++) {
            if (__atomic_exchange_n(&w->due[i], 0, __ATOMIC_SEQ_CST)) {
                pthread_cond_broadcast(&w->conds[i]);
                served = 1;
            }
        }
        if (served)
            continue;
        if (__atomic_load_n(&w->stop, __ATOMIC_SEQ_CST))
            break;
        while (sem_wait(&w->kick) != 0 && errno == EINTR) {
        }
    }
    return nullptr;
}

struct waker *waker_new(pthread_cond_t *conds, int n)
{
    if (n < 1)
        return nullptr;
    struct waker *w = static_cast<struct waker *>(calloc(1, sizeof(struct waker)));
    if (!w)
        return nullptr;
    w->due = static_cast<int *>(calloc(static_cast<size_t>(n), sizeof(int)));
    if (!w->due) {
        free(w);
        return nullptr;
    }
    w->conds = conds;
    w->n = n;
    sem_init(&w->kick, 0, 0);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    const int rc = pthread_create(&w->thread, nullptr, waker_main, w);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        sem_destroy(&w->kick);
        free(w->due);
        free(w);
        return nullptr;
    }
    return w;
}

int waker_request(struct waker *w, int i)
{
    if (!w)
        return -1;
    if (i < 0 || i >= w->n)
        return -2;
    __atomic_store_n(&w->due[i], 1, __ATOMIC_SEQ_CST);
    if (!__atomic_exchange_n(&w->kicked, 1, __ATOMIC_SEQ_CST))
        sem_post(&w->kick);
    return 0;
}

void waker_free(struct waker *w)
{
    if (!w)
        return;
    __atomic_store_n(&w->stop, 1, __ATOMIC_SEQ_CST);
    sem_post(&w->kick);
    pthread_join(w->thread, nullptr);
    sem_destroy(&w->kick);
    free(w->due);
    free(w);
}
