// The families of the store keep the names and types that connector-client metrics
// writes, so that a scrape of either reads the same series.
#include "service/web_metrics.h"

#include <cstdio>

#include "store/activity.h"
#include "store/store.h"

const char kWebMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

void family(std::string *out, const char *name, const char *type, const char *help)
{
    out->append("# HELP gui_connector_").append(name).append(" ").append(help).append("\n");
    out->append("# TYPE gui_connector_").append(name).append(" ").append(type).append("\n");
}

// One sample; labels is empty or a {...} list.
void sample(std::string *out, const char *name, const char *labels, long long value)
{
    out->append("gui_connector_").append(name).append(labels).append(" ");
    out->append(std::to_string(value)).append("\n");
}

void one(std::string *out, const char *name, const char *type, const char *help, long long value)
{
    family(out, name, type, help);
    sample(out, name, "", value);
}

void store_families(std::string *out, const struct store_metrics *m)
{
    family(out, "version_number", "gauge",
           "Version numbers the scanner daemons report (bin, eng and vdf).");
    sample(out, "version_number", "{kind=\"bin\"}", m->binVersionNumber);
    sample(out, "version_number", "{kind=\"eng\"}", m->engVersionNumber);
    sample(out, "version_number", "{kind=\"vdf\"}", m->vdfVersionNumber);
    one(out, "scanner_daemons", "gauge", "Scanner daemons the statistics cover (numDaemons).",
        m->numDaemons);
    one(out, "access_mask", "gauge", "Access mask the scanner daemons report (accessMask).",
        m->accessMask);
    one(out, "scanned_files_total", "counter",
        "Files scanned, as the scanner daemons count them (scannedFiles).", m->scannedFiles);
    one(out, "scanned_bytes_total", "counter",
        "Bytes scanned, as the scanner daemons count them (scannedBytes).", m->scannedBytes);
    one(out, "blocked_files_total", "counter",
        "Files blocked, as the scanner daemons count them (blockedCount).", m->blockedCount);
    one(out, "blocked_file_records_total", "counter",
        "Blocked-file records the connector received since it started.", m->blockedReceived);
    one(out, "log_changed", "gauge",
        "Log-changed notices not yet taken by a client (read here without taking them).",
        m->logChanged);
    one(out, "long_polls", "gauge", "Requests waiting in a long poll.", m->parkedPolls);
    if (m->connections >= 0)
        one(out, "connections", "gauge", "Client connections open.", m->connections);
}

}  // namespace

std::string web_metrics_text(void)
{
    std::string out;
    struct store_metrics m;
    if (store_get_metrics(&m) == 0)
        store_families(&out, &m);
    family(&out, "status_messages_received_total", "counter",
           "Status messages received, per transport.");
    sample(&out, "status_messages_received_total", "{transport=\"msgq\"}",
           activity_get(ACTIVITY_RECEIVED_MSGQ));
    sample(&out, "status_messages_received_total", "{transport=\"udp\"}",
           activity_get(ACTIVITY_RECEIVED_UDP));
    one(&out, "status_messages_short_total", "counter",
        "Status messages skipped as shorter than a record.", activity_get(ACTIVITY_TOO_SHORT));
    one(&out, "soap_requests_total", "counter", "SOAP requests read.",
        activity_get(ACTIVITY_SOAP_REQUESTS));
    one(&out, "soap_faults_total", "counter", "SOAP faults sent.",
        activity_get(ACTIVITY_SOAP_FAULTS));
    char start[32];
    snprintf(start, sizeof start, "%.3f", activity_start_time());
    family(&out, "start_time_seconds", "gauge",
           "When the daemon started, in seconds since the epoch.");
    out.append("gui_connector_start_time_seconds ").append(start).append("\n");
    return out;
}
