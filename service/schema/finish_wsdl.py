#!/usr/bin/env python3
"""Finishes the WSDL that soapcpp2 generates from gui_connector.h, with what soapcpp2
cannot say itself, all of it additive (every element and attribute of the generated
WSDL stays, with its value):

- each operation's <input> and <output> is named, in the portType and in the SOAP 1.1
  binding: the input after the operation, the output after its response element
  (stacks such as strong-soap find the result element by that name when it is not
  "<operation>Response"); get-blockedFile, whose response element get-lastBlockedFile
  already names, has "blockedFileResponse", since WSDL 1.1 (2.4.5) wants the names
  unique within the portType;
- a JAX-WS customisation embedded in <definitions> turns off wrapper style, so that a
  plain "wsimport gui-connector.wsdl" succeeds: in wrapper style the request's "index"
  and the response's "index" of get-blockedFile and get-blockedFile2 would become two
  Java parameters of one name. Stacks other than JAX-WS skip the extension element;
- a SOAP 1.2 binding, gui_connector_soap12, with the same operations, and a port of the
  same name beside the SOAP 1.1 one in the one service, at the same address. The SOAP
  1.1 port stays first, the default of stacks that take the first port.

usage: finish_wsdl.py GENERATED.wsdl FINISHED.wsdl

The generated text is matched line by line against what soapcpp2 2.8 writes; anything
unexpected stops the build with a message instead of publishing a half-finished WSDL.
"""
import re
import sys
import xml.dom.minidom

SOAP11_BINDING = 'gui_connector'
SOAP12_BINDING = 'gui_connector_soap12'
SOAP12_NS = 'http://schemas.xmlsoap.org/wsdl/soap12/'
JAXWS_NS = 'http://java.sun.com/xml/ns/jaxws'
OPERATIONS = 16

# Output names that differ from the response element's name (see the docstring).
OUTPUT_NAMES = {'get-blockedFile': 'blockedFileResponse'}

JAXWS_BINDINGS = (
    '<!-- For JAX-WS (wsimport): no wrapper style, so that get-blockedFile and\n'
    '     get-blockedFile2 do not map their request and response "index" to two Java\n'
    '     parameters of one name. Other stacks skip this extension element. -->\n'
    '<jaxws:bindings xmlns:jaxws="' + JAXWS_NS + '">\n'
    '  <jaxws:enableWrapperStyle>false</jaxws:enableWrapperStyle>\n'
    '</jaxws:bindings>\n\n')


class Unexpected(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise Unexpected(what)


def section(lines, start_re, end_line):
    """Index range [begin, end] of the one block opened by a line matching start_re."""
    begins = [i for i, l in enumerate(lines) if re.match(start_re, l)]
    expect(len(begins) == 1, 'one line matching %r, found %d' % (start_re, len(begins)))
    b = begins[0]
    for e in range(b, len(lines)):
        if lines[e] == end_line:
            return b, e
    raise Unexpected('no %r after line %d' % (end_line, b + 1))


def output_names(lines, pt_begin, pt_end):
    """{operation: output name} from the portType's output messages."""
    names, op = {}, None
    for l in lines[pt_begin:pt_end]:
        m = re.match(r'  <operation name="([^"]+)">$', l)
        if m:
            op = m.group(1)
        m = re.match(r'    <output message="tns:([^"]+)"/>$', l)
        if m:
            names[op] = OUTPUT_NAMES.get(op, m.group(1))
    return names


def name_operations(lines, b, e, outputs, where):
    """Names the input and output of every operation in lines[b:e], the portType's or the
    binding's: the input after its operation, the output as outputs says."""
    op, seen = None, 0
    for i in range(b, e):
        line = lines[i]
        m = re.match(r'  <operation name="([^"]+)">$', line)
        if m:
            op, seen = m.group(1), seen + 1
        elif re.match(r'    <input[ >]', line):
            lines[i] = line.replace('<input', '<input name="%s"' % op, 1)
        elif re.match(r'    <output[ >]', line):
            expect(op in outputs, '%s output for one-way %s' % (where, op))
            lines[i] = line.replace('<output', '<output name="%s"' % outputs[op], 1)
    expect(seen == OPERATIONS, '%d operations in the %s' % (seen, where))


def soap12_binding(block):
    """The SOAP 1.1 binding's lines, made into the SOAP 1.2 binding."""
    out = []
    for l in block:
        if l.startswith('<binding name="%s" ' % SOAP11_BINDING):
            l = l.replace('name="%s"' % SOAP11_BINDING, 'name="%s"' % SOAP12_BINDING, 1)
        out.append(l.replace('<SOAP:', '<SOAP12:').replace('</SOAP:', '</SOAP12:'))
    expect(sum('<SOAP:' in l for l in out) == 0, 'SOAP 1.1 element left in the 1.2 binding')
    return out


def finish(text):
    lines = text.split('\n')
    # The namespace of the SOAP 1.2 binding elements, declared beside the 1.1 one.
    soap_ns = [i for i, l in enumerate(lines)
               if l == '  xmlns:SOAP="http://schemas.xmlsoap.org/wsdl/soap/"']
    expect(len(soap_ns) == 1, 'the xmlns:SOAP declaration')
    lines.insert(soap_ns[0] + 1, '  xmlns:SOAP12="%s"' % SOAP12_NS)

    pt_b, pt_e = section(lines, r'<portType name="gui_connectorPortType">$', '</portType>')
    outputs = output_names(lines, pt_b, pt_e)
    expect(len(set(outputs.values())) == len(outputs), 'output names unique: %r' % outputs)
    name_operations(lines, pt_b, pt_e, outputs, 'portType')
    # The customisation goes before the first message, after the types.
    first_message = next(i for i, l in enumerate(lines) if l.startswith('<message '))
    lines[first_message:first_message] = JAXWS_BINDINGS.split('\n')[:-1]

    b_b, b_e = section(lines, r'<binding name="%s" ' % SOAP11_BINDING, '</binding>')
    name_operations(lines, b_b, b_e, outputs, 'binding')
    lines[b_e + 1:b_e + 1] = [''] + soap12_binding(lines[b_b:b_e + 1])

    port = [i for i, l in enumerate(lines)
            if l == '  <port name="%s" binding="tns:%s">' % (SOAP11_BINDING, SOAP11_BINDING)]
    expect(len(port) == 1, 'the SOAP 1.1 port')
    p = port[0]
    m = re.match(r'    <SOAP:address location="([^"]+)"/>$', lines[p + 1])
    expect(m and lines[p + 2] == '  </port>', 'the SOAP 1.1 port address')
    lines[p + 3:p + 3] = [
        '  <port name="%s" binding="tns:%s">' % (SOAP12_BINDING, SOAP12_BINDING),
        '    <SOAP12:address location="%s"/>' % m.group(1),
        '  </port>',
    ]
    return '\n'.join(lines)


def main():
    if len(sys.argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(sys.argv[1], encoding='utf-8') as f:
        text = f.read()
    try:
        done = finish(text)
        xml.dom.minidom.parseString(done.encode('utf-8'))
    except (Unexpected, StopIteration) as e:
        sys.stderr.write('%s: the generated WSDL is not as expected: %s\n' % (sys.argv[0], e))
        return 1
    except Exception as e:  # a finished WSDL that is not well-formed XML
        sys.stderr.write('%s: the finished WSDL does not parse: %s\n' % (sys.argv[0], e))
        return 1
    with open(sys.argv[2], 'w', encoding='utf-8') as f:
        f.write(done)
    return 0


if __name__ == '__main__':
    sys.exit(main())
