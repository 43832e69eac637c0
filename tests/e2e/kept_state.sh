#!/usr/bin/env bash
# A run replays only the versions stored after the state it kept in the work folder, so a long
# history costs each backup its new versions only. The kept state never outlives the storage it
# was replayed from: a storage emptied and written anew from another folder is replayed as it now
# is, and a kept state damaged in place is ignored.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

# The version files the last run read.
loads() { count_events 'kestrun::vcs::load [0-9]+'; }

# expect_loads LABEL N
expect_loads() {
  [ "$(loads)" -eq "$2" ] || fail "$1: $(loads) version files read, expected $2"
}

src=$SCRATCH/app
store=$SCRATCH/storage
mkdir -p "$store"
make_project "$src" kim/app
versions=25
for n in $(seq 1 $versions); do
  put_file "$src/f$n.txt" "file $n" "$((1600000000 + n))"
  [ "$n" -le 3 ] || rm "$src/f$((n - 3)).txt"
  kvcs_ok "backup $n" "$src" -m=backup -s="$store"
  expect_verdict "backup $n" "kestrun::vcs::save $n"
  # Only the version the backup before wrote is read: the earlier ones are in the kept state.
  [ "$(loads)" -le 1 ] || fail "backup $n: $(loads) version files read"
done
kvcs_ok "unchanged 1" "$src" -m=backup -s="$store"
expect_verdict "unchanged 1" "kestrun::vcs::save commands empty"
expect_loads "unchanged 1" 1
kvcs_ok "unchanged 2" "$src" -m=backup -s="$store"
expect_verdict "unchanged 2" "kestrun::vcs::save commands empty"
expect_loads "unchanged 2" 0
snapshot "$src" "$SCRATCH/snap/latest"

# An older version is replayed from version 1; the kept state of the latest stays.
kvcs_ok "restore 10" "$src" -m=restore -s="$store" -n=10
expect_verdict "restore 10" "kestrun::vcs::save local"
expect_loads "restore 10" 10
expect_content "$src/f10.txt" "file 10" "restore 10"
[ ! -e "$src/f11.txt" ] || fail "restore 10: f11.txt is there"
kvcs_ok "restore latest" "$src" -m=restore -s="$store"
expect_verdict "restore latest" "kestrun::vcs::save local"
expect_loads "restore latest" 0
expect_tree "restore latest" "$src" "$SCRATCH/snap/latest"

# A restore into a folder without a cache reads every version, and keeps its state too.
fresh=$SCRATCH/fresh
fresh_copy "$src" "$fresh"
kvcs_ok "fresh restore" "$fresh" -m=restore -s="$store"
expect_loads "fresh restore" "$versions"
expect_tree "fresh restore" "$fresh" "$SCRATCH/snap/latest"
kvcs_ok "fresh unchanged" "$fresh" -m=backup -s="$store"
expect_verdict "fresh unchanged" "kestrun::vcs::save commands empty"
expect_loads "fresh unchanged" 0

# --- the storage emptied and written anew from another folder ---------------------------------
find "$store" -mindepth 1 -delete
other=$SCRATCH/other
make_project "$other" kim/app
for n in 1 2 3; do
  put_file "$other/o$n.txt" "other $n" "$((1700000000 + n))"
  kvcs_ok "other backup $n" "$other" -m=backup -s="$store"
  expect_verdict "other backup $n" "kestrun::vcs::save $n"
done
snapshot "$other" "$SCRATCH/snap/other"
kvcs_ok "restore over the old cache" "$src" -m=restore -s="$store"
expect_verdict "restore over the old cache" "kestrun::vcs::save local"
expect_event "restore over the old cache" "kestrun::vcs::cache::stale~ 3"
expect_loads "restore over the old cache" 3
expect_tree "restore over the old cache" "$src" "$SCRATCH/snap/other"
kvcs_ok "unchanged after the new storage" "$src" -m=backup -s="$store"
expect_verdict "unchanged after the new storage" "kestrun::vcs::save commands empty"
expect_loads "unchanged after the new storage" 0
put_file "$src/n.txt" "new" 1700000010
kvcs_ok "backup into the new storage" "$src" -m=backup -s="$store"
expect_verdict "backup into the new storage" "kestrun::vcs::save 4"
snapshot "$src" "$SCRATCH/snap/new"
fresh_copy "$src" "$fresh"
kvcs_ok "fresh restore of the new storage" "$fresh" -m=restore -s="$store"
expect_tree "fresh restore of the new storage" "$fresh" "$SCRATCH/snap/new"
storage_check "new storage" "$store"

# --- a kept state damaged in place ------------------------------------------------------------
kept=$(find "$src/.k-vcs" -mindepth 2 -maxdepth 2 -name state)
[ -f "$kept" ] || fail "no kept state in the work folder"
kvcs_ok "kept" "$src" -m=backup -s="$store"
expect_loads "kept" 1
python3 -c 'import sys
p = sys.argv[1]
b = bytearray(open(p, "rb").read())
b[len(b) // 2] ^= 0x01
open(p, "wb").write(bytes(b))' "$kept"
kvcs_ok "damaged kept state" "$src" -m=backup -s="$store"
expect_verdict "damaged kept state" "kestrun::vcs::save commands empty"
expect_loads "damaged kept state" 4
kvcs_ok "kept again" "$src" -m=backup -s="$store"
expect_loads "kept again" 0

finish
