#!/usr/bin/env bash
# scripts/install puts tessik, tessik-api-service and the two user units in place with the
# installed path, the units pass systemd-analyze verify, and --uninstall removes them again.
set -euo pipefail
build=$(cd "$1" && pwd)
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "user_services: $*" >&2; exit 1; }

export HOME=$work/home PREFIX=$work/prefix UNIT_DIR=$work/units XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
TESSIK_INSTALL_FROM=$build/tessik "$repo/scripts/install" --no-start >"$work/out" 2>&1 ||
  fail "install failed: $(cat "$work/out")"

[[ -x $PREFIX/bin/tessik ]] || fail "tessik was not installed"
[[ -x $PREFIX/bin/tessik-api-service ]] || fail "tessik-api-service was not installed"
"$PREFIX/bin/tessik" --version | grep '^tessik ' >/dev/null || fail "the installed tessik does not run"
for unit in tessik-broker tessik-api-service; do
  file=$UNIT_DIR/$unit.service
  [[ -f $file ]] || fail "$unit.service was not installed"
  grep -q '@BINDIR@' "$file" && fail "$unit.service still holds a placeholder"
  grep -q "^ExecStart=$PREFIX/bin/tessik[- ]" "$file" ||
    fail "$unit.service does not start from $PREFIX/bin"
  grep -q '^Restart=on-failure$' "$file" || fail "$unit.service does not restart on failure"
  grep -q '^WantedBy=default.target$' "$file" || fail "$unit.service does not start at login"
done
grep -q "^ExecStart=$PREFIX/bin/tessik broker$" "$UNIT_DIR/tessik-broker.service" ||
  fail "broker unit runs no broker"
grep -q "^ExecStart=$PREFIX/bin/tessik-api-service " "$UNIT_DIR/tessik-api-service.service" ||
  fail "stand-in unit runs no tessik-api-service"

if ! command -v systemd-analyze >/dev/null; then
  echo "user_services: SKIPPED the systemd-analyze check: systemd-analyze is not installed"
else
  verify() { systemd-analyze --user verify --man=no "$@" 2>&1; }
  report=$(verify "$UNIT_DIR"/*.service) || fail "systemd-analyze verify failed: $report"
  [[ -z $report ]] || fail "systemd-analyze verify complains: $report"
  # The same check notices a broken unit, so its silence above means something.
  sed 's/^Restart=on-failure$/Restart=sometimes/' "$UNIT_DIR/tessik-broker.service" \
    >"$work/broken.service"
  [[ -n $(verify "$work/broken.service" || true) ]] || fail "systemd-analyze accepts a broken unit"
fi

"$repo/scripts/install" --uninstall >"$work/out" 2>&1 || fail "uninstall failed: $(cat "$work/out")"
[[ ! -e $PREFIX/bin/tessik ]] || fail "uninstall left tessik"
[[ ! -e $PREFIX/bin/tessik-api-service ]] || fail "uninstall left tessik-api-service"
[[ -z $(ls -A "$UNIT_DIR") ]] || fail "uninstall left units: $(ls "$UNIT_DIR")"
echo "user_services: ok"
