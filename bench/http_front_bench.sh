#!/usr/bin/env bash
# Card GET and GetTask through the API-service stand-in (with the broker behind it) against a
# reference A2A server written with @a2a-js/sdk (Node, in memory, an echo agent), both in the
# same run, at 1 and at 16 connections, with wrk. Prints requests per second and the ratio.
# Usage: bench/http_front_bench.sh [BUILD_DIR] [SECONDS_PER_RUN]   (defaults: build, 5)
# Needs node, npm and wrk; wrk is installed with apt-get when missing and this runs as root.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
seconds=${2:-5}
source "$repo/tests/scripts/lib/stack.sh"

[[ -x "$build/tessik" && -x "$build/tessik-api-service" ]] ||
  { echo "http_front_bench: build tessik and tessik-api-service first" >&2; exit 1; }
if ! command -v wrk >/dev/null; then
  if [[ $(id -u) == 0 ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wrk >&2
  else
    echo "http_front_bench: wrk is missing (apt-get install wrk)" >&2
    exit 1
  fi
fi

# The reference server's packages, pinned, in a cache of their own under the build tree.
node_dir="$build/bench-node"
mkdir -p "$node_dir"
if [[ "$(node -p 'require(process.argv[1]).version' "$node_dir/node_modules/@a2a-js/sdk/package.json" 2>/dev/null)" != 1.3.0 ]]; then
  echo '{"name":"tessik-bench-reference","private":true,"type":"module"}' >"$node_dir/package.json"
  (cd "$node_dir" && npm install --no-audit --no-fund --silent @a2a-js/sdk@1.3.0 express >&2)
fi
cp "$repo/bench/reference/a2a_sdk_echo_server.mjs" "$node_dir/"

reference_pid=
cleanup() {
  if [[ -n "$reference_pid" ]]; then kill "$reference_pid" 2>/dev/null; wait "$reference_pid" 2>/dev/null || true; fi
  stop_stack
}
trap cleanup EXIT
fail() { echo "http_front_bench: $*" >&2; exit 1; }

start_stack "$build"
stand_in=${STACK_URL%/a2a}
reference_port=$(node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})')
reference="http://127.0.0.1:$reference_port"
node "$node_dir/a2a_sdk_echo_server.mjs" "$reference_port" >/dev/null 2>"$STACK_DIR/reference.err" &
reference_pid=$!
for _ in $(seq 200); do curl -fs -o /dev/null "$reference/.well-known/agent-card.json" && break; sleep 0.05; done
curl -fs -o /dev/null "$reference/.well-known/agent-card.json" ||
  fail "the reference server did not start: $(cat "$STACK_DIR/reference.err")"

# One task on each side; GetTask reads it back.
message='{"message":{"messageId":"bench-1","role":"ROLE_USER","parts":[{"text":"hello"}]}}'
task_id() { node -e 'let s="";process.stdin.on("data",d=>s+=d).on("end",()=>{const d=JSON.parse(s);console.log((d.task||d).id)})'; }
ours_task=$(curl -fs -H "Authorization: Bearer $STACK_TOKEN" -H 'Content-Type: application/json' \
  -H 'A2A-Version: 1.0' "$STACK_URL/message:send" -d "$message" | task_id) || fail "no task from the stand-in"
reference_task=$(curl -fs -H 'Content-Type: application/json' -H 'A2A-Version: 1.0' \
  "$reference/a2a/rest/v1/message:send" -d "$message" | task_id) || fail "no task from the reference"
curl -fs -o /dev/null -H "Authorization: Bearer $STACK_TOKEN" -H 'A2A-Version: 1.0' "$STACK_URL/tasks/$ours_task" ||
  fail "GetTask through the stand-in failed"
curl -fs -o /dev/null -H 'A2A-Version: 1.0' "$reference/a2a/rest/v1/tasks/$reference_task" ||
  fail "GetTask on the reference failed"

# rate CONNECTIONS URL [HEADER]: requests per second; every answer must be a success.
rate() {
  local threads=$(( $1 < 2 ? 1 : 2 )) out
  local args=(-t "$threads" -c "$1" -d "${seconds}s" -H 'A2A-Version: 1.0')
  [[ -n "${3:-}" ]] && args+=(-H "$3")
  out=$(wrk "${args[@]}" "$2")
  if grep -q 'Non-2xx or 3xx responses' <<<"$out"; then fail "failed answers from $2: $out"; fi
  awk '/^Requests\/sec:/ {printf "%.0f", $2}' <<<"$out"
}

printf '%-9s %5s %12s %12s %7s\n' request conns "tessik/s" "reference/s" ratio
for connections in 1 16; do
  for request in card get_task; do
    if [[ $request == card ]]; then
      ours=$(rate "$connections" "$STACK_URL/.well-known/agent-card.json")
      theirs=$(rate "$connections" "$reference/.well-known/agent-card.json")
    else
      ours=$(rate "$connections" "$STACK_URL/tasks/$ours_task" "Authorization: Bearer $STACK_TOKEN")
      theirs=$(rate "$connections" "$reference/a2a/rest/v1/tasks/$reference_task")
    fi
    printf '%-9s %5s %12s %12s %7s\n' "$request" "$connections" "$ours" "$theirs" \
      "$(awk -v a="$ours" -v b="$theirs" 'BEGIN {printf "%.2f", a / b}')"
  done
done
