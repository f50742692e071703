// Headless Chromium against the dashboard the stand-in serves. Usage:
// node dashboard_browser.mjs CHROMIUM BASE_URL TOKEN TASKS_JSONL EVIL_AGENT_NAME DEAD_TASK_ID
import { readFileSync, appendFileSync } from 'node:fs';
import puppeteer from 'puppeteer-core';
import { checks } from './checks.mjs';

const [chromium, base, token, tasksPath, evilName, deadTask] = process.argv.slice(2);
const { fail, expect } = checks('dashboard_browser');
const WAIT = { timeout: 20000 };

const browser = await puppeteer.launch({
  executablePath: chromium, headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
});
try {
  const page = await browser.newPage();
  const pageErrors = [];
  page.on('pageerror', (error) => pageErrors.push(String(error)));
  page.on('console', (message) => {
    // The refused token's 401 answers are expected; any other console error is not.
    if (message.type() === 'error' && !message.text().includes('status of 401')) {
      pageErrors.push(message.text());
    }
  });
  const textOf = (selector) => page.$eval(selector, (node) => node.textContent);
  const isHidden = (selector) => page.$eval(selector, (node) => node.hidden);

  // GET / leads to the page; without a token it shows no data and asks for one.
  const landing = await page.goto(`${base}/`, { waitUntil: 'load' });
  expect(new URL(landing.url()).pathname === '/ui/', `GET / ended at ${landing.url()}`);
  const policy = landing.headers()['content-security-policy'] || '';
  expect(/script-src 'sha256-[A-Za-z0-9+/]+=*';/.test(policy) && !policy.includes('unsafe-inline'),
    `the page has no script policy of its own: ${policy}`);
  await page.waitForFunction(() => document.getElementById('token-message').textContent !== '', WAIT);
  expect(await isHidden('#data'), 'data is visible without a token');
  expect((await textOf('#token-message')).includes('token'), 'the page does not ask for the token');
  expect((await textOf('#agents-body')) === '', 'agents are listed without a token');

  // A wrong token is refused, said so, and not kept.
  await page.type('#token-input', 'not-the-token');
  await page.click('#token-form button[type=submit]');
  await page.waitForFunction(
    () => document.getElementById('token-message').textContent.includes('not accepted'), WAIT);
  expect(await isHidden('#data'), 'data is visible with a wrong token');
  expect(await page.evaluate(() => sessionStorage.length) === 0, 'a refused token was stored');

  // The right token shows the agents, the built-in mailbox among them.
  await page.type('#token-input', token);
  await page.click('#token-form button[type=submit]');
  await page.waitForFunction(
    () => document.getElementById('agents-body').textContent.includes('Tessik Mailbox'), WAIT);
  expect(!(await isHidden('#data')), 'data stays hidden with the right token');
  const agentNames = await page.$$eval('#agents-body tr td:first-child', (cells) =>
    cells.map((cell) => cell.textContent));
  expect(agentNames.includes(evilName), `the markup agent name is not shown as text: ${agentNames}`);
  expect(await page.$('#agents-body img') === null, 'an agent name became an element');

  // Sending through the form: the task and the mailbox message appear without a reload.
  await page.evaluate(() => { window.__sameDocument = true; });
  const mailbox = await page.$$eval('#send-to option', (options) =>
    options.find((option) => option.textContent.startsWith('Tessik Mailbox'))?.value);
  expect(mailbox, 'the mailbox is not offered in the send form');
  await page.select('#send-to', mailbox);
  const body = `dashboard check ${Date.now()} <script>window.__injected=2</script>` +
    '<img src=x onerror="window.__injected=3"> bell:\u0007 end';
  await page.$eval('#send-text', (area, value) => { area.value = value; }, body);
  await page.click('#send-form button[type=submit]');
  await page.waitForFunction(
    () => document.getElementById('send-result').textContent.startsWith('Sent: task '), WAIT);
  const taskId = (await textOf('#send-result')).match(/task (\S+)/)[1];
  await page.waitForFunction((id) => [...document.querySelectorAll('#tasks-body button')]
    .some((button) => button.textContent === id), WAIT, taskId);
  const marker = body.slice(0, body.indexOf('<script>'));
  await page.waitForFunction((text) =>
    document.getElementById('mailbox-list').textContent.includes(text), WAIT, marker);
  const shown = await page.$$eval('#mailbox-list pre', (nodes) => nodes.map((node) => node.textContent));
  expect(shown.some((text) => text.includes('<script>window.__injected=2</script>') &&
    text.includes('<img src=x onerror="window.__injected=3">')), `the body is not shown as text: ${shown}`);
  expect(await page.$('#mailbox-list script, #mailbox-list img') === null, 'the body became markup');
  expect(await page.evaluate(() => window.__sameDocument === true), 'the page was reloaded');

  // The task detail opens from the list by keyboard.
  const button = await page.waitForSelector(`#tasks-body button`, WAIT);
  await button.focus();
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => !document.getElementById('task-detail').hidden, WAIT);
  expect((await textOf('#task-detail-history')).includes('<script>'), 'the detail lacks the text');

  expect(await page.evaluate(() => window.__injected) === undefined, 'injected script ran');
  const storage = await page.evaluate(() => ({
    session: sessionStorage.getItem('tessik.dashboard.token'), local: localStorage.length,
    cookies: document.cookie }));
  expect(storage.session === token, 'the token is not in the session storage');
  expect(storage.local === 0 && storage.cookies === '', 'the token went beyond the session storage');
  // The callback nobody answered is listed among the push dead letters.
  expect((await textOf('#dead-letters-summary')).includes('dead letter'), 'no dead letter shown');
  expect((await textOf('#dead-letters-body')).includes(deadTask), `task ${deadTask} is not listed`);

  // 1,000 tasks in the log, then a fresh load of the page (the tab keeps its token).
  const lines = readFileSync(tasksPath, 'utf8').split('\n').filter((line) => line.trim());
  const template = JSON.parse(lines[lines.length - 1]);
  let seeded = '';
  for (let i = 0; i < 1000; i++) {
    const id = `seeded-${String(i).padStart(4, '0')}`;
    seeded += JSON.stringify({ ...template, id, contextId: id,
      history: (template.history || []).map((m) => ({ ...m, taskId: id, contextId: id })),
      metadata: { ...template.metadata, tessikMessageId: `${id}-message` } }) + '\n';
  }
  appendFileSync(tasksPath, seeded);
  const started = Date.now();
  await page.goto(`${base}/ui/`, { waitUntil: 'domcontentloaded' });
  await page.waitForFunction(
    () => document.getElementById('status').textContent.startsWith('Updated'), WAIT);
  const firstLoadMs = Date.now() - started;
  const timing = await page.evaluate(() => {
    const tasks = performance.getEntriesByType('resource').find((entry) =>
      entry.name.includes('/a2a/tasks?'));
    const requests = performance.getEntriesByType('resource').map((entry) =>
      `${new URL(entry.name).pathname} ${Math.round(entry.startTime)}+${Math.round(entry.duration)}` +
      ` (waiting ${Math.round(entry.responseStart - entry.requestStart)})`);
    const shown = performance.getEntriesByName('tessik-first-data')[0];
    return { shown: shown ? Math.round(shown.startTime) : -1,
      dom: Math.round(performance.getEntriesByType('navigation')[0].domContentLoadedEventEnd),
      tasks: tasks ? Math.round(tasks.duration) : -1, requests: requests.join(', ') };
  });
  const summary = await textOf('#tasks-summary');
  expect(/(\d+) task/.exec(summary) && Number(/(\d+) task/.exec(summary)[1]) >= 1001,
    `the list does not count the seeded tasks: ${summary}`);

  // Paging and filters work on the full log, without a reload.
  const summaryIs = (pattern) => page.waitForFunction((source) => new RegExp(source)
    .test(document.getElementById('tasks-summary').textContent), WAIT, pattern);
  await page.evaluate(() => { window.__paged = true; });
  await page.click('#tasks-next');
  await summaryIs('^Page 2;');
  const secondPage = await page.$$eval('#tasks-body button', (nodes) => nodes.length);
  expect(secondPage === 50, `the second page shows ${secondPage} tasks`);
  await page.select('#filter-state', 'TASK_STATE_CANCELED');
  await page.click('#task-filters button[type=submit]');
  await summaryIs('^Page 1; 0 task');
  expect((await textOf('#tasks-body')).includes('No tasks match.'), 'a filter with no match lists tasks');
  expect(await page.evaluate(() => window.__paged === true), 'paging or filtering reloaded the page');
  expect(pageErrors.length === 0, `the page reported errors: ${pageErrors.join(' | ')}`);
  expect(timing.shown > 0, 'the page did not mark when it first showed data');
  console.log(`dashboard_browser: first load with 1,001 tasks: data shown ${timing.shown} ms ` +
    `after navigation start by the page's clock, ${firstLoadMs} ms as the driver saw it ` +
    `(DOM ready ${timing.dom} ms, task list request ${timing.tasks} ms; ` +
    `requests, start+duration ms: ${timing.requests})`);
} finally {
  await browser.close();
}
