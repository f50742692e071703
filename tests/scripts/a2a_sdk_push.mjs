// An independent A2A client registers, reads, lists and deletes push configurations over one
// transport (HTTP+JSON or JSON-RPC), and a callback server written with plain Node http
// receives the task's updates. Usage: node a2a_sdk_push.mjs ENDPOINT_URL TOKEN TRANSPORT
import http from 'node:http';
import { sdkClient } from './a2a_client.mjs';
import { checks } from './checks.mjs';

const [endpoint, token, transport] = process.argv.slice(2);
const { fail, expect } = checks(`a2a_sdk_push(${transport})`);

const received = [];
const callbacks = http.createServer((request, response) => {
  let body = '';
  request.on('data', (chunk) => { body += chunk; });
  request.on('end', () => {
    received.push({ path: request.url, headers: request.headers, body: JSON.parse(body) });
    response.writeHead(204).end();
  });
});
await new Promise((resolve) => callbacks.listen(0, '127.0.0.1', resolve));
const callbackUrl = (path) => `http://127.0.0.1:${callbacks.address().port}${path}`;

const client = await sdkClient(endpoint, token, transport);

const reply = await client.sendMessage({
  message: {
    messageId: `sdk-push-${transport}-${Date.now()}`,
    contextId: '',
    taskId: '',
    role: 1,
    parts: [{ content: { $case: 'text', value: 'hello with a callback' } }],
    metadata: undefined,
    extensions: [],
    referenceTaskIds: [],
  },
  configuration: {
    acceptedOutputModes: [],
    returnImmediately: false,
    taskPushNotificationConfig: {
      tenant: '', id: 'inline', taskId: '', url: callbackUrl('/inline'), token: 'inline-token',
      authentication: { scheme: 'Bearer', credentials: 'inline-credentials' },
    },
  },
});
const task = reply?.payload?.$case === 'task' ? reply.payload.value : (reply.task ?? reply);
expect(typeof task.id === 'string' && task.id !== '', `send answered ${JSON.stringify(reply)}`);

// The broker posts within the send request: the updates are here once the answer is.
expect(received.length === 2, `callback received ${received.length} posts`);
expect('task' in received[0].body, `first post ${JSON.stringify(received[0].body)}`);
expect('statusUpdate' in received[1].body, `second post ${JSON.stringify(received[1].body)}`);
for (const post of received) {
  expect(post.headers.authorization === 'Bearer inline-credentials', 'authorization header');
  expect(post.headers['idempotency-key'] === post.headers['x-tessik-push-delivery-id'],
    'idempotency key');
}

const created = await client.createTaskPushNotificationConfig({
  tenant: '', id: 'second', taskId: task.id, url: callbackUrl('/second'), token: '',
  authentication: undefined,
});
expect(created.id === 'second' && created.taskId === task.id, `created ${JSON.stringify(created)}`);
const got = await client.getTaskPushNotificationConfig({ tenant: '', taskId: task.id, id: 'inline' });
expect(got.url === callbackUrl('/inline') && got.token === 'inline-token', `got ${JSON.stringify(got)}`);
const listed = await client.listTaskPushNotificationConfig({
  tenant: '', taskId: task.id, pageSize: 0, pageToken: '',
});
expect(listed.configs.map((c) => c.id).join() === 'inline,second', `listed ${JSON.stringify(listed)}`);

// A cancellation reaches both callbacks.
await client.cancelTask({ tenant: '', id: task.id });
expect(received.filter((p) => p.path === '/second').length === 2, 'second callback got the cancel');

await client.deleteTaskPushNotificationConfig({ tenant: '', taskId: task.id, id: 'second' });
const after = await client.listTaskPushNotificationConfig({
  tenant: '', taskId: task.id, pageSize: 0, pageToken: '',
});
expect(after.configs.map((c) => c.id).join() === 'inline', `after delete ${JSON.stringify(after)}`);

callbacks.close();
console.log(`a2a_sdk_push(${transport}): ${received.length} callbacks for task ${task.id}`);
