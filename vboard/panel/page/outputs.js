// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel's LEDs and seven-segment digits.

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
export function showOutputs(ledr, hex) {
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
