// Vantrel web player: playback on the browser's audio rendering thread.
// Receives interleaved stereo float32 PCM from the page through the port,
// keeps it in a one-second ring and plays it after a start-up buffer.

const DEFAULT_TARGET_SECONDS = 0.07;
// Audio beyond target + this much means the stream ran ahead: start afresh.
const FLUSH_MARGIN_SECONDS = 0.12;
const QUANTA_PER_REPORT = 32;

class RelayPlayer extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const opts = (options && options.processorOptions) || {};
    this.capacity = sampleRate;
    // Allocated once: the render path never allocates but the report.
    this.ring = new Float32Array(2 * this.capacity);
    this.write = 0;
    this.read = 0;
    this.fill = 0;
    this.playing = false;
    this.restarts = 0;
    this.ticks = 0;
    this.target = RelayPlayer.framesFor(opts.target);
    this.alive = true;
    this.port.onmessage = (event) => this.receive(event.data);
  }

  // Seconds (absent or 0 means the default) to whole frames.
  static framesFor(seconds) {
    return Math.round((seconds || DEFAULT_TARGET_SECONDS) * sampleRate);
  }

  receive(data) {
    if (!data || !this.alive) return;
    if (data.type === 'pcm') {
      this.append(new Float32Array(data.bytes));
    } else if (data.type === 'reset') {
      this.discard();
    } else if (data.type === 'target') {
      this.target = Math.round(data.target * sampleRate);
      this.discard();
    } else if (data.type === 'stop') {
      // The page has dropped this node: end, and let the ring go.
      this.alive = false;
      this.discard();
      this.ring = null;
    }
  }

  // Drops everything buffered; not a restart, the page asked for it.
  discard() {
    this.fill = 0;
    this.read = this.write;
    this.playing = false;
  }

  append(samples) {
    const frames = samples.length >> 1;
    if (this.fill + frames > this.target + sampleRate * FLUSH_MARGIN_SECONDS) {
      this.discard();
      this.restarts += 1;
    }
    const ring = this.ring;
    let w = this.write;
    for (let i = 0; i < frames; i += 1) {
      ring[2 * w] = samples[2 * i];
      ring[2 * w + 1] = samples[2 * i + 1];
      w = (w + 1) % this.capacity;
    }
    this.write = w;
    this.fill = Math.min(this.capacity, this.fill + frames);
  }

  // Audio thread: no allocation except the report every 32 quanta.
  process(inputs, outputs) {
    if (!this.alive) return false; // outputs stay silent
    const channels = outputs[0];
    const count = channels[0].length;
    if (!this.playing && this.fill >= Math.max(this.target, count)) {
      this.playing = true;
    }
    if (this.playing && this.fill < count) {
      // Whole quanta only: never mix the last frames with silence.
      this.playing = false;
      this.restarts += 1;
    }
    if (this.playing) {
      this.render(channels, count);
    } else {
      for (const channel of channels) channel.fill(0);
    }
    this.ticks += 1;
    if (this.ticks === QUANTA_PER_REPORT) {
      this.ticks = 0;
      this.port.postMessage({ fill: (this.fill / sampleRate) * 1000, restarts: this.restarts });
    }
    return this.alive;
  }

  render(channels, count) {
    const left = channels[0];
    const right = channels.length > 1 ? channels[1] : null;
    const ring = this.ring;
    let r = this.read;
    for (let i = 0; i < count; i += 1) {
      left[i] = ring[2 * r];
      if (right) right[i] = ring[2 * r + 1];
      r = (r + 1) % this.capacity;
    }
    this.read = r;
    this.fill -= count;
  }
}

registerProcessor('relay-player', RelayPlayer);
