'use strict';
// The dashboard: shows the feed's model (dashboard-worker.js) and each change to it.
// Every string from the daemon goes in as text, never as markup: whoever names a file
// chooses what the table shows.
const REASONS = { 'BLOCKED-ALERT': 'Malware found', 'BLOCKED-SUSPICIOUS': 'Suspicious',
                  'BLOCKED-ENCRYPTED': 'Encrypted', 'BLOCKED-UNSUPPORTED': 'Unsupported',
                  'BLOCKED-EXTENSION': 'Blocked extension' };
const SVG = 'http://www.w3.org/2000/svg';
const PLOT_W = 600;
const PLOT_H = 100;
// The top of the scale lies this far below the plot's top, under the labels.
const PLOT_TOP = 22;
const $ = (id) => document.getElementById(id);
const timeFmt = new Intl.DateTimeFormat(undefined, { hour: '2-digit', minute: '2-digit',
                                                     second: '2-digit', hourCycle: 'h23' });
const dayFmt = new Intl.DateTimeFormat(undefined, { month: 'short', day: 'numeric' });

let model = null;
let link = { up: false, since: null, why: '' };
let query = '';
const searchText = new WeakMap();

// Times are the daemon's: when it received the record, by its own clock.
function daemonNow() {
  return Date.now() + model.offset;
}

function setTime(el, at) {
  if (!at) {
    el.textContent = '';
    return;
  }
  const d = new Date(at);
  const sameDay = d.toDateString() === new Date(daemonNow()).toDateString();
  el.textContent = sameDay ? timeFmt.format(d) : `${dayFmt.format(d)} ${timeFmt.format(d)}`;
  el.dateTime = d.toISOString();
}

const count = (n) => Number(n).toLocaleString('en');

function bytes(n) {
  const units = ['B', 'KB', 'MB', 'GB', 'TB', 'PB', 'EB'];
  let v = Number(n);
  let i = 0;
  for (; v >= 1024 && i < units.length - 1; i++)
    v /= 1024;
  return `${v.toFixed(i ? 1 : 0)} ${units[i]}`;
}

// A version travels as one 32-bit number, a byte for each part.
function showVersion(el, v) {
  el.textContent = v ? [v >>> 24, (v >>> 16) & 255, (v >>> 8) & 255, v & 255].join('.')
                     : 'not reported';
  el.classList.toggle('empty', !v);
}

function showVersions() {
  const v = model.versions;
  for (const k of ['bin', 'eng', 'vdf'])
    showVersion($(`v-${k}`), v[k]);
  $('v-conffile').textContent = v.conffile ?? 'none reported';
  $('v-conffile').classList.toggle('empty', v.conffile == null);
}

function showStats() {
  const s = model.stats;
  for (const k of ['scannedFiles', 'blockedCount', 'numDaemons'])
    $(`s-${k}`).textContent = count(s[k]);
  $('s-scannedBytes').textContent = bytes(s.scannedBytes);
  $('s-accessMask').textContent = `0x${(s.accessMask >>> 0).toString(16)}`;
  setTime($('s-at'), s.at);
}

function showScanned() {
  const s = model.scanned;
  $('scanned').textContent = s ? s.file : 'none yet';
  $('scanned').classList.toggle('empty', !s);
  setTime($('scanned-at'), s && s.at);
}

const reasonText = (b) => REASONS[b.reasonName] || b.reasonName || `reason ${b.reason}`;

function blockedRow(b) {
  const row = document.createElement('tr');
  const cell = (cls, text = '') => {
    const td = row.insertCell();
    td.className = cls;
    td.textContent = text;
    return td;
  };
  const at = document.createElement('time');
  setTime(at, b.at);
  cell('at').append(at);
  const file = cell('file', b.object);
  const more = [b.addInfo, b.source, b.alerturl].filter(Boolean).join(' \u00b7 ');
  if (more) {
    const small = document.createElement('small');
    small.textContent = more;
    file.append(small);
  }
  const tag = document.createElement('span');
  // Only malware found is an alarm; a reason this page does not know is not.
  tag.className = b.reasonName === 'BLOCKED-ALERT' ? 'tag alert' : 'tag';
  tag.textContent = reasonText(b);
  cell('reason').append(tag);
  cell('info', b.info);
  cell('action', b.action);
  cell('index', `#${b.index}`);
  searchText.set(row, [b.object, more, reasonText(b), b.info, b.action, `#${b.index}`]
    .join('\n').toLowerCase());
  row.hidden = !matches(row);
  return row;
}

const matches = (row) => !query || searchText.get(row).includes(query);

function showCount() {
  const held = model.blocked.length;
  const shown = query ? [...$('blocked').rows].filter((r) => !r.hidden).length : held;
  $('count').textContent = query ? `${shown} of ${held}` : held ? count(held) : '';
  $('blocked-empty').hidden = shown > 0;
  $('blocked-empty').textContent = held ? 'No blocked file matches the filter.'
                                        : 'No blocked file yet.';
}

function showBlocked() {
  $('blocked').replaceChildren(...model.blocked.map(blockedRow).reverse());
  showCount();
}

function addBlocked(b) {
  const body = $('blocked');
  body.prepend(blockedRow(b));
  while (body.rows.length > model.blocked.length)
    body.lastElementChild.remove();
  showCount();
}

function svg(tag, attrs) {
  const el = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs))
    el.setAttribute(k, v);
  return el;
}

// The top of the scale: the highest rate rounded up in its leading digit.
function scaleTop(v) {
  const p = 10 ** Math.floor(Math.log10(Math.max(v, 1)));
  return Math.ceil(Math.max(v, 1) / p) * p;
}

// Files per second between statistics reports at least a second apart (closer ones make
// a jagged line of rounding), each drawn at the middle of its interval. A counter that
// went down (a scanner daemon restarted) breaks the line.
function showChart() {
  const h = model.history;
  const end = daemonNow();
  const start = Math.max(h.length ? h[0].at : end, end - HISTORY_MS);
  const rates = [];
  for (let i = 1, prev = h[0]; i < h.length; i++) {
    const s = h[i];
    if (s.at - prev.at < 1000)
      continue;
    const rate = s.files < prev.files ? null : (s.files - prev.files) * 1000 / (s.at - prev.at);
    rates.push({ at: (s.at + prev.at) / 2, rate });
    prev = s;
  }
  const shown = rates.filter((r) => r.at >= start);
  if (!shown.length) {
    $('chart-plot').replaceChildren();
    $('chart-from').textContent = 'waiting for the scanner\u2019s statistics';
    $('chart-to').textContent = '';
    return;
  }
  const top = scaleTop(Math.max(...shown.map((r) => r.rate ?? 0)));
  const x = (at) => ((at - start) / Math.max(end - start, 1) * PLOT_W).toFixed(1);
  const y = (rate) => (PLOT_H - rate / top * (PLOT_H - PLOT_TOP)).toFixed(1);
  let line = '';
  let area = '';
  let inRun = false;
  let lastX = 0;
  const endRun = () => {
    if (inRun)
      area += `L${lastX},${PLOT_H}Z`;
    inRun = false;
  };
  for (const r of shown) {
    if (r.rate === null) {
      endRun();
      continue;
    }
    const px = x(r.at);
    const py = y(r.rate);
    line += `${inRun ? 'L' : 'M'}${px},${py}`;
    area += inRun ? `L${px},${py}` : `M${px},${PLOT_H}L${px},${py}`;
    inRun = true;
    lastX = px;
  }
  endRun();
  const plot = svg('svg', { viewBox: `0 0 ${PLOT_W} ${PLOT_H}`, preserveAspectRatio: 'none',
                            'aria-hidden': 'true' });
  plot.append(svg('line', { class: 'grid', x1: 0, x2: PLOT_W, y1: PLOT_TOP, y2: PLOT_TOP }),
              svg('path', { class: 'area', d: area }), svg('path', { class: 'line', d: line }));
  const scale = document.createElement('span');
  scale.className = 'scale';
  scale.textContent = `${count(top)}/s`;
  const latest = document.createElement('span');
  latest.className = 'latest';
  const rate = shown[shown.length - 1].rate;
  latest.textContent = rate === null ? '' : `latest ${rate.toFixed(1)}/s`;
  $('chart-plot').replaceChildren(plot, scale, latest);
  setTime($('chart-from'), start);
  $('chart-to').textContent = 'now';
}

function showLink() {
  const known = link.since !== null;
  $('link').textContent = link.up ? 'Live' : known ? 'Offline' : 'Connecting\u2026';
  $('link').className = link.up ? 'live' : known ? 'down' : 'connecting';
  $('banner').hidden = link.up || !known;
  if (!link.up && known)
    $('banner').textContent = `No connection to the daemon since ${timeFmt.format(link.since)}` +
                              ` (${link.why}). Trying again\u2026`;
  $('main').classList.toggle('stale', !link.up);
}

function showAll() {
  showLink();
  if (model.instance === null)
    return;
  showVersions();
  showStats();
  showScanned();
  showBlocked();
  showChart();
  $('notice').hidden = !model.restartedAt;
  if (model.restartedAt) {
    const at = document.createElement('time');
    setTime(at, model.restartedAt);
    $('notice').replaceChildren('The daemon has restarted (seen at ', at,
                                '): what it held before is gone, and the list starts over.');
  }
}

function receive(msg) {
  if (msg.type === 'state') {
    ({ model, link } = msg);
    showAll();
    return;
  }
  if (msg.type === 'link') {
    link = msg.link;
    showLink();
    return;
  }
  if (!model || !applyChange(model, msg.type, msg.data))
    return;
  switch (msg.type) {
  case 'blocked':
    addBlocked(msg.data);
    break;
  case 'scanned':
    showScanned();
    break;
  case 'stats':
    showStats();
    showChart();
    break;
  case 'versions':
    showVersions();
    break;
  }
}

// The feed in this page, for a browser without SharedWorker. Each message is a copy, as a
// worker's would be, so that the page's model is its own.
function runFeedHere() {
  createFeed((msg) => receive(structuredClone(msg)));
}

function connect() {
  if (!window.SharedWorker) {
    runFeedHere();
    return;
  }
  const worker = new SharedWorker('/dashboard-worker.js', { name: 'gui-connector' });
  worker.onerror = runFeedHere;
  worker.port.onmessage = (e) => receive(e.data);
  addEventListener('pagehide', () => worker.port.postMessage('bye'));
}

$('filter').addEventListener('input', (e) => {
  query = e.target.value.trim().toLowerCase();
  for (const row of $('blocked').rows)
    row.hidden = !matches(row);
  showCount();
});
// The chart's right edge is now, also while no report comes.
setInterval(() => model && model.instance !== null && showChart(), 5000);
// A page kept in the back-forward cache said goodbye to the worker: start afresh.
addEventListener('pageshow', (e) => e.persisted && location.reload());
connect();
