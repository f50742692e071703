#!/usr/bin/env bash
# With three sendable agents registered, the @a2a-js/sdk client sends to the mailbox's own
# endpoint over both bindings without naming a target, and both messages land in the mailbox.
# Usage: a2a_sdk_agent_endpoint.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/lib/stack.sh"

start_client_stack "$1" @a2a-js/sdk
"$TESSIK_EXE" agents add --provider claude_code_cli --session scoped-s1 --name "First Helper" >/dev/null
"$TESSIK_EXE" agents add --provider claude_code_cli --session scoped-s2 --name "Second Helper" >/dev/null
run_node_client a2a_sdk_agent_endpoint.mjs "$STACK_URL" "$STACK_TOKEN" "Tessik Mailbox"

# The deliveries run in detached workers; give them a moment to reach the spool.
spool="$STACK_DIR/local/Tessik/mailbox/messages"
for binding in JSONRPC HTTP+JSON; do
  wait_for_line "$spool" "scoped send over $binding"
done
