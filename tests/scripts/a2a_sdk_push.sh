#!/usr/bin/env bash
# The @a2a-js/sdk client manages push configurations over both bindings through the API-service
# stand-in, and a plain Node http server receives the callbacks. Usage: a2a_sdk_push.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/lib/stack.sh"

start_client_stack "$1" @a2a-js/sdk
# The local token may not manage push configurations; a registry client with task.push may.
add_stack_client sdk-push-client sdk-agent agent.read,agent.send,task.read,task.cancel,task.push
for transport in HTTP+JSON JSONRPC; do
  run_node_client a2a_sdk_push.mjs "$STACK_URL" "$STACK_CLIENT_TOKEN" "$transport"
done
# Secrets never reach the state directory.
if grep -rq -e inline-token -e inline-credentials "$STACK_DIR/local/Tessik"; then
  echo "a2a_sdk_push: a secret was written to the state directory" >&2
  exit 1
fi
