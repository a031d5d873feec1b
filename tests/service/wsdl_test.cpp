// The installed WSDL must load in an independent SOAP toolkit and offer every operation.
#include <gtest/gtest.h>

#include <string>

#include "support/http_client.h"
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

// What the WSDL carries beyond soapcpp2's output, read back by tests/interop/wsdl_parts.py:
// every input and output is named (the input after its operation, the output after its
// response element, unique within the portType), in the portType and in both bindings;
// a SOAP 1.2 binding and port stand beside the 1.1 ones, the 1.1 port first; a JAX-WS
// customisation turns wrapper style off.
TEST(Wsdl, NamesEveryInputAndOutputAndPublishesASoap12BindingAndPort)
{
    std::string out, err;
    ASSERT_EQ(run_command({kPython, std::string(GC_SOURCE_DIR) + "/tests/interop/wsdl_parts.py",
                           std::string(GC_BUILD_DIR) + "/gui-connector.wsdl"},
                          &out, &err, 60000),
              0)
        << err;
    // Operation, output name (none: one-way), output message.
    const struct {
        const char *op, *output, *message;
    } ops[] = {
        {"get-versionInfo", "versionInfo", "versionInfo"},
        {"get-binVersionNumber", "get-binVersionNumberResponse", "get-binVersionNumberResponse"},
        {"get-engVersionNumber", "get-engVersionNumberResponse", "get-engVersionNumberResponse"},
        {"get-vdfVersionNumber", "get-vdfVersionNumberResponse", "get-vdfVersionNumberResponse"},
        {"get-currentConffile", "get-currentConffileResponse", "get-currentConffileResponse"},
        {"get-lastBlockedFile", "blockedFile", "blockedFile"},
        {"get-blockedFile", "blockedFileResponse", "blockedFile"},
        {"get-blockedFile2", "blockedFile2", "blockedFile2"},
        {"get-lastScannedFile", "get-lastScannedFileResponse", "get-lastScannedFileResponse"},
        {"get-currentStats", "currentStats", "currentStats"},
        {"get-logChanged", "get-logChangedResponse", "get-logChangedResponse"},
        {"reload", nullptr, nullptr},
        {"stop", nullptr, nullptr},
        {"ping", "pingResponse", "pingResponse"},
        {"register-client", "register-clientResponse", "register-clientResponse"},
        {"unregister-client", nullptr, nullptr},
    };
    std::string want;
    for (const auto &o : ops) {
        want += std::string("portType ") + o.op + " input " + o.op + " tns:" + o.op + "\n";
        if (o.output)
            want += std::string("portType ") + o.op + " output " + o.output + " tns:" + o.message +
                    "\n";
    }
    const char kTransport[] = "transport=http://schemas.xmlsoap.org/soap/http\n";
    for (const char *b : {"gui_connector", "gui_connector_soap12"}) {
        const std::string v = std::string(b) == "gui_connector" ? "1.1" : "1.2";
        want += std::string("binding ") + b + " tns:gui_connectorPortType SOAP " + v +
                " style=document " + kTransport;
        want += std::string("binding ") + b + " operations 16 with " + v + ":operation 16\n";
        for (const auto &o : ops) {
            want += std::string("binding ") + b + " " + o.op + " input " + o.op + " -\n";
            if (o.output)
                want += std::string("binding ") + b + " " + o.op + " output " + o.output + " -\n";
        }
    }
    want += "port gui_connector gui_connector tns:gui_connector SOAP 1.1 http://localhost:50359/\n"
            "port gui_connector gui_connector_soap12 tns:gui_connector_soap12 SOAP 1.2 "
            "http://localhost:50359/\n"
            "jaxws enableWrapperStyle false\n";
    EXPECT_EQ(out, want);
}

TEST(Wsdl, ZeepOffersBothPortsWithTheSameOperations)
{
    std::string out, err;
    if (run_command({kPython, "-c", "import zeep"}, &out, &err) != 0)
        GTEST_SKIP() << "python3-zeep is not installed";
    const std::string wsdl = std::string(GC_BUILD_DIR) + "/gui-connector.wsdl";
    ASSERT_EQ(run_command({kPython, "-m", "zeep", wsdl}, &out, &err, 60000), 0) << err;
    const std::string p11 =
        "Port: gui_connector (Soap11Binding: {urn:sntr:gui-connector}gui_connector)";
    const std::string p12 =
        "Port: gui_connector_soap12 (Soap12Binding: {urn:sntr:gui-connector}gui_connector_soap12)";
    size_t a = out.find(p11), b = out.find(p12);
    ASSERT_NE(a, std::string::npos) << out;
    ASSERT_NE(b, std::string::npos) << out;
    EXPECT_LT(a, b) << "the SOAP 1.1 port must stay the first";
    // The two ports list the same operations with the same signatures.
    std::string ops11 = out.substr(a + p11.size(), b - a - p11.size());
    std::string ops12 = out.substr(b + p12.size());
    auto trim = [](std::string s) {
        size_t e = s.find_last_not_of(" \n");
        return e == std::string::npos ? std::string() : s.substr(0, e + 1);
    };
    EXPECT_EQ(trim(ops11), trim(ops12));
    EXPECT_EQ(count_of(ops12, "\n            "), 16) << ops12;
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
