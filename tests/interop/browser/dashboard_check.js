// Headless Chromium on the daemon's dashboard (--web), as an administrator opens it.
//   node dashboard_check.js CHROMIUM DASHBOARD_URL SCREENSHOT
// Prints the versions the page shows, then READY, and waits for a line on stdin (the
// caller has sent a blocked file by then). Prints the table's newest file name once its
// row shows, at most a second later, saves a screenshot and prints whether any script
// of the scanner's text ran. Exits non-zero on any error.
'use strict';
const { run } = require('./launch');

const [chromium, url, screenshot] = process.argv.slice(2);

async function main() {
  await run(chromium, async (browser) => {
    const page = await browser.newPage();
    await page.setViewport({ width: 1100, height: 720 });
    await page.goto(url);
    await page.waitForFunction(() => document.getElementById('v-bin').textContent !== '\u2013',
                               { timeout: 10000 });
    console.log('versions\t' + await page.$eval('dl', (e) => e.innerText.replace(/\s+/g, ' ')));
    const rows = await page.$$eval('#blocked td.file', (cells) => cells.length);
    console.log('READY');
    await new Promise((resolve) => process.stdin.once('data', resolve));
    await page.waitForFunction((n) => document.querySelectorAll('#blocked td.file').length > n,
                               { timeout: 1000 }, rows);
    console.log('newest\t' + await page.$eval('#blocked td.file', (e) => e.textContent));
    console.log('scripts ran\t' + await page.evaluate(() => document.querySelectorAll(
      '#blocked script').length + (window.ran ? 1 : 0)));
    await page.screenshot({ path: screenshot });
  });
  process.exit(0);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
