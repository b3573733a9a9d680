// The panel page in the installed Chromium against the simulated device:
// a setting changed on the page reaches the device, and the plot gets the
// device's own sequence (sample n has value n) through each of the plot's
// controls; a recording started on the page is one `velmora info` reads.
// Saves a screenshot.
//
// node browser_test.mjs PATH/TO/velmora SCREENSHOT.png
// Loopback addresses 127.<net>.18.10-19 belong to this file.
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, rmSync, mkdirSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import puppeteer from 'puppeteer-core';

const [velmora, screenshot] = process.argv.slice(2);
// The run's base, VELMORA_TEST_NET, as for every test fixture (tests/support).
const net = Number(process.env.VELMORA_TEST_NET || 0);
const device = `127.${net}.18.10`;
const listen = `127.${net}.18.11:18190`;
const frequency = 50000;

// Everything this test starts ends by itself, and the whole test within 100 s.
const overall = setTimeout(() => { console.error('browser test: out of time'); process.exit(1); }, 100000);

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

// The plot's columns against the device's sequence: each column's least
// value is its first sample and its greatest the sample before the next
// column, whichever unit the x axis shows.
function checkSequence(seen, what) {
  const [x, lo, hi] = seen.data;
  const f = seen.format;
  const index = (v) => (seen.unit === 'time' ? Math.round(v * f.frequency_hz) + f.origin : v);
  check(x.length > 10, `${what}: only ${x.length} columns`);
  for (let i = 0; i < x.length; i++) {
    check(lo[i] === index(x[i]), `${what}, column ${i}: least value ${lo[i]} is not its first sample ${index(x[i])}`);
    if (i + 1 < x.length) check(hi[i] === index(x[i + 1]) - 1, `${what}, column ${i}: greatest ${hi[i]}, want ${index(x[i + 1]) - 1}`);
  }
}

const profile = mkdtempSync(join(tmpdir(), 'velmora-panel-chromium-'));
const records = mkdtempSync(join(tmpdir(), 'velmora-panel-records-'));
let sim, panel, browser;
try {
  sim = (await start(['sim', '-a', device, '-q', '-t', '90'], /listening/)).child;
  const p = await start(['panel', '-H', device, '--listen', listen, '--stop-after', '90', '--record-dir', records], /open (\S+)/);
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
  await page.setViewport({ width: 700, height: 760 });
  const problems = [];
  page.on('pageerror', (e) => problems.push(String(e)));
  await page.goto(url, { waitUntil: 'load', timeout: 15000 });
  await page.waitForFunction(() => document.getElementById('link').textContent === 'connected', { timeout: 10000 });
  const shot = (name) => page.screenshot({ path: screenshot.replace(/\.png$/, `-${name}.png`) });
  mkdirSync(dirname(screenshot), { recursive: true });

  // Idle, the plot already has both axes, and it fits a narrow window.
  const layout = () => page.evaluate(() => ({
    ticks: window.panelPlot.axes.map((a) => (a._values || []).length),
    plotWidth: window.panelPlot.width,
    pageWidth: document.documentElement.scrollWidth,
  }));
  const narrow = await layout();
  check(narrow.ticks[0] > 1 && narrow.ticks[1] > 1, `idle axes have ticks ${narrow.ticks}`);
  check(narrow.pageWidth <= 700 && narrow.plotWidth <= 700, `700 px window: page ${narrow.pageWidth}, plot ${narrow.plotWidth}`);
  await shot('700-idle');
  await page.setViewport({ width: 1280, height: 760 });
  await page.waitForFunction(() => window.panelPlot.width > 850, { timeout: 5000 });

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
  // Beyond 65,535 only a device sampling 32-bit values gives value n; the
  // window fills its two seconds from the start of the run.
  await page.waitForFunction((f) => {
    const shown = window.panelView.shown;
    return shown && shown.x.length > 100 && shown.x[shown.x.length - 1] > 70000 && shown.to - shown.from === 2 * f &&
      window.panelRefresh;
  }, { timeout: 20000, polling: 100 }, frequency);
  const look = () => page.evaluate(() => ({
    data: window.panelPlot.data.map((a) => Array.from(a)),
    format: { ...window.panelView.shown, x: null, lo: null, hi: null },
    unit: document.getElementById('xunit').value,
    xLabel: window.panelPlot.axes[0].label,
    yLabel: window.panelPlot.axes[1].label,
    x: [window.panelPlot.scales.x.min, window.panelPlot.scales.x.max],
    y: [window.panelPlot.scales.y.min, window.panelPlot.scales.y.max],
    refresh: window.panelRefresh,
    rate: document.getElementById('rate').textContent,
    lost: document.getElementById('lost').textContent,
  }));
  const seen = await look();
  checkSequence(seen, 'live, in seconds');
  check(seen.xLabel === 'time since start (s)' && seen.yLabel === 'value (32-bit samples)', `labels ${seen.xLabel}, ${seen.yLabel}`);
  check(Math.abs(seen.x[1] - seen.x[0] - 2) < 0.001, `default window ${seen.x}`);
  const samplesPerSecond = Number(seen.rate.split(' ')[0].replace(/,/g, ''));
  check(Math.abs(samplesPerSecond - frequency) < frequency * 0.2, `rate shown: ${seen.rate}`);
  check(seen.lost === '0', `lost samples shown: ${seen.lost}`);
  check(seen.refresh.perSecond >= 10, `page refreshed ${seen.refresh.perSecond} times a second`);
  await shot('1280-live');

  // The time window, then the sample index on the x axis.
  await type('#window', 0.5);
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => Math.abs(window.panelPlot.scales.x.max - window.panelPlot.scales.x.min - 0.5) < 0.001,
    { timeout: 5000 });
  await page.select('#xunit', 'index');
  await page.waitForFunction(() => window.panelPlot.axes[0].label === 'sample index', { timeout: 5000 });
  const indexed = await look();
  checkSequence(indexed, 'live, by index');
  check(indexed.x[1] - indexed.x[0] === frequency / 2, `0.5 s window by index: ${indexed.x}`);

  // Pause holds the plot still while the acquisition goes on; zoom and pan
  // then draw finer stretches of the held samples; Live goes back.
  await page.click('#pause');
  await page.waitForFunction(() => window.panelView.paused && window.panelView.views > 0, { timeout: 5000 });
  const held = await look();
  await new Promise((r) => setTimeout(r, 400));
  const stillHeld = await look();
  check(JSON.stringify(stillHeld.data) === JSON.stringify(held.data), 'the paused plot changed');
  await page.click('#zoom-in');
  await page.waitForFunction((w) => window.panelPlot.scales.x.max - window.panelPlot.scales.x.min === w,
    { timeout: 5000 }, (held.x[1] - held.x[0]) / 2);
  const zoomed = await look();
  checkSequence(zoomed, 'zoomed in');
  check(zoomed.x[0] === held.x[0] + (held.x[1] - held.x[0]) / 4, `zoomed about the middle: ${zoomed.x} from ${held.x}`);
  await page.click('#pan-left');
  await page.waitForFunction((from) => window.panelPlot.scales.x.min < from, { timeout: 5000 }, zoomed.x[0]);
  const panned = await look();
  checkSequence(panned, 'panned');
  check(panned.x[0] === zoomed.x[0] - (zoomed.x[1] - zoomed.x[0]) / 4, `panned by a quarter: ${panned.x} from ${zoomed.x}`);
  // Later and Zoom out undo them, back to the stretch held at first.
  await page.click('#pan-right');
  await page.waitForFunction((from) => window.panelPlot.scales.x.min === from, { timeout: 5000 }, zoomed.x[0]);
  await page.click('#zoom-out');
  await page.waitForFunction((x) => window.panelPlot.scales.x.min === x[0] && window.panelPlot.scales.x.max === x[1],
    { timeout: 5000 }, held.x);
  checkSequence(await look(), 'zoomed out');
  await page.click('#live');
  await page.waitForFunction((last) => window.panelPlot.scales.x.max > last + 1000, { timeout: 5000 }, held.x[1]);
  checkSequence(await look(), 'live again');

  // Dragging across the middle half of the plot holds that stretch; the
  // wheel then zooms in on the point under the pointer.
  const area = await (await page.$('#plot .u-over')).boundingBox();
  const middle = area.y + area.height / 2;
  await page.mouse.move(area.x + area.width * 0.25, middle);
  await page.mouse.down();
  await page.mouse.move(area.x + area.width * 0.75, middle, { steps: 5 });
  await page.mouse.up();
  await page.waitForFunction((f) => window.panelView.paused && window.panelView.views > 0 &&
    window.panelPlot.scales.x.max - window.panelPlot.scales.x.min < f / 2 * 0.6, { timeout: 5000 }, frequency);
  const dragged = await look();
  check(Math.abs(dragged.x[1] - dragged.x[0] - frequency / 4) < frequency / 100, `dragged to ${dragged.x}`);
  checkSequence(dragged, 'dragged');
  await page.mouse.move(area.x + area.width / 2, middle);
  await page.mouse.wheel({ deltaY: -100 });
  await page.waitForFunction((w) => Math.abs(window.panelPlot.scales.x.max - window.panelPlot.scales.x.min - w) <= 1,
    { timeout: 5000 }, (dragged.x[1] - dragged.x[0]) * 0.8);
  checkSequence(await look(), 'wheel');
  await page.click('#live');

  // A fixed y range instead of the automatic one.
  await page.click('#yauto');
  await type('#ymin', 0);
  await type('#ymax', 5000000);
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => window.panelPlot.scales.y.min === 0 && window.panelPlot.scales.y.max === 5000000,
    { timeout: 5000 });

  // Recordings in both formats, started and stopped on the page, written
  // into the record folder under the tool's names, read by `velmora info`.
  for (const format of ['raw', 'h5']) {
    await page.select('#record-format', format);
    await page.click('#record');
    await page.waitForFunction(() => {
      const going = document.getElementById('record-status').textContent.match(/^recording to .*: ([\d,]+) samples/);
      return going && Number(going[1].replace(/,/g, '')) > 20000;
    }, { timeout: 10000, polling: 100 });
    await page.click('#record-stop');
    await page.waitForFunction(() => document.getElementById('record-status').textContent.startsWith('recorded'), { timeout: 5000 });
    const status = await page.$eval('#record-status', (e) => e.textContent);
    const path = status.match(/^recorded (\S+):/)[1];
    check(dirname(path) === records && /^velmora-\d{8}-\d{6}\.(bin|h5)$/.test(path.slice(records.length + 1)),
      `recording named ${path}`);
    const info = JSON.parse(execFileSync(velmora, ['info', '--json', path], { encoding: 'utf8' })).recording;
    check(info.ended === 'complete' && info.samples > 20000 && info.lost_samples === 0 && info.settings.frequency_hz === frequency,
      `${format} recording: ${JSON.stringify(info)}`);
    if (format === 'raw') {
      const raw = readFileSync(path);
      check(raw.length === info.samples * 4, `raw recording of ${raw.length} bytes for ${info.samples} samples`);
      for (let k = 0; k < info.samples; k++) {
        const value = raw.readUInt32LE(k * 4);
        if (value !== info.first_sample + k) throw new Error(`raw recording: sample ${k} is ${value}, want ${info.first_sample + k}`);
      }
    }
  }

  await page.click('#ping');
  await page.waitForFunction(() => document.getElementById('rtt').textContent.includes('ms'), { timeout: 5000 });
  await page.screenshot({ path: screenshot });
  await page.click('#stop');
  check(problems.length === 0, `page errors: ${problems.join('; ')}`);
  const x = seen.data[0];
  console.log(`browser test passed: ${x.length} columns, up to ${x[x.length - 1]} s, ` +
    `${seen.refresh.perSecond.toFixed(1)} refreshes/s, ${seen.refresh.latencyMs} ms behind, ${seen.rate}; ` +
    `screenshot ${screenshot}`);
} finally {
  if (browser) await browser.close();
  for (const child of [panel, sim]) if (child) child.kill('SIGTERM');
  rmSync(profile, { recursive: true, force: true });
  rmSync(records, { recursive: true, force: true });
  clearTimeout(overall);
}
