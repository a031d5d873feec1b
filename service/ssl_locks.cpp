// OpenSSL thread locks. Older OpenSSL generations do no locking of their own and rely
// on these callbacks; OpenSSL 3 locks internally, reports a single static lock and turns
// the installers into no-ops, so there the callbacks are never called. They are kept so
// the endpoint's set-up and tear-down read the same under either generation.
#include "service/ssl_locks.h"

#include <openssl/crypto.h>
#include <pthread.h>

#include <cstdlib>

#include "stdsoap2.h"

struct CRYPTO_dynlock_value {
    pthread_mutex_t mutex;
};

namespace {

pthread_mutex_t *g_locks;  // CRYPTO_num_locks() mutexes, or null; main thread only
int g_nlocks;

[[maybe_unused]] unsigned long thread_id_cb(void) {
    return static_cast<unsigned long>(pthread_self());
}

[[maybe_unused]] void locking_cb(int mode, int type, const char *, int) {
    if (mode & CRYPTO_LOCK)
        pthread_mutex_lock(&g_locks[type]);
    else
        pthread_mutex_unlock(&g_locks[type]);
}

[[maybe_unused]] struct CRYPTO_dynlock_value *dyn_create_cb(const char *, int) {
    struct CRYPTO_dynlock_value *l = static_cast<struct CRYPTO_dynlock_value *>(
        malloc(sizeof(struct CRYPTO_dynlock_value)));
    if (l) pthread_mutex_init(&l->mutex, nullptr);
    return l;
}

[[maybe_unused]] void dyn_lock_cb(int mode, struct CRYPTO_dynlock_value *l, const char *, int) {
    if (mode & CRYPTO_LOCK)
        pthread_mutex_lock(&l->mutex);
    else
        pthread_mutex_unlock(&l->mutex);
}

[[maybe_unused]] void dyn_destroy_cb(struct CRYPTO_dynlock_value *l, const char *, int) {
    pthread_mutex_destroy(&l->mutex);
    free(l);
}

}  // namespace

int ssl_locks_init(void) {
    if (g_locks) return 0;
    int n = CRYPTO_num_locks();
    g_locks = static_cast<pthread_mutex_t *>(calloc(static_cast<size_t>(n), sizeof(pthread_mutex_t)));
    if (!g_locks) return SOAP_EOM;
    g_nlocks = n;
    for (int i = 0; i < n; i++) pthread_mutex_init(&g_locks[i], nullptr);
    CRYPTO_set_id_callback(thread_id_cb);
    CRYPTO_set_locking_callback(locking_cb);
    CRYPTO_set_dynlock_create_callback(dyn_create_cb);
    CRYPTO_set_dynlock_lock_callback(dyn_lock_cb);
    CRYPTO_set_dynlock_destroy_callback(dyn_destroy_cb);
    return 0;
}

void ssl_locks_cleanup(void) {
    if (!g_locks) return;
    CRYPTO_set_id_callback(nullptr);
    CRYPTO_set_locking_callback(nullptr);
    CRYPTO_set_dynlock_create_callback(nullptr);
    CRYPTO_set_dynlock_lock_callback(nullptr);
    CRYPTO_set_dynlock_destroy_callback(nullptr);
    for (int i = 0; i < g_nlocks; i++) pthread_mutex_destroy(&g_locks[i]);
    free(g_locks);
    g_locks = nullptr;
    g_nlocks = 0;
}
