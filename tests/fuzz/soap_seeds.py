#!/usr/bin/env python3
"""Writes a seed corpus for soap_fuzz into the directory given: one valid request per
operation in SOAP 1.1 and in SOAP 1.2, plus a few kept-alive sequences and near misses
that reach the header, fault and chunked-body paths."""
import os
import sys

ENV = {1: "http://schemas.xmlsoap.org/soap/envelope/",
       2: "http://www.w3.org/2003/05/soap-envelope"}
SERVICE = "urn:sntr:gui-connector"

OPERATIONS = [
    ("get-versionInfo", ""), ("get-binVersionNumber", ""), ("get-engVersionNumber", ""),
    ("get-vdfVersionNumber", ""), ("get-currentConffile", ""), ("get-lastBlockedFile", ""),
    ("get-blockedFile", "<index>1</index>"), ("get-blockedFile2", "<index>0</index>"),
    ("get-lastScannedFile", ""), ("get-currentStats", ""), ("get-logChanged", ""),
    ("reload", ""), ("stop", ""), ("ping", ""), ("register-client", ""),
    ("unregister-client", "<id>12345</id>"),
]


def envelope(body, version, header=""):
    head = "<SOAP-ENV:Header>%s</SOAP-ENV:Header>" % header if header else ""
    return ('<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="%s" '
            'xmlns:sntr="%s">%s<SOAP-ENV:Body>%s</SOAP-ENV:Body></SOAP-ENV:Envelope>'
            % (ENV[version], SERVICE, head, body))


def request(op, children, version):
    el = "sntr:" + op
    return envelope("<%s>%s</%s>" % (el, children, el) if children else "<%s/>" % el, version)


def post(payload, version, extra=""):
    payload = payload.encode()
    kind = ("application/soap+xml; charset=utf-8" if version == 2
            else 'text/xml; charset=utf-8\r\nSOAPAction: ""')
    return (("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: %s\r\n%s"
             "Content-Length: %d\r\n\r\n" % (kind, extra, len(payload))).encode() + payload)


def chunked(payload):
    payload = payload.encode()
    return (b"POST / HTTP/1.1\r\nHost: h\r\nContent-Type: text/xml\r\n"
            b"Transfer-Encoding: chunked\r\n\r\n" +
            b"%x\r\n" % len(payload) + payload + b"\r\n0\r\n\r\n")


def seeds():
    out = {}
    for version in (1, 2):
        for op, children in OPERATIONS:
            out["%s_%d" % (op, version)] = post(request(op, children, version), version)
    out["keepalive_three"] = b"".join(post(request(op, c, 1), 1) for op, c in OPERATIONS[:3])
    out["oneway_then_ping"] = post(request("reload", "", 2), 2) + post(request("ping", "", 2), 2)
    out["header_child"] = post(envelope("<sntr:ping/>", 1, "<x:t xmlns:x=\"urn:x\">1</x:t>"), 1)
    out["must_understand"] = post(envelope(
        "<sntr:ping/>", 1,
        '<x:t xmlns:x="urn:x" SOAP-ENV:mustUnderstand="1">1</x:t>'), 1)
    out["unknown_method"] = post(request("get-nothing", "", 1), 1)
    out["empty_body"] = post(envelope("", 2), 2)
    out["chunked_stats"] = chunked(request("get-currentStats", "", 1))
    out["get_method"] = b"GET / HTTP/1.1\r\nHost: h\r\n\r\n"
    out["status_line_length"] = b"POST 441\r\nContent/Length: 229777777777\r\n\r\n<a/>"
    out["bad_index"] = post(request("get-blockedFile2", "<index>x</index>", 1), 1)
    return out


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in seeds().items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
