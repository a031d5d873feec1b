#include "intake/dispatch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "msg_builder.h"
#include "store/store.h"

using namespace status_msg;

namespace {

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, store_create(nullptr, 0, nullptr)); }
    void TearDown() override { store_destroy(); }

    // Decodes m (which must be accepted) and dispatches it.
    int apply(const test_msg &m)
    {
        const char *why = nullptr;
        EXPECT_EQ(0, decode_message(m.b, &tb_, &d_, &why)) << (why ? why : "");
        return dispatch_item(&d_);
    }
    int apply_text(int op, int item, const std::string &text)
    {
        test_msg m(op, item, 's');
        m.text(text);
        return apply(m);
    }
    static std::string conffile()
    {
        char *s = store_get_currentConffile();
        std::string r = s ? s : "<null>";
        free(s);
        return r;
    }

    field_text tb_;
    status_decoded d_;
};

TEST_F(Dispatch, VersionNumbersTakeAutomaticBaseAndSaturate)
{
    EXPECT_EQ(0, apply_text('S', 1, "\nI0=5"));
    EXPECT_EQ(5, store_get_binVersionNumber());
    EXPECT_EQ(0, apply_text('S', 1, "\nI0=0x10"));
    EXPECT_EQ(16, store_get_binVersionNumber());
    EXPECT_EQ(0, apply_text('S', 1, "\nI0="));
    EXPECT_EQ(0, store_get_binVersionNumber());
    EXPECT_EQ(0, apply_text('S', 2, "\nI0=010junk"));
    EXPECT_EQ(8, store_get_engVersionNumber());
    EXPECT_EQ(0, apply_text('S', 3, "\nI0=99999999999"));
    EXPECT_EQ(2147483647, store_get_vdfVersionNumber());
    EXPECT_EQ(0, apply_text('S', 3, "\nI0=-99999999999"));
    EXPECT_EQ(-2147483647 - 1, store_get_vdfVersionNumber());
}

TEST_F(Dispatch, OpNotAllowedOrFieldMissingChangesNothing)
{
    EXPECT_EQ(0, apply_text('S', 1, "\nI0=7"));
    EXPECT_EQ(-1, apply_text('I', 1, "\nI0=5"));
    EXPECT_EQ(-1, apply_text('S', 1, "\nZ0=5"));
    // A number sent as the other width is refused as its text would be.
    test_msg wide('S', 1, 'Z'), narrow('S', 9, 'I');
    wide.i64(5);
    narrow.word(kValueOff, 5);
    EXPECT_EQ(-1, apply(wide));
    EXPECT_EQ(-1, apply(narrow));
    EXPECT_EQ(7, store_get_binVersionNumber());
    int64_t files = -1;
    ASSERT_EQ(0, store_get_stats(nullptr, nullptr, &files, nullptr, nullptr));
    EXPECT_EQ(0, files);
    EXPECT_EQ(-1, apply_text('I', 4, "\nS0=x"));
    EXPECT_EQ(-1, apply_text('I', 6, "\nS0=x"));
    EXPECT_EQ(-1, apply_text('S', 6, "\nS1=x"));
    EXPECT_EQ("", conffile());
}

TEST_F(Dispatch, CountersSetAndAdd)
{
    test_msg set('S', 9, 'Z');
    set.i64(10);
    EXPECT_EQ(0, apply(set));
    test_msg add('I', 9, 'Z');
    add.i64(5);
    EXPECT_EQ(0, apply(add));
    EXPECT_EQ(0, apply_text('S', 10, "\nZ0=0x7fffffffffffffff"));
    EXPECT_EQ(0, apply_text('S', 11, "\nZ0=99999999999999999999"));
    EXPECT_EQ(0, apply_text('I', 11, "\nZ0=-1"));
    EXPECT_EQ(0, apply_text('S', 7, "\nI0=3"));
    EXPECT_EQ(0, apply_text('S', 8, "\nI0=0x1F"));
    int nd = 0, am = 0;
    int64_t files = 0, bytes = 0, blocked = 0;
    ASSERT_EQ(0, store_get_stats(&nd, &am, &files, &bytes, &blocked));
    EXPECT_EQ(3, nd);
    EXPECT_EQ(31, am);
    EXPECT_EQ(15, files);
    EXPECT_EQ(INT64_MAX, bytes);
    EXPECT_EQ(INT64_MAX - 1, blocked);
    EXPECT_EQ(0, apply_text('S', 12, "\nI0=2"));
    EXPECT_EQ(0, apply_text('I', 12, "\nI0=3"));
    EXPECT_EQ(5, store_take_logChanged());
}

TEST_F(Dispatch, ConffileRefusedWhenCut)
{
    test_msg m('S', 4, 'S');
    m.slot(kSlotAOff, "/etc/a\\b.conf");
    EXPECT_EQ(0, apply(m));
    EXPECT_EQ("/etc/a\\b.conf", conffile());
    test_msg cut('S', 4, 'S');
    cut.slot(kSlotAOff, "/etc/cut", 8, 1);
    EXPECT_EQ(-1, apply(cut));
    EXPECT_EQ("/etc/a\\b.conf", conffile());
}

TEST_F(Dispatch, BlockedFileFromFieldTextAndFromTwoStrings)
{
    EXPECT_EQ(0, apply_text('S', 5,
                            "\nSO=/home/user/report.doc\nBR=3\nAN=Test.Signature"
                            "\nAT=more\nAC=quarantine\nUM=sc1\nUR=http://x"));
    test_msg two('S', 5, '2');
    two.slot(kSlotAOff, "/tmp/\xE4");
    two.slot(kSlotBOff, "Eicar");
    EXPECT_EQ(0, apply(two));

    unsigned int index = 0;
    int reason = -1;
    char *info = nullptr, *add = nullptr, *action = nullptr, *source = nullptr, *url = nullptr;
    char *object =
        store_fetch_blocked_file(0, &index, &reason, &info, &add, &action, &source, &url);
    ASSERT_NE(nullptr, object);
    EXPECT_STREQ("/home/user/report.doc", object);
    EXPECT_EQ(3, reason);
    EXPECT_STREQ("Test.Signature", info);
    EXPECT_STREQ("more", add);
    EXPECT_STREQ("quarantine", action);
    EXPECT_STREQ("sc1", source);
    EXPECT_STREQ("http://x", url);
    free(object);  // the other strings share its block

    index = 1;
    object = store_fetch_blocked_file(0, &index, &reason, &info, &add, &action, &source, &url);
    ASSERT_NE(nullptr, object);
    EXPECT_STREQ("/tmp/\xE4", object);
    EXPECT_EQ(0, reason);
    EXPECT_STREQ("Eicar", info);
    EXPECT_STREQ("", add);
    EXPECT_STREQ("", url);
    free(object);
}

TEST_F(Dispatch, BlockedFileNeedsObjectAndInfo)
{
    test_msg only_s0('S', 5, 'S');
    only_s0.slot(kSlotAOff, "/x");
    EXPECT_EQ(-1, apply(only_s0));
    EXPECT_EQ(-1, apply_text('S', 5, "\nAN=sig"));
    EXPECT_EQ(-1, apply_text('I', 5, "\nSO=/x\nAN=sig"));
}

TEST_F(Dispatch, RefusesUndecodedMessages)
{
    EXPECT_EQ(-1, dispatch_item(nullptr));
    status_decoded d = {};
    d.op = 'S';
    d.item = 1;
    d.kind = 's';
    EXPECT_EQ(-1, dispatch_item(&d));
    d.kind = kKindParsed;
    d.item = 13;
    EXPECT_EQ(-1, dispatch_item(&d));
}

}  // namespace
