# Shared by the scripted tests (source it): installs npm clients into the build tree once, and
# runs the broker and the API-service stand-in in a private state and pipe directory.
# Every variable it sets starts with STACK_ or NODE_CLIENTS_.
source "$(dirname "${BASH_SOURCE[0]}")/cleanup.sh"
STACK_SCRIPTS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# install_node_package BUILD_DIR PACKAGE: installs PACKAGE into BUILD_DIR/node-clients (skipped
# when it is already there) and sets NODE_CLIENTS_DIR.
install_node_package() {
  NODE_CLIENTS_DIR="$(cd "$1" && pwd)/node-clients"
  mkdir -p "$NODE_CLIENTS_DIR"
  if [[ ! -d "$NODE_CLIENTS_DIR/node_modules/$2" ]]; then
    [[ -f "$NODE_CLIENTS_DIR/package.json" ]] ||
      echo '{"name":"tessik-node-clients","private":true,"type":"module"}' >"$NODE_CLIENTS_DIR/package.json"
    (cd "$NODE_CLIENTS_DIR" && npm install --no-audit --no-fund --silent "$2" >&2)
  fi
}

# start_stack BUILD_DIR: starts `tessik broker` and `tessik-api-service` on a free loopback
# port; sets STACK_URL (the /a2a endpoint), STACK_TOKEN and STACK_DIR. stop_stack ends both.
start_stack() {
  local tessik="$1/tessik"
  STACK_DIR=$(mktemp -d /tmp/tessik-stack-XXXXXX)
  mkdir -p "$STACK_DIR/local" "$STACK_DIR/pipes" "$STACK_DIR/tmp"
  chmod 700 "$STACK_DIR/pipes"
  # Request files of the detached delivery workers land in TMPDIR: keep them in the stack.
  export LOCALAPPDATA="$STACK_DIR/local" TESSIK_PIPE_DIR="$STACK_DIR/pipes" TMPDIR="$STACK_DIR/tmp"
  export TESSIK_SERVICE_UID="$(id -u)"
  local port
  port=$(node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})')
  "$tessik" broker 2>"$STACK_DIR/broker.err" &
  STACK_BROKER_PID=$!
  "$tessik-api-service" --listen "127.0.0.1:$port" >"$STACK_DIR/api.out" 2>"$STACK_DIR/api.err" &
  STACK_API_PID=$!
  STACK_URL="http://127.0.0.1:$port/a2a"
  local tries=0
  until curl -fs -o /dev/null "$STACK_URL/agent-card"; do
    tries=$((tries + 1))
    if ((tries > 200)); then
      echo "stack did not start:" >&2
      cat "$STACK_DIR/broker.err" "$STACK_DIR/api.err" >&2
      return 1
    fi
    sleep 0.05
  done
  STACK_TOKEN=$(cat "$STACK_DIR/local/Tessik/a2a/local-token")
}

# start_client_stack BUILD_DIR PACKAGE: installs PACKAGE, points TESSIK_EXE at the built
# executable (the detached delivery workers run it), starts the stack and stops it on exit.
# A script with more to clean up sets its own trap afterwards and calls stop_stack from it.
start_client_stack() {
  install_node_package "$1" "$2"
  export TESSIK_EXE="$(cd "$1" && pwd)/tessik"
  trap stop_stack EXIT
  start_stack "$1"
}

# run_node_client SCRIPT ARGS...: runs tests/scripts/SCRIPT with ARGS from the directory the
# npm packages were installed in, so that its imports resolve; the shared modules in lib/ go along.
run_node_client() {
  local script=$1
  shift
  cp "$STACK_SCRIPTS_DIR/$script" "$STACK_SCRIPTS_DIR"/lib/*.mjs "$NODE_CLIENTS_DIR/"
  node "$NODE_CLIENTS_DIR/$script" "$@"
}

# add_stack_client NAME AGENT SCOPES: registers client NAME, speaking for AGENT and holding
# SCOPES (comma-separated), as the stack's only registry client; sets STACK_CLIENT_TOKEN to its
# fresh token.
add_stack_client() {
  STACK_CLIENT_TOKEN="$1-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
  local digest
  digest=$(printf '%s' "$STACK_CLIENT_TOKEN" | sha256sum | cut -d' ' -f1)
  printf '%s\t%s\t%s\t\t%s\n' "$digest" "$1" "$2" "$3" >"$STACK_DIR/local/Tessik/a2a/clients.tsv"
}

stop_stack() {
  [[ -n "${STACK_API_PID:-}" ]] && kill "$STACK_API_PID" 2>/dev/null && wait "$STACK_API_PID" 2>/dev/null
  [[ -n "${STACK_BROKER_PID:-}" ]] && kill "$STACK_BROKER_PID" 2>/dev/null && wait "$STACK_BROKER_PID" 2>/dev/null
  [[ -n "${STACK_DIR:-}" ]] && remove_when_idle "$STACK_DIR"
  STACK_API_PID= STACK_BROKER_PID= STACK_DIR=
  return 0
}
