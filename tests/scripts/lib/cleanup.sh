# Shared by the scripted tests (source it): waiting for what a detached delivery worker writes,
# and removing a test's directory tree only once no process started inside it is left.

# remove_when_idle DIR: waits (up to 30 s) until no process but this shell has an environment
# value inside DIR, then removes DIR.
remove_when_idle() {
  local dir=$1 tries=0
  while ((tries < 300)) && processes_inside "$dir"; do
    tries=$((tries + 1))
    sleep 0.1
  done
  rm -rf "$dir"
}

processes_inside() {
  local environ
  for environ in /proc/[0-9]*/environ; do
    [[ "$environ" == "/proc/$$/environ" ]] && continue
    grep -qsF -- "=$1/" "$environ" && return 0
  done
  return 1
}

# wait_for_line FILE PATTERN: waits (up to a minute) until FILE holds a line matching PATTERN;
# FILE may be a directory, whose files are searched.
wait_for_line() {
  local tries=0
  until [[ -e "$1" ]] && grep -rq -- "$2" "$1"; do
    tries=$((tries + 1))
    if ((tries > 600)); then
      echo "no line matching $2 in $1" >&2
      [[ -f "$1" ]] && tail -5 "$1" >&2
      return 1
    fi
    sleep 0.1
  done
}
