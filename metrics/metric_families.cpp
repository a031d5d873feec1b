#include "metrics/metric_families.h"

#include <cstring>

// The scanner daemons' statistics stay counters, so that dashboards and rate() keep
// working, and a counter never goes below 0: the scanners' values are signed, a negative
// one can only be a scanner's mistake, and Prometheus would read the fall past 0 as a
// reset. get-currentStats still reports the value as sent.
const struct metric_family kMetricFamilies[METRIC_FAMILIES] = {
    {"gui_connector_up", "gauge", "Whether the GUI connector answered (1) or not (0)."},
    {"gui_connector_scanner_daemons", "gauge",
     "Scanner daemons the statistics cover (numDaemons)."},
    {"gui_connector_access_mask", "gauge", "Access mask the scanner daemons report (accessMask)."},
    {"gui_connector_scanned_files_total", "counter",
     "Files scanned, as the scanner daemons count them (scannedFiles; 0 while below 0)."},
    {"gui_connector_scanned_bytes_total", "counter",
     "Bytes scanned, as the scanner daemons count them (scannedBytes; 0 while below 0)."},
    {"gui_connector_blocked_files_total", "counter",
     "Files blocked, as the scanner daemons count them (blockedCount; 0 while below 0)."},
    {"gui_connector_blocked_file_records_total", "counter",
     "Blocked-file records the connector received since it started."},
    {"gui_connector_version_number", "gauge",
     "Version numbers the scanner daemons report (bin, eng and vdf)."},
    {"gui_connector_config_file_set", "gauge",
     "Whether the scanner daemons named a configuration file (1) or not (0)."},
    {"gui_connector_log_changed", "gauge",
     "Log-changed notices not yet taken by a client (read here without taking them)."},
    {"gui_connector_long_polls", "gauge", "Requests waiting in a long poll."},
    {"gui_connector_connections", "gauge", "Client connections open."},
    {"gui_connector_status_messages_received_total", "counter",
     "Status messages received, per transport."},
    {"gui_connector_status_messages_short_total", "counter",
     "Status messages skipped as shorter than a record."},
    {"gui_connector_soap_requests_total", "counter", "SOAP requests read."},
    {"gui_connector_soap_faults_total", "counter", "SOAP faults sent."},
    {"gui_connector_idle_connections_closed_total", "counter",
     "Kept-alive connections closed while they waited for a request: past the idle timeout "
     "(reason=\"timeout\"), or to make room for a new client (reason=\"room\")."},
    {"gui_connector_start_time_seconds", "gauge",
     "When the daemon started, in seconds since the epoch."},
};

static bool in_range(int id) { return id >= 0 && id < METRIC_FAMILIES; }

void metric_head(std::string *out, int id)
{
    if (!in_range(id))
        return;
    const struct metric_family &f = kMetricFamilies[id];
    out->append("# HELP ").append(f.name).append(" ").append(f.help).append("\n");
    out->append("# TYPE ").append(f.name).append(" ").append(f.type).append("\n");
}

void metric_sample_text(std::string *out, int id, const char *labels, const char *value)
{
    if (!in_range(id))
        return;
    out->append(kMetricFamilies[id].name).append(labels).append(" ").append(value).append("\n");
}

void metric_sample(std::string *out, int id, const char *labels, long long value)
{
    if (in_range(id) && value < 0 && strcmp(kMetricFamilies[id].type, "counter") == 0)
        value = 0;
    metric_sample_text(out, id, labels, std::to_string(value).c_str());
}
