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
//   unregister-client  one-way with an unknown id: its fault comes back as a fault
// usage: node node_soap_check.js WSDL URL. Exits 0 when every step went as expected.
'use strict';

const http = require('http');
const soap = require('soap');

function call(client, op, args, options, headers) {
  return new Promise((resolve, reject) => {
    client[op](args, (err, result) => (err ? reject(err) : resolve(result)), options, headers);
  });
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

  try {
    await call(client, 'unregister-client', { id: 5 }, own, { Connection: 'close' });
    show('unregister-client', 'no fault');
  } catch (err) {
    const fault = err.root && err.root.Envelope && err.root.Envelope.Body.Fault;
    show('unregister-client', fault ? { fault: fault.faultcode } : { error: err.message });
  }
  agent.destroy();
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
