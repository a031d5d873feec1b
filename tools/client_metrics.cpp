#include "tools/client_metrics.h"

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "metrics/metric_families.h"
#include "soapH.h"
#include "tools/client_conn.h"

namespace {

// The daemon keeps this many blocked-file records; once it dropped the first, the oldest
// one it holds tells how many arrived.
constexpr unsigned kRingCapacity = 1024;
// A plain read answers at once; without --timeout a daemon that hangs must not hang the
// timer that runs this every few seconds.
constexpr int kReplySeconds = 10;
// A fetch of the record after the newest one waits for the next blocked file instead of
// answering: an answer that has not begun within this time is taken for a wait, which
// gather then makes sure of.
constexpr int kProbeSeconds = 1;

struct figures {
    long long stats[5];  // numDaemons, accessMask, scannedFiles, scannedBytes, blockedCount
    long ver[3];         // bin, eng, vdf
    int conffile_set;
    unsigned long long blocked_records;
    int records_known;  // blocked_records is certain; otherwise the series is left out
    char *page;         // owned: the daemon's metrics page (--web), or null
};

enum probe_result { PROBE_HELD, PROBE_OTHER, PROBE_WAITS, PROBE_FAILED };

int read_ver(client_conn *c, int which, long *out)
{
    int rc;
    const long *ver = nullptr;
    if (which == 0) {
        sntr__get_binVersionNumberResponse r;
        rc = soap_call_sntr__get_binVersionNumber(c->soap, c->endpoint, nullptr, &r);
        ver = r.ver;
    } else if (which == 1) {
        sntr__get_engVersionNumberResponse r;
        rc = soap_call_sntr__get_engVersionNumber(c->soap, c->endpoint, nullptr, &r);
        ver = r.ver;
    } else {
        sntr__get_vdfVersionNumberResponse r;
        rc = soap_call_sntr__get_vdfVersionNumber(c->soap, c->endpoint, nullptr, &r);
        ver = r.ver;
    }
    *out = rc == SOAP_OK && ver ? *ver : -1;
    return rc;
}

// Reads the answer to a probe for index; *got is the number of the record the daemon
// answered with.
int read_probe(client_conn *c, unsigned index, unsigned *got)
{
    sntr__blockedFile r;
    if (soap_recv_sntr__get_blockedFile(c->soap, &r) != SOAP_OK)
        return PROBE_FAILED;
    *got = r.index;
    return r.index == index ? PROBE_HELD : PROBE_OTHER;
}

// Asks for the record with sequence number index. An answer that has not begun within
// the probe time is taken for a wait, and the connection is kept: the answer may still
// come (see gather).
int probe(client_conn *c, unsigned index, unsigned *got)
{
    struct soap *soap = c->soap;
    if (soap_send_sntr__get_blockedFile(soap, c->endpoint, nullptr, index) != SOAP_OK)
        return PROBE_FAILED;
    pollfd pfd = {soap->socket, POLLIN, 0};
    const bool buffered = soap->ssl && SSL_pending(soap->ssl) > 0;
    if (!buffered && poll(&pfd, 1, kProbeSeconds * 1000) == 0)
        return PROBE_WAITS;
    return read_probe(c, index, got);
}

// The daemon answers any number it does not hold with its oldest record and waits on
// the number after the newest. Record 0 held means nothing was dropped yet, so the count
// is at most the capacity and a bisection finds it, waiting on at most one probe.
// Returns 0, 1 when a probe was left waiting (the caller ends it), or -1.
int count_blocked(client_conn *c, unsigned long long *out)
{
    unsigned got = 0;
    int p = probe(c, 0, &got);
    if (p == PROBE_FAILED)
        return -1;
    if (p == PROBE_WAITS) {
        *out = 0;
        return 1;
    }
    if (p == PROBE_OTHER) {
        *out = static_cast<unsigned long long>(got) + kRingCapacity;
        return 0;
    }
    unsigned lo = 1, hi = kRingCapacity;  // the count lies in [lo, hi]
    while (lo < hi) {
        unsigned mid = lo + (hi - lo) / 2;
        p = probe(c, mid, &got);
        if (p == PROBE_FAILED)
            return -1;
        if (p == PROBE_WAITS) {
            *out = mid;
            return 1;
        }
        if (p == PROBE_HELD)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    *out = lo;
    return 0;
}

// A probe left waiting holds a connection thread of the daemon until the daemon sees
// the close (about a second); unregistering the client it serves ends that thread now.
// The daemon refuses the id when it has seen the close first: the thread is gone too.
void end_waiting_probe(const client_options *o, unsigned long id)
{
    client_conn *c = nullptr;
    if (client_conn_open(&c, o, 0) != 0)
        return;
    int rc = soap_send_sntr__unregister_client(c->soap, c->endpoint, nullptr, id);
    if (rc == SOAP_OK)
        rc = client_conn_one_way_result(c);
    if (rc != SOAP_OK && rc != SOAP_CLI_FAULT)
        fprintf(stderr, "connector-client: the daemon kept a waiting request (error %d)\n", rc);
    client_conn_free(c);
}

// The metrics page of a daemon started with --web: every family the daemon writes,
// the blocked-file count exact, and no probe, registration or waiting request. Returns
// 0 with *out set to a heap copy of the page, or -1 when the daemon has no such page (its
// GET fault ends the connection, which the next call opens again).
int fetch_page(client_conn *c, char **out)
{
    struct soap *soap = c->soap;
    const std::string url = std::string(c->endpoint) + "metrics";
    char *page = nullptr;
    if (soap_GET(soap, url.c_str(), nullptr) == SOAP_OK && soap_begin_recv(soap) == SOAP_OK) {
        size_t len = 0;
        const char *body = soap_http_get_body(soap, &len);
        if (body && strstr(body, kMetricFamilies[METRIC_UP].name))
            page = strndup(body, len);
        (void)soap_end_recv(soap);
    }
    if (!page)
        (void)soap_force_closesock(soap);
    soap->error = SOAP_OK;
    *out = page;
    return page ? 0 : -1;
}

// Fills *f from the daemon on c. Returns the SOAP result of the first call that failed,
// or SOAP_OK.
int gather(client_conn *c, figures *f)
{
    struct soap *soap = c->soap;
    sntr__currentStats s;
    int rc = soap_call_sntr__get_currentStats(soap, c->endpoint, nullptr, &s);
    if (rc != SOAP_OK)
        return rc;
    const long long stats[5] = {s.numDaemons, s.accessMask, s.scannedFiles, s.scannedBytes,
                                s.blockedCount};
    memcpy(f->stats, stats, sizeof stats);
    for (int i = 0; i < 3; i++)
        if ((rc = read_ver(c, i, &f->ver[i])) != SOAP_OK)
            return rc;
    sntr__get_currentConffileResponse cf;
    if ((rc = soap_call_sntr__get_currentConffile(soap, c->endpoint, nullptr, &cf)) != SOAP_OK)
        return rc;
    f->conffile_set = cf.fn && *cf.fn && **cf.fn;
    if (fetch_page(c, &f->page) == 0)
        return SOAP_OK;
    sntr__register_clientResponse reg;
    if ((rc = soap_call_sntr__register_client(soap, c->endpoint, nullptr, &reg)) != SOAP_OK)
        return rc;
    const unsigned long id = reg.id ? *reg.id : 0;
    int counted = count_blocked(c, &f->blocked_records);
    if (counted < 0)
        return soap->error ? soap->error : SOAP_EOF;
    f->records_known = 1;
    if (counted > 0) {
        // A request that waits is ended by the unregister, without an answer; one that
        // was only slow (a proxy, a loaded host) is answered all the same, and then the
        // count is not known.
        end_waiting_probe(c->opts, id);
        unsigned got;
        if (read_probe(c, static_cast<unsigned>(f->blocked_records), &got) != PROBE_FAILED ||
            c->timed_out) {
            f->records_known = 0;
            fprintf(stderr, "connector-client: the blocked-file records are left out: a "
                            "probe was answered late\n");
        }
    }
    return SOAP_OK;
}

// The sample lines of family id in the daemon's page, "" when it has none.
std::string page_samples(const char *page, int id)
{
    std::string out;
    const char *name = kMetricFamilies[id].name;
    const size_t len = strlen(name);
    for (const char *line = page; *line;) {
        const char *end = strchr(line, '\n');
        if (!end)
            break;
        if (strncmp(line, name, len) == 0 && (line[len] == ' ' || line[len] == '{'))
            out.append(line, static_cast<size_t>(end - line) + 1);
        line = end + 1;
    }
    return out;
}

// The samples of family id from what the client asked over SOAP; "" for a family only
// the daemon's page has, and for a count that is not certain.
std::string own_samples(const figures *f, int id)
{
    std::string out;
    if (id >= METRIC_SCANNER_DAEMONS && id <= METRIC_BLOCKED_FILES) {
        metric_sample(&out, id, "", f->stats[id - METRIC_SCANNER_DAEMONS]);
    } else if (id == METRIC_BLOCKED_FILE_RECORDS && f->records_known) {
        metric_sample(&out, id, "", static_cast<long long>(f->blocked_records));
    } else if (id == METRIC_VERSION_NUMBER) {
        static const char *const kinds[3] = {"{kind=\"bin\"}", "{kind=\"eng\"}", "{kind=\"vdf\"}"};
        for (int i = 0; i < 3; i++)
            metric_sample(&out, id, kinds[i], f->ver[i]);
    } else if (id == METRIC_CONFIG_FILE_SET) {
        metric_sample(&out, id, "", f->conffile_set);
    }
    return out;
}

// The families of the shared table, in its order: each from the daemon's page when it
// has one, else from the client's own calls, and left out when neither knows it.
int write_text(FILE *out, int up, const figures *f)
{
    std::string text;
    metric_head(&text, METRIC_UP);
    metric_sample(&text, METRIC_UP, "", up);
    for (int id = METRIC_UP + 1; up && id < METRIC_FAMILIES; id++) {
        std::string s = f->page ? page_samples(f->page, id) : "";
        if (s.empty())
            s = own_samples(f, id);
        if (!s.empty()) {
            metric_head(&text, id);
            text += s;
        }
    }
    fputs(text.c_str(), out);
    return fflush(out) == 0 && !ferror(out) ? 0 : -1;
}

// The node exporter reads only *.prom files, so the temporary name ends otherwise, and
// the rename makes a scrape see either the old text or the new one, never a part.
int write_textfile(const char *dir, int up, const figures *f)
{
    size_t len = strlen(dir) + 64;
    char *path = static_cast<char *>(malloc(len));
    char *tmp = static_cast<char *>(malloc(len));
    int rc = -1, saved = ENOMEM;
    if (path && tmp) {
        snprintf(path, len, "%s/gui_connector.prom", dir);
        snprintf(tmp, len, "%s/.gui_connector.prom.XXXXXX", dir);
        int fd = mkstemp(tmp);
        FILE *out = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (!out && fd >= 0)
            close(fd);
        if (out) {
            rc = fchmod(fd, 0644) == 0 && write_text(out, up, f) == 0 && fsync(fd) == 0 ? 0 : -1;
            saved = errno;
            if (fclose(out) != 0 && rc == 0) {
                rc = -1;
                saved = errno;
            }
            if (rc == 0 && rename(tmp, path) != 0) {
                rc = -1;
                saved = errno;
            }
            if (rc != 0)
                unlink(tmp);
        } else {
            saved = errno;
        }
    }
    if (rc != 0)
        fprintf(stderr, "connector-client: cannot write %s/gui_connector.prom: %s\n", dir,
                strerror(saved));
    free(path);
    free(tmp);
    return rc;
}

}  // namespace

int client_metrics(const client_options *opts)
{
    // A copy with a reply time of its own; its strings stay opts's.
    client_options local = *opts;
    if (local.timeout == 0)
        local.timeout = kReplySeconds;
    client_conn *c = nullptr;
    if (client_conn_open(&c, &local, 1) != 0)
        return EXIT_USAGE;
    figures f = {};
    int rc = gather(c, &f);
    int up = 1;
    if (rc != SOAP_OK) {
        client_conn_status(c, rc);
        up = 0;
    }
    client_conn_free(c);
    int status = EXIT_ANSWER;
    if (opts->textfile) {
        status = write_textfile(opts->textfile, up, &f) == 0 ? EXIT_ANSWER : EXIT_OUTPUT;
    } else if (write_text(stdout, up, &f) != 0) {
        fprintf(stderr, "connector-client: cannot write the metrics: %s\n", strerror(errno));
        status = EXIT_OUTPUT;
    }
    free(f.page);
    return status;
}
