// The playback worklet under Node: the script runs in a sandbox whose globals
// stand in for the browser's AudioWorkletGlobalScope.
import { test, describe } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import vm from 'node:vm';

const SOURCE = readFileSync(new URL('../../server/web/player-worklet.js', import.meta.url), 'utf8');
const QUANTUM = 128;

// Loads the script at the given rate and builds one processor like the browser would.
function makePlayer({ rate = 48000, options } = {}) {
  const registered = {};
  class AudioWorkletProcessor {
    constructor() {
      this.port = { onmessage: null, posted: [], postMessage(m) { this.posted.push(m); } };
    }
  }
  const sandbox = {
    AudioWorkletProcessor,
    sampleRate: rate,
    registerProcessor: (name, cls) => { registered[name] = cls; },
  };
  vm.runInNewContext(SOURCE, sandbox);
  const Player = registered['relay-player'];
  assert.ok(Player, 'registers "relay-player"');
  const node = new Player(options === undefined ? {} : { processorOptions: options });
  return new Harness(node);
}

// Drives one processor: posts port messages, renders quanta, keeps a frame counter
// so every sample written is distinct (left = n, right = -n for frame n >= 1).
class Harness {
  constructor(node) {
    this.node = node;
    this.nextFrame = 1;
  }

  post(data) {
    this.node.port.onmessage({ data });
  }

  push(frames) {
    const samples = new Float32Array(frames * 2);
    for (let i = 0; i < frames; i += 1) {
      samples[2 * i] = this.nextFrame;
      samples[2 * i + 1] = -this.nextFrame;
      this.nextFrame += 1;
    }
    this.post({ type: 'pcm', bytes: samples.buffer });
  }

  // One render quantum; returns the left and right output.
  render() {
    const left = new Float32Array(QUANTUM).fill(NaN);
    const right = new Float32Array(QUANTUM).fill(NaN);
    const alive = this.node.process([], [[left, right]], {});
    assert.equal(alive, true, 'process keeps the node alive');
    return { left, right };
  }

  renderMany(count) {
    let last;
    for (let i = 0; i < count; i += 1) last = this.render();
    return last;
  }

  get reports() {
    return this.node.port.posted;
  }
}

const isSilent = ({ left, right }) => left.every((v) => v === 0) && right.every((v) => v === 0);

// The output holds consecutive frames starting at `first`, left and right apart.
function assertFrames(out, first) {
  for (let i = 0; i < QUANTUM; i += 1) {
    assert.equal(out.left[i], first + i, `left sample ${i}`);
    assert.equal(out.right[i], -(first + i), `right sample ${i}`);
  }
}

// Renders quanta until the next report (the stub records every post).
function nextReport(h) {
  const seen = h.reports.length;
  for (let i = 0; i < 32 && h.reports.length === seen; i += 1) h.render();
  return h.reports.at(-1);
}

describe('start-up buffer', () => {
  test('plays from the quantum at which 3360 frames are buffered at 48 kHz', () => {
    const h = makePlayer({ options: { target: 0.07 } });
    h.push(3359);
    assert.ok(isSilent(h.render()), 'one frame short of the target stays silent');
    h.push(1);
    assertFrames(h.render(), 1);
    assertFrames(h.render(), 1 + QUANTUM);
  });

  test('a missing or zero target means 70 ms', () => {
    for (const options of [undefined, {}, { target: 0 }]) {
      const h = makePlayer({ options });
      h.push(3359);
      assert.ok(isSilent(h.render()), `silent below 3360 frames with ${JSON.stringify(options)}`);
      h.push(1);
      assertFrames(h.render(), 1);
    }
  });

  test('the target follows the context rate: 70 ms is 3087 frames at 44.1 kHz', () => {
    const h = makePlayer({ rate: 44100 });
    h.push(3086);
    assert.ok(isSilent(h.render()));
    h.push(1);
    assertFrames(h.render(), 1);
  });

  test('a target below one quantum still waits for a whole quantum', () => {
    const h = makePlayer({ options: { target: 0.001 } }); // 48 frames
    h.push(100);
    assert.ok(isSilent(h.render()));
    assert.equal(nextReport(h).restarts, 0, 'no false start and underrun');
    h.push(28);
    assertFrames(h.render(), 1);
  });
});

describe('flush when too much piles up', () => {
  test('35 ms preset: up to 1680 + 5760 = 7440 frames are kept, one more flushes', () => {
    const h = makePlayer({ options: { target: 0.035 } });
    h.push(7000);
    h.push(440);
    assert.equal(nextReport(h).restarts, 0, 'exactly 7440 frames is no flush');
  });

  test('the flushing message discards the old audio, counts one restart and starts over', () => {
    const h = makePlayer({ options: { target: 0.035 } });
    h.push(7440);
    const firstNew = h.nextFrame;
    h.push(1);
    // Only the new frame is left: not enough to play.
    const report = nextReport(h);
    assert.equal(report.restarts, 1);
    assert.equal(report.fill, 1000 / 48000);
    h.push(1679);
    assertFrames(h.render(), firstNew);
  });

  test('at 44.1 kHz the limit is 3087 + 5292 = 8379 frames', () => {
    const h = makePlayer({ rate: 44100 });
    h.push(8379);
    assert.equal(nextReport(h).restarts, 0);
    const h2 = makePlayer({ rate: 44100 });
    h2.push(8380);
    assert.equal(nextReport(h2).restarts, 1);
  });

  test('the ring holds one second: fill stops at the capacity', () => {
    const h = makePlayer();
    h.post({ type: 'target', target: 2 }); // flush limit far beyond the ring
    h.push(30000);
    h.push(30000);
    assert.deepEqual({ ...nextReport(h) }, { fill: 1000, restarts: 0 });
  });

  test('a steady stream near the target never flushes while the ring wraps many times', () => {
    const h = makePlayer({ options: { target: 0.07 } });
    let expected = 1;
    let started = false;
    // 10 s of 512-frame blocks, each followed by the quanta it pays for.
    for (let block = 0; block < 937; block += 1) {
      h.push(512);
      for (let q = 0; q < 4; q += 1) {
        const out = h.render();
        if (!started && isSilent(out)) continue;
        started = true;
        assertFrames(out, expected);
        expected += QUANTUM;
      }
    }
    assert.ok(expected > 48000 * 9, 'played more than nine ring lengths');
    assert.equal(h.reports.at(-1).restarts, 0);
  });
});

describe('underrun', () => {
  test('a short quantum outputs silence, counts one restart and waits for a full target', () => {
    const h = makePlayer();
    h.push(3360);
    h.renderMany(26); // 3328 frames played, 32 left
    assert.ok(isSilent(h.render()), 'never mixes the 32 frames with silence');
    h.push(3327); // 3359 buffered
    assert.ok(isSilent(h.render()), 'still below the target');
    h.push(1);
    assertFrames(h.render(), 3329); // resumes with the frames the underrun left
    assert.equal(nextReport(h).restarts, 1);
  });

  test('an empty ring before playing is no underrun', () => {
    const h = makePlayer();
    assert.equal(nextReport(h).restarts, 0);
  });
});

describe('page messages', () => {
  test('"reset" discards the buffer without counting a restart', () => {
    const h = makePlayer();
    h.push(4000);
    h.render();
    h.post({ type: 'reset' });
    assert.ok(isSilent(h.render()));
    const report = nextReport(h);
    assert.equal(report.restarts, 0);
    assert.equal(report.fill, 0);
    const next = h.nextFrame;
    h.push(3360);
    assertFrames(h.render(), next);
  });

  test('"target" sets a new start-up buffer and discards without counting', () => {
    const h = makePlayer();
    h.push(4000);
    h.render();
    h.post({ type: 'target', target: 0.035 });
    const report = nextReport(h);
    assert.deepEqual({ ...report }, { fill: 0, restarts: 0 });
    const next = h.nextFrame;
    h.push(1679);
    assert.ok(isSilent(h.render()));
    h.push(1);
    assertFrames(h.render(), next);
  });

  test('"target" moves the flush limit too: 140 ms keeps 6720 + 5760 frames', () => {
    const h = makePlayer();
    h.post({ type: 'target', target: 0.14 });
    h.push(12480);
    h.push(1);
    // One flush, by the second message: only its frame is left.
    assert.deepEqual({ ...nextReport(h) }, { fill: 1000 / 48000, restarts: 1 });
  });

  test('unknown and empty messages change nothing', () => {
    const h = makePlayer();
    h.push(3360);
    h.post({ type: 'volume', value: 0 });
    h.post(null);
    assertFrames(h.render(), 1);
  });
});

describe('reports', () => {
  test('one report every 32 quanta with fill in milliseconds and the restart count', () => {
    const h = makePlayer();
    h.push(100);
    h.renderMany(31);
    assert.equal(h.reports.length, 0, 'nothing before the 32nd quantum');
    h.render();
    assert.equal(h.reports.length, 1);
    assert.deepEqual({ ...h.reports[0] }, { fill: 100 / 48, restarts: 0 });
    assert.notEqual(h.reports[0].fill % 1, 0, 'fill keeps its fraction');
    h.renderMany(31);
    assert.equal(h.reports.length, 1);
    h.render();
    assert.equal(h.reports.length, 2);
  });

  test('fill counts down as quanta play', () => {
    const h = makePlayer();
    h.push(8000);
    const report = nextReport(h); // 32 quanta of 128 frames played
    assert.equal(report.fill, (8000 - 32 * QUANTUM) / 48);
  });
});

describe('a dropped processor', () => {
  test('"stop" ends it: process returns false, nothing more plays or reports', () => {
    const h = makePlayer();
    h.push(8000);
    h.renderMany(40);
    const reports = h.reports.length;
    h.post({ type: 'stop' });
    h.push(4000);
    for (let i = 0; i < 64; i += 1) {
      const left = new Float32Array(QUANTUM), right = new Float32Array(QUANTUM);
      assert.equal(h.node.process([], [[left, right]], {}), false, `quantum ${i} after stop`);
      assert.ok(isSilent({ left, right }));
    }
    assert.equal(h.reports.length, reports, 'no report after stop');
    assert.equal(h.node.ring, null, 'the ring is let go');
  });
});
