// Interoperability with a third-party SOAP stack: Debian's python3-zeep builds its client
// from the installed WSDL alone and calls every two-way operation of a real daemon fed
// by status-send; each answer must carry what status-send put in. Then it reads the
// code and text of an unknown client id and a failed forward on both SOAP ports.
// Skipped, with a message, where /usr/bin/python3 cannot import zeep.
#include "process/soap_daemon.h"

namespace {

constexpr char kPython[] = "/usr/bin/python3";

class ZeepInterop : public SoapDaemon {};

TEST_F(ZeepInterop, EveryTwoWayOperationAnswersWhatStatusSendPutIn)
{
    std::string out, err;
    if (run_command({kPython, "-c", "import zeep"}, &out, &err) != 0)
        GTEST_SKIP() << kPython << " cannot import zeep (Debian package python3-zeep): " << err;

    ASSERT_TRUE(start());
    ASSERT_TRUE(send({"binVersionNumber", "S", "I", "7"}));
    ASSERT_TRUE(send({"engVersionNumber", "S", "I", "-8"}));
    ASSERT_TRUE(send({"vdfVersionNumber", "S", "I", "2147483647"}));
    ASSERT_TRUE(send({"currentConffile", "S", "S", "/etc/ren\\xe9 & <co>.conf"}));
    ASSERT_TRUE(send({"numDaemons", "S", "I", "3"}));
    ASSERT_TRUE(send({"accessMask", "S", "I", "5"}));
    ASSERT_TRUE(send({"scannedFiles", "S", "Z", "4294967296"}));
    ASSERT_TRUE(send({"scannedBytes", "S", "Z", "1099511627776"}));
    ASSERT_TRUE(send({"blockedCount", "S", "Z", "2"}));
    ASSERT_TRUE(send({"logChanged", "S", "I", "1"}));
    ASSERT_TRUE(send({"blockedFile", "S", "2", "/srv/first.zip", "Archive.Bomb"}));
    ASSERT_TRUE(send({"blockedFile", "S", "s",
                      "\\nSO=/home/user/a&b.doc\\nBR=2\\nAN=Eicar\\nAT=heuristic\\nAC=deny"
                      "\\nUM=uid 1000\\nUR=http://alerts/?id=7&lang=en"}));

    child_proc py;
    child_guard g(&py);
    ASSERT_TRUE(
        spawn(&py,
              {kPython, std::string(GC_SOURCE_DIR) + "/tests/interop/zeep_check.py",
               build_path("gui-connector.wsdl"), "http://127.0.0.1:" + std::to_string(port) + "/"},
              true));
    ASSERT_TRUE(wait_for_output(&py, "READY\n", 1, 60000)) << py.out << "\n" << py.err;
    // News for the long polls, on the connection zeep already holds.
    ASSERT_TRUE(send({"blockedFile", "S", "2", "/tmp/newest", "Sig.New"}));
    ASSERT_TRUE(send({"lastScannedFile", "S", "S", "/home/user/scanned.txt"}));
    ASSERT_TRUE(fail_forwards_when_asked(&py));
    ASSERT_EQ(wait_exit(&py, 60000), 0) << py.out << "\n" << py.err;

    const std::string before_id =
        "get-versionInfo\t2\n"
        "get-binVersionNumber\t7\n"
        "get-engVersionNumber\t-8\n"
        "get-vdfVersionNumber\t2147483647\n"
        "get-currentConffile\t\"/etc/ren\\u00e9 & <co>.conf\"\n"
        "get-blockedFile\t{\"filename\": \"/srv/first.zip\", \"information\": \"Archive.Bomb\", "
        "\"index\": 0}\n"
        "get-blockedFile2\t{\"object\": \"/home/user/a&b.doc\", \"reason\": "
        "\"BLOCKED-ENCRYPTED\", \"info\": \"Eicar\", \"add-info\": \"heuristic\", \"action\": "
        "\"deny\", \"source\": \"uid 1000\", \"index\": 1, \"alerturl\": "
        "\"http://alerts/?id=7&lang=en\"}\n"
        "get-currentStats\t{\"numDaemons\": 3, \"accessMask\": 5, \"scannedFiles\": 4294967296, "
        "\"scannedBytes\": 1099511627776, \"blockedCount\": 2}\n"
        "get-logChanged\ttrue\n"
        "ping\t1\n"
        "register-client\t";
    ASSERT_EQ(py.out.substr(0, before_id.size()), before_id) << py.out;
    size_t id_end = py.out.find('\n', before_id.size());
    ASSERT_NE(id_end, std::string::npos);
    std::string id = py.out.substr(before_id.size(), id_end - before_id.size());
    EXPECT_FALSE(id.empty());
    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
    EXPECT_EQ(
        py.out.substr(id_end + 1),
        "READY\n"
        "get-lastBlockedFile\t{\"filename\": \"/tmp/newest\", \"information\": \"Sig.New\", "
        "\"index\": 2}\n"
        "get-lastScannedFile\t\"/home/user/scanned.txt\"\n"
        "FAULTS\n"
        "1.1 unregister-client\t{\"code\": \"SOAP-ENV:Client\", \"text\": "
        "\"unknown client id\"}\n"
        "1.1 ping\t{\"code\": \"SOAP-ENV:Client\", \"text\": \"could not forward request\"}\n"
        "1.2 unregister-client\t{\"code\": \"SOAP-ENV:Sender\", \"text\": "
        "\"unknown client id\"}\n"
        "1.2 ping\t{\"code\": \"SOAP-ENV:Sender\", \"text\": \"could not forward request\"}\n");
}

}  // namespace
