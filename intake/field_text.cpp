#include "intake/field_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// ASCII classes spelled out so that no locale can widen what a field code may hold.
bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_alnum(char c) { return is_alpha(c) || (c >= '0' && c <= '9'); }

bool valid_code(const char *code)
{
    return code && is_alpha(code[0]) && is_alnum(code[1]) && code[2] == '\0';
}

bool printable(unsigned char c) { return c >= 32 && c <= 126 && c != '\\'; }

// Decodes the escapes of the value in [start, end) in place and 0-terminates it where
// it got shorter. Returns false for a backslash not followed by 'x' and two hex digits.
bool decode_value(char *start, char *end)
{
    char *w = start;
    for (char *r = start; r < end; ++r) {
        if (*r != '\\') {
            *w++ = *r;
            continue;
        }
        if (end - r < 4 || r[1] != 'x')
            return false;
        int hi = field_text_hex_value(r[2]);
        int lo = field_text_hex_value(r[3]);
        if (hi < 0 || lo < 0)
            return false;
        *w++ = static_cast<char>(hi * 16 + lo);
        r += 3;
    }
    // An unchanged value keeps its line end: the scan still has to find it there.
    if (w < end)
        *w = '\0';
    return true;
}

}  // namespace

int field_text_hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

void field_text_reset(field_text *tb)
{
    if (!tb)
        return;
    memset(tb->text, 0, sizeof tb->text);
    tb->length = 0;
    tb->room = status_msg::kTextMaxLen;
    tb->truncated = 0;
}

void field_text_append_char(field_text *tb, char c)
{
    if (!tb)
        return;
    if (tb->room <= 0 || tb->length < 0 || tb->length >= status_msg::kTextMaxLen) {
        tb->truncated = 1;
        return;
    }
    tb->text[tb->length++] = c;
    tb->room--;
}

// Appends the field header and the n formatted characters of value, escaping as the
// header file says. REQUIRES: tb and a valid code; n <= kTextMaxLen.
static int append_formatted(field_text *tb, const char *code, const char *value, int n)
{
    if (tb->room <= 3)
        return -1;
    field_text_append_char(tb, '\n');
    field_text_append_char(tb, code[0]);
    field_text_append_char(tb, code[1]);
    field_text_append_char(tb, '=');
    // Marked even when the value then fits exactly: the sender cannot tell the two apart.
    if (n >= tb->room)
        tb->truncated = 1;
    for (int i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        int need = printable(c) ? 1 : 4;
        if (tb->room < need) {
            tb->truncated = 1;
            return 1;
        }
        if (need == 1) {
            field_text_append_char(tb, static_cast<char>(c));
        } else {
            char esc[5];
            snprintf(esc, sizeof esc, "\\x%02X", c);
            for (int k = 0; k < 4; ++k)
                field_text_append_char(tb, esc[k]);
        }
    }
    return 0;
}

int field_text_append_field(field_text *tb, const char *code, const char *fmt, ...)
{
    if (!tb || !valid_code(code) || !fmt)
        return -1;
    char scratch[status_msg::kTextSize];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(scratch, sizeof scratch, fmt, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    if (n > status_msg::kTextMaxLen)
        n = status_msg::kTextMaxLen;
    return append_formatted(tb, code, scratch, n);
}

int field_text_append_number(field_text *tb, const char *code, int64_t v)
{
    if (!tb || !valid_code(code))
        return -1;
    // Digits from the least significant, on the magnitude as unsigned so that the most
    // negative value has one too.
    char digits[24];
    int n = 0;
    uint64_t m = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    do {
        digits[n++] = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m != 0);
    char text[24];
    int len = 0;
    if (v < 0)
        text[len++] = '-';
    while (n > 0)
        text[len++] = digits[--n];
    return append_formatted(tb, code, text, len);
}

int field_text_parse(field_text *tb, field_list *list)
{
    if (!tb || !list)
        return -1;
    // A buffer image from the wire need not be terminated: never read past its text.
    size_t len = strnlen(tb->text, sizeof tb->text);
    if (tb->length < 0 || tb->length > status_msg::kTextMaxLen ||
        static_cast<size_t>(tb->length) != len)
        return -1;
    memset(list, 0, sizeof *list);
    char *p = tb->text;
    for (;;) {
        if (*p == '\0')
            return 0;
        if (*p != '\n')
            return -1;
        *p = '\0';
        if (list->count >= kFieldListMax)
            return 1;
        if (!is_alpha(p[1]) || !is_alnum(p[2]) || p[3] != '=')
            return -1;
        field_entry *e = &list->entries[list->count++];
        e->code[0] = p[1];
        e->code[1] = p[2];
        char *start = p + 4;
        char *end = start;
        while (*end != '\0' && *end != '\n')
            ++end;
        e->value = start;
        if (!decode_value(start, end))
            return -1;
        p = end;
    }
}

int field_list_lookup(const field_list *list, const char *code, const char **value)
{
    if (!list || !valid_code(code) || !value || list->count < 0 || list->count >= kFieldListRoom)
        return -1;
    for (int i = 0; i < list->count; ++i) {
        const field_entry *e = &list->entries[i];
        if (e->code[0] == code[0] && e->code[1] == code[1]) {
            *value = e->value;
            return 0;
        }
    }
    return -1;
}
