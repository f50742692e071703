#!/usr/bin/env bash
# The official @modelcontextprotocol/sdk client drives `tessik mcp-server` over stdio against a
# running broker: tools, readiness marker, a hostile reply into the mailbox, and the A2A task
# it answers completed. Usage: mcp_sdk_tools.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/lib/stack.sh"

start_client_stack "$1" @modelcontextprotocol/sdk
session="claude_code_cli:session:6f1c2d3e-4b5a-4978-8a1b-0c9d8e7f6a5b"
"$TESSIK_EXE" agents add --provider claude_code_cli --session "$session" --name "Claude Peer" >/dev/null
run_node_client mcp_sdk_tools.mjs "$TESSIK_EXE" "$STACK_URL" "$STACK_TOKEN" "$session" \
  "$STACK_DIR/ready.json" "$STACK_DIR/local/Tessik/mailbox/messages"
