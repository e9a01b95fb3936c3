// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel's link to the board: the /events socket of the panel's
// server, which brings the board's state and the reader's records and takes
// the page's controls; and what the page saw, for people and scripts.

export const token = new URLSearchParams(location.search).get('token') || '';
const wsBase = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host;
// One of the server's sockets, with the token.
export const socketUrl = (path) => `${wsBase}${path}?token=${encodeURIComponent(token)}`;

// What the page saw, for people (the console) and scripts (tests, benchmark).
export const panel = window.panel = {
  theme: null,         // the terminal's colours (console.js)
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
export const hostNow = () => performance.timeOrigin + performance.now();

// --- the event socket ------------------------------------------------------

let events = null;
const linkEl = document.getElementById('link');

export function send(msg) {
  if (events && events.readyState === WebSocket.OPEN)
    events.send(JSON.stringify(msg));
}

// Connects, and again whenever the socket closes; on.open() once connected,
// on.state(state) and on.record(record) as the board sends them.
export function connect(on) {
  events = new WebSocket(socketUrl('/events'));
  events.onopen = () => {
    linkEl.textContent = 'connected';
    linkEl.className = 'up';
    on.open();
  };
  events.onclose = () => {
    linkEl.textContent = 'not connected: is the board still running?';
    linkEl.className = 'down';
    setTimeout(() => connect(on), 1000);
  };
  events.onmessage = (e) => {
    const msg = JSON.parse(e.data);
    if (msg.type === 'state') {
      panel.state = msg.state;
      on.state(msg.state);
    } else if (msg.type === 'record') on.record(msg);
    else if (msg.type === 'refused') refused(msg.message);
  };
}

const refusedEl = document.getElementById('refused');
let refusedTimer = 0;
export function refused(text) {
  refusedEl.textContent = text;
  clearTimeout(refusedTimer);
  refusedTimer = setTimeout(() => { refusedEl.textContent = ''; }, 6000);
}
