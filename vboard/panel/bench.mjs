// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel's benchmark (vboard/bench/panel.sh runs it): a board with
// the panel, the page in headless chromium, and two figures:
//  1. click to press seen: the time from a click on KEY0 in the page to the
//     guest's read loop on /dev/KEY (panelfeed keys, reading once a
//     millisecond) seeing the press;
//  2. samples plotted against samples the sensor produced, over SECONDS at
//     100 Hz: a gap of n output periods between two plotted samples means
//     n - 1 samples lost.
// The guest's clock is put on the host's by the records: the smallest
// (receipt in the page - guest read time) over all records is the clock
// offset plus the fastest delivery, so the latencies are upper bounds by
// that delivery (well under a millisecond's worth of error is not claimed).
//
// A sample is lost when the guest does not run for a whole output period:
// board time is the host's real time, and a loaded host deschedules QEMU.
// The overruns the records' INT_SOURCE shows count such times (each one or
// more samples overwritten before the reader came); the reader numbers its
// records, so that those lost on the way to the page are counted apart.
// With --fifo the sensor keeps its samples in its FIFO (stream mode, 32
// deep) until they are read, as a reader that cannot always run in time
// would have it: the driver then returns them one record each, late rather
// than lost. With --icount board time counts the guest's instructions, so
// that a host that does not run the guest stops the sensor too; the latency
// is then not measured, as guest time is no longer the host's.
//
// usage: node bench.mjs BUILD_DIR SERIES SECONDS CLICKS [--icount] [--fifo]
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import path from 'node:path';
import {Board, launchBrowser, nodeModules, typeLine, waitForPrompt} from './tests/harness.mjs';

const [build, series, secondsArg = '60', clicksArg = '40', ...modes] = process.argv.slice(2);
const icount = modes.includes('--icount'), fifo = modes.includes('--fifo');
const seconds = Number(secondsArg), clicks = icount ? 0 : Number(clicksArg);
const RATE_HZ = 100;

// The driver's rate command goes up to 25 Hz; 100 Hz (BW_RATE code 0x0A) is
// written over the bus by hand, before the panel's reader starts: two
// command words to I2C controller 0 (register, then value with a stop); so
// is FIFO_CTL's stream mode (0x80), with --fifo.
const GUEST = `
insmod /modules/panelio.ko
insmod /modules/accel.ko
cat /dev/accel >/dev/null
devmem 0xFFC04010 32 0x2C
devmem 0xFFC04010 32 0x20A
${fifo ? 'devmem 0xFFC04010 32 0x38; devmem 0xFFC04010 32 0x280' : ''}
board regs | grep BW_RATE
panelfeed keys ${seconds + 240} &
keys=$!
i=0
until [ -e /tmp/done ] || [ $i -ge $((${seconds} * 10 + 2400)) ]; do sleep 0.1; i=$((i + 1)); done
kill $keys
`;

const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
const pct = (v, p) => [...v].sort((a, b) => a - b)[Math.min(v.length - 1, Math.floor(v.length * p))];

const modules = await nodeModules();
const board = new Board({build, kernel: series, script: GUEST, timeout: seconds + 300,
  args: icount ? ['--icount'] : []});
const userDir = mkdtempSync(path.join(tmpdir(), 'panel-bench.'));
let context;
try {
  const url = await board.url;
  for (let i = 0; ; i++) {
    const regs = await board.board('regs').then((r) => r.stdout, () => '');
    if (/^BW_RATE 0x0A$/m.test(regs) && /^POWER_CTL 0x08$/m.test(regs)) break;
    if (i > 600) throw new Error('the guest never set 100 Hz');
    await new Promise((r) => setTimeout(r, 100));
  }
  context = await launchBrowser(modules, userDir);
  const page = await context.newPage();
  await page.goto(url);
  await waitForPrompt(page);
  await page.waitForFunction(() => window.panel.plotted > 100, null, {timeout: 30000});
  const start = await page.evaluate(() => window.panel.sampleTimes.at(-1));

  // Clicks, a quarter second apart, while the samples go on.
  const key0 = page.getByRole('button', {name: 'KEY0', exact: true});
  for (let i = 0; i < clicks; i++) {
    await key0.click();
    await page.waitForTimeout(250);
  }
  await page.waitForFunction((end) => window.panel.sampleTimes.at(-1) >= end,
    start + seconds, {timeout: (seconds * 3 + 60) * 1000, polling: 500});
  const seen = await page.evaluate(() => ({
    times: window.panel.sampleTimes, overruns: window.panel.overruns,
    offset: window.panel.clockOffsetMs, presses: window.panel.presses.map((p) => p.t),
    dropped: window.panel.dropped}));
  await typeLine(page, 'touch /tmp/done');
  const {status, output} = await board.exited;
  if (status !== 0) throw new Error(`guest script: exit status ${status}\n${output}`);

  // 1. Latency: the n-th press against the n-th press the guest saw.
  const guestSeen = [...output.matchAll(/^key 1 (\d+)$/gm)].map((m) => Number(m[1]) / 1000);
  if (guestSeen.length !== seen.presses.length)
    throw new Error(`${seen.presses.length} clicks, the guest saw ${guestSeen.length} presses`);
  const latency = seen.presses.map((t, i) => guestSeen[i] + seen.offset - t);

  // 2. Samples: gaps in the plotted ones over the window.
  const period = 1 / RATE_HZ;
  // The sensor's samples are a period apart in board time: as many between
  // the first and the last plotted one as the span holds.
  const inWindow = seen.times.filter((t) => t >= start && t < start + seconds);
  const produced = Math.round((inWindow.at(-1) - inWindow[0]) / period) + 1;
  const lost = produced - inWindow.length;
  const overruns = seen.overruns.filter((t) => t >= start && t < start + seconds).length;

  console.log(`panel benchmark, kernel ${series}, ${seconds} s at ${RATE_HZ} Hz` +
    (fifo ? ' through the sensor\'s FIFO' : '') + ', board time ' +
    (icount ? 'from instructions (--icount)' : 'real time') + `, ${clicks} clicks`);
  if (icount) {
    console.log('click to press seen in the guest: not measured (guest time counts instructions)');
  } else {
    console.log(`click to press seen in the guest: median ${median(latency).toFixed(1)} ms, ` +
      `90th percentile ${pct(latency, 0.9).toFixed(1)} ms, max ${Math.max(...latency).toFixed(1)} ms ` +
      `(goal: median <= 100 ms)`);
  }
  console.log(`samples plotted: ${inWindow.length} of ${produced} the sensor produced ` +
    `in ${seconds} s, ${lost} lost (goal: none lost); ${overruns} records show an overrun ` +
    `(the sensor overwrote a sample before the guest read it), ${seen.dropped} records ` +
    `the guest sent never reached the page`);
} finally {
  await context?.close();
  board.close();
  rmSync(userDir, {recursive: true, force: true});
}
