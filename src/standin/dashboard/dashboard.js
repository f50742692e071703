// The Tessik dashboard's behaviour: reads the A2A routes and the read-only /ui/api routes with
// the local token, which lives in this tab's sessionStorage only. Every text that comes from
// the broker is inserted as text, never parsed as HTML.
'use strict';

const TOKEN_KEY = 'tessik.dashboard.token';
const REFRESH_MS = 5000;
const $ = (id) => document.getElementById(id);

let token = sessionStorage.getItem(TOKEN_KEY) || '';
let refreshTimer = null;
let pageTokens = [''];  // page tokens of the task pages seen; the last one is shown
let openTaskId = '';

class AuthError extends Error {}

// Builds an element; string and number children become text nodes.
function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'class') node.className = value;
    else if (key === 'onclick') node.addEventListener('click', value);
    else node.setAttribute(key, value);
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(typeof child === 'object' ? child : document.createTextNode(String(child)));
  }
  return node;
}

function text(value) {
  return value === null || value === undefined ? '' : String(value);
}

// A link only for http(s) addresses; anything else is shown as plain text.
function safeLink(url, label) {
  try {
    const parsed = new URL(url, location.href);
    if (parsed.protocol === 'http:' || parsed.protocol === 'https:') {
      return el('a', { href: parsed.href }, label);
    }
  } catch (error) { /* not a URL: shown as text below */ }
  return document.createTextNode(text(url));
}

function setStatus(message, isError = false) {
  $('status').textContent = message;
  $('status').classList.toggle('error', isError);
}

async function api(path, options = {}) {
  const headers = new Headers(options.headers);
  headers.set('Authorization', `Bearer ${token}`);
  headers.set('A2A-Version', '1.0');
  const response = await fetch(path, { ...options, headers, cache: 'no-store' });
  if (response.status === 401) throw new AuthError('The token was not accepted.');
  const body = await response.json().catch(() => null);
  if (!response.ok) {
    throw new Error(body?.error?.message || `The broker answered HTTP ${response.status}.`);
  }
  return body;
}

function replaceRows(body, rows, columns, emptyText) {
  body.replaceChildren(...(rows.length ? rows
    : [el('tr', {}, el('td', { colspan: String(columns) }, emptyText))]));
}

function renderAgents(listing) {
  const agents = listing?.agents || [];
  replaceRows($('agents-body'), agents.map((agent) => el('tr', {},
    el('td', {}, text(agent.name)),
    el('td', {}, el('code', {}, text(agent.id))),
    el('td', {}, [agent.provider, agent.surface].filter(Boolean).join(' / ')),
    el('td', {}, agent.sendable ? 'ready' : 'needs repair'),
    el('td', {}, safeLink(agent.agentCardUrl, 'card')))), 5, 'No agents are registered.');
  const select = $('send-to');
  const chosen = select.value;
  select.replaceChildren(...agents.filter((agent) => agent.sendable).map((agent) =>
    el('option', { value: text(agent.id) }, `${text(agent.name)} (${text(agent.id)})`)));
  if ([...select.options].some((option) => option.value === chosen)) select.value = chosen;
}

function taskQuery() {
  const query = new URLSearchParams({ pageSize: $('filter-size').value });
  if ($('filter-state').value) query.set('status', $('filter-state').value);
  if ($('filter-context').value.trim()) query.set('contextId', $('filter-context').value.trim());
  const pageToken = pageTokens[pageTokens.length - 1];
  if (pageToken) query.set('pageToken', pageToken);
  return query;
}

function renderTasks(listing) {
  const needle = $('filter-agent').value.trim().toLowerCase();
  const tasks = (listing?.tasks || []).filter((task) => !needle ||
    text(task.metadata?.tessikTargetAgent).toLowerCase().includes(needle));
  replaceRows($('tasks-body'), tasks.map((task) => el('tr', {},
    el('td', {}, el('button', { type: 'button', class: 'link', onclick: () => showTask(task.id).catch(report) },
      text(task.id))),
    el('td', {}, text(task.status?.state)),
    el('td', {}, text(task.metadata?.tessikTargetAgent)),
    el('td', {}, text(task.metadata?.tessikRequesterAgent)),
    el('td', {}, text(task.status?.timestamp)))), 5, 'No tasks match.');
  const total = listing?.totalSize ?? tasks.length;
  $('tasks-summary').textContent = `Page ${pageTokens.length}; ${total} task(s) in all.`;
  $('tasks-next').disabled = !listing?.nextPageToken;
  $('tasks-next').dataset.next = text(listing?.nextPageToken);
  $('tasks-first').disabled = pageTokens.length === 1;
}

function partsText(parts) {
  return (parts || []).map((part) => text(part.text ?? JSON.stringify(part))).join('\n');
}

async function showTask(id) {
  openTaskId = id;
  const task = await api(`/a2a/tasks/${encodeURIComponent(id)}?historyLength=50`);
  const fields = [['Id', task.id], ['Context', task.contextId], ['State', task.status?.state],
    ['Updated', task.status?.timestamp], ['Target', task.metadata?.tessikTargetAgent],
    ['Requester', task.metadata?.tessikRequesterAgent],
    ['Message id', task.metadata?.tessikMessageId],
    ['Error', task.metadata?.tessikErrorMessage], ['Reply', task.metadata?.tessikReplyBody]];
  $('task-detail-fields').replaceChildren(...fields.filter(([, value]) => value)
    .flatMap(([name, value]) => [el('dt', {}, name), el('dd', {}, el('pre', {}, text(value)))]));
  $('task-detail-history').replaceChildren(...(task.history || []).map((message) =>
    el('li', {}, el('strong', {}, text(message.role)), el('pre', {}, partsText(message.parts)))));
  $('task-detail-artifacts').replaceChildren(...(task.artifacts || []).map((artifact) =>
    el('li', {}, el('strong', {}, text(artifact.name || artifact.artifactId)),
      el('pre', {}, partsText(artifact.parts)))));
  $('task-detail-heading').textContent = `Task ${text(task.id)}`;
  $('task-detail').hidden = false;
}

function renderMailbox(listing) {
  const messages = listing?.messages || [];
  $('mailbox-summary').textContent = messages.length
    ? `${listing.total} message(s) stored; newest first.` : 'The mailbox is empty.';
  $('mailbox-list').replaceChildren(...messages.map((message) => message.failed
    ? el('article', { class: 'mail' }, el('p', { class: 'error' },
      `${text(message.file)}: ${text(message.error)}`))
    : el('article', { class: 'mail' },
      el('header', {}, `${text(message.receivedAt)} · from ${text(message.senderName) || 'unknown'}`
        + ` · to ${text(message.target)} · id ${text(message.messageId)}`),
      el('pre', {}, text(message.body) + (message.bodyTruncated ? '\n[…]' : '')))));
}

function renderDeliveries(listing) {
  replaceRows($('deliveries-body'), (listing?.entries || []).map((entry) => el('tr', {},
    el('td', {}, text(entry.created_at)), el('td', {}, text(entry.message_id)),
    el('td', {}, text(entry.target)), el('td', {}, text(entry.stage ?? entry.event_type)),
    el('td', {}, text(entry.result)), el('td', {}, text(entry.detail ?? entry.line)))), 6,
  listing?.recorded ? 'No deliveries yet.' : 'No delivery has been recorded yet.');
}

function renderDeadLetters(listing) {
  const entries = listing?.entries || [];
  $('dead-letters-summary').textContent = !listing?.recorded
    ? 'push deliveries are not recorded yet'
    : entries.length ? `${entries.length} dead letter(s), newest first.` : 'No push delivery failed.';
  replaceRows($('dead-letters-body'), entries.map((entry) => el('tr', {},
    el('td', {}, text(entry.createdAt)), el('td', {}, text(entry.taskId)),
    el('td', {}, text(entry.callback)), el('td', {}, `${text(entry.attempt)} of ${text(entry.maxAttempts)}`),
    el('td', {}, text(entry.statusCode)), el('td', {}, text(entry.error ?? entry.line)))), 6, '—');
}

function clearData() {
  for (const id of ['agents-body', 'tasks-body', 'mailbox-list', 'deliveries-body',
    'dead-letters-body', 'send-to', 'task-detail-fields', 'task-detail-history',
    'task-detail-artifacts']) $(id).replaceChildren();
  for (const id of ['tasks-summary', 'mailbox-summary', 'dead-letters-summary', 'send-result']) {
    $(id).textContent = '';
  }
  $('task-detail').hidden = true;
}

function signOut(message) {
  token = '';
  sessionStorage.removeItem(TOKEN_KEY);
  clearInterval(refreshTimer);
  refreshTimer = null;
  clearData();
  $('data').hidden = true;
  $('session-controls').hidden = true;
  $('token-section').hidden = false;
  $('token-message').textContent = message;
  setStatus('');
  $('token-input').focus();
}

async function refresh() {
  try {
    const [agents, tasks, mailbox, deliveries, dead] = await Promise.all([
      api('/a2a/agents'), api(`/a2a/tasks?${taskQuery()}`), api('/ui/api/mailbox'),
      api('/ui/api/deliveries'), api('/ui/api/push-dead-letters')]);
    renderAgents(agents);
    renderTasks(tasks);
    renderMailbox(mailbox);
    renderDeliveries(deliveries);
    renderDeadLetters(dead);
    if (openTaskId && !$('task-detail').hidden) await showTask(openTaskId);
    setStatus(`Updated ${new Date().toLocaleTimeString()}.`);
    // When the page first showed data, on the page's own clock (read by the browser test).
    if (!performance.getEntriesByName('tessik-first-data').length) {
      performance.mark('tessik-first-data');
    }
  } catch (error) {
    report(error);
  }
}

// A refused token ends the session; any other failure is shown and the data stays.
function report(error) {
  if (error instanceof AuthError) signOut(error.message);
  else setStatus(error.message, true);
}

function startAutoRefresh() {
  clearInterval(refreshTimer);
  refreshTimer = $('auto-refresh').checked ? setInterval(refresh, REFRESH_MS) : null;
}

// A token typed in is tried once before it is kept; one kept by this tab goes straight to the
// first refresh, which signs out if the broker no longer takes it.
async function signIn(candidate, kept = false) {
  token = candidate;
  if (!kept) {
    try {
      await api('/a2a/agents');
    } catch (error) {
      if (error instanceof AuthError) return signOut(error.message);
      $('token-message').textContent = error.message;
      return;
    }
  }
  sessionStorage.setItem(TOKEN_KEY, token);
  $('token-message').textContent = '';
  $('token-section').hidden = true;
  $('data').hidden = false;
  $('session-controls').hidden = false;
  await refresh();
  startAutoRefresh();
}

async function send(event) {
  event.preventDefault();
  const to = $('send-to').value;
  const body = $('send-text').value;
  if (!to || !body.trim()) return;
  const message = { messageId: crypto.randomUUID(), role: 'ROLE_USER', parts: [{ text: body }] };
  try {
    const result = await api(`/a2a/agents/${encodeURIComponent(to)}/message:send`, {
      method: 'POST', headers: { 'Content-Type': 'application/a2a+json' },
      body: JSON.stringify({ message }) });
    const task = result?.task || result;
    $('send-result').textContent = `Sent: task ${text(task?.id)} is ${text(task?.status?.state)}.`;
    $('send-text').value = '';
    await refresh();
  } catch (error) {
    if (error instanceof AuthError) signOut(error.message);
    else $('send-result').textContent = `Not sent: ${error.message}`;
  }
}

function wire() {
  $('token-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const candidate = $('token-input').value.trim();
    $('token-input').value = '';
    if (candidate) signIn(candidate);
  });
  $('forget-token').addEventListener('click', () => signOut('Token forgotten. Enter it again to continue.'));
  $('refresh').addEventListener('click', refresh);
  $('auto-refresh').addEventListener('change', startAutoRefresh);
  $('send-form').addEventListener('submit', send);
  $('task-filters').addEventListener('submit', (event) => {
    event.preventDefault();
    pageTokens = [''];
    refresh();
  });
  $('tasks-next').addEventListener('click', () => {
    pageTokens.push($('tasks-next').dataset.next);
    refresh();
  });
  $('tasks-first').addEventListener('click', () => {
    pageTokens = [''];
    refresh();
  });
  $('task-detail-close').addEventListener('click', () => {
    $('task-detail').hidden = true;
    openTaskId = '';
  });
  if (token) signIn(token, true);
  else $('token-message').textContent = 'Enter the local token to see the broker\'s data.';
}

wire();
