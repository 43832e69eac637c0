#!/usr/bin/env bash
# The version history and the restore: an entry named ".k-vcs" below the root is content like any
# other, while only the root's own work folder stays out of every version; a stored version loads
# only when its file is whole, and nothing less enters the cache; a restore that could not change
# an entry goes on with the rest and says so in its verdict.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

src=$SCRATCH/app
store=$SCRATCH/storage
mkdir -p "$store"
make_project "$src" erin/app

# --- ".k-vcs" below the root ---------------------------------------------------------------------
put_file "$src/a.txt" "alpha" 1600000001
put_file "$src/sub/.k-vcs/inner.txt" "a folder of that name below the root" 1600000002
put_file "$src/file/.k-vcs" "a file of that name" 1600000003
mkdir -p "$src/link"
ln -s "$src/file/.k-vcs" "$src/link/.k-vcs"
kvcs_ok "backup 1" "$src" -m=backup -s="$store"
expect_verdict "backup 1" "kestrun::vcs::save 1"
expect_content <(version_paths "$store" erin/app 1) "AF a.txt
AD file
AF file/.k-vcs
AF kestrun-vcs.json
AD link
AL link/.k-vcs
AD sub
AD sub/.k-vcs
AF sub/.k-vcs/inner.txt
" "version 1 commands"
expect_event "backup 1" "kestrun::vcs::finder::ignore $src/\\.k-vcs </\\.k-vcs> GLOBAL"
snapshot "$src" "$SCRATCH/snap/v1"

# The history stays readable: the next backup and a restore replay version 1 from the cache.
rm "$src/sub/.k-vcs/inner.txt"
put_file "$src/file/.k-vcs" "changed" 1600000004
kvcs_ok "backup 2" "$src" -m=backup -s="$store"
expect_verdict "backup 2" "kestrun::vcs::save 2"
expect_event "backup 2" "kestrun::vcs::load 1"
snapshot "$src" "$SCRATCH/snap/v2"
dst=$SCRATCH/restored
fresh_copy "$src" "$dst"
kvcs_ok "restore 1" "$dst" -m=restore -s="$store" -n=1
expect_verdict "restore 1" "kestrun::vcs::save local"
expect_tree "restore 1" "$dst" "$SCRATCH/snap/v1"
kvcs_ok "restore 2" "$dst" -m=restore -s="$store"
expect_verdict "restore 2" "kestrun::vcs::save local"
expect_tree "restore 2" "$dst" "$SCRATCH/snap/v2"

# A stored version naming the root's own work folder is still refused at load.
hostile=$SCRATCH/hostile
write_version "$hostile/projects/erin/app/1.gz" 'A.k-vcs/temp/x\0D'
fresh_copy "$src" "$SCRATCH/h"
kvcs_ok "hostile version" "$SCRATCH/h" -m=restore -s="$hostile"
[ "$(last_event)" = "kestrun::vcs::load! 1" ] || fail "hostile version: last event '$(last_event)'"
[ ! -e "$SCRATCH/h/.k-vcs/temp/x" ] || fail "hostile version: the work folder was written"

# --- only a whole version file loads, and only such a file is cached ------------------------------
# damage_version LABEL PYTHON_EXPRESSION: version 2 of a copy of the storage becomes the bytes
# the expression makes of `b`, its whole file; a restore into a folder without a cache must fail
# at its load, change nothing and cache nothing.
damage_version() {
  rm -rf "$SCRATCH/damaged"
  cp -r "$store" "$SCRATCH/damaged"
  python3 -c "import sys; p = sys.argv[1]; b = open(p, 'rb').read(); open(p, 'wb').write($2)" \
    "$SCRATCH/damaged/projects/erin/app/2.gz"
  fresh_copy "$src" "$dst"
  put_file "$dst/untracked.txt" "local work" 1600000050
  snapshot "$dst" "$SCRATCH/snap/before"
  kvcs_ok "$1" "$dst" -m=restore -s="$SCRATCH/damaged"
  [ "$(last_event)" = "kestrun::vcs::load! 2" ] || fail "$1: last event '$(last_event)'"
  expect_unchanged "$1" "$dst"
  [ -z "$(find "$dst/.k-vcs" -name 2.gz)" ] || fail "$1: the damaged version entered the cache"
  [ -z "$(find "$dst/.k-vcs/temp" -type f 2>/dev/null)" ] || fail "$1: a temporary file was left"
}
damage_version "CRC-32 wrong" "b[:-8] + bytes([b[-8] ^ 1]) + b[-7:]"
damage_version "length wrong" "b[:-1] + bytes([b[-1] ^ 1])"
damage_version "trailer missing" "b[:-8]"
damage_version "a second stream after the last command" "b + b"
# The storage serves the whole file again: the next run fetches it and succeeds.
cp "$store/projects/erin/app/2.gz" "$SCRATCH/damaged/projects/erin/app/2.gz"
kvcs_ok "repaired" "$dst" -m=restore -s="$SCRATCH/damaged"
expect_verdict "repaired" "kestrun::vcs::save local"
[ -n "$(find "$dst/.k-vcs" -name 2.gz)" ] || fail "repaired: version 2 was not cached"

# --- a restore that cannot change an entry ---------------------------------------------------------
fresh_copy "$src" "$dst"
kvcs_ok "restore for the frozen case" "$dst" -m=restore -s="$store"
put_file "$dst/file/.k-vcs" "local change" 1600000060
put_file "$dst/extra.txt" "local, not in the version" 1600000061
rm "$dst/a.txt"
if ! chattr +i "$dst/file/.k-vcs" "$dst/extra.txt" 2>/dev/null; then
  echo "skipped: the immutable-file restore (chattr +i is refused on this file system)"
else
  # The scratch folder can only be removed once the flags are off again, whatever happens.
  trap 'chattr -i "$dst/file/.k-vcs" "$dst/extra.txt" 2>/dev/null || true
        [ -n "${KVCS_KEEP_TEMP:-}" ] || rm -rf "$SCRATCH"' EXIT
  kvcs_ok frozen "$dst" -m=restore -s="$store"
  # Each entry that stays is named with the system's reason; a changed file is replaced in one
  # step, never removed first.
  expect_event frozen "kestrun::vcs::file::remove~ $dst/extra\\.txt: .+"
  expect_no_event frozen "kestrun::vcs::file::remove~ $dst/file/.*"
  expect_event frozen "kestrun::vcs::file::write::open~ file/\\.k-vcs: .+"
  expect_content "$dst/file/.k-vcs" "local change" "frozen: file/.k-vcs"
  expect_verdict frozen "kestrun::vcs::save! local"
  # Without -l the failure is what the console shows; the rest of the version is in place.
  grep -q '^kestrun::vcs::save! local$' "$SCRATCH/out" || fail "frozen: the failure is not shown"
  expect_content "$dst/a.txt" "alpha" "frozen: a.txt"
  chattr -i "$dst/file/.k-vcs" "$dst/extra.txt"
fi

finish
