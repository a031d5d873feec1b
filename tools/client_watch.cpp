#include "tools/client_watch.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "soapH.h"
#include "tools/client_ops.h"
#include "tools/client_output.h"

namespace {

// A closed pipe (watch ... | head) is the reader's way to stop the watch; any other
// write failure is reported.
int output_failed()
{
    if (errno == EPIPE)
        return EXIT_ANSWER;
    fprintf(stderr, "connector-client: cannot write the output: %s\n", strerror(errno));
    return EXIT_OUTPUT;
}

// Outcome of a failed call inside a watch: a stop signal ends the watch cleanly.
int call_failed(client_conn *c, int rc)
{
    return client_stop_requested() ? EXIT_ANSWER : client_conn_status(c, rc);
}

// Note for an answer with another index than the one asked for. Sequence numbers wrap
// at 2^32, so "ahead" means less than half the number space ahead.
int note_jump(const client_options *o, unsigned asked, unsigned got)
{
    out_record d = {};
    out_add_uint(&d, "asked", asked);
    out_add_uint(&d, "index", got);
    const unsigned ahead = got - asked;
    if (ahead < 0x80000000u) {
        out_add_uint(&d, "missed", ahead);
        return out_print_note(stdout, o->json,
                              "fell behind the 1024-record blocked-file ring; continuing "
                              "with the oldest record it holds",
                              &d);
    }
    return out_print_note(stdout, o->json,
                          "the index jumped back: the daemon started again, or the record "
                          "asked for lies beyond the newest; continuing with the oldest held",
                          &d);
}

}  // namespace

int client_watch_blocked(client_conn *c)
{
    const client_options *o = c->opts;
    struct soap *soap = c->soap;
    unsigned next = o->from;
    while (!client_stop_requested()) {
        sntr__blockedFile2 r;
        int rc = soap_call_sntr__get_blockedFile2(soap, c->endpoint, nullptr, next, &r);
        if (rc != SOAP_OK)
            return call_failed(c, rc);
        if (r.index != next && note_jump(o, next, r.index) != 0)
            return output_failed();
        out_record rec = {};
        client_blocked2_record(soap, &r, &rec);
        if (out_print_record(stdout, o->json, 1, &rec) != 0)
            return output_failed();
        next = r.index + 1;
        soap_destroy(soap);
        soap_end(soap);
    }
    return EXIT_ANSWER;
}

int client_watch_scanned(client_conn *c)
{
    const client_options *o = c->opts;
    struct soap *soap = c->soap;
    bool first = true;
    while (!client_stop_requested()) {
        // The daemon ends a kept-alive connection after a number of requests; the next
        // call opens a new one, on which only later scans count as new.
        if (!first && !soap_valid_socket(soap->socket) &&
            out_print_note(stdout, o->json,
                           "connection opened again: a file scanned meanwhile is not shown",
                           nullptr) != 0)
            return output_failed();
        first = false;
        sntr__get_lastScannedFileResponse r;
        int rc = soap_call_sntr__get_lastScannedFile(soap, c->endpoint, nullptr, &r);
        if (rc != SOAP_OK)
            return call_failed(c, rc);
        out_record rec = {};
        out_add_str(&rec, "fn", r.fn ? *r.fn : nullptr);
        if (out_print_record(stdout, o->json, 1, &rec) != 0)
            return output_failed();
        soap_destroy(soap);
        soap_end(soap);
    }
    return EXIT_ANSWER;
}
