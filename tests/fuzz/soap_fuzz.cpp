// Fuzzes the SOAP request path of one connection: the input bytes are everything a client
// sends on a kept-alive connection (HTTP headers, envelopes, any number of requests),
// written to one end of a socket pair whose other end serve_connection reads, with a
// real status store behind the operations. Replies go to a send hook that drops them.
//
// The client's end stays open (its writing side shut), so that the runtime's checks of
// the socket (is the client still there before a fault is written) see a live peer, as
// with a real client that waits for its answer.
//
// The store has no endpoint: a long poll's wait then fails at once instead of blocking
// the fuzzer, and register/unregister find no registry. Forwarded commands are written to
// descriptor 2; run with -close_fd_mask=2 (as .ci/fuzz does) to keep them out of the log.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <stdsoap2.h>

#include "service/release_list.h"
#include "http/request_reader.h"
#include "service/serve.h"
#include "store/store.h"

namespace {

int sink_send(struct soap *, const char *, size_t) { return SOAP_OK; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Records and values for every read operation to find, so that the serve routines
    // write full replies rather than empty ones.
    store_create(nullptr, 0, nullptr);
    store_set_binVersionNumber(1);
    store_set_engVersionNumber(2);
    store_set_vdfVersionNumber(3);
    store_set_currentConffile("/etc/scanner.conf");
    store_set_lastScannedFile("/home/u/r\xc3\xa9sum\xc3\xa9.doc");
    store_set_scannedFiles(1);
    for (int i = 0; i < 3; i++)
        store_add_blocked_file("/tmp/eicar.com", i, "Eicar-Test", "a&b", "deny", "d1",
                               "http://h/<x>");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        __builtin_trap();  // descriptors leak from one input to the next
    struct soap *soap = soap_new();
    if (!soap)
        __builtin_trap();
    // As the endpoint sets up each accepted connection.
    soap_set_imode(soap, SOAP_IO_KEEPALIVE);
    soap_set_omode(soap, SOAP_IO_KEEPALIVE);
    soap->socket = sv[1];
    soap->fsend = sink_send;
    // -max_len keeps every input within what the socket buffers.
    if (request_reader_install(soap) != 0 ||
        write(sv[0], data, size) != static_cast<ssize_t>(size) || shutdown(sv[0], SHUT_WR) != 0)
        __builtin_trap();

    const serve_limits limits = {10000, 10000, nullptr};
    (void)serve_connection(soap, &limits);

    // As the connection's clean-up releases it; soap_done closes the socket if the serve
    // loop left it open.
    release_deferred(soap);
    soap_destroy(soap);
    soap_end(soap);
    soap_free(soap);
    close(sv[0]);
    return 0;
}
