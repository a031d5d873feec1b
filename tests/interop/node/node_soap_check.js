#!/usr/bin/env node
// node-soap (the npm package "soap", pinned in package-lock.json) against a running GUI
// connector, with a client built from the installed WSDL alone. Prints one line per
// step, "step<TAB>JSON", for tests/interop/node_soap_test.cpp to compare:
//   get-blockedFile2   a two-way read, xsd:long kept as text (see get-currentStats)
//   get-currentStats   64-bit counters read as strings: JavaScript numbers lose digits
//                      above 2^53
//   READY              then get-lastScannedFile, a long poll on the same kept-alive
//                      connection, released by the lastScannedFile the caller sends
//   reload             one-way, on a connection of its own with Connection: close:
//                      "closed without reply" is its success
//   FAULTS             then, once the caller has made forwarding fail and answered
//                      with a line on stdin, an unknown client id (one-way: its fault
//                      comes back all the same) and a failed forward on the SOAP 1.1
//                      and the SOAP 1.2 port ("1.2 ping"), each with its code and text
// usage: node node_soap_check.js WSDL URL. Exits 0 when every step went as expected.
'use strict';

const http = require('http');
const soap = require('soap');

function call(client, op, args, options, headers) {
  return new Promise((resolve, reject) => {
    client[op](args, (err, result) => (err ? reject(err) : resolve(result)), options, headers);
  });
}

// The code and text of the fault in err, as node-soap parsed it, for either version.
function faultOf(err) {
  const f = err.root && err.root.Envelope && err.root.Envelope.Body.Fault;
  if (!f) return { error: err.message };
  return f.Code
    ? { code: f.Code.Value, text: f.Reason.Text.$value }
    : { code: f.faultcode, text: f.faultstring };
}

function show(step, value) {
  process.stdout.write(step + '\t' + JSON.stringify(value) + '\n');
}

async function main() {
  const [wsdl, url] = process.argv.slice(2);
  if (!wsdl || !url) {
    process.stderr.write('usage: node node_soap_check.js WSDL URL\n');
    return 2;
  }
  const client = await soap.createClientAsync(wsdl, {
    endpoint: url,
    // Keep xsd:long as the digits sent.
    customDeserializer: { long: (text) => text },
  });
  // One kept-alive connection for the reads and the long poll: the daemon keeps the
  // long polls' news per connection.
  const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
  const kept = { httpAgent: agent, timeout: 30000 };

  show('get-blockedFile2', await call(client, 'get-blockedFile2', { index: 0 }, kept));
  show('get-currentStats', await call(client, 'get-currentStats', {}, kept));
  process.stdout.write('READY\n');
  show('get-lastScannedFile', await call(client, 'get-lastScannedFile', {}, kept));

  // One-way: no reply on success, so the connection must end after the request.
  const own = { httpAgent: new http.Agent({ keepAlive: false }), timeout: 10000 };
  try {
    const r = await call(client, 'reload', {}, own, { Connection: 'close' });
    show('reload', { unexpected: r });
  } catch (err) {
    const closed = err.code === 'ECONNRESET' || /socket hang up/.test(err.message);
    show('reload', closed ? 'closed without reply' : { error: err.message });
  }

  agent.destroy();

  process.stdout.write('FAULTS\n');
  await new Promise((resolve) => process.stdin.once('data', resolve));
  process.stdin.pause();
  // node-soap speaks SOAP 1.2 only when told to, whichever port it calls, and keeps that
  // on the WSDL it caches: the 1.2 client needs a WSDL of its own.
  const client12 = await soap.createClientAsync(wsdl, {
    endpoint: url,
    forceSoap12Headers: true,
    disableCache: true,
  });
  const ports = [
    ['1.1', client.gui_connector.gui_connector],
    ['1.2', client12.gui_connector.gui_connector_soap12],
  ];
  // Client ids count up from 1: this one is never issued.
  const steps = [['unregister-client', { id: '18446744073709551615' }], ['ping', {}]];
  for (const [version, port] of ports) {
    for (const [op, args] of steps) {
      try {
        await call(port, op, args, own, { Connection: 'close' });
        show(version + ' ' + op, 'no fault');
      } catch (err) {
        show(version + ' ' + op, faultOf(err));
      }
    }
  }
  return 0;
}

main().then(
  (rc) => process.exit(rc),
  (err) => {
    process.stderr.write((err && err.stack) || String(err));
    process.stderr.write('\n');
    process.exit(1);
  }
);
