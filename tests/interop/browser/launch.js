// Debian's Chromium, headless, with a fresh profile: the flags keep it off the network
// this machine does not have. run(chromium, body, args) hands body the browser, started
// with the extra flags args, and always closes it and removes the profile.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');

async function run(chromium, body, args = []) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'gc-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           ...args],
  });
  try {
    return await body(browser);
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

module.exports = { run };
