#!/usr/bin/python3
"""Calls every two-way operation of a running GUI connector through zeep, a SOAP stack
that knows the service only from its WSDL, and prints each answer as
"operation<TAB>JSON" so that the caller can compare it with what it fed the daemon.

usage: zeep_check.py WSDL URL

The plain reads come first. Then "READY" is printed and the two long polls follow on
the same kept-alive connection: each waits for news that arrives after the connection
was opened, which the caller sends once it sees READY. Then "FAULTS" is printed, and
once the caller has made forwarding fail and answered with a line on stdin, an unknown
client id and a failed forward are asked for on the SOAP 1.1 and the SOAP 1.2 port,
each printed as "version operation<TAB>JSON" with the fault's code and text. Exits with
0 when every call went so, 1 (with the traceback on stderr) when one failed.
"""
import json
import sys

import zeep
import zeep.exceptions
import zeep.helpers

SERVICE_BINDING = '{urn:sntr:gui-connector}gui_connector'
PORTS = [('1.1', SERVICE_BINDING), ('1.2', '{urn:sntr:gui-connector}gui_connector_soap12')]
# Client ids count up from 1: this one is never issued.
UNKNOWN_ID = 18446744073709551615

READS = [
    ('get-versionInfo', {}),
    ('get-binVersionNumber', {}),
    ('get-engVersionNumber', {}),
    ('get-vdfVersionNumber', {}),
    ('get-currentConffile', {}),
    ('get-blockedFile', {'index': 0}),
    ('get-blockedFile2', {'index': 1}),
    ('get-currentStats', {}),
    ('get-logChanged', {}),
    ('ping', {}),
    ('register-client', {}),
]
LONG_POLLS = ['get-lastBlockedFile', 'get-lastScannedFile']


def show(operation, answer):
    print(operation + '\t' + json.dumps(zeep.helpers.serialize_object(answer)), flush=True)


def show_fault(step, call):
    try:
        call()
        print(step + '\tno fault', flush=True)
    except zeep.exceptions.Fault as fault:
        print(step + '\t' + json.dumps({'code': fault.code, 'text': fault.message}), flush=True)


def main():
    if len(sys.argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    # A long poll the daemon never answers fails the check instead of hanging it.
    transport = zeep.Transport(timeout=10, operation_timeout=30)
    client = zeep.Client(sys.argv[1], transport=transport)
    service = client.create_service(SERVICE_BINDING, sys.argv[2])
    for operation, arguments in READS:
        show(operation, service[operation](**arguments))
    print('READY', flush=True)
    for operation in LONG_POLLS:
        show(operation, service[operation]())
    print('FAULTS', flush=True)
    sys.stdin.readline()
    for version, binding in PORTS:
        port = client.create_service(binding, sys.argv[2])
        show_fault(version + ' unregister-client',
                   lambda: port['unregister-client'](id=UNKNOWN_ID))
        show_fault(version + ' ping', lambda: port['ping']())
    return 0


if __name__ == '__main__':
    sys.exit(main())
