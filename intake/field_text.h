// Field text: the common text form every status message value is normalised into
// ("\nXX=value" fields), its in-place parser and the field list it yields. Pure
// functions over caller-owned fixed-size records; used by the main thread's intake only.
#ifndef GC_INTAKE_FIELD_TEXT_H
#define GC_INTAKE_FIELD_TEXT_H

#include <cstddef>
#include <cstdint>

#include "intake/status_message.h"

// Field text buffer; its bytes are also the layout of a kind 's' value area.
struct field_text {
    char text[status_msg::kTextSize];  // always 0-terminated
    int32_t length;                    // characters in text
    int32_t room;                      // characters still free: 899 when empty
    int32_t truncated;                 // non-zero once something did not fit
};
static_assert(sizeof(field_text) == status_msg::kTextImageSize, "wire image size");
static_assert(offsetof(field_text, length) == status_msg::kTextLenOff, "wire image layout");
static_assert(offsetof(field_text, truncated) == status_msg::kTextTruncOff, "wire image layout");

constexpr int kFieldListRoom = 100;  // entries the list can hold
constexpr int kFieldListMax = 98;    // entries the parser stores at most

// One parsed field: its code and its decoded value, which points into the parsed buffer.
struct field_entry {
    char code[2];
    const char *value;
};

// Parse result; valid only while the field_text it was parsed from is unchanged.
struct field_list {
    int count;
    field_entry entries[kFieldListRoom];
    int truncated;  // set by the decoder when the text or the list was cut
};

// Empties tb: zeroed text, length 0, room 899, truncated mark 0. Null is ignored.
void field_text_reset(field_text *tb);

// Appends one raw character; when no room is left sets the truncated mark instead.
// Null is ignored.
void field_text_append_char(field_text *tb, char c);

// Appends "\n" code "=" and the printf-formatted value with bytes outside 32..126 and
// backslash escaped as "\xHH". Returns 0 when stored whole, 1 when cut (truncated mark
// set), -1 when nothing was stored (null buffer or format, bad code, room <= 3, format
// error). A code is two characters: alphabetic, then alphanumeric.
int field_text_append_field(field_text *tb, const char *code, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// As field_text_append_field with the format "%lld" and v, without a format pass.
int field_text_append_number(field_text *tb, const char *code, int64_t v);

// Parses tb in place into *list (cleared first): cuts the text at each line end and
// decodes escapes in the values. Returns 0, 1 when more than 98 fields were present
// (the first 98 are stored), or -1 when tb or list is null, the length is not that of
// a 0-terminated text of at most 899 characters, or the text is malformed.
int field_text_parse(field_text *tb, field_list *list);

// The value of the hexadecimal digit c, or -1 when c is none: the escapes' digits, for
// the decoder and for status-send's own escapes alike.
int field_text_hex_value(char c);

// Sets *value to the value of the first entry with code. Returns 0 when found, -1 for a
// null argument, a bad code, a list count of 100 or more, or no such entry.
int field_list_lookup(const field_list *list, const char *code, const char **value);

#endif
