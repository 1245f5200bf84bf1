// The web player in real Chromium against the real plug-in, for each host
// configuration and both playback engines: restarts in a 30 s window, the
// page's main-thread busy share, and the CPU share of the test host and of
// the prefix's wineserver over the same window. Prints figures only; a slow
// machine is not a failure, and a row that cannot run is printed as failed.
//
// Method: one test host (`testhost serve`, the built-in chord) per host
// configuration, stopped before the next starts. Against it, one page at a
// time in one headless Chromium: the worklet engine on http://127.0.0.1 (a
// secure context), the scheduled engine under a name the browser maps to
// 127.0.0.1 (not a secure context). Each page is paired, listen is tapped
// (the 70 ms preset, the page's default), and after a short settle the
// window opens. Nothing touches the page during the window.
//
// Figures, each the change over the window:
// - restarts: the page's own restart counter (#restarts).
// - drops: blocks the plug-in lost (a full ring, or stale when drained),
//   from the host's `status` command; a gap in the stream the page hears.
// - main busy: Chromium's TaskDuration (time the page's main thread spent
//   in tasks) over the window's length by the browser's own clock
//   (the Timestamp metric); script is ScriptDuration, layout+style is
//   LayoutDuration + RecalcStyleDuration on the same scale. The worklet's
//   audio thread is not the main thread: renderer is the page's whole
//   process (ProcessTime), audio thread included.
// - host: utime + stime of the host process, all its threads, from
//   /proc/<pid>/stat. The Wine process is the spawned one (the wrappers
//   exec); TestHost.exePid() checks it by name.
// - wineserver: the same for the prefix's wineserver, which every Wine wait
//   and socket poll of the host goes through. Wine runs it in a directory
//   named server-<device>-<inode> of the prefix (both in hex), so the
//   process whose working directory has that name is this prefix's server.
// CPU shares are percent of one core.
import { execFileSync } from 'node:child_process';
import { readdirSync, readFileSync, readlinkSync, statSync } from 'node:fs';
import path from 'node:path';
import { launchChromium, PLAIN_HOST } from '../tests/web/chromium.mjs';
import { TestHost, REPO_ROOT } from '../tests/web/testhost.mjs';
import { openPlayer, text, waitText, startListening, sleep } from '../tests/web/player.mjs';

// Rate (Hz), block (frames): a DAW's usual setting, a small block, a high rate.
const CONFIGS = [[48000, 256], [48000, 32], [192000, 64]];
const WINDOW_MS = 30000;
const SETTLE_MS = 2000; // past the start-up work of the first tap
const ENGINES = [
  // name, URL of the host's page for it
  ['worklet', (host) => host.url()],
  ['scheduled', (host) => host.url({ host: PLAIN_HOST })],
];
const CLOCK_TICKS = Number(execFileSync('getconf', ['CLK_TCK'], { encoding: 'utf8' }));

// CPU seconds (user + system, all threads) of process pid so far.
function cpuSeconds(pid) {
  const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' '); // after the name, which may hold ") "
  return (Number(fields[11]) + Number(fields[12])) / CLOCK_TICKS;
}

// The prefix's wineserver (null if none runs): see the method above.
function wineserverPid() {
  const prefix = process.env.WINEPREFIX || path.join(REPO_ROOT, 'build', 'wineprefix');
  const { dev, ino } = statSync(prefix);
  const dir = `server-${dev.toString(16)}-${ino.toString(16)}`;
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      if (!readFileSync(`/proc/${entry}/comm`, 'utf8').startsWith('wineserver')) continue;
      if (path.basename(readlinkSync(`/proc/${entry}/cwd`)) === dir) return Number(entry);
    } catch {
      // gone meanwhile, or not ours to read
    }
  }
  return null;
}

// The plug-in's count of lost blocks, from the host's status line.
async function hostDrops(host) {
  const reply = host.nextLine('STATUS ');
  host.send('status');
  return Number((await reply).match(/ drops (\d+)/)[1]);
}

// Everything that the window's figures are differences of.
async function sample(page, cdp, host, pids) {
  const { metrics } = await cdp.send('Performance.getMetrics');
  const m = Object.fromEntries(metrics.map(({ name, value }) => [name, value]));
  return {
    m,
    restarts: Number(await text(page, 'restarts')),
    drops: await hostDrops(host),
    wallS: Number(process.hrtime.bigint()) / 1e9,
    hostS: pids.host === null ? NaN : cpuSeconds(pids.host),
    serverS: pids.server === null ? NaN : cpuSeconds(pids.server),
  };
}

async function measure(browser, host, url) {
  const { page, context } = await openPlayer(browser, url);
  try {
    const cdp = await context.newCDPSession(page);
    await cdp.send('Performance.enable', { timeDomain: 'timeTicks' });
    await waitText(page, 'state', 'Eşleşti');
    await startListening(page);
    await sleep(SETTLE_MS);
    const pids = { host: host.exePid(), server: wineserverPid() };
    const a = await sample(page, cdp, host, pids);
    await sleep(WINDOW_MS);
    const b = await sample(page, cdp, host, pids);
    const span = b.m.Timestamp - a.m.Timestamp;
    const share = (...names) => names.reduce((sum, n) => sum + b.m[n] - a.m[n], 0) / span;
    const wall = b.wallS - a.wallS;
    return {
      engine: await text(page, 'engine'),
      state: await text(page, 'state'),
      restarts: b.restarts - a.restarts,
      drops: b.drops - a.drops,
      main: share('TaskDuration'),
      script: share('ScriptDuration'),
      layout: share('LayoutDuration', 'RecalcStyleDuration'),
      renderer: share('ProcessTime'),
      host: (b.hostS - a.hostS) / wall,
      server: (b.serverS - a.serverS) / wall,
    };
  } finally {
    await context.close();
  }
}

const COLUMNS = [
  // heading, width, cell of a result
  ['host config', 14, (r) => r.config],
  ['asked', 10, (r) => r.asked],
  ['engine shown', 17, (r) => r.engine],
  ['restarts', 9, (r) => String(r.restarts)],
  ['drops', 6, (r) => String(r.drops)],
  ['main busy', 10, (r) => percent(r.main)],
  ['script', 8, (r) => percent(r.script)],
  ['layout+style', 13, (r) => percent(r.layout)],
  ['renderer', 9, (r) => percent(r.renderer)],
  ['host', 8, (r) => percent(r.host)],
  ['wineserver', 11, (r) => percent(r.server)],
];

function percent(x) {
  return Number.isFinite(x) ? `${(100 * x).toFixed(1)} %` : 'n/a';
}

function row(cells) {
  return cells.map((c, i) => (i < 3 ? c.padEnd(COLUMNS[i][1]) : c.padStart(COLUMNS[i][1]))).join(' ');
}

function printRow(r) {
  if (r.failed) {
    console.log(row(COLUMNS.slice(0, 2).map(([, , cell]) => cell(r))) + ` failed: ${r.failed}`);
    return;
  }
  const note = r.state === 'Dinleniyor' ? '' : `  (ends in state "${r.state}")`;
  console.log(row(COLUMNS.map(([, , cell]) => cell(r))) + note);
}

async function main() {
  console.log(`Web player in headless Chromium, one page at a time, 70 ms preset; `
    + `a ${WINDOW_MS / 1000} s window from ${SETTLE_MS / 1000} s after listen. `
    + 'Shares are of one core.');
  console.log(row(COLUMNS.map(([heading]) => heading)));
  let browser;
  try {
    browser = await launchChromium();
  } catch (err) {
    console.log(`Chromium failed to start: ${err.message.split('\n')[0]}`);
    return;
  }
  try {
    for (const [rate, block] of CONFIGS) {
      const config = `${rate / 1000} kHz / ${block}`;
      const host = new TestHost({ rate, block });
      let startError = null;
      try {
        await host.start();
      } catch (err) {
        startError = err;
      }
      try {
        for (const [asked, url] of ENGINES) {
          if (startError) {
            printRow({ config, asked, failed: `host: ${startError.message.split('\n')[0]}` });
            continue;
          }
          try {
            printRow({ config, asked, ...(await measure(browser, host, url(host))) });
          } catch (err) {
            printRow({ config, asked, failed: err.message.split('\n')[0] });
          }
        }
      } finally {
        await host.stop().catch(() => {});
      }
    }
  } finally {
    await browser.close();
  }
}

await main();
