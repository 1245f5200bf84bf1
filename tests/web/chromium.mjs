// Headless Chromium for the web player tests: Debian's browser, a fresh
// profile per launch, and a watch on every page for CSP reports and for
// traffic that leaves the loopback interface.
import { chromium } from 'playwright-core';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

const CHROMIUM = '/usr/bin/chromium';
// The name that the browser maps to 127.0.0.1: same machine, but not a
// secure context, so the page cannot use an AudioWorklet.
export const PLAIN_HOST = 'vantrel.test';
const LOOPBACK_HOSTS = new Set(['127.0.0.1', 'localhost', '[::1]', PLAIN_HOST]);

export async function launchChromium() {
  const profile = mkdtempSync(path.join(tmpdir(), 'vantrel-chromium-'));
  const browser = await chromium.launch({
    executablePath: CHROMIUM,
    ignoreDefaultArgs: true,
    args: [
      '--headless',
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
      '--autoplay-policy=no-user-gesture-required',
      '--remote-debugging-pipe',
      `--user-data-dir=${profile}`,
      `--host-resolver-rules=MAP ${PLAIN_HOST} 127.0.0.1`,
    ],
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    rmSync(profile, { recursive: true, force: true });
  };
  return browser;
}

export function isLoopback(url) {
  const { protocol, hostname } = new URL(url);
  if (protocol === 'data:' || protocol === 'blob:' || protocol === 'about:') return true;
  return LOOPBACK_HOSTS.has(hostname);
}

// Records what a test needs to see of one page: console lines, CSP
// violations, requests, WebSockets and anything aimed off this machine.
export function watch(page) {
  const seen = { console: [], csp: [], requests: [], responses: [], sockets: [], offHost: [], errors: [] };
  page.on('console', (msg) => {
    const text = msg.text();
    seen.console.push(text);
    if (/Content Security Policy|Refused to/i.test(text)) seen.csp.push(text);
  });
  page.on('pageerror', (err) => seen.errors.push(String(err)));
  page.on('request', (req) => {
    seen.requests.push(req.url());
    if (!isLoopback(req.url())) seen.offHost.push(req.url());
  });
  page.on('response', (res) => seen.responses.push({ url: res.url(), status: res.status() }));
  page.on('websocket', (ws) => {
    seen.sockets.push({ url: ws.url(), at: Date.now(), socket: ws });
    if (!isLoopback(ws.url())) seen.offHost.push(ws.url());
  });
  return seen;
}
