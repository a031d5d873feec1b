// The store's six ways into the endpoint's registry. Kept apart from the rest of the
// endpoint so that the store and its tests link without the SOAP runtime.
#include "service/conn_registry.h"
#include "service/endpoint_internal.h"
#include "store/endpoint_link.h"

int endpoint_post(struct soap_endpoint *ep, int event)
{
    if (!ep)
        return -1;
    return conn_registry_post(ep->registry, event);
}

int endpoint_wake(struct soap_endpoint *ep, int event)
{
    if (!ep)
        return -1;
    return conn_registry_wake(ep->registry, event);
}

int endpoint_wait(struct soap_endpoint *ep, int event, int cap, pthread_mutex_t *ext)
{
    if (!ep)
        return -1;
    return conn_registry_wait(ep->registry, event, cap, ext);
}

int endpoint_client_id(struct soap_endpoint *ep, unsigned long *id)
{
    if (!ep)
        return -1;
    return conn_registry_self_id(ep->registry, id);
}

int endpoint_cancel_client(struct soap_endpoint *ep, unsigned long id)
{
    if (!ep)
        return -1;
    return conn_registry_cancel_thread(ep->registry, id);
}

int endpoint_connections(struct soap_endpoint *ep)
{
    if (!ep)
        return -1;
    return conn_registry_count(ep->registry);
}
