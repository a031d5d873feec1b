#include "intake/field_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string text_of(const field_text &tb) { return std::string(tb.text, tb.length); }

field_text from_text(const std::string &t)
{
    field_text tb;
    field_text_reset(&tb);
    memcpy(tb.text, t.data(), t.size());
    tb.length = (int32_t)t.size();
    tb.room -= tb.length;
    return tb;
}

TEST(FieldTextAppend, EscapesBackslashAndNonPrintableBytes)
{
    field_text tb;
    field_text_reset(&tb);
    EXPECT_EQ(0, field_text_append_field(&tb, "S0", "%s", "a\\b\x01\xE4~ "));
    EXPECT_EQ(0, field_text_append_field(&tb, "I0", "%ld", -5L));
    EXPECT_EQ("\nS0=a\\x5Cb\\x01\\xE4~ \nI0=-5", text_of(tb));
    EXPECT_EQ(899 - tb.length, tb.room);
    EXPECT_EQ(0, tb.truncated);
    EXPECT_EQ('\0', tb.text[tb.length]);
}

TEST(FieldTextAppend, RefusesBadCodesFormatAndFullBuffer)
{
    field_text tb;
    field_text_reset(&tb);
    const char *no_fmt = nullptr;
    EXPECT_EQ(-1, field_text_append_field(nullptr, "S0", "%s", "x"));
    EXPECT_EQ(-1, field_text_append_field(&tb, "0A", "%s", "x"));
    EXPECT_EQ(-1, field_text_append_field(&tb, "A", "%s", "x"));
    EXPECT_EQ(-1, field_text_append_field(&tb, "ABC", "%s", "x"));
    EXPECT_EQ(-1, field_text_append_field(&tb, "A-", "%s", "x"));
    EXPECT_EQ(-1, field_text_append_field(&tb, "S0", no_fmt));
    EXPECT_EQ(0, tb.length);
    tb.room = 3;
    EXPECT_EQ(-1, field_text_append_field(&tb, "S0", "%s", ""));
    EXPECT_EQ(0, tb.length);
}

TEST(FieldTextAppend, ExactFitIsMarkedAndOverflowIsCut)
{
    field_text tb;
    field_text_reset(&tb);
    // 4 characters of prefix leave 895: a value of exactly 895 fits but is marked.
    EXPECT_EQ(0, field_text_append_field(&tb, "S0", "%s", std::string(895, 'a').c_str()));
    EXPECT_EQ(899, tb.length);
    EXPECT_EQ(0, tb.room);
    EXPECT_EQ(1, tb.truncated);
    EXPECT_EQ(-1, field_text_append_field(&tb, "S1", "%s", "x"));

    field_text_reset(&tb);
    EXPECT_EQ(1, field_text_append_field(&tb, "S0", "%s", std::string(1200, 'b').c_str()));
    EXPECT_EQ(899, tb.length);
    EXPECT_EQ(1, tb.truncated);
    EXPECT_EQ('\0', tb.text[899]);

    // An escape needs four positions: with three left the field stops short.
    field_text_reset(&tb);
    EXPECT_EQ(1, field_text_append_field(&tb, "S0", "%s%c", std::string(892, 'c').c_str(), 1));
    EXPECT_EQ(896, tb.length);
}

TEST(FieldTextAppend, CharOnFullBufferOnlySetsMark)
{
    field_text tb;
    field_text_reset(&tb);
    for (int i = 0; i < 899; ++i)
        field_text_append_char(&tb, 'x');
    EXPECT_EQ(0, tb.truncated);
    field_text_append_char(&tb, 'y');
    EXPECT_EQ(1, tb.truncated);
    EXPECT_EQ(899, tb.length);
    EXPECT_EQ('\0', tb.text[899]);
}

TEST(FieldTextParse, SplitsFieldsAndDecodesEscapesInPlace)
{
    field_text tb = from_text("\nSO=/a\\x5Cb\nBR=3\nAN=x\\xe4y\\x0Az\nE1=");
    field_list fl;
    ASSERT_EQ(0, field_text_parse(&tb, &fl));
    ASSERT_EQ(4, fl.count);
    EXPECT_STREQ("/a\\b", fl.entries[0].value);
    EXPECT_STREQ("3", fl.entries[1].value);
    EXPECT_STREQ("x\xE4y\nz", fl.entries[2].value);
    EXPECT_EQ('E', fl.entries[3].code[0]);
    EXPECT_STREQ("", fl.entries[3].value);
    EXPECT_EQ(0, fl.truncated);

    field_text empty = from_text("");
    EXPECT_EQ(0, field_text_parse(&empty, &fl));
    EXPECT_EQ(0, fl.count);
}

TEST(FieldTextParse, EscapedZeroEndsValueButNotTheScan)
{
    field_text tb = from_text("\nS0=ab\\x00cd\nS1=ef");
    field_list fl;
    ASSERT_EQ(0, field_text_parse(&tb, &fl));
    ASSERT_EQ(2, fl.count);
    EXPECT_STREQ("ab", fl.entries[0].value);
    EXPECT_STREQ("ef", fl.entries[1].value);
}

TEST(FieldTextParse, RefusesMalformedText)
{
    const char *bad[] = {
        "S0=x",             // no leading line end
        "\n0A=x",           // code must start alphabetic
        "\nS-=x",           // second character alphanumeric
        "\nS0x",            // no '='
        "\nS0=a\\b",        // backslash not followed by x
        "\nS0=a\\x4G",      // second digit not hexadecimal
        "\nS0=a\\x4",       // escape cut by the end of the text
        "\nS0=a\\x4\nS1=",  // escape cut by the line end
    };
    for (const char *t : bad) {
        field_text tb = from_text(t);
        field_list fl;
        EXPECT_EQ(-1, field_text_parse(&tb, &fl)) << t;
    }
}

TEST(FieldTextParse, RefusesLengthThatDoesNotMatchText)
{
    field_list fl;
    field_text tb = from_text("\nS0=abc");
    tb.length = 3;
    EXPECT_EQ(-1, field_text_parse(&tb, &fl));
    tb.length = -1;
    EXPECT_EQ(-1, field_text_parse(&tb, &fl));
    EXPECT_EQ(-1, field_text_parse(nullptr, &fl));
    EXPECT_EQ(-1, field_text_parse(&tb, nullptr));
}

// Regression: a wire image with no 0 byte in its 900 text bytes must not be read past.
TEST(FieldTextParse, UnterminatedImageIsRefused)
{
    field_text tb;
    memset(tb.text, 'a', sizeof tb.text);
    tb.text[0] = '\n';
    tb.length = 899;
    tb.room = 0;
    tb.truncated = 0;
    field_list fl;
    EXPECT_EQ(-1, field_text_parse(&tb, &fl));
}

TEST(FieldTextParse, StopsAfter98Fields)
{
    std::string t;
    for (int i = 0; i < 99; ++i)
        t += "\nF" + std::string(1, "0123456789"[i % 10]) + "=" + std::to_string(i);
    field_text tb = from_text(t);
    field_list fl;
    EXPECT_EQ(1, field_text_parse(&tb, &fl));
    EXPECT_EQ(98, fl.count);
    EXPECT_STREQ("97", fl.entries[97].value);

    t.erase(t.rfind('\n'));
    field_text tb98 = from_text(t);
    EXPECT_EQ(0, field_text_parse(&tb98, &fl));
    EXPECT_EQ(98, fl.count);
    EXPECT_STREQ("97", fl.entries[97].value);
}

TEST(FieldListLookup, FirstMatchWinsAndBadQueriesAreRefused)
{
    field_text tb = from_text("\nS0=first\nS1=x\nS0=second");
    field_list fl;
    ASSERT_EQ(0, field_text_parse(&tb, &fl));
    const char *v = nullptr;
    ASSERT_EQ(0, field_list_lookup(&fl, "S0", &v));
    EXPECT_STREQ("first", v);
    EXPECT_EQ(-1, field_list_lookup(&fl, "AN", &v));
    EXPECT_EQ(-1, field_list_lookup(&fl, "S", &v));
    EXPECT_EQ(-1, field_list_lookup(&fl, "1S", &v));
    EXPECT_EQ(-1, field_list_lookup(nullptr, "S0", &v));
    fl.count = kFieldListRoom;
    EXPECT_EQ(-1, field_list_lookup(&fl, "S0", &v));
}

}  // namespace
