// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel's plot of what the guest's driver reads (uPlot), and its
// latest record.
import uPlot from 'uplot';
import {hostNow, panel} from './events.js';

const PLOT_SECONDS = 10, REDRAW_MS = 100;

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
export function takeRecord(msg) {
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
    // The full variant's record begins with INT_SOURCE, two hex digits (the
    // others' with a one-digit flag): its bit 0, a sample overwritten
    // before it was read.
    const [first] = msg.record.split(' ');
    if (first.length === 2 && parseInt(first, 16) & 1)
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
