#!/usr/bin/env bash
# The @a2a-js/sdk client sends a message to the Claude Code CLI provider factory over both
# bindings through the API-service stand-in. No `claude` is reachable here, so each create task
# must come back failed with the provider's reason, answered with status 200.
# Usage: a2a_sdk_create_unavailable.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/lib/stack.sh"

install_node_package "$1" @a2a-js/sdk
export TESSIK_EXE="$(cd "$1" && pwd)/tessik"
# Only the system's own tools: a `claude` installed for the user must not be found.
export HOME="$(mktemp -d /tmp/tessik-create-home-XXXXXX)"
export PATH="/usr/local/bin:/usr/bin:/bin"
unset NPM_CONFIG_PREFIX npm_config_prefix
trap 'stop_stack; rm -rf "$HOME"' EXIT
if command -v claude >/dev/null; then
  echo "a2a_sdk_create: skipped, a claude executable is on the system PATH" >&2
  exit 0
fi
start_stack "$1"
run_node_client a2a_sdk_create.mjs "$STACK_URL" "$STACK_TOKEN" failed "$HOME"
grep -q '"event_type":"create_failed"' "$STACK_DIR/local/Tessik/logs/create-lifecycle.jsonl"
