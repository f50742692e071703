# Shared by the scripted tests (source it): removing a test's directory tree only once no
# process started inside it is left, because a detached delivery worker may still write there.

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
