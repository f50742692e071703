#!/usr/bin/env bash
# The @a2a-js/sdk client over its JSON-RPC transport sends, reads, lists and cancels a task
# through the API-service stand-in. Usage: a2a_sdk_json_rpc.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/lib/stack.sh"

start_client_stack "$1" @a2a-js/sdk
# The local token may not cancel; a registry client with the task scopes may.
add_stack_client sdk-client sdk-agent agent.read,agent.send,task.read,task.cancel
run_node_client a2a_sdk_json_rpc.mjs "$STACK_URL" "$STACK_CLIENT_TOKEN"
