// The list head lives in soap->user. A connection's context is a copy of the listening
// context, whose user field is never set, so each connection starts with an empty list
// of its own.
#include "service/release_list.h"

#include <cstdlib>

#include <stdsoap2.h>

struct release_entry {
    void *value;
    void (*release)(void *);
    struct release_entry *next;
};

int defer_release(struct soap *soap, void **value, void (*release)(void *))
{
    if (!soap || !value || !release)
        return -1;
    if (!*value)
        return 0;
    struct release_entry *e = static_cast<struct release_entry *>(calloc(1, sizeof *e));
    if (!e) {
        // The value must not reach the response without an owner: release it now and
        // leave the response field empty.
        release(*value);
        *value = nullptr;
        return -1;
    }
    e->value = *value;
    e->release = release;
    e->next = static_cast<struct release_entry *>(soap->user);
    soap->user = e;
    return 0;
}

void release_deferred(struct soap *soap)
{
    if (!soap)
        return;
    while (soap->user) {
        struct release_entry *e = static_cast<struct release_entry *>(soap->user);
        soap->user = e->next;
        e->release(e->value);
        free(e);
    }
}
