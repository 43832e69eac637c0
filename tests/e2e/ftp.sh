#!/usr/bin/env bash
# Backup, incremental backup and restore through a real FTP server on 127.0.0.1: the restored
# bytes and times match, the server's disk holds exactly the layout and blobs that a folder
# storage gets from the same tree, and no password reaches a log or the console. Refused logins
# and a missing server folder end the run after the failed connect, without hanging.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"
source "$(dirname "$0")/ftp_servers.bash"

# Stored version times are written for the local zone; in UTC they equal the save time.
export TZ=UTC
src=$SCRATCH/site
store=$SCRATCH/storage
ftp_root=$SCRATCH/ftp-root
vault=$ftp_root/vault
mkdir -p "$store" "$vault"
make_project "$src" carol/site

start_ftp_server ftp "$ftp_root"
port=$FTP_PORT
ftp_link() { echo "ftp://$1@127.0.0.1:$port$2"; }
link=$(ftp_link "$FTP_USER:$FTP_PASSWORD" /vault)
shown=$(ftp_link "$FTP_USER:***" /vault)
shown_re=$(sed 's/[.*]/\\&/g' <<<"$shown")

run() { run_bounded "$@"; }

# --- the tree ------------------------------------------------------------------------------------
E2E_DIR=$E2E_DIR python3 - "$src" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(7)
sys.path.insert(0, os.environ["E2E_DIR"])
from tree_tool import text, writer
put = writer(root)

put("README.md", b"# site\n\nServed from FTP.\n", 1600000100)
put("src/main.cpp", text(30000, 1), 1600000101)
put("src/lib/util.h", text(300, 2), 1600000102)
put("src/lib/empty.h", b"", 1600000103)
put("empty.txt", b"", 1600000104)
dup = text(5000, 3)
put("dup1.txt", dup, 1600000105)
put("docs/dup2.txt", dup, 1600000106)
put("pic.png", rnd.randbytes(3000), 1600000107)
# Larger than one transfer buffer, stored raw for its extension.
put("bundle.zip", rnd.randbytes(70000), 1600000108)
put("random.bin", rnd.randbytes(200000), 1600000109)
put("big.txt", text(400000, 4), 1600000110)
put("deep/a/b/c/leaf.txt", b"leaf\n", 1600000111)
put("caf\u00e9/na\u00efve.txt", "d\u00e9j\u00e0 vu\n".encode(), 1600000112)
put("emoji\U0001F600/\U0001F389.txt", "\U0001F389\n".encode(), 1600000113)
put("back\\slash.txt", b"a name with a backslash\n", 1600000114)
os.makedirs(os.path.join(root, "emptydir"))
PY
ln -s "$src/src/lib" "$src/link_to_lib"
ln -s "$src/README.md" "$src/link_to_readme"

# change_tree: the second version's differences: contents changed, files removed and added, a
# content stored again under a new name, folders and a link removed and added.
change_tree() {
  python3 - "$src" <<'PY'
import os, shutil, sys
root = sys.argv[1]

def put(rel, data, mtime):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))

with open(os.path.join(root, "src/main.cpp"), "ab") as f:
    f.write(b"// one more line\n")
os.utime(os.path.join(root, "src/main.cpp"), (1600000201, 1600000201))
put("caf\u00e9/na\u00efve.txt", "encore d\u00e9j\u00e0 vu\n".encode(), 1600000202)
put("deep/a/b/c/new/added.txt", b"added in the second version\n", 1600000203)
with open(os.path.join(root, "README.md"), "rb") as f:
    readme = f.read()
put("moved/readme copy.txt", readme, 1600000204)
os.remove(os.path.join(root, "dup1.txt"))
os.rmdir(os.path.join(root, "emptydir"))
os.makedirs(os.path.join(root, "later/empty"))
os.remove(os.path.join(root, "link_to_readme"))
PY
  ln -s "$src/deep/a" "$src/deep/link_to_a"
}
new_contents_v2=3 # main.cpp, naïve.txt and added.txt; the rest is stored already

# --- backup into the empty FTP folder, then the same into a folder storage -----------------------
snapshot "$src" "$SCRATCH/snap/v1"
entries=$(wc -l <"$SCRATCH/snap/v1")
contents=$(grep '^F ' "$SCRATCH/snap/v1" | awk '{print $NF}' | sort -u | wc -l)

t0=$(date +%s)
run "ftp backup 1" "$src" -m=backup -s="$link" -l
t1=$(date +%s)
expect_verdict "ftp backup 1" "kestrun::vcs::save 1"
[ "$(last_event)" = "kestrun::vcs::save 1" ] || fail "ftp backup 1: last event '$(last_event)'"
expect_no_event "ftp backup 1" 'kestrun::vcs::[^ ]*[!~] .*'
expect_event "ftp backup 1" "kestrun::vcs::storage_driver\\.connect $shown_re"
expect_event "ftp backup 1" "kestrun::vcs::storage_driver\\.disconnect $shown_re"
expect_event "ftp backup 1" 'kestrun::vcs::storage::state::nn 0'
expect_event "ftp backup 1" "kestrun::vcs::save::count $entries"
expect_event "ftp backup 1" 'kestrun::vcs::file::upload 70000 bundle\.zip'
n=$(count_events 'kestrun::vcs::file::upload [0-9]+ .*')
[ "$n" -eq "$contents" ] || fail "ftp backup 1: $n blobs uploaded, expected $contents"
storage_check "ftp backup 1" "$vault"
[ "$(ls -A "$ftp_root")" = vault ] || fail "ftp backup 1: the server's root holds $(ls -A "$ftp_root")"
"${READER[@]}" version "$vault/projects/carol/site/1.gz" >"$SCRATCH/ftp-v1.json" ||
  fail "ftp backup 1: the version file cannot be read"
stored_time=$(head -n 1 "$SCRATCH/ftp-v1.json" | python3 -c 'import json,sys; print(json.load(sys.stdin)["time"])')
[ "$stored_time" -ge "$t0" ] && [ "$stored_time" -le "$t1" ] ||
  fail "ftp backup 1: stored time $stored_time outside the run ($t0..$t1)"

run "fs backup 1" "$src" -m=backup -s="$store"
expect_verdict "fs backup 1" "kestrun::vcs::save 1"

# --- the incremental backup ----------------------------------------------------------------------
change_tree
snapshot "$src" "$SCRATCH/snap/v2"
run "ftp backup 2" "$src" -m=backup -s="$link"
expect_verdict "ftp backup 2" "kestrun::vcs::save 2"
expect_no_event "ftp backup 2" 'kestrun::vcs::[^ ]*[!~] .*'
expect_event "ftp backup 2" 'kestrun::vcs::storage::state::nn 1'
expect_event "ftp backup 2" "kestrun::vcs::state::diff::start $(wc -l <"$SCRATCH/snap/v2")/$entries"
n=$(count_events 'kestrun::vcs::file::upload [0-9]+ .*')
[ "$n" -eq "$new_contents_v2" ] ||
  fail "ftp backup 2: $n blobs uploaded, expected only the $new_contents_v2 new contents"
expect_no_event "ftp backup 2" 'kestrun::vcs::file::upload [0-9]+ moved/.*'

run "fs backup 2" "$src" -m=backup -s="$store"
expect_verdict "fs backup 2" "kestrun::vcs::save 2"

# --- the server's disk against the folder storage ------------------------------------------------
storage_check "ftp backup 2" "$vault"
snapshot "$store" "$SCRATCH/snap/fs-paths" --paths
snapshot "$vault" "$SCRATCH/snap/ftp-paths" --paths
cmp -s "$SCRATCH/snap/fs-paths" "$SCRATCH/snap/ftp-paths" || {
  fail "layout: the FTP folder and the folder storage hold other entries (- folder, + FTP)"
  diff -u "$SCRATCH/snap/fs-paths" "$SCRATCH/snap/ftp-paths" | tail -n +3 | head -20 |
    sed 's/^/    /' >&2 || true
}
# Blobs byte for byte (their names are their identities).
snapshot "$store" "$SCRATCH/snap/fs-files" --no-mtime
snapshot "$vault" "$SCRATCH/snap/ftp-files" --no-mtime
grep '^F files/' "$SCRATCH/snap/fs-files" >"$SCRATCH/snap/fs-blobs" || true
grep '^F files/' "$SCRATCH/snap/ftp-files" >"$SCRATCH/snap/ftp-blobs" || true
[ "$(wc -l <"$SCRATCH/snap/fs-blobs")" -eq $((contents + new_contents_v2)) ] ||
  fail "layout: $(wc -l <"$SCRATCH/snap/fs-blobs") blobs, expected $((contents + new_contents_v2))"
cmp -s "$SCRATCH/snap/fs-blobs" "$SCRATCH/snap/ftp-blobs" || {
  fail "layout: the blobs differ (- folder, + FTP)"
  diff -u "$SCRATCH/snap/fs-blobs" "$SCRATCH/snap/ftp-blobs" | tail -n +3 | head -20 |
    sed 's/^/    /' >&2 || true
}
# Version files: the same decoded bytes but for the stored time (bytes 4 to 11).
for nn in 1 2; do
  version=projects/carol/site/$nn.gz
  python3 - "$store/$version" "$vault/$version" <<'PY' || fail "layout: $version differs beyond its time"
import gzip, sys
a, b = (gzip.open(p).read() for p in sys.argv[1:3])
sys.exit(0 if len(a) == len(b) and a[:4] + a[12:] == b[:4] + b[12:] else 1)
PY
done

# --- restore from FTP into empty folders ---------------------------------------------------------
dst=$SCRATCH/restored
fresh_copy "$src" "$dst"
run "ftp restore" "$dst" -m=restore -s="$link"
expect_verdict "ftp restore" 'kestrun::vcs::save local'
expect_no_event "ftp restore" 'kestrun::vcs::[^ ]*[!~] .*'
expect_event "ftp restore" 'kestrun::vcs::storage::state::nn 2'
expect_event "ftp restore" 'kestrun::vcs::file::download [0-9]+ random\.bin'
expect_tree "ftp restore" "$dst" "$SCRATCH/snap/v2"

dst1=$SCRATCH/restored-1
fresh_copy "$src" "$dst1"
run "ftp restore 1" "$dst1" -m=restore -s="$link" -n=1
expect_verdict "ftp restore 1" 'kestrun::vcs::save local'
expect_no_event "ftp restore 1" 'kestrun::vcs::[^ ]*[!~] .*'
expect_tree "ftp restore 1" "$dst1" "$SCRATCH/snap/v1"

# --- connections the server refuses --------------------------------------------------------------
snapshot "$vault" "$SCRATCH/snap/vault" --dir-mtime
fresh_copy "$src" "$SCRATCH/refused"
snapshot "$SCRATCH/refused" "$SCRATCH/snap/before"
for case in "wrong password|$FTP_USER:wrong_2|/vault" "unknown user|nobody:$FTP_PASSWORD|/vault" \
  "missing folder|$FTP_USER:$FTP_PASSWORD|/nowhere"; do
  IFS='|' read -r what credentials folder <<<"$case"
  bad=$(ftp_link "$credentials" "$folder")
  bad_shown=$(ftp_link "${credentials%%:*}:***" "$folder")
  for mode in backup restore; do
    label="$what $mode"
    started=$(date +%s)
    run "$label" "$SCRATCH/refused" -m=$mode -s="$bad"
    [ $(($(date +%s) - started)) -le 30 ] || fail "$label: the run took over 30 seconds"
    [ "$(last_event)" = "kestrun::vcs::storage_driver.connect! $bad_shown" ] ||
      fail "$label: last event '$(last_event)'"
    expect_no_event "$label" 'kestrun::vcs::(storage::|state::diff|save).*'
    grep -qxF "kestrun::vcs::storage_driver.connect! $bad_shown" "$SCRATCH/out" ||
      fail "$label: the failed connect is not on the console"
    if grep -qF "${credentials#*:}" <<<"$LOGTEXT" || grep -qF "${credentials#*:}" "$SCRATCH/out"; then
      fail "$label: the password of the link was shown"
    fi
  done
done
expect_unchanged "refused" "$SCRATCH/refused"
expect_tree "refused: server" "$vault" "$SCRATCH/snap/vault" --dir-mtime
[ ! -e "$ftp_root/nowhere" ] || fail "missing folder: the server's folder was created"

# --- the password is nowhere in what kvcs wrote or showed ----------------------------------------
logs=("$SCRATCH"/config/*/"Kestrun VCS"/logs/*.gz)
[ "${#logs[@]}" -eq "$run_count" ] || fail "password: ${#logs[@]} logs for $run_count runs"
expect_no_password "$FTP_PASSWORD" password
grep -qF "$shown" "$SCRATCH/console-all" || fail "password: the -l console never showed the link"

if [ "$failures" -ne 0 ]; then
  echo "the FTP server's log, last lines:" >&2
  tail -n 20 "$SCRATCH/ftp.log" | sed 's/^/    /' >&2
fi
finish
