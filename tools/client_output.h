// Printing of answers for connector-client: an answer is a small record of named values
// (the wire names of the reply's elements), printed as aligned "name: value" lines or as
// one JSON object on one line. Used by the main thread only.
#ifndef GC_TOOLS_CLIENT_OUTPUT_H
#define GC_TOOLS_CLIENT_OUTPUT_H

#include <cstdio>

enum out_kind { OUT_STR, OUT_INT, OUT_UINT, OUT_BOOL };

struct out_field {
    const char *name;         // wire name, not owned
    int kind;                 // an out_kind
    const char *str;          // OUT_STR: UTF-8 text, not owned; null for an absent value
    long long num;            // OUT_INT, and OUT_BOOL as 0 or 1
    unsigned long long unum;  // OUT_UINT
};

constexpr int kOutMaxFields = 8;

struct out_record {
    out_field fields[kOutMaxFields];
    int count;
};

// Append one value to rec; a value beyond kOutMaxFields is dropped. The record keeps
// the pointers it is given, which must outlive the printing.
void out_add_str(out_record *rec, const char *name, const char *value);
void out_add_int(out_record *rec, const char *name, long long value);
void out_add_uint(out_record *rec, const char *name, unsigned long long value);
void out_add_bool(out_record *rec, const char *name, int value);

// Prints rec to out: aligned "name: value" lines with control bytes escaped C-style, or
// one JSON object per line (json set), each followed by an empty line when spaced is set
// and the record has more than one value. Flushes out. Returns 0, or -1 when writing
// failed (errno tells why).
int out_print_record(FILE *out, int json, int spaced, const out_record *rec);

// Prints a note about the watch itself rather than an answer: "# text (name: value,
// ...)" on one line in plain form, or a JSON object whose "note" member is text followed
// by the values of details (may be null). Flushes out. Returns 0, or -1 when writing
// failed.
int out_print_note(FILE *out, int json, const char *text, const out_record *details);

#endif
