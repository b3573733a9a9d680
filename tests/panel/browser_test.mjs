// The panel page in the installed Chromium against the simulated device:
// a setting changed on the page reaches the device, and the plot gets the
// device's own sequence (sample n has value n). Saves a screenshot.
//
// node browser_test.mjs PATH/TO/velmora SCREENSHOT.png
// Loopback addresses 127.<net>.18.10-19 belong to this file.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, mkdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import puppeteer from 'puppeteer-core';

const [velmora, screenshot] = process.argv.slice(2);
// The run's base, VELMORA_TEST_NET, as for every test fixture (tests/support).
const net = Number(process.env.VELMORA_TEST_NET || 0);
const device = `127.${net}.18.10`;
const listen = `127.${net}.18.11:18190`;
const frequency = 50000;

// Everything this test starts ends by itself, and the whole test within a minute.
const overall = setTimeout(() => { console.error('browser test: out of time'); process.exit(1); }, 60000);

function start(args, ready) {
  const child = spawn(velmora, args, { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    let text = '';
    child.stdout.on('data', (chunk) => {
      text += chunk;
      const found = text.match(ready);
      if (found) resolve({ child, found });
    });
    child.on('exit', (code) => reject(new Error(`velmora ${args[0]} exited ${code}: ${text}`)));
  });
}

function check(condition, what) {
  if (!condition) throw new Error(what);
}

const profile = mkdtempSync(join(tmpdir(), 'velmora-panel-chromium-'));
let sim, panel, browser;
try {
  sim = (await start(['sim', '-a', device, '-q', '-t', '90'], /listening/)).child;
  const p = await start(['panel', '-H', device, '--listen', listen, '--stop-after', '90'], /open (\S+)/);
  panel = p.child;
  const url = p.found[1];

  browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    userDataDir: profile,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 760 });
  const problems = [];
  page.on('pageerror', (e) => problems.push(String(e)));
  await page.goto(url, { waitUntil: 'load', timeout: 15000 });
  await page.waitForFunction(() => document.getElementById('link').textContent === 'connected', { timeout: 10000 });

  // Settings typed into the page: the device then samples at this rate and
  // width, which the samples below show.
  const type = async (selector, value) => {
    await page.click(selector);
    await page.keyboard.down('Control');
    await page.keyboard.press('KeyA');
    await page.keyboard.up('Control');
    await page.type(selector, String(value));
  };
  await type('#frequency', frequency);
  await type('#bits', 32);
  await type('#block', 1000);
  await page.click('#lines input[data-line="7"]');
  await page.click('#settings button[type=submit]');
  await page.waitForFunction((f) => document.getElementById('sent').textContent.startsWith(`${f} Hz, 32 bits`) &&
    document.getElementById('sent').textContent.includes('lines on: 7'), { timeout: 5000 }, frequency);

  await page.click('#start-clear');
  // Beyond 65,535 only a device sampling 32-bit values gives value n.
  await page.waitForFunction(() => {
    const x = window.panelPlot.data[0];
    return x.length > 100 && x[x.length - 1] > 70000 && window.panelRefresh;
  }, { timeout: 20000, polling: 100 });
  const seen = await page.evaluate(() => ({
    data: window.panelPlot.data.map((a) => Array.from(a)),
    refresh: window.panelRefresh,
    rate: document.getElementById('rate').textContent,
    lost: document.getElementById('lost').textContent,
  }));
  const [x, lo, hi] = seen.data;
  for (let i = 0; i < x.length; i++) {
    check(lo[i] === x[i], `column ${i}: least value ${lo[i]} is not its first sample ${x[i]}`);
    if (i + 1 < x.length) check(hi[i] === x[i + 1] - 1, `column ${i}: greatest value ${hi[i]}, want ${x[i + 1] - 1}`);
  }
  const samplesPerSecond = Number(seen.rate.split(' ')[0].replace(/,/g, ''));
  check(Math.abs(samplesPerSecond - frequency) < frequency * 0.2, `rate shown: ${seen.rate}`);
  check(seen.lost === '0', `lost samples shown: ${seen.lost}`);
  check(seen.refresh.perSecond >= 10, `page refreshed ${seen.refresh.perSecond} times a second`);

  await page.click('#ping');
  await page.waitForFunction(() => document.getElementById('rtt').textContent.includes('ms'), { timeout: 5000 });
  mkdirSync(dirname(screenshot), { recursive: true });
  await page.screenshot({ path: screenshot });
  await page.click('#stop');
  check(problems.length === 0, `page errors: ${problems.join('; ')}`);
  console.log(`browser test passed: ${x.length} columns, up to sample ${x[x.length - 1]}, ` +
    `${seen.refresh.perSecond.toFixed(1)} refreshes/s, ${seen.refresh.latencyMs} ms behind, ${seen.rate}; ` +
    `screenshot ${screenshot}`);
} finally {
  if (browser) await browser.close();
  for (const child of [panel, sim]) if (child) child.kill('SIGTERM');
  rmSync(profile, { recursive: true, force: true });
  clearTimeout(overall);
}
