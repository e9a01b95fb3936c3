// SPDX-License-Identifier: GPL-2.0-or-later
// What the panel's browser tests and its benchmark share: a virtual board
// booted with the panel around a guest script, Debian's chromium driven by
// playwright-core, and the page's console.
import {spawn, execFile} from 'node:child_process';
import {existsSync, mkdtempSync, rmSync, writeFileSync} from 'node:fs';
import {createRequire} from 'node:module';
import {tmpdir} from 'node:os';
import path from 'node:path';
import {promisify} from 'node:util';

export const CHROMIUM = '/usr/bin/chromium';
const here = path.dirname(new URL(import.meta.url).pathname);
export const root = path.resolve(here, '../../..');

// The npm packages vboard/panel/setup.sh installed.
export async function nodeModules() {
  const {stdout} = await promisify(execFile)(path.join(root, 'vboard/panel/setup.sh'), ['--path']);
  return stdout.trim();
}

export async function launchBrowser(modules, userDataDir) {
  const {chromium} = createRequire(path.join(modules, 'index.js'))('playwright-core');
  // Debian's chromium, headless; no background traffic: this machine has no
  // network beyond loopback.
  return chromium.launchPersistentContext(userDataDir, {
    executablePath: CHROMIUM,
    headless: true,
    viewport: {width: 1400, height: 1100},
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// What goes wrong in a browser's pages, as it comes: an error no script
// caught, and the page's own files or libraries refused or missing (a module
// imported without the token, say).
export function pageFaults(context) {
  const faults = [];
  context.on('weberror', (e) => faults.push(`uncaught: ${e.error().stack ?? e.error()}`));
  context.on('response', (r) => {
    const {pathname} = new URL(r.url());
    if (r.status() >= 400 && /^\/(page\/|lib\/|$)/.test(pathname))
      faults.push(`${r.status()} ${pathname}`);
  });
  return faults;
}

// A board booted with the panel, running GUEST_SCRIPT (text): .url once
// the panel is up, .exited resolves to {status, output}.
export class Board {
  constructor({build, kernel, script, timeout = 300, args = []}) {
    this.work = mkdtempSync(path.join(tmpdir(), 'panel-test.'));
    this.qmp = path.join(this.work, 'qmp.sock');
    writeFileSync(path.join(this.work, 'guest.sh'), script);
    this.output = '';
    this.child = spawn(path.join(root, 'vboard/run'), ['--no-build', '--build', build,
      '--kernel', kernel, '--timeout', String(timeout), '--panel', '--panel-port', '0',
      '--qmp', this.qmp, ...args, '--script', path.join(this.work, 'guest.sh')],
    // A process group of its own: closing ends QEMU too, not only vboard/run.
    {stdio: ['ignore', 'pipe', 'pipe'], detached: true});
    this.child.stdout.on('data', (d) => { this.output += d; });
    this.exited = new Promise((resolve) => this.child.on('exit', (status) =>
      resolve({status, output: this.output})));
    this.url = new Promise((resolve, reject) => {
      let err = '';
      this.child.stderr.on('data', (d) => {
        err += d;
        process.stderr.write(d);
        const m = err.match(/^panel: (http:\S+)$/m);
        if (m) resolve(m[1]);
      });
      this.exited.then(({status}) => reject(new Error(`vboard/run ended (${status}) before the panel was up`)));
    });
  }

  // scripts/board on this board.
  async board(...words) {
    return promisify(execFile)(path.join(root, 'scripts/board'), ['--socket', this.qmp, ...words]);
  }

  close() {
    if (this.child.exitCode === null && this.child.signalCode === null) {
      try {
        process.kill(-this.child.pid, 'SIGTERM');
      } catch { /* already gone */ }
    }
    rmSync(this.work, {recursive: true, force: true});
  }
}

// The page's terminal, as its rows show it.
export async function terminalText(page) {
  return page.locator('#terminal .xterm-rows').innerText();
}

// Types a line into the page's console once its shell has shown a prompt.
export async function typeLine(page, line) {
  await page.locator('#terminal').click();
  // As pasted, in one input event rather than a key at a time.
  await page.keyboard.insertText(line);
  await page.keyboard.press('Enter');
}

export async function waitForPrompt(page, timeout = 60000) {
  await page.waitForFunction(() =>
    document.querySelector('#terminal .xterm-rows')?.innerText.includes('vboard:'), null, {timeout});
}

export {existsSync};
