// SPDX-License-Identifier: GPL-2.0-or-later
// The front panel in a real browser: Debian's chromium, headless, drives the
// page of a board booted with --panel while a guest script watches the
// drivers; scripts/board moves the same board from outside.
//
// usage: node panel.test.mjs BUILD_DIR NAME [KERNEL] [--page]
// NAME: the kernel's name (image-NAME in the build); KERNEL: what vboard/run
// --kernel takes for it (default NAME). --page: the checks of the page, its
// server and the machine alone too, which no kernel changes (the board's
// other series check only what the guest's kernel takes part in). Exit
// status 77 (skipped): an image without the panel (a kernel without the
// virtio console), or chromium missing off CI.
import assert from 'node:assert/strict';
import {mkdirSync, mkdtempSync, rmSync} from 'node:fs';
import http from 'node:http';
import {tmpdir} from 'node:os';
import path from 'node:path';
import {after, before, describe, test} from 'node:test';
import {Board, CHROMIUM, existsSync, launchBrowser, nodeModules, pageFaults, root, terminalText,
  typeLine, waitForPrompt} from './harness.mjs';

const words = process.argv.slice(2);
const [build, series, kernel = series] = words.filter((w) => w !== '--page');
// The options of a test or suite that runs with --page only.
const pageOnly = {skip: words.includes('--page') ? false : 'the page alone: checked on one series'};
if (!existsSync(CHROMIUM)) {
  console.log(`${CHROMIUM} is missing: scripts/setup-host.sh installs it`);
  process.exit(process.env.CI ? 1 : 77);
}
if (!existsSync(path.join(build, `vboard/image-${series}/panel`))) {
  console.log(`the ${series} image has no panel: its kernel has no virtio console`);
  process.exit(77);
}
const shots = path.join(build, 'vboard/panel');
mkdirSync(shots, {recursive: true});

// The guest watches /dev/KEY and /dev/SW once the host says so (the file
// /tmp/watch, made from the page's console), so that the presses of the
// earlier tests do not count, and says when it does (/tmp/watching).
const GUEST = `
. /lib/vboard/testlib.sh
insmod /modules/panelio.ko
insmod /modules/accel.ko
uptime() { cut -d. -f1 /proc/uptime; }
end=$(($(uptime) + 240))
until [ -e /tmp/watch ] || [ $(uptime) -ge $end ]; do sleep 0.1; done
cat /dev/KEY >/dev/null
: >/tmp/watching
keys=0
while [ $((keys & 5)) -ne 5 ] && [ $(uptime) -lt $end ]; do
	keys=$((keys | 0x$(cat /dev/KEY)))
	sleep 0.05
done
sleep 0.3
keys=$((keys | 0x$(cat /dev/KEY)))
expect "/dev/KEY after the page clicked KEY0 and KEY2" "$keys" 5
until [ "$(cat /dev/SW)" = 00A ] || [ $(uptime) -ge $end ]; do sleep 0.05; done
expect "/dev/SW after the page toggled SW1 and SW3" "$(cat /dev/SW)" 00A
expect_no_kernel_trouble
finish
`;

// Milli-g of the Y axis in a record "S X Y Z MG/LSB".
const yMg = (record) => {
  const f = record.trim().split(/\s+/);
  return f.length === 5 ? Number.parseInt(f[2], 10) * Number.parseInt(f[4], 10) : NaN;
};

// One browser for the pages of both boards below; what goes wrong in any
// of them is a fault. The first board starts while the browser does. (Not
// the one with a design in the fabric: its co-simulation takes a processor
// for as long as it runs.)
let context, userDir, faults, firstBoard;
before(async () => {
  firstBoard = new Board({build, kernel, script: GUEST});
  userDir = mkdtempSync(path.join(tmpdir(), 'panel-chromium.'));
  context = await launchBrowser(await nodeModules(), userDir);
  faults = pageFaults(context);
});
after(async () => {
  await context?.close();
  if (userDir) rmSync(userDir, {recursive: true, force: true});
});

describe(`front panel (${series})`, () => {
  let board, url, page;

  before(async () => {
    board = firstBoard;
    url = await board.url;
    page = await context.newPage();
    await page.goto(url);
    await waitForPrompt(page).catch((e) => {
      const seen = faults.join('\n') || 'nothing seen';
      throw new Error(`${e.message}\nwhat went wrong in the page: ${seen}`);
    });
  });

  after(async () => {
    await page?.close();
    board?.close();
  });

  test('every control has an accessible name', pageOnly, async () => {
    const tree = await page.locator('main').ariaSnapshot();
    const controls = tree.split('\n').filter((l) =>
      /- (button|switch|checkbox|spinbutton|textbox|application)\b/.test(l));
    assert.ok(controls.length >= 28, tree);
    assert.deepEqual(controls.filter((l) => !/"[^"]+"/.test(l)), [], 'controls without a name');
    // The switches the machine says the board has, SW0 to SW9, and no more.
    assert.equal(await page.evaluate(() => window.panel.state['switch-count']), 10);
    assert.equal(controls.filter((l) => /- switch "SW\d+"/.test(l)).length, 10, tree);
    for (let n = 0; n < 10; n++)
      assert.ok(tree.includes(`- switch "SW${n}"`), `SW${n}`);
    for (let n = 0; n < 4; n++)
      assert.ok(tree.includes(`- button "KEY${n}"`), `KEY${n}`);
    assert.ok(/- status "latest record"/.test(tree), 'the latest record is a status');
  });

  test('every endpoint refuses a request without the token', pageOnly, async () => {
    const base = new URL(url);
    const status = (p, headers = {}) => new Promise((resolve, reject) => {
      http.get({host: base.hostname, port: base.port, path: p, headers}, (res) => {
        res.resume();
        resolve(res.statusCode);
      }).on('error', reject);
    });
    const upgrade = {Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': '13',
      'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ=='};
    for (const p of ['/', '/page/panel.js', '/page/events.js', '/lib/xterm.mjs', '/lib/uPlot.esm.js',
      '/nothing']) {
      assert.equal(await status(p), 403, p);
      assert.equal(await status(`${p}?token=0123456789abcdef0123456789abcdef`), 403, `${p}, a wrong token`);
    }
    for (const p of ['/events', '/console'])
      assert.equal(await status(p, upgrade), 403, `WebSocket ${p}`);
    assert.equal(await status(`/${base.search}`), 200, 'the page with its token');
    assert.equal(base.hostname, '127.0.0.1');
  });

  test('linefan typed in the page\'s console draws its fan in colour', async () => {
    await typeLine(page, 'linefan');
    // The whole fan: stars in each of its seven colours (31 to 37, the
    // terminal's colours 1 to 7), and no more coming (linefan waits for a
    // key once it has drawn it), then a frame for the page to paint it.
    await page.waitForFunction(() => {
      const stars = (n) => [...document.querySelectorAll(`#terminal .xterm-rows .xterm-fg-${n}`)]
        .reduce((sum, cell) => sum + (cell.textContent.match(/\*/g) || []).length, 0);
      const now = [1, 2, 3, 4, 5, 6, 7].map(stars).join(' ');
      const settled = now === window.fanStars && !now.split(' ').includes('0');
      window.fanStars = now;
      return settled;
    }, null, {polling: 200});
    await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => done())));
    const png = await page.locator('#terminal').screenshot({path: path.join(shots, `linefan-${series}.png`)});
    await page.keyboard.press('Enter'); // linefan waits for a key
    await page.waitForFunction(() => !/\*/.test(document.querySelector('#terminal .xterm-rows').innerText));
    // The browser decodes the screenshot: pixels near each of the fan's
    // seven colours (31 to 37) as the page's terminal theme draws them.
    const counts = await page.evaluate(async (b64) => {
      const img = new Image();
      img.src = `data:image/png;base64,${b64}`;
      await img.decode();
      const canvas = Object.assign(document.createElement('canvas'), {width: img.width, height: img.height});
      const g = canvas.getContext('2d');
      g.drawImage(img, 0, 0);
      const px = g.getImageData(0, 0, img.width, img.height).data;
      const names = ['red', 'green', 'yellow', 'blue', 'magenta', 'cyan', 'white'];
      const want = names.map((n) => window.panel.theme[n].match(/\w\w/g).map((h) => parseInt(h, 16)));
      const counts = Object.fromEntries(names.map((n) => [n, 0]));
      for (let i = 0; i < px.length; i += 4) {
        want.forEach(([r, gr, b], k) => {
          if (Math.abs(px[i] - r) + Math.abs(px[i + 1] - gr) + Math.abs(px[i + 2] - b) < 60) counts[names[k]]++;
        });
      }
      return counts;
    }, png.toString('base64'));
    for (const [colour, n] of Object.entries(counts))
      assert.ok(n >= 20, `the fan's ${colour} line: ${n} pixels of its colour (${JSON.stringify(counts)})`);
  });

  test('a tilt made with scripts/board shows in "latest record" within a second', async () => {
    const record = page.getByRole('status', {name: 'latest record'});
    await page.waitForFunction(() => /^\s*\S+ [-+\d]+ [-+\d]+ [-+\d]+ \d+$/.test(
      document.getElementById('record').textContent), null, {timeout: 60000});
    assert.ok(Math.abs(yMg(await record.textContent())) < 300, 'lying flat at first');
    await board.board('tilt', '0', '-1000', '0');
    const t0 = Date.now();
    await page.waitForFunction(() => {
      const f = document.getElementById('record').textContent.trim().split(/\s+/);
      return f.length === 5 && Number.parseInt(f[2], 10) * Number.parseInt(f[4], 10) < -900;
    }, null, {timeout: 1000, polling: 10});
    const ms = Date.now() - t0;
    assert.ok(yMg(await record.textContent()) > -1100, await record.textContent());
    console.log(`# the tilt showed after ${ms} ms`);
    await board.board('tilt', '0', '0', '1000');
  });

  test('a recording chosen or dropped plays into the sensor, beside what the driver reads', pageOnly,
    async () => {
    const status = page.getByRole('status', {name: 'recording'});
    // Chosen: a bad one, refused with its line.
    await page.getByLabel('Play a recording').setInputFiles({name: 'bad.csv', mimeType: 'text/csv',
      buffer: Buffer.from('t_ms,x_mg,y_mg,z_mg\n0,0,0,1000\n0,0,0,1000\n')});
    await page.getByRole('alert').getByText('play: bad.csv:3: time 0 does not increase (line 2)')
      .waitFor({timeout: 5000});
    // Dropped: the board on its side for ten seconds.
    const dropped = await page.evaluateHandle(() => {
      const transfer = new DataTransfer();
      transfer.items.add(new File(['t_ms,x_mg,y_mg,z_mg\n0,0,-1000,0\n10000,0,0,1000\n'],
        'side.csv', {type: 'text/csv'}));
      return transfer;
    });
    await page.dispatchEvent('main', 'drop', {dataTransfer: dropped});
    await status.getByText(/^playing side\.csv: [0-9.]+ s of 20\.0 s$/).waitFor({timeout: 5000});
    await page.waitForFunction(() => {
      const f = document.getElementById('record').textContent.trim().split(/\s+/);
      return f.length === 5 && Number.parseInt(f[2], 10) * Number.parseInt(f[4], 10) < -900 &&
        window.panel.latestTrue?.join() === '0,-1000,0';
    }, null, {timeout: 2000, polling: 10});
    await page.getByRole('button', {name: 'Stop', exact: true}).click();
    await status.getByText('not playing', {exact: true}).waitFor({timeout: 2000});
    assert.equal(await page.evaluate(() => window.panel.state.playing), false);
    await board.board('tilt', '0', '0', '1000');
  });

  test('a second page sees the first one\'s changes, and both see the board moved elsewhere', pageOnly,
    async () => {
    const page2 = await context.newPage();
    try {
      await page2.goto(url);
      await page2.getByText('connected', {exact: true}).waitFor();
      // Headless, only the page in front draws frames, and the pointer and
      // keys wait for frames: the page acted on comes to the front.
      await page.bringToFront();
      const sw0 = (p) => p.getByRole('switch', {name: 'SW0', exact: true});
      const key1 = (p) => p.getByRole('button', {name: 'KEY1', exact: true});
      const within = (p, check, ms = 500) => p.waitForFunction(check, null, {timeout: ms, polling: 10});

      // The first page's switch (from the keyboard) and held button, in the
      // second; the button held by the pointer, then by the key.
      await sw0(page).focus();
      await page.keyboard.press('Space');
      await within(page2, () => document.querySelector('[aria-label="SW0"]').getAttribute('aria-checked') === 'true');
      await key1(page).hover();
      await page.mouse.down();
      await within(page2, () => document.querySelector('[aria-label="KEY1"]').getAttribute('aria-pressed') === 'true');
      await page.mouse.up();
      await within(page2, () => document.querySelector('[aria-label="KEY1"]').getAttribute('aria-pressed') === 'false');
      await key1(page).focus();
      await page.keyboard.down('Enter');
      await within(page2, () => document.querySelector('[aria-label="KEY1"]').getAttribute('aria-pressed') === 'true');
      await page.keyboard.up('Enter');
      await within(page2, () => document.querySelector('[aria-label="KEY1"]').getAttribute('aria-pressed') === 'false');

      // The tilt pad from the keyboard: flat, then two steps to +X.
      await page.getByRole('application', {name: 'Tilt pad'}).focus();
      await page.keyboard.press('Home');
      await page.keyboard.press('ArrowRight');
      await page.keyboard.press('ArrowRight');
      await within(page2, () => document.querySelector('[aria-label="Tilt X (mg)"]').value === '100', 1000);

      // The second page's tilt, typed, in the first page's fields.
      await page2.bringToFront();
      await page2.getByLabel('Tilt X (mg)').fill('0');
      await page2.getByLabel('Tilt Y (mg)').fill('707');
      await page2.getByLabel('Tilt Z (mg)').fill('707');
      await page2.getByRole('button', {name: 'Tilt', exact: true}).click();
      await within(page, () => document.querySelector('[aria-label="Tilt Y (mg)"]').value === '707');
      // A value the board cannot take: its reason, and no change.
      await page2.getByLabel('Tilt Z (mg)').fill('20000');
      await page2.getByRole('button', {name: 'Tilt', exact: true}).click();
      await page2.getByRole('alert').getByText('out of range').waitFor({timeout: 2000});

      // scripts/board, then the guest's own board tool.
      await board.board('switches', '200');
      await within(page, () => document.querySelector('[aria-label="SW9"]').getAttribute('aria-checked') === 'true');
      await within(page2, () => document.querySelector('[aria-label="SW0"]').getAttribute('aria-checked') === 'false');
      await page.bringToFront();
      await typeLine(page, 'board switches 0; board noise 25');
      await within(page2, () => document.querySelector('[aria-label="Noise amplitude (mg)"]').value === '25', 5000);
      assert.equal(await sw0(page2).getAttribute('aria-checked'), 'false');
      await typeLine(page, 'board noise 0');

      await page2.bringToFront();
      await page2.screenshot({path: path.join(shots, `panel-second-page-${series}.png`)});
    } finally {
      await page2.close();
    }
  });

  test('the pages loaded all their modules and ran them without an error', () => {
    assert.deepEqual(faults, []);
  });

  test('clicking KEY0 and KEY2 and toggling SW1 and SW3 reach the guest\'s drivers', async () => {
    await typeLine(page, "touch /tmp/watch; until [ -e /tmp/watching ]; do sleep 0.05; done; echo watch''ing");
    await page.waitForFunction(() =>
      /^watching\s*$/m.test(document.querySelector('#terminal .xterm-rows').innerText));
    await page.getByRole('button', {name: 'KEY0', exact: true}).click();
    await page.getByRole('button', {name: 'KEY2', exact: true}).click();
    for (const name of ['SW1', 'SW3']) {
      const sw = page.getByRole('switch', {name, exact: true});
      await sw.click();
      await page.waitForFunction((n) =>
        document.querySelector(`[aria-label="${n}"]`).getAttribute('aria-checked') === 'true', name);
    }
    // A few samples on the plot for the picture.
    await page.waitForFunction(() => window.panel.plotted >= 20);
    await page.screenshot({path: path.join(shots, `panel-${series}.png`)});
    const {status, output} = await board.exited;
    console.log(output.replace(/^/gm, '# guest: '));
    assert.equal(status, 0, `the guest's checks (exit status ${status})`);
  });
});

// A design in the fabric drives the LEDs and the digits (the example timer,
// examples/fabric/): what the guest stores in its registers shows in the
// page, and changes there as the guest changes it.
const FABRIC_GUEST = `
. /lib/vboard/testlib.sh
# Names of examples/fabric/timer_regs.h.
FABRIC_BASE=0xFF210000 TIMER_LEDR=0x14 TIMER_HEX_LO=0x18 TIMER_HEX_HI=0x1C TIMER_INPUTS=0x20
reg() { devmem $((FABRIC_BASE + $1)) 32 \${2+"$2"}; }
reg $TIMER_LEDR 0x2A5
reg $TIMER_HEX_LO 0x79244030
reg $TIMER_HEX_HI 0x0040
# The page turns SW0 on once it has checked the above: then the next values.
i=0
until [ $(($(reg $TIMER_INPUTS) & 1)) -eq 1 ] || [ $i -ge 10000 ]; do sleep 0.1; i=$((i + 1)); done
reg $TIMER_LEDR 0x001
reg $TIMER_HEX_LO 0x7F7F7F7F
reg $TIMER_HEX_HI 0x007F
until [ $(($(reg $TIMER_INPUTS) & 1)) -eq 0 ] || [ $i -ge 10000 ]; do sleep 0.1; i=$((i + 1)); done
finish
`;

describe(`front panel with a design in the fabric (${series})`, pageOnly, () => {
  let board, page;

  before(async () => {
    board = new Board({build, kernel, script: FABRIC_GUEST,
      args: ['--fabric', path.resolve(root, 'examples/fabric/timer.v')]});
    page = await context.newPage();
    await page.goto(await board.url);
  });

  after(async () => {
    await page?.close();
    board?.close();
  });

  // The LEDs lit, LEDR9 first, and each digit's segments, HEX5 first.
  const shown = () => page.evaluate(() => ({
    leds: [...document.querySelectorAll('#leds .led')].map((l) => l.dataset.lit === 'true' ? 1 : 0)
      .join(''),
    digits: [...document.querySelectorAll('#digits .digit')].map((d) =>
      [...d.querySelectorAll('rect')].map((r) => r.classList.contains('lit') ? r.dataset.segment : '')
        .join('') || '-'),
  }));
  const until = (want) => page.waitForFunction((w) => {
    const leds = [...document.querySelectorAll('#leds .led')].map((l) => l.dataset.lit === 'true' ? 1 : 0);
    const digits = [...document.querySelectorAll('#digits .digit')].map((d) => d.dataset.segments);
    return leds.join('') === w.leds && digits.join(' ') === w.digits;
  }, want, {timeout: 60000});

  test('the LEDs and digits show what the design drives', async () => {
    // LEDR 0x2A5; hex5 to hex0: 0x00 0x40 0x79 0x24 0x40 0x30.
    await until({leds: '1010100101', digits: '0x0 0x40 0x79 0x24 0x40 0x30'});
    assert.deepEqual(await shown(), {leds: '1010100101',
      digits: ['abcdefg', 'abcdef', 'bc', 'abdeg', 'abcdef', 'abcdg']});
    assert.equal(await page.getByRole('img', {name: 'HEX2: a b d e g'}).count(), 1);
    await page.locator('#board').screenshot({path: path.join(shots, `panel-fabric-${series}.png`)});
    await page.getByRole('switch', {name: 'SW0', exact: true}).click();
    // Then LEDR0 alone, hex5 all lit, the other digits dark.
    await until({leds: '0000000001', digits: '0x0 0x7f 0x7f 0x7f 0x7f 0x7f'});
    assert.equal(await page.getByRole('img', {name: 'LEDR0 lit'}).count(), 1);
    await page.getByRole('switch', {name: 'SW0', exact: true}).click();
    const {status, output} = await board.exited;
    assert.equal(status, 0, output);
    assert.deepEqual(faults, []);
  });
});
