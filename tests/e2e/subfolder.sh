#!/usr/bin/env bash
# Runs on a folder below the project root: the scan, the stored state, the backup and the restore
# cover that folder only; nothing outside it is read into a version or touched on disk.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

src=$SCRATCH/mono
store=$SCRATCH/storage
mkdir -p "$store"
make_project "$src" carol/mono
put_file "$src/top.txt" "top 1" 1600000001
put_file "$src/part/a.txt" "a 1" 1600000002
put_file "$src/part/inner/b.txt" "b 1" 1600000003
put_file "$src/other/c.txt" "c 1" 1600000004
# A sibling whose name begins with the subfolder's: not inside it.
put_file "$src/partx/y.txt" "y 1" 1600000005

# inside FILE / outside FILE: the lines of a snapshot that lie in part/ or elsewhere.
inside() { grep -E '^[DFL] part(/| )' "$1" || true; }
outside() { grep -Ev '^[DFL] part(/| |$)' "$1" || true; }
# keep_outside: remember everything outside part/, folder times included.
keep_outside() {
  snapshot "$src" "$SCRATCH/snap/all-before" --dir-mtime
  outside "$SCRATCH/snap/all-before" >"$SCRATCH/snap/outside-before"
}
# expect_outside_kept LABEL
expect_outside_kept() {
  snapshot "$src" "$SCRATCH/snap/all-after" --dir-mtime
  outside "$SCRATCH/snap/all-after" >"$SCRATCH/snap/outside-after"
  cmp -s "$SCRATCH/snap/outside-before" "$SCRATCH/snap/outside-after" || {
    fail "$1: something outside part/ changed"
    diff "$SCRATCH/snap/outside-before" "$SCRATCH/snap/outside-after" | head -10 |
      sed 's/^/    /' >&2 || true
  }
}

kvcs_ok "backup 1" "$src" -m=backup -s="$store"
expect_verdict "backup 1" 'kestrun::vcs::save 1'
snapshot "$src" "$SCRATCH/snap/v1"

# --- backup of the subfolder: only its changes make version 2 ----------------------------------
put_file "$src/top.txt" "top 2" 1600000011
put_file "$src/other/c.txt" "c 2" 1600000012
put_file "$src/partx/y.txt" "y 2" 1600000013
put_file "$src/part/a.txt" "a 2" 1600000014
keep_outside
kvcs_ok "backup part" "$src/part" -m=backup -s="$store"
expect_verdict "backup part" 'kestrun::vcs::save 2'
expect_event "backup part" 'kestrun::vcs::project::path part'
expect_event "backup part" 'kestrun::vcs::project::state::path part'
expect_event "backup part" 'kestrun::vcs::storage::state::path part'
expect_event "backup part" 'kestrun::vcs::state::diff::start 3/3'
expect_no_event "backup part" 'kestrun::vcs::finder::scan::dir .*/(other|partx)'
expect_content <(version_paths "$store" carol/mono 2) "R part/a.txt
AF part/a.txt
" "version 2 commands"
expect_outside_kept "backup part"

# Given with a trailing '/' and changed only outside: no change.
kvcs_ok "backup part/" "$src/part/" -m=backup -s="$store"
expect_event "backup part/" 'kestrun::vcs::project::path part'
expect_verdict "backup part/" 'kestrun::vcs::save commands empty'

# A folder two levels down.
put_file "$src/part/inner/b.txt" "b 3" 1600000021
kvcs_ok "backup part/inner" "$src/part/inner" -m=backup -s="$store"
expect_event "backup part/inner" 'kestrun::vcs::project::path part/inner'
expect_verdict "backup part/inner" 'kestrun::vcs::save 3'
expect_content <(version_paths "$store" carol/mono 3) "R part/inner/b.txt
AF part/inner/b.txt
" "version 3 commands"
snapshot "$src" "$SCRATCH/snap/v3-local"

# --- restore of the subfolder: its content comes back, the rest stays as it is ----------------
put_file "$src/part/a.txt" "a local" 1600000031
put_file "$src/part/extra.txt" "extra" 1600000032
put_file "$src/other/extra.txt" "extra outside" 1600000033
put_file "$src/top.txt" "top local" 1600000034
keep_outside
kvcs_ok "restore part -n=1" "$src/part" -m=restore -s="$store" -n=1
expect_verdict "restore part -n=1" 'kestrun::vcs::save local'
expect_event "restore part -n=1" 'kestrun::vcs::state::diff::start 3/4'
expect_outside_kept "restore part -n=1"
snapshot "$src" "$SCRATCH/snap/now"
expect_content <(inside "$SCRATCH/snap/now") "$(inside "$SCRATCH/snap/v1")"$'\n' \
  "restore part -n=1: part/ as in version 1"

kvcs_ok "restore part/inner" "$src/part/inner" -m=restore -s="$store"
expect_verdict "restore part/inner" 'kestrun::vcs::save local'
expect_outside_kept "restore part/inner"
snapshot "$src" "$SCRATCH/snap/now"
expect_content <(grep -F 'part/inner/b.txt' "$SCRATCH/snap/now") \
  "$(grep -F 'part/inner/b.txt' "$SCRATCH/snap/v3-local")"$'\n' "restore part/inner: b.txt of version 3"
expect_content <(grep -F 'part/a.txt' "$SCRATCH/snap/now") \
  "$(grep -F 'part/a.txt' "$SCRATCH/snap/v1")"$'\n' "restore part/inner: part/a.txt left alone"

# The whole project at version 1 again, from the root.
kvcs_ok "restore -n=1" "$src" -m=restore -s="$store" -n=1
expect_verdict "restore -n=1" 'kestrun::vcs::save local'
expect_tree "restore -n=1" "$src" "$SCRATCH/snap/v1"

# --- a history written only by backups of a subfolder -----------------------------------------
# Its versions name app/main.c, but neither app itself nor the root's files: a restore of the
# root keeps the project file, keeps app (the version holds entries below it), and ends with
# app/ equal to the version.
p=$SCRATCH/apponly
pstore=$SCRATCH/apponly-storage
mkdir -p "$pstore"
make_project "$p" carol/apponly
put_file "$p/app/main.c" "int main;" 1600000041
put_file "$p/root.txt" "a root file" 1600000042
kvcs_ok "backup app" "$p/app" -m=backup -s="$pstore"
expect_verdict "backup app" 'kestrun::vcs::save 1'
put_file "$p/app/main.c" "int main(void);" 1600000043
kvcs_ok "backup app again" "$p/app" -m=backup -s="$pstore"
expect_verdict "backup app again" 'kestrun::vcs::save 2'
project_file=$(cat "$p/kestrun-vcs.json")
kvcs_ok "restore the root of app-only versions" "$p" -m=restore -s="$pstore" -n=1
expect_verdict "restore the root of app-only versions" 'kestrun::vcs::save local'
expect_no_event "restore the root of app-only versions" 'kestrun::vcs::[^ ]*[!~] .*'
expect_content "$p/kestrun-vcs.json" "$project_file" "restore the root: the project file"
expect_content "$p/app/main.c" "int main;" "restore the root: app/main.c of version 1"
[ ! -e "$p/root.txt" ] || fail "restore the root: a root file the version lacks stayed"
kvcs_ok "restore the root again" "$p" -m=restore -s="$pstore"
expect_verdict "restore the root again" 'kestrun::vcs::save local'
expect_content "$p/app/main.c" "int main(void);" "restore the root again: app/main.c"

finish
