#include "tools/client_output.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "text/utf8.h"

namespace {

void add(out_record *rec, const char *name, int kind, const char *str, long long num,
         unsigned long long unum)
{
    if (rec->count >= kOutMaxFields)
        return;
    out_field *f = &rec->fields[rec->count++];
    f->name = name;
    f->kind = kind;
    f->str = str;
    f->num = num;
    f->unum = unum;
}

// The reader hands over UTF-8, but a name is whatever bytes a scanner daemon reported:
// a byte that starts no well-formed sequence is shown as the ISO-8859-1 character it is
// likely to be, so JSON output stays valid UTF-8 whatever arrives.
void put_json_string(FILE *out, const char *s)
{
    fputc('"', out);
    const size_t n = strlen(s);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    while (*p) {
        unsigned char c = *p;
        int len =
            utf8_sequence(reinterpret_cast<const char *>(p),
                          n - static_cast<size_t>(p - reinterpret_cast<const unsigned char *>(s)));
        if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(c, out);
        } else if (c == '\n') {
            fputs("\\n", out);
        } else if (c == '\r') {
            fputs("\\r", out);
        } else if (c == '\t') {
            fputs("\\t", out);
        } else if (c < 0x20 || c == 0x7F || len == 0) {
            fprintf(out, "\\u%04x", c);
            len = 1;
        } else {
            fwrite(p, 1, static_cast<size_t>(len), out);
        }
        p += len ? len : 1;
    }
    fputc('"', out);
}

// Plain output keeps one value per line: line ends, other control bytes and the
// backslash itself are written as C escapes.
void put_plain_string(FILE *out, const char *s)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        switch (*p) {
        case '\\': fputs("\\\\", out); break;
        case '\n': fputs("\\n", out); break;
        case '\r': fputs("\\r", out); break;
        case '\t': fputs("\\t", out); break;
        default:
            if (*p < 0x20 || *p == 0x7F)
                fprintf(out, "\\x%02x", *p);
            else
                fputc(*p, out);
        }
    }
}

// The wire sends each byte of a name as a character of its own, so a name its owner
// wrote in UTF-8 arrives as the ISO-8859-1 reading of its bytes: it is shown as written
// when those bytes are well-formed UTF-8, and as it came otherwise.
std::string as_written(const char *s)
{
    const size_t n = strlen(s);
    std::string bytes(n, '\0');
    const long got = utf8_from_bytes_read_as_latin1(s, n, &bytes[0]);
    if (got < 0)
        return s;
    bytes.resize(static_cast<size_t>(got));
    return bytes;
}

void put_value(FILE *out, int json, const out_field *f)
{
    switch (f->kind) {
    case OUT_STR:
        if (!f->str)
            fputs(json ? "null" : "", out);
        else if (json)
            put_json_string(out, as_written(f->str).c_str());
        else
            put_plain_string(out, as_written(f->str).c_str());
        break;
    case OUT_INT: fprintf(out, "%lld", f->num); break;
    case OUT_UINT: fprintf(out, "%llu", f->unum); break;
    default: fputs(f->num ? "true" : "false", out); break;
    }
}

void put_json_members(FILE *out, const out_record *rec, bool first)
{
    for (int i = 0; rec && i < rec->count; i++) {
        if (!first)
            fputc(',', out);
        first = false;
        put_json_string(out, rec->fields[i].name);
        fputc(':', out);
        put_value(out, 1, &rec->fields[i]);
    }
}

int finish(FILE *out) { return fflush(out) == 0 && !ferror(out) ? 0 : -1; }

}  // namespace

void out_add_str(out_record *rec, const char *name, const char *value)
{
    add(rec, name, OUT_STR, value, 0, 0);
}

void out_add_int(out_record *rec, const char *name, long long value)
{
    add(rec, name, OUT_INT, nullptr, value, 0);
}

void out_add_uint(out_record *rec, const char *name, unsigned long long value)
{
    add(rec, name, OUT_UINT, nullptr, 0, value);
}

void out_add_bool(out_record *rec, const char *name, int value)
{
    add(rec, name, OUT_BOOL, nullptr, value ? 1 : 0, 0);
}

int out_print_record(FILE *out, int json, int spaced, const out_record *rec)
{
    if (json) {
        fputc('{', out);
        put_json_members(out, rec, true);
        fputs("}\n", out);
    } else {
        int width = 0;
        for (int i = 0; i < rec->count; i++)
            width = std::max(width, static_cast<int>(strlen(rec->fields[i].name)));
        for (int i = 0; i < rec->count; i++) {
            const out_field *f = &rec->fields[i];
            fprintf(out, "%s:%*s ", f->name, width - static_cast<int>(strlen(f->name)), "");
            put_value(out, 0, f);
            fputc('\n', out);
        }
        if (spaced && rec->count > 1)
            fputc('\n', out);
    }
    return finish(out);
}

int out_print_note(FILE *out, int json, const char *text, const out_record *details)
{
    if (json) {
        fputs("{\"note\":", out);
        put_json_string(out, text);
        put_json_members(out, details, false);
        fputs("}\n", out);
        return finish(out);
    }
    fprintf(out, "# %s", text);
    for (int i = 0; details && i < details->count; i++) {
        fputs(i ? ", " : " (", out);
        fprintf(out, "%s: ", details->fields[i].name);
        put_value(out, 0, &details->fields[i]);
    }
    fputs(details && details->count ? ")\n" : "\n", out);
    return finish(out);
}
