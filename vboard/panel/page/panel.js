// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel's page: the board's inputs, the plot of what the guest's
// driver reads, the console (xterm.js) and the sensor's registers. Everything
// goes through two sockets of the panel's server (server.py): /events for the
// board's state, the records and the controls; /console for the terminal.
//
// This module starts the page; each part is a module of its own: events.js
// (the /events socket), inputs.js, outputs.js (LEDs and digits), plot.js,
// registers.js and console.js. The server maps their names to URLs with the
// token (index.html's import map).
import {connectConsole} from './console.js';
import {connect} from './events.js';
import {holdAgain, showInputs} from './inputs.js';
import {showOutputs} from './outputs.js';
import {takeRecord} from './plot.js';
import {showRegisters} from './registers.js';

connect({
  open: holdAgain,
  state: (state) => {
    showInputs(state);
    showOutputs(state.ledr ?? 0, state.hex);
    showRegisters(state.regs);
  },
  record: takeRecord,
});
connectConsole();
