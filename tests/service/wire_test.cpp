// Exact bytes of replies: every expected message is written out by hand from the wire
// rules, not captured from the code under test.
#include <expat.h>
#include <gtest/gtest.h>

#include <string>

#include "store/store.h"
#include "support/soap_test_support.h"

namespace {

// Whether a strict XML 1.0 parser takes the whole document.
bool well_formed(const std::string &xml)
{
    XML_Parser p = XML_ParserCreate(nullptr);
    const bool ok = XML_Parse(p, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return ok;
}

class WireTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(store_create(nullptr, 0, nullptr), 0);
        ASSERT_TRUE(soap_conn_start(&conn));
    }
    void TearDown() override
    {
        EXPECT_TRUE(soap_conn_finish(&conn));
        store_destroy();
    }
    // Sends one request and returns the whole HTTP response.
    std::string ask(const std::string &body, int version = 1)
    {
        EXPECT_TRUE(send_all(conn.fd, http_post(soap_envelope(body, version), version)));
        return read_response(conn.fd);
    }
    std::string reply(const std::string &content, int version = 1)
    {
        return reply_head(version) + content + kReplyTail;
    }
    soap_conn conn;
};

TEST_F(WireTest, VersionInfoIsOneLineWithTheFullHttpHeader)
{
    const std::string body = reply("<sntr:versionInfo><interface-version>2</interface-version>"
                                   "</sntr:versionInfo>");
    EXPECT_EQ(ask("<sntr:get-versionInfo/>"),
              "HTTP/1.1 200 OK\r\nServer: gSOAP/2.8\r\nContent-Type: text/xml; charset=utf-8\r\n"
              "Content-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: keep-alive\r\n\r\n" + body);
}

TEST_F(WireTest, Soap12RequestGetsSoap12Envelope)
{
    const std::string r = ask("<sntr:get-versionInfo/>", 2);
    EXPECT_NE(r.find("Content-Type: application/soap+xml; charset=utf-8\r\n"), std::string::npos);
    EXPECT_EQ(http_body(r), reply("<sntr:versionInfo><interface-version>2</interface-version>"
                                  "</sntr:versionInfo>",
                                  2));
}

TEST_F(WireTest, BlockedFile2EscapesBytesAndNamesTheReason)
{
    ASSERT_EQ(store_add_blocked_file("caf\xe9 & <x>\r\n\"'\t", 3, "i\x80\xff", "", "act", "src",
                                     "http://a/?b&c"),
              0);
    EXPECT_EQ(http_body(ask("<sntr:get-blockedFile2><index>0</index></sntr:get-blockedFile2>")),
              reply("<sntr:blockedFile2><object>caf&#233; &amp; &lt;x&gt;&#xD;&#xA;\"'\t</object>"
                    "<reason>BLOCKED-UNSUPPORTED</reason><info>i&#128;&#255;</info>"
                    "<add-info></add-info><action>act</action><source>src</source>"
                    "<index>0</index><alerturl>http://a/?b&amp;c</alerturl></sntr:blockedFile2>"));
}

TEST_F(WireTest, BlockedFileShortFormCarriesObjectInfoAndIndex)
{
    ASSERT_EQ(store_add_blocked_file("a\xe9&", 1, "inf", "x", "y", "z", "u"), 0);
    ASSERT_EQ(store_add_blocked_file("second", 1, "two", "x", "y", "z", "u"), 0);
    EXPECT_EQ(http_body(ask("<sntr:get-blockedFile><index>1</index></sntr:get-blockedFile>")),
              reply("<sntr:blockedFile><filename>second</filename><information>two</information>"
                    "<index>1</index></sntr:blockedFile>"));
    EXPECT_EQ(http_body(ask("<sntr:get-blockedFile><index>0</index></sntr:get-blockedFile>")),
              reply("<sntr:blockedFile><filename>a&#233;&amp;</filename>"
                    "<information>inf</information><index>0</index></sntr:blockedFile>"));
}

TEST_F(WireTest, UnknownReasonsAreSentAsAlert)
{
    ASSERT_EQ(store_add_blocked_file("o", 7, "", "", "", "", ""), 0);
    ASSERT_EQ(store_add_blocked_file("o", -1, "", "", "", "", ""), 0);
    ASSERT_EQ(store_add_blocked_file("o", 4, "", "", "", "", ""), 0);
    const char *want[] = {"BLOCKED-ALERT", "BLOCKED-ALERT", "BLOCKED-EXTENSION"};
    for (int i = 0; i < 3; i++) {
        const std::string r = http_body(ask("<sntr:get-blockedFile2><index>" + std::to_string(i) +
                                            "</index></sntr:get-blockedFile2>"));
        EXPECT_NE(r.find(std::string("<reason>") + want[i] + "</reason>"), std::string::npos) << r;
    }
}

TEST_F(WireTest, StatisticsAreWrittenInFull)
{
    ASSERT_EQ(store_set_numDaemons(3), 0);
    ASSERT_EQ(store_set_accessMask(-5), 0);
    ASSERT_EQ(store_set_scannedFiles(4294967296LL), 0);
    ASSERT_EQ(store_set_scannedBytes(1099511627776LL), 0);
    ASSERT_EQ(store_set_blockedCount(0), 0);
    EXPECT_EQ(http_body(ask("<sntr:get-currentStats/>")),
              reply("<sntr:currentStats><numDaemons>3</numDaemons><accessMask>-5</accessMask>"
                    "<scannedFiles>4294967296</scannedFiles>"
                    "<scannedBytes>1099511627776</scannedBytes>"
                    "<blockedCount>0</blockedCount></sntr:currentStats>"));
}

TEST_F(WireTest, LogChangedIsTrueOnceThenFalse)
{
    ASSERT_EQ(store_set_logChanged(3), 0);
    const char *want[] = {"true", "false"};
    for (const char *w : want)
        EXPECT_EQ(http_body(ask("<sntr:get-logChanged/>")),
                  reply(std::string("<sntr:get-logChangedResponse><log-changed>") + w +
                        "</log-changed></sntr:get-logChangedResponse>"));
}

TEST_F(WireTest, StringWrappersWriteEmptyStringsAndOmitMissingOnes)
{
    // Control bytes other than TAB, LF and CR cannot be written in XML at all.
    ASSERT_EQ(store_set_lastScannedFile("\x01\x1f\t\x7f/x\xe9"), 0);
    const std::string scanned = http_body(ask("<sntr:get-lastScannedFile/>"));
    EXPECT_EQ(scanned, reply("<sntr:get-lastScannedFileResponse><fn>&#65533;&#65533;\t\x7f/x&#233;"
                             "</fn></sntr:get-lastScannedFileResponse>"));
    EXPECT_TRUE(well_formed(scanned)) << scanned;
    EXPECT_EQ(http_body(ask("<sntr:get-currentConffile/>")),
              reply("<sntr:get-currentConffileResponse><fn></fn>"
                    "</sntr:get-currentConffileResponse>"));
    store_destroy();
    EXPECT_EQ(http_body(ask("<sntr:get-currentConffile/>")),
              reply("<sntr:get-currentConffileResponse></sntr:get-currentConffileResponse>"));
}

TEST_F(WireTest, NoStoreAnswersItsDefaults)
{
    store_destroy();
    EXPECT_EQ(http_body(ask("<sntr:get-vdfVersionNumber/>")),
              reply("<sntr:get-vdfVersionNumberResponse><ver>-1</ver>"
                    "</sntr:get-vdfVersionNumberResponse>"));
    EXPECT_EQ(http_body(ask("<sntr:get-currentStats/>")),
              reply("<sntr:currentStats><numDaemons>0</numDaemons><accessMask>0</accessMask>"
                    "<scannedFiles>0</scannedFiles><scannedBytes>0</scannedBytes>"
                    "<blockedCount>0</blockedCount></sntr:currentStats>"));
    EXPECT_EQ(http_body(ask("<sntr:get-logChanged/>")),
              reply("<sntr:get-logChangedResponse><log-changed>true</log-changed>"
                    "</sntr:get-logChangedResponse>"));
}

TEST_F(WireTest, VersionNumbersUseTheirOwnWrappers)
{
    ASSERT_EQ(store_set_binVersionNumber(42), 0);
    ASSERT_EQ(store_set_engVersionNumber(-7), 0);
    EXPECT_EQ(http_body(ask("<sntr:get-binVersionNumber/>")),
              reply("<sntr:get-binVersionNumberResponse><ver>42</ver>"
                    "</sntr:get-binVersionNumberResponse>"));
    EXPECT_EQ(http_body(ask("<sntr:get-engVersionNumber/>")),
              reply("<sntr:get-engVersionNumberResponse><ver>-7</ver>"
                    "</sntr:get-engVersionNumberResponse>"));
}

TEST_F(WireTest, RequestEncodingStyleAndXsiTypeDoNotReachTheReply)
{
    const std::string body =
        "<sntr:get-blockedFile xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
        "xsi:type=\"sntr:whatever\"><index>0</index></sntr:get-blockedFile>";
    ASSERT_EQ(store_add_blocked_file("o", 0, "i", "", "", "", ""), 0);
    EXPECT_EQ(http_body(ask(body)),
              reply("<sntr:blockedFile><filename>o</filename><information>i</information>"
                    "<index>0</index></sntr:blockedFile>"));
}

}  // namespace
