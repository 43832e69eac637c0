#!/usr/bin/env bash
# Runs that meet: a second run on a project folder while one works there (a backup, a restore,
# a killed one), two machines saving one project into one storage that has no hard links, what
# reaches the disk before a version is reported saved, and runs of one second that each keep
# their own log. The placement seam (preloaded) slows the placing of stored files, so that runs
# meet inside it, refuses hard links as FAT and SMB shares do, and journals the flushing calls.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

SEAM=$(dirname "$KVCS")/kvcs-placement-seam.so
[ -f "$SEAM" ] || {
  echo "no placement seam at $SEAM"
  exit 1
}
# The sanitizers' runtime wants to come first; the seam comes first here on purpose.
SEAM_ENV=(LD_PRELOAD="$SEAM" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0")

store=$SCRATCH/storage
mkdir -p "$store"

# fill DIR ROUND: a few files whose contents differ from round to round.
fill() {
  for i in 1 2 3 4 5 6; do
    put_file "$1/src/f$i.txt" "file $i of round $2 $(head -c 3000 /dev/zero | tr '\0' "$i")" \
      $((1600000000 + $2))
  done
}

# background NAME ENV... -- ARGS...: starts kvcs with its own configuration folder; its output
# goes to $SCRATCH/NAME.out. The process id lands in $bg_pid.
background() {
  local name=$1
  shift
  local envs=()
  while [ "$1" != "--" ]; do
    envs+=("$1")
    shift
  done
  shift
  mkdir -p "$SCRATCH/config/$name"
  env XDG_CONFIG_HOME="$SCRATCH/config/$name" "${envs[@]}" "$KVCS" "$@" \
    >"$SCRATCH/$name.out" 2>"$SCRATCH/$name.err" &
  bg_pid=$!
}

# log_of NAME: the decompressed log of the background run NAME.
log_of() {
  local logs=("$SCRATCH/config/$1/Kestrun VCS/logs/"*.gz)
  gzip -dc "${logs[0]}" 2>/dev/null || true
}

# wait_for PATH: until PATH exists (at most 20 s).
wait_for() {
  local tries=0
  while [ ! -e "$1" ] && [ $tries -lt 400 ]; do
    sleep 0.05
    tries=$((tries + 1))
  done
  [ -e "$1" ] || fail "waited in vain for $1"
}

# storage_digest: every stored file with its checksum, leftovers of cut uploads included.
storage_digest() {
  (cd "$store" && find . -type f -print0 | xargs -0 -r sha256sum | LC_ALL=C sort)
}

# --- one run per project folder --------------------------------------------------------------
site=$SCRATCH/site
make_project "$site" olga/site
fill "$site" 1
kvcs_ok "first backup" "$site" -m=backup -s="$store"
expect_verdict "first backup" "kestrun::vcs::save 1"
fill "$site" 2

# A second backup and a restore while a slow backup works on the folder: each ends at once with
# the level-2 event, and the storage, the cache and the first run's temporary files stay as
# they are; the first run stores its version as if alone.
for second in backup restore; do
  background slow "${SEAM_ENV[@]}" KVCS_SEAM_DELAY_MS=400 -- "$site" -m=backup -s="$store"
  slow=$bg_pid
  wait_for "$site/.k-vcs/temp"
  kvcs_run "$site" -m=$second -s="$store"
  expect_status 0 "second $second"
  lock_line="kestrun::vcs::project::lock! Another run is working on the project olga/site in $site/"
  # Found the project, then the lock held: nothing cleared, fetched, cached or stored.
  [ "$(log_events | tr '\n' '|')" = "kestrun::vcs::project::path |$lock_line|" ] ||
    fail "second $second: events '$(log_events | tr '\n' '|')'"
  grep -qF "$lock_line" "$SCRATCH/out" ||
    fail "second $second: the console does not say that another run works on the project"
  wait "$slow" || fail "slow backup beside a $second: exit code $?"
  slow_log=$(log_of slow)
  grep -Eqx 'kestrun::vcs::save [0-9]+' <<<"$slow_log" ||
    fail "slow backup beside a $second: $(grep 'kestrun::vcs::save' <<<"$slow_log" | tail -1)"
  rm -rf "$SCRATCH/config/slow"
  snapshot "$site" "$SCRATCH/snap/site"
  fresh_copy "$site" "$SCRATCH/check"
  kvcs_ok "restore beside a $second" "$SCRATCH/check" -m=restore -s="$store"
  expect_tree "the slow backup beside a $second stored its tree" "$SCRATCH/check" "$SCRATCH/snap/site"
  fill "$site" 3
done
storage_check "after the runs that met" "$store"

# A run killed while it holds the folder leaves nothing that blocks the next one.
fill "$site" 4
background killed "${SEAM_ENV[@]}" KVCS_SEAM_DELAY_MS=2000 -- "$site" -m=backup -s="$store"
killed=$bg_pid
wait_for "$site/.k-vcs/temp"
sleep 0.3
kill -9 "$killed"
wait "$killed" 2>/dev/null || true
kvcs_ok "backup after a killed one" "$site" -m=backup -s="$store"
expect_event "backup after a killed one" "kestrun::vcs::save [0-9]+"
storage_check "after a killed run" "$store"
snapshot "$site" "$SCRATCH/snap/site"
restored=$SCRATCH/restored
fresh_copy "$site" "$restored"
kvcs_ok "restore of the latest" "$restored" -m=restore -s="$store"
expect_tree "restore of the latest" "$restored" "$SCRATCH/snap/site"

# A restore downloads by hard link where the storage lies on the same file system; a backup of
# the restored folder right after it leaves every stored file as it was.
storage_digest >"$SCRATCH/digest.before"
fill "$restored" 5
kvcs_ok "backup of the restored folder" "$restored" -m=backup -s="$store"
comm -23 "$SCRATCH/digest.before" <(storage_digest) | grep -q . &&
  fail "a stored file changed after a restore and a backup"

# --- two machines, one storage without hard links ----------------------------------------------
for variant in no-links no-links-no-rename; do
  shared=$SCRATCH/shared-$variant
  mkdir -p "$shared"
  one=$SCRATCH/$variant-one
  two=$SCRATCH/$variant-two
  make_project "$one" pia/shared
  fill "$one" 1
  kvcs_ok "$variant: version 1" "$one" -m=backup -s="$shared"
  cp -a "$one" "$two"
  put_file "$one/only-one.txt" "written on the first machine"
  put_file "$two/only-two.txt" "written on the second machine"
  seam=("${SEAM_ENV[@]}" KVCS_SEAM_LINK=refuse KVCS_SEAM_DELAY_MS=300)
  [ "$variant" = no-links-no-rename ] && seam+=(KVCS_SEAM_RENAME2=refuse)
  background one "${seam[@]}" -- "$one" -m=backup -s="$shared"
  first=$bg_pid
  background two "${seam[@]}" -- "$two" -m=backup -s="$shared"
  second=$bg_pid
  wait "$first" || fail "$variant: first machine's exit code"
  wait "$second" || fail "$variant: second machine's exit code"
  verdicts=$( (log_of one; log_of two) | grep -E '^kestrun::vcs::save!? ' | sort | tr '\n' ' ')
  [ "$verdicts" = "kestrun::vcs::save 2 kestrun::vcs::save! 2 " ] ||
    fail "$variant: verdicts '$verdicts', expected one 'save 2' and one 'save! 2'"
  winner=$one
  loser=$two
  grep -qx 'kestrun::vcs::save 2' <(log_of two) && winner=$two && loser=$one
  storage_check "$variant: after both" "$shared"
  snapshot "$winner" "$SCRATCH/snap/winner"
  check=$SCRATCH/$variant-check
  fresh_copy "$one" "$check"
  kvcs_ok "$variant: restore of version 2" "$check" -m=restore -s="$shared" -n=2
  expect_tree "$variant: version 2 is the winner's" "$check" "$SCRATCH/snap/winner"
  # The machine that lost simply runs again.
  kvcs_ok "$variant: the loser again" "$loser" -m=backup -s="$shared"
  expect_verdict "$variant: the loser again" "kestrun::vcs::save 3"
  snapshot "$loser" "$SCRATCH/snap/loser"
  fresh_copy "$one" "$check"
  kvcs_ok "$variant: restore of version 3" "$check" -m=restore -s="$shared"
  expect_tree "$variant: version 3 is the loser's" "$check" "$SCRATCH/snap/loser"
  leftovers=$(find "$shared" -name '*.partial-*' | wc -l)
  [ "$leftovers" -eq 0 ] || fail "$variant: $leftovers leftovers in the storage"
  rm -rf "$SCRATCH/config/one" "$SCRATCH/config/two"
done

# --- what is on the disk before "save N" -------------------------------------------------------
# Contents stay in the page cache until one flush of the storage's file system before the
# version file; the version file is flushed before it takes its name, its folder after.
durable=$SCRATCH/durable-store
mkdir -p "$durable"
fill "$site" 6
journal=$SCRATCH/journal
background durable "${SEAM_ENV[@]}" KVCS_SEAM_JOURNAL="$journal" -- "$site" -m=backup -s="$durable"
wait "$bg_pid" || fail "durable backup: exit code"
grep -qx 'kestrun::vcs::save 1' <(log_of durable) || fail "durable backup: not saved"
version=$durable/projects/olga/site/1.gz
order=$(awk -v store="$durable" -v version="$version" '
  $1 == "syncfs" && index($2, store) == 1 { print "syncfs" }
  $1 == "fsync" && index($2, version ".partial-") == 1 { print "fsync version" }
  $1 == "link" && $3 == version { print "link version" }
  $1 == "fsync" && $2 == store "/projects/olga/site" { print "fsync folder" }
  $1 == "fsync" && index($2, store "/files/") == 1 { print "fsync content" }
' "$journal" | tr '\n' ',')
[ "$order" = "syncfs,fsync version,link version,fsync folder," ] ||
  fail "durable backup: flushing order '$order'"
grep -q "^link .*$durable/files/" "$journal" || fail "durable backup: no content placed by a link"

# --- every run keeps its own log ---------------------------------------------------------------
logs_config=$SCRATCH/config/same-second
for _ in 1 2 3 4 5 6; do
  XDG_CONFIG_HOME=$logs_config "$KVCS" "$site" -m=backup -s="$store" --nosave >/dev/null 2>&1 ||
    fail "quick run: exit code"
done
count=$(find "$logs_config/Kestrun VCS/logs" -name '*.gz' | wc -l)
[ "$count" -eq 6 ] || fail "six runs in a row left $count logs"
for log in "$logs_config/Kestrun VCS/logs/"*.gz; do
  name=$(basename "$log" .gz)
  expect_match "$name" "${STAMP_RE}(_[0-9]+)?" "log name $name"
  stamp=$name
  [[ "$name" =~ ^(.*)_[0-9]+$ ]] && stamp=${BASH_REMATCH[1]}
  [ "$(gzip -dc "$log" | head -n 1)" = "$stamp" ] || fail "log $name: first line is not its stamp"
done

finish
