// Interface declaration of the GUI connector's SOAP service, read by soapcpp2 at build
// time to generate the marshalling code, the namespace table, the server and client
// stubs, the WSDL and the XML schema. It is not a C++ header: nothing includes it.
// Kept out of the formatter, which would break the //gsoap directives.
// clang-format off
//
// Document/literal, children unqualified. Every string is an xsd__string, whose writer
// is hand-written (xsd_string.cpp): clients expect 7-bit replies with decimal character
// references, which no mode of the runtime's own writer produces.

//gsoap sntr service name:        gui-connector
//gsoap sntr service style:       document
//gsoap sntr service encoding:    literal
//gsoap sntr service namespace:   urn:sntr:gui-connector
//gsoap sntr service location:    http://localhost:50359/
//gsoap sntr schema namespace:    urn:sntr:gui-connector
//gsoap sntr schema elementForm:  unqualified
//gsoap sntr schema attributeForm: unqualified

// Written by xsd_string.cpp, read by the runtime's string reader; xsd:string on the wire.
extern typedef char *xsd__string;

enum xsd__boolean { false_, true_ };

// A stored reason outside 0-4 never reaches the wire: the operations map it to 0.
enum sntr__blockedReason {
    BLOCKED_ALERT,
    BLOCKED_SUSPICIOUS,
    BLOCKED_ENCRYPTED,
    BLOCKED_UNSUPPORTED,
    BLOCKED_EXTENSION
};

struct sntr__versionInfo {
    int interface_version 1;
};

// Short form of a blocked-file record; index is its sequence number.
struct sntr__blockedFile {
    xsd__string filename 0;
    xsd__string information 0;
    unsigned int index 1;
};

// Long form of a blocked-file record.
struct sntr__blockedFile2 {
    xsd__string object 0;
    enum sntr__blockedReason reason 1;
    xsd__string info 0;
    xsd__string add_info 0;
    xsd__string action 0;
    xsd__string source 0;
    unsigned int index 1;
    xsd__string alerturl 0;
};

struct sntr__currentStats {
    int numDaemons 1;
    int accessMask 1;
    LONG64 scannedFiles 1;
    LONG64 scannedBytes 1;
    LONG64 blockedCount 1;
};

// The wrappers hold their output by reference, so that the operation fills a value of
// the serve routine's own and a missing string leaves the wrapper empty.
struct sntr__get_binVersionNumberResponse { long *ver 1; };
struct sntr__get_engVersionNumberResponse { long *ver 1; };
struct sntr__get_vdfVersionNumberResponse { long *ver 1; };
struct sntr__get_currentConffileResponse { xsd__string *fn 0; };
struct sntr__get_lastScannedFileResponse { xsd__string *fn 0; };
struct sntr__get_logChangedResponse { enum xsd__boolean *log_changed 1; };
struct sntr__pingResponse { int *foo 1; };
struct sntr__register_clientResponse { unsigned long *id 1; };

// Header entries are skipped when read; a reply echoes an empty header.
struct SOAP_ENV__Header { };

// The 1.2 Reason's Text child (with the runtime's xml:lang) goes through the string
// writer, so it reads exactly as the 1.1 faultstring does.
struct SOAP_ENV__Reason {
    xsd__string SOAP_ENV__Text;
};

// The runtime's fault glue needs Subcode here and Node/Role in the Fault; the service
// never fills them, so they are never written.
struct SOAP_ENV__Code {
    _QName SOAP_ENV__Value;
    struct SOAP_ENV__Code *SOAP_ENV__Subcode;
};

// __any is the literal detail text, written verbatim.
struct SOAP_ENV__Detail {
    int __type;
    void *fault;
    _XML __any;
};

struct SOAP_ENV__Fault {
    _QName faultcode;
    xsd__string faultstring;
    xsd__string faultactor;
    struct SOAP_ENV__Detail *detail;
    struct SOAP_ENV__Code *SOAP_ENV__Code;
    struct SOAP_ENV__Reason *SOAP_ENV__Reason;
    xsd__string SOAP_ENV__Node;
    xsd__string SOAP_ENV__Role;
    struct SOAP_ENV__Detail *SOAP_ENV__Detail;
};

int sntr__get_versionInfo(struct sntr__versionInfo *out);
int sntr__get_binVersionNumber(struct sntr__get_binVersionNumberResponse *out);
int sntr__get_engVersionNumber(struct sntr__get_engVersionNumberResponse *out);
int sntr__get_vdfVersionNumber(struct sntr__get_vdfVersionNumberResponse *out);
int sntr__get_currentConffile(struct sntr__get_currentConffileResponse *out);
int sntr__get_lastBlockedFile(struct sntr__blockedFile *out);
int sntr__get_blockedFile(unsigned int index 0, struct sntr__blockedFile *out);
int sntr__get_blockedFile2(unsigned int index 0, struct sntr__blockedFile2 *out);
int sntr__get_lastScannedFile(struct sntr__get_lastScannedFileResponse *out);
int sntr__get_currentStats(struct sntr__currentStats *out);
int sntr__get_logChanged(struct sntr__get_logChangedResponse *out);
int sntr__reload(void);
int sntr__stop(void);
int sntr__ping(struct sntr__pingResponse *out);
int sntr__register_client(struct sntr__register_clientResponse *out);
int sntr__unregister_client(unsigned long id 0, void);
