#!/usr/bin/env bash
# "--nosave" is a dry run: the comparison runs and is logged, but nothing is uploaded, downloaded,
# created or removed, and no save events are written.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

src=$SCRATCH/dry
store=$SCRATCH/storage
mkdir -p "$store"
make_project "$src" erin/dry
put_file "$src/a.txt" "a" 1600000001
put_file "$src/sub/b.txt" "b" 1600000002

# expect_dry LABEL: a dry run's log: the difference, no save, no transfer.
expect_dry() {
  expect_event "$1" 'kestrun::vcs::state::diff::finish [0-9]+'
  expect_no_event "$1" 'kestrun::vcs::(save|save::count|file::.*|command::write|link::create)[!~#]? .*'
  [[ "$(last_event)" =~ ^kestrun::vcs::state::diff::finish ]] ||
    fail "$1: last event '$(last_event)', expected the end of the difference"
}

# Into an empty storage: nothing arrives.
kvcs_ok "backup --nosave" "$src" -m=backup -s="$store" --nosave
expect_dry "backup --nosave"
expect_event "backup --nosave" 'kestrun::vcs::state::diff::finish 4'
[ -z "$(ls -A "$store")" ] || fail "backup --nosave: the storage holds $(ls -A "$store")"

kvcs_ok "backup 1" "$src" -m=backup -s="$store"
expect_verdict "backup 1" 'kestrun::vcs::save 1'
snapshot "$src" "$SCRATCH/snap/v1"

# Changes, then a dry backup: the storage stays as it was, to the folder times.
put_file "$src/a.txt" "a changed" 1600000011
put_file "$src/c.txt" "c" 1600000012
rm -r "$src/sub"
snapshot "$store" "$SCRATCH/snap/before" --dir-mtime
kvcs_ok "backup --nosave after changes" "$src" -m=backup -s="$store" --nosave
expect_dry "backup --nosave after changes"
expect_event "backup --nosave after changes" 'kestrun::vcs::state::diff::finish 5'
expect_unchanged "backup --nosave after changes" "$store" --dir-mtime

# A dry restore leaves the folder alone; with -l the console shows the difference.
snapshot "$src" "$SCRATCH/snap/before"
kvcs_ok "restore --nosave" "$src" -m=restore -s="$store" -n=1 --nosave -l
expect_dry "restore --nosave"
expect_event "restore --nosave" 'kestrun::vcs::state::diff::finish 5'
expect_unchanged "restore --nosave" "$src"
grep -q '^kestrun::vcs::state::diff::finish 5$' "$SCRATCH/out" ||
  fail "restore --nosave: the difference is not on the console with -l"

# The same restore for real brings version 1 back.
kvcs_ok restore "$src" -m=restore -s="$store" -n=1
expect_verdict restore 'kestrun::vcs::save local'
expect_tree restore "$src" "$SCRATCH/snap/v1"

finish
