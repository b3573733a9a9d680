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
const plot = new uPlot({
  width: Math.max(400, $('view').clientWidth - 2),
  height: 360,
  scales: { x: { time: false } },
  axes: [{ label: 'sample number' }, { label: 'value', size: 70 }],
  series: [{}, { label: 'min', stroke: '#2f6db3', points: { show: false } },
    { label: 'max', stroke: '#2f6db3', points: { show: false } }],
  bands: [{ series: [2, 1], fill: 'rgba(47,109,179,0.25)' }],
  legend: { show: false },
}, [[], [], []], $('plot'));
window.panelPlot = plot;

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
  if (state.plot && state.plot.x.length) plot.setData([state.plot.x, state.plot.lo, state.plot.hi]);
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

function listen() {
  const columns = Math.max(16, Math.round(plot.bbox.width / devicePixelRatio));
  const events = new EventSource(`/api/events?columns=${columns}&token=${token}`);
  events.onmessage = (event) => render(JSON.parse(event.data));
  events.onerror = () => { $('link').textContent = 'panel unreachable'; $('link').className = 'badge off'; };
}

call('GET', '/api/state').then((state) => { if (state.settings) showSettings(state.settings); });
listen();
