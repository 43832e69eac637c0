# Shared helpers of the end-to-end scenarios (sourced, never run by itself): the kvcs binary from
# $1, a scratch folder removed on exit, runs with captured output, and checks that say what failed.
# shellcheck shell=bash

KVCS=${1:?usage: $0 path/to/kvcs}
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/kvcs-e2e.XXXXXX")
if [ -n "${KVCS_KEEP_TEMP:-}" ]; then
  echo "scratch folder kept: $SCRATCH"
else
  trap 'rm -rf "$SCRATCH"' EXIT
fi
failures=0
status=0

# Time stamps of log names and log lines.
STAMP_RE='[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}-[0-9]{2}-[0-9]{2}'

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# run_kvcs ARGS...: runs kvcs (under the environment the caller exported); standard output and
# error land in $SCRATCH/out and $SCRATCH/err, the exit code in $status.
run_kvcs() {
  set +e
  "$KVCS" "$@" >"$SCRATCH/out" 2>"$SCRATCH/err"
  status=$?
  set -e
}

# expect_status CODE LABEL
expect_status() {
  [ "$status" -eq "$1" ] || fail "$2: exit code $status, expected $1"
}

# expect_content FILE EXPECTED LABEL: the file holds exactly EXPECTED (bytes, no newline added).
expect_content() {
  if ! cmp -s "$1" <(printf '%s' "$2"); then
    fail "$3: $(basename "$1") differs"
    diff <(printf '%s' "$2") "$1" | sed 's/^/    /' >&2 || true
  fi
}

# expect_empty FILE LABEL
expect_empty() {
  if [ -s "$1" ]; then
    fail "$2: $(basename "$1") is not empty"
    sed 's/^/    /' "$1" >&2
  fi
}

# expect_match TEXT REGEX LABEL (extended regular expression, whole text)
expect_match() {
  [[ "$1" =~ ^$2$ ]] || fail "$3: '$1' does not match '$2'"
}

# finish: the scenario's verdict as its exit code.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}

# usage_report MESSAGE PROGRAM SETTINGS_FILE VERSION: what a command-line error prints on standard
# error, the usage of PROGRAM after the message.
usage_report() {
  printf '%s\n\n' "$1"
  cat <<USAGE
Kestrun VCS version $4

Usage: $2 -m -s [-l] [-n] [--nosave] folder

Positional arguments:
  folder Project folder

Optional arguments:
  -m, --mode    Working mode
    backup  Save data to storage
    restore Restore data from storage
  -s, --storage Link to storage/Storage ID
  -l, --log     Display log on screen
  -n, --nn      Recovery Version ID
  --nosave      Without saving the result

Storage ID settings file:
  $3
USAGE
}
