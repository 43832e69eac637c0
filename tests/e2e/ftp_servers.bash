# Helpers of the FTP scenarios, sourced after lib.sh and run_helpers.bash: loopback FTP servers
# (tests/support/ftp_server.py) on folders below $SCRATCH, and kvcs runs bounded in time, so that
# a hanging connection fails the scenario instead of stalling it.
# shellcheck shell=bash

FTP_SERVER=$E2E_DIR/../support/ftp_server.py
FTP_USER=kvcs
FTP_PASSWORD=secret_1

REAL_KVCS=$KVCS
KVCS=$SCRATCH/kvcs-bounded
printf '#!/bin/bash\nexec timeout -k 5 120 %q "$@"\n' "$REAL_KVCS" >"$KVCS"
chmod +x "$KVCS"

# Each server reads its standard input from a pipe this script holds open: it stops on SIGTERM
# from the exit trap, and also when this script dies without running the trap.
ftp_pids=()
stop_ftp_servers() {
  local pid i
  for pid in "${ftp_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${ftp_pids[@]}"; do
    for ((i = 0; i < 100; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    wait "$pid" 2>/dev/null || true
  done
  ftp_pids=()
}
# The servers let go of their roots before lib.sh's trap removes the scratch folder.
lib_exit_trap=$(trap -p EXIT)
if [ -n "$lib_exit_trap" ]; then
  eval "set -- $lib_exit_trap"
  lib_exit_trap=$3
fi
trap 'stop_ftp_servers; eval "$lib_exit_trap"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# start_ftp_server NAME ROOT [OPTION...]: a server for $FTP_USER on ROOT, with the options of
# ftp_server.py; its port in FTP_PORT, its log in $SCRATCH/NAME.log. Ends the scenario when the
# server does not start.
start_ftp_server() {
  local name=$1 root=$2 fd i
  shift 2
  mkfifo "$SCRATCH/$name.stdin"
  /usr/bin/python3 "$FTP_SERVER" --root "$root" --user "$FTP_USER" --password "$FTP_PASSWORD" \
    --port-file "$SCRATCH/$name.port" --until-stdin-closes "$@" \
    <"$SCRATCH/$name.stdin" >"$SCRATCH/$name.out" 2>"$SCRATCH/$name.log" &
  ftp_pids+=($!)
  # The write end stays open for the rest of the script; its close stops the server.
  # shellcheck disable=SC2034
  exec {fd}>"$SCRATCH/$name.stdin"
  FTP_PORT=""
  for ((i = 0; i < 200; i++)); do
    if [ -s "$SCRATCH/$name.port" ]; then
      FTP_PORT=$(head -n 1 "$SCRATCH/$name.port")
      return 0
    fi
    kill -0 "${ftp_pids[-1]}" 2>/dev/null || break
    sleep 0.05
  done
  echo "FAIL: the FTP server $name did not start within 10 seconds:" >&2
  sed 's/^/    /' "$SCRATCH/$name.log" >&2
  exit 1
}

# run_bounded LABEL ARGS...: kvcs_ok, failing the scenario when the run did not end in time; the
# console output is kept in $SCRATCH/console-all for the password checks.
run_bounded() {
  kvcs_ok "$@"
  [ "$status" -ne 124 ] || fail "$1: the run did not end within 120 seconds"
  cat "$SCRATCH/out" "$SCRATCH/err" >>"$SCRATCH/console-all"
}

# expect_no_password WORD LABEL: WORD is in no log written so far and nowhere on the console.
expect_no_password() {
  local log
  for log in "$SCRATCH"/config/*/"Kestrun VCS"/logs/*.gz; do
    [ -f "$log" ] || continue
    if gzip -dc "$log" | grep -qF -- "$1"; then
      fail "$2: in the log $log: $(gzip -dc "$log" | grep -F -- "$1" | head -1)"
    fi
  done
  if grep -qF -- "$1" "$SCRATCH/console-all" 2>/dev/null; then
    fail "$2: on the console: $(grep -F -- "$1" "$SCRATCH/console-all" | head -1)"
  fi
}
