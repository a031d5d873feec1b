// The plain read operations end to end: values sent by status-send come back through
// SOAP with the exact bytes clients parse (versions, configuration file, statistics with
// 64-bit counters, the log-changed counter, Latin-1 references), in SOAP 1.1 and 1.2.
#include "process/soap_daemon.h"

namespace {

const char kEnvelope11Start[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:sntr=\"urn:sntr:gui-connector\"><SOAP-ENV:Body>";
const char kEnvelope12Start[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:sntr=\"urn:sntr:gui-connector\"><SOAP-ENV:Body>";
const char kEnvelopeEnd[] = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

class SoapReads : public SoapDaemon {
protected:
    // The response element of operation, cut out of the reply's Body.
    std::string body(const std::string &operation, int soap_version = 1)
    {
        return xml_text(call(&conn, operation, "", soap_version), "SOAP-ENV:Body");
    }

    http_conn conn;
};

TEST_F(SoapReads, VersionInfoIsOneExactLineInEitherSoapVersion)
{
    ASSERT_TRUE(start());
    http_reply r;
    ASSERT_TRUE(http_connect(&conn, port));
    ASSERT_EQ(http_call(&conn, soap_request("get-versionInfo"), &r), HTTP_REPLY);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.head.find("text/xml; charset=utf-8"), std::string::npos) << r.head;
    EXPECT_EQ(r.body, std::string(kEnvelope11Start) +
                          "<sntr:versionInfo><interface-version>2</interface-version>"
                          "</sntr:versionInfo>" +
                          kEnvelopeEnd);

    // A SOAP 1.2 request on the same kept-alive connection is answered in SOAP 1.2.
    ASSERT_EQ(http_call(&conn, soap_request("get-versionInfo", "", 2), &r, 2), HTTP_REPLY);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.head.find("application/soap+xml; charset=utf-8"), std::string::npos) << r.head;
    EXPECT_EQ(r.body, std::string(kEnvelope12Start) +
                          "<sntr:versionInfo><interface-version>2</interface-version>"
                          "</sntr:versionInfo>" +
                          kEnvelopeEnd);
    expect_clean_stop();
}

TEST_F(SoapReads, VersionNumbersFollowItemsOneToThree)
{
    ASSERT_TRUE(start());
    EXPECT_EQ(body("get-binVersionNumber"), "<sntr:get-binVersionNumberResponse><ver>0</ver>"
                                            "</sntr:get-binVersionNumberResponse>");
    ASSERT_TRUE(send({"1", "S", "I", "17"}));
    ASSERT_TRUE(send({"engVersionNumber", "S", "I", "-5"}));
    ASSERT_TRUE(send({"3", "S", "I", "0x10"}));
    EXPECT_EQ(body("get-binVersionNumber"), "<sntr:get-binVersionNumberResponse><ver>17</ver>"
                                            "</sntr:get-binVersionNumberResponse>");
    EXPECT_EQ(body("get-engVersionNumber"), "<sntr:get-engVersionNumberResponse><ver>-5</ver>"
                                            "</sntr:get-engVersionNumberResponse>");
    EXPECT_EQ(body("get-vdfVersionNumber"), "<sntr:get-vdfVersionNumberResponse><ver>16</ver>"
                                            "</sntr:get-vdfVersionNumberResponse>");
    // A later set replaces the value.
    ASSERT_TRUE(send({"1", "S", "I", "2147483647"}));
    EXPECT_EQ(xml_text(body("get-binVersionNumber"), "ver"), "2147483647");
}

TEST_F(SoapReads, CurrentConffileIsEmptyUntilItemFour)
{
    ASSERT_TRUE(start());
    EXPECT_EQ(body("get-currentConffile"),
              "<sntr:get-currentConffileResponse><fn></fn></sntr:get-currentConffileResponse>");
    ASSERT_TRUE(send({"currentConffile", "S", "S", "/etc/scanner/scanner.conf"}));
    EXPECT_EQ(body("get-currentConffile"),
              "<sntr:get-currentConffileResponse><fn>/etc/scanner/scanner.conf</fn>"
              "</sntr:get-currentConffileResponse>");
    ASSERT_TRUE(send({"4", "S", "S", "/etc/other.conf"}));
    EXPECT_EQ(xml_text(body("get-currentConffile"), "fn"), "/etc/other.conf");
}

TEST_F(SoapReads, CurrentStatsCarry64BitCountersAndIncrements)
{
    ASSERT_TRUE(start());
    EXPECT_EQ(body("get-currentStats"),
              "<sntr:currentStats><numDaemons>0</numDaemons><accessMask>0</accessMask>"
              "<scannedFiles>0</scannedFiles><scannedBytes>0</scannedBytes>"
              "<blockedCount>0</blockedCount></sntr:currentStats>");

    ASSERT_TRUE(send({"numDaemons", "S", "I", "3"}));
    ASSERT_TRUE(send({"accessMask", "S", "I", "0x0c"}));
    ASSERT_TRUE(send({"scannedFiles", "S", "Z", "1099511627776"}));  // 2^40
    ASSERT_TRUE(send({"scannedFiles", "I", "Z", "5"}));
    ASSERT_TRUE(send({"scannedBytes", "S", "Z", "9000000000000000000"}));
    ASSERT_TRUE(send({"scannedBytes", "I", "Z", "-1"}));
    ASSERT_TRUE(send({"blockedCount", "S", "Z", "4294967296"}));  // 2^32
    ASSERT_TRUE(send({"blockedCount", "I", "Z", "2"}));
    ASSERT_TRUE(send({"blockedCount", "I", "Z", "3"}));
    std::string stats = body("get-currentStats");
    EXPECT_EQ(stats, "<sntr:currentStats><numDaemons>3</numDaemons><accessMask>12</accessMask>"
                     "<scannedFiles>1099511627781</scannedFiles>"
                     "<scannedBytes>8999999999999999999</scannedBytes>"
                     "<blockedCount>4294967301</blockedCount></sntr:currentStats>");

    // The counters wrap like two's complement integers when an increment passes 2^63 - 1.
    ASSERT_TRUE(send({"scannedBytes", "S", "Z", "9223372036854775807"}));
    ASSERT_TRUE(send({"scannedBytes", "I", "Z", "1"}));
    EXPECT_EQ(xml_text(body("get-currentStats"), "scannedBytes"), "-9223372036854775808");
}

TEST_F(SoapReads, LogChangedIsTakenOnce)
{
    ASSERT_TRUE(start());
    EXPECT_EQ(body("get-logChanged"),
              "<sntr:get-logChangedResponse><log-changed>false</log-changed>"
              "</sntr:get-logChangedResponse>");
    ASSERT_TRUE(send({"logChanged", "S", "I", "1"}));
    ASSERT_TRUE(send({"logChanged", "I", "I", "2"}));
    EXPECT_EQ(body("get-logChanged"), "<sntr:get-logChangedResponse><log-changed>true</log-changed>"
                                      "</sntr:get-logChangedResponse>");
    // Reading it reset the counter, for every client: a new connection sees false too.
    EXPECT_EQ(xml_text(body("get-logChanged"), "log-changed"), "false");
    http_conn other;
    EXPECT_EQ(xml_text(call(&other, "get-logChanged"), "log-changed"), "false");
    // Adding 0 to a zero counter leaves nothing to report.
    ASSERT_TRUE(send({"12", "I", "I", "0"}));
    EXPECT_EQ(xml_text(body("get-logChanged"), "log-changed"), "false");
}

TEST_F(SoapReads, StringsComeBackAsSevenBitText)
{
    ASSERT_TRUE(start());
    // A raw 0xE9 byte, an ampersand, angle brackets, a quote and a tab, as a scanner daemon
    // with a Latin-1 file name would send them.
    ASSERT_TRUE(send({"currentConffile", "S", "S", "/etc/caf\xE9 & <x> \"q\"\tend"}));
    EXPECT_EQ(xml_text(body("get-currentConffile"), "fn"),
              "/etc/caf&#233; &amp; &lt;x&gt; \"q\"\tend");
    // The same in SOAP 1.2, and nothing type-annotated or encoded in either reply.
    std::string reply = call(&conn, "get-currentConffile", "", 2);
    EXPECT_EQ(xml_text(reply, "fn"), "/etc/caf&#233; &amp; &lt;x&gt; \"q\"\tend");
    EXPECT_EQ(reply.compare(0, sizeof kEnvelope12Start - 1, kEnvelope12Start), 0) << reply;
    EXPECT_EQ(reply.find("xsi:type"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("encodingStyle"), std::string::npos) << reply;
    EXPECT_EQ(reply.find(" id="), std::string::npos) << reply;
    EXPECT_EQ(reply.find("href="), std::string::npos) << reply;
}

}  // namespace
