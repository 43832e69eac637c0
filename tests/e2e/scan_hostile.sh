#!/usr/bin/env bash
# Entries and ".gitignore" lines that once hung, crashed or emptied a backup: FIFOs, sockets and
# devices in the tree (and a FIFO where a restore writes a file), folders that cannot be searched
# (as an unprivileged user) or lie past the path limit, a project folder that a rule above it
# names, lines that are not UTF-8 or cannot be used, and lines that broke the old expression
# matcher. Every run must end on its own (a time limit stands guard) with a complete log and the
# version it ought to write.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

REAL_KVCS=$KVCS
# A hang is a failure, not a stuck test run.
KVCS=$SCRATCH/kvcs-timed
printf '#!/bin/sh\nexec timeout 120 "%s" "$@"\n' "$REAL_KVCS" >"$KVCS"
chmod +x "$KVCS"

store=$SCRATCH/storage
mkdir -p "$store"

# backup_paths LABEL DIR OWNER/NAME N EXPECTED: a backup of DIR that writes version N holding
# exactly the commands EXPECTED ("AF path" lines).
backup_paths() {
  kvcs_ok "$1" "$2" -m=backup -s="$store"
  expect_verdict "$1" "kestrun::vcs::save $4"
  expect_content <(version_paths "$store" "$3" "$4") "$5" "$1: version $4"
}

# --- 1. FIFOs, sockets and devices ----------------------------------------------------------------
p=$SCRATCH/special
make_project "$p" erin/special
put_file "$p/plain.txt" "plain"
mkfifo "$p/pipe"
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$p/socket"
device=""
if mknod "$p/zero" c 1 5 2>/dev/null; then
  device=mknod
elif touch "$p/zero" && mount --bind /dev/zero "$p/zero" 2>/dev/null; then
  device=bind
  trap 'umount "$p/zero" 2>/dev/null || true; rm -rf "$SCRATCH"' EXIT
else
  rm -f "$p/zero"
  echo "skipped: no device node in the tree (mknod and a bind mount of /dev/zero both refused)"
fi
backup_paths special "$p" erin/special 1 "AF kestrun-vcs.json
AF plain.txt
"
[ -z "$device" ] || echo "device node made by $device: left out"
[ "$device" != bind ] || umount "$p/zero"
# A FIFO where a restore must write a file is left alone with a warning, not waited on; the
# folder then does not match the version, so the verdict is a failure.
rm "$p/plain.txt"
mkfifo "$p/plain.txt"
kvcs_ok "special restore" "$p" -m=restore -s="$store"
expect_event "special restore" 'kestrun::vcs::file::write::open~ plain\.txt: .+'
expect_verdict "special restore" 'kestrun::vcs::save! local'
[ -p "$p/plain.txt" ] || fail "special restore: the FIFO was replaced"

# --- 2. folders that cannot be listed, as an unprivileged user --------------------------------------
# What cannot be read keeps its history: the version is saved with everything else, nothing below
# such a folder is removed, an error names the folder, and the verdict says the run fell short.
p=$SCRATCH/denied
make_project "$p" erin/denied
put_file "$p/open/file.txt" "readable"
put_file "$p/nosearch/hidden.txt" "in a folder without search permission"
put_file "$p/nosearch/.gitignore" "*.log"
put_file "$p/closed/hidden.txt" "in a folder without any permission"
first=$SCRATCH/denied-first
make_project "$first" erin/denied-first
put_file "$first/closed/hidden.txt" "never readable"
put_file "$first/open.txt" "readable"
if [ "$(id -u)" -ne 0 ] || ! setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
  echo "skipped: the unprivileged runs need root and setpriv"
else
  # Version 1 while everything can be read.
  backup_paths denied-readable "$p" erin/denied 1 "AD closed
AF closed/hidden.txt
AF kestrun-vcs.json
AD nosearch
AF nosearch/.gitignore
AF nosearch/hidden.txt
AD open
AF open/file.txt
"
  chmod 755 "$SCRATCH"
  put_file "$p/open/new.txt" "saved with the rest"
  chown -R 65534:65534 "$p" "$first" "$store"
  chmod 644 "$p/nosearch" # listable, not searchable
  chmod 000 "$p/closed" "$first/closed"
  UNPRIVILEGED=$SCRATCH/kvcs-nobody
  printf '#!/bin/sh\nchown -R 65534:65534 "$XDG_CONFIG_HOME"\nexec setpriv --reuid=65534 --regid=65534 --clear-groups timeout 120 "%s" "$@"\n' \
    "$REAL_KVCS" >"$UNPRIVILEGED"
  chmod +x "$UNPRIVILEGED"
  KVCS=$UNPRIVILEGED
  kvcs_ok denied "$p" -m=backup -s="$store"
  expect_verdict denied 'kestrun::vcs::save! 2'
  expect_content <(version_paths "$store" erin/denied 2) "AF open/new.txt
" "denied: version 2"
  expect_event denied "kestrun::vcs::finder::scan::dir! $p/closed: Permission denied"
  expect_event denied "kestrun::vcs::finder::scan::dir! $p/nosearch: Permission denied"
  grep -qF "$p/closed: Permission denied" "$SCRATCH/out" ||
    fail "denied: the unread folder is not on the console"
  # A restore here leaves the unread folders alone and says it could not do all.
  rm "$p/open/file.txt"
  kvcs_ok "denied restore" "$p" -m=restore -s="$store"
  expect_verdict "denied restore" 'kestrun::vcs::save! local'
  [ -f "$p/open/file.txt" ] || fail "denied restore: open/file.txt not restored"
  # A first backup records the folder, not its content.
  kvcs_ok denied-first "$first" -m=backup -s="$store"
  expect_verdict denied-first 'kestrun::vcs::save! 1'
  expect_content <(version_paths "$store" erin/denied-first 1) "AD closed
AF kestrun-vcs.json
AF open.txt
" "denied-first: version 1"
  expect_event denied-first "kestrun::vcs::finder::scan::dir! $first/closed: Permission denied"
  KVCS=$SCRATCH/kvcs-timed
  chmod 755 "$p/nosearch" "$p/closed" "$first/closed"
  # Restored elsewhere, the history still holds what could not be read.
  fresh_copy "$p" "$SCRATCH/denied-elsewhere"
  kvcs_ok "denied elsewhere" "$SCRATCH/denied-elsewhere" -m=restore -s="$store"
  expect_verdict "denied elsewhere" 'kestrun::vcs::save local'
  for f in closed/hidden.txt nosearch/hidden.txt open/new.txt open/file.txt; do
    [ -f "$SCRATCH/denied-elsewhere/$f" ] || fail "denied elsewhere: $f is missing"
  done
fi

# --- 2b. a tree deeper than the system's path limit -----------------------------------------------
# Every entry is backed up at any depth, the ignore files down there count, and the stored content
# is the file's own.
p=$SCRATCH/deep
make_project "$p" erin/deep
(
  cd "$p"
  long=$(printf 'n%.0s' $(seq 1 200))
  for _ in $(seq 1 24); do
    mkdir "$long"
    cd "$long"
  done
  printf deep >deepest.txt
  printf 'ignored down here' >deepest.log
  printf '*.log\n' >.gitignore
  ln -s "$p/top.txt" to_top
)
put_file "$p/top.txt" "top"
kvcs_ok deep "$p" -m=backup -s="$store"
expect_verdict deep 'kestrun::vcs::save 1'
[ "$(count_events 'kestrun::vcs::[^ ]*! .*')" -eq 0 ] || fail "deep: an error in the log"
"${READER[@]}" version "$store/projects/erin/deep/1.gz" >"$SCRATCH/deep.json"
python3 - "$SCRATCH/deep.json" "$store" <<'PY' || fail "deep: version 1 lacks the deep entries"
import gzip, json, sys
lines = [json.loads(l) for l in open(sys.argv[1])][1:]
by_name = {c["path"].rsplit("/", 1)[-1]: c for c in lines}
deepest = by_name["deepest.txt"]
assert len(deepest["path"]) > 4096 and deepest["size"] == 4, deepest
blob = open(sys.argv[2] + "/" + deepest["blob"], "rb").read()
assert (gzip.decompress(blob[1:]) if blob[0] == 1 else blob[1:]) == b"deep", blob
assert by_name["to_top"]["target"] == "top.txt", by_name["to_top"]
assert ".gitignore" in by_name and "deepest.log" not in by_name
PY

# --- 3. a rule above the project that names the project folder ------------------------------------
outer=$SCRATCH/outer
p=$outer/proj
make_project "$p" erin/outer
put_file "$p/a.txt" "a"
put_file "$p/sub/b.txt" "b"
put_file "$p/sub/proj/c.txt" "below the root the rule still holds"
backup_paths outer-1 "$p" erin/outer 1 "AF a.txt
AF kestrun-vcs.json
AD sub
AF sub/b.txt
AD sub/proj
AF sub/proj/c.txt
"
put_file "$outer/.gitignore" "proj/"
put_file "$p/.gitignore" "sub/"
put_file "$p/sub/d.txt" "d"
# The root and the subfolder a run starts from stay; sub/proj and, from the root, sub go.
backup_paths outer-sub "$p/sub" erin/outer 2 "R sub/proj/c.txt
R sub/proj
AF sub/d.txt
"
backup_paths outer-root "$p" erin/outer 3 "R sub/d.txt
R sub/b.txt
R sub
AF .gitignore
"
expect_event outer-root "kestrun::vcs::finder::ignore $p/sub <sub/> $p/\\.gitignore"

# --- 4. lines that are not text, characters that are, rules that cannot be used -------------------
p=$SCRATCH/lines
make_project "$p" erin/lines
printf '# price \xbd euro\n*.log\ntmp(\nfile(1).txt\ncaf\xe9/\ntmp[\n*.{js,ts}\n' >"$p/.gitignore"
for f in app.log tmp\( file\(1\).txt file1.txt a.js tmp\[ $'cr\rfolder/x.log' $'ls\u2028folder/y.log'; do
  put_file "$p/$f" "$f"
done
kvcs_ok lines "$p" -m=backup -s="$store"
expect_verdict lines 'kestrun::vcs::save 1'
"${READER[@]}" version "$store/projects/erin/lines/1.gz" >"$SCRATCH/lines.json"
got=$(python3 -c 'import json, sys
next(sys.stdin)
print("\n".join(repr(json.loads(l)["path"]) for l in sys.stdin))' <"$SCRATCH/lines.json")
expect_content <(printf '%s\n' "$got") "'.gitignore'
'a.js'
'cr\\rfolder'
'file1.txt'
'kestrun-vcs.json'
'ls\\u2028folder'
'tmp['
" "lines: version 1"
expect_event lines "kestrun::vcs::finder::ignore::rule~ $p/\\.gitignore:5 <caf\\\\xE9/> the line is not UTF-8"
expect_event lines "kestrun::vcs::finder::ignore::rule~ $p/\\.gitignore:6 <tmp\\[> .*"
[ "$(count_events 'kestrun::vcs::finder::ignore::rule~ .*')" -eq 2 ] ||
  fail "lines: not exactly the line that is no text and the unusable rule reported"

# --- 5. lines that crashed or stalled the old matcher ----------------------------------------------
p=$SCRATCH/stall
make_project "$p" erin/stall
{
  printf '%*s' 30000 '' | tr ' ' '('
  printf x
  printf '%*s\n' 30000 '' | tr ' ' ')'
  for _ in $(seq 1 31); do printf '*a'; done
  printf '*b\n\\#'
  for _ in $(seq 1 15); do printf '*a'; done
  printf '\n[[r__***********O***\n\\77777777777777777777\n'
} >"$p/.gitignore"
name=$(printf 'a%.0s' $(seq 1 40))
put_file "$p/$name" "a"
put_file "$p/#$name" "ignored by the escaped-hash line"
put_file "$p/#${name}c" "c"
put_file "$p/${name}b" "ignored by the star line"
kvcs_ok stall "$p" -m=backup -s="$store"
expect_verdict stall 'kestrun::vcs::save 1'
expect_event stall "kestrun::vcs::finder::ignore::rule~ $p/\\.gitignore:4 <\\[\\[r__.*"
expect_content <(version_paths "$store" erin/stall 1) "AF #${name}c
AF .gitignore
AF $name
AF kestrun-vcs.json
" "stall: version 1"

# --- 6. what a restore cut short left beside its target --------------------------------------------
# Never content: a dry run only names it, a real run names it and removes it.
p=$SCRATCH/leftover
make_project "$p" erin/leftover
put_file "$p/kept.txt" "kept"
put_file "$p/.k-vcs-new-0123456789ab" "half of a restored file"
put_file "$p/.k-vcs-new-not-ours" "a user's file of a like name"
kvcs_ok "leftover dry run" "$p" -m=backup -s="$store" --nosave
expect_event "leftover dry run" "kestrun::vcs::project::state::leftover \.k-vcs-new-0123456789ab"
[ -f "$p/.k-vcs-new-0123456789ab" ] || fail "leftover dry run: the leftover was removed"
kvcs_ok leftover "$p" -m=backup -s="$store"
expect_verdict leftover 'kestrun::vcs::save 1'
expect_content <(version_paths "$store" erin/leftover 1) "AF .k-vcs-new-not-ours
AF kept.txt
AF kestrun-vcs.json
" "leftover: version 1"
[ ! -e "$p/.k-vcs-new-0123456789ab" ] || fail "leftover: the leftover stayed"

finish
