// The player script under Node: the page's elements, clock, socket and audio
// context are stand-ins, so the script's own functions can be driven and its
// scheduled buffers, texts and meters read back.
import { test, describe } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import vm from 'node:vm';

const SOURCE = readFileSync(new URL('../../server/web/app.js', import.meta.url), 'utf8');
const TEXT = {
  unreadable: 'Eklentiden gelen yanıt okunamadı.',
  tapAgain: 'Sesi başlatmak için Dinle düğmesine yeniden dokun.',
  pairFailed: 'Bağlantının süresi dolmuş veya eklentiye ulaşılamıyor. QR kodu yeniden okut.',
  waiting: 'Projenden ses gelmesi bekleniyor.',
  live: 'Miksin doğrudan projenden aktarılıyor.',
  resume: 'Sesi sürdürmek için Dinle düğmesine dokun.',
  lost: 'Bağlantı kesildi. Eklentiyi açık tut ve Wi-Fi bağlantısını kontrol et.',
  configFailed: 'Ses başlatılamadı. Durdurup yeniden dene.',
};

function element(id) {
  const classes = new Set();
  return {
    id, textContent: '', value: id === 'volume' ? '-6' : '', checked: false, style: {}, dataset: {},
    srcObject: null, paused: true, clientWidth: 300, clientHeight: 150, width: 0, height: 0,
    classList: {
      toggle: (c, on) => (on ? classes.add(c) : classes.delete(c)),
      add: (c) => classes.add(c), remove: (c) => classes.delete(c), contains: (c) => classes.has(c),
    },
    addEventListener() {}, setAttribute() {}, pause() { this.paused = true; },
    play() { this.paused = false; return Promise.resolve(); },
    getContext: () => new Proxy({}, { get: () => () => {} }),
  };
}

// An audio context whose clock the test moves; sources end when it passes them.
class FakeContext {
  constructor(sampleRate) {
    Object.assign(this, { sampleRate, currentTime: 0, state: 'running', started: [], constructedWith: null });
  }
  createBuffer(channels, length, sampleRate) {
    const data = [new Float32Array(length), new Float32Array(length)];
    return { length, sampleRate, copyToChannel: (src, c) => data[c].set(src), getChannelData: (c) => data[c] };
  }
  createBufferSource() {
    const source = { connect() {}, disconnect() {}, stop() {}, start: (at) => { source.at = at; this.started.push(source); } };
    return source;
  }
  createGain() { return { gain: { setTargetAtTime() {} }, connect() {}, disconnect() {} }; }
  createAnalyser() { return { connect() {}, getByteFrequencyData() {} }; }
  resume() { this.resumed = true; return Promise.resolve(); }
  advance(seconds) {
    this.currentTime += seconds;
    for (const s of this.started) {
      if (!s.ended && s.at + s.buffer.length / s.buffer.sampleRate <= this.currentTime) {
        s.ended = true;
        s.onended();
      }
    }
  }
}

// Loads the script as the page would; `run` evaluates code among its bindings.
function loadApp() {
  const elements = new Map();
  const timers = [];
  const sockets = [];
  // Connecting until the test opens it; the page's handlers are called by hand.
  class FakeSocket {
    static CONNECTING = 0;
    static OPEN = 1;
    constructor(url) { Object.assign(this, { url, readyState: 0 }); sockets.push(this); }
    close() { this.readyState = 3; }
  }
  const sandbox = {
    document: {
      getElementById: (id) => elements.get(id) || elements.set(id, element(id)).get(id),
      querySelectorAll: () => [], addEventListener() {},
    },
    window: { addEventListener() {}, devicePixelRatio: 1, isSecureContext: false },
    navigator: {}, location: { search: '', protocol: 'http:', host: 'test' },
    URLSearchParams, WebSocket: FakeSocket, clock: 1000,
    performance: { now: () => sandbox.clock },
    setInterval: () => 0, requestAnimationFrame: () => 0, clearTimeout() {},
    setTimeout: (fn, ms) => timers.push({ fn, ms }),
    fetch: () => Promise.resolve({ ok: true, json: () => ({}) }),
  };
  vm.createContext(sandbox);
  vm.runInContext(SOURCE, sandbox);
  const run = (code) => vm.runInContext(code, sandbox);
  return { sandbox, run, timers, sockets, ui: (id) => sandbox.document.getElementById(id) };
}

// A page listening through the scheduled engine at `rate` with `target` seconds.
function listening(rate, target) {
  const app = loadApp();
  app.sandbox.fake = new FakeContext(rate);
  app.run(`context = fake; analyser = context.createAnalyser(); wanted = true; target = ${target};
    socket = { readyState: 1, close() { this.readyState = 3; } }; heard = performance.now();`);
  app.run(`configure({ type: 'config', sampleRate: ${rate} })`);
  return app;
}

// Interleaved chunk of `frames` frames continuing a counter: left n, right -n.
function chunk(app, frames) {
  const samples = new Float32Array(2 * frames);
  for (let i = 0; i < frames; i += 1) {
    app.n = (app.n || 0) + 1;
    samples[2 * i] = app.n;
    samples[2 * i + 1] = -app.n;
  }
  app.sandbox.bytes = samples.buffer;
  app.run('chunk(bytes)');
}

// Lets fetch replies and other settled promises reach the script.
const settle = () => new Promise((resolve) => setImmediate(resolve));

// The status line as the listener sees it (after running `code`): word,
// message, error flag, button text.
function shownLine(app, code = '') {
  app.run(code);
  const ui = app.ui;
  return [ui('state').textContent, ui('message').textContent, ui('message').classList.contains('error'),
    ui('listenText').textContent];
}

// Plays `seconds` of a steady stream in `block`-frame chunks, the clock
// moving with the audio, and returns the started sources.
async function stream(app, rate, block, seconds) {
  await app.run('Promise.resolve()'); // configure has finished
  const fake = app.sandbox.fake;
  for (let sent = 0; sent < seconds * rate; sent += block) {
    chunk(app, block);
    fake.advance(block / rate);
  }
  return fake.started;
}

describe('scheduled engine merges short host blocks', () => {
  // [rate, host block, preset]: the small blocks of a tracking session and the extremes.
  const cases = [[48000, 32, 0.14], [192000, 64, 0.07], [44100, 16, 0.07], [96000, 1, 0.035],
    [44100, 7, 0.14], [48000, 255, 0.035], [192000, 4096, 0.14]];
  for (const [rate, block, target] of cases) {
    test(`${rate} Hz, ${block}-frame blocks, ${target * 1000} ms: one gapless run every 10 ms or more`, async () => {
      const app = listening(rate, target);
      const started = await stream(app, rate, block, 1);
      const minFrames = Math.ceil(rate * 0.01);
      assert.equal(app.run('restartCount'), 0);
      assert.ok(app.run('sources.size') <= Math.ceil((target + 0.02) * rate / minFrames) + 1, 'few live sources');
      let expected = 1;
      for (const [i, s] of started.entries()) {
        const frames = s.buffer.length;
        assert.ok(frames >= minFrames && frames < minFrames + block, `run of ${frames} frames`);
        assert.equal(s.buffer.sampleRate, rate);
        if (i > 0) {
          const prev = started[i - 1];
          assert.ok(Math.abs(prev.at + prev.buffer.length / rate - s.at) < 1e-9, `run ${i} follows the last`);
        }
        assert.equal(s.buffer.getChannelData(0)[0], expected);
        assert.equal(s.buffer.getChannelData(1)[frames - 1], -(expected + frames - 1));
        expected += frames;
      }
      const lead = app.run('next - context.currentTime');
      // Between the target less one run and the target plus one run ahead.
      const run = (minFrames + block) / rate;
      assert.ok(lead < target + run && lead > target - run, `lead ${lead} s`);
    });
  }

  test('a rate change drops the frames gathered at the old rate and merges at the new one', async () => {
    const app = listening(48000, 0.07);
    await stream(app, 48000, 100, 0.5);
    chunk(app, 300); // below 480 frames: held back
    const before = app.sandbox.fake.started.length;
    const firstNew = app.n + 1;
    app.run(`configure({ type: 'config', sampleRate: 44100 })`);
    const started = (await stream(app, 44100, 100, 0.5)).slice(before);
    assert.equal(started[0].buffer.getChannelData(0)[0], firstNew, 'old-rate frames are not played');
    assert.deepEqual([...new Set(started.map((s) => s.buffer.sampleRate))], [44100]);
    assert.ok(started.every((s) => s.buffer.length >= 441 && s.buffer.length < 541));
  });

  test('frames held for merging do not outlive a suspended or interrupted context', async () => {
    for (const [pause, during] of [['suspended', 'chunk'], ['interrupted', 'chunk'], ['suspended', 'tick']]) {
      const app = listening(48000, 0.07);
      const fake = app.sandbox.fake;
      await stream(app, 48000, 100, 0.2);
      chunk(app, 200); // below 480 frames: held back
      const before = fake.started.length;
      fake.state = pause;
      if (during === 'chunk') chunk(app, 100); // arrives while paused: dropped
      else app.run('tick()'); // nothing arrives, the tick sees the pause
      fake.advance(30); // a long pause, as the context's clock sees it
      fake.state = 'running';
      const firstNew = app.n + 1;
      const started = (await stream(app, 48000, 100, 0.1)).slice(before);
      assert.equal(started[0].buffer.getChannelData(0)[0], firstNew, `${pause}: nothing from before the pause`);
    }
  });
});

describe('the page keeps telling the truth', () => {
  test('held messages survive the tick until their condition ends', async () => {
    const app = listening(48000, 0.07);
    const shown = () => [app.ui('message').textContent, app.ui('message').classList.contains('error')];
    app.run(`receive('{broken')`);
    app.run('tick()');
    assert.deepEqual(shown(), [TEXT.unreadable, true]);
    app.run(`receive('{"type":"status","enabled":true,"active":true}'); tick()`);
    assert.deepEqual(shown(), [TEXT.waiting, false]);

    const audio = app.ui('backgroundAudio');
    audio.play = () => Promise.reject(new Error('NotAllowedError'));
    app.run(`gain = context.createGain(); media = { stream: {} }; ui.background.checked = true; routing()`);
    await app.run('Promise.resolve()');
    chunk(app, 480);
    app.run('tick()');
    assert.deepEqual(shown(), [TEXT.tapAgain, false], 'refused element: nothing heard');
    audio.play = () => { audio.paused = false; return Promise.resolve(); };
    await app.run('onListen()');
    assert.equal(app.run('wanted'), true, 'the tap the hint asks for does not stop');
    app.run('tick()');
    assert.deepEqual(shown(), [TEXT.live, false]);
  });

  test('an interrupted context shows paused and a tap resumes it', async () => {
    const app = listening(48000, 0.07);
    app.sandbox.fake.state = 'interrupted';
    app.run('tick()');
    assert.deepEqual([app.ui('state').textContent, app.ui('message').textContent], ['Duraklatıldı', TEXT.resume]);
    await app.run('onListen()');
    assert.equal(app.sandbox.fake.resumed, true);
    assert.equal(app.run('wanted'), true);
  });

  test('a background element paused while listening shows paused within a tick; a tap plays it again', async () => {
    const app = listening(48000, 0.07);
    const audio = app.ui('backgroundAudio');
    app.run(`gain = context.createGain(); media = { stream: {} }; ui.background.checked = true; routing()`);
    chunk(app, 480);
    const heard = ['Dinleniyor', TEXT.live, false, 'Dinlemeyi durdur'];
    assert.deepEqual(shownLine(app, 'tick()'), heard);
    audio.pause(); // a call, the OS or another app took the element
    assert.deepEqual(shownLine(app, 'tick()'), ['Duraklatıldı', TEXT.resume, false, 'Sürdürmek için dokun']);
    await app.run('onListen()');
    assert.equal(audio.paused, false, 'the tap plays the element');
    assert.deepEqual(shownLine(app, 'tick()'), heard);
  });

  test('the audio session is set to playback before the context exists', async () => {
    const app = loadApp();
    app.sandbox.navigator.audioSession = { type: 'auto' };
    app.sandbox.AudioContext = class extends FakeContext {
      constructor() { super(48000); this.constructedWith = app.sandbox.navigator.audioSession.type; }
    };
    await app.run('ensureAudio()');
    assert.equal(app.run('context.constructedWith'), 'playback');
  });

  test('two silent seconds on an open socket close it and reconnect; a dead key says re-scan', async () => {
    const app = listening(48000, 0.07);
    app.sandbox.fetch = () => Promise.resolve({ ok: false });
    const ws = app.run('socket');
    app.sandbox.clock += 2000;
    app.run('tick()');
    assert.equal(ws.readyState, 1, 'two seconds exactly is not yet silence');
    app.sandbox.clock += 400;
    app.run('tick()');
    assert.equal(ws.readyState, 3);
    assert.equal(app.ui('state').textContent, 'Yeniden bağlanıyor');
    assert.deepEqual(app.timers.map((t) => t.ms), [2000]);
    await new Promise((resolve) => setImmediate(resolve));
    assert.equal(app.ui('message').textContent, TEXT.pairFailed);
    assert.ok(app.ui('message').classList.contains('error'));
  });

  test('a socket that has not opened in 5 s is given up and retried; the next one that opens plays', async () => {
    const app = loadApp();
    app.sandbox.AudioContext = class extends FakeContext { constructor(options) { super(options.sampleRate); } };
    await app.run('onListen()');
    const [first] = app.sockets;
    app.sandbox.clock += 5000;
    assert.equal(shownLine(app, 'tick()')[0], 'Bağlanıyor', 'five seconds exactly is not yet given up');
    app.sandbox.clock += 400;
    assert.deepEqual(shownLine(app, 'tick()').slice(0, 3), ['Yeniden bağlanıyor', TEXT.lost, false]);
    assert.equal(first.readyState, 3);
    first.onclose({ code: 1006 }); // its own close event comes late and counts for nothing
    assert.deepEqual(app.timers.map((t) => t.ms), [2000]);
    app.timers[0].fn();
    const second = app.sockets[1];
    second.readyState = 1; // the host answers again
    second.onmessage({ data: '{"type":"config","sampleRate":48000}' });
    await settle();
    second.onmessage({ data: new Float32Array(960).buffer });
    assert.deepEqual(shownLine(app, 'tick()'), ['Dinleniyor', TEXT.live, false, 'Dinlemeyi durdur']);
  });

  test('re-scan advice on a refusal at once, after three unreachable checks in a row otherwise', async () => {
    const app = listening(48000, 0.07);
    const unreachable = () => Promise.reject(new TypeError('Failed to fetch'));
    const answer = (ok) => () => Promise.resolve({ ok });
    const lost = [TEXT.lost, false], rescan = [TEXT.pairFailed, true];
    const steps = [[unreachable, lost], [unreachable, lost], [answer(true), lost], [unreachable, lost],
      [unreachable, lost], [unreachable, rescan], [answer(true), lost], [unreachable, lost], [answer(false), rescan]];
    for (const [i, [reply, shown]] of steps.entries()) {
      app.sandbox.fetch = reply;
      app.run('socket.close(); closed(1006)');
      await settle();
      app.timers.at(-1).fn(); // the retry's own text: connecting, or the advice kept
      if (shown === rescan) assert.deepEqual(shownLine(app).slice(1, 3), rescan, `step ${i}`);
      else assert.deepEqual(shownLine(app).slice(1, 3), ['Eklentiye bağlanıyor…', false], `step ${i}`);
    }
  });

  test('a worklet that cannot be connected is stopped; a config without a usable rate is refused', async () => {
    const app = loadApp();
    const posted = [];
    app.sandbox.window.isSecureContext = true;
    app.sandbox.AudioWorkletNode = class {
      port = { postMessage: (m) => posted.push(m.type), close() {} };
      connect() { throw new Error('InvalidAccessError'); }
      disconnect() {}
    };
    app.sandbox.fake = new FakeContext(48000);
    app.sandbox.fake.audioWorklet = { addModule: () => Promise.resolve() };
    app.run(`context = fake; analyser = context.createAnalyser(); wanted = true;
      socket = { readyState: 1, close() {} }; heard = performance.now();`);
    await app.run(`configure({ type: 'config', sampleRate: 48000 })`);
    assert.deepEqual(posted, ['stop'], 'the dropped processor is told to end');
    assert.equal(app.ui('engine').textContent, 'Zamanlanmış PCM');
    app.sandbox.clock += 800; // no audio has been fresh since
    for (const rate of ['', ',"sampleRate":"48000"', ',"sampleRate":0', ',"sampleRate":1e9']) {
      app.run(`receive('{"type":"config"${rate}}')`);
      await settle();
      chunk(app, 480);
      assert.deepEqual(shownLine(app, 'tick()').slice(0, 3), ['Eşleşti', TEXT.configFailed, true], `config${rate}`);
      assert.equal(app.sandbox.fake.started.length, 0, `config${rate}: frames dropped`);
      assert.equal(app.run('rate'), 48000);
    }
    app.run(`receive('{"type":"config","sampleRate":44100}')`);
    await settle();
    chunk(app, 441);
    assert.deepEqual(shownLine(app, 'tick()').slice(0, 3), ['Dinleniyor', TEXT.live, false]);
  });

  test('stereoPeaks: the largest magnitude of each channel, never below the peaks so far', () => {
    const app = loadApp();
    const peaks = (samples, since) => {
      app.sandbox.args = [new Float32Array(samples), since];
      return [...app.run('stereoPeaks(...args)')];
    };
    assert.deepEqual(peaks([0.25, -0.5, -0.75, 0.125], null), [0.75, 0.5]);
    assert.deepEqual(peaks([0.25, -0.5], [0.5, 0.25]), [0.5, 0.5]);
    assert.deepEqual(peaks([], [0.5, 0.25]), [0.5, 0.25]);
  });

  test('meters show the highest peak since the last frame, and hold it until the next chunk', async () => {
    const app = listening(48000, 0.07);
    await app.run('Promise.resolve()');
    const send = (level) => {
      app.sandbox.bytes = new Float32Array(64).fill(level).buffer;
      app.run('chunk(bytes)');
    };
    const reading = () => { app.run('render()'); return app.ui('peakL').textContent; };
    send(0.5);
    send(0.1);
    assert.equal(reading(), '-6,0 dB');
    assert.equal(reading(), '-6,0 dB', 'no chunk since: the meter holds');
    send(0.1);
    assert.equal(reading(), '-20,0 dB');
  });
});
