// Drives the test host in its real-time "serve" mode: it plays the built-in
// test chord through the plug-in with streaming on and prints where the
// plug-in's server listens. Commands go to its standard input.
import { spawn, spawnSync, execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

export const REPO_ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const DEFAULT_EXE = 'build/win/tools/testhost.exe';
const LINE_TIMEOUT_MS = 60000; // the first start of a Wine prefix is slow
const QUIT_GRACE_MS = 5000;
// The host stands in for a DAW, whose audio thread runs above ordinary
// work: on a loaded machine its blocks stay on time while the browser's
// pages compete for the cores.
const HOST_NICENESS = -10;

// Windows executables run under the project's Wine wrapper; anything else
// (a native stand-in) runs as it is.
function hostCommand(exe, args) {
  if (exe.toLowerCase().endsWith('.exe')) return ['bash', ['scripts/wine-run', exe, ...args]];
  return [exe, args];
}

// `nice` with a raised priority, where this user may raise it; otherwise
// the host runs at the default priority (nice itself would warn on stderr).
let niceArgs;
function raisedPriority() {
  if (niceArgs === undefined) {
    try {
      const result = spawnSync('nice', ['-n', String(HOST_NICENESS), 'true'], { encoding: 'utf8' });
      niceArgs = result.status === 0 && result.stderr === '' ? ['nice', '-n', String(HOST_NICENESS)] : [];
    } catch {
      niceArgs = [];
    }
  }
  return niceArgs;
}

// Starts the prefix's wineserver and services detached from our pipes, once:
// started by the first host instead, they would hold the test runner's
// output open after the run.
let prefixReady = false;
function preparePrefix() {
  if (prefixReady) return;
  execFileSync('bash', ['scripts/wine-prefix', 'start'], { cwd: REPO_ROOT, stdio: 'ignore' });
  prefixReady = true;
}

export class TestHost {
  constructor({ rate = 48000, block = 512 } = {}) {
    this.rate = rate;
    this.block = block;
    this.lines = [];
    this.waiters = [];
    this.port = 0;
    this.key = '';
    this.exited = false;
  }

  async start() {
    const exe = process.env.VANTREL_TESTHOST || DEFAULT_EXE;
    if (exe.toLowerCase().endsWith('.exe')) preparePrefix();
    const [cmd, args] = hostCommand(exe, ['serve', '--rate', String(this.rate), '--block', String(this.block)]);
    const [first, ...rest] = [...raisedPriority(), cmd, ...args];
    this.child = spawn(first, rest, { cwd: REPO_ROOT, stdio: ['pipe', 'pipe', 'inherit'] });
    this.child.on('exit', () => {
      this.exited = true;
      for (const w of this.waiters.splice(0)) {
        clearTimeout(w.timer); // else a dead host's waits keep node alive
        w.reject(new Error('test host exited'));
      }
    });
    let pending = '';
    this.child.stdout.setEncoding('utf8');
    this.child.stdout.on('data', (text) => {
      pending += text;
      const parts = pending.split(/\r?\n/);
      pending = parts.pop();
      for (const line of parts) this.onLine(line.trim());
    });
    await this.listening();
    return this;
  }

  onLine(line) {
    this.lines.push(line);
    for (const w of this.waiters.slice()) {
      if (line.startsWith(w.prefix)) {
        this.waiters.splice(this.waiters.indexOf(w), 1);
        clearTimeout(w.timer);
        w.resolve(line);
      }
    }
  }

  // The next line beginning with prefix (lines seen before the call do not count).
  nextLine(prefix) {
    return new Promise((resolve, reject) => {
      if (this.exited) { reject(new Error('test host exited')); return; }
      const waiter = { prefix, resolve, reject };
      waiter.timer = setTimeout(() => {
        this.waiters.splice(this.waiters.indexOf(waiter), 1);
        reject(new Error(`no "${prefix}" line from the test host in ${LINE_TIMEOUT_MS} ms`));
      }, LINE_TIMEOUT_MS);
      this.waiters.push(waiter);
    });
  }

  // Waits for the PORT and KEY lines of one (re)start of the server.
  async listening() {
    const [port, key] = await Promise.all([this.nextLine('PORT '), this.nextLine('KEY ')]);
    this.port = Number(port.slice(5));
    this.key = key.slice(4);
    return this;
  }

  // The process that runs the exe itself, or null while it does not (yet).
  // The wrappers exec, so it is the spawned one once its name is the exe's.
  exePid() {
    const exe = path.basename(process.env.VANTREL_TESTHOST || DEFAULT_EXE).slice(0, 15);
    const comm = readFileSync(`/proc/${this.child.pid}/comm`, 'utf8').trim();
    return comm === exe ? this.child.pid : null;
  }

  // SIGSTOP / SIGCONT of the host process itself, as a sleeping computer
  // would freeze the plug-in.
  signal(name) {
    const pid = this.exePid();
    if (pid === null) throw new Error(`process ${this.child.pid} does not run the test host's exe`);
    process.kill(pid, name);
  }

  freeze() { this.signal('SIGSTOP'); }

  thaw() { this.signal('SIGCONT'); }

  send(command) {
    this.child.stdin.write(command + '\n');
  }

  async terminate() {
    const done = this.nextLine('TERMINATED');
    this.send('terminate');
    await done;
  }

  async initialize() {
    const started = this.listening();
    this.send('initialize');
    return started;
  }

  // The pairing URL on loopback, optionally under another host name that
  // the browser maps to 127.0.0.1.
  url({ host = '127.0.0.1', key = this.key } = {}) {
    return `http://${host}:${this.port}/` + (key === null ? '' : `?key=${key}`);
  }

  async stop() {
    if (!this.child || this.exited) return;
    const exited = new Promise((resolve) => this.child.once('exit', resolve));
    this.send('quit');
    const timer = setTimeout(() => this.child.kill('SIGTERM'), QUIT_GRACE_MS);
    await exited;
    clearTimeout(timer);
  }
}
