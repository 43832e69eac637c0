#!/usr/bin/env bash
# How a run reaches its storage, and how it ends when it cannot: a link with the "fs://" scheme
# and a Storage ID work like the plain folder; a scheme without a driver ends the run with no
# event and no message; a folder that does not exist, a folder without a project file and a
# project name that is not owner/name end it after their error event. Every such run exits with
# 0, changes nothing and leaves a complete log.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

src=$SCRATCH/links
store=$SCRATCH/storage
mkdir -p "$store"
make_project "$src" frank/links
put_file "$src/a.txt" "a" 1600000001

# expect_console_quiet LABEL: the four lines and then only the spinner.
expect_console_quiet() {
  if tail -n +5 "$SCRATCH/out" | tr -d -- '-\\|/\b' | grep -q .; then
    fail "$1: more than the spinner on the console: $(tail -n +5 "$SCRATCH/out" | head -3)"
  fi
}

# --- links that reach the storage ----------------------------------------------------------------
kvcs_ok "fs:// link" "$src" -m=backup -s="fs://$store"
expect_verdict "fs:// link" 'kestrun::vcs::save 1'
expect_event "fs:// link" "kestrun::vcs::storage_driver\\.connect fs://$store"
[ -f "$store/projects/frank/links/1.gz" ] || fail "fs:// link: no version file"

put_file "$src/b.txt" "b" 1600000002
STORAGES_JSON="{\"home\": \"$store\", \"other\": \"/nowhere\"}"
kvcs_ok "Storage ID" "$src" -m=backup -s=home
unset STORAGES_JSON
expect_verdict "Storage ID" 'kestrun::vcs::save 2'
expect_event "Storage ID" "kestrun::vcs::storage_driver\\.connect $store"
storage_check "Storage ID" "$store"

# --- runs that end early -------------------------------------------------------------------------
snapshot "$src" "$SCRATCH/snap/before"
snapshot "$store" "$SCRATCH/snap/store" --dir-mtime

# A scheme without a driver library: no event about the storage, no message.
for link in "nosuch://$store" "://$store" "FS://$store"; do
  for mode in backup restore; do
    label="$mode $link"
    kvcs_ok "$label" "$src" -m=$mode -s="$link"
    expect_no_event "$label" 'kestrun::vcs::(storage|storage_driver|load|state::diff|save).*'
    expect_no_event "$label" 'kestrun::vcs::[^ ]*[!~] .*'
    [[ "$(last_event)" =~ ^kestrun::vcs::finder::|^kestrun::vcs::project::state::path ]] ||
      fail "$label: last event '$(last_event)', expected the scan's"
    expect_console_quiet "$label"
  done
done
expect_unchanged "no driver" "$src"
expect_tree "no driver: storage" "$store" "$SCRATCH/snap/store" --dir-mtime

# A storage folder that does not exist: the failed connect is the last word, on the console too.
kvcs_ok "missing folder" "$src" -m=backup -s="$SCRATCH/missing"
[ "$(last_event)" = "kestrun::vcs::storage_driver.connect! $SCRATCH/missing" ] ||
  fail "missing folder: last event '$(last_event)'"
grep -qx "kestrun::vcs::storage_driver.connect! $SCRATCH/missing" "$SCRATCH/out" ||
  fail "missing folder: the error is not on the console"
[ ! -e "$SCRATCH/missing" ] || fail "missing folder: it was created"

# No project file in the folder or above it.
mkdir -p "$SCRATCH/plain"
kvcs_ok "no project" "$SCRATCH/plain" -m=backup -s="$store"
[ "$(last_event)" = "kestrun::vcs::project! Not found file project kestrun-vcs.json!" ] ||
  fail "no project: last event '$(last_event)'"
[ -z "$(ls -A "$SCRATCH/plain")" ] || fail "no project: the folder was written to"

# A project name that is not owner/name.
make_project "$SCRATCH/badname" "bad name"
kvcs_ok "bad name" "$SCRATCH/badname" -m=backup -s="$store"
[ "$(last_event)" = 'kestrun::vcs::project::name! Project name "bad name" does not match regular expression /[a-zA-Z0-9_@$\-]{1,}\/[a-zA-Z0-9_@$\-]{1,}/' ] ||
  fail "bad name: last event '$(last_event)'"

# A file name that is not valid text cannot be stored under its name: that file is left out with
# an error that shows its bytes, the rest is saved, and the verdict says the run fell short.
make_project "$SCRATCH/badfile" frank/badfile
put_file "$SCRATCH/badfile/bad"$'\xff'".txt" "x" 1600000003
badstore=$SCRATCH/badstore
mkdir -p "$badstore"
kvcs_ok "bad file name" "$SCRATCH/badfile" -m=backup -s="$badstore"
expect_event "bad file name" 'kestrun::vcs::project::state::name! bad\\xFF\.txt: the name is not UTF-8, left out'
expect_verdict "bad file name" 'kestrun::vcs::save! 1'
expect_content <(version_paths "$badstore" frank/badfile 1) "AF kestrun-vcs.json
" "bad file name: version 1"

expect_unchanged "early ends" "$src"
expect_tree "early ends: storage" "$store" "$SCRATCH/snap/store" --dir-mtime

finish
