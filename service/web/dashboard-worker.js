'use strict';
// The dashboard's feed: one snapshot of the daemon's state (/api/state), then its event
// stream (/events). It runs in a SharedWorker, so that all tabs of a browser share one
// stream: a browser opens at most six connections to a host, and each stream holds one.
// Where there is no SharedWorker the page loads this file and runs the feed itself.
//
// The feed hands on messages of three kinds:
//   {type: 'state', model, link}   the whole model, after each load and to a tab that joins
//   {type: <event>, data}          a change as the stream told it: blocked, scanned, stats,
//                                  versions; a tab applies it to its copy with applyChange
//   {type: 'link', link}           whether the stream is up, and if not since when and why

// The ring the daemon keeps; the snapshot carries all of it.
const MAX_BLOCKED = 1024;
// How far back the chart of scanned files per second goes.
const HISTORY_MS = 5 * 60 * 1000;

function emptyModel() {
  return { instance: null, offset: 0, versions: null, stats: null, scanned: null, blocked: [],
           next: 0, history: [], restartedAt: null };
}

// Keeps one sample of the scanned-file counter per statistics report, for the chart.
function addSample(history, stats) {
  const last = history[history.length - 1];
  if (last && stats.at <= last.at)
    return;
  history.push({ at: stats.at, files: stats.scannedFiles });
  while (history.length > 2 && history[1].at < stats.at - HISTORY_MS)
    history.shift();
}

// Applies one change to a model. Returns false for a blocked file the model already
// holds: a resumed stream sends again what came after the index it was given.
function applyChange(model, type, data) {
  switch (type) {
  case 'blocked':
    if (data.index < model.next)
      return false;
    model.blocked.push(data);
    if (model.blocked.length > MAX_BLOCKED)
      model.blocked.shift();
    model.next = data.index + 1;
    return true;
  case 'scanned':
    model.scanned = data;
    return true;
  case 'stats':
    model.stats = data;
    addSample(model.history, data);
    return true;
  case 'versions':
    model.versions = data;
    return true;
  default:
    return false;
  }
}

// Runs the feed, handing each message to emit. Returns a function that gives the message
// a joining tab starts from.
function createFeed(emit) {
  let model = emptyModel();
  let link = { up: false, since: null, why: '' };
  let source = null;
  let delay = 0;

  function setLink(up, why = '') {
    link = { up, since: link.up === up && link.since !== null ? link.since : Date.now(), why };
    emit({ type: 'link', link });
  }

  // Waits longer after each failure in a row, up to 10 s, so that a daemon that is gone
  // for long is not asked twice a second, and one that comes back is seen soon.
  function retryLater(why) {
    if (source) {
      source.close();
      source = null;
    }
    setLink(false, why);
    delay = Math.min(delay ? delay * 2 : 1000, 10000);
    setTimeout(load, delay);
  }

  async function load() {
    let snap;
    try {
      const r = await fetch('/api/state', { cache: 'no-store' });
      if (!r.ok)
        throw new Error(`the daemon answered ${r.status}: ${(await r.text()).trim()}`);
      snap = await r.json();
    } catch (e) {
      retryLater(e instanceof TypeError ? 'the daemon does not answer' : e.message);
      return;
    }
    if (snap.instance !== model.instance) {
      const restarted = model.instance !== null;
      model = emptyModel();
      model.instance = snap.instance;
      if (restarted)
        model.restartedAt = snap.now;
    }
    // The page shows the daemon's clock; this is how far the browser's is from it.
    model.offset = snap.now - Date.now();
    model.versions = { ...snap.versions, conffile: snap.conffile };
    model.stats = snap.stats;
    model.scanned = snap.scanned;
    model.blocked = snap.blocked.slice(-MAX_BLOCKED);
    model.next = snap.next;
    addSample(model.history, snap.stats);
    emit({ type: 'state', model, link });
    listen();
  }

  function listen() {
    // The last index the snapshot held: the stream starts with whatever came after it.
    const resume = model.next > 0 ? `?last=${model.instance}:${model.next - 1}` : '';
    source = new EventSource(`/events${resume}`);
    source.addEventListener('hello', (e) => {
      const hello = JSON.parse(e.data);
      // A daemon started between the snapshot and the stream, or blocked files came to an
      // empty ring, with no index to resume after: load again.
      if (hello.instance !== model.instance || (!resume && hello.next > 0)) {
        source.close();
        source = null;
        load();
        return;
      }
      delay = 0;
      setLink(true);
    });
    for (const type of ['blocked', 'scanned', 'stats', 'versions']) {
      source.addEventListener(type, (e) => {
        const data = JSON.parse(e.data);
        if (applyChange(model, type, data))
          emit({ type, data });
      });
    }
    // The stream's own reconnection would skip what changed meanwhile but was no blocked
    // file; a fresh snapshot holds it all.
    source.onerror = () => retryLater('the connection to the daemon was lost');
  }

  load();
  return () => ({ type: 'state', model, link });
}

if (typeof SharedWorkerGlobalScope !== 'undefined' && self instanceof SharedWorkerGlobalScope) {
  const ports = new Set();
  const current = createFeed((msg) => {
    for (const port of ports)
      port.postMessage(msg);
  });
  self.onconnect = (e) => {
    const port = e.ports[0];
    ports.add(port);
    // A tab that goes says so; the worker has no other way to learn it.
    port.onmessage = (m) => {
      if (m.data === 'bye')
        ports.delete(port);
    };
    port.postMessage(current());
  };
}
