// An independent A2A client talks to one agent's own endpoint while three sendable agents are
// registered, once per binding, and names no target: the gateway must take the endpoint's
// agent as the target. Usage: node a2a_sdk_agent_endpoint.mjs ENDPOINT_URL TOKEN AGENT_NAME
import { sdkClient, tokenFetch } from './a2a_client.mjs';
import { checks } from './checks.mjs';

const [endpoint, token, agentName] = process.argv.slice(2);
const { fail, expect } = checks('a2a_sdk_agent_endpoint');

const withToken = tokenFetch(token);

const listing = await (await withToken(`${endpoint}/agents`)).json();
const sendable = listing.agents.filter((agent) => agent.sendable);
expect(sendable.length >= 3, `only ${sendable.length} sendable agents: ${JSON.stringify(listing)}`);
const agent = listing.agents.find((entry) => entry.name === agentName);
expect(agent, `${agentName} is not listed`);

const WORKING = 2;
for (const binding of ['JSONRPC', 'HTTP+JSON']) {
  const client = await sdkClient(agent.endpointUrl, token, binding);
  const result = await client.sendMessage({
    message: {
      messageId: `sdk-${binding}-${Date.now()}`,
      contextId: '',
      taskId: '',
      role: 1, // ROLE_USER
      parts: [{ content: { $case: 'text', value: `scoped send over ${binding}` } }],
      metadata: undefined,
      extensions: [],
      referenceTaskIds: [],
    },
  });
  const task = result?.payload?.$case === 'task' ? result.payload.value : (result.task ?? result);
  expect(typeof task?.id === 'string' && task.id !== '', `${binding}: ${JSON.stringify(result)}`);
  const state = task.status?.state;
  expect(state === WORKING || state === 'TASK_STATE_WORKING', `${binding}: task in state ${state}`);
  console.log(`a2a_sdk_agent_endpoint: ${binding} task ${task.id} working`);
}
