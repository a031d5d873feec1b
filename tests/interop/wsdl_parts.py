#!/usr/bin/python3
"""Prints the parts of a WSDL beyond what soapcpp2 writes, one fact a line, for
tests/service/wsdl_test.cpp to compare: every operation's input and output name in the
portType and in each binding, each binding's SOAP version and style, each port with its
binding and address, and the JAX-WS wrapper-style switch.

usage: wsdl_parts.py WSDL
"""
import sys
import xml.etree.ElementTree as ET

W = '{http://schemas.xmlsoap.org/wsdl/}'
SOAP11 = '{http://schemas.xmlsoap.org/wsdl/soap/}'
SOAP12 = '{http://schemas.xmlsoap.org/wsdl/soap12/}'
JAXWS = '{http://java.sun.com/xml/ns/jaxws}'


def io(prefix, op):
    for tag in ('input', 'output'):
        for el in op.findall(W + tag):
            print('%s %s %s %s %s' % (prefix, op.get('name'), tag, el.get('name'),
                                      el.get('message', '-')))


def main():
    root = ET.parse(sys.argv[1]).getroot()
    for pt in root.findall(W + 'portType'):
        for op in pt.findall(W + 'operation'):
            io('portType', op)
    for b in root.findall(W + 'binding'):
        for ns, version in ((SOAP11, '1.1'), (SOAP12, '1.2')):
            sb = b.find(ns + 'binding')
            if sb is not None:
                print('binding %s %s SOAP %s style=%s transport=%s' % (
                    b.get('name'), b.get('type'), version, sb.get('style'), sb.get('transport')))
                ops = b.findall(W + 'operation')
                print('binding %s operations %d with %s:operation %d' % (
                    b.get('name'), len(ops), version, sum(o.find(ns + 'operation') is not None
                                                          for o in ops)))
        for op in b.findall(W + 'operation'):
            io('binding ' + b.get('name'), op)
    for s in root.findall(W + 'service'):
        for p in s.findall(W + 'port'):
            for ns, version in ((SOAP11, '1.1'), (SOAP12, '1.2')):
                a = p.find(ns + 'address')
                if a is not None:
                    print('port %s %s %s SOAP %s %s' % (s.get('name'), p.get('name'),
                                                       p.get('binding'), version,
                                                       a.get('location')))
    for b in root.findall(JAXWS + 'bindings'):
        print('jaxws enableWrapperStyle %s' % b.findtext(JAXWS + 'enableWrapperStyle'))
    return 0


if __name__ == '__main__':
    sys.exit(main())
