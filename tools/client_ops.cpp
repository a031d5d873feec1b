#include "tools/client_ops.h"

#include <cerrno>
#include <cstring>

#include "soapH.h"

namespace {

// The wrappers hold their value by reference; a daemon always fills it, but an answer
// without it is shown as absent rather than trusted.
void add_ver(out_record *rec, const long *ver)
{
    if (ver)
        out_add_int(rec, "ver", *ver);
    else
        out_add_str(rec, "ver", nullptr);
}

void add_blocked(out_record *rec, const sntr__blockedFile *b)
{
    out_add_str(rec, "filename", b->filename);
    out_add_str(rec, "information", b->information);
    out_add_uint(rec, "index", b->index);
}

void add_stats(out_record *rec, const sntr__currentStats *s)
{
    out_add_int(rec, "numDaemons", s->numDaemons);
    out_add_int(rec, "accessMask", s->accessMask);
    out_add_int(rec, "scannedFiles", s->scannedFiles);
    out_add_int(rec, "scannedBytes", s->scannedBytes);
    out_add_int(rec, "blockedCount", s->blockedCount);
}

// Answers of the operations without inputs but the one-way ones; returns the call's rc.
int call_simple(struct soap *soap, const char *ep, int command, out_record *rec)
{
    int rc = SOAP_OK;
    switch (command) {
    case CMD_GET_VERSIONINFO: {
        sntr__versionInfo r;
        if (!(rc = soap_call_sntr__get_versionInfo(soap, ep, nullptr, &r)))
            out_add_int(rec, "interface-version", r.interface_version);
        break;
    }
    case CMD_GET_BINVERSIONNUMBER: {
        sntr__get_binVersionNumberResponse r;
        if (!(rc = soap_call_sntr__get_binVersionNumber(soap, ep, nullptr, &r)))
            add_ver(rec, r.ver);
        break;
    }
    case CMD_GET_ENGVERSIONNUMBER: {
        sntr__get_engVersionNumberResponse r;
        if (!(rc = soap_call_sntr__get_engVersionNumber(soap, ep, nullptr, &r)))
            add_ver(rec, r.ver);
        break;
    }
    case CMD_GET_VDFVERSIONNUMBER: {
        sntr__get_vdfVersionNumberResponse r;
        if (!(rc = soap_call_sntr__get_vdfVersionNumber(soap, ep, nullptr, &r)))
            add_ver(rec, r.ver);
        break;
    }
    case CMD_GET_CURRENTCONFFILE: {
        sntr__get_currentConffileResponse r;
        if (!(rc = soap_call_sntr__get_currentConffile(soap, ep, nullptr, &r)))
            out_add_str(rec, "fn", r.fn ? *r.fn : nullptr);
        break;
    }
    case CMD_GET_LASTBLOCKEDFILE: {
        sntr__blockedFile r;
        if (!(rc = soap_call_sntr__get_lastBlockedFile(soap, ep, nullptr, &r)))
            add_blocked(rec, &r);
        break;
    }
    case CMD_GET_LASTSCANNEDFILE: {
        sntr__get_lastScannedFileResponse r;
        if (!(rc = soap_call_sntr__get_lastScannedFile(soap, ep, nullptr, &r)))
            out_add_str(rec, "fn", r.fn ? *r.fn : nullptr);
        break;
    }
    case CMD_GET_CURRENTSTATS: {
        sntr__currentStats r;
        if (!(rc = soap_call_sntr__get_currentStats(soap, ep, nullptr, &r)))
            add_stats(rec, &r);
        break;
    }
    case CMD_GET_LOGCHANGED: {
        sntr__get_logChangedResponse r;
        if (!(rc = soap_call_sntr__get_logChanged(soap, ep, nullptr, &r))) {
            if (r.log_changed)
                out_add_bool(rec, "log-changed", *r.log_changed == true_);
            else
                out_add_str(rec, "log-changed", nullptr);
        }
        break;
    }
    case CMD_PING: {
        sntr__pingResponse r;
        if (!(rc = soap_call_sntr__ping(soap, ep, nullptr, &r))) {
            if (r.foo)
                out_add_int(rec, "foo", *r.foo);
            else
                out_add_str(rec, "foo", nullptr);
        }
        break;
    }
    case CMD_REGISTER_CLIENT: {
        sntr__register_clientResponse r;
        if (!(rc = soap_call_sntr__register_client(soap, ep, nullptr, &r))) {
            if (r.id)
                out_add_uint(rec, "id", *r.id);
            else
                out_add_str(rec, "id", nullptr);
        }
        break;
    }
    }
    return rc;
}

// Prints rec as the answer of a one-shot call; a failed write is no answer.
int print_answer(const client_options *o, const out_record *rec)
{
    if (out_print_record(stdout, o->json, 0, rec) == 0)
        return EXIT_ANSWER;
    fprintf(stderr, "connector-client: cannot write the answer: %s\n", strerror(errno));
    return EXIT_OUTPUT;
}

}  // namespace

void client_blocked2_record(struct soap *soap, const sntr__blockedFile2 *b, out_record *rec)
{
    out_add_str(rec, "object", b->object);
    out_add_str(rec, "reason", soap_sntr__blockedReason2s(soap, b->reason));
    out_add_str(rec, "info", b->info);
    out_add_str(rec, "add-info", b->add_info);
    out_add_str(rec, "action", b->action);
    out_add_str(rec, "source", b->source);
    out_add_uint(rec, "index", b->index);
    out_add_str(rec, "alerturl", b->alerturl);
}

int client_run_call(client_conn *c)
{
    const client_options *o = c->opts;
    struct soap *soap = c->soap;
    const char *ep = c->endpoint;
    out_record rec = {};
    int rc;
    switch (o->command) {
    case CMD_GET_BLOCKEDFILE: {
        sntr__blockedFile r;
        if (!(rc = soap_call_sntr__get_blockedFile(soap, ep, nullptr, o->index, &r)))
            add_blocked(&rec, &r);
        break;
    }
    case CMD_GET_BLOCKEDFILE2: {
        sntr__blockedFile2 r;
        if (!(rc = soap_call_sntr__get_blockedFile2(soap, ep, nullptr, o->index, &r)))
            client_blocked2_record(soap, &r, &rec);
        break;
    }
    // One-way: the daemon's silence is the answer, so nothing is printed.
    case CMD_RELOAD:
        if (!(rc = soap_send_sntr__reload(soap, ep, nullptr)))
            rc = client_conn_one_way_result(c);
        break;
    case CMD_STOP:
        if (!(rc = soap_send_sntr__stop(soap, ep, nullptr)))
            rc = client_conn_one_way_result(c);
        break;
    case CMD_UNREGISTER_CLIENT:
        if (!(rc = soap_send_sntr__unregister_client(soap, ep, nullptr, o->id)))
            rc = client_conn_one_way_result(c);
        break;
    default: rc = call_simple(soap, ep, o->command, &rec); break;
    }
    int status = client_conn_status(c, rc);
    if (status != EXIT_ANSWER || rec.count == 0)
        return status;
    return print_answer(o, &rec);
}
