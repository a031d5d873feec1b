// The blocked-file ring and the long polls end to end: what status-send reports as item 5
// comes back through get-blockedFile, get-blockedFile2 and get-lastBlockedFile with its
// sequence number, requests for records not there yet block until they arrive, and
// get-lastScannedFile waits for the next item 6 on a new connection.
#include "process/soap_daemon.h"

namespace {

class SoapBlocked : public SoapDaemon {
protected:
    // A blocked file as a scanner daemon reports it: field text with every member.
    ::testing::AssertionResult send_blocked(const std::string &object, int reason,
                                            const std::string &info = "Eicar-Test-Signature")
    {
        return send(
            {"blockedFile", "S", "s",
             "\\nSO=" + object + "\\nBR=" + std::to_string(reason) + "\\nAN=" + info +
                 "\\nAT=heuristic\\nAC=deny\\nUM=uid 1000\\nUR=http://alerts/?id=7&lang=en"});
    }

    static std::string blocked2(const std::string &object, const std::string &reason,
                                const std::string &info, unsigned index)
    {
        return "<sntr:blockedFile2><object>" + object + "</object><reason>" + reason +
               "</reason><info>" + info +
               "</info><add-info>heuristic</add-info><action>deny</action><source>uid 1000"
               "</source><index>" +
               std::to_string(index) +
               "</index><alerturl>http://alerts/?id=7&amp;lang=en</alerturl></sntr:blockedFile2>";
    }

    static std::string blocked1(const std::string &filename, const std::string &info,
                                unsigned index)
    {
        return "<sntr:blockedFile><filename>" + filename + "</filename><information>" + info +
               "</information><index>" + std::to_string(index) + "</index></sntr:blockedFile>";
    }

    static std::string index_child(unsigned index)
    {
        return "<index>" + std::to_string(index) + "</index>";
    }

    std::string body(http_conn *c, const std::string &operation, const std::string &children)
    {
        return xml_text(call(c, operation, children), "SOAP-ENV:Body");
    }
};

TEST_F(SoapBlocked, BlockedFile2MapsEveryMemberAndEveryReason)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(send_blocked("/home/user/alert.doc", 7));
    ASSERT_TRUE(send_blocked("/home/user/odd.bin", 3));
    ASSERT_TRUE(send_blocked("/home/user/neg.exe", -1));
    ASSERT_TRUE(send_blocked("/home/user/ext.vbs", 4));
    // Kind 2 carries only object and info: reason 0 and empty strings for the rest.
    ASSERT_TRUE(send({"5", "S", "2", "/srv/share/x.zip", "Archive.Bomb"}));

    http_conn c;
    EXPECT_EQ(body(&c, "get-blockedFile2", index_child(0)),
              blocked2("/home/user/alert.doc", "BLOCKED-ALERT", "Eicar-Test-Signature", 0));
    EXPECT_EQ(body(&c, "get-blockedFile2", index_child(1)),
              blocked2("/home/user/odd.bin", "BLOCKED-UNSUPPORTED", "Eicar-Test-Signature", 1));
    EXPECT_EQ(xml_text(body(&c, "get-blockedFile2", index_child(2)), "reason"), "BLOCKED-ALERT");
    EXPECT_EQ(xml_text(body(&c, "get-blockedFile2", index_child(3)), "reason"),
              "BLOCKED-EXTENSION");
    EXPECT_EQ(body(&c, "get-blockedFile2", index_child(4)),
              "<sntr:blockedFile2><object>/srv/share/x.zip</object><reason>BLOCKED-ALERT</reason>"
              "<info>Archive.Bomb</info><add-info></add-info><action></action><source></source>"
              "<index>4</index><alerturl></alerturl></sntr:blockedFile2>");
    // A request without an index child asks for index 0.
    EXPECT_EQ(xml_text(call(&c, "get-blockedFile2"), "object"), "/home/user/alert.doc");
}

TEST_F(SoapBlocked, BlockedFileIsTheShortFormWithEscapedText)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(send({"5", "S", "2", "/tmp/first", "Sig.One"}));
    ASSERT_TRUE(send({"5", "S", "2", "/home/ren\xE9/a&b<c>.doc", "Sig & <Two>"}));
    http_conn c;
    EXPECT_EQ(body(&c, "get-blockedFile", index_child(1)),
              blocked1("/home/ren&#233;/a&amp;b&lt;c&gt;.doc", "Sig &amp; &lt;Two&gt;", 1));
    EXPECT_EQ(xml_text(body(&c, "get-blockedFile2", index_child(1)), "object"),
              "/home/ren&#233;/a&amp;b&lt;c&gt;.doc");
    EXPECT_EQ(body(&c, "get-blockedFile", ""), blocked1("/tmp/first", "Sig.One", 0));
}

TEST_F(SoapBlocked, FirstRecordEverReleasesAnIndexWait)
{
    ASSERT_TRUE(start());
    http_conn a, b;
    ASSERT_TRUE(post_blocked(&a, "get-blockedFile", index_child(0)));
    ASSERT_TRUE(post_blocked(&b, "get-blockedFile2", index_child(5)));
    ASSERT_TRUE(send({"5", "S", "2", "/tmp/very-first", "Sig"}));
    EXPECT_EQ(xml_text(answer(&a, "get-blockedFile"), "SOAP-ENV:Body"),
              blocked1("/tmp/very-first", "Sig", 0));
    EXPECT_EQ(xml_text(answer(&b, "get-blockedFile2"), "index"), "0");
}

TEST_F(SoapBlocked, AlreadyFetchedArrivalDoesNotEndAnIndexWait)
{
    ASSERT_TRUE(start());
    http_conn c;
    ASSERT_TRUE(http_connect(&c, port));
    // Record 0 arrives while c is connected, so c has a notification pending for it...
    ASSERT_TRUE(send({"5", "S", "2", "/seen", "Sig"}));
    EXPECT_EQ(xml_text(call(&c, "get-blockedFile", index_child(0)), "filename"), "/seen");
    // ...which must not count as news when c then asks for the record after it.
    ASSERT_TRUE(post_blocked(&c, "get-blockedFile", index_child(1)));
    ASSERT_TRUE(send({"5", "S", "2", "/next", "Sig"}));
    EXPECT_EQ(xml_text(answer(&c, "get-blockedFile"), "SOAP-ENV:Body"),
              blocked1("/next", "Sig", 1));
}

TEST_F(SoapBlocked, RingKeepsTheNewest1024AndIndexTotalWaitsForTheNext)
{
    // The message queue transport holds the sender back instead of dropping records, so
    // every one of the 1030 reports arrives.
    ASSERT_TRUE(start({"-U"}));
    std::string lines;
    for (int i = 0; i < 1030; i++)
        lines += "5 S 2 /data/file-" + std::to_string(i) + "\tSig-" + std::to_string(i) + "\n";
    ASSERT_TRUE(send_batch(lines, 1030));

    http_conn c;
    // Records 0-5 were dropped: asking for any of them gives the oldest held one, 6,
    // with its own index.
    EXPECT_EQ(body(&c, "get-blockedFile", index_child(0)), blocked1("/data/file-6", "Sig-6", 6));
    EXPECT_EQ(body(&c, "get-blockedFile", index_child(5)), blocked1("/data/file-6", "Sig-6", 6));
    EXPECT_EQ(xml_text(body(&c, "get-blockedFile2", index_child(3)), "index"), "6");
    EXPECT_EQ(body(&c, "get-blockedFile", index_child(6)), blocked1("/data/file-6", "Sig-6", 6));
    EXPECT_EQ(body(&c, "get-blockedFile", index_child(1029)),
              blocked1("/data/file-1029", "Sig-1029", 1029));
    // An index far ahead is not waited for: it also gives the oldest held record.
    EXPECT_EQ(body(&c, "get-blockedFile", index_child(5000)), blocked1("/data/file-6", "Sig-6", 6));

    // index = total: the client has seen everything, so it waits for exactly the next one.
    ASSERT_TRUE(post_blocked(&c, "get-blockedFile", index_child(1030)));
    http_conn d;
    ASSERT_TRUE(post_blocked(&d, "get-blockedFile2", index_child(1030)));
    ASSERT_TRUE(send({"5", "S", "2", "/data/file-1030", "Sig-1030"}));
    EXPECT_EQ(xml_text(answer(&c, "get-blockedFile"), "SOAP-ENV:Body"),
              blocked1("/data/file-1030", "Sig-1030", 1030));
    EXPECT_EQ(xml_text(answer(&d, "get-blockedFile2"), "object"), "/data/file-1030");
    // Now 7 is the oldest held record.
    EXPECT_EQ(xml_text(body(&c, "get-blockedFile", index_child(0)), "index"), "7");
    expect_clean_stop();
}

TEST_F(SoapBlocked, LastBlockedFileWaitsOnAFreshConnection)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(send({"5", "S", "2", "/old/one", "Sig"}));
    ASSERT_TRUE(send({"5", "S", "2", "/old/two", "Sig"}));

    // Older records exist, but a new connection has seen no arrival yet. One arrival
    // releases every connection waiting for it.
    http_conn c, other;
    ASSERT_TRUE(post_blocked(&c, "get-lastBlockedFile"));
    ASSERT_TRUE(post_blocked(&other, "get-lastBlockedFile"));
    ASSERT_TRUE(send({"5", "S", "2", "/new/three", "Sig.3"}));
    EXPECT_EQ(xml_text(answer(&c, "get-lastBlockedFile"), "SOAP-ENV:Body"),
              blocked1("/new/three", "Sig.3", 2));
    EXPECT_EQ(xml_text(answer(&other, "get-lastBlockedFile"), "SOAP-ENV:Body"),
              blocked1("/new/three", "Sig.3", 2));

    // Three arrivals between two calls: the next call answers at once with the newest,
    // and the older two can still be fetched by index.
    ASSERT_TRUE(send({"5", "S", "2", "/new/four", "Sig"}));
    ASSERT_TRUE(send({"5", "S", "2", "/new/five", "Sig"}));
    ASSERT_TRUE(send({"5", "S", "2", "/new/six", "Sig.6"}));
    EXPECT_EQ(xml_text(call(&c, "get-lastBlockedFile"), "SOAP-ENV:Body"),
              blocked1("/new/six", "Sig.6", 5));
    EXPECT_EQ(xml_text(call(&c, "get-blockedFile", index_child(3)), "filename"), "/new/four");
    // Everything pending was taken: the next call waits again.
    ASSERT_TRUE(post_blocked(&c, "get-lastBlockedFile"));
    ASSERT_TRUE(send({"5", "S", "2", "/new/seven", "Sig"}));
    EXPECT_EQ(xml_text(answer(&c, "get-lastBlockedFile"), "index"), "6");
}

TEST_F(SoapBlocked, LastScannedFileWaitsForTheNextItemSix)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(send({"lastScannedFile", "S", "S", "/already/there"}));
    http_conn c;
    ASSERT_TRUE(post_blocked(&c, "get-lastScannedFile"));
    ASSERT_TRUE(send({"6", "S", "S", "/scanned/now"}));
    EXPECT_EQ(xml_text(answer(&c, "get-lastScannedFile"), "SOAP-ENV:Body"),
              "<sntr:get-lastScannedFileResponse><fn>/scanned/now</fn>"
              "</sntr:get-lastScannedFileResponse>");
    // Two updates while nobody asks: the next call answers at once with the latest only.
    ASSERT_TRUE(send({"6", "S", "S", "/scanned/a"}));
    ASSERT_TRUE(send({"6", "S", "S", "/scanned/b"}));
    EXPECT_EQ(xml_text(call(&c, "get-lastScannedFile"), "fn"), "/scanned/b");
    ASSERT_TRUE(post_blocked(&c, "get-lastScannedFile"));
    // A blocked file is another event: it does not release a last-scanned wait.
    ASSERT_TRUE(send({"5", "S", "2", "/x", "Sig"}));
    EXPECT_TRUE(http_silent_for(&c, kStillBlockedMs));
    ASSERT_TRUE(send({"6", "S", "S", "/scanned/c"}));
    EXPECT_EQ(xml_text(answer(&c, "get-lastScannedFile"), "fn"), "/scanned/c");
}

}  // namespace
