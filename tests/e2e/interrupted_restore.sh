#!/usr/bin/env bash
# Restores killed while they write a large file: every file under its real name is whole (the
# killed file is absent or complete, never cut short), and the next restore completes, brings the
# tree back and clears what the killed one left under a temporary name.
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
mkdir -p "$src/big"
head -c $((48 << 20)) /dev/urandom >"$src/big/random.bin"
kvcs_ok backup "$src" -m=backup -s="$store"
snapshot "$src" "$SCRATCH/snap/src"

command -v strace >/dev/null || { echo "strace is missing (scripts/setup installs it)" >&2; exit 1; }

# A kill at the fourth move of a finished file into place (a/f1..f3 come first) finds the large
# file complete under its temporary name; a kill at a write mostly finds it half written (it
# takes about 190 writes of 256 KiB; the console's writes before it vary with the build's speed).
for at in rename:4 write:150; do
  fresh_copy "$src" "$dst"
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
    [ -n "$(find "$dst/big" -name '.k-vcs-new-*' 2>/dev/null)" ] ||
      fail "kill at $at: the large file was not written under a temporary name"
    [ ! -e "$dst/big/random.bin" ] || fail "kill at $at: the large file is under its name"
  fi
  # Whatever stands under a real name is whole.
  while IFS= read -r -d '' file; do
    rel=${file#"$dst"/}
    case $(basename "$rel") in .k-vcs-new-*) continue ;; esac
    cmp -s "$file" "$src/$rel" || fail "kill at $at: $rel is not the stored file"
  done < <(find "$dst" -path "$dst/.k-vcs" -prune -o -type f -print0)
  kvcs_ok "restore after the kill at $at" "$dst" -m=restore -s="$store"
  expect_verdict "restore after the kill at $at" 'kestrun::vcs::save local'
  expect_tree "restore after the kill at $at" "$dst" "$SCRATCH/snap/src"
  [ -z "$(find "$dst" -name '.k-vcs-new-*')" ] || fail "kill at $at: a temporary file stayed"
done

finish
