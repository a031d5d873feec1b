// Bare gSOAP server, the baseline of the SOAP figures: the same runtime, the same
// marshalling code and the same replies as the daemon, and nothing else. One detached
// thread per connection serves up to max_keep_alive requests of four operations;
// get-currentStats answers zeros, get-versionInfo 2. The long polls wait on one
// condition variable that the main thread broadcasts once per status record of item 6
// (a last scanned file) or item 5 (a blocked file, kind '2') received on the channel's
// derived UDP port. It runs until SIGTERM (default action) or a 600 s alarm.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "intake/status_message.h"
#include "intake/transport_udp.h"
#include "service/schema/reply.h"

using namespace status_msg;

namespace {

constexpr int kBacklog = 8;  // as the daemon's endpoint
constexpr size_t kSlotCopy = kSlotTextSize;

// guarded by: g_mutex
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
unsigned g_scanned_count;  // item 6 records received
unsigned g_blocked_total;  // item 5 records received
char g_scanned[kSlotCopy];
char g_object[kSlotCopy];
char g_info[kSlotCopy];

int end_request(struct soap *soap)
{
    if (soap_body_end_in(soap) || soap_envelope_end_in(soap) || soap_end_recv(soap))
        return soap->error;
    soap->encodingStyle = nullptr;
    return SOAP_OK;
}

int serve_stats(struct soap *soap)
{
    struct sntr__get_currentStats req;
    struct sntr__currentStats out;
    soap_default_sntr__get_currentStats(soap, &req);
    soap_default_sntr__currentStats(soap, &out);
    if (!soap_get_sntr__get_currentStats(soap, &req, "sntr:get-currentStats", nullptr) ||
        end_request(soap))
        return soap->error;
    return reply_send(soap, &out, "sntr:currentStats", soap_serialize_sntr__currentStats,
                      soap_put_sntr__currentStats);
}

int serve_version(struct soap *soap)
{
    struct sntr__get_versionInfo req;
    struct sntr__versionInfo out;
    soap_default_sntr__get_versionInfo(soap, &req);
    soap_default_sntr__versionInfo(soap, &out);
    if (!soap_get_sntr__get_versionInfo(soap, &req, "sntr:get-versionInfo", nullptr) ||
        end_request(soap))
        return soap->error;
    out.interface_version = 2;
    return reply_send(soap, &out, "sntr:versionInfo", soap_serialize_sntr__versionInfo,
                      soap_put_sntr__versionInfo);
}

// Waits for the next last scanned file after the request arrived.
int serve_scanned(struct soap *soap)
{
    struct sntr__get_lastScannedFile req;
    struct sntr__get_lastScannedFileResponse out;
    char *fn = nullptr;
    soap_default_sntr__get_lastScannedFile(soap, &req);
    soap_default_sntr__get_lastScannedFileResponse(soap, &out);
    out.fn = &fn;
    if (!soap_get_sntr__get_lastScannedFile(soap, &req, "sntr:get-lastScannedFile", nullptr) ||
        end_request(soap))
        return soap->error;
    pthread_mutex_lock(&g_mutex);
    unsigned seen = g_scanned_count;
    while (g_scanned_count == seen)
        pthread_cond_wait(&g_changed, &g_mutex);
    fn = soap_strdup(soap, g_scanned);
    pthread_mutex_unlock(&g_mutex);
    return reply_send(soap, &out, "sntr:get-lastScannedFileResponse",
                      soap_serialize_sntr__get_lastScannedFileResponse,
                      soap_put_sntr__get_lastScannedFileResponse);
}

// Waits until the blocked file with the asked index has arrived.
int serve_blocked(struct soap *soap)
{
    struct sntr__get_blockedFile2 req;
    struct sntr__blockedFile2 out;
    soap_default_sntr__get_blockedFile2(soap, &req);
    soap_default_sntr__blockedFile2(soap, &out);
    if (!soap_get_sntr__get_blockedFile2(soap, &req, "sntr:get-blockedFile2", nullptr) ||
        end_request(soap))
        return soap->error;
    pthread_mutex_lock(&g_mutex);
    while (g_blocked_total <= req.index)
        pthread_cond_wait(&g_changed, &g_mutex);
    out.object = soap_strdup(soap, g_object);
    out.info = soap_strdup(soap, g_info);
    pthread_mutex_unlock(&g_mutex);
    out.add_info = out.action = out.source = out.alerturl = soap_strdup(soap, "");
    out.index = req.index;
    return reply_send(soap, &out, "sntr:blockedFile2", soap_serialize_sntr__blockedFile2,
                      soap_put_sntr__blockedFile2);
}

int serve_request(struct soap *soap)
{
    if (soap_envelope_begin_in(soap) || soap_recv_header(soap) || soap_body_begin_in(soap))
        return soap->error;
    (void)soap_peek_element(soap);
    if (!soap_match_tag(soap, soap->tag, "sntr:get-currentStats"))
        return serve_stats(soap);
    if (!soap_match_tag(soap, soap->tag, "sntr:get-versionInfo"))
        return serve_version(soap);
    if (!soap_match_tag(soap, soap->tag, "sntr:get-lastScannedFile"))
        return serve_scanned(soap);
    if (!soap_match_tag(soap, soap->tag, "sntr:get-blockedFile2"))
        return serve_blocked(soap);
    return soap->error = SOAP_NO_METHOD;
}

// The daemon's keep-alive loop: the last request allowed is answered with close.
void *connection_main(void *arg)
{
    struct soap *soap = static_cast<struct soap *>(arg);
    pthread_detach(pthread_self());
    soap->prolog = envelope_prolog;
    int k = soap->max_keep_alive;
    do {
        soap_begin(soap);
        if (--k <= 0)
            soap->keep_alive = 0;
        int rc = soap_begin_recv(soap);
        if (rc) {
            if (rc < SOAP_STOP) {
                soap_send_fault(soap);
                break;
            }
            (void)soap_closesock(soap);
            continue;
        }
        if (serve_request(soap)) {
            soap_send_fault(soap);
            break;
        }
    } while (soap->keep_alive);
    soap_destroy(soap);
    soap_end(soap);
    soap_free(soap);
    return nullptr;
}

void *accept_main(void *arg)
{
    struct soap *listener = static_cast<struct soap *>(arg);
    for (;;) {
        if (!soap_valid_socket(soap_accept(listener)))
            break;
        struct soap *copy = soap_copy(listener);
        listener->socket = SOAP_INVALID_SOCKET;
        pthread_t tid;
        if (!copy || pthread_create(&tid, nullptr, connection_main, copy) != 0)
            soap_free(copy);
    }
    return nullptr;
}

void copy_slot(char *dst, const unsigned char *msg, size_t slot)
{
    uint32_t len;
    memcpy(&len, msg + slot + kSlotLenOff, sizeof len);
    if (len > kSlotMaxLen)
        len = 0;
    memcpy(dst, msg + slot + kSlotTextOff, len);
    dst[len] = '\0';
}

// One broadcast per record: every parked call of either kind wakes and checks its own
// condition.
void take_record(const unsigned char *msg)
{
    int32_t item;
    memcpy(&item, msg + kItemOff, sizeof item);
    pthread_mutex_lock(&g_mutex);
    if (item == 6) {
        copy_slot(g_scanned, msg, kSlotAOff);
        g_scanned_count++;
    } else if (item == 5) {
        copy_slot(g_object, msg, kSlotAOff);
        copy_slot(g_info, msg, kSlotBOff);
        g_blocked_total++;
    }
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_mutex);
}

int open_channel(const char *dir)
{
    key_t key = ftok(dir, kProjectId);
    int fd = key == -1 ? -1 : socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(udp_port_for_key(key)));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fputs("usage: bare-soap DIR PORT\n", stderr);
        return 2;
    }
    int fd = open_channel(argv[1]);
    if (fd < 0) {
        perror("status channel");
        return 1;
    }
    struct soap *listener = soap_new();
    soap_set_imode(listener, SOAP_IO_KEEPALIVE);
    soap_set_omode(listener, SOAP_IO_KEEPALIVE);
    listener->bind_flags |= SO_REUSEADDR;
    listener->x_frame_options = nullptr;
    if (!soap_valid_socket(soap_bind(listener, "127.0.0.1", atoi(argv[2]), kBacklog))) {
        soap_print_fault(listener, stderr);
        return 1;
    }
    pthread_t tid;
    if (pthread_create(&tid, nullptr, accept_main, listener) != 0)
        return 1;
    alarm(600);
    static unsigned char msg[kSize];
    for (;;) {
        ssize_t n = recv(fd, msg, sizeof msg, 0);
        if (n == static_cast<ssize_t>(kSize))
            take_record(msg);
    }
}
