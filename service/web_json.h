// The JSON the web pages read: /api/state and the events of /events. Names are bytes in
// no declared encoding: one that is well-formed UTF-8 is written as that text, any other
// byte by byte, each as the ISO-8859-1 character it is (as the SOAP interface sends it).
// Pure functions of the store's copies, on a connection's own thread; no lock of its own.
#ifndef GC_SERVICE_WEB_JSON_H
#define GC_SERVICE_WEB_JSON_H

#include <cstdint>
#include <string>

struct blocked_file;
struct store_view;

// Appends s (null: JSON null) as a JSON string.
void json_string(std::string *out, const char *s);
// Appends a blocked file with its sequence number: index, at (its arrival, ms since the
// epoch), object, reason (the code), reasonName (null for a code clients do not know),
// info, addInfo, action, source, alerturl.
void json_blocked(std::string *out, uint32_t index, const struct blocked_file *rec);
// Appends the statistics of v, with at, the time of the copy.
void json_stats(std::string *out, const struct store_view *v, int64_t at_ms);
// Appends the versions and the configuration file of v.
void json_versions(std::string *out, const struct store_view *v);
// Appends the last scanned file of v with its time, or null when there is none.
void json_scanned(std::string *out, const struct store_view *v);
// The instance of v as 16 hex digits.
std::string json_instance(const struct store_view *v);

// The whole state for /api/state: instance, now, versions, conffile, stats, scanned, the
// blocked files the ring holds (oldest first) and next. Returns "" when no store exists
// or memory runs out.
std::string web_state_json(void);

#endif
