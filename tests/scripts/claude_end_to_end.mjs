// The A2A side of the Claude end-to-end run: an independent client whose token speaks for
// Alpha sends to Beta over HTTP+JSON and waits until GetTask shows the task completed with
// Beta's reply.
// Usage: node claude_end_to_end.mjs ENDPOINT_URL TOKEN (FAKE_CLAUDE_REPLY_BODY: the reply)
import { sdkClient } from './a2a_client.mjs';
import { checks } from './checks.mjs';

const [endpoint, token] = process.argv.slice(2);
const expectedReply = process.env.FAKE_CLAUDE_REPLY_BODY;
const { fail } = checks('claude_end_to_end');

const client = await sdkClient(endpoint, token);

const result = await client.sendMessage({
  message: {
    messageId: `claude-e2e-${Date.now()}`,
    role: 1, // ROLE_USER
    parts: [{ content: { $case: 'text', value: 'What is the answer?' } }],
  },
  metadata: { tessikTargetAgent: 'Beta' },
});
const task = result?.payload?.$case === 'task' ? result.payload.value : result?.task ?? result;
if (!task?.id) fail(`no task in ${JSON.stringify(result)}`);

// TASK_STATE_COMPLETED is 3 in the SDK's enum; a failed (4) or canceled (5) task ends the wait.
const COMPLETED = 3;
let read;
for (let attempt = 0; attempt < 600; attempt += 1) {
  read = await client.getTask({ tenant: '', id: task.id });
  const state = read.status?.state;
  if (state === COMPLETED || state === 'TASK_STATE_COMPLETED') break;
  if ([4, 5, 'TASK_STATE_FAILED', 'TASK_STATE_CANCELED'].includes(state)) break;
  await new Promise((resolve) => setTimeout(resolve, 100));
}
const state = read.status?.state;
if (state !== COMPLETED && state !== 'TASK_STATE_COMPLETED') {
  fail(`task ${task.id} ended in state ${state}: ${JSON.stringify(read)}`);
}
const metadata = read.metadata ?? {};
if (metadata.tessikReplyBody !== expectedReply) {
  fail(`task reply ${JSON.stringify(metadata.tessikReplyBody)} is not ${JSON.stringify(expectedReply)}`);
}
if (metadata.tessikReplySenderAgent !== 'Beta') {
  fail(`task reply came from ${metadata.tessikReplySenderAgent}`);
}
console.log(`claude_end_to_end: task ${task.id} completed with Beta's reply`);
