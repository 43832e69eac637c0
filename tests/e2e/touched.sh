#!/usr/bin/env bash
# A file touched but not changed: no backup stores it again, and only the first backup after the
# touch reads it; the work folder's record of what it learned is believed only whole, only for
# files whose time is older than the run that wrote it, and is dropped when a restore changes the
# folder. Which runs read the file is seen with strace (its openat calls).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

command -v strace >/dev/null || { echo "strace is missing (scripts/setup test installs it)" >&2; exit 1; }
if ! strace -f -o /dev/null true 2>/dev/null; then
  echo "skipped: strace cannot trace here"
  exit 0
fi

src=$SCRATCH/app
store=$SCRATCH/storage
record=$src/.k-vcs/identities
mkdir -p "$store"
make_project "$src" eve/app
put_random "$src/big.bin" 3000000 1600000000
put_file "$src/small.txt" "small" 1600000001

# traced_backup LABEL: a backup with every file opening written down; sets OPENS to how often
# big.bin was opened.
KVCS_PLAIN=$KVCS
wrapper=$SCRATCH/traced-kvcs
# LeakSanitizer cannot work under ptrace: a sanitizer build leaves leaks to the untraced runs.
printf '#!/bin/sh\nASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" exec strace -f -qq -e trace=open,openat -o "%s/trace" "%s" "$@"\n' \
  "$SCRATCH" "$KVCS_PLAIN" >"$wrapper"
chmod +x "$wrapper"
traced_backup() {
  KVCS=$wrapper
  kvcs_ok "$1" "$src" -m=backup -s="$store"
  KVCS=$KVCS_PLAIN
  OPENS=$(grep -c 'big\.bin"' "$SCRATCH/trace" || true)
}

# expect_unchanged_backup LABEL OPENS: no version, nothing uploaded, big.bin opened OPENS times.
expect_unchanged_backup() {
  traced_backup "$1"
  expect_verdict "$1" 'kestrun::vcs::save commands empty'
  expect_no_event "$1" 'kestrun::vcs::file::.*'
  [ "$OPENS" -eq "$2" ] || fail "$1: big.bin opened $OPENS times, expected $2"
  [ "$(stored_versions "$store" eve/app)" -eq "$versions" ] || fail "$1: a version was stored"
}

kvcs_ok first "$src" -m=backup -s="$store"
expect_verdict first 'kestrun::vcs::save 1'
versions=1
expect_unchanged_backup no-change 0
[ -e "$record" ] && fail "no-change: a record was written with nothing learned"

# Touched to an older time than this run: the first backup reads it, the next ones do not.
now=$(date +%s)
touch -d @$((now - 100)) "$src/big.bin"
expect_unchanged_backup touched-first 1
[ -f "$record" ] || fail "touched-first: no record kept in the work folder"
expect_unchanged_backup touched-second 0
expect_unchanged_backup touched-third 0

# A record damaged (one byte flipped), cut short or another project's is not believed: the file
# is read again, and a whole record takes its place.
flip_byte() {
  python3 -c 'import sys
p = sys.argv[1]
b = bytearray(open(p, "rb").read())
b[len(b) // 2] ^= 1
open(p, "wb").write(bytes(b))' "$1"
}
flip_byte "$record"
expect_unchanged_backup damaged 1
expect_unchanged_backup damaged-replaced 0
truncate -s -1 "$record"
expect_unchanged_backup cut-short 1
expect_unchanged_backup cut-short-replaced 0

other=$SCRATCH/other
make_project "$other" eve/other
cp -p "$src/big.bin" "$src/small.txt" "$other/"
mkdir -p "$SCRATCH/other-storage"
kvcs_ok other-first "$other" -m=backup -s="$SCRATCH/other-storage"
touch -d @$((now - 200)) "$other/big.bin"
kvcs_ok other-touched "$other" -m=backup -s="$SCRATCH/other-storage"
[ -f "$other/.k-vcs/identities" ] || fail "other-touched: no record kept"
cp "$other/.k-vcs/identities" "$record"
expect_unchanged_backup foreign 1
expect_unchanged_backup foreign-replaced 0

# A changed content is stored, whatever the record says; afterwards its time is the stored one.
python3 -c 'import sys
p = sys.argv[1]
b = bytearray(open(p, "rb").read())
b[0] ^= 0xFF
open(p, "wb").write(bytes(b))' "$src/big.bin"
touch -d @$((now - 50)) "$src/big.bin"
traced_backup changed
expect_verdict changed 'kestrun::vcs::save 2'
versions=2
expect_unchanged_backup after-change 0

# A time at or after the start of the run that learned it proves nothing (a write of the same
# size later in that second would keep it): such a file is read by every backup.
touch -d @$((now + 3600)) "$src/big.bin"
expect_unchanged_backup future-first 1
expect_unchanged_backup future-second 1

# A dry run keeps nothing; a restore that changes the folder drops the record.
touch -d @$((now - 100)) "$src/big.bin"
rm -f "$record"
kvcs_ok dry-run "$src" -m=backup -s="$store" --nosave
[ -e "$record" ] && fail "dry-run: a record was written"
expect_unchanged_backup before-restore 1
[ -f "$record" ] || fail "before-restore: no record kept"
kvcs_ok restore "$src" -m=restore -s="$store" -n=1
expect_verdict restore 'kestrun::vcs::save local'
[ -e "$record" ] && fail "restore: the record outlived a restore that changed the folder"

finish
