#!/usr/bin/env bash
# Two state directories on this machine as two nodes joined by a real OpenSSH server on
# loopback: messages to agents of the other node cross over the relay session and over A2A on
# SSH into that node's mailbox, a message the other node hands back upstream enters this node's
# pipeline (and is never bounced back), a disabled node is never contacted, and agents of the
# other node are renamed over SSH by that node's own `tessik rename` (its Claude Code CLI is
# the fake one).
# Usage: remote_ssh_nodes.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/ssh_nodes.sh"

tessik="$(cd "$1" && pwd)/tessik"
export TESSIK_EXE=$tessik
trap stop_ssh_nodes EXIT
start_ssh_nodes "$1"

local_state=$NODES_DIR/local/Tessik
remote_state=$NODES_DIR/remote/Tessik
mkdir -p "$local_state/registry"
{
  node_row n-legacy legacy-ssh true
  node_row n-a2a a2a-ssh true
  node_row n-off ssh false
} >"$local_state/registry/nodes.tsv"

add() { "$tessik" agents add "$@" >/dev/null; }
add --provider claude_code_cli --session 11111111-2222-3333-4444-555555555555 --name alice
add --provider remote --session mailbox --node n-legacy --name far-mailbox
add --provider remote --session mailbox --node n-a2a --name far-mailbox-a2a
add --provider remote --session nobody-there --node n-legacy --name far-unknown
add --provider remote --session mailbox --node n-off --name far-off
add --provider remote --session far-claude --node n-legacy --name far-claude-here

# The other node's own agent: a Claude Code CLI session of its user, renameable there.
build=$(cd "$1" && pwd)
remote_home=$NODES_DIR/remote-home
uuid=22222222-3333-4444-5555-666666666666
mkdir -p "$remote_home/.local/bin" "$remote_home/project" "$remote_home/.claude/projects/p"
cp "$build/tests/fake_claude" "$remote_home/.local/bin/claude"
printf '{"type":"user","sessionId":"%s","cwd":"%s"}\n{"type":"custom-title","customTitle":"Old","sessionId":"%s"}\n' \
  "$uuid" "$remote_home/project" "$uuid" >"$remote_home/.claude/projects/p/$uuid.jsonl"
on_remote_node "$tessik" agents add --provider claude_code_cli --session "claude_code_cli:session:$uuid" --name far-claude >/dev/null

send() { "$tessik" send --to "$1" --from alice "$2" | sed -n 's/^message_id: //p'; }
delivery_log=$local_state/logs/delivery.jsonl

# 1. The legacy relay session delivers into the other node's mailbox.
id=$(send far-mailbox "legacy relay marker 7f3a")
wait_for_line "$delivery_log" "\"message_id\":\"$id\".*provider_delivery_accepted"
grep "\"message_id\":\"$id\".*provider_delivery_accepted" "$delivery_log" |
  grep 'method=ssh_relay_session_stdio node_id=n-legacy configured_transport=legacy-ssh transport_plan=legacy_ssh' >/dev/null
wait_for_line "$remote_state/mailbox/messages" 'legacy relay marker 7f3a'

# 2. A2A over SSH: the other node's gateway takes the JSON-RPC request and records a task.
id=$(send far-mailbox-a2a "a2a over ssh marker 91c2")
wait_for_line "$delivery_log" "\"message_id\":\"$id\".*provider_delivery_accepted"
grep "\"message_id\":\"$id\".*provider_delivery_accepted" "$delivery_log" |
  grep 'method=a2a_jsonrpc_over_ssh_stdio' >/dev/null
grep -q 'a2a over ssh marker 91c2' "$remote_state/a2a/tasks.jsonl"
wait_for_line "$remote_state/mailbox/messages" 'a2a over ssh marker 91c2'
#    This node keeps its own task of the outbound send, named by the SSH endpoint.
grep 'Tessik sent an outbound A2A message to ssh://127.0.0.1' "$local_state/a2a/tasks.jsonl" |
  grep 'a2a over ssh marker 91c2' | grep 'external_a2a_http_response_accepted' >/dev/null

# 3. The other node does not know the target and hands the message back upstream; it enters
#    this node's pipeline under the node's upstream context, which never sends it back there.
id=$(send far-unknown "upstream marker 5d0e")
wait_for_line "$delivery_log" "\"message_id\":\"$id\".*provider_delivery_accepted"
line=$(grep "\"message_id\":\"$id\".*provider_delivery_accepted" "$delivery_log")
upstream_id=$(sed -n 's/.*upstream=accepted:\([0-9a-f]*\).*/\1/p' <<<"$line")
[[ -n "$upstream_id" ]] || { echo "no upstream message taken: $line" >&2; exit 1; }
grep -q "\"event_type\":\"message_accepted_by_tessik\",.*\"message_id\":\"$upstream_id\"" \
  "$local_state/logs/events.jsonl"
wait_for_line "$delivery_log" "\"message_id\":\"$upstream_id\".*provider_delivery_failed"
grep "\"message_id\":\"$upstream_id\".*provider_delivery_failed" "$delivery_log" |
  grep 'came upstream from remote node n-legacy and is not sent back to it' >/dev/null

# 4. A disabled node is never contacted: no attempt is recorded for it.
id=$(send far-off "never sent")
wait_for_line "$delivery_log" "\"message_id\":\"$id\".*provider_delivery_failed"
grep "\"message_id\":\"$id\".*provider_delivery_failed" "$delivery_log" |
  grep 'remote node is disabled: n-off' >/dev/null
if grep -q '"remote_transport_attempt".*"node_id":"n-off"' "$delivery_log"; then
  echo "the disabled node was contacted" >&2
  exit 1
fi
# 5. A rename crosses over SSH to the other node's own `tessik rename`, which answers for its
#    agents only: it has no "nobody-there", and its refusal comes back as the exit code.
if "$tessik" rename --agent far-unknown --name "New Name" 2>"$NODES_DIR/rename.err"; then
  echo "a rename of an agent the other node lacks succeeded" >&2
  exit 1
fi
grep -q 'remote rename command failed with exit code 1' "$NODES_DIR/rename.err"
#    One it has is renamed there (its assistant confirms the name), and then here.
"$tessik" rename --agent far-claude-here --name "Renamed Far" >"$NODES_DIR/rename.out" 2>&1 ||
  { echo "remote rename failed: $(cat "$NODES_DIR/rename.out")" >&2; exit 1; }
grep -q '"customTitle":"Renamed Far"' "$remote_home/.claude/projects/p/$uuid.jsonl"
grep -q 'Renamed Far' "$NODES_DIR/remote/Tessik/registry/agents.tsv"
grep -q 'Renamed Far' "$local_state/registry/agents.tsv"
echo "remote_ssh_nodes: ok"
