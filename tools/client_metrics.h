// connector-client's metrics: the daemon's figures in the Prometheus text exposition
// format, printed or written atomically into a node exporter textfile directory, so a
// fleet is scraped without another open port per host. Used by the main thread only.
#ifndef GC_TOOLS_CLIENT_METRICS_H
#define GC_TOOLS_CLIENT_METRICS_H

#include "tools/client_options.h"

// Asks the daemon opts names for its statistics, version numbers, configuration file and
// number of blocked-file records received (never get-logChanged, which resets the flag
// the GUI clients read), or takes every family of its metrics page when it serves one,
// and writes them with gui_connector_up 1 in the order of metrics/metric_families.h; a
// daemon that does not answer gives gui_connector_up 0 alone and one line on stderr
// saying why. Writes to stdout, or to opts->textfile/gui_connector.prom through a
// temporary file and a rename.
// Returns EXIT_ANSWER once the text is written, whether the daemon answered or not;
// EXIT_USAGE when memory runs out; EXIT_OUTPUT when the text cannot be written.
int client_metrics(const client_options *opts);

#endif
