// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel's link to the board: the /events socket of the panel's
// server, which brings the board's state and the reader's records and takes
// the page's controls; and what the page saw, for people and scripts.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const wsBase = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host;

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
