// The installed WSDL must load in an independent SOAP toolkit and offer every operation.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

// Debian's python3-zeep lives in the system interpreter, not in one on PATH.
const char kPython[] = "/usr/bin/python3";

TEST(Wsdl, LoadsInZeepWithTheSixteenOperations)
{
    std::string out, err;
    if (run_command({kPython, "-c", "import zeep"}, &out, &err) != 0)
        GTEST_SKIP() << "python3-zeep is not installed";
    const std::string wsdl = std::string(GC_BUILD_DIR) + "/gui-connector.wsdl";
    ASSERT_EQ(run_command({kPython, "-m", "zeep", wsdl}, &out, &err, 60000), 0) << err;
    const char *ops[] = {
        "get-versionInfo() -> interface-version: xsd:int",
        "get-binVersionNumber() -> ver: xsd:long",
        "get-engVersionNumber() -> ver: xsd:long",
        "get-vdfVersionNumber() -> ver: xsd:long",
        "get-currentConffile() -> fn: xsd:string",
        "get-lastBlockedFile() -> filename: xsd:string, information: xsd:string, index: "
        "xsd:unsignedInt",
        "get-blockedFile(index: xsd:unsignedInt) -> filename: xsd:string",
        "get-blockedFile2(index: xsd:unsignedInt) -> object: xsd:string, reason: "
        "ns0:blockedReason, info: xsd:string, add-info: xsd:string, action: xsd:string, "
        "source: xsd:string, index: xsd:unsignedInt, alerturl: xsd:string",
        "get-lastScannedFile() -> fn: xsd:string",
        "get-currentStats() -> numDaemons: xsd:int, accessMask: xsd:int, scannedFiles: "
        "xsd:long, scannedBytes: xsd:long, blockedCount: xsd:long",
        "get-logChanged() -> log-changed: xsd:boolean",
        "reload()\n",
        "stop()\n",
        "ping() -> foo: xsd:int",
        "register-client() -> id: xsd:unsignedLong",
        "unregister-client(id: xsd:unsignedLong)\n",
    };
    for (const char *op : ops)
        EXPECT_NE(out.find(op), std::string::npos) << op << "\n" << out;
}

TEST(Wsdl, NamesTheDefaultServiceAddressAndShipsTheSchema)
{
    std::string out, err;
    const std::string dir = GC_BUILD_DIR;
    ASSERT_EQ(run_command({"/bin/grep", "-c", "location=\"http://localhost:50359/\"",
                           dir + "/gui-connector.wsdl"},
                          &out, &err),
              0);
    ASSERT_EQ(run_command({"/bin/grep", "-c", "targetNamespace=\"urn:sntr:gui-connector\"",
                           dir + "/sntr.xsd"},
                          &out, &err),
              0);
}

}  // namespace
