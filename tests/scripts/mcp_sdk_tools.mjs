// The official MCP client starts `tessik mcp-server` over stdio, lists its three tools and
// calls each. The send tool answers an A2A message: the hostile reply must reach the mailbox
// byte for byte, and the A2A task of the answered message must be completed with it.
// Usage: node mcp_sdk_tools.mjs TESSIK ENDPOINT_URL TOKEN SESSION_ID READY_FILE SPOOL_DIR
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { execFileSync, spawnSync } from 'node:child_process';
import { existsSync, readdirSync, readFileSync } from 'node:fs';
import { setTimeout as sleep } from 'node:timers/promises';
import { checks } from './checks.mjs';

const [tessik, endpoint, token, sessionId, readyFile, spool] = process.argv.slice(2);
const senderName = 'Claude Peer';
const { fail, expect: check } = checks('mcp_sdk_tools');
const waitFor = async (condition, what) => {
  for (let i = 0; i < 400; i += 1) {
    if (condition()) return;
    await sleep(25);
  }
  fail(`timed out waiting for ${what}`);
};
const a2a = async (method, path, body) => {
  const response = await fetch(endpoint + path, {
    method,
    headers: {
      Authorization: `Bearer ${token}`,
      'Content-Type': 'application/json',
      'A2A-Version': '1.0',
    },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  const text = await response.text();
  check(response.ok, `${method} ${path} answered ${response.status}: ${text}`);
  return JSON.parse(text);
};

// An A2A client sends a message to the mailbox; its task waits for an answer.
const ask = async (question) => {
  const sent = await a2a('POST', '/message:send', {
    targetAgent: 'mailbox',
    message: { messageId: `mcp-${Date.now()}`, role: 'ROLE_USER', parts: [{ text: question }] },
  });
  const task = sent.task;
  check(task?.id && task.metadata?.tessikMessageId, `no task in ${JSON.stringify(sent)}`);
  check(task.status.state === 'TASK_STATE_WORKING', `task is ${task.status.state}`);
  return { taskId: task.id, operation: task.metadata.tessikMessageId };
};
const small = await ask('a short question?');
const large = await ask('a long question?');
const viaCli = await ask('a question answered from the command line?');

const transport = new StdioClientTransport({
  command: tessik,
  args: ['mcp-server', '--host', 'claude-code-cli', '--provider', 'claude_code_cli',
    '--provider-session-id', sessionId, '--sender-name', senderName],
  env: { ...process.env, TESSIK_MCP_READY_FILE: readyFile },
  stderr: 'inherit',
});
const client = new Client({ name: 'tessik-mcp-test', version: '1.0.0' });
await client.connect(transport);
check(client.getServerVersion()?.name === 'tessik', 'server did not introduce itself as tessik');
await client.ping();
check(!existsSync(readyFile), 'readiness marker written before the tools were listed');

const { tools } = await client.listTools();
const names = tools.map((tool) => tool.name).sort();
check(JSON.stringify(names) === JSON.stringify(['tessik_list_agents', 'tessik_send_message',
  'tessik_whoami']), `tools are ${names}`);
await waitFor(() => existsSync(readyFile), 'the readiness marker');
const marker = JSON.parse(readFileSync(readyFile, 'utf8'));
check(marker.state === 'tools_list_ready' && marker.provider === 'claude_code_cli' &&
  marker.provider_session_id === sessionId, `marker is ${JSON.stringify(marker)}`);

const text = (result) => result.content.find((part) => part.type === 'text')?.text ?? '';
const whoami = JSON.parse(text(await client.callTool({ name: 'tessik_whoami', arguments: {} })));
check(whoami.registered === true && whoami.agent?.name === senderName,
  `whoami is ${JSON.stringify(whoami)}`);
const agents = JSON.parse(text(await client.callTool({ name: 'tessik_list_agents' }))).agents;
check(agents.some((agent) => agent.provider === 'tessik_mailbox'),
  `the mailbox is not listed: ${JSON.stringify(agents)}`);

// Quotes, backslashes, line breaks, every control character but NUL, non-ASCII.
let controls = '';
for (let c = 1; c < 32; c += 1) controls += String.fromCharCode(c);
const chunk = `"quoted" \\back\\slash\\ \r\n${controls}\x7f é 漢字 😀 </tool>\n`;
const hostile = (bytes) => {
  let text = '';
  while (Buffer.byteLength(text) < bytes) text += chunk;
  return text;
};
const refused = await client.callTool({
  name: 'tessik_send_message', arguments: { to: 'no such agent anywhere', body: 'x' },
});
check(refused.isError === true && text(refused).startsWith('Refused by Tessik: '),
  `an unknown target was not refused: ${text(refused)}`);
const reply = async (body, operation) => {
  const result = await client.callTool({
    name: 'tessik_send_message',
    arguments: { to: 'mailbox', body, sourceContext: `tessik-operation:${operation}` },
  });
  check(result.isError === false, `send failed: ${text(result)}`);
  const replyId = /message_id=([0-9a-f]+)/.exec(text(result))?.[1];
  check(replyId, `no message id in ${text(result)}`);
  return replyId;
};
const smallBody = hostile(60_000);
const smallReply = await reply(smallBody, small.operation);
// About a mebibyte: as much as the mailbox takes with the envelope around it.
const largeBody = hostile(1_040_000);
const largeReply = await reply(largeBody, large.operation);
await client.close();

// The mailbox holds each reply inside its envelope, byte for byte.
const storedBody = async (replyId) => {
  const stored = () => (existsSync(spool) ? readdirSync(spool) : [])
    .filter((name) => name.endsWith(`_${replyId}.json`));
  await waitFor(() => stored().length === 1, `reply ${replyId} in the mailbox`);
  const message = JSON.parse(readFileSync(`${spool}/${stored()[0]}`, 'utf8'));
  check(message.sender_name === senderName, `stored sender is ${message.sender_name}`);
  return message.final_visible_body;
};
for (const [replyId, body] of [[smallReply, smallBody], [largeReply, largeBody]]) {
  check((await storedBody(replyId)).startsWith(`Message from ${senderName}\n\n${body}\n\n`),
    `the stored body of ${replyId} differs from the body sent`);
}

// The A2A client reads each answer from its task; the task keeps the head of a huge reply.
const answered = async ({ taskId }, replyId) => {
  const task = await a2a('GET', `/tasks/${taskId}`);
  check(task.status.state === 'TASK_STATE_COMPLETED', `task ${taskId} is ${task.status.state}`);
  check(task.metadata.tessikReplyMessageId === replyId, `task ${taskId} names another reply`);
  check(task.metadata.tessikReplySenderAgent === senderName, `task ${taskId} names another sender`);
  return task.metadata.tessikReplyBody;
};
check(await answered(small, smallReply) === smallBody, 'the task reply differs from the body sent');
const kept = await answered(large, largeReply);
check(kept.length < largeBody.length && largeBody.startsWith(kept.slice(0, kept.indexOf('\n\n[Tessik kept'))),
  'the task does not keep the head of the large reply');

// The end of its input ends the server cleanly, after it has answered what came before.
const direct = spawnSync(tessik, ['mcp-server', '--provider-session-id', sessionId],
  { input: '{"jsonrpc":"2.0","id":"last","method":"ping"}', encoding: 'utf8' });
check(direct.status === 0, `mcp-server exited with ${direct.status}: ${direct.stderr}`);
check(JSON.parse(direct.stdout).id === 'last', `the last request got ${direct.stdout}`);

// `tessik send` with the same source context completes a task just as the tool does.
const cliOutput = execFileSync(tessik, ['send', '--to', 'mailbox', '--from', sessionId,
  '--source-context', `tessik-operation:${viaCli.operation}`, '--json', 'answered "by" the CLI'],
{ encoding: 'utf8' });
const cliReply = JSON.parse(cliOutput).message_id;
check(await answered(viaCli, cliReply) === 'answered "by" the CLI', 'the CLI reply was not recorded');
console.log(`mcp_sdk_tools: tasks ${small.taskId} and ${large.taskId} completed by their replies`);
