#!/usr/bin/env bash
# The @a2a-js/sdk client sends a message over HTTP+JSON through the API-service stand-in and
# gets a working task addressed to the built-in mailbox. Usage: a2a_sdk_send.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/stack.sh"

install_node_package "$1" @a2a-js/sdk
trap stop_stack EXIT
# The detached delivery worker is the built executable.
export TESSIK_EXE="$(cd "$1" && pwd)/tessik"
start_stack "$1"
cp "$here/a2a_sdk_send.mjs" "$here/lib/a2a_rest_client.mjs" "$NODE_CLIENTS_DIR/"
node "$NODE_CLIENTS_DIR/a2a_sdk_send.mjs" "$STACK_URL" "$STACK_TOKEN"
grep -q '"TASK_STATE_WORKING"' "$STACK_DIR/local/Tessik/a2a/tasks.jsonl"
