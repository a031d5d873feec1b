// Every family of the shared table, in its order; connector-client writes the same
// families, so that a scrape of either reads the same series.
#include "service/web_metrics.h"

#include <cstdio>
#include <cstdlib>

#include "metrics/metric_families.h"
#include "store/activity.h"
#include "store/store.h"

const char kWebMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

// What the page is written from: one copy of the store's values (none without a store).
struct page_values {
    const struct store_metrics *store;
    int conffile_set;
};

// Appends the samples of family id; nothing for a family the page has no value of.
void samples(std::string *out, int id, const page_values *v)
{
    const struct store_metrics *m = v->store;
    switch (id) {
    case METRIC_UP: metric_sample(out, id, "", 1); return;
    case METRIC_STATUS_MESSAGES_RECEIVED:
        metric_sample(out, id, "{transport=\"msgq\"}", activity_get(ACTIVITY_RECEIVED_MSGQ));
        metric_sample(out, id, "{transport=\"udp\"}", activity_get(ACTIVITY_RECEIVED_UDP));
        return;
    case METRIC_STATUS_MESSAGES_SHORT:
        metric_sample(out, id, "", activity_get(ACTIVITY_TOO_SHORT));
        return;
    case METRIC_SOAP_REQUESTS:
        metric_sample(out, id, "", activity_get(ACTIVITY_SOAP_REQUESTS));
        return;
    case METRIC_SOAP_FAULTS: metric_sample(out, id, "", activity_get(ACTIVITY_SOAP_FAULTS)); return;
    case METRIC_IDLE_CLOSED:
        metric_sample(out, id, "{reason=\"timeout\"}", activity_get(ACTIVITY_IDLE_TIMEOUTS));
        metric_sample(out, id, "{reason=\"room\"}", activity_get(ACTIVITY_IDLE_EVICTIONS));
        return;
    case METRIC_START_TIME: {
        char start[32];
        snprintf(start, sizeof start, "%.3f", activity_start_time());
        metric_sample_text(out, id, "", start);
        return;
    }
    default: break;
    }
    // A series is never written with a value the daemon does not have.
    if (!m)
        return;
    switch (id) {
    case METRIC_SCANNER_DAEMONS: metric_sample(out, id, "", m->numDaemons); break;
    case METRIC_ACCESS_MASK: metric_sample(out, id, "", m->accessMask); break;
    case METRIC_SCANNED_FILES: metric_sample(out, id, "", m->scannedFiles); break;
    case METRIC_SCANNED_BYTES: metric_sample(out, id, "", m->scannedBytes); break;
    case METRIC_BLOCKED_FILES: metric_sample(out, id, "", m->blockedCount); break;
    case METRIC_BLOCKED_FILE_RECORDS: metric_sample(out, id, "", m->blockedReceived); break;
    case METRIC_VERSION_NUMBER:
        metric_sample(out, id, "{kind=\"bin\"}", m->binVersionNumber);
        metric_sample(out, id, "{kind=\"eng\"}", m->engVersionNumber);
        metric_sample(out, id, "{kind=\"vdf\"}", m->vdfVersionNumber);
        break;
    case METRIC_CONFIG_FILE_SET: metric_sample(out, id, "", v->conffile_set); break;
    case METRIC_LOG_CHANGED: metric_sample(out, id, "", m->logChanged); break;
    case METRIC_LONG_POLLS: metric_sample(out, id, "", m->parkedPolls); break;
    case METRIC_CONNECTIONS:
        if (m->connections >= 0)
            metric_sample(out, id, "", m->connections);
        break;
    default: break;
    }
}

}  // namespace

std::string web_metrics_text(void)
{
    struct store_metrics m;
    page_values v = {nullptr, 0};
    if (store_get_metrics(&m) == 0) {
        v.store = &m;
        char *conffile = store_get_currentConffile();
        v.conffile_set = conffile && *conffile;
        free(conffile);
    }
    std::string out;
    for (int id = 0; id < METRIC_FAMILIES; id++) {
        std::string s;
        samples(&s, id, &v);
        if (!s.empty()) {
            metric_head(&out, id);
            out += s;
        }
    }
    return out;
}
