// Runs the launcher page (its two texts, as the launcher joins them) in headless Chromium (Debian's /usr/bin/chromium)
// for a list of scenarios, and prints what happened as one JSON line. argv: the page file, the scenario file (a JSON
// array), a user data folder.
//
// A scenario: {"name", "bridge": false to load the page without WebKit's message handler (as a plain browser),
// "steps": [...], "read": [element ids]}. Steps, in order: {"event": object} is delivered as the launcher delivers
// it (window.__mivra_receive), {"advance": ms} moves the page's clock (Date.now) on, {"click": selector} clicks an element,
// {"key": key, "on": selector} focuses an element and presses a key. The result of a scenario: "sent" (the messages
// the page posted, in order), "view" (the id of the visible view), "text" (id -> visible text), "html" (id -> inner
// HTML) for each id of "read", "fill" (the progress bar's width), "errors" (uncaught page errors).
import { readFileSync } from 'fs';
import { chromium } from 'playwright-core';

const [pageFile, scenarioFile, userDataDir] = process.argv.slice(2);
const html = readFileSync(pageFile, 'utf8');
const scenarios = JSON.parse(readFileSync(scenarioFile, 'utf8'));
const context = await chromium.launchPersistentContext(userDataDir, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  timeout: 60000,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
});
const results = {};
try {
  await context.route('http://launcher.test/**', (route) =>
    route.fulfill({ status: 200, contentType: 'text/html; charset=utf-8', body: html }));
  // One page with WebKit's message handler stood in for and one without; each scenario loads the page anew. The
  // page's clock (Date.now) stands still unless a step moves it.
  const pages = {};
  const errors = [];
  for (const bridge of [true, false]) {
    const page = await context.newPage();
    page.on('pageerror', (e) => errors.push(String(e)));
    await page.addInitScript((bridge) => {
      let now = Date.parse('2026-12-10T12:00:00Z');
      Date.now = () => now;
      window.__advance = (ms) => { now += ms; };
      if (!bridge) return;
      window.__sent = [];
      window.webkit = { messageHandlers: { mivra: {
        postMessage: (m) => window.__sent.push(JSON.parse(JSON.stringify(m))) } } };
    }, bridge);
    pages[bridge] = page;
  }
  for (const scenario of scenarios) {
    const page = pages[scenario.bridge !== false];
    errors.length = 0;
    await page.goto('http://launcher.test/', { waitUntil: 'load' });
    for (const step of scenario.steps || []) {
      if ('event' in step) {
        await page.evaluate((e) => window.__mivra_receive(e), step.event);
      } else if ('advance' in step) {
        await page.evaluate((ms) => window.__advance(ms), step.advance);
      } else if ('click' in step) {
        await page.click(step.click, { timeout: 5000 });
      } else if ('key' in step) {
        await page.focus(step.on, { timeout: 5000 });
        await page.keyboard.press(step.key);
      }
    }
    const ids = scenario.read || [];
    results[scenario.name] = await page.evaluate((ids) => {
      const on = document.querySelector('.view.on');
      const text = {}, html = {};
      for (const id of ids) {
        const el = document.getElementById(id);
        text[id] = el ? el.innerText : null;
        html[id] = el ? el.innerHTML : null;
      }
      return { sent: window.__sent || [], view: on ? on.id : null, text, html,
               fill: document.getElementById('dl-fill').style.width,
               webview: !!(window.chrome && window.chrome.webview) };
    }, ids);
    results[scenario.name].errors = [...errors];
  }
} finally {
  await context.close();
}
console.log(JSON.stringify(results));
