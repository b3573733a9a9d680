// The panel's page: every device request goes to the tool, which makes the
// library calls one at a time; the plot follows the live event stream.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const $ = (id) => document.getElementById(id);

async function call(method, path, body) {
  const response = await fetch(path, { method, body, headers: { 'X-Velmora-Token': token } });
  let answer;
  try { answer = await response.json(); } catch { answer = { ok: false, error: { message: 'HTTP ' + response.status } }; }
  showError(answer);
  return answer;
}

function showError(answer) {
  const box = $('error');
  if (answer.ok !== false) { box.hidden = true; return; }
  const e = answer.error || {};
  box.textContent = e.result !== undefined
    ? `${e.context}: result ${e.result} ${e.name}: ${e.meaning}`
    : (e.message || 'failed');
  box.hidden = false;
}

// The 32 digital lines; an untouched box sends nothing.
const lineBoxes = [];
for (let i = 0; i < 32; i++) {
  const label = document.createElement('label');
  const box = document.createElement('input');
  box.type = 'checkbox';
  box.dataset.line = i;
  box.addEventListener('change', () => { box.dataset.changed = '1'; });
  label.append(box, String(i));
  $('lines').append(label);
  lineBoxes.push(box);
}
$('azero').addEventListener('change', () => { $('azero').dataset.changed = '1'; });

function describeSettings(s) {
  const on = s.lines.map((v, i) => (v === true ? i : null)).filter((i) => i !== null);
  return `${s.frequency_hz} Hz, ${s.packet_bits} bits, ${s.block_bytes} B blocks, auto-zero ` +
    `${s.azero === null ? 'not sent' : s.azero ? 'on' : 'off'}, lines on: ${on.length ? on.join(' ') : 'none'}`;
}

function showSettings(s) {
  $('sent').textContent = describeSettings(s);
  $('frequency').value = s.frequency_hz;
  $('bits').value = s.packet_bits;
  $('block').value = s.block_bytes;
}

$('settings').addEventListener('submit', async (event) => {
  event.preventDefault();
  const wanted = {
    frequency_hz: Number($('frequency').value),
    packet_bits: Number($('bits').value),
    block_bytes: Number($('block').value),
  };
  if ($('azero').dataset.changed) wanted.azero = $('azero').checked;
  const lines = {};
  for (const box of lineBoxes) if (box.dataset.changed) lines[box.dataset.line] = box.checked;
  if (Object.keys(lines).length) wanted.lines = lines;
  const answer = await call('POST', '/api/settings', JSON.stringify(wanted));
  if (answer.ok) {
    showSettings(answer.sent);
    for (const box of [...lineBoxes, $('azero')]) delete box.dataset.changed;
  }
});

$('start').onclick = () => call('POST', '/api/start');
$('start-clear').onclick = () => call('POST', '/api/start?clear=1');
$('stop').onclick = () => call('POST', '/api/stop');
$('reconnect').onclick = () => call('POST', '/api/reconnect');
$('ping').onclick = async () => {
  const answer = await call('POST', '/api/ping');
  if (answer.ok) $('rtt').textContent = answer.rtt_ms >= 0 ? `${answer.rtt_ms.toFixed(3)} ms (${answer.request})` : 'no fetch yet';
};
$('read').onclick = () => { $('read').href = `/api/read?bytes=${Number($('read-bytes').value)}&token=${token}`; };
$('write').onclick = async () => {
  const file = $('write-file').files[0];
  if (!file) return;
  const answer = await call('POST', '/api/write', file);
  if (answer.ok) $('transfer').textContent = `wrote ${answer.sent} bytes, the device took ${answer.bytes}`;
};

// The plot: min and max of each pixel column, with the band between them.
// The server sends sample indices; the page shows them as seconds since the
// run's first sample, or as they are.
const view = {
  paused: false,
  frozen: null,         // the server's copy the paused plot is drawn from
  from: 0, to: 0,       // paused: the stretch of sample indices shown
  shown: null,          // the last plot drawn: its format and stretch
  views: 0,             // stretches of a held copy drawn so far
  windowSeconds: 2,
  frequency: 1000,      // of the latest run, or the settings sent
  packetBits: 16,
};
const $plot = $('plot');
let plot = null, plotLabels = '';

const xUnit = () => $('xunit').value;
function toX(index, f) {
  return xUnit() === 'time' ? (index - f.origin) / f.frequency_hz : index;
}
function toIndex(x, f) {
  return xUnit() === 'time' ? Math.round(x * f.frequency_hz) + f.origin : Math.round(x);
}
// The format the axes use before a run has sent its own.
const idleFormat = () => ({ frequency_hz: view.frequency, origin: 0, packet_bits: view.packetBits,
  sample_bytes: Math.ceil(view.packetBits / 8), history: 1 << 20 });
const shownFormat = () => (view.shown || idleFormat());
const spanSamples = () => Math.max(16, Math.round(view.windowSeconds * shownFormat().frequency_hz));

function labels() {
  const f = shownFormat();
  const bits = f.packet_bits, bytes = f.sample_bytes;
  const width = bits === bytes * 8 ? `${bits}-bit samples` : `${bits}-bit samples in ${bytes} bytes`;
  return [xUnit() === 'time' ? 'time since start (s)' : 'sample index', `value (${width})`];
}

// The x range the plot spans: the whole window, even before it has filled.
function xRange() {
  const f = shownFormat();
  if (view.shown) return [toX(view.shown.from, f), toX(view.shown.to, f)];
  return [toX(0, f), toX(spanSamples(), f)];
}

function yRange(u, min, max) {
  if (!$('yauto').checked) {
    const lo = Number($('ymin').value), hi = Number($('ymax').value);
    return lo < hi ? [lo, hi] : [lo - 1, lo + 1];
  }
  if (min == null || max == null) return [0, 1];
  const pad = Math.max((max - min) * 0.05, 0.5);
  return [min - pad, max + pad];
}

function plotSize() {
  return { width: Math.max(200, $plot.clientWidth), height: window.innerHeight < 600 ? 260 : 360 };
}

function makePlot() {
  const [xLabel, yLabel] = labels();
  plotLabels = xLabel + '|' + yLabel;
  const data = plot ? plot.data : [[], [], []];
  if (plot) plot.destroy();
  plot = new uPlot({
    ...plotSize(),
    scales: { x: { time: false, range: () => xRange() }, y: { range: yRange } },
    axes: [{ label: xLabel }, { label: yLabel, size: 80 }],
    series: [{}, { label: 'min', stroke: '#2f6db3', points: { show: false } },
      { label: 'max', stroke: '#2f6db3', points: { show: false } }],
    bands: [{ series: [2, 1], fill: 'rgba(47,109,179,0.25)' }],
    legend: { show: false },
    cursor: { drag: { x: true, y: false, setScale: false } },
    hooks: { setSelect: [zoomToSelection] },
  }, data, $plot);
  plot.over.addEventListener('wheel', onWheel, { passive: false });
  window.panelPlot = plot;
}

function draw(p) {
  view.shown = p;
  view.frequency = p.frequency_hz;
  view.packetBits = p.packet_bits;
  const [xLabel, yLabel] = labels();
  if (xLabel + '|' + yLabel !== plotLabels) makePlot();
  plot.setData([p.x.map((i) => toX(i, p)), p.lo, p.hi]);
}

// The page asks for the samples it has room for, one per pixel column.
const columns = () => Math.max(16, Math.round(plot.bbox.width / devicePixelRatio));

let events = null, eventsUrl = '';
function listen() {
  // A paused plot needs only the figures: the stream then carries no samples.
  const url = `/api/events?columns=${view.paused ? 0 : columns()}&span=${spanSamples()}&token=${token}`;
  if (events && url === eventsUrl) return;
  if (events) events.close();
  eventsUrl = url;
  events = new EventSource(url);
  events.onmessage = (event) => render(JSON.parse(event.data));
  events.onerror = () => { $('link').textContent = 'panel unreachable'; $('link').className = 'badge off'; };
}

// At most one view request in flight; a change meanwhile asks again after it.
let viewing = false, viewAgain = false;
async function requestView() {
  if (!view.paused || !view.frozen) return;
  if (viewing) { viewAgain = true; return; }
  viewing = true;
  const f = view.frozen;
  const answer = await call('GET', `/api/view?frozen=${f.id}&from=${view.from}&to=${view.to}&columns=${columns()}`);
  viewing = false;
  if (answer.ok && view.paused && view.frozen === f) {
    draw(answer.plot);
    view.views++;
  }
  else if (!answer.ok) goLive();
  if (viewAgain) { viewAgain = false; requestView(); }
}

function showMode() {
  $('pause').setAttribute('aria-pressed', String(view.paused));
  $('live').setAttribute('aria-pressed', String(!view.paused));
  $('window').value = Number(view.windowSeconds.toPrecision(6));
}

async function pause() {
  if (view.paused) return true;
  const answer = await call('POST', '/api/freeze');
  if (!answer.ok) return false;
  view.paused = true;
  view.frozen = answer.frozen;
  // The stretch that was on the screen, within what the copy holds (a live
  // frame may have come in after the copy was made).
  const shown = view.shown || answer.frozen;
  view.to = Math.min(shown.to, answer.frozen.to);
  view.from = Math.max(answer.frozen.from, view.to - (shown.to - shown.from));
  showMode();
  listen();
  requestView();
  return true;
}

function goLive() {
  view.paused = false;
  view.frozen = null;
  showMode();
  listen();
}

// Sets the paused stretch, kept inside the frozen copy and at least 16 samples wide.
function setStretch(from, to) {
  const f = view.frozen;
  let width = Math.max(16, Math.min(Math.round(to - from), f.to - f.from));
  from = Math.max(f.from, Math.min(Math.round(from), f.to - width));
  view.from = from;
  view.to = from + width;
  view.windowSeconds = width / f.frequency_hz;
  showMode();
  requestView();
}

// Zooms by `factor` (below 1: in) around the sample index `at`; live, the
// window keeps its right edge at the latest sample.
async function zoom(factor, at) {
  if (!view.paused) {
    const history = shownFormat().history;
    const span = Math.min(history, Math.max(16, spanSamples() * factor));
    view.windowSeconds = span / shownFormat().frequency_hz;
    showMode();
    listen();
    return;
  }
  if (at === undefined) at = (view.from + view.to) / 2;
  setStretch(at - (at - view.from) * factor, at + (view.to - at) * factor);
}

async function pan(fraction) {
  if (!view.paused && !(await pause())) return;
  const step = (view.to - view.from) * fraction;
  setStretch(view.from + step, view.to + step);
}

function onWheel(event) {
  event.preventDefault();
  if (event.shiftKey || Math.abs(event.deltaX) > Math.abs(event.deltaY)) {
    pan(((event.shiftKey ? event.deltaY : event.deltaX) > 0 ? 1 : -1) * 0.1);
    return;
  }
  const at = view.shown ? toIndex(plot.posToVal(event.offsetX, 'x'), view.shown) : undefined;
  zoom(event.deltaY < 0 ? 0.8 : 1.25, at);
}

// Dragging across the plot zooms to that stretch, holding it still.
async function zoomToSelection(u) {
  if (u.select.width < 3 || !view.shown) return;
  const f = view.shown;
  const from = toIndex(u.posToVal(u.select.left, 'x'), f);
  const to = toIndex(u.posToVal(u.select.left + u.select.width, 'x'), f);
  u.setSelect({ left: 0, width: 0, top: 0, height: 0 }, false);
  if (await pause()) setStretch(from, to);
}

$('pause').onclick = () => pause();
$('live').onclick = () => goLive();
$('zoom-in').onclick = () => zoom(0.5);
$('zoom-out').onclick = () => zoom(2);
$('pan-left').onclick = () => pan(-0.25);
$('pan-right').onclick = () => pan(0.25);
$('window').onchange = () => {
  const seconds = Number($('window').value);
  if (!(seconds > 0)) return showMode();
  const f = shownFormat();
  if (view.paused) {
    setStretch(view.to - seconds * f.frequency_hz, view.to);
  } else {
    view.windowSeconds = Math.min(seconds, f.history / f.frequency_hz);
    showMode();
    listen();
  }
};
$('xunit').onchange = () => { makePlot(); if (view.shown) draw(view.shown); };
$('yauto').onchange = () => {
  $('ymin').disabled = $('ymax').disabled = $('yauto').checked;
  if (!$('yauto').checked && plot.scales.y.min != null) {
    // A fixed range starts from what was shown.
    $('ymin').value = Number(plot.scales.y.min.toPrecision(6));
    $('ymax').value = Number(plot.scales.y.max.toPrecision(6));
  }
  plot.redraw();
};
$('ymin').onchange = $('ymax').onchange = () => plot.redraw();

let resizeTimer = 0;
new ResizeObserver(() => {
  clearTimeout(resizeTimer);
  resizeTimer = setTimeout(() => {
    plot.setSize(plotSize());
    if (view.paused) requestView(); else listen();
  }, 100);
}).observe($plot);

// Recording: the tool writes the file in its record folder; the page only
// starts, stops and shows it.
$('record').onclick = () => call('POST', `/api/record/start?format=${$('record-format').value}`);
$('record-stop').onclick = () => call('POST', '/api/record/stop');
function showRecording(r, acquiring) {
  const select = $('record-format');
  if (!select.options.length) for (const f of r.formats) select.add(new Option(f === 'h5' ? 'HDF5' : 'raw + JSON', f));
  $('record').disabled = !r.folder || r.active || !acquiring;
  $('record-stop').disabled = !r.active;
  let text;
  if (!r.folder) text = 'off: start the panel with --record-dir DIR';
  else if (!r.path) text = `into ${r.folder}`;
  else {
    text = `${r.active ? 'recording to' : 'recorded'} ${r.path}: ${fmt(r.samples)} samples, ${fmt(r.bytes)} B` +
      (r.lost_samples ? `, ${fmt(r.lost_samples)} lost` : '') + (r.active ? '' : `, ${r.ended}`) +
      (r.error ? ` (${r.error})` : '');
  }
  $('record-status').textContent = text;
}

const fmt = (n, digits = 0) => Number(n).toLocaleString('en-US', { maximumFractionDigits: digits });
let frames = 0, frameMark = performance.now(), latency = 0;

function render(state) {
  $('link').textContent = state.connected ? 'connected' : 'disconnected';
  $('link').className = 'badge ' + (state.connected ? 'on' : 'off');
  const d = state.device;
  $('device').textContent = `${d.host} port ${d.port} (channel ${d.channel})${state.acquiring ? ', acquiring' : ''}`;
  $('sent').textContent = describeSettings(state.settings);
  const a = state.acquisition;
  if (a) {
    $('rate').textContent = `${fmt(a.samples_per_s)} samples/s (${fmt(a.bytes_per_s)} B/s)`;
    $('pps').textContent = fmt(a.packets_per_s, 1);
    $('lost').textContent = fmt(a.lost_samples);
  }
  const r = state.last;
  $('result').textContent = `${r.result} ${r.name}: ${r.meaning}${r.context ? ' (' + r.context + ')' : ''}`;
  if (state.recording) showRecording(state.recording, state.acquiring);
  if (!state.plot && !view.shown) {
    // Idle axes follow the settings that the next start sends.
    const bits = state.settings.packet_bits, hz = state.settings.frequency_hz;
    if (bits !== view.packetBits || hz !== view.frequency) {
      view.packetBits = bits;
      view.frequency = hz;
      makePlot();
    }
  }
  if (state.plot && !view.paused) draw(state.plot);
  // The window's samples follow the run's rate: a new run in another format
  // keeps the window's seconds.
  if (!view.paused) listen();
  latency = Date.now() - state.server_ms;
  frames++;
  const now = performance.now();
  if (now - frameMark >= 1000) {
    $('refresh').textContent = `${fmt(frames * 1000 / (now - frameMark), 1)} per second, ${fmt(latency)} ms behind`;
    window.panelRefresh = { perSecond: frames * 1000 / (now - frameMark), latencyMs: latency };
    frames = 0;
    frameMark = now;
  }
}

window.panelView = view;
makePlot();
showMode();
call('GET', '/api/state').then((state) => { if (state.settings) showSettings(state.settings); });
listen();
