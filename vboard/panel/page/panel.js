// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel's page: the board's inputs, the plot of what the guest's
// driver reads, the console (xterm.js) and the sensor's registers. Everything
// goes through two sockets of the panel's server (server.py): /events for the
// board's state, the records and the controls; /console for the terminal.
'use strict';

connect();
connectConsole();
