// Drives the built-in chat page of a running `mivra-test-server` in headless Chromium (Debian's /usr/bin/chromium)
// and prints, as one JSON line, what it saw: argv = scenario, base URL, output folder, then the scenario's files.
// The server's scripted engine answers "[[script:TEXT]]" with TEXT and "[[loop:TEXT]]" with TEXT over and over, so
// every answer here is known in advance. The checks themselves live in chat_page_browser_test.cpp.
import { chromium } from 'playwright-core';
import path from 'node:path';

const [scenario, base, outDir, ...files] = process.argv.slice(2);
const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  timeout: 60000,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
});
const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
const page = await context.newPage();
page.setDefaultTimeout(30000);
const requests = [];
page.on('request', (r) => requests.push({ url: r.url(), method: r.method(), body: r.postData() }));
const pageErrors = [];
page.on('pageerror', (e) => pageErrors.push(String(e)));
page.on('dialog', (d) => d.accept(d.type() === 'prompt' ? 'Renamed chat' : undefined));

const chatRequests = () => requests.filter((r) => r.url.endsWith('/v1/chat/completions')).map((r) => JSON.parse(r.body));
const agentRequests = () => requests.filter((r) => new URL(r.url).pathname.startsWith('/agent/')).map((r) => r.url);
const text = (selector) => page.$eval(selector, (e) => e.textContent);
const lastBot = () => page.$$eval('#thread .msg.bot', (all) => {
  const m = all[all.length - 1];
  const think = m.querySelector('.think');
  return { model: m.querySelector('.who').textContent, body: m.querySelector('.body').textContent,
           reasoning: think.hidden ? null : think.querySelector('div').textContent,
           stats: m.querySelector('.stats') ? m.querySelector('.stats').textContent : null,
           error: m.classList.contains('err') };
});

async function send(message) {
  await page.fill('#input', message);
  await page.press('#input', 'Enter');
}
// Waits until the current chat holds `count` assistant messages and is not answering.
async function answers(count) {
  await page.waitForFunction((n) => document.querySelectorAll('#thread .msg.bot').length >= n &&
                                    document.getElementById('stop').hidden, count);
  return lastBot();
}
async function attach(...paths) {
  await page.setInputFiles('#files', paths);
  await page.waitForFunction((n) => document.querySelectorAll('#pending > *').length >= n &&
                                    !document.querySelector('#pending .busy'), paths.length);
  return page.$$eval('#pending > *', (all) => all.map((e) => ({
    tile: e.classList.contains('tile'), thumb: e.querySelector('img') ? e.querySelector('img').src.slice(0, 23) : null,
    sub: e.querySelector('.sub') ? e.querySelector('.sub').textContent : null, tip: e.title })));
}
async function storedChats(token) {
  const r = await fetch(base + '/agent/chats?kind=simple', { headers: { 'X-Mivra-Token': token } });
  return (await r.json()).chats;
}
async function waitStored(token, test) {
  for (let i = 0; i < 100; ++i) {
    const chats = await storedChats(token);
    if (test(chats)) return chats;
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  return storedChats(token);
}
async function postChat(token, chat) {
  await fetch(base + '/agent/chat?kind=simple', { method: 'POST', body: JSON.stringify(chat),
    headers: { 'Content-Type': 'application/json', 'X-Mivra-Token': token } });
}
const sideTitles = () => page.$$eval('#list .item .name', (all) => all.map((e) => e.textContent));

// Chats of other days, as another browser would have stored them.
function earlierChats(model) {
  const n = new Date();
  const noon = (daysAgo) => new Date(n.getFullYear(), n.getMonth(), n.getDate() - daysAgo, 12).getTime();
  const chat = (id, title, updated, question, answer) => ({ id, title, model, updated, messages: [
    { role: 'user', content: question },
    { role: 'assistant', model, content: answer, stats: '41.20 tok/s - 3.4 s' }] });
  return [
    chat('seed0001', 'How does expert routing work?', Date.now() - 60000, 'How does expert routing work?',
         'Each token is sent to the few experts whose router scores are highest.'),
    chat('seed0002', 'Plan a weekend in Lisbon', noon(1), 'Plan a weekend in Lisbon',
         'Day one: Alfama and the castle. Day two: Belém and the riverside.'),
    chat('seed0003', 'Rename holiday photos by date', noon(3), 'Write a script that renames photos by date',
         'Here is a short script that reads each photo\'s date and renames it.'),
    chat('seed0004', 'Spreadsheet formulas for a budget', noon(12), 'Which formulas do I need for a budget?',
         'SUMIF for the categories and a running total per month.'),
  ];
}

// The chat page with the token: the model list, a streamed answer with its statistics, the chat store and a reload,
// day groups and a chat from another browser, a text file read in the browser, reasoning kept apart and never sent
// back, markup shown as text, rename and delete.
async function localPage() {
  const [notesFile, longFile] = files;
  const f = {};
  const simple = await (await fetch(base + '/simple')).text();
  const token = /name="mivra-token" content="([^"]*)"/.exec(simple)[1];
  for (const chat of earlierChats('qwen3moe')) await postChat(token, chat);

  await page.goto(base + '/');
  f.token = await page.getAttribute('meta[name="mivra-token"]', 'content');
  await page.waitForFunction(() => document.querySelectorAll('#model option').length > 0);
  await page.waitForFunction(() => document.querySelectorAll('#list .item').length >= 4);
  f.models = await page.$$eval('#model option', (all) => all.map((o) => o.value));
  f.status = await text('#status');
  f.days = await page.$$eval('#list .day', (all) => all.map((e) => e.textContent));
  f.empty = await text('#thread');

  // A chat whose question rides in an attached notes file, for the screenshot.
  await page.setChecked('#think', true);
  f.notesCard = await attach(notesFile);
  await send('Summarise my notes in three points.');
  const summary = await answers(1);
  f.summary = summary;
  await page.mouse.move(0, 0);
  await page.screenshot({ path: path.join(outDir, 'chat-page.png') });
  await page.setViewportSize({ width: 420, height: 800 });
  await page.click('#menu');
  await page.waitForTimeout(300);
  await page.screenshot({ path: path.join(outDir, 'chat-page-narrow.png') });
  await page.mouse.click(400, 400);  // on the shade beside the panel
  await page.waitForTimeout(300);
  await page.setViewportSize({ width: 1280, height: 800 });
  await page.setChecked('#think', false);

  // "hi": a streamed answer with its statistics line, in the chat store and back after a reload.
  await page.click('#new');
  await page.fill('#max', '48');
  await send('hi [[script:Hello there, friend.]]');
  f.hi = await answers(1);
  f.hiRequest = chatRequests().at(-1);
  const id = await page.evaluate(() => current.id);
  f.stored = (await waitStored(token, (chats) => chats.some((c) => c.id === id && c.messages.length === 2)))
    .find((c) => c.id === id) || null;
  await page.reload();
  await page.waitForFunction(() => document.querySelectorAll('#thread .msg.bot').length > 0);
  f.reloaded = { title: await text('#title'), answer: (await lastBot()).body, side: await sideTitles() };

  // A chat made in another browser shows up when the window gets the focus.
  await postChat(token, { id: 'elsewhere', title: 'Made elsewhere', model: 'qwen3moe', updated: Date.now(),
                          messages: [{ role: 'user', content: 'hello from the laptop' }] });
  await page.evaluate(() => window.dispatchEvent(new Event('focus')));
  await page.waitForFunction(() => [...document.querySelectorAll('#list .name')].some((e) => e.textContent === 'Made elsewhere'));
  f.afterFocus = await sideTitles();

  // A long text file is read in the browser and cut to its first 40000 characters; that is still more than this
  // server's context, so the answer is an error, which the next message removes and never sends.
  await page.click('#new');
  f.longCard = await attach(longFile);
  await send('[[script:Read it.]]');
  f.longAnswer = await answers(1);
  f.longRequest = chatRequests().at(-1).messages.at(-1).content;
  await send('again [[script:Read it.]]');
  await page.waitForFunction(() => current.messages.length === 3 && document.getElementById('stop').hidden);
  f.afterError = chatRequests().at(-1).messages.map((m) => m.role + ':' + m.content.slice(0, 12));
  f.errorsShown = await page.$$eval('#thread .msg.err', (all) => all.length);

  // Reasoning is shown apart and never goes back to the model.
  await page.click('#new');
  await page.setChecked('#think', true);
  await send('think first [[script:<think>pondering deeply</think>The answer is 42.]]');
  f.thought = await answers(1);
  f.thoughtOpen = await page.$$eval('#thread .msg.bot', (all) => all.at(-1).querySelector('.think').open);
  await send('and then? [[script:Fine.]]');
  await answers(2);
  f.afterThought = chatRequests().at(-1);
  await page.setChecked('#think', false);

  // Markup in an answer is text.
  await send('show markup [[script:<img src=x onerror="window.pwned=1"><script>window.pwned=2</script> done]]');
  f.markup = await answers(3);
  f.pwned = await page.evaluate(() => window.pwned === undefined ? null : window.pwned);
  f.elements = await page.$$eval('#thread img, #thread script, #list img, #list script', (all) => all.length);

  // Rename, then delete, through the chat list (the dialogs are accepted).
  await page.click('#list .item.on .mark[title="Rename"]');
  f.renamed = await text('#title');
  const renamedId = await page.evaluate(() => current.id);
  f.renamedStored = (await waitStored(token, (chats) => chats.some((c) => c.title === 'Renamed chat')))
    .some((c) => c.id === renamedId && c.title === 'Renamed chat');
  await page.click('#list .item.on .mark[title="Delete"]');
  f.afterDelete = await sideTitles();
  f.deletedStored = (await waitStored(token, (chats) => !chats.some((c) => c.id === renamedId)))
    .some((c) => c.id === renamedId);
  f.agentRequests = agentRequests();
  return f;
}

// Served on another address than 127.0.0.1: no token, no request to /agent/, documents refused, text files read.
async function remotePage() {
  const [docxFile, notesFile] = files;
  const f = {};
  await page.goto(base + '/');
  f.token = await page.getAttribute('meta[name="mivra-token"]', 'content');
  await page.waitForFunction(() => document.querySelectorAll('#model option').length > 0);
  f.cards = await attach(docxFile, notesFile);
  await send('What do these say? [[script:Nothing I can read.]]');
  f.answer = await answers(1);
  f.request = chatRequests().at(-1).messages.at(-1).content;
  await page.evaluate(() => window.dispatchEvent(new Event('focus')));
  await page.reload();
  await page.waitForFunction(() => document.querySelectorAll('#thread .msg.bot').length > 0);
  await page.waitForTimeout(1000);  // time for anything the page might still send
  f.reloaded = (await lastBot()).body;
  f.agentRequests = agentRequests();
  return f;
}

// Stop keeps what came, and two chats stream at once.
async function twoStreams() {
  const f = {};
  await page.goto(base + '/simple');
  await page.waitForFunction(() => document.querySelectorAll('#model option').length > 0);
  await page.fill('#max', '100000');
  const live = () => page.$eval('#thread .msg.bot:last-child .body', (e) => e.textContent);
  await send('[[loop:tick ]]');
  await page.waitForFunction(() => (document.querySelector('#thread .msg.bot:last-child .body') || {}).textContent?.includes('tick'));
  const first = await page.evaluate(() => current.id);
  await page.keyboard.press('Control+k');
  await send('[[loop:tock ]]');
  await page.waitForFunction(() => (document.querySelector('#thread .msg.bot:last-child .body') || {}).textContent?.includes('tock'));
  f.dots = await page.$$eval('#list .dot', (all) => all.map((e) => e.title));
  f.stopShown = await page.isVisible('#stop');
  // Enter while the chat answers empties the field and sends nothing.
  const before = chatRequests().length;
  await send('not sent');
  f.fieldAfterEnter = await page.inputValue('#input');
  f.requestsAfterEnter = chatRequests().length - before;
  // Back in the first chat its answer is still arriving.
  await page.click('#list .item:has-text("tick")');
  f.switchedTo = (await page.evaluate(() => current.id)) === first;
  const a = (await live()).length;
  await page.waitForTimeout(600);
  f.stillGrowing = (await live()).length > a;
  await page.click('#stop');
  f.stopped = await answers(1);
  f.stoppedMessages = await page.evaluate(() => current.messages.map((m) => ({ role: m.role, error: !!m.error })));
  f.dotsAfterStop = await page.$$eval('#list .dot', (all) => all.length);
  await page.click('#list .item:has-text("tock")');
  await page.click('#stop');
  f.secondStopped = await answers(1);
  await page.screenshot({ path: path.join(outDir, 'chat-page-stopped.png') });
  return f;
}

// Documents and pictures read by the server through /agent/extract.
async function documents() {
  const [docxFile, pictureFile, notesFile] = files;
  const f = {};
  await page.goto(base + '/');
  await page.waitForFunction(() => document.querySelectorAll('#model option').length > 0);
  f.cards = await attach(docxFile, pictureFile, notesFile);
  f.extracts = requests.filter((r) => r.url.includes('/agent/extract')).map((r) => decodeURIComponent(new URL(r.url).search));
  await send('What do these say? [[script:A report, a picture and notes.]]');
  f.answer = await answers(1);
  f.request = chatRequests().at(-1).messages.at(-1).content;
  f.tiles = await page.$$eval('#thread .msg.me .tile img', (all) => all.map((e) => e.src.slice(0, 23)));
  await page.screenshot({ path: path.join(outDir, 'chat-page-documents.png') });
  return f;
}

// Stored chats: damaged ones in the browser's storage are left out, a picture address that is not a data address is
// never loaded, the reasoning of the channel form and of an unclosed <think> is shown apart, and a storage that
// refuses more than 10 chats keeps the 10 newest.
async function storage() {
  const f = {};
  const simple = await (await fetch(base + '/simple')).text();
  const token = /name="mivra-token" content="([^"]*)"/.exec(simple)[1];
  const now = Date.now();
  for (let i = 0; i < 12; ++i) {
    await postChat(token, { id: 'many' + i, title: 'Chat ' + i, model: '', updated: now - 3600000 - i * 1000,
                            messages: [{ role: 'user', content: 'question ' + i }] });
  }
  await page.addInitScript((time) => {
    if (sessionStorage.getItem('seeded')) return;
    sessionStorage.setItem('seeded', '1');
    localStorage.setItem('mivra.simple.chats', JSON.stringify([
      { id: '../escape', title: 'Bad id', messages: [] }, 42, null, { id: 'nomsgs', title: 'No list', messages: 'nope' },
      { id: 'channel', title: 'Channel form', model: 'm', updated: time, messages: [
        { role: 'user', content: 'q [[script:ok]]' },
        { role: 'assistant', model: 'm', stats: '', content:
          '<|channel|>analysis<|message|>weighing it<|end|><|start|>assistant<|channel|>final<|message|>Final words' },
        { role: 'user', content: 'see', files: [{ name: 'far.png', size: 9, thumb: 'http://127.0.0.2/track.png' }] },
        { role: 'assistant', model: 'm', content: '<think>never closed', stats: '' }] }]));
    // A storage that holds at most 10 chats.
    const setItem = Storage.prototype.setItem;
    Storage.prototype.setItem = function (key, value) {
      if (key === 'mivra.simple.chats' && JSON.parse(value).length > 10) throw new DOMException('full', 'QuotaExceededError');
      return setItem.call(this, key, value);
    };
  }, now);
  await page.goto(base + '/');
  await page.waitForFunction(() => document.querySelectorAll('#list .item').length >= 13);
  f.current = await text('#title');
  f.bots = await page.$$eval('#thread .msg.bot', (all) => all.map((m) => ({
    reasoning: m.querySelector('.think').hidden ? null : m.querySelector('.think div').textContent,
    body: m.querySelector('.body').textContent })));
  f.images = await page.$$eval('#thread img', (all) => all.length);
  f.cards = await page.$$eval('#thread .card .fn', (all) => all.map((e) => e.textContent));
  await send('next [[script:ok]]');
  await answers(3);
  f.request = chatRequests().at(-1).messages.map((m) => m.content);
  f.stored = await page.evaluate(() => JSON.parse(localStorage.getItem('mivra.simple.chats')).map((c) => c.id));
  f.outside = requests.filter((r) => !r.url.startsWith(base)).map((r) => r.url);
  return f;
}

const scenarios = { local: localPage, remote: remotePage, streams: twoStreams, documents, stored: storage };
let findings;
try {
  findings = await scenarios[scenario]();
  findings.pageErrors = pageErrors;
} catch (e) {
  await page.screenshot({ path: path.join(outDir, `failed-${scenario}.png`) }).catch(() => {});
  console.error(e.stack || String(e), '\npage errors:', pageErrors);
  process.exitCode = 1;
} finally {
  await browser.close();
}
if (findings) console.log(JSON.stringify(findings));
