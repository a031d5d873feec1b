// Builds status message records byte by byte for the intake tests, independently of the
// decoder's own reading code.
#ifndef GC_TESTS_INTAKE_MSG_BUILDER_H
#define GC_TESTS_INTAKE_MSG_BUILDER_H

#include <cstdint>
#include <cstring>
#include <string>

#include "intake/status_message.h"

struct test_msg {
    unsigned char b[status_msg::kSize];

    test_msg(int op, int item, int kind)
    {
        memset(b, 0, sizeof b);
        word(status_msg::kTypeOff, 1);
        memcpy(b + status_msg::kProductOff, "SNTR", 4);
        memcpy(b + status_msg::kSubsysOff, "STAT", 4);
        word(status_msg::kOpOff, op);
        word(status_msg::kItemOff, item);
        word(status_msg::kKindOff, kind);
    }
    void word(size_t off, int32_t v) { memcpy(b + off, &v, sizeof v); }
    void i64(int64_t v) { memcpy(b + status_msg::kValueOff, &v, sizeof v); }
    // Writes a slot whose stated length is len; the text bytes are s (len bytes or fewer).
    void slot(size_t slot, const std::string &s, uint32_t len, int32_t cut = 0)
    {
        memcpy(b + slot, &len, sizeof len);
        memcpy(b + slot + 4, s.data(), s.size());
        word(slot + status_msg::kSlotFlagOff, cut);
    }
    void slot(size_t off, const std::string &s) { slot(off, s, (uint32_t)s.size()); }
    // Writes a kind 's' image holding text verbatim.
    void text(const std::string &t, int32_t trunc = 0)
    {
        unsigned char *v = b + status_msg::kValueOff;
        memcpy(v, t.data(), t.size());
        int32_t len = (int32_t)t.size(), room = 899 - len;
        memcpy(v + status_msg::kTextLenOff, &len, 4);
        memcpy(v + status_msg::kTextRoomOff, &room, 4);
        memcpy(v + status_msg::kTextTruncOff, &trunc, 4);
    }
};

#endif
