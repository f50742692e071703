#!/usr/bin/env bash
# Two Claude Code sessions talk through Tessik end to end: the @a2a-js/sdk client sends a
# message from session Alpha to session Beta; the delivery worker resumes Beta in the fake
# claude, whose turn calls the real `tessik mcp-server` send tool; the reply reaches Alpha's own
# session, and the client reads the answer from its task with GetTask.
# Usage: claude_end_to_end.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
source "$here/lib/stack.sh"

install_node_package "$build" @a2a-js/sdk
sessions=$(mktemp -d /tmp/tessik-claude-XXXXXX)
trap 'stop_stack; rm -rf "$sessions"' EXIT

# The sessions, as Claude Code keeps them, in a private HOME that the broker and its delivery
# workers inherit.
export HOME="$sessions/home"
mkdir -p "$HOME/.local/bin" "$sessions/alpha" "$sessions/beta"
ln -s "$build/tests/fake_claude" "$HOME/.local/bin/claude"
alpha=3b241101-e2bb-4255-8caf-4136c566a962
beta=9c5b94b1-35ad-49bb-b118-8e8fc24abf80
write_session() {  # UUID CWD TITLE
  mkdir -p "$HOME/.claude/projects/-sessions"
  printf '{"type":"user","sessionId":"%s","cwd":"%s","message":{"role":"user","content":"hi"}}\n{"type":"custom-title","customTitle":"%s","sessionId":"%s"}\n' \
    "$1" "$2" "$3" "$1" >"$HOME/.claude/projects/-sessions/$1.jsonl"
}
write_session "$alpha" "$sessions/alpha" Alpha
write_session "$beta" "$sessions/beta" Beta

# Beta answers through the send tool; Alpha takes the reply without answering it again.
export FAKE_CLAUDE_SESSION_SCENARIOS="$alpha=tool_use_only"
export FAKE_CLAUDE_REPLY_BODY="Beta's answer: \"42\", with a newline
and a backslash \\ in it."
export FAKE_CLAUDE_LOG="$sessions/fake-claude.jsonl"

export TESSIK_EXE="$build/tessik"
start_stack "$build"
"$build/tessik" agents add --provider claude_code_cli --session "claude_code_cli:session:$alpha" --name Alpha >/dev/null
"$build/tessik" agents add --provider claude_code_cli --session "claude_code_cli:session:$beta" --name Beta >/dev/null

# The A2A client speaks for Alpha: its registry entry binds its token to that sender.
add_stack_client alpha-client Alpha agent.read,agent.send,task.read

if ! run_node_client claude_end_to_end.mjs "$STACK_URL" "$STACK_CLIENT_TOKEN"; then
  echo "--- delivery log" >&2; cat "$STACK_DIR/local/Tessik/logs/delivery.jsonl" >&2 || true
  echo "--- fake claude" >&2; cat "$FAKE_CLAUDE_LOG" >&2 || true
  exit 1
fi

# The reply reached Alpha's own session, in a turn that named Beta as its sender.
node -e '
const fs = require("fs");
const [path, body] = process.argv.slice(1);
const prompts = fs.readFileSync(path, "utf8").trim().split("\n").map((l) => JSON.parse(l))
  .filter((r) => r.type === "user" && typeof r.message?.content === "string")
  .map((r) => r.message.content);
const reply = prompts.find((p) => p.startsWith("Message from Beta\n\n" + body + "\n\n"));
if (!reply) { console.error("no reply in the transcript of Alpha:", prompts); process.exit(1); }
' "$HOME/.claude/projects/-sessions/$alpha.jsonl" "$FAKE_CLAUDE_REPLY_BODY"
grep -q '"name":"mcp__tessik__tessik_send_message"' "$HOME/.claude/projects/-sessions/$beta.jsonl"
echo "claude_end_to_end: Alpha -> Beta -> Alpha completed"
