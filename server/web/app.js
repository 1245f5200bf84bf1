// Vantrel web player: pairing, the audio socket, playback and the display.
'use strict';

const KEY_PATTERN = /^[0-9a-f]{32}$/;
const TICK_MS = 400;
const FRESH_MS = 700; // audio newer than this counts as "playing now"
const RETRY_MS = 2000;
const SILENCE_MS = 2000; // the server sends status every 500 ms: longer quiet means a dead link
const CONNECT_MS = 5000; // a frozen host's kernel still accepts: the handshake never ends
const UNREACHABLE_CHECKS = 3; // a Wi-Fi gap or a sleeping computer is not a lost pairing
const POLICY_RETRY_MS = 5000; // a refused key or limit: back off longer
const POLICY_VIOLATION = 1008;
const ABNORMAL_CLOSURE = 1006;
const DRY_SECONDS = 0.003;
const AHEAD_SECONDS = 0.12;
const MAX_SOURCES = 180;
// The rates the plug-in streams; a config outside them cannot be played.
const MIN_RATE = 8000;
const MAX_RATE = 192000;
// Short host blocks are gathered into runs of at least this much before
// scheduling, so the sources per second stay few whatever the block size.
const MERGE_SECONDS = 0.010;
const GAIN_TIME_CONSTANT = 0.015;
const MINUS = '\u2212';

const TEXT = {
  notPaired: 'Telefonu eşleştirmek için eklentideki QR kodu okut.',
  pairFailed: 'Bağlantının süresi dolmuş veya eklentiye ulaşılamıyor. QR kodu yeniden okut.',
  paired: 'Eşleştirme tamamlandı. Başlamak için Miksini dinle düğmesine dokun.',
  noAudio: 'Tarayıcı sesi başlatamadı. Safari veya Chrome ile dene.',
  tapAgain: 'Sesi başlatmak için Dinle düğmesine yeniden dokun.',
  connecting: 'Eklentiye bağlanıyor…',
  unreadable: 'Eklentiden gelen yanıt okunamadı.',
  configFailed: 'Ses başlatılamadı. Durdurup yeniden dene.',
  lost: 'Bağlantı kesildi. Eklentiyi açık tut ve Wi-Fi bağlantısını kontrol et.',
  stopped: 'Dinlemeye hazır. Projenin ana çıkışı değişmez.',
  resume: 'Sesi sürdürmek için Dinle düğmesine dokun.',
  muted: 'Telefon sesi kapalı.',
  preview: 'Örnek test sinyali çalıyor. Projenin sesi aktarılmıyor.',
  live: 'Miksin doğrudan projenden aktarılıyor.',
  badRate: 'Projende 8–192 kHz arasında bir örnekleme hızı seç.',
  disabled: 'Eklentide Yayını başlat düğmesine bas.',
  inactive: 'Projenin ses işlemeye başlaması bekleniyor.',
  waiting: 'Projenden ses gelmesi bekleniyor.',
};

const ui = {};
for (const id of ('previewNotice connection state format spectrum meterL meterR peakL peakR listen listenText '
  + 'mute message volumeValue volume background engine buffer restarts backgroundAudio').split(' ')) {
  ui[id] = document.getElementById(id);
}
const presets = Array.from(document.querySelectorAll('[data-buffer]'));
const g = ui.spectrum.getContext('2d'); // the spectrum's drawing context
const rateFormat = new Intl.NumberFormat('tr-TR', { maximumFractionDigits: 3 });

const key = new URLSearchParams(location.search).get('key');
let socket = null, context = null, gain = null, analyser = null, media = null, worklet = null;
let ready = false, wanted = false, muted = false;
let target = 0.070; // listening buffer, seconds
let next = 0; // context time of the next scheduled buffer; 0: nothing scheduled
let restartCount = 0, generation = 0, reconnectTimer = 0;
let rate = 48000, server = {}, lastPacket = 0, fill = 0, peaks = [0, 0];
let framePeaks = null; // highest peaks since the last animation frame; null: no chunk since
let heard = 0; // performance.now() of the last message on the current socket
let held = null; // {text, error}: a message the tick keeps while its condition lasts
let pairingLost = false; // while reconnecting: our key refused, or the plug-in unreachable too long
let unreachable = 0; // status checks in a row that got no answer at all
let checking = false; // a status check is on its way
const sources = new Set();
const spectrumData = new Uint8Array(1024);

// Gathers interleaved stereo chunks, de-interleaved, into runs of at least
// MERGE_SECONDS at one rate. The arrays grow on demand and are reused.
class FrameMerger {
  constructor() {
    this.left = new Float32Array(0);
    this.right = new Float32Array(0);
    this.frames = 0;
    this.minFrames = 1;
  }

  // Drops anything gathered; runs are now counted at `sampleRate`.
  reset(sampleRate) {
    this.frames = 0;
    this.minFrames = Math.max(1, Math.ceil(sampleRate * MERGE_SECONDS));
  }

  // True once a whole run is gathered: take() it before the next add().
  add(samples) {
    const count = samples.length >> 1;
    const needed = this.frames + count;
    if (needed > this.left.length) {
      const size = Math.max(needed, 2 * this.left.length, 2 * this.minFrames);
      const left = new Float32Array(size), right = new Float32Array(size);
      left.set(this.left.subarray(0, this.frames));
      right.set(this.right.subarray(0, this.frames));
      this.left = left;
      this.right = right;
    }
    const left = this.left, right = this.right;
    for (let i = 0, f = this.frames; i < count; i += 1, f += 1) {
      left[f] = samples[2 * i];
      right[f] = samples[2 * i + 1];
    }
    this.frames = needed;
    return needed >= this.minFrames;
  }

  // The gathered run as views into the merger's arrays, valid until the next add().
  take() {
    const frames = this.frames;
    this.frames = 0;
    return { frames, left: this.left.subarray(0, frames), right: this.right.subarray(0, frames) };
  }
}
const merger = new FrameMerger();

function message(text, error = false) {
  ui.message.textContent = text;
  ui.message.classList.toggle('error', error);
}

// A message that stays, whatever the tick would say, until release() of
// the same text (its condition ended) or stop() (the listener acted).
function hold(text, error = false) {
  held = { text, error };
  message(text, error);
}

function release(text) {
  if (held && held.text === text) held = null;
}

function state(text, live = false) {
  ui.state.textContent = text;
  ui.connection.classList.toggle('live', live);
}

function rateText() {
  return rateFormat.format(rate / 1000) + ' kHz / STEREO';
}

function showPreview() {
  ui.previewNotice.classList.toggle('hidden', server.preview !== true);
}

// Nothing is heard though listening is wanted: the browser suspended the
// context (Safari and current Chrome say "interrupted" for a call or another
// app's audio), or it refused or paused the background element that carries
// the mix. A tap resumes either.
function paused() {
  if (context === null) return false;
  if (context.state === 'suspended' || context.state === 'interrupted') return true;
  return ui.backgroundAudio.srcObject !== null && ui.backgroundAudio.paused;
}

// lastPacket 0 means "no audio yet", not "audio at time 0".
function fresh() {
  return lastPacket > 0 && performance.now() - lastPacket < FRESH_MS;
}

async function pair() {
  if (key === null || !KEY_PATTERN.test(key)) return message(TEXT.notPaired, true);
  try {
    const reply = await fetch('/status?key=' + encodeURIComponent(key), { cache: 'no-store' });
    if (!reply.ok) throw new Error(reply.status);
    server = await reply.json();
  } catch (e) {
    return message(TEXT.pairFailed, true);
  }
  rate = server.sampleRate;
  showPreview();
  ui.format.textContent = rateText();
  ui.listen.disabled = false;
  state('Eşleşti', true);
  message(TEXT.paired);
}

async function onListen() {
  // The tap the paused or refused message asks for resumes; it does not stop.
  if (wanted && paused()) {
    context.resume().catch(() => {});
    if (ui.backgroundAudio.srcObject) ui.backgroundAudio.play().then(() => release(TEXT.tapAgain), () => {});
    return;
  }
  if (wanted) return stop();
  try {
    await ensureAudio();
  } catch (e) {
    return message(TEXT.noAudio, true);
  }
  wanted = true;
  ui.listen.classList.add('playing');
  ui.listenText.textContent = 'Dinlemeyi durdur';
  openSocket();
}

// Graph: engine -> analyser -> gain -> output, so the display ignores volume.
function ensureAudio() {
  // Before the context starts: an iPhone's silent switch mutes the default
  // session type, and the listener asked to hear the mix.
  if (navigator.audioSession) {
    try {
      navigator.audioSession.type = 'playback';
    } catch (e) { /* a type this browser refuses */ }
  }
  if (!context) {
    context = new AudioContext({ sampleRate: rate, latencyHint: 'interactive' });
    gain = context.createGain();
    analyser = context.createAnalyser();
    analyser.fftSize = 2048;
    analyser.smoothingTimeConstant = 0.8;
    analyser.connect(gain);
    updateGain();
    routing();
  }
  return context.resume();
}

function updateGain() {
  const db = Number(ui.volume.value);
  ui.volumeValue.textContent = (db < 0 ? MINUS : '') + Math.abs(db).toFixed(1).replace('.', ',') + ' dB';
  if (!gain) return;
  const level = muted ? 0 : Math.pow(10, db / 20);
  gain.gain.setTargetAtTime(level, context.currentTime, GAIN_TIME_CONSTANT);
}

// Background listening plays through an audio element, which browsers keep alive.
function routing() {
  if (!context || !gain) return;
  const element = ui.backgroundAudio;
  gain.disconnect();
  if (ui.background.checked) {
    if (!media) media = context.createMediaStreamDestination();
    gain.connect(media);
    element.srcObject = media.stream;
    element.play().then(() => release(TEXT.tapAgain), () => hold(TEXT.tapAgain));
  } else {
    release(TEXT.tapAgain);
    element.pause();
    element.srcObject = null;
    gain.connect(context.destination);
  }
}

function openSocket() {
  if (!wanted) return;
  clearTimeout(reconnectTimer);
  const previous = socket;
  socket = null;
  if (previous) previous.close(); // a double tap must not leave a socket open
  const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
  const ws = new WebSocket(scheme + '://' + location.host + '/ws?key=' + encodeURIComponent(key));
  socket = ws;
  ws.binaryType = 'arraybuffer';
  heard = performance.now();
  state('Bağlanıyor');
  if (pairingLost) message(TEXT.pairFailed, true);
  else message(TEXT.connecting);
  // Events of a socket that is no longer current are stale.
  ws.onopen = () => { if (ws === socket) heard = performance.now(); };
  ws.onmessage = (event) => {
    if (ws !== socket) return;
    heard = performance.now();
    pairingLost = false;
    unreachable = 0;
    if (wanted) receive(event.data);
  };
  ws.onclose = (event) => { if (ws === socket) closed(event.code); };
  ws.onerror = () => { if (ws === socket) ws.close(); };
}

function receive(data) {
  if (typeof data !== 'string') return chunk(data);
  let parsed;
  try {
    parsed = JSON.parse(data);
  } catch (e) {
    return hold(TEXT.unreadable, true);
  }
  release(TEXT.unreadable);
  if (!parsed) return;
  if (parsed.type === 'config') {
    configure(parsed).catch(() => {
      ready = false;
      hold(TEXT.configFailed, true);
    });
  } else if (parsed.type === 'status') {
    server = parsed;
    showPreview();
  }
}

function closed(code) {
  ready = false;
  clearSources();
  merger.reset(rate);
  if (worklet) worklet.port.postMessage({ type: 'reset' });
  if (!wanted) return;
  state('Yeniden bağlanıyor');
  if (pairingLost) message(TEXT.pairFailed, true);
  else message(TEXT.lost);
  reconnectTimer = setTimeout(openSocket, code === POLICY_VIOLATION ? POLICY_RETRY_MS : RETRY_MS);
  checkPairing();
}

// A socket that never opens (a frozen host, whose kernel still accepts the
// connection) or stays open with nothing arriving (the computer slept, the
// phone changed networks) never closes by itself: give it up and reconnect.
function checkStalled() {
  if (!socket) return;
  let limit;
  if (socket.readyState === WebSocket.CONNECTING) limit = CONNECT_MS;
  else if (socket.readyState === WebSocket.OPEN) limit = SILENCE_MS;
  else return;
  if (performance.now() - heard <= limit) return;
  const ws = socket;
  socket = null; // its late events are stale
  ws.close();
  closed(ABNORMAL_CLOSURE);
}

// While reconnecting: a plug-in that refuses our key, or that stays out of
// reach check after check (reloaded with a new key and port), needs a new
// pairing, not patience. One check at a time: a frozen host never answers.
async function checkPairing() {
  if (checking) return;
  checking = true;
  let reply = null;
  try {
    reply = await fetch('/status?key=' + encodeURIComponent(key), { cache: 'no-store' });
  } catch (e) { /* no answer */ }
  checking = false;
  if (!wanted || (socket && socket.readyState === WebSocket.OPEN)) return;
  unreachable = reply ? 0 : unreachable + 1;
  pairingLost = reply ? !reply.ok : unreachable >= UNREACHABLE_CHECKS;
  if (pairingLost) message(TEXT.pairFailed, true);
}

function usableRate(value) {
  return Number.isFinite(value) && value >= MIN_RATE && value <= MAX_RATE;
}

// Rebuilds the engine for one config message; a newer one or stop() abandons it.
async function configure(config) {
  const mine = ++generation;
  ready = false;
  if (!usableRate(config.sampleRate)) throw new Error('config without a usable sample rate');
  rate = config.sampleRate;
  clearSources();
  merger.reset(rate);
  dropWorklet();
  if (!context || !wanted) return;
  if (window.isSecureContext && context.audioWorklet && context.sampleRate === rate) {
    await startWorklet(mine);
  }
  if (mine !== generation || !wanted) return;
  ready = true;
  release(TEXT.configFailed);
  ui.engine.textContent = worklet ? 'Ses iş parçacığı' : 'Zamanlanmış PCM';
  ui.format.textContent = rateText();
}

// Any failure here leaves the scheduled engine in charge.
async function startWorklet(mine) {
  let node = null;
  try {
    await context.audioWorklet.addModule('/player-worklet.js');
    if (mine !== generation || !wanted) return;
    node = new AudioWorkletNode(context, 'relay-player', {
      numberOfInputs: 0,
      numberOfOutputs: 1,
      outputChannelCount: [2],
      processorOptions: { target },
    });
    node.port.onmessage = (event) => {
      fill = event.data.fill;
      restartCount = event.data.restarts;
      ui.restarts.textContent = String(restartCount);
    };
    node.connect(analyser);
    worklet = node;
  } catch (e) {
    if (node) retire(node);
    worklet = null;
  }
}

function dropWorklet() {
  if (!worklet) return;
  retire(worklet);
  worklet = null;
}

// The processor ends once told; closing its port alone would leave it
// running on the audio thread with its ring.
function retire(node) {
  node.port.postMessage({ type: 'stop' });
  node.port.onmessage = null;
  node.disconnect();
  node.port.close();
}

function chunk(bytes) {
  if (!ready || !context) return;
  // Frames held for merging would be spliced in front of the audio after
  // the pause: they go with the frames that arrive meanwhile.
  if (context.state !== 'running') return merger.reset(rate);
  // Whole stereo frames only; an empty frame carries nothing to play.
  if (bytes.byteLength === 0 || bytes.byteLength % 8 !== 0) return;
  const samples = new Float32Array(bytes);
  lastPacket = performance.now();
  // The meters show the loudest chunk since they were last drawn.
  framePeaks = stereoPeaks(samples, framePeaks);
  if (worklet) worklet.port.postMessage({ type: 'pcm', bytes }, [bytes]);
  else if (merger.add(samples)) schedule(merger.take());
}

// [left, right]: the largest absolute sample of each channel of an
// interleaved chunk, and at least the `since` peaks (null: none yet).
function stereoPeaks(samples, since) {
  let left = since ? since[0] : 0, right = since ? since[1] : 0;
  for (let i = 0; i < samples.length; i += 2) {
    left = Math.max(left, Math.abs(samples[i]));
    right = Math.max(right, Math.abs(samples[i + 1]));
  }
  return [left, right];
}

// Plays one merged run (frames, left, right) right after the previous one.
function schedule(run) {
  const now = context.currentTime;
  if (next < now + DRY_SECONDS) {
    if (next !== 0) restartCount += 1;
    next = now + target;
  }
  if (next - now > target + AHEAD_SECONDS || sources.size > MAX_SOURCES) {
    clearSources();
    restartCount += 1;
    next = now + target;
  }
  const frames = run.frames;
  const buffer = context.createBuffer(2, frames, rate);
  buffer.copyToChannel(run.left, 0);
  buffer.copyToChannel(run.right, 1);
  const source = context.createBufferSource();
  source.buffer = buffer;
  source.connect(analyser);
  sources.add(source);
  source.onended = () => { sources.delete(source); source.disconnect(); };
  source.start(next);
  next += frames / rate;
  fill = Math.max(0, next - now) * 1000;
  ui.restarts.textContent = String(restartCount);
}

function clearSources() {
  for (const source of sources) {
    try { source.stop(); } catch (e) { /* already ended */ }
    source.disconnect();
  }
  sources.clear();
  next = 0;
  fill = 0;
}

function pickPreset(button) {
  target = Number(button.dataset.buffer) / 1000;
  for (const other of presets) other.setAttribute('aria-pressed', String(other === button));
  if (worklet) worklet.port.postMessage({ type: 'target', target });
  else clearSources();
}

function toggleMute() {
  muted = !muted;
  ui.mute.setAttribute('aria-pressed', String(muted));
  updateGain();
}

async function stop() {
  wanted = false;
  generation += 1;
  clearTimeout(reconnectTimer);
  ready = false;
  const old = socket;
  socket = null;
  if (old) old.close();
  clearSources();
  merger.reset(rate);
  dropWorklet();
  held = null;
  pairingLost = false;
  unreachable = 0;
  ui.backgroundAudio.pause();
  ui.backgroundAudio.srcObject = null;
  const oldContext = context;
  context = gain = analyser = media = null;
  if (oldContext) await oldContext.close().catch(() => {});
  // A tap while the old context closed has started listening again.
  if (wanted) return;
  peaks = [0, 0];
  framePeaks = null;
  lastPacket = 0;
  state('Hazır');
  ui.listen.classList.remove('playing');
  ui.listenText.textContent = 'Miksini dinle';
  message(TEXT.stopped);
}

function showSuspended() {
  // A refused start asks for the same tap in its own words.
  if (held && held.text === TEXT.tapAgain) message(held.text);
  else message(TEXT.resume);
  ui.listenText.textContent = 'Sürdürmek için dokun';
}

function waitingReason() {
  if (server.supportedRate === false) return TEXT.badRate;
  if (server.enabled !== true) return TEXT.disabled;
  if (server.active !== true) return TEXT.inactive;
  return TEXT.waiting;
}

function buffered() {
  if (worklet) return fill;
  return context ? Math.max(0, next - context.currentTime) * 1000 : 0;
}

function tick() {
  if (!wanted) return;
  checkStalled();
  ui.buffer.textContent = Math.round(buffered()) + ' ms';
  if (paused()) {
    // Held frames would be spliced in front of the audio after the pause,
    // though no chunk may come while it lasts.
    if (context.state !== 'running') merger.reset(rate);
    state('Duraklatıldı');
    showSuspended();
    return;
  }
  if (!socket || socket.readyState !== WebSocket.OPEN) return;
  ui.listenText.textContent = 'Dinlemeyi durdur';
  let text;
  if (!fresh()) {
    state('Eşleşti', true);
    text = waitingReason();
  } else if (muted) {
    state('Sessiz', true);
    text = TEXT.muted;
  } else {
    state('Dinleniyor', true);
    text = server.preview === true ? TEXT.preview : TEXT.live;
  }
  if (held) message(held.text, held.error);
  else message(text);
}

function drawGrid(w, h) {
  g.strokeStyle = '#252b33';
  g.lineWidth = 1;
  g.beginPath();
  for (let i = 0; i <= 3; i += 1) {
    const y = 8 + i * (h - 16) / 3;
    g.moveTo(0, y);
    g.lineTo(w, y);
  }
  for (let i = 0; i <= 5; i += 1) {
    const x = i * w / 5;
    g.moveTo(x, 8);
    g.lineTo(x, h - 8);
  }
  g.stroke();
}

// 100 points from 25 Hz to 20 kHz on a logarithmic axis.
function drawCurve(w, h) {
  analyser.getByteFrequencyData(spectrumData);
  g.beginPath();
  g.moveTo(0, h - 8);
  for (let i = 0; i < 100; i += 1) {
    const f = 25 * Math.pow(800, i / 99);
    const bin = Math.min(1023, Math.round(f * 2048 / context.sampleRate));
    g.lineTo(i * w / 99, h - 8 - spectrumData[bin] / 255 * (h - 18));
  }
  g.lineTo(w, h - 8);
  g.closePath();
  g.fillStyle = '#7fe2c214';
  g.fill();
  g.strokeStyle = '#7fe2c2';
  g.lineWidth = 1.5;
  g.stroke();
}

function drawMeter(bar, reading, level) {
  const db = level > 0 ? 20 * Math.log10(level) : -90;
  bar.style.width = Math.min(100, Math.max(0, (db + 60) / 60 * 100)) + '%';
  bar.style.backgroundColor = db >= -3 ? '#ef7377' : db >= -12 ? '#f3b86b' : '#7fe2c2';
  reading.textContent = db < -70 ? MINUS + '∞ dB' : db.toFixed(1).replace('.', ',') + ' dB';
}

function render() {
  requestAnimationFrame(render);
  const canvas = ui.spectrum;
  const ratio = Math.min(2, window.devicePixelRatio || 1);
  const w = canvas.clientWidth, h = canvas.clientHeight;
  const width = Math.round(w * ratio), height = Math.round(h * ratio);
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, w, h);
  if (framePeaks) {
    peaks = framePeaks;
    framePeaks = null;
  }
  drawGrid(w, h);
  const live = wanted && fresh();
  if (analyser && live) drawCurve(w, h);
  drawMeter(ui.meterL, ui.peakL, live ? peaks[0] : 0);
  drawMeter(ui.meterR, ui.peakR, live ? peaks[1] : 0);
}

ui.listen.addEventListener('click', onListen);
ui.mute.addEventListener('click', toggleMute);
ui.volume.addEventListener('input', updateGain);
ui.background.addEventListener('change', routing);
for (const button of presets) button.addEventListener('click', () => pickPreset(button));

// Only a listening page stops: a page that never listened keeps its pairing
// text (a restored page would otherwise claim to be ready when it is not).
window.addEventListener('pagehide', () => {
  if (wanted && !ui.backgroundAudio.srcObject) stop();
});
document.addEventListener('visibilitychange', () => {
  if (document.visibilityState === 'visible' && wanted && paused()) {
    showSuspended();
  }
});
if ('mediaSession' in navigator) {
  for (const action of ['pause', 'stop']) {
    try {
      navigator.mediaSession.setActionHandler(action, () => stop());
    } catch (e) { /* an action this browser does not know */ }
  }
}

updateGain();
setInterval(tick, TICK_MS);
requestAnimationFrame(render);
pair();
