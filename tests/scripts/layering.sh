#!/usr/bin/env bash
# Every src/<subsystem>/ file includes only headers of its own subsystem and of the subsystems
# its library names in src/CMakeLists.txt (tessik_subsystem(... USES ...)).
set -euo pipefail
src=$(cd "$(dirname "$0")/../../src" && pwd)

# One "name uses..." line per tessik_subsystem(...) call, continuation lines joined.
layers=$(sed -n '/^tessik_subsystem(/,/)/p' "$src/CMakeLists.txt" | tr '\n' ' ' |
  sed 's/)/)\n/g' | sed -n 's/^ *tessik_subsystem(\([a-z0-9_]*\)\(.*\))$/\1 \2/p' |
  sed 's/ LINKS .*//; s/ USES / /')
[[ -n "$layers" ]] || { echo "layering: no subsystems found in $src/CMakeLists.txt"; exit 1; }

failures=0
while read -r name uses; do
  allowed=" $name $uses "
  while IFS=: read -r file line include; do
    target=${include#*\"}
    target=${target%%/*}
    if [[ "$allowed" != *" $target "* ]]; then
      echo "layering: ${file#"$src"/}:$line includes $target/, which $name/ does not use"
      failures=$((failures + 1))
    fi
  done < <(grep -rnE '^#include "[a-z0-9_]+/' "$src/$name" --include='*.h' --include='*.cpp' || true)
done <<<"$layers"

count=$(wc -l <<<"$layers")
if ((failures)); then
  echo "layering: $failures upward includes"
  exit 1
fi
echo "layering: $count subsystems, every include within its declared dependencies"
