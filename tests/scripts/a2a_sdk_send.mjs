// An independent A2A client sends a text message over HTTP+JSON through the stand-in and must
// get a Task back. Usage: node a2a_sdk_send.mjs ENDPOINT_URL TOKEN
import { sdkClient } from './a2a_client.mjs';
import { checks } from './checks.mjs';

const [endpoint, token] = process.argv.slice(2);
const { fail } = checks('a2a_sdk_send');

const client = await sdkClient(endpoint, token);

const result = await client.sendMessage({
  message: {
    messageId: `sdk-${Date.now()}`,
    role: 1, // ROLE_USER
    parts: [{ content: { $case: 'text', value: 'hello from the sdk client' } }],
  },
});
const task = result?.payload?.$case === 'task' ? result.payload.value : result;
if (!task || typeof task.id !== 'string' || task.id === '') fail(`no task in ${JSON.stringify(result)}`);
const state = task.status?.state;
// TASK_STATE_WORKING is 2 in the SDK's enum; accept its name as well.
if (state !== 2 && state !== 'TASK_STATE_WORKING') fail(`task ${task.id} is in state ${state}`);
console.log(`a2a_sdk_send: task ${task.id} in state ${state}`);
