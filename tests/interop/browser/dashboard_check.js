// Headless Chromium on the daemon's dashboard (--web), as an administrator keeps it open:
// ten tabs of one browser, the last as in a browser without SharedWorker, the second
// 400 px wide.
//   node dashboard_check.js CHROMIUM DASHBOARD_URL SCREENSHOT
// Once every tab is live, prints what the first shows of the versions and the last
// scanned file, then READY, and waits for a line on stdin: the number of blocked files
// the daemon holds, the last of them sent just now. Prints how many each tab shows once
// all show them all, at most a second later, saves a screenshot of the first and prints
// SAVED. After the next such line, prints the newest file of the first tab once it
// shows, its reason, whether any script of the file names ran, which of file, detection
// and action the narrow tab shows in full, and what the filter "quarantine" leaves.
// Exits non-zero on any error.
'use strict';
const { run } = require('./launch');

const [chromium, url, screenshot] = process.argv.slice(2);
const held = () => new Promise((resolve) => process.stdin.once('data', (d) =>
  resolve(Number(d))));
// Hidden tabs draw no frames: their checks poll on changes to the page instead.
const shows = (tab, n) =>
  tab.waitForFunction((n) => document.querySelectorAll('#blocked tr').length === n,
                      { timeout: 1000, polling: 'mutation' }, n);
const rowCount = (tab) => tab.$$eval('#blocked tr', (rows) => rows.length);

async function main() {
  await run(chromium, async (browser) => {
    const tabs = [];
    for (let i = 0; i < 10; i++) {
      const tab = await browser.newPage();
      await tab.setViewport({ width: i === 1 ? 400 : 1100, height: 760 });
      if (i === 9)
        await tab.evaluateOnNewDocument(() => delete window.SharedWorker);
      await tab.goto(url);
      tabs.push(tab);
    }
    await Promise.all(tabs.map((tab) => tab.waitForFunction(
      () => document.getElementById('link').className === 'live',
      { timeout: 10000, polling: 'mutation' })));
    const [first, narrow, filtered] = tabs;
    console.log('versions\t' + await first.$eval('dl', (e) => e.innerText.replace(/\s+/g, ' ')));
    console.log('scanned\t' + await first.$eval('#scanned', (e) => e.textContent));
    console.log('READY');

    const n = await held();
    await Promise.all(tabs.map((tab) => shows(tab, n)));
    console.log('tabs\t' + (await Promise.all(tabs.map(rowCount))).join(' '));
    await first.screenshot({ path: screenshot, fullPage: true });
    console.log('SAVED');

    await shows(first, await held());
    console.log('newest\t' + await first.$eval('#blocked .file', (e) => e.textContent));
    console.log('reason\t' + await first.$eval('#blocked .tag', (e) => e.className + ' ' +
                                                                       e.textContent));
    console.log('scripts ran\t' + await first.evaluate(() => document.querySelectorAll(
      '#blocked script, #blocked img').length + (window.ran ? 1 : 0)));
    console.log('narrow\t' + await narrow.$eval('#blocked tr', (row) => ['file', 'info', 'action']
      .filter((c) => {
        const r = row.querySelector(`.${c}`).getBoundingClientRect();
        return r.width > 0 && r.right <= document.documentElement.clientWidth;
      }).join(' ')));
    await filtered.type('#filter', 'quarantine');
    console.log('filter\t' + await filtered.$eval('#count', (e) => e.textContent));
  });
  process.exit(0);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
