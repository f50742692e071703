#!/usr/bin/env bash
# A real creation end to end: the @a2a-js/sdk client sends a message to the Claude Code CLI
# provider factory over both bindings; the broker creates the session through the fake `claude`
# (readiness gate after the warm-up turn and the MCP server's marker), enrols it, renames and
# verifies it, and each create task completes with the new agent's card URL, which answers.
# Usage: a2a_sdk_create.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/lib/stack.sh"

install_node_package "$1" @a2a-js/sdk
build="$(cd "$1" && pwd)"
export TESSIK_EXE="$build/tessik"
# The fake is the user's claude: the per-user install location is searched first.
export HOME="$(mktemp -d /tmp/tessik-create-home-XXXXXX)"
trap 'stop_stack; rm -rf "$HOME"' EXIT
mkdir -p "$HOME/.local/bin" "$HOME/project"
cp "$build/tests/fake_claude" "$HOME/.local/bin/claude"
export FAKE_CLAUDE_LOG="$HOME/fake-claude.jsonl"
# The fake pauses before each readiness step and logs "input_before_<step>" if the real line
# was already written then: the gate must hold it back until both steps are done.
export FAKE_CLAUDE_WARMUP_DELAY_MS=300
# The new session answers its first message to the mailbox (the A2A client is no agent).
export FAKE_CLAUDE_REPLY_TO="Tessik Mailbox"
start_stack "$1"
run_node_client a2a_sdk_create.mjs "$STACK_URL" "$STACK_TOKEN" completed "$HOME/project"

fail() {
  echo "a2a_sdk_create: $1" >&2
  exit 1
}
log="$STACK_DIR/local/Tessik/logs/create-lifecycle.jsonl"
for binding in JSONRPC HTTP+JSON; do
  grep -F "\"SDK Reviewer $binding\"" "$log" | grep '"event_type":"create_rename_verified"' >/dev/null ||
    fail "the $binding session's name was not verified"
  grep -F "SDK Reviewer $binding" "$STACK_DIR/local/Tessik/registry/agents.tsv" >/dev/null ||
    fail "the $binding session is not in the registry"
done
grep -q '"status":"completed"' "$log" || fail "no creation ran to its end"
# Each new session answered its first message through the MCP send tool, into the mailbox.
replies=$(grep -lF "Reply from fake claude" "$STACK_DIR/local/Tessik/mailbox/messages/"*.json | wc -l)
((replies == 2)) || fail "$replies of 2 first answers reached the mailbox"
node -e '
  const lines = require("fs").readFileSync(process.argv[1], "utf8").trim().split("\n").map(JSON.parse);
  for (const pid of new Set(lines.filter((l) => l.event === "create").map((l) => l.pid))) {
    const order = lines.filter((l) => l.pid === pid).map((l) => l.event);
    const early = order.filter((event) => event.startsWith("input_before_"));
    if (!order.includes("real_line_read") || early.length > 0) {
      console.error(`fake claude ${pid} got the real line before the gate opened: ${order}`);
      process.exit(1);
    }
    if (!order.includes("tool_called")) {
      console.error(`fake claude ${pid} never called the send tool: ${order}`);
      process.exit(1);
    }
  }' "$FAKE_CLAUDE_LOG"
