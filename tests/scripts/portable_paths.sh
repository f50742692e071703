#!/usr/bin/env bash
# Outside src/platform/, paths are opened through the platform's file services and printed
# through path::string(): path::c_str() is a wide string where the system's paths are wide, so
# C calls that take it (fopen, printf "%s") do not compile or print garbage there.
set -euo pipefail
src=$(cd "$(dirname "$0")/../../src" && pwd)

opens=$(grep -rnE '\bfopen\s*\(|\bfreopen\s*\(' "$src" --include='*.cpp' --include='*.h' |
  grep -v "^$src/platform/" || true)
# A path's c_str(): a path-returning call or a path-named variable, straight into c_str().
printed=$(grep -rnE '(path|directory|_dir)(_)?(\(\))?\.c_str\(\)' "$src" --include='*.cpp' \
  --include='*.h' | grep -v "^$src/platform/" || true)
if [[ -n "$opens$printed" ]]; then
  [[ -n "$opens" ]] && echo "portable_paths: C file opens outside platform/:" && echo "$opens"
  [[ -n "$printed" ]] && echo "portable_paths: path::c_str() outside platform/:" && echo "$printed"
  exit 1
fi
echo "portable_paths: no C file opens or path::c_str() outside platform/"
