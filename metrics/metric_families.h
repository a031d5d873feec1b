// The metric families of the GUI connector: one table for both exports, the daemon's
// metrics page (--web) and connector-client metrics, so that a scrape of either reads the
// same names, types and help texts. Constant data and pure writers: any thread, no lock.
#ifndef GC_METRICS_METRIC_FAMILIES_H
#define GC_METRICS_METRIC_FAMILIES_H

#include <string>

// Every family, in the order both exports write them. A new family gets a value here,
// its row in kMetricFamilies and its samples in service/web_metrics.cpp; connector-client
// takes every family from the daemon's page where there is one, so it needs nothing new.
enum metric_family_id {
    METRIC_UP,
    METRIC_SCANNER_DAEMONS,
    METRIC_ACCESS_MASK,
    METRIC_SCANNED_FILES,
    METRIC_SCANNED_BYTES,
    METRIC_BLOCKED_FILES,
    METRIC_BLOCKED_FILE_RECORDS,
    METRIC_VERSION_NUMBER,
    METRIC_CONFIG_FILE_SET,
    METRIC_LOG_CHANGED,
    METRIC_LONG_POLLS,
    METRIC_CONNECTIONS,
    METRIC_STATUS_MESSAGES_RECEIVED,
    METRIC_STATUS_MESSAGES_SHORT,
    METRIC_SOAP_REQUESTS,
    METRIC_SOAP_FAULTS,
    METRIC_IDLE_CLOSED,
    METRIC_START_TIME,
    METRIC_FAMILIES,
};

struct metric_family {
    const char *name;  // the full metric name
    const char *type;  // "counter" or "gauge"
    const char *help;
};

extern const struct metric_family kMetricFamilies[METRIC_FAMILIES];

// Appends the HELP and TYPE lines of family id to *out; nothing for an id out of range.
void metric_head(std::string *out, int id);

// Appends one sample of family id to *out: labels is "" or a {...} list. A counter is
// written as 0 while value is below 0. Nothing for an id out of range.
void metric_sample(std::string *out, int id, const char *labels, long long value);

// As metric_sample, with the value already as text.
void metric_sample_text(std::string *out, int id, const char *labels, const char *value);

#endif
