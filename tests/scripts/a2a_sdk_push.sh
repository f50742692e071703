#!/usr/bin/env bash
# The @a2a-js/sdk client manages push configurations over both bindings through the API-service
# stand-in, and a plain Node http server receives the callbacks. Usage: a2a_sdk_push.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/stack.sh"

install_node_package "$1" @a2a-js/sdk
trap stop_stack EXIT
export TESSIK_EXE="$(cd "$1" && pwd)/tessik"
start_stack "$1"
# The local token may not manage push configurations; a registry client with task.push may.
token="sdk-push-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
digest=$(printf '%s' "$token" | sha256sum | cut -d' ' -f1)
printf '%s\tsdk-push-client\tsdk-agent\t\tagent.read,agent.send,task.read,task.cancel,task.push\n' \
  "$digest" >"$STACK_DIR/local/Tessik/a2a/clients.tsv"
cp "$here/a2a_sdk_push.mjs" "$NODE_CLIENTS_DIR/a2a_sdk_push.mjs"
for transport in HTTP+JSON JSONRPC; do
  node "$NODE_CLIENTS_DIR/a2a_sdk_push.mjs" "$STACK_URL" "$token" "$transport"
done
# Secrets never reach the state directory.
if grep -rq -e inline-token -e inline-credentials "$STACK_DIR/local/Tessik"; then
  echo "a2a_sdk_push: a secret was written to the state directory" >&2
  exit 1
fi
