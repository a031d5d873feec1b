// Headless Chromium against a real daemon, as a web page would use it.
//   node browser_check.js CHROMIUM DAEMON_URL ALLOWED_PORT
// A page from a foreign loopback origin tries to post a stop in every way a page can
// (fetch without CORS in each of the three content types a form may send, a fetch that
// asks for CORS, form posts into an iframe) and prints how each ended. A page from
// http://127.0.0.1:ALLOWED_PORT, which the daemon allows, reads get-versionInfo, prints
// READY, then long-polls get-blockedFile2 for the ring's second record and prints its
// object. Exits non-zero on any error.
'use strict';
const http = require('http');
const { run } = require('./launch');

const [chromium, daemon, allowedPort] = process.argv.slice(2);
const NS =
  'xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:sntr="urn:sntr:gui-connector"';
const envelope = (body) =>
  `<SOAP-ENV:Envelope ${NS}><SOAP-ENV:Body>${body}</SOAP-ENV:Body></SOAP-ENV:Envelope>`;

function serve(port) {
  const server = http.createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    res.end('<!doctype html><title>page</title><iframe name="sink"></iframe>');
  });
  return new Promise((resolve) => server.listen(port, '127.0.0.1', () => resolve(server)));
}

// Runs in the foreign page: every way to post without the daemon's consent.
async function attack(daemon, stop) {
  const seen = [];
  for (const type of ['text/plain', 'application/x-www-form-urlencoded', 'multipart/form-data']) {
    try {
      const r = await fetch(daemon, { method: 'POST', mode: 'no-cors', body: stop,
                                      headers: { 'Content-Type': type } });
      seen.push(`no-cors ${type}: ${r.type}`);
    } catch (e) {
      seen.push(`no-cors ${type}: ${e.name}`);
    }
  }
  try {
    await fetch(daemon, { method: 'POST', body: stop, headers: { 'Content-Type': 'text/xml' } });
    seen.push('cors text/xml: read');
  } catch (e) {
    seen.push(`cors text/xml: ${e.name}`);
  }
  // A text/plain form writes name=value: the name ends inside an attribute of the
  // envelope, the value closes it, so the body is the whole envelope.
  const cut = stop.indexOf('><SOAP-ENV:Body>');
  for (const enctype of ['text/plain', 'application/x-www-form-urlencoded']) {
    const form = document.createElement('form');
    Object.assign(form, { method: 'POST', action: daemon, enctype, target: 'sink' });
    const input = document.createElement('input');
    Object.assign(input, { type: 'hidden', name: stop.slice(0, cut) + ' x', value: '"y"' +
                           stop.slice(cut) });
    form.appendChild(input);
    document.body.appendChild(form);
    const loaded = new Promise((resolve) => {
      document.querySelector('iframe').onload = resolve;
      setTimeout(resolve, 5000);
    });
    form.submit();
    await loaded;
    seen.push(`form ${enctype}: sent`);
  }
  return seen;
}

// Runs in the allowed page: one SOAP call, its reply parsed by the browser.
async function soap(daemon, body, tag) {
  const r = await fetch(daemon, { method: 'POST', body,
                                  headers: { 'Content-Type': 'text/xml; charset=utf-8',
                                             SOAPAction: '""' } });
  const doc = new DOMParser().parseFromString(await r.text(), 'text/xml');
  return doc.getElementsByTagName(tag)[0].textContent;
}

async function main() {
  const allowed = await serve(Number(allowedPort));
  const foreign = await serve(0);
  try {
    await run(chromium, async (browser) => {
      const page = await browser.newPage();
      await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
      const stop = envelope('<sntr:stop/>');
      for (const line of await page.evaluate(attack, daemon, stop))
        console.log(line);

      await page.goto(`http://127.0.0.1:${allowedPort}/`);
      console.log('interface-version\t' +
                  await page.evaluate(soap, daemon, envelope('<sntr:get-versionInfo/>'),
                                      'interface-version'));
      const poll = page.evaluate(soap, daemon,
                                 envelope('<sntr:get-blockedFile2><index>1</index>' +
                                          '</sntr:get-blockedFile2>'), 'object');
      console.log('READY');
      console.log('get-blockedFile2\t' + await poll);
    });
  } finally {
    allowed.close();
    foreign.close();
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
