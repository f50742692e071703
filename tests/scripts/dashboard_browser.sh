#!/usr/bin/env bash
# Drives the dashboard in headless Chromium (puppeteer-core): token handling, the mailbox
# agent, a send through the form, hostile texts shown as text, and the first load with 1,000
# tasks (printed, not asserted). Usage: dashboard_browser.sh BUILD_DIR
# Exits 77 (skipped) only where no Chromium can be installed.
set -euo pipefail
source "$(dirname "$0")/lib/stack.sh"

find_chromium() { command -v chromium || command -v chromium-browser || true; }
if [[ -z "$(find_chromium)" && "$(id -u)" == 0 ]] && command -v apt-get >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq --no-install-recommends chromium >&2 ||
    { apt-get update -qq >&2 && apt-get install -y -qq --no-install-recommends chromium >&2; } || true
fi
CHROMIUM=$(find_chromium)
if [[ -z "$CHROMIUM" ]]; then
  echo "dashboard_browser: SKIPPED: Chromium is not installed and could not be installed here"
  exit 77
fi

start_client_stack "$1" puppeteer-core
# A registered agent whose name is markup: the page must show it as text.
evil_name='<img src=x onerror="window.__injected=1"><b>bold</b>'
"$1/tessik" agents add --provider claude_code_cli \
  --session 0d1f4a52-6c7e-4b0a-9d3e-2f8a1b5c7e90 --name "$evil_name" >/dev/null

# A push callback that nobody answers: the first attempt fails, the run of the next send
# dead-letters it. Only a client with task.push may register one.
add_stack_client dashboard-push push-agent agent.read,agent.send,task.read,task.push
push_token=$STACK_CLIENT_TOKEN
closed_port=$(node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})')
json_field() { node -e 'let s="";process.stdin.on("data",d=>s+=d).on("end",()=>console.log(eval("JSON.parse(s)"+process.argv[1])))' "$1"; }
send_as_push_client() {
  curl -fs -H "Authorization: Bearer $push_token" -H 'A2A-Version: 1.0' \
    -H 'Content-Type: application/a2a+json' -d "$1" "$STACK_URL/agents/$mailbox_id/message:send"
}
mailbox_id=$(curl -fs -H "Authorization: Bearer $STACK_TOKEN" "$STACK_URL/agents" |
  json_field '.agents.find(a=>a.name==="Tessik Mailbox").id')
push_task=$(send_as_push_client '{"message":{"messageId":"push-1","role":"ROLE_USER","parts":[{"text":"push me"}]},
  "configuration":{"taskPushNotificationConfig":
  {"url":"http://127.0.0.1:'"$closed_port"'/callback"}}}' | json_field '.task.id')
sleep 0.3
send_as_push_client '{"message":{"messageId":"push-2","role":"ROLE_USER","parts":[{"text":"again"}]}}' >/dev/null
grep -q "$push_task" "$STACK_DIR/local/Tessik/a2a/push-dead-letter.jsonl"

run_node_client dashboard_browser.mjs "$CHROMIUM" "${STACK_URL%/a2a}" "$STACK_TOKEN" \
  "$STACK_DIR/local/Tessik/a2a/tasks.jsonl" "$evil_name" "$push_task"
