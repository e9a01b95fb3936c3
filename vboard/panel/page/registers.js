// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel's table of the sensor's registers.

// regs: the machine's list of them, a line of words per register.
export function showRegisters(regs) {
  const body = document.querySelector('#regs tbody');
  body.replaceChildren(...(regs || '').split('\n').filter(Boolean).map((line) => {
    const tr = document.createElement('tr');
    for (const cell of line.split(' '))
      tr.append(Object.assign(document.createElement('td'), {textContent: cell}));
    return tr;
  }));
}
