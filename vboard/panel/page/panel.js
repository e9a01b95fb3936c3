// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel's page: the board's inputs, the plot of what the guest's
// driver reads, the console (xterm.js) and the sensor's registers. Everything
// goes through two sockets of the panel's server (server.py): /events for the
// board's state, the records and the controls; /console for the terminal.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const wsBase = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host;
const KEYS = 4, SWITCHES = 10;
const PLOT_SECONDS = 10, REDRAW_MS = 100;
// The guest's console has this size (vboard/guest/panel/start).
const ROWS = 30, COLS = 100;
// ANSI colours of the terminal; the browser tests look for them.
const THEME = {
  background: '#1e1e1e', foreground: '#cccccc', cursor: '#cccccc',
  black: '#000000', red: '#cd3131', green: '#0dbc79', yellow: '#e5e510',
  blue: '#2472c8', magenta: '#bc3fbc', cyan: '#11a8cd', white: '#e5e5e5',
};

// What the page saw, for people (the console) and scripts (tests, benchmark).
const panel = window.panel = {
  theme: THEME,
  records: 0,          // records received
  dropped: 0,          // records the reader sent that never came
  plotted: 0,          // new samples put on the plot
  sampleTimes: [],     // guest time (s) of each plotted sample
  overruns: [],        // guest time of those whose INT_SOURCE shows an overrun
  clockOffsetMs: Infinity, // min over records of (host receipt - guest time)
  presses: [],         // {key, t}: pushbutton pressed at host time t (ms)
  latestTrue: null,    // the true acceleration with the latest record
  state: {},
};
const hostNow = () => performance.timeOrigin + performance.now();

// --- the event socket ------------------------------------------------------

let events = null;
const linkEl = document.getElementById('link');

function send(msg) {
  if (events && events.readyState === WebSocket.OPEN)
    events.send(JSON.stringify(msg));
}

function connect() {
  events = new WebSocket(`${wsBase}/events?token=${encodeURIComponent(token)}`);
  events.onopen = () => {
    linkEl.textContent = 'connected';
    linkEl.className = 'up';
    // Buttons held before the socket dropped are held again.
    if (held) send({op: 'hold', mask: held});
  };
  events.onclose = () => {
    linkEl.textContent = 'not connected: is the board still running?';
    linkEl.className = 'down';
    setTimeout(connect, 1000);
  };
  events.onmessage = (e) => {
    const msg = JSON.parse(e.data);
    if (msg.type === 'state') showState(msg.state);
    else if (msg.type === 'record') takeRecord(msg);
    else if (msg.type === 'refused') refused(msg.message);
  };
}

const refusedEl = document.getElementById('refused');
let refusedTimer = 0;
function refused(text) {
  refusedEl.textContent = text;
  clearTimeout(refusedTimer);
  refusedTimer = setTimeout(() => { refusedEl.textContent = ''; }, 6000);
}

// --- switches and pushbuttons ----------------------------------------------

const switchEls = [], keyEls = [];
let held = 0; // the pushbuttons this page holds down

// As on the board: the highest number on the left.
for (let n = SWITCHES - 1; n >= 0; n--) {
  const box = document.createElement('div');
  box.className = 'sw';
  const b = document.createElement('button');
  b.setAttribute('role', 'switch');
  b.setAttribute('aria-checked', 'false');
  b.setAttribute('aria-label', `SW${n}`);
  b.addEventListener('click', () =>
    send({op: 'switch', n, on: b.getAttribute('aria-checked') !== 'true'}));
  box.append(b, Object.assign(document.createElement('span'),
    {textContent: `SW${n}`, ariaHidden: 'true'}));
  document.getElementById('switches').append(box);
  switchEls[n] = b;
}

function hold(n, down) {
  const mask = down ? held | (1 << n) : held & ~(1 << n);
  if (mask === held) return;
  held = mask;
  if (down) panel.presses.push({key: n, t: hostNow()});
  keyEls[n].setAttribute('aria-pressed', String(down || Boolean(panel.state.heldMask & (1 << n))));
  send({op: 'hold', mask});
}

for (let n = KEYS - 1; n >= 0; n--) {
  const box = document.createElement('div');
  box.className = 'key';
  const b = document.createElement('button');
  b.setAttribute('aria-label', `KEY${n}`);
  b.setAttribute('aria-pressed', 'false');
  b.addEventListener('pointerdown', (e) => {
    if (e.button !== 0) return;
    b.setPointerCapture(e.pointerId);
    hold(n, true);
  });
  for (const type of ['pointerup', 'pointercancel', 'lostpointercapture'])
    b.addEventListener(type, () => hold(n, false));
  b.addEventListener('keydown', (e) => {
    if (e.key !== ' ' && e.key !== 'Enter') return;
    e.preventDefault();
    if (!e.repeat) hold(n, true);
  });
  b.addEventListener('keyup', (e) => {
    if (e.key !== ' ' && e.key !== 'Enter') return;
    e.preventDefault();
    hold(n, false);
  });
  b.addEventListener('blur', () => hold(n, false));
  box.append(b, Object.assign(document.createElement('span'),
    {textContent: `KEY${n}`, ariaHidden: 'true'}));
  document.getElementById('keys').append(box);
  keyEls[n] = b;
}

// --- tilt, bias, noise, taps, sensor ---------------------------------------

const pad = document.getElementById('pad'), dot = document.getElementById('dot');
let dragging = false, tiltSent = 0, tiltTimer = 0, padTilt = [0, 0, 1000];
// Until then the pad keeps its own tilt: the board's, on its way back, may
// be one from before the last step.
let padOwnUntil = 0;

// The pad shows the pull of gravity in the board's plane: (X, -Y) / 1 g.
function showPad([x, y]) {
  let dx = x / 1000, dy = -y / 1000;
  const r = Math.hypot(dx, dy);
  if (r > 1) { dx /= r; dy /= r; }
  dot.style.left = `${50 + dx * 45}%`;
  dot.style.top = `${50 + dy * 45}%`;
}

function tiltOf(dx, dy) {
  const r = Math.hypot(dx, dy);
  if (r > 1) { dx /= r; dy /= r; }
  const z = Math.sqrt(Math.max(0, 1 - dx * dx - dy * dy));
  return [Math.round(dx * 1000), Math.round(-dy * 1000), Math.round(z * 1000)];
}

// While dragging, at most twenty tilts a second; the last one always goes.
function sendTilt(mg) {
  padTilt = mg;
  padOwnUntil = Date.now() + 500;
  showPad(mg);
  clearTimeout(tiltTimer);
  const wait = tiltSent + 50 - Date.now();
  if (wait <= 0) {
    tiltSent = Date.now();
    send({op: 'tilt', mg});
  } else {
    tiltTimer = setTimeout(() => sendTilt(padTilt), wait);
  }
}

function padPointer(e) {
  const r = pad.getBoundingClientRect();
  sendTilt(tiltOf((e.clientX - r.left - r.width / 2) / (r.width * 0.45),
    (e.clientY - r.top - r.height / 2) / (r.height * 0.45)));
}
pad.addEventListener('pointerdown', (e) => {
  dragging = true;
  pad.setPointerCapture(e.pointerId);
  padPointer(e);
});
pad.addEventListener('pointermove', (e) => { if (dragging) padPointer(e); });
for (const type of ['pointerup', 'pointercancel'])
  pad.addEventListener(type, () => { dragging = false; });
pad.addEventListener('keydown', (e) => {
  const step = 50;
  let [x, y] = padTilt;
  if (e.key === 'ArrowLeft') x -= step;
  else if (e.key === 'ArrowRight') x += step;
  else if (e.key === 'ArrowUp') y += step;
  else if (e.key === 'ArrowDown') y -= step;
  else if (e.key === 'Home') { x = 0; y = 0; }
  else return;
  e.preventDefault();
  sendTilt(tiltOf(x / 1000, -y / 1000));
});

function formNumbers(form, names) {
  return names.map((n) => Number(form.elements[n].value));
}
const tiltForm = document.getElementById('tilt-form');
tiltForm.addEventListener('submit', (e) => {
  e.preventDefault();
  send({op: 'tilt', mg: formNumbers(tiltForm, ['x', 'y', 'z'])});
});
document.getElementById('level').addEventListener('click', () => sendTilt([0, 0, 1000]));
const biasForm = document.getElementById('bias-form');
biasForm.addEventListener('submit', (e) => {
  e.preventDefault();
  send({op: 'bias', mg: formNumbers(biasForm, ['x', 'y', 'z'])});
});
const noiseForm = document.getElementById('noise-form');
noiseForm.addEventListener('submit', (e) => {
  e.preventDefault();
  send({op: 'noise', mg: Number(noiseForm.elements.mg.value)});
});
document.getElementById('tap').addEventListener('click', () => send({op: 'tap'}));
document.getElementById('doubletap').addEventListener('click',
  () => send({op: 'tap', double: true}));
const sensorEl = document.getElementById('sensor');
sensorEl.addEventListener('change', () => send({op: 'sensor', on: sensorEl.checked}));

// --- LEDs and digits: what the fabric's design drives -----------------------

const LEDS = 10, DIGITS = 6, SEGMENTS = 'abcdefg';
const ledEls = [], digitEls = [];
// Segment a to g of a digit 20 wide and 36 high: three bars across, four
// upright.
const SEGMENT_BOXES = [[4, 0, 12, 4], [16, 4, 4, 13], [16, 19, 4, 13], [4, 32, 12, 4],
  [0, 19, 4, 13], [0, 4, 4, 13], [4, 16, 12, 4]];
const SVG = 'http://www.w3.org/2000/svg';

for (let n = LEDS - 1; n >= 0; n--) {
  const led = document.createElement('span');
  led.className = 'led';
  led.setAttribute('role', 'img');
  led.setAttribute('aria-label', `LEDR${n} off`);
  led.dataset.lit = 'false';
  document.getElementById('leds').append(led);
  ledEls[n] = led;
}
for (let n = DIGITS - 1; n >= 0; n--) {
  const svg = document.createElementNS(SVG, 'svg');
  svg.setAttribute('class', 'digit');
  svg.setAttribute('viewBox', '-2 -2 24 40');
  svg.setAttribute('role', 'img');
  svg.dataset.segments = '0x7f';
  SEGMENT_BOXES.forEach(([x, y, width, height], i) => {
    const seg = document.createElementNS(SVG, 'rect');
    Object.entries({x, y, width, height, rx: 1.5}).forEach(([k, v]) => seg.setAttribute(k, v));
    seg.dataset.segment = SEGMENTS[i];
    svg.append(seg);
  });
  document.getElementById('digits').append(svg);
  digitEls[n] = svg;
}

// ledr: bit n lights LEDR n; hex: six digits, hex0 first, a lit segment 0.
function showOutputs(ledr, hex) {
  ledEls.forEach((led, n) => {
    const lit = Boolean(ledr & (1 << n));
    led.dataset.lit = String(lit);
    led.setAttribute('aria-label', `LEDR${n} ${lit ? 'lit' : 'off'}`);
  });
  digitEls.forEach((svg, n) => {
    const segments = hex?.[n] ?? 0x7f;
    const lit = [...SEGMENTS].filter((_, i) => !(segments & (1 << i)));
    svg.dataset.segments = `0x${segments.toString(16)}`;
    svg.setAttribute('aria-label', `HEX${n}: ${lit.length ? lit.join(' ') : 'dark'}`);
    svg.querySelectorAll('rect').forEach((seg, i) =>
      seg.classList.toggle('lit', !(segments & (1 << i))));
  });
}

// --- recordings --------------------------------------------------------------

// A recording chosen or dropped goes to the server, which stores it and has
// the machine play it with the form's options.
const playForm = document.getElementById('play-form');
const playStatusEl = document.getElementById('play-status');
// The form only holds the options: Enter in a field sends nothing.
playForm.addEventListener('submit', (e) => e.preventDefault());

async function playRecording(file) {
  const query = new URLSearchParams({token, name: file.name,
    loop: playForm.elements.loop.checked ? '1' : '0',
    columns: playForm.elements.columns.value.trim(), units: playForm.elements.units.value});
  try {
    const answer = await fetch(`/recording?${query}`, {method: 'POST', body: file});
    if (!answer.ok) refused((await answer.json().catch(() => ({}))).message || answer.statusText);
  } catch (e) {
    refused(`the recording did not reach the board: ${e.message}`);
  }
}
playForm.elements.file.addEventListener('change', () => {
  const file = playForm.elements.file.files[0];
  if (file) playRecording(file);
  playForm.elements.file.value = '';
});
document.getElementById('play-stop').addEventListener('click', () => send({op: 'play-stop'}));
document.addEventListener('dragover', (e) => {
  if (!e.dataTransfer.types.includes('Files')) return;
  e.preventDefault();
  document.body.classList.add('dropping');
});
for (const type of ['dragleave', 'drop'])
  document.addEventListener(type, () => document.body.classList.remove('dropping'));
document.addEventListener('drop', (e) => {
  const file = e.dataTransfer.files[0];
  if (!file) return;
  e.preventDefault();
  playRecording(file);
});

function showPlay(state) {
  const words = state.play || [];
  if (!state.playing || !words.length) {
    playStatusEl.textContent = 'not playing';
    return;
  }
  const seconds = (ms) => ((ms ?? 0) / 1000).toFixed(1);
  playStatusEl.textContent = `playing ${words[0].split('/').pop()}` +
    `${words.includes('--loop') ? ', looping' : ''}: ` +
    `${seconds(state['play-position'])} s of ${seconds(state['play-length'])} s`;
}

// Shows the board's state; a form field being edited keeps what is typed.
function setField(input, value) {
  if (document.activeElement !== input) input.value = value;
}
function setXYZ(form, mg) {
  ['x', 'y', 'z'].forEach((n, i) => setField(form.elements[n], mg?.[i] ?? ''));
}

function showState(state) {
  panel.state = state;
  const switches = state.switches ?? 0;
  switchEls.forEach((b, n) => b.setAttribute('aria-checked', String(Boolean(switches & (1 << n)))));
  state.heldMask = state.hold ?? 0;
  keyEls.forEach((b, n) =>
    b.setAttribute('aria-pressed', String(Boolean((state.heldMask | held) & (1 << n)))));
  setXYZ(tiltForm, state.tilt);
  setXYZ(biasForm, state.bias);
  setField(noiseForm.elements.mg, state.noise ?? '');
  sensorEl.checked = state.sensor === 'on';
  showOutputs(state.ledr ?? 0, state.hex);
  showPlay(state);
  if (state.tilt && !dragging && Date.now() > padOwnUntil) {
    padTilt = [...state.tilt];
    showPad(padTilt);
  }
  const body = document.querySelector('#regs tbody');
  body.replaceChildren(...(state.regs || '').split('\n').filter(Boolean).map((line) => {
    const tr = document.createElement('tr');
    for (const cell of line.split(' '))
      tr.append(Object.assign(document.createElement('td'), {textContent: cell}));
    return tr;
  }));
}

// --- plot and latest record ------------------------------------------------

const recordEl = document.getElementById('record'), rateEl = document.getElementById('rate');
// t, then X Y Z as read, then the true X Y Z.
const data = [[], [], [], [], [], [], []];
let drawPending = false, latestRecord = '', rateCount = 0;

const series = [{label: 'guest time (s)', value: (u, v) => v == null ? '–' : v.toFixed(2)}];
for (const [axis, colour] of [['X', '--x'], ['Y', '--y'], ['Z', '--z']])
  series.push({label: `${axis} read`, stroke: getComputedStyle(document.documentElement)
    .getPropertyValue(colour).trim(), width: 1.5, points: {show: false}});
for (const [axis, colour] of [['X', '--x'], ['Y', '--y'], ['Z', '--z']])
  series.push({label: `${axis} true`, stroke: getComputedStyle(document.documentElement)
    .getPropertyValue(colour).trim(), width: 1, dash: [6, 4], points: {show: false}});

const plotEl = document.getElementById('plot');
const plot = new uPlot({
  width: Math.max(400, plotEl.clientWidth), height: 300, series,
  scales: {x: {time: false, range: (u, min, max) => [max - PLOT_SECONDS, max]}},
  axes: [{label: 'guest time (s)'}, {label: 'milli-g', size: 60}],
  legend: {live: false},
}, data, plotEl);
new ResizeObserver(() => plot.setSize({width: Math.max(400, plotEl.clientWidth), height: 300}))
  .observe(plotEl);

// "S X Y Z MG/LSB": the counts are decimal (zero-padded, signed).
function parseRecord(text) {
  const f = text.trim().split(/\s+/);
  if (f.length !== 5) return null;
  const n = f.slice(1).map((s) => Number.parseInt(s, 10));
  return n.some(Number.isNaN) ? null : n.slice(0, 3).map((c) => c * n[3]);
}

let lastSeq = null;
function takeRecord(msg) {
  panel.records++;
  if (lastSeq !== null && msg.seq > lastSeq) panel.dropped += msg.seq - lastSeq - 1;
  lastSeq = msg.seq;
  if (msg.error) {
    latestRecord = msg.error;
    scheduleDraw();
    return;
  }
  latestRecord = msg.record;
  panel.latestTrue = msg.true;
  scheduleDraw();
  panel.clockOffsetMs = Math.min(panel.clockOffsetMs, hostNow() - msg.t * 1000);
  const mg = msg.new ? parseRecord(msg.record) : null;
  if (!mg) return;
  const truth = msg.true || [null, null, null];
  [msg.t, ...mg, ...truth].forEach((v, i) => data[i].push(v));
  while (data[0].length && data[0][0] < msg.t - PLOT_SECONDS)
    data.forEach((column) => column.shift());
  panel.plotted++;
  if (panel.sampleTimes.length < 200000) {
    panel.sampleTimes.push(msg.t);
    // Full variant: INT_SOURCE bit 0, a sample overwritten before it was read.
    if (msg.record.length === 20 && parseInt(msg.record.slice(0, 2), 16) & 1)
      panel.overruns.push(msg.t);
  }
  rateCount++;
}

// The plot and the record are drawn ten times a second: smooth enough, and
// the processor is left to the board (a redraw draws every point).
function scheduleDraw() {
  if (drawPending) return;
  drawPending = true;
  setTimeout(() => requestAnimationFrame(() => {
    drawPending = false;
    recordEl.textContent = latestRecord;
    plot.setData(data);
  }), REDRAW_MS);
}

setInterval(() => {
  rateEl.textContent = rateCount ? `${rateCount} samples/s` : '';
  rateCount = 0;
}, 1000);

// --- console -----------------------------------------------------------------

const term = new Terminal({rows: ROWS, cols: COLS, theme: THEME, fontSize: 13,
  fontFamily: 'DejaVu Sans Mono, Liberation Mono, monospace', cursorBlink: true});
term.open(document.getElementById('terminal'));
const encoder = new TextEncoder();
let consoleWs = null;
// The terminal answers queries in the output (the shell asks where the
// cursor is at every prompt). Every page gets the same output, so only the
// page being typed in answers; and none answers the replay of the output
// before it connected, the first message.
let replaying = false, writing = 0;

function connectConsole() {
  consoleWs = new WebSocket(`${wsBase}/console?token=${encodeURIComponent(token)}`);
  consoleWs.binaryType = 'arraybuffer';
  let first = true;
  consoleWs.onmessage = (e) => {
    const replay = first;
    first = false;
    replaying ||= replay;
    writing++;
    term.write(new Uint8Array(e.data), () => {
      writing--;
      if (replay) replaying = false;
    });
  };
  consoleWs.onclose = () => setTimeout(connectConsole, 1000);
}
term.onData((d) => {
  const answer = writing > 0;
  if (answer && (replaying || document.activeElement !== term.textarea)) return;
  if (consoleWs && consoleWs.readyState === WebSocket.OPEN) consoleWs.send(encoder.encode(d));
});

connect();
connectConsole();
