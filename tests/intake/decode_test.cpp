#include "intake/decode.h"

#include <gtest/gtest.h>

#include <string>

#include "msg_builder.h"

using namespace status_msg;

namespace {

// Field values point into tb, so a result is decoded in place and never copied.
struct decoded {
    field_text tb;
    status_decoded d;
    const char *why = nullptr;
    int rc = 0;

    explicit decoded(const test_msg &m) { rc = decode_message(m.b, &tb, &d, &why); }
    decoded(const decoded &) = delete;
};

const char *value(const decoded &r, const char *code)
{
    const char *v = nullptr;
    return field_list_lookup(&r.d.fields, code, &v) == 0 ? v : nullptr;
}

TEST(Decode, HeaderChecksRefuseInOrder)
{
    test_msg m('S', 1, 'I');
    m.word(kTypeOff, 2);
    memcpy(m.b + kProductOff, "XXXX", 4);
    EXPECT_STREQ(": *** wrong msg type, skipping\n\n", decoded(m).why);
    m.word(kTypeOff, 1);
    memcpy(m.b + kSubsysOff, "XXXX", 4);
    EXPECT_STREQ(": *** not my product code, skipping\n\n", decoded(m).why);
    memcpy(m.b + kProductOff, "SNTR", 4);
    decoded r(m);
    EXPECT_EQ(-1, r.rc);
    EXPECT_STREQ(": *** no STAT subsys, skipping\n\n", r.why);
    EXPECT_NE(kKindParsed, r.d.kind);
}

TEST(Decode, DataChecksRefuseAsImproper)
{
    test_msg bad_op('X', 1, 'I'), bad_item('S', 13, 'I'), item0('S', 0, 'I'), bad_kind('S', 1, 'Q');
    for (const test_msg *m : {&bad_op, &bad_item, &item0, &bad_kind}) {
        decoded r(*m);
        EXPECT_EQ(-1, r.rc);
        EXPECT_STREQ(": *** improper data, skipping\n\n", r.why);
    }
}

TEST(Decode, NumbersBecomeDecimalFields)
{
    test_msg i('S', 1, 'I');
    i.word(kValueOff, -42);
    decoded r(i);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(kKindParsed, r.d.kind);
    EXPECT_STREQ("-42", value(r, "I0"));

    test_msg z('I', 9, 'Z');
    z.i64(INT64_MIN);
    decoded rz(z);
    ASSERT_EQ(0, rz.rc);
    EXPECT_STREQ("-9223372036854775808", value(rz, "Z0"));
    EXPECT_EQ('I', rz.d.op);
    EXPECT_EQ(9, rz.d.item);
}

TEST(Decode, StringSlotLengthLimitAndTerminator)
{
    test_msg ok('S', 6, 'S');
    ok.slot(kSlotAOff, std::string(449, 'p'));
    decoded r(ok);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(std::string(449, 'p'), value(r, "S0"));
    EXPECT_EQ(0, r.d.fields.truncated);

    test_msg too_long('S', 6, 'S');
    too_long.slot(kSlotAOff, std::string(450, 'p'), 450);
    EXPECT_EQ(-1, decoded(too_long).rc);

    test_msg no_zero('S', 6, 'S');
    no_zero.slot(kSlotAOff, "abcdef", 3);
    EXPECT_EQ(-1, decoded(no_zero).rc);

    test_msg b_bad('S', 5, '2');
    b_bad.slot(kSlotAOff, "obj");
    b_bad.slot(kSlotBOff, "info!", 2);
    EXPECT_EQ(-1, decoded(b_bad).rc);
}

TEST(Decode, SlotBytesSurviveNormalisationAndParsing)
{
    test_msg m('S', 5, '2');
    m.slot(kSlotAOff, "C:\\dir\\\xE4.doc");
    m.slot(kSlotBOff, "line1\nline2");
    decoded r(m);
    ASSERT_EQ(0, r.rc);
    EXPECT_STREQ("C:\\dir\\\xE4.doc", value(r, "S0"));
    EXPECT_STREQ("line1\nline2", value(r, "S1"));
}

TEST(Decode, TruncatedFlagFollowsSlotsTextMarkAndFieldLimit)
{
    test_msg cut('S', 4, 'S');
    cut.slot(kSlotAOff, "part", 4, 1);
    EXPECT_EQ(1, decoded(cut).d.fields.truncated);

    test_msg cut_b('S', 5, '2');
    cut_b.slot(kSlotAOff, "a");
    cut_b.slot(kSlotBOff, "b", 1, 7);
    EXPECT_EQ(1, decoded(cut_b).d.fields.truncated);

    test_msg marked('S', 6, 's');
    marked.text("\nS0=x", 1);
    EXPECT_EQ(1, decoded(marked).d.fields.truncated);

    std::string t;
    for (int i = 0; i < 99; ++i)
        t += "\nX" + std::to_string(i % 10) + "=1";
    test_msg many('S', 7, 's');
    many.text(t);
    decoded r(many);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(98, r.d.fields.count);
    EXPECT_EQ(1, r.d.fields.truncated);
}

TEST(Decode, FieldTextKind)
{
    test_msg m('S', 5, 's');
    m.text("\nSO=/home/user/report.doc\nBR=3\nAN=Test.Signature");
    decoded r(m);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(3, r.d.fields.count);
    EXPECT_STREQ("3", value(r, "BR"));

    const char *bad[] = {"I0=5", "\nI0=5\\n", "\nS0=\\x4Z"};
    for (const char *t : bad) {
        test_msg b('S', 1, 's');
        b.text(t);
        EXPECT_EQ(-1, decoded(b).rc) << t;
    }
    test_msg wrong_len('S', 1, 's');
    wrong_len.text("\nI0=5");
    wrong_len.word(kValueOff + kTextLenOff, 4);
    EXPECT_EQ(-1, decoded(wrong_len).rc);
}

TEST(Decode, RefusesNullArguments)
{
    test_msg m('S', 1, 'I');
    field_text tb;
    status_decoded d;
    const char *why = nullptr;
    EXPECT_EQ(-1, decode_message(nullptr, &tb, &d, &why));
    EXPECT_STREQ(": *** improper data, skipping\n\n", why);
    EXPECT_EQ(-1, decode_message(m.b, nullptr, &d, nullptr));
    EXPECT_EQ(-1, decode_message(m.b, &tb, nullptr, nullptr));
}

}  // namespace
