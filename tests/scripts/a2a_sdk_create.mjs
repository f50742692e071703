// An independent A2A client sends a message to the Claude Code CLI provider factory over both
// bindings and must get the create task back. With EXPECT "completed" each task must name the
// new agent, whose card URL must answer with that agent's card; with "failed" each task must
// say why the creation failed. Usage: node a2a_sdk_create.mjs ENDPOINT_URL TOKEN EXPECT CWD
import { sdkClient, tokenFetch } from './a2a_client.mjs';
import { checks } from './checks.mjs';

const [endpoint, token, expected, cwd] = process.argv.slice(2);
const { fail, expect } = checks('a2a_sdk_create');

const withToken = tokenFetch(token);
// The SDK's task states are enum numbers.
const STATES = { completed: 3, failed: 4 };
const textOf = (part) => part?.content?.value ?? part?.text ?? '';

const listing = await (await withToken(`${endpoint}/providers`)).json();
const factory = listing.providers.find((entry) => entry.provider === 'claude_code_cli');
expect(factory?.createSupported === true, `no creatable Claude factory: ${JSON.stringify(listing)}`);

for (const binding of ['JSONRPC', 'HTTP+JSON']) {
  const client = await sdkClient(factory.endpointUrl, token, binding);
  const name = `SDK Reviewer ${binding}`;
  const result = await client.sendMessage({
    message: {
      messageId: `sdk-create-${binding}-${Date.now()}`,
      contextId: '',
      taskId: '',
      role: 1,
      parts: [{ content: { $case: 'text', value: `Please review the plan (${binding}).` } }],
      metadata: { tessikCreateName: name, tessikCwd: cwd },
      extensions: [],
      referenceTaskIds: [],
    },
  });
  const task = result?.payload?.$case === 'task' ? result.payload.value : (result.task ?? result);
  expect(typeof task?.id === 'string' && task.id !== '', `${binding}: no task in ${JSON.stringify(result)}`);
  // The gateway's own view of the task, read back, carries the create metadata.
  const stored = await (await withToken(`${endpoint}/tasks/${task.id}`, {
    headers: { 'A2A-Version': '1.0' },
  })).json();
  const metadata = stored.metadata ?? {};
  expect(metadata.tessikOperation === 'create-agent', `${binding}: ${JSON.stringify(stored)}`);
  expect(task.status?.state === STATES[expected],
    `${binding}: state ${task.status?.state}, wanted ${expected}: ${JSON.stringify(stored)}`);
  if (expected === 'failed') {
    expect(metadata.tessikErrorCode === 'TESSIK_PROVIDER_CREATE_FAILED', `${binding}: ${JSON.stringify(metadata)}`);
    console.log(`a2a_sdk_create: ${binding} create task ${task.id} failed: ${metadata.tessikErrorMessage}`);
    continue;
  }
  const reply = JSON.parse(textOf(task.artifacts?.[0]?.parts?.[0]));
  expect(reply.name === name, `${binding}: reply ${JSON.stringify(reply)}`);
  expect(reply.provider === 'claude_code_cli', `${binding}: reply ${JSON.stringify(reply)}`);
  expect(metadata.tessikCreatedAgentCardUrl === reply.agentCardUrl, `${binding}: ${JSON.stringify(metadata)}`);
  const card = await withToken(reply.agentCardUrl);
  expect(card.status === 200, `${binding}: card ${reply.agentCardUrl} answered ${card.status}`);
  const body = await card.json();
  expect(body.name === name, `${binding}: card names ${body.name}`);
  expect(body.metadata?.tessikAgentId === reply.agentId, `${binding}: card ${JSON.stringify(body.metadata)}`);
  console.log(`a2a_sdk_create: ${binding} created ${reply.agentId} (${reply.agentCardUrl})`);
}
