'use strict';
// Every call goes to the SOAP service of this page's own origin.
const URL_ = '/';
const ENV = '<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"' +
            ' xmlns:sntr="urn:sntr:gui-connector"><SOAP-ENV:Body>';
const REASONS = { 'BLOCKED-ALERT': 'Malware found', 'BLOCKED-SUSPICIOUS': 'Suspicious',
                  'BLOCKED-ENCRYPTED': 'Encrypted', 'BLOCKED-UNSUPPORTED': 'Unsupported',
                  'BLOCKED-EXTENSION': 'Blocked extension' };
const MAX_ROWS = 1024;
const $ = (id) => document.getElementById(id);

async function call(op, children = '') {
  const r = await fetch(URL_, {
    method: 'POST', cache: 'no-store',
    headers: { 'Content-Type': 'text/xml; charset=utf-8', SOAPAction: '""' },
    body: ENV + `<sntr:${op}>${children}</sntr:${op}></SOAP-ENV:Body></SOAP-ENV:Envelope>`,
  });
  const doc = new DOMParser().parseFromString(await r.text(), 'text/xml');
  if (!r.ok) {
    const why = doc.getElementsByTagName('faultstring')[0];
    throw new Error(`${op}: ${r.status} ${why ? why.textContent : ''}`);
  }
  return (tag) => {
    const e = doc.getElementsByTagName(tag)[0];
    return e ? e.textContent : '';
  };
}

let failures = 0;
function reachable(ok) {
  failures = ok ? 0 : failures + 1;
  $('banner').classList.toggle('on', failures > 0);
  $('state').className = ok ? 'live' : '';
  $('state').textContent = ok ? 'live' : 'unreachable';
}

const sleep = (ms) => new Promise((res) => setTimeout(res, ms));
// Retries a long poll after an error, waiting longer each time up to 30 s.
async function forever(step) {
  let delay = 500;
  for (;;) {
    try {
      await step();
      delay = 500;
    } catch (e) {
      reachable(false);
      await sleep(delay);
      delay = Math.min(delay * 2, 30000);
    }
  }
}

const fmt = (n) => Number(n).toLocaleString('en');
function bytes(n) {
  const units = ['B', 'KB', 'MB', 'GB', 'TB', 'PB'];
  let v = Number(n), i = 0;
  while (v >= 1024 && i < units.length - 1) { v /= 1024; i++; }
  return `${v.toFixed(i ? 1 : 0)} ${units[i]}`;
}

async function versions() {
  const [iv, bin, eng, vdf, conf] = await Promise.all([
    call('get-versionInfo'), call('get-binVersionNumber'), call('get-engVersionNumber'),
    call('get-vdfVersionNumber'), call('get-currentConffile')]);
  $('v-interface').textContent = iv('interface-version');
  $('v-bin').textContent = bin('ver');
  $('v-eng').textContent = eng('ver');
  $('v-vdf').textContent = vdf('ver');
  $('v-conf').textContent = conf('fn') || '(none)';
}

let last = null;
async function stats() {
  const s = await call('get-currentStats');
  const now = performance.now();
  for (const k of ['scannedFiles', 'scannedBytes', 'blockedCount']) {
    const v = Number(s(k));
    $('s-' + k).textContent = k === 'scannedBytes' ? bytes(v) : fmt(v);
    if (last && now > last.t) {
      const rate = Math.max(0, (v - last[k]) * 1000 / (now - last.t));
      $('r-' + k).textContent = k === 'scannedBytes' ? `${bytes(rate)}/s` : `${rate.toFixed(1)}/s`;
    }
    (last = last || {})[k] = v;
  }
  last.t = now;
  $('s-numDaemons').textContent = s('numDaemons');
  $('s-accessMask').textContent = '0x' + Number(s('accessMask')).toString(16);
  reachable(true);
}

function cell(row, text, cls) {
  const td = row.insertCell();
  if (cls) td.className = cls;
  td.textContent = text;
  return td;
}

function addBlocked(b) {
  const body = $('blocked');
  if (body.querySelector('tr.empty')) body.textContent = '';
  const row = body.insertRow(0);
  cell(row, new Date().toLocaleTimeString());
  cell(row, b('object'), 'file');
  const reason = b('reason');
  const tag = document.createElement('span');
  tag.className = 'tag' + (reason === 'BLOCKED-ALERT' ? ' alert' : '');
  tag.textContent = REASONS[reason] || reason;
  row.insertCell().appendChild(tag);
  cell(row, b('info'), 'hide-narrow');
  cell(row, b('action'), 'hide-narrow');
  cell(row, b('index'), 'hide-narrow');
  while (body.rows.length > MAX_ROWS) body.deleteRow(-1);
}

// Starts at 0: an index older than the ring holds is answered with its oldest record,
// whose own index says where the table goes on.
let next = 0;
async function blocked() {
  const b = await call('get-blockedFile2', `<index>${next}</index>`);
  reachable(true);
  next = Number(b('index')) + 1;
  addBlocked(b);
}

async function scanned() {
  const s = await call('get-lastScannedFile');
  reachable(true);
  $('scanned').textContent = s('fn');
}

forever(async () => { await versions(); reachable(true); await sleep(60000); });
forever(async () => { await stats(); await sleep(2000); });
forever(blocked);
forever(scanned);
