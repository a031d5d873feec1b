// Headless Chromium against a real daemon with --web on 127.0.0.1:PORT, as attacking
// web pages and then trusted ones would use it.
//   node browser_check.js CHROMIUM PORT ALLOWED_PORT
// Pages the daemon must not trust try to read its pages and to post it a stop in every
// way a page can: from [::1]:PORT, from localhost:PORT (Chromium goes to [::1] first),
// from another port, from 127.0.0.2:PORT and from a name that resolves to 127.0.0.1
// (DNS rebinding). Each prints what each attempt got from http://127.0.0.1:PORT and,
// where its own origin leads to the daemon, from its own origin ("own"). Then a page from
// http://127.0.0.1:ALLOWED_PORT, which the daemon allows, reads get-versionInfo, prints
// READY, long-polls get-blockedFile2 for the ring's second record and prints its object;
// last the dashboard at http://127.0.0.1:PORT/ prints the newest blocked file it shows.
// Exits non-zero on any error.
'use strict';
const http = require('http');
const { run } = require('./launch');

const [chromium, port, allowedPort] = process.argv.slice(2);
const daemon = `http://127.0.0.1:${port}`;
const NS =
  'xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:sntr="urn:sntr:gui-connector"';
const envelope = (body) =>
  `<SOAP-ENV:Envelope ${NS}><SOAP-ENV:Body>${body}</SOAP-ENV:Body></SOAP-ENV:Envelope>`;
const PAGE = '<!doctype html><title>page</title><iframe name="sink"></iframe>';

function serve(port, host) {
  const server = http.createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    res.end(PAGE);
  });
  return new Promise((resolve) => server.listen(port, host, () => resolve(server)));
}

// Runs in the attacking page: every way to read or post without the daemon's consent,
// against base ('' for the page's own origin).
async function attack(base, stop) {
  const seen = [];
  const note = async (what, request) => {
    try {
      const r = await request();
      seen.push(`${what} ${r.type === 'opaque' ? 'opaque' : r.status}`);
    } catch (e) {
      seen.push(`${what} ${e.name}`);
    }
  };
  for (const path of ['/api/state', '/metrics', '/?wsdl', '/events']) {
    const stream = new AbortController();
    await note(`GET ${path}`, () => fetch(base + path, { cache: 'no-store',
                                                         signal: stream.signal }));
    stream.abort();
  }
  await note('POST text/xml', () => fetch(base + '/', {
    method: 'POST', body: stop, headers: { 'Content-Type': 'text/xml' } }));
  for (const type of ['text/plain', 'application/x-www-form-urlencoded', 'multipart/form-data']) {
    await note(`no-cors ${type}`, () => fetch(base + '/', {
      method: 'POST', mode: 'no-cors', body: stop, headers: { 'Content-Type': type } }));
  }
  // A text/plain form writes name=value: the name ends inside an attribute of the
  // envelope, the value closes it, so the body is the whole envelope.
  const cut = stop.indexOf('><SOAP-ENV:Body>');
  for (const enctype of ['text/plain', 'application/x-www-form-urlencoded']) {
    const form = document.createElement('form');
    Object.assign(form, { method: 'POST', action: base + '/', enctype, target: 'sink' });
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
    seen.push(`form ${enctype} sent`);
  }
  return seen.join(', ');
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
  const v6 = await serve(Number(port), '::1');
  const otherPort = await serve(0, '127.0.0.1');
  const otherHost = await serve(Number(port), '127.0.0.2');
  const allowed = await serve(Number(allowedPort), '127.0.0.1');
  const attackers = [
    { name: '[::1]', url: `http://[::1]:${port}/` },
    // Once the page is in, its server goes: the page's own requests then reach the
    // daemon, as Chromium tries 127.0.0.1 when [::1] refuses.
    { name: 'localhost', url: `http://localhost:${port}/`, own: true,
      loaded: () => { v6.close(); v6.closeAllConnections(); } },
    { name: 'other port', url: `http://127.0.0.1:${otherPort.address().port}/` },
    { name: '127.0.0.2', url: `http://127.0.0.2:${port}/` },
    { name: 'rebinding', url: `http://evil.test:${port}/`, own: true },
  ];
  // The rebinding: evil.test is the daemon's address, and the attacker's document is
  // answered here as if an earlier answer of the attacker's DNS had led elsewhere.
  // Chromium's own guard of loopback addresses is off, as in a browser without it: the
  // daemon must refuse such requests by itself.
  const args = [`--host-resolver-rules=MAP evil.test 127.0.0.1`,
                '--disable-features=LocalNetworkAccessChecks'];
  try {
    await run(chromium, async (browser) => {
      const page = await browser.newPage();
      await page.setRequestInterception(true);
      page.on('request', (req) => {
        if (req.isNavigationRequest() && req.url() === `http://evil.test:${port}/`)
          req.respond({ status: 200, contentType: 'text/html', body: PAGE });
        else
          req.continue();
      });
      const stop = envelope('<sntr:stop/>');
      for (const a of attackers) {
        await page.goto(a.url);
        if (await page.title() !== 'page')
          throw new Error(`${a.url} is not the attacker's page`);
        if (a.loaded)
          a.loaded();
        console.log(`${a.name}\t${await page.evaluate(attack, daemon, stop)}`);
        if (a.own)
          console.log(`${a.name} own\t${await page.evaluate(attack, '', stop)}`);
      }

      await page.goto(`http://127.0.0.1:${allowedPort}/`);
      console.log('interface-version\t' +
                  await page.evaluate(soap, daemon, envelope('<sntr:get-versionInfo/>'),
                                      'interface-version'));
      const poll = page.evaluate(soap, daemon,
                                 envelope('<sntr:get-blockedFile2><index>1</index>' +
                                          '</sntr:get-blockedFile2>'), 'object');
      console.log('READY');
      console.log('get-blockedFile2\t' + await poll);

      await page.goto(`${daemon}/`);
      await page.waitForFunction(() => document.querySelectorAll('#blocked .file').length === 2,
                                 { timeout: 10000 });
      console.log('dashboard\t' + await page.$eval('#blocked .file', (e) => e.textContent));
    }, args);
  } finally {
    for (const server of [v6, otherPort, otherHost, allowed])
      server.close();
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
