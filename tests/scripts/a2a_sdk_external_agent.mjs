// Three independent A2A echo agents on one loopback port, served by the @a2a-js/sdk server:
// /rpc1 speaks JSON-RPC 1.0, /rest1 HTTP+JSON 1.0, /legacy only JSON-RPC 0.3 (its card is the
// 0.3 form). Each agent appends what it received (agent, A2A-Version header, text, Tessik
// message id) as one JSON line to LOG_FILE and answers with a message. Prints the port once listening.
// Usage: node a2a_sdk_external_agent.mjs LOG_FILE
import express from 'express';
import { appendFileSync } from 'node:fs';
import { DefaultRequestHandler, InMemoryTaskStore, AgentEvent } from '@a2a-js/sdk/server';
import { agentCardHandler, jsonRpcHandler, restHandler, UserBuilder } from '@a2a-js/sdk/server/express';

const [logFile] = process.argv.slice(2);
const app = express();
// The A2A-Version of the request being served, by agent path.
const versions = {};
app.use((req, res, next) => {
  versions[req.path.split('/')[1]] = req.get('A2A-Version') ?? '';
  next();
});
const server = app.listen(0, '127.0.0.1', () => console.log(server.address().port));
const base = () => `http://127.0.0.1:${server.address().port}`;

const textOf = (message) =>
  (message.parts ?? []).map((part) => part.content?.$case === 'text' ? part.content.value : part.text ?? '').join('');

const executor = (agent) => ({
  async execute(context, bus) {
    const message = context.userMessage;
    appendFileSync(logFile, JSON.stringify({
      agent,
      version: versions[agent],
      text: textOf(message),
      messageId: message.messageId,
      tessikMessageId: context.request?.metadata?.tessikMessageId ?? message.metadata?.tessikMessageId ?? '',
    }) + '\n');
    bus.publish(AgentEvent.message({
      messageId: `echo-${message.messageId}`, contextId: context.contextId, taskId: '', role: 2,
      parts: [{ content: { $case: 'text', value: `echo: ${textOf(message)}` }, metadata: undefined }],
      metadata: undefined, extensions: [], referenceTaskIds: [],
    }));
    bus.finished();
  },
  async cancelTask() {},
});

const card = (name, path, binding, version) => ({
  name, description: `${name} echo agent`, version: '1.0.0',
  supportedInterfaces: [{ url: `${base()}${path}`, protocolBinding: binding, tenant: '', protocolVersion: version }],
  provider: undefined, capabilities: { streaming: false, pushNotifications: false, extensions: [], extendedAgentCard: false },
  securitySchemes: {}, securityRequirements: [], defaultInputModes: ['text/plain'], defaultOutputModes: ['text/plain'],
  skills: [], signatures: [],
});

const mount = (path, binding, version, legacy) => {
  const handler = {};
  const provider = { getAgentCard: async () => handler.inner.getAgentCard() };
  app.use(path, (req, res, next) => {
    handler.inner ??= new DefaultRequestHandler(card(path.slice(1), path, binding, version),
      new InMemoryTaskStore(), executor(path.slice(1)));
    next();
  });
  const options = { userBuilder: UserBuilder.noAuthentication, ...(legacy ? { legacyCompat: { enabled: true } } : {}) };
  app.use(`${path}/.well-known/agent-card.json`, (req, res, next) =>
    agentCardHandler({ agentCardProvider: provider, ...(legacy ? { legacyCompat: { enabled: true } } : {}) })(req, res, next));
  app.use(path, (req, res, next) => {
    const make = binding === 'JSONRPC' ? jsonRpcHandler : restHandler;
    return make({ requestHandler: handler.inner, ...options })(req, res, next);
  });
};

mount('/rpc1', 'JSONRPC', '1.0', false);
mount('/rest1', 'HTTP+JSON', '1.0', false);
mount('/legacy', 'JSONRPC', '0.3', true);
