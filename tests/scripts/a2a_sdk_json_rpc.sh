#!/usr/bin/env bash
# The @a2a-js/sdk client over its JSON-RPC transport sends, reads, lists and cancels a task
# through the API-service stand-in. Usage: a2a_sdk_json_rpc.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/stack.sh"

install_node_package "$1" @a2a-js/sdk
trap stop_stack EXIT
start_stack "$1"
# The local token may not cancel; a registry client with the task scopes may.
token="sdk-json-rpc-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
digest=$(printf '%s' "$token" | sha256sum | cut -d' ' -f1)
printf '%s\tsdk-client\tsdk-agent\t\tagent.read,agent.send,task.read,task.cancel\n' "$digest" \
  >"$STACK_DIR/local/Tessik/a2a/clients.tsv"
cp "$here/a2a_sdk_json_rpc.mjs" "$NODE_CLIENTS_DIR/a2a_sdk_json_rpc.mjs"
node "$NODE_CLIENTS_DIR/a2a_sdk_json_rpc.mjs" "$STACK_URL" "$token"
