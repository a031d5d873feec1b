// Decoder of received status messages: the acceptance checks and the normalisation of
// each value kind into field text, parsed into a field list. Pure functions over
// caller-owned fixed-size records; called by the main thread's intake loop only.
#ifndef GC_INTAKE_DECODE_H
#define GC_INTAKE_DECODE_H

#include <cstdint>

#include "intake/field_text.h"

// A decoded message. The field list lives outside the 944-byte record because its
// pointers do not fit the 920-byte value area on 64-bit hosts.
struct status_decoded {
    int32_t op;    // 'S' set or 'I' increment
    int32_t item;  // 1..12
    int32_t kind;  // status_msg::kKindParsed once accepted, else the kind received
    field_list fields;
    // Kinds I and Z carry one number, which their one field (I0 or Z0) spells in decimal:
    // value_kind is then that kind and number its value, so that dispatch need not read
    // the text back. value_kind is 0 for the other kinds.
    int32_t value_kind;
    int64_t number;
};

// Checks the full 944-byte record msg (type word first) and decodes it into *out,
// normalising its value through *tb (its text is what out's field values point into).
// Returns 0 when accepted (out->kind is then 'a'), or -1 with *refusal pointing at the
// static progress text that names the first failed check. Null arguments are refused
// (*refusal, when given, is the improper-data text).
int decode_message(const unsigned char *msg, field_text *tb, status_decoded *out,
                   const char **refusal);

#endif
