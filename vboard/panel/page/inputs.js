// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel's inputs: switches and pushbuttons, the tilt pad, tilt,
// bias, noise, taps and the sensor on its bus, and recordings played into
// it; and the board's state shown in them.
import {hostNow, panel, refused, send, token} from './events.js';

const KEYS = 4;

// --- switches and pushbuttons ----------------------------------------------

const switchEls = [], keyEls = [];
let held = 0; // the pushbuttons this page holds down

// Buttons held before the socket dropped are held again.
export function holdAgain() {
  if (held) send({op: 'hold', mask: held});
}

// As many switches as the board has (the machine's switch-count, which the
// server sends with the state); as on the board, the highest number on the
// left.
function drawSwitches(count) {
  if (!Number.isInteger(count) || count === switchEls.length) return;
  const row = document.getElementById('switches');
  row.replaceChildren();
  switchEls.length = 0;
  for (let n = count - 1; n >= 0; n--) {
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
    row.append(box);
    switchEls[n] = b;
  }
}

function hold(n, down) {
  const mask = down ? held | (1 << n) : held & ~(1 << n);
  if (mask === held) return;
  held = mask;
  if (down) panel.presses.push({key: n, t: hostNow()});
  keyEls[n].setAttribute('aria-pressed', String(down || Boolean(panel.state.hold & (1 << n))));
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

// The fabric's design, started again from reset (also once it halted): a
// button only where the board has one.
const fabricResetEl = document.getElementById('fabric-reset');
fabricResetEl.addEventListener('click', () => send({op: 'fabric-reset'}));
// A trace of the design from now until pressed again; the button says
// where it goes.
const fabricTraceEl = document.getElementById('fabric-trace');
fabricTraceEl.addEventListener('click', () =>
  send({op: 'fabric-trace', on: fabricTraceEl.getAttribute('aria-pressed') !== 'true'}));

export function showInputs(state) {
  drawSwitches(state['switch-count']);
  fabricResetEl.hidden = fabricTraceEl.hidden = !state.fabric;
  const tracing = Boolean(state['fabric-trace']);
  fabricTraceEl.setAttribute('aria-pressed', String(tracing));
  fabricTraceEl.textContent = tracing ? `Stop the trace (${state['fabric-trace']})` : 'Trace the design';
  const switches = state.switches ?? 0;
  switchEls.forEach((b, n) => b.setAttribute('aria-checked', String(Boolean(switches & (1 << n)))));
  const boardHeld = state.hold ?? 0;
  keyEls.forEach((b, n) =>
    b.setAttribute('aria-pressed', String(Boolean((boardHeld | held) & (1 << n)))));
  setXYZ(tiltForm, state.tilt);
  setXYZ(biasForm, state.bias);
  setField(noiseForm.elements.mg, state.noise ?? '');
  sensorEl.checked = state.sensor === 'on';
  showPlay(state);
  if (state.tilt && !dragging && Date.now() > padOwnUntil) {
    padTilt = [...state.tilt];
    showPad(padTilt);
  }
}
