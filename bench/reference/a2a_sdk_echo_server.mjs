// Reference A2A server for bench/http_front_bench.sh: an in-memory echo agent built with the
// independent @a2a-js/sdk (Express transport). Every message becomes a completed task whose
// status message repeats the message's parts. Usage: node a2a_sdk_echo_server.mjs PORT
import express from "express";
import { AgentEvent, DefaultRequestHandler, InMemoryTaskStore } from "@a2a-js/sdk/server";
import {
  agentCardHandler,
  jsonRpcHandler,
  restHandler,
  UserBuilder,
} from "@a2a-js/sdk/server/express";
import { TaskState, Role } from "@a2a-js/sdk";

const port = Number(process.argv[2] ?? 41241);
const base = `http://127.0.0.1:${port}`;

const card = {
  name: "Echo",
  description: "Repeats every message as a completed task.",
  supportedInterfaces: [
    { url: `${base}/a2a/jsonrpc`, protocolBinding: "JSONRPC", protocolVersion: "1.0" },
    { url: `${base}/a2a/rest`, protocolBinding: "HTTP+JSON", protocolVersion: "1.0" },
  ],
  provider: { organization: "bench", url: base },
  version: "1.0.0",
  capabilities: { streaming: false, pushNotifications: false },
  securitySchemes: {},
  securityRequirements: [],
  defaultInputModes: ["text/plain"],
  defaultOutputModes: ["text/plain"],
  skills: [{ id: "echo", name: "Echo", description: "Echoes text", tags: ["echo"] }],
};

const echo = {
  async execute(context, bus) {
    bus.publish(AgentEvent.task({
      id: context.taskId,
      contextId: context.contextId,
      status: {
        state: TaskState.TASK_STATE_COMPLETED,
        message: {
          messageId: `${context.taskId}-reply`,
          role: Role.ROLE_AGENT,
          parts: context.userMessage.parts,
          contextId: context.contextId,
          taskId: context.taskId,
        },
      },
      history: [context.userMessage],
      artifacts: [],
    }));
    bus.finished();
  },
  async cancelTask() {},
};

const handler = new DefaultRequestHandler(card, new InMemoryTaskStore(), echo);
const app = express();
app.use("/.well-known/agent-card.json", agentCardHandler({ agentCardProvider: handler }));
const transport = { requestHandler: handler, userBuilder: UserBuilder.noAuthentication };
app.use("/a2a/jsonrpc", jsonRpcHandler(transport));
app.use("/a2a/rest", restHandler(transport));
app.listen(port, "127.0.0.1", () => console.log(`listening ${base}`));
