// The metrics page: the store's figures and the daemon's counters in the Prometheus text
// exposition format, version 0.0.4, with the families of metrics/metric_families.h. Called
// on a connection thread; takes the store mutex only to copy its values, never waits.
#ifndef GC_SERVICE_WEB_METRICS_H
#define GC_SERVICE_WEB_METRICS_H

#include <string>

// The content type of web_metrics_text's result.
extern const char kWebMetricsType[];

// The whole page, every family with its HELP and TYPE lines. Without a store the store's
// families are left out (a series is never written with a value it does not have).
std::string web_metrics_text(void);

#endif
