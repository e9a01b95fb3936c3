// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel's console: xterm.js on the /console socket of the panel's
// server, which carries the guest's second console.
import {Terminal} from '@xterm/xterm';
import {panel, socketUrl} from './events.js';

// The guest's console has this size (vboard/guest/panel/start).
const ROWS = 30, COLS = 100;
// ANSI colours of the terminal; the browser tests look for them.
const THEME = {
  background: '#1e1e1e', foreground: '#cccccc', cursor: '#cccccc',
  black: '#000000', red: '#cd3131', green: '#0dbc79', yellow: '#e5e510',
  blue: '#2472c8', magenta: '#bc3fbc', cyan: '#11a8cd', white: '#e5e5e5',
};
panel.theme = THEME;

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

export function connectConsole() {
  consoleWs = new WebSocket(socketUrl('/console'));
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
