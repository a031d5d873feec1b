// Built as std::string locals, one page at a time: the pages are whole answers of known
// length, and a connection thread holds no string across a cancellation point.
#include "service/web_json.h"

#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "store/blocked_ring.h"
#include "store/store.h"
#include "text/utf8.h"

namespace {

// The ring is copied in pieces, so that the intake thread never waits long on the
// store mutex behind a page.
constexpr int kCopyPiece = 64;

void escaped(std::string *out, unsigned c)
{
    char u[8];
    snprintf(u, sizeof u, "\\u%04x", c);
    out->append(u);
}

void member(std::string *out, const char *name, bool first = false)
{
    out->append(first ? "\"" : ",\"").append(name).append("\":");
}

void number(std::string *out, const char *name, long long v)
{
    member(out, name);
    out->append(std::to_string(v));
}

int64_t now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

void json_string(std::string *out, const char *s)
{
    if (!s) {
        out->append("null");
        return;
    }
    const size_t n = strlen(s);
    const bool text = utf8_valid(s, n);
    out->push_back('"');
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        if (*p == '"' || *p == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(*p));
        } else if (*p < 0x20 || *p == 0x7f || (*p >= 0x80 && !text)) {
            escaped(out, *p);
        } else {
            out->push_back(static_cast<char>(*p));
        }
    }
    out->push_back('"');
}

void json_blocked(std::string *out, uint32_t index, const struct blocked_file *rec)
{
    out->append("{");
    member(out, "index", true);
    out->append(std::to_string(index));
    number(out, "at", rec->arrived_ms);
    member(out, "object");
    json_string(out, rec->object);
    number(out, "reason", rec->reason);
    member(out, "reasonName");
    json_string(out, blocked_reason_name(rec->reason));
    const struct {
        const char *name, *value;
    } strings[] = {{"info", rec->info},
                   {"addInfo", rec->addInfo},
                   {"action", rec->action},
                   {"source", rec->source},
                   {"alerturl", rec->alerturl}};
    for (const auto &f : strings) {
        member(out, f.name);
        json_string(out, f.value);
    }
    out->append("}");
}

void json_stats(std::string *out, const struct store_view *v, int64_t at_ms)
{
    out->append("{");
    member(out, "numDaemons", true);
    out->append(std::to_string(v->numDaemons));
    number(out, "accessMask", v->accessMask);
    number(out, "scannedFiles", v->scannedFiles);
    number(out, "scannedBytes", v->scannedBytes);
    number(out, "blockedCount", v->blockedCount);
    number(out, "at", at_ms);
    out->append("}");
}

void json_versions(std::string *out, const struct store_view *v)
{
    out->append("{");
    member(out, "bin", true);
    out->append(std::to_string(v->binVersionNumber));
    number(out, "eng", v->engVersionNumber);
    number(out, "vdf", v->vdfVersionNumber);
    member(out, "conffile");
    json_string(out, v->currentConffile);
    out->append("}");
}

void json_scanned(std::string *out, const struct store_view *v)
{
    if (!v->lastScannedFile) {
        out->append("null");
        return;
    }
    out->append("{");
    member(out, "file", true);
    json_string(out, v->lastScannedFile);
    number(out, "at", v->lastScannedAt_ms);
    out->append("}");
}

std::string json_instance(const struct store_view *v)
{
    char id[17];
    snprintf(id, sizeof id, "%016" PRIx64, v->instance);
    return id;
}

std::string web_state_json(void)
{
    struct store_view v;
    if (store_get_view(&v) != 0)
        return "";
    const int64_t now = now_ms();
    std::string out = "{";
    member(&out, "instance", true);
    json_string(&out, json_instance(&v).c_str());
    number(&out, "now", now);
    member(&out, "versions");
    json_versions(&out, &v);
    member(&out, "conffile");
    json_string(&out, v.currentConffile);
    member(&out, "stats");
    json_stats(&out, &v, now);
    member(&out, "scanned");
    json_scanned(&out, &v);
    member(&out, "blocked");
    out.append("[");
    // The ring as it was when the values were copied: what comes later is the stream's.
    const uint32_t end = v.nextIndex;
    uint32_t next = v.oldestIndex;
    while (next != end) {
        struct blocked_file *recs[kCopyPiece];
        uint32_t first = next;
        const int n = store_copy_blocked(next, kCopyPiece, recs, &first);
        if (n <= 0)
            break;
        for (int i = 0; i < n; i++) {
            // Records dropped meanwhile are skipped, later ones left to the stream.
            if (first + static_cast<uint32_t>(i) - v.oldestIndex < end - v.oldestIndex) {
                out.append(out.back() == '[' ? "" : ",");
                json_blocked(&out, first + static_cast<uint32_t>(i), recs[i]);
            }
            blocked_file_free(recs[i]);
        }
        next = first + static_cast<uint32_t>(n);
        if (next - v.oldestIndex >= end - v.oldestIndex)
            break;
    }
    out.append("]");
    number(&out, "next", end);
    out.append("}");
    store_view_free(&v);
    return out;
}
