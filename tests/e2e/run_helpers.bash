# Helpers of the backup and restore scenarios, sourced after lib.sh: projects built on disk,
# kvcs runs that each keep their own log, checks of the log, tree snapshots compared with diff,
# and the independent storage reader.
# shellcheck shell=bash

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
READER=(python3 "$E2E_DIR/read_storage.py")
TREE=(python3 "$E2E_DIR/tree_tool.py")
KVCS_VERSION=1.0.0-beta.15
mkdir -p "$SCRATCH/config" "$SCRATCH/snap"

run_count=0
LOG=""      # the log file of the last run
LOGTEXT=""  # its decompressed text

# put_file PATH CONTENT [MTIME]: writes CONTENT (no newline added) and sets the modification time
# (seconds since 1970, fractions allowed) so that later changes never hide behind an equal time.
put_file() {
  mkdir -p "$(dirname "$1")"
  printf '%s' "$2" >"$1"
  touch -h -d "@${3:-1600000000}" "$1"
}

# put_random PATH SIZE [MTIME]: SIZE random bytes, which deflate cannot shrink; with MTIME, the
# modification time as put_file sets it.
put_random() {
  mkdir -p "$(dirname "$1")"
  head -c "$2" /dev/urandom >"$1"
  [ -z "${3:-}" ] || touch -h -d "@$3" "$1"
}

# make_project DIR OWNER/NAME: a new folder holding only the project file.
make_project() {
  mkdir -p "$1"
  put_file "$1/kestrun-vcs.json" "{\"name\": \"$2\"}" 1500000000
}

# fresh_copy SOURCE DIR: DIR holds only SOURCE's project file, with its time, as a place to
# restore into.
fresh_copy() {
  rm -rf "$2"
  mkdir -p "$2"
  cp -p "$1/kestrun-vcs.json" "$2/"
}

# kvcs_run ARGS...: one run with a configuration folder of its own, so its log is the only file
# in it (two runs within one second would otherwise share a log name); it holds STORAGES_JSON as
# "storages.json" when that is set. Sets LOG and LOGTEXT; standard output and error land in
# $SCRATCH/out and $SCRATCH/err, the exit code in $status.
kvcs_run() {
  run_count=$((run_count + 1))
  local config=$SCRATCH/config/$run_count
  mkdir -p "$config"
  if [ -n "${STORAGES_JSON:-}" ]; then
    mkdir -p "$config/Kestrun VCS"
    printf '%s' "$STORAGES_JSON" >"$config/Kestrun VCS/storages.json"
  fi
  local saved=${XDG_CONFIG_HOME-}
  export XDG_CONFIG_HOME=$config
  run_kvcs "$@"
  export XDG_CONFIG_HOME=$saved
  LOG=""
  LOGTEXT=""
  local logs=("$config/Kestrun VCS/logs/"*.gz)
  if [ -f "${logs[0]}" ]; then
    LOG=${logs[0]}
    LOGTEXT=$(gzip -dc "$LOG" 2>/dev/null || true)
  fi
}

# check_log LABEL: the run's log is a complete gzip file: start stamp (the file's name), the
# version, the events and the end stamp; the project's release events are not in it.
check_log() {
  local label=$1
  if [ -z "$LOG" ]; then
    fail "$label: no log file written"
    return
  fi
  if ! gzip -t "$LOG" 2>/dev/null; then
    fail "$label: the log is not a complete gzip file"
    return
  fi
  local stamp first second last
  stamp=$(basename "$LOG" .gz)
  first=$(sed -n 1p <<<"$LOGTEXT")
  second=$(sed -n 2p <<<"$LOGTEXT")
  last=$(tail -n 1 <<<"$LOGTEXT")
  [ "$first" = "$stamp" ] || fail "$label: first log line '$first' is not the stamp $stamp"
  [ "$second" = "$KVCS_VERSION" ] || fail "$label: second log line '$second'"
  expect_match "$last" "$STAMP_RE" "$label: last log line (end time)"
  [[ ! "$last" < "$stamp" ]] || fail "$label: the run ended ($last) before it started ($stamp)"
  if grep -Eq '^kestrun::vcs::project::(destroy|temp)' <<<"$LOGTEXT"; then
    fail "$label: the project's release events reached the log"
  fi
  if grep -Ev "^($STAMP_RE|$KVCS_VERSION|kestrun::vcs::[^ ]* .*|kestrun::vcs::[^ ]*)$" \
    <<<"$LOGTEXT" | grep -q .; then
    fail "$label: log lines that are not events:"
    grep -Ev "^($STAMP_RE|$KVCS_VERSION|kestrun::vcs::[^ ]* .*|kestrun::vcs::[^ ]*)$" \
      <<<"$LOGTEXT" | head -5 | sed 's/^/    /' >&2
  fi
}

# kvcs_ok LABEL ARGS...: a run that ends normally: exit code 0, nothing on standard error, no
# exception report, a complete log.
kvcs_ok() {
  local label=$1
  shift
  kvcs_run "$@"
  expect_status 0 "$label"
  expect_empty "$SCRATCH/err" "$label"
  if grep -q '^std::exception' "$SCRATCH/out"; then
    fail "$label: $(grep '^std::exception' "$SCRATCH/out")"
  fi
  check_log "$label"
}

# log_events: the event lines of the last log (no stamps, no version).
log_events() {
  grep '^kestrun::' <<<"$LOGTEXT" || true
}

# expect_event LABEL REGEX: some event line of the last log matches REGEX (whole line).
expect_event() {
  grep -Eq "^($2)$" <<<"$LOGTEXT" || fail "$1: no log line matches '$2'"
}

# expect_no_event LABEL REGEX
expect_no_event() {
  if grep -Eq "^($2)$" <<<"$LOGTEXT"; then
    fail "$1: unexpected log line: $(grep -E "^($2)$" <<<"$LOGTEXT" | head -1)"
  fi
}

# count_events REGEX: how many log lines match REGEX (whole line).
count_events() {
  grep -Ec "^($1)$" <<<"$LOGTEXT" || true
}

# last_event: the last event line, the one before the end stamp.
last_event() {
  log_events | tail -n 1
}

# expect_verdict LABEL LINE: the last "kestrun::vcs::save" line of the log is LINE.
expect_verdict() {
  local got
  got=$(grep -E '^kestrun::vcs::save[!~]? ' <<<"$LOGTEXT" | tail -n 1 || true)
  [ "$got" = "$2" ] || fail "$1: verdict '$got', expected '$2'"
}

# snapshot DIR FILE [tree_tool options]: the tree of DIR without kvcs's work folder (the root's
# own ".k-vcs"; one deeper down is content).
snapshot() {
  local dir=$1 out=$2
  shift 2
  "${TREE[@]}" snapshot "$dir" --skip .k-vcs "$@" >"$out"
}

# expect_tree LABEL DIR EXPECTED_SNAPSHOT [options]: DIR's snapshot equals the one given.
expect_tree() {
  local label=$1 dir=$2 want=$3
  shift 3
  local got=$SCRATCH/snap/got.$$
  snapshot "$dir" "$got" "$@"
  if ! cmp -s "$want" "$got"; then
    fail "$label: the tree differs from what it should be (- expected, + found)"
    diff -u "$want" "$got" | tail -n +3 | head -40 | sed 's/^/    /' >&2 || true
  fi
}

# expect_unchanged LABEL DIR: the tree of DIR (file times included) equals $SCRATCH/snap/before.
expect_unchanged() {
  expect_tree "$1" "$2" "$SCRATCH/snap/before" "${@:3}"
}

# storage_check LABEL STORAGE: the independent reader finds the layout, every version file and
# every blob as they must be.
storage_check() {
  local out
  if ! out=$("${READER[@]}" check "$2" 2>&1); then
    fail "$1: storage check: $out"
  fi
}

# stored_versions STORAGE OWNER/NAME: the number of version files, counted from 1 without a gap.
stored_versions() {
  local n=0
  while [ -f "$1/projects/$2/$((n + 1)).gz" ]; do n=$((n + 1)); done
  echo "$n"
}

# blob_count STORAGE
blob_count() {
  if [ -d "$1/files" ]; then find "$1/files" -type f | wc -l; else echo 0; fi
}

# version_paths STORAGE OWNER/NAME N: "TYPE path" per command of version N, in file order.
version_paths() {
  "${READER[@]}" version "$1/projects/$2/$3.gz" |
    python3 -c 'import json,sys
next(sys.stdin)
for l in sys.stdin:
    c = json.loads(l)
    print(c["type"] + (c.get("kind") or "") + " " + c["path"])'
}

# write_version FILE COMMAND...: FILE becomes a version file (its folders made) holding the
# commands given, each one's raw bytes written as the inside of a Python bytes literal: what no
# honest backup writes.
write_version() {
  mkdir -p "$(dirname "$1")"
  python3 -c 'import ast, gzip, struct, sys
commands = [ast.literal_eval("b\"" + c + "\"") for c in sys.argv[2:]]
body = b"KVCS" + struct.pack("<QI", 0, len(commands)) + b"".join(commands)
with open(sys.argv[1], "wb") as f:
    f.write(gzip.compress(body))' "$@"
}
