// OpenSSL 3 locks internally: the lock and thread-id callbacks that older generations
// needed are gone from its API (their installers expand to nothing), so there is nothing
// to set up or tear down. The entry points stay where the endpoint's start and stop
// call them.
#include "service/ssl_locks.h"

int ssl_locks_init(void) { return 0; }

void ssl_locks_cleanup(void) {}
