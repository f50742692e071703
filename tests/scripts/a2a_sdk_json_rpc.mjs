// An independent A2A client (JSON-RPC transport, protocol 1.0) sends to the mailbox, reads the
// task back, lists it and cancels it, through the stand-in.
// Usage: node a2a_sdk_json_rpc.mjs ENDPOINT_URL TOKEN
import { ClientFactory, JsonRpcTransportFactory } from '@a2a-js/sdk/client';
import { checks } from './checks.mjs';

const [endpoint, token] = process.argv.slice(2);
const { fail, expect } = checks('a2a_sdk_json_rpc');

// The SDK's task states are enum numbers; these are the two this run goes through.
const WORKING = 2;
const CANCELED = 5;

const sent = [];
const authorizedFetch = (url, init = {}) => {
  const headers = new Headers(init.headers);
  headers.set('Authorization', `Bearer ${token}`);
  sent.push(headers.get('A2A-Version'));
  return fetch(url, { ...init, headers });
};
const factory = new ClientFactory({
  transports: [new JsonRpcTransportFactory({ fetchImpl: authorizedFetch })],
});
const client = await factory.createFromUrl(endpoint);
expect(client.transport.protocolName === 'JSONRPC', `transport ${client.transport.protocolName}`);
expect(client.protocolVersion === '1.0', `protocol version ${client.protocolVersion}`);

const reply = await client.sendMessage({
  message: {
    messageId: `sdk-${Date.now()}`,
    contextId: '',
    taskId: '',
    role: 1,
    parts: [{ content: { $case: 'text', value: 'hello from the JSON-RPC client' } }],
    metadata: undefined,
    extensions: [],
    referenceTaskIds: [],
  },
});
const task = reply.task ?? reply;
expect(typeof task.id === 'string' && task.id.length > 0, `send answered ${JSON.stringify(reply)}`);
expect(task.status?.state === WORKING, `sent task state ${task.status?.state}`);

const read = await client.getTask({ tenant: '', id: task.id });
expect(read.id === task.id, `getTask answered ${read.id}`);
expect(read.contextId === task.contextId, 'getTask changed the context id');

const listed = await client.listTasks({ tenant: '', contextId: '', status: 0, pageToken: '' });
expect(listed.tasks.some((entry) => entry.id === task.id), 'listTasks does not show the task');
expect(listed.totalSize >= 1, `listTasks totalSize ${listed.totalSize}`);

const canceled = await client.cancelTask({ tenant: '', id: task.id });
expect(canceled.status?.state === CANCELED, `cancelTask state ${canceled.status?.state}`);
const after = await client.getTask({ tenant: '', id: task.id });
expect(after.status?.state === CANCELED, `state after cancel ${after.status?.state}`);

expect(sent.every((version) => version === null || version === '1.0'), `versions ${sent}`);
console.log(`a2a_sdk_json_rpc: task ${task.id} sent, read, listed and canceled`);
