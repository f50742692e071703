#!/usr/bin/env bash
# The @a2a-js/sdk client resolves the gateway card through the API-service stand-in and
# picks an interface from it. Usage: a2a_sdk_card.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/lib/stack.sh"

start_client_stack "$1" @a2a-js/sdk
run_node_client a2a_sdk_card.mjs "$STACK_URL"
