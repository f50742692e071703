#!/usr/bin/env bash
# The @a2a-js/sdk client resolves the gateway card through the API-service stand-in and
# picks an interface from it. Usage: a2a_sdk_card.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/stack.sh"

install_node_package "$1" @a2a-js/sdk
trap stop_stack EXIT
start_stack "$1"
cp "$here/a2a_sdk_card.mjs" "$NODE_CLIENTS_DIR/a2a_sdk_card.mjs"
node "$NODE_CLIENTS_DIR/a2a_sdk_card.mjs" "$STACK_URL"
