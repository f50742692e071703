#!/usr/bin/env bash
# The @a2a-js/sdk client sends a message over HTTP+JSON through the API-service stand-in and
# gets a working task addressed to the built-in mailbox. Usage: a2a_sdk_send.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/lib/stack.sh"

start_client_stack "$1" @a2a-js/sdk
run_node_client a2a_sdk_send.mjs "$STACK_URL" "$STACK_TOKEN"
grep -q '"TASK_STATE_WORKING"' "$STACK_DIR/local/Tessik/a2a/tasks.jsonl"
