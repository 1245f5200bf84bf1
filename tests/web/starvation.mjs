// What a listening page can know of its own starvation, recorded on its main
// thread: gaps between arriving socket messages, how late a short timer
// fires, and how the audio that arrives keeps pace with the audio clock
// that plays it. A real-time case uses it to tell a restart that the player
// caused from one that a starved machine forced on it.

// A timer this short fires late only when the main thread is busy.
const BEAT_MS = 10;
// Gaps and delays shorter than this are ordinary jitter and not kept.
const FLOOR_MS = 20;
// The worklet reports its restart count every 32 render quanta (85 ms at
// 48 kHz, 93 ms at 44.1 kHz), and the report waits for the main thread too:
// a restart shows this much after the starvation that caused it began.
const REPORT_MS = 250;
// Silence lasts from a starvation until the restarted schedule (the preset
// buffer later) plays, plus the analyser's window and one read's latency.
const READ_SLACK_MS = 100;
// A buffer runs dry before the whole preset is gone: the scheduled engine
// restarts 3 ms early and may hold up to 10 ms (and one block) back while it
// gathers a run; the worklet needs a whole render quantum.
const DRY_EARLY_MS = 14;
// Both engines start afresh when more than the preset plus this is queued.
const AHEAD_MS = 120;

// Runs in the page before its own script (page.addInitScript). Nothing here
// changes what the player does: it listens alongside.
function probe({ beatMs, floorMs }) {
  const record = { gaps: [], late: [], restarts: [], sources: [], behind: [], messages: 0, sockets: 0 };
  window.starvation = record;

  // Socket messages as the page's handler sees them, on the main thread.
  const NativeSocket = window.WebSocket;
  window.WebSocket = class extends NativeSocket {
    constructor(...args) {
      super(...args);
      let last = 0;
      let rate = 0, origin = null, heardMs = 0;
      const socket = record.sockets++;
      this.addEventListener('message', (event) => {
        const now = performance.now();
        if (last > 0 && now - last > floorMs) record.gaps.push([now, now - last]);
        last = now;
        record.messages += 1;
        if (typeof event.data === 'string') {
          try {
            const message = JSON.parse(event.data);
            if (message.type === 'config') rate = message.sampleRate;
          } catch (e) { /* the player reports it */ }
        } else if (rate > 0 && event.data.byteLength !== undefined) {
          // How far the audio heard so far is behind the audio clock, which
          // plays it: a buffer filled when this was lowest has lost the rise.
          /* global context */
          const clock = typeof context !== 'undefined' && context ? context.currentTime * 1000 : null;
          if (clock === null) return;
          if (origin === null) origin = clock;
          heardMs += event.data.byteLength / 8 / rate * 1000;
          record.behind.push([now, clock - origin - heardMs, socket]);
        }
      });
    }
  };

  // Every scheduled buffer: [page clock, context time it starts, frames, rate].
  const start = AudioBufferSourceNode.prototype.start;
  AudioBufferSourceNode.prototype.start = function (when, ...rest) {
    const buffer = this.buffer;
    record.sources.push([performance.now(), when || 0, buffer ? buffer.length : 0, buffer ? buffer.sampleRate : 0]);
    return start.call(this, when, ...rest);
  };

  // A short timer's lateness.
  let due = performance.now() + beatMs;
  const beat = () => {
    const now = performance.now();
    if (now - due > floorMs) record.late.push([now, now - due]);
    due = now + beatMs;
    setTimeout(beat, beatMs);
  };
  setTimeout(beat, beatMs);

  // Restarts as the page shows them.
  document.addEventListener('DOMContentLoaded', () => {
    const shown = document.getElementById('restarts');
    let count = Number(shown.textContent) || 0;
    new MutationObserver(() => {
      const now = Number(shown.textContent);
      if (now !== count) record.restarts.push([performance.now(), now - count]);
      count = now;
    }).observe(shown, { childList: true, characterData: true, subtree: true });
  });
}

// Call before the page loads its script.
export function watchStarvation(page) {
  return page.addInitScript(probe, { beatMs: BEAT_MS, floorMs: FLOOR_MS });
}

// The page's clock (performance.now()), to mark a window's start.
export function pageNow(page) {
  return page.evaluate(() => performance.now());
}

// Everything recorded since `from` (page clock, ms).
export async function starvationSince(page, from) {
  const record = await page.evaluate(() => window.starvation);
  const after = (list) => list.filter(([at]) => at >= from);
  return {
    ...record,
    gaps: after(record.gaps), late: after(record.late),
    restarts: after(record.restarts), sources: after(record.sources), behind: after(record.behind),
  };
}

// Intervals [from, to] (page clock, ms) in which the page went without a
// message, or without its timer, for longer than `longerThanMs`.
function stalledSpans(record, longerThanMs) {
  return [...record.gaps, ...record.late]
    .filter(([, ms]) => ms > longerThanMs)
    .map(([end, ms]) => [end - ms, end]);
}

// How far the arriving audio fell behind the audio clock by `at` (rise),
// and ran ahead of it (fall: a burst after a stall upstream, or a clock
// that stood still), measured from where it stood since `since`, when the
// buffer was last filled afresh. One socket: the one current at `at`. A
// restart may show up to `within` ms after its cause. With `between`, `at`
// falls between messages, and the clock has gone on since the last one.
export function lagSwing(record, since, at, within = REPORT_MS, between = false) {
  const heard = record.behind.filter(([t]) => t >= since && t <= at);
  const swing = { rise: 0, fall: 0 };
  if (heard.length === 0) return swing;
  const socket = heard.at(-1)[2];
  let low = Infinity;
  let high = -Infinity;
  let last = null;
  for (const [t, behind, s] of heard) {
    if (s !== socket) continue;
    low = Math.min(low, behind);
    high = Math.max(high, behind);
    last = [t, behind];
    if (at - t > within) continue;
    swing.rise = Math.max(swing.rise, behind - low);
    swing.fall = Math.max(swing.fall, high - behind);
  }
  if (between) swing.rise = Math.max(swing.rise, last[1] + (at - last[0]) - low);
  return swing;
}

// Whether the audio's pace alone ran a buffer of `presetMs` dry, or heaped
// it past the preset and the margin, by `at`.
function paceForced(record, presetMs, since, at, between = false) {
  const { rise, fall } = lagSwing(record, since, at, REPORT_MS, between);
  return rise > presetMs - DRY_EARLY_MS || fall > AHEAD_MS;
}

// The restarts (each [at, count]) that no starvation explains: the page's
// socket or timer stalled for longer than the preset buffer in the
// REPORT_MS before the restart showed, or since the last restart (or
// `from`, when listening began) the audio fell behind its clock by the
// buffer or ran ahead of it by the margin.
export function unexplainedRestarts(record, presetMs, from) {
  const spans = stalledSpans(record, presetMs);
  const unexplained = [];
  let since = from;
  for (const [at, count] of record.restarts) {
    const stalled = spans.some(([start, end]) => start <= at && end >= at - REPORT_MS);
    if (!stalled && !paceForced(record, presetMs, since, at)) unexplained.push([at, count]);
    since = at;
  }
  return unexplained;
}

// Quiet reads (page clock, ms) that no starvation explains. Silence runs
// from a stall until the preset buffer after it ends; or from the moment
// the audio has fallen behind by the buffer until the restart that follows
// shows and its fresh schedule plays, the preset later.
export function unexplainedQuiet(record, presetMs, from, quietAt) {
  const spans = stalledSpans(record, presetMs);
  const blamed = unexplainedRestarts(record, presetMs, from).map(([at]) => at);
  const restarts = record.restarts.map(([at]) => at);
  const forced = restarts.filter((at) => !blamed.includes(at));
  const after = presetMs + READ_SLACK_MS;
  return quietAt.filter((q) => {
    if (spans.some(([start, end]) => start <= q && q <= end + after)) return false;
    if (forced.some((at) => at - REPORT_MS <= q && q <= at + after)) return false;
    const since = Math.max(from, ...restarts.filter((at) => at <= q));
    return !paceForced(record, presetMs, since, q, true);
  });
}

// Counts the restarts of unexplainedRestarts().
export function restartsCounted(list) {
  return list.reduce((sum, [, count]) => sum + count, 0);
}

// One line for the log: the worst of each measure, and how often the
// stalls passed `ms`.
export function starvationSummary(record, ms) {
  const worst = (list) => Math.round(Math.max(0, ...list.map(([, v]) => v)));
  const over = (list) => list.filter(([, v]) => v > ms).length;
  const { rise, fall } = lagSwing(record, -Infinity, Infinity, Infinity);
  return `largest message gap ${worst(record.gaps)} ms (${over(record.gaps)} over ${ms} ms), `
    + `latest timer ${worst(record.late)} ms (${over(record.late)} over), `
    + `audio behind its clock by up to ${Math.round(rise)} ms and ahead by up to ${Math.round(fall)} ms, `
    + `${record.messages} messages`;
}

// The scheduled engine's buffers as the schedule holds them: how many,
// the shortest in seconds, and the starts that do not follow the buffer
// before them (a restart begins a fresh schedule).
export function scheduleShape(sources) {
  let shortest = Infinity;
  let breaks = 0;
  for (const [i, [, when, frames, rate]] of sources.entries()) {
    shortest = Math.min(shortest, frames / rate);
    if (i === 0) continue;
    const [, prevWhen, prevFrames, prevRate] = sources[i - 1];
    if (Math.abs(prevWhen + prevFrames / prevRate - when) > 1e-6) breaks += 1;
  }
  return { count: sources.length, shortest, breaks };
}

