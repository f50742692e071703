# Shared by the scripted node tests (source it): two Tessik state directories on this machine
# as two nodes, joined by a private OpenSSH server on a free loopback port.
# Every variable it sets starts with NODES_.
source "$(dirname "${BASH_SOURCE[0]}")/cleanup.sh"

# start_ssh_nodes BUILD_DIR: makes NODES_DIR with the state directories "local" (this node)
# and "remote" (the node reached over SSH), generated host and user keys, and an sshd on
# 127.0.0.1 that runs login commands with the remote node's environment (its own HOME,
# NODES_DIR/remote-home, where assistants of that node live) and `tessik` on PATH.
# The product runs the plain "ssh ..." command line; a test-only `ssh` first on this node's
# PATH adds "-F" with the test's client configuration, because ssh reads ~/.ssh/config from
# the password database's home, not from $HOME. Returns 77 when no sshd is installed.
start_ssh_nodes() {
  local sshd
  sshd=$(command -v sshd || echo /usr/sbin/sshd)
  [[ -x "$sshd" ]] || { echo "ssh_nodes: sshd is not installed" >&2; return 77; }
  NODES_DIR=$(mktemp -d /tmp/tessik-nodes-XXXXXX)
  chmod 700 "$NODES_DIR"
  local d=$NODES_DIR
  mkdir -p "$d/local" "$d/remote" "$d/remote-home" "$d/bin" "$d/remote-bin" "$d/tmp-local" "$d/tmp-remote" \
    "$d/pipes-local" "$d/pipes-remote"
  chmod 700 "$d/pipes-local" "$d/pipes-remote"
  ln -s "$(cd "$1" && pwd)/tessik" "$d/remote-bin/tessik"
  NODES_USER=$(id -un)
  ssh-keygen -q -t ed25519 -N '' -f "$d/host_key"
  ssh-keygen -q -t ed25519 -N '' -f "$d/user_key"
  cp "$d/user_key.pub" "$d/authorized_keys"
  chmod 600 "$d/authorized_keys"
  NODES_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  cat >"$d/sshd_config" <<CONF
Port $NODES_PORT
ListenAddress 127.0.0.1
HostKey $d/host_key
PidFile $d/sshd.pid
AuthorizedKeysFile $d/authorized_keys
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
StrictModes no
UsePAM no
SetEnv HOME=$d/remote-home LOCALAPPDATA=$d/remote TESSIK_PIPE_DIR=$d/pipes-remote TMPDIR=$d/tmp-remote PATH=$d/remote-bin:/usr/bin:/bin
CONF
  cat >"$d/ssh_config" <<CONF
Host 127.0.0.1
  Port $NODES_PORT
  IdentityFile $d/user_key
  IdentitiesOnly yes
  UserKnownHostsFile $d/known_hosts
  StrictHostKeyChecking accept-new
  LogLevel ERROR
CONF
  printf '#!/bin/sh\nexec %s -F %s "$@"\n' "$(command -v ssh)" "$d/ssh_config" >"$d/bin/ssh"
  chmod 755 "$d/bin/ssh"
  # sshd refuses to start without its privilege-separation directory.
  [[ -d /run/sshd ]] || mkdir -p /run/sshd
  "$sshd" -D -e -f "$d/sshd_config" 2>"$d/sshd.log" &
  NODES_SSHD_PID=$!
  local tries=0
  until "$d/bin/ssh" -o BatchMode=yes "$NODES_USER@127.0.0.1" true 2>/dev/null; do
    tries=$((tries + 1))
    if ((tries > 100)) || ! kill -0 "$NODES_SSHD_PID" 2>/dev/null; then
      echo "ssh_nodes: sshd did not accept the test key" >&2
      cat "$d/sshd.log" >&2
      return 1
    fi
    sleep 0.1
  done
  export PATH="$d/bin:$PATH" LOCALAPPDATA="$d/local" TESSIK_PIPE_DIR="$d/pipes-local" \
    TMPDIR="$d/tmp-local"
}

# on_remote_node COMMAND...: runs COMMAND here with the remote node's environment, as its
# login commands see it.
on_remote_node() {
  HOME="$NODES_DIR/remote-home" LOCALAPPDATA="$NODES_DIR/remote" \
    TESSIK_PIPE_DIR="$NODES_DIR/pipes-remote" TMPDIR="$NODES_DIR/tmp-remote" "$@"
}

stop_ssh_nodes() {
  [[ -n "${NODES_SSHD_PID:-}" ]] && kill "$NODES_SSHD_PID" 2>/dev/null && wait "$NODES_SSHD_PID" 2>/dev/null
  [[ -n "${NODES_DIR:-}" ]] && remove_when_idle "$NODES_DIR"
  NODES_SSHD_PID= NODES_DIR=
}

# node_row ID TRANSPORT ENABLED: one nodes.tsv row for the SSH node.
node_row() {
  printf '%s\t%s\t\t%s\t\t127.0.0.1\t%s\t\t\t%s\tmanual\t\t\n' "$1" "$1" "$2" "$NODES_USER" "$3"
}
