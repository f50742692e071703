#!/usr/bin/env bash
# The official @modelcontextprotocol/sdk client drives `tessik mcp-server` over stdio against a
# running broker: tools, readiness marker, a hostile reply into the mailbox, and the A2A task
# it answers completed. Usage: mcp_sdk_tools.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/stack.sh"

install_node_package "$1" @modelcontextprotocol/sdk
trap stop_stack EXIT
tessik="$(cd "$1" && pwd)/tessik"
# The detached delivery worker is the built executable.
export TESSIK_EXE="$tessik"
start_stack "$1"
session="claude_code_cli:session:6f1c2d3e-4b5a-4978-8a1b-0c9d8e7f6a5b"
"$tessik" agents add --provider claude_code_cli --session "$session" --name "Claude Peer" >/dev/null
cp "$here/mcp_sdk_tools.mjs" "$NODE_CLIENTS_DIR/mcp_sdk_tools.mjs"
node "$NODE_CLIENTS_DIR/mcp_sdk_tools.mjs" "$tessik" "$STACK_URL" "$STACK_TOKEN" "$session" \
  "$STACK_DIR/ready.json" "$STACK_DIR/local/Tessik/mailbox/messages"
