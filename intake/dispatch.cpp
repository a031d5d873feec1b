#include "intake/dispatch.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "store/store.h"

using namespace status_msg;

namespace {

// Numbers come from senders that never check them, so conversion never fails: the
// base follows the prefix, parsing stops at the first unfit character, and a value
// beyond the range yields the nearest limit.
int to_int32(const char *s)
{
    long long v = strtoll(s, nullptr, 0);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int>(v);
}

int64_t to_int64(const char *s) { return static_cast<int64_t>(strtoll(s, nullptr, 0)); }

// The first present field of two codes (code2 may be null), or null.
const char *field(const field_list *fl, const char *code, const char *code2 = nullptr)
{
    const char *v = nullptr;
    if (field_list_lookup(fl, code, &v) == 0)
        return v;
    if (code2 && field_list_lookup(fl, code2, &v) == 0)
        return v;
    return nullptr;
}

const char *field_or_empty(const field_list *fl, const char *code)
{
    const char *v = field(fl, code);
    return v ? v : "";
}

// REQUIRES: dispatch_refusal found the object and the info.
int add_blocked_file(const field_list *fl)
{
    const char *object = field(fl, "SO", "S0");
    const char *info = field(fl, "AN", "S1");
    const char *reason = field(fl, "BR");
    return store_add_blocked_file(object, reason ? to_int32(reason) : 0, info,
                                  field_or_empty(fl, "AT"), field_or_empty(fl, "AC"),
                                  field_or_empty(fl, "UM"), field_or_empty(fl, "UR"));
}

using set32_fn = int (*)(int);
using set64_fn = int (*)(int64_t);

struct item_ops {
    set32_fn set32;  // items taking "I0"
    set32_fn add32;
    set64_fn set64;  // items taking "Z0"
    set64_fn add64;
};

// Items 1-3 and 7-12 by number; 4, 5 and 6 carry strings and are handled apart.
const item_ops kNumericItems[kItemMax + 1] = {
    {},
    {store_set_binVersionNumber, nullptr, nullptr, nullptr},
    {store_set_engVersionNumber, nullptr, nullptr, nullptr},
    {store_set_vdfVersionNumber, nullptr, nullptr, nullptr},
    {},
    {},
    {},
    {store_set_numDaemons, nullptr, nullptr, nullptr},
    {store_set_accessMask, nullptr, nullptr, nullptr},
    {nullptr, nullptr, store_set_scannedFiles, store_add_scannedFiles},
    {nullptr, nullptr, store_set_scannedBytes, store_add_scannedBytes},
    {nullptr, nullptr, store_set_blockedCount, store_add_blockedCount},
    {store_set_logChanged, store_add_logChanged, nullptr, nullptr},
};

// A kind I or Z message's number is what its field's text reads back as, so it is taken
// as it came whenever that field is the one the item reads.
// REQUIRES: dispatch_refusal(m) is null.
int numeric_item(const item_ops *ops, const status_decoded *m)
{
    bool inc = m->op == kOpIncrement;
    if (ops->set32) {
        set32_fn fn = inc ? ops->add32 : ops->set32;
        return fn(m->value_kind == kKindInt ? static_cast<int>(m->number)
                                            : to_int32(field(&m->fields, "I0")));
    }
    set64_fn fn = inc ? ops->add64 : ops->set64;
    return fn(m->value_kind == kKindInt64 ? m->number : to_int64(field(&m->fields, "Z0")));
}

}  // namespace

const char *dispatch_refusal(const status_decoded *m)
{
    if (!m || m->kind != kKindParsed)
        return "the record was not decoded";
    if (m->item < kItemMin || m->item > kItemMax)
        return "there is no such item";
    const field_list *fl = &m->fields;
    const bool set = m->op == kOpSet;
    if (!set && m->op != kOpIncrement)
        return "the op is neither S nor I";
    switch (m->item) {
    case 4:
        if (!set)
            return "the item takes op S only";
        if (!field(fl, "S0"))
            return "the item needs a string (kind S or 2, or s with S0=)";
        return fl->truncated ? "the item takes no cut value" : nullptr;
    case 5:
        if (!set)
            return "the item takes op S only";
        return field(fl, "SO", "S0") && field(fl, "AN", "S1")
                   ? nullptr
                   : "the item needs an object and an info (kind 2, or s with SO= and AN=)";
    case 6:
        if (!set)
            return "the item takes op S only";
        return field(fl, "S0") ? nullptr : "the item needs a string (kind S or 2, or s with S0=)";
    default: {
        const item_ops *ops = &kNumericItems[m->item];
        if (!set && !(ops->set32 ? ops->add32 != nullptr : ops->add64 != nullptr))
            return "the item takes op S only";
        if (ops->set32)
            return m->value_kind == kKindInt || field(fl, "I0")
                       ? nullptr
                       : "the item needs a 32-bit number (kind I, or s with I0=)";
        return m->value_kind == kKindInt64 || field(fl, "Z0")
                   ? nullptr
                   : "the item needs a 64-bit number (kind Z, or s with Z0=)";
    }
    }
}

int dispatch_item(const status_decoded *m)
{
    if (m && m->kind == kKindParsed && (m->item < kItemMin || m->item > kItemMax))
        fputs("unknown item ID\n", stderr);
    if (dispatch_refusal(m))
        return -1;
    const field_list *fl = &m->fields;
    switch (m->item) {
    case 4: return store_set_currentConffile(field(fl, "S0"));
    case 5: return add_blocked_file(fl);
    case 6: return store_set_lastScannedFile(field(fl, "S0"));
    default: return numeric_item(&kNumericItems[m->item], m);
    }
}
