#!/usr/bin/env bash
# Tessik registers three agents served by the independent @a2a-js/sdk server from their Agent
# Cards and sends each a message through its send pipeline and delivery worker: JSON-RPC 1.0,
# HTTP+JSON 1.0, and a 0.3-only card used as JSON-RPC 0.3. Each agent must receive its own
# message, and the task log must record the accepted outbound sends.
# Usage: a2a_sdk_external_agent.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/lib/stack.sh"

install_node_package "$1" @a2a-js/sdk
install_node_package "$1" express
tessik="$(cd "$1" && pwd)/tessik"
work=$(mktemp -d /tmp/tessik-external-XXXXXX)
agent_pid=
cleanup() {
  if [[ -n "$agent_pid" ]]; then kill "$agent_pid" 2>/dev/null; wait "$agent_pid" 2>/dev/null || true; fi
  rm -rf "$work"
  return 0
}
trap cleanup EXIT
mkdir -p "$work/local" "$work/tmp"
export LOCALAPPDATA="$work/local" TMPDIR="$work/tmp" TESSIK_EXE="$tessik"

run_node_client a2a_sdk_external_agent.mjs "$work/received.jsonl" >"$work/port" 2>"$work/agent.err" &
agent_pid=$!
for _ in $(seq 200); do [[ -s "$work/port" ]] && break; sleep 0.05; done
port=$(head -1 "$work/port")
[[ -n "$port" ]] || { cat "$work/agent.err" >&2; exit 1; }

fail() { echo "a2a_sdk_external_agent: $*" >&2; exit 1; }
for agent in rpc1 rest1 legacy; do
  "$tessik" agents add-a2a --card-url "http://127.0.0.1:$port/$agent/.well-known/agent-card.json" >/dev/null
  "$tessik" send --to "$agent" --from tester "hello $agent" >"$work/send-$agent"
  grep -q '^status: accepted_by_tessik$' "$work/send-$agent" || fail "send to $agent: $(cat "$work/send-$agent")"
done
# The detached workers deliver in the background.
for _ in $(seq 400); do
  [[ -f "$work/received.jsonl" && $(wc -l <"$work/received.jsonl") -ge 3 ]] && break
  sleep 0.05
done
expect() {  # AGENT VERSION
  local line
  line=$(grep "\"agent\":\"$1\"" "$work/received.jsonl") || fail "$1 received nothing"
  [[ $(grep -c . <<<"$line") == 1 ]] || fail "$1 received more than one message"
  grep -q "\"version\":\"$2\"" <<<"$line" || fail "$1 was not spoken to in $2: $line"
  grep -q "hello $1" <<<"$line" || fail "$1 received another text: $line"
}
expect rpc1 1.0
expect rest1 1.0
expect legacy 0.3
grep -q '"a2a:protocol-binding=JSONRPC"' <("$tessik" agents --json) ||
  fail "no JSON-RPC binding recorded"
accepted=$(grep -o 'external_a2a_http_response_accepted' "$work/local/Tessik/a2a/tasks.jsonl" | wc -l)
[[ "$accepted" == 3 ]] || fail "task log holds $accepted accepted outbound sends"
grep -q 'a2a_http_json_message_send' "$work/local/Tessik/logs/"*deliver* || fail "no HTTP+JSON send logged"
echo "a2a_sdk_external_agent: three agents received their messages"
