// Strings from the store are heap copies (a blocked-file record's in one block); the
// runtime writes them only after the operation returned, so each copy goes on the
// connection's release list and is freed when the next operation starts (its reply has
// been sent by then) or the connection ends.
#include "service/operations.h"

#include <cstdlib>

#include "service/release_list.h"
#include "soapH.h"
#include "store/forward.h"
#include "store/store.h"

static void release_heap(void *p) { free(p); }

// Hands s to the release list; returns s, or null when the entry could not be made
// (s is then already freed and the field is left out of the reply).
static char *keep(struct soap *soap, char *s)
{
    void *v = s;
    defer_release(soap, &v, release_heap);
    return static_cast<char *>(v);
}

// Every fault carries a text: SOAP 1.1 requires faultstring and 1.2 a Reason, and
// several stacks fail on a fault without one.
static int no_record_fault(struct soap *soap)
{
    return soap_sender_fault(soap, "no blocked file record", nullptr);
}

// A SOAP 1.2 Detail may hold elements only, so there the text goes in one of the
// service's own; 1.1 clients have always read it bare.
static int forward_fault(struct soap *soap)
{
    const char *detail =
        soap->version == 2
            ? "<sntr:text>had a problem forwarding the request to the executing instance"
              "</sntr:text>"
            : "had a problem forwarding the request to the executing instance";
    return soap_sender_fault(soap, "could not forward request", detail);
}

int operation_get_versionInfo(struct soap *soap, struct sntr__versionInfo *out)
{
    release_deferred(soap);
    out->interface_version = 2;
    return SOAP_OK;
}

int operation_get_binVersionNumber(struct soap *soap, long *ver)
{
    release_deferred(soap);
    *ver = store_get_binVersionNumber();
    return SOAP_OK;
}

int operation_get_engVersionNumber(struct soap *soap, long *ver)
{
    release_deferred(soap);
    *ver = store_get_engVersionNumber();
    return SOAP_OK;
}

int operation_get_vdfVersionNumber(struct soap *soap, long *ver)
{
    release_deferred(soap);
    *ver = store_get_vdfVersionNumber();
    return SOAP_OK;
}

int operation_get_currentConffile(struct soap *soap, char **fn)
{
    release_deferred(soap);
    *fn = keep(soap, store_get_currentConffile());
    return SOAP_OK;
}

// Newest mode (newest != 0) waits for the next record; index mode asks for *index.
static int fetch_short(struct soap *soap, int newest, unsigned int index,
                       struct sntr__blockedFile *out)
{
    release_deferred(soap);
    char *info = nullptr;
    char *object = store_fetch_blocked_file(newest, &index, nullptr, &info, nullptr, nullptr,
                                            nullptr, nullptr);
    if (!object)
        return no_record_fault(soap);
    // The strings share the object's block, so one release-list entry covers them all;
    // when it cannot be made the block is gone and every field is left out.
    out->filename = keep(soap, object);
    out->information = out->filename ? info : nullptr;
    out->index = index;
    return SOAP_OK;
}

int operation_get_lastBlockedFile(struct soap *soap, struct sntr__blockedFile *out)
{
    return fetch_short(soap, 1, 0, out);
}

int operation_get_blockedFile(struct soap *soap, unsigned int index, struct sntr__blockedFile *out)
{
    return fetch_short(soap, 0, index, out);
}

int operation_get_blockedFile2(struct soap *soap, unsigned int index,
                               struct sntr__blockedFile2 *out)
{
    release_deferred(soap);
    int reason = 0;
    char *info = nullptr, *add_info = nullptr, *action = nullptr, *source = nullptr;
    char *alerturl = nullptr;
    char *object =
        store_fetch_blocked_file(0, &index, &reason, &info, &add_info, &action, &source, &alerturl);
    if (!object)
        return no_record_fault(soap);
    char *block = keep(soap, object);
    out->object = block;
    // Clients know five reasons only; anything else is shown as a plain alert.
    out->reason = (reason >= BLOCKED_ALERT && reason <= BLOCKED_EXTENSION)
                      ? static_cast<enum sntr__blockedReason>(reason)
                      : BLOCKED_ALERT;
    out->info = block ? info : nullptr;
    out->add_info = block ? add_info : nullptr;
    out->action = block ? action : nullptr;
    out->source = block ? source : nullptr;
    out->index = index;
    out->alerturl = block ? alerturl : nullptr;
    return SOAP_OK;
}

int operation_get_lastScannedFile(struct soap *soap, char **fn)
{
    release_deferred(soap);
    *fn = keep(soap, store_get_lastScannedFile());
    return SOAP_OK;
}

int operation_get_currentStats(struct soap *soap, struct sntr__currentStats *out)
{
    release_deferred(soap);
    int numDaemons = 0, accessMask = 0;
    int64_t scannedFiles = 0, scannedBytes = 0, blockedCount = 0;
    // Without a store the outputs stay untouched, so the zeros above are answered.
    (void)store_get_stats(&numDaemons, &accessMask, &scannedFiles, &scannedBytes, &blockedCount);
    out->numDaemons = numDaemons;
    out->accessMask = accessMask;
    out->scannedFiles = scannedFiles;
    out->scannedBytes = scannedBytes;
    out->blockedCount = blockedCount;
    return SOAP_OK;
}

int operation_get_logChanged(struct soap *soap, enum xsd__boolean *changed)
{
    release_deferred(soap);
    *changed = store_take_logChanged() != 0 ? true_ : false_;
    return SOAP_OK;
}

int operation_reload(struct soap *soap)
{
    release_deferred(soap);
    return forward_reload() == 0 ? SOAP_OK : forward_fault(soap);
}

int operation_stop(struct soap *soap)
{
    release_deferred(soap);
    return forward_stop() == 0 ? SOAP_OK : forward_fault(soap);
}

int operation_ping(struct soap *soap, int *foo)
{
    release_deferred(soap);
    if (forward_ping() != 0)
        return forward_fault(soap);
    *foo = 1;
    return SOAP_OK;
}

int operation_register_client(struct soap *soap, unsigned long *id)
{
    if (store_register_client(id) != 0)
        return soap_sender_fault(soap, "could not register client", nullptr);
    return SOAP_OK;
}

int operation_unregister_client(struct soap *soap, unsigned long id)
{
    if (store_unregister_client(id) != 0)
        return soap_sender_fault(soap, "unknown client id", nullptr);
    return SOAP_OK;
}
