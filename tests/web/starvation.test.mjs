// The judge of the browser suite's real-time cases, on made-up records: it
// must blame the player for a restart that nothing starved, and only then.
import { test, describe } from 'node:test';
import assert from 'node:assert/strict';
import { unexplainedRestarts, unexplainedQuiet, restartsCounted, scheduleShape } from './starvation.mjs';

const PRESET_MS = 70;
const MESSAGE_MS = 1 / 3; // 64-frame blocks at 192 kHz

// A record of `seconds` of steady messages whose audio keeps pace with its
// clock, except that `pace(t)` (0 to 1, default 1) of each message's audio
// arrives at page time t; restarts, gaps and timer delays as given.
function record({ seconds = 3, pace = () => 1, restarts = [], gaps = [], late = [] } = {}) {
  const behind = [];
  let lag = 0;
  for (let t = 0; t < seconds * 1000; t += MESSAGE_MS) {
    lag += MESSAGE_MS * (1 - pace(t));
    behind.push([t, lag, 0]);
  }
  return { behind, restarts, gaps, late, messages: behind.length, sockets: 1 };
}

describe('restarts the page was not starved for', () => {
  test('a restart with nothing behind it is the player\'s', () => {
    const r = record({ restarts: [[1500, 1]] });
    assert.deepEqual(unexplainedRestarts(r, PRESET_MS, 0), [[1500, 1]]);
  });

  test('a socket gap or a late timer longer than the buffer just before it explains it; a shorter one does not', () => {
    for (const [gaps, late, blamed] of [
      [[[1490, 100]], [], 0], // a 100 ms gap that ended 10 ms before
      [[], [[1400, 90]], 0], // the timer 90 ms late, 100 ms before
      [[[1490, 60]], [[1490, 60]], 1], // shorter than the buffer
      [[[900, 100]], [], 1], // long ago: the buffer had refilled
    ]) {
      const r = record({ restarts: [[1500, 1]], gaps, late });
      assert.equal(restartsCounted(unexplainedRestarts(r, PRESET_MS, 0)), blamed, JSON.stringify({ gaps, late }));
    }
  });

  test('audio that fell behind its clock by the buffer since the last restart explains the next one', () => {
    // 200 ms at half pace: 100 ms behind by 1300 ms.
    const slow = (t) => (t >= 1100 && t < 1300 ? 0.5 : 1);
    assert.deepEqual(unexplainedRestarts(record({ pace: slow, restarts: [[1300, 1]] }), PRESET_MS, 0), []);
    // 80 ms at half pace: 40 ms behind, which a 70 ms buffer rides out.
    const brief = (t) => (t >= 1220 && t < 1300 ? 0.5 : 1);
    assert.equal(unexplainedRestarts(record({ pace: brief, restarts: [[1300, 1]] }), PRESET_MS, 0).length, 1);
    // The same fall counts once: the restart refilled the buffer, and a
    // second restart later has nothing new behind it.
    const twice = record({ pace: slow, restarts: [[1300, 1], [2000, 1]] });
    assert.deepEqual(unexplainedRestarts(twice, PRESET_MS, 0), [[2000, 1]]);
  });

  test('audio that ran ahead of its clock by the margin (a burst after a stall upstream) explains one', () => {
    const burst = (t) => (t >= 1000 && t < 1050 ? 4 : 1); // 150 ms of audio in 50 ms
    assert.deepEqual(unexplainedRestarts(record({ pace: burst, restarts: [[1050, 1]] }), PRESET_MS, 0), []);
    const small = (t) => (t >= 1000 && t < 1050 ? 2 : 1); // 50 ms extra: within the margin
    assert.equal(unexplainedRestarts(record({ pace: small, restarts: [[1050, 1]] }), PRESET_MS, 0).length, 1);
  });

  test('silence is explained while a starvation lasts and until the fresh schedule plays, not elsewhere', () => {
    const slow = (t) => (t >= 1100 && t < 1300 ? 0.5 : 1);
    const r = record({ pace: slow, restarts: [[1300, 1]], gaps: [[2600, 150]] });
    const quiet = [1290, 1400, 2000, 2500, 2700, 2900];
    assert.deepEqual(unexplainedQuiet(r, PRESET_MS, 0, quiet), [2000, 2900]);
  });
});

describe('the shape of the schedule', () => {
  test('counts the buffers, the shortest, and the starts that do not follow the one before', () => {
    const rate = 48000;
    const run = (when, frames) => [0, when, frames, rate];
    const shape = scheduleShape([run(1, 480), run(1.01, 960), run(1.03, 480), run(2, 512)]);
    assert.deepEqual(shape, { count: 4, shortest: 0.01, breaks: 1 });
  });
});
