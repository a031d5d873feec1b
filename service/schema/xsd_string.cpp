// Hand-written serializer of the string type that gui_connector.h declares extern:
// xsd__string, every string member, the fault texts of both SOAP versions among them.
//
// Clients read the replies as 7-bit text in which stored ISO-8859-1 bytes arrive as
// decimal character references and line ends survive as &#xD;/&#xA;; control bytes
// that XML cannot carry at all arrive as U+FFFD. The runtime's writer
// sends bytes >= 0x80 raw or as hex references, LF raw and control bytes escaped, and
// writes "" as an empty-element tag, in every mode it has; so these writers escape on
// their own. Reading keeps the runtime's string reader.
#include "soapH.h"

#include <cstdio>
#include <cstring>

// Writes s as element content. Runs of bytes that need no escape go out in one call;
// both the counting pass and the sending pass come through here, so Content-Length
// always matches what is sent.
static int put_escaped(struct soap *soap, const char *s)
{
    const char *run = s;
    for (const char *p = s; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        char ref[8];
        const char *esc = nullptr;
        switch (c) {
        case '&': esc = "&amp;"; break;
        case '<': esc = "&lt;"; break;
        case '>': esc = "&gt;"; break;
        case '\r': esc = "&#xD;"; break;
        case '\n': esc = "&#xA;"; break;
        case '\t': break;
        default:
            if (c >= 0x80) {
                snprintf(ref, sizeof ref, "&#%lu;", static_cast<unsigned long>(c));
                esc = ref;
            } else if (c < 0x20) {
                // XML 1.0 has no way to write these, not even as references: a raw one
                // makes a strict parser refuse the whole reply. The replacement
                // character keeps the reply readable and shows that a byte was there.
                esc = "&#65533;";
            }
            break;
        }
        if (!esc)
            continue;
        if (p > run && soap_send_raw(soap, run, static_cast<size_t>(p - run)))
            return soap->error;
        if (soap_send_raw(soap, esc, strlen(esc)))
            return soap->error;
        run = p + 1;
    }
    const size_t tail = strlen(run);
    if (tail && soap_send_raw(soap, run, tail))
        return soap->error;
    return SOAP_OK;
}

void soap_default_xsd__string(struct soap *soap, char **a)
{
    (void)soap;
    *a = nullptr;
}

// Strings are always written in place (no id/href), so there is nothing to record.
void soap_serialize_xsd__string(struct soap *soap, char *const *a)
{
    (void)soap;
    (void)a;
}

// A null string writes nothing at all; "" writes <tag></tag>.
int soap_out_xsd__string(struct soap *soap, const char *tag, int id, char *const *a,
                         const char *type)
{
    (void)id;
    if (!a || !*a)
        return SOAP_OK;
    if (soap_element_begin_out(soap, tag, 0, type) || put_escaped(soap, *a))
        return soap->error;
    return soap_element_end_out(soap, tag);
}

char **soap_in_xsd__string(struct soap *soap, const char *tag, char **a, const char *type)
{
    return soap_instring(soap, tag, a, type, SOAP_TYPE_xsd__string, 1, 0, -1, nullptr);
}
