#!/usr/bin/env bash
# Backups killed at random moments, and while they copy a file into the storage or into the
# version cache: afterwards every stored version still decodes completely and restores to the
# tree it was made from, and the next backup completes. The tries are bounded in number and time;
# KVCS_E2E_SEED repeats a sequence of kill moments.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

seed=${KVCS_E2E_SEED:-$(( $(date +%s) % 100000 ))}
RANDOM=$seed
echo "seed $seed (KVCS_E2E_SEED=$seed repeats it)"
max_tries=${KVCS_E2E_TRIES:-12}
budget=120  # seconds for all tries together

src=$SCRATCH/tree
store=$SCRATCH/storage
mkdir -p "$store"
make_project "$src" gina/interrupted

# mutate ROUND: round 0 makes the tree (about 250 source files, a dozen larger text files, a few
# compressed and random ones); every later round changes, adds and removes some of them and
# replaces the large random file, whose upload is then the longest copy of the backup.
# A killed backup is run again on the same tree, as a user would; the tree changes only after a
# backup that stored its version.
mutate() {
  python3 - "$src" "$1" <<'PY'
import os, random, sys
root, rnd_round = sys.argv[1], int(sys.argv[2])
r = random.Random(1000 + rnd_round)
mtime = 1700000000 + rnd_round * 100
words = "let the value of each item be read and written back once more into place".split()

def text(n):
    out, size = [], 0
    while size < n:
        line = " ".join(r.choice(words) for _ in range(r.randint(4, 14))) + "\n"
        out.append(line)
        size += len(line)
    return "".join(out).encode()

def put(rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))

if rnd_round == 0:
    for i in range(250):
        put(f"src/m{i % 7}/p{i % 5}/f{i}.txt", text(r.randint(1000, 30000)))
    for i in range(12):
        put(f"data/table{i}.csv", text(r.randint(300_000, 900_000)))
    for i in range(3):
        put(f"media/img{i}.jpg", r.randbytes(400_000))
else:
    files = sorted(os.path.relpath(os.path.join(d, f), root)
                   for d, _, fs in os.walk(root) if ".k-vcs" not in d for f in fs)
    files = [f for f in files if f.endswith(".txt")]
    for f in r.sample(files, 8):
        put(f, text(r.randint(1000, 30000)))
    for f in r.sample(files, 2):
        os.remove(os.path.join(root, f))
    for i in range(3):
        put(f"src/new{rnd_round}/n{i}.txt", text(r.randint(1000, 30000)))
put("big/random.bin", r.randbytes(16 << 20))
PY
}

# kill_when_open PID PREFIX [EXCLUDED]: kills PID as soon as it holds open a file whose path
# begins with PREFIX (and not with EXCLUDED); prints that path, or nothing when the process ends
# first.
kill_when_open() {
  python3 - "$1" "$2" "${3:-}" <<'PY'
import os, signal, sys
pid, prefix, excluded = int(sys.argv[1]), sys.argv[2], sys.argv[3]
fds = f"/proc/{pid}/fd"

def ended():
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in "ZX"
    except OSError:
        return True

rounds = 0
while True:
    rounds += 1
    try:
        names = os.listdir(fds)
    except OSError:
        sys.exit(0)
    if (not names or rounds % 256 == 0) and ended():
        sys.exit(0)
    for fd in names:
        try:
            target = os.readlink(f"{fds}/{fd}")
        except OSError:
            continue
        if target.startswith(prefix) and not (excluded and target.startswith(excluded)):
            os.kill(pid, signal.SIGKILL)
            print(target)
            sys.exit(0)
PY
}

mutate 0

# One backup left to finish tells how long a backup takes.
mkdir -p "$SCRATCH/calibration"
t0=$(date +%s%N)
kvcs_ok calibration "$src" -m=backup -s="$SCRATCH/calibration"
t1=$(date +%s%N)
full_ms=$(((t1 - t0) / 1000000))
rm -rf "$SCRATCH/calibration" "$src/.k-vcs"
echo "a full backup takes about ${full_ms} ms"
run_ms=$full_ms  # how long the last backup that ran to its end took: the range of random kills

# strace, when there, kills a run exactly at one of its file copies.
strace=$(command -v strace || true)
if [ -n "$strace" ] && ! "$strace" -f -o /dev/null true 2>/dev/null; then strace=""; fi
[ -n "$strace" ] || echo "no working strace: the kills at a chosen file copy become random ones"

start=$(date +%s)
tries=0
killed=0
changed=0
while [ "$tries" -lt "$max_tries" ] && [ $(($(date +%s) - start)) -lt "$budget" ]; do
  tries=$((tries + 1))
  if [ "$changed" -eq 1 ]; then mutate "$tries"; fi
  snapshot "$src" "$SCRATCH/snap/try$tries"
  before=$(stored_versions "$store" gina/interrupted)
  mkdir -p "$SCRATCH/config/kill$tries"
  export XDG_CONFIG_HOME=$SCRATCH/config/kill$tries
  mode=$((tries % 4))
  launched=$(date +%s%N)
  [ "$mode" -eq 2 ] && [ -z "$strace" ] && mode=3
  if [ "$mode" -eq 2 ]; then
    # At the k-th file copy of the run: with the version cache emptied first, the copies are the
    # downloads of every version file, then the blob uploads, then the version file's upload.
    if [ -d "$src/.k-vcs" ]; then
      find "$src/.k-vcs" -mindepth 1 -maxdepth 1 ! -name temp -exec rm -r {} +
    fi
    k=$((1 + RANDOM % (before + 16)))
    "$strace" -f -o /dev/null -e trace=sendfile,copy_file_range \
      -e inject=sendfile,copy_file_range:signal=KILL:when=$k \
      "$KVCS" "$src" -m=backup -s="$store" >"$SCRATCH/kill.out" 2>&1 &
    pid=$!
    how="at file copy $k"
  else
    "$KVCS" "$src" -m=backup -s="$store" >"$SCRATCH/kill.out" 2>&1 &
    pid=$!
  fi
  case $mode in
    0) # while a blob is copied into the storage
      how="while it held $(kill_when_open "$pid" "$store/files/")" ;;
    1 | 3) # at a random moment of the run
      delay=$((RANDOM % (run_ms * 6 / 5 + 1)))
      sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
      kill -KILL "$pid" 2>/dev/null || true
      how="after $delay ms" ;;
  esac
  unset XDG_CONFIG_HOME
  set +e
  { wait "$pid"; } 2>/dev/null  # the shell's own report of the killed job
  code=$?
  set -e
  [ "$code" -eq 137 ] && killed=$((killed + 1))
  after=$(stored_versions "$store" gina/interrupted)
  if [ "$code" -ne 137 ]; then
    how="$how, which came too late"
    [ "$mode" -eq 2 ] || run_ms=$((($(date +%s%N) - launched) / 1000000))
  fi
  echo "try $tries: killed $how (exit code $code), versions $before -> $after"
  changed=0
  [ "$after" -gt "$before" ] && changed=1
  if [ "$after" -gt "$((before + 1))" ] || [ "$after" -lt "$before" ]; then
    fail "try $tries: versions went from $before to $after"
  elif [ "$after" -eq "$((before + 1))" ]; then
    cp "$SCRATCH/snap/try$tries" "$SCRATCH/snap/v$after"
  fi
  # Every version file and every blob it names must be whole, at every moment. A copy killed
  # midway may leave its partial file beside the stored names, never under one.
  if ! out=$(KVCS_READER_KECCAK_LIMIT=0 "${READER[@]}" check "$store" --leftovers 2>&1); then
    fail "try $tries (killed $how): the storage is inconsistent: $out"
    break
  fi
done
echo "$tries tries, $killed killed"
[ "$killed" -gt 0 ] || fail "no backup was killed; the kill moments missed every run"

# The next backup completes and stores one more version.
mutate 99
snapshot "$src" "$SCRATCH/snap/final"
last=$(stored_versions "$store" gina/interrupted)
kvcs_ok "backup after the kills" "$src" -m=backup -s="$store"
expect_verdict "backup after the kills" "kestrun::vcs::save $((last + 1))"
cp "$SCRATCH/snap/final" "$SCRATCH/snap/v$((last + 1))"
if out=$(KVCS_READER_KECCAK_LIMIT=65536 "${READER[@]}" check "$store" --leftovers 2>&1); then
  echo "storage after the kills: $out"
else
  fail "after the kills: storage check: $out"
fi

# Every stored version restores into an empty folder as the tree it was made from.
last=$(stored_versions "$store" gina/interrupted)
dst=$SCRATCH/restored
for v in $(seq 1 "$last"); do
  fresh_copy "$src" "$dst"
  kvcs_ok "restore $v" "$dst" -m=restore -s="$store" -n="$v"
  expect_verdict "restore $v" 'kestrun::vcs::save local'
  if [ -f "$SCRATCH/snap/v$v" ]; then
    expect_tree "restore $v" "$dst" "$SCRATCH/snap/v$v"
  else
    fail "restore $v: no record of the tree that version $v was made from"
  fi
done

# The seed once more beside the verdict, where a failed run's log is read last.
[ "$failures" -eq 0 ] || echo "seed $seed: KVCS_E2E_SEED=$seed replays these kill moments" >&2
finish
