#include "intake/decode.h"

#include <cstring>

using namespace status_msg;

namespace {

const char kWrongType[] = ": *** wrong msg type, skipping\n\n";
const char kWrongProduct[] = ": *** not my product code, skipping\n\n";
const char kWrongSubsys[] = ": *** no STAT subsys, skipping\n\n";
const char kImproper[] = ": *** improper data, skipping\n\n";

// The record is a byte array from the wire: read words by copy, never by cast.
int32_t word_at(const unsigned char *msg, size_t off)
{
    int32_t v;
    memcpy(&v, msg + off, sizeof v);
    return v;
}

// A slot is usable when its length fits and its text is 0-terminated at that length,
// which makes it safe to format with "%s".
bool slot_ok(const unsigned char *msg, size_t slot)
{
    uint32_t len;
    memcpy(&len, msg + slot + kSlotLenOff, sizeof len);
    return len <= kSlotMaxLen && msg[slot + kSlotTextOff + len] == '\0';
}

bool slot_cut(const unsigned char *msg, size_t slot)
{
    return word_at(msg, slot + kSlotFlagOff) != 0;
}

const char *slot_text(const unsigned char *msg, size_t slot)
{
    return reinterpret_cast<const char *>(msg + slot + kSlotTextOff);
}

// Every data check runs before the verdict, so a bad op or item still goes through
// normalisation and parsing like any other message.
bool normalise(const unsigned char *msg, int32_t kind, bool ok, field_text *tb, status_decoded *out)
{
    field_text_reset(tb);
    out->value_kind = 0;
    switch (kind) {
    case kKindInt:
        out->value_kind = kind;
        out->number = word_at(msg, kValueOff);
        field_text_append_number(tb, "I0", out->number);
        return ok;
    case kKindInt64: {
        int64_t v;
        memcpy(&v, msg + kValueOff, sizeof v);
        out->value_kind = kind;
        out->number = v;
        field_text_append_number(tb, "Z0", v);
        return ok;
    }
    case kKindString:
        ok = ok && slot_ok(msg, kSlotAOff);
        if (ok)
            field_text_append_field(tb, "S0", "%s", slot_text(msg, kSlotAOff));
        if (slot_cut(msg, kSlotAOff))
            tb->truncated = 1;
        return ok;
    case kKindTwoStrings:
        ok = ok && slot_ok(msg, kSlotAOff) && slot_ok(msg, kSlotBOff);
        if (ok) {
            field_text_append_field(tb, "S0", "%s", slot_text(msg, kSlotAOff));
            field_text_append_field(tb, "S1", "%s", slot_text(msg, kSlotBOff));
        }
        if (slot_cut(msg, kSlotAOff) || slot_cut(msg, kSlotBOff))
            tb->truncated = 1;
        return ok;
    case kKindFieldText: memcpy(tb, msg + kValueOff, sizeof *tb); return ok;
    default: return false;
    }
}

}  // namespace

int decode_message(const unsigned char *msg, field_text *tb, status_decoded *out,
                   const char **refusal)
{
    const char *why = kImproper;
    int rc = -1;
    if (msg && tb && out) {
        out->op = word_at(msg, kOpOff);
        out->item = word_at(msg, kItemOff);
        out->kind = word_at(msg, kKindOff);
        if (word_at(msg, kTypeOff) != kType) {
            why = kWrongType;
        } else if (memcmp(msg + kProductOff, kProduct, sizeof kProduct) != 0) {
            why = kWrongProduct;
        } else if (memcmp(msg + kSubsysOff, kSubsys, sizeof kSubsys) != 0) {
            why = kWrongSubsys;
        } else {
            bool ok = (out->op == kOpSet || out->op == kOpIncrement) && out->item >= kItemMin &&
                      out->item <= kItemMax;
            ok = normalise(msg, out->kind, ok, tb, out);
            int parsed = field_text_parse(tb, &out->fields);
            if (ok && parsed >= 0) {
                // Readers that must not act on a cut value (item 4, the echo) see this.
                out->fields.truncated = tb->truncated != 0 || parsed == 1;
                out->kind = kKindParsed;
                why = nullptr;
                rc = 0;
            }
        }
    }
    if (refusal)
        *refusal = why;
    return rc;
}
