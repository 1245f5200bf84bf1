// Helpers that read the web player the way a listener (or a meter) would.
import { watch } from './chromium.mjs';

// For texts the product gives no time for (a pairing reply, a socket
// opening, a context closing): the wait returns as soon as the text shows,
// so only a failing run pays for a loaded machine's headroom.
export const WAIT_MS = 30000;
// For texts the player sets on its 400 ms tick (the meters: on its next
// frame) from what it already knows: status frames every 500 ms and audio
// that counts as fresh for 700 ms put them within about 1.6 s; 5 s leaves a
// loaded machine room and still fails a page that stopped updating.
export const TICK_WAIT_MS = 5000;

export async function openPlayer(browser, url, options = {}) {
  const context = await browser.newContext({ viewport: { width: 390, height: 844 }, ...options });
  const page = await context.newPage();
  const seen = watch(page);
  const response = await page.goto(url);
  return { context, page, seen, response };
}

export function text(page, id) {
  return page.evaluate((i) => document.getElementById(i).textContent, id);
}

// Waits until element `id` shows `expected` (a string or a RegExp source).
export async function waitText(page, id, expected, timeout = WAIT_MS) {
  const pattern = expected instanceof RegExp ? expected.source : null;
  try {
    await page.waitForFunction(
      ([i, want, re]) => {
        const t = document.getElementById(i).textContent;
        return re ? new RegExp(re).test(t) : t === want;
      },
      [id, pattern ? null : expected, pattern],
      { timeout, polling: 50 },
    );
  } catch (err) {
    throw new Error(`#${id} never showed ${expected}; it shows "${await text(page, id)}"`);
  }
}

// The status line as the listener sees it: word, dot colour, message, error flag.
export function statusLine(page) {
  return page.evaluate(() => ({
    state: document.getElementById('state').textContent,
    live: document.getElementById('connection').classList.contains('live'),
    message: document.getElementById('message').textContent,
    error: document.getElementById('message').classList.contains('error'),
    listenText: document.getElementById('listenText').textContent,
    listenDisabled: document.getElementById('listen').disabled,
  }));
}

// Taps listen and waits for audio to be heard; returns the milliseconds it took.
export async function startListening(page) {
  const started = Date.now();
  await page.click('#listen');
  await waitText(page, 'state', 'Dinleniyor');
  return Date.now() - started;
}

// Hangs a probe analyser on the player's gain node: it hears what the
// listener hears. Give it a moment to fill before reading levels().
export function attachProbe(page) {
  return page.evaluate(() => {
    /* global gain */
    window.probe = gain.context.createAnalyser();
    window.probe.fftSize = 2048;
    gain.connect(window.probe);
  });
}

// RMS over the last 2048 samples before the volume stage (the player's own
// analyser) and after it (the probe).
export function levels(page) {
  return page.evaluate(() => {
    /* global analyser */
    const rms = (node) => {
      const data = new Float32Array(node.fftSize);
      node.getFloatTimeDomainData(data);
      return Math.sqrt(data.reduce((s, v) => s + v * v, 0) / data.length);
    };
    return { input: rms(analyser), output: rms(window.probe) };
  });
}

// The frequency (Hz) of the strongest analyser bins, strongest first.
export function spectrumPeaks(page, count) {
  return page.evaluate((n) => {
    /* global analyser */
    const data = new Float32Array(analyser.frequencyBinCount);
    analyser.getFloatFrequencyData(data);
    const binHz = analyser.context.sampleRate / analyser.fftSize;
    const peaks = [];
    for (let i = 1; i < data.length - 1; i += 1) {
      if (data[i] > data[i - 1] && data[i] >= data[i + 1]) peaks.push({ hz: i * binHz, db: data[i] });
    }
    peaks.sort((a, b) => b.db - a.db);
    return { peaks: peaks.slice(0, n), at2k: data[Math.round(2000 / binHz)], at8k: data[Math.round(8000 / binHz)] };
  }, count);
}

// Pixels of the spectrum canvas drawn in the accent colour (the curve).
export function curvePixels(page) {
  return page.evaluate(() => {
    const canvas = document.getElementById('spectrum');
    const { data } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
    let count = 0;
    for (let i = 0; i < data.length; i += 4) {
      if (data[i + 3] > 200 && data[i + 1] > 180 && data[i] < 160) count += 1;
    }
    return count;
  });
}

export function meters(page) {
  return page.evaluate(() => ['L', 'R'].map((c) => {
    const bar = document.getElementById('meter' + c);
    return {
      reading: document.getElementById('peak' + c).textContent,
      width: parseFloat(bar.style.width),
      colour: getComputedStyle(bar).backgroundColor,
    };
  }));
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
