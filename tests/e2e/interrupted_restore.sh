#!/usr/bin/env bash
# Restores killed midway. Every new content is fetched and finished inside .k-vcs/temp before the
# folder changes, then moved over its target in one step: a kill while the contents are fetched
# leaves the folder exactly as it was, a kill among the moves leaves each file its old or its new
# content, never a cut-short one, and no leftover ever stands in the project where a backup
# would store it. The next restore completes and clears what the killed one left.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

src=$SCRATCH/tree
store=$SCRATCH/storage
dst=$SCRATCH/restored
mkdir -p "$store"
make_project "$src" gina/killed
for i in 1 2 3; do put_file "$src/a/f$i.txt" "small file $i"; done
put_file "$src/z/last.txt" "after the large one"
put_random "$src/big/random.bin" $((48 << 20))
kvcs_ok backup "$src" -m=backup -s="$store"
snapshot "$src" "$SCRATCH/snap/src"

command -v strace >/dev/null || { echo "strace is missing (scripts/setup test installs it)" >&2; exit 1; }

# A kill at the fourth move of a finished file into place (a/f1..f3 come first) finds the large
# file complete in the work folder, not under its name; a kill at a write comes while the large
# file is decoded (it takes about 190 writes of 256 KiB; the console's writes before it vary with
# the build's speed), before anything in the folder changed. Each restore starts from a folder
# with local edits that it would replace.
for at in rename:4 write:150; do
  fresh_copy "$src" "$dst"
  for i in 1 2 3; do put_file "$dst/a/f$i.txt" "local edit $i" 1600000100; done
  put_file "$dst/big/random.bin" "local edit of the large one" 1600000100
  put_file "$dst/local.txt" "not in the version" 1600000100
  snapshot "$dst" "$SCRATCH/snap/before"
  export XDG_CONFIG_HOME=$SCRATCH/config/kill${at%%:*}
  mkdir -p "$XDG_CONFIG_HOME"
  call=${at%%:*}
  [ "$call" = rename ] && call=renameat2,renameat,rename
  set +e
  strace -f -o /dev/null -e trace="$call" -e inject="$call":signal=KILL:when=${at#*:} \
    "$KVCS" "$dst" -m=restore -s="$store" >/dev/null 2>&1
  code=$?
  set -e
  unset XDG_CONFIG_HOME
  [ "$code" -eq 137 ] || fail "kill at $at: exit code $code"
  if [ "${at%%:*}" = rename ]; then
    [ -n "$(find "$dst/.k-vcs/temp" -type f -size +47M 2>/dev/null)" ] ||
      fail "kill at $at: the large file was not finished in the work folder"
    expect_content "$dst/big/random.bin" "local edit of the large one" "kill at $at: big/random.bin"
  else
    expect_unchanged "kill at $at: the folder changed before the contents were in hand" "$dst"
  fi
  # Whatever stands under a real name is whole: the stored file or the local one.
  while IFS= read -r -d '' file; do
    rel=${file#"$dst"/}
    [ "$rel" = local.txt ] && continue
    cmp -s "$file" "$src/$rel" || grep -q '^local edit' "$file" ||
      fail "kill at $at: $rel is neither the stored file nor the local one"
  done < <(find "$dst" -path "$dst/.k-vcs" -prune -o -type f -print0)
  [ -z "$(find "$dst" -path "$dst/.k-vcs" -prune -o -name '.k-vcs-new-*' -print)" ] ||
    fail "kill at $at: a temporary file stands in the project"
  # A backup of the cut folder stores nothing the restore left behind.
  mkdir -p "$SCRATCH/after-kill-${at%%:*}"
  kvcs_ok "backup after the kill at $at" "$dst" -m=backup -s="$SCRATCH/after-kill-${at%%:*}"
  if version_paths "$SCRATCH/after-kill-${at%%:*}" gina/killed 1 | grep -q 'k-vcs'; then
    fail "kill at $at: the backup stored a leftover of the restore"
  fi
  kvcs_ok "restore after the kill at $at" "$dst" -m=restore -s="$store"
  expect_verdict "restore after the kill at $at" 'kestrun::vcs::save local'
  expect_tree "restore after the kill at $at" "$dst" "$SCRATCH/snap/src"
  [ -z "$(find "$dst" -name '.k-vcs-new-*')" ] || fail "kill at $at: a temporary file stayed"
done

# --- a folder of the project on another file system ---------------------------------------------
# A file there cannot be moved from .k-vcs/temp: it is copied beside its target first and still
# replaces it in one step, leaving nothing behind.
mnt_src=$SCRATCH/mnt-tree
mnt_store=$SCRATCH/mnt-storage
mnt_dst=$SCRATCH/mnt-restored
mkdir -p "$mnt_store"
make_project "$mnt_src" gina/mounted
put_file "$mnt_src/top.txt" "top"
put_file "$mnt_src/mnt/a.txt" "a on another file system" 1600000201
put_file "$mnt_src/mnt/sub/b.txt" "b on another file system" 1600000202
kvcs_ok "mounted: backup" "$mnt_src" -m=backup -s="$mnt_store"
snapshot "$mnt_src" "$SCRATCH/snap/mnt"
fresh_copy "$mnt_src" "$mnt_dst"
mkdir -p "$mnt_dst/mnt"
if mount -t tmpfs -o size=16m tmpfs "$mnt_dst/mnt" 2>/dev/null; then
  trap 'umount "$mnt_dst/mnt" 2>/dev/null || true; [ -n "${KVCS_KEEP_TEMP:-}" ] || rm -rf "$SCRATCH"' EXIT
  put_file "$mnt_dst/mnt/a.txt" "local edit" 1600000300
  kvcs_ok "mounted: restore" "$mnt_dst" -m=restore -s="$mnt_store"
  expect_verdict "mounted: restore" 'kestrun::vcs::save local'
  expect_tree "mounted: restore" "$mnt_dst" "$SCRATCH/snap/mnt"
  [ -z "$(find "$mnt_dst" -name '.k-vcs-new-*')" ] || fail "mounted: a temporary file stayed"
  umount "$mnt_dst/mnt"
else
  echo "skipped: a folder on another file system (mount -t tmpfs is refused here)"
fi

finish
