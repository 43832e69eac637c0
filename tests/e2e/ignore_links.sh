#!/usr/bin/env bash
# What a version leaves out and how links travel: ".gitignore" rules at every level, read as git
# reads them (and a ".git" folder beside one, kept beside none), links that lead inside the project (kept, never followed, restored to the
# restored tree) and links that do not (not recorded); a restore onto a folder that holds ignored
# files.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

base=$SCRATCH/w
src=$base/proj
store=$SCRATCH/storage
mkdir -p "$store"
make_project "$src" dave/links

# --- ignore rules --------------------------------------------------------------------------------
put_file "$base/.gitignore" "*.above" 1600000000  # a rule file above the project root
put_file "$src/.gitignore" $'*.log\nbuild/\n/rootonly.txt\n!keep.log\n' 1600000001
put_file "$src/app.log" "ignored" 1600000002
put_file "$src/keep.log" "kept by negation" 1600000003
put_file "$src/build/out.o" "ignored folder" 1600000004
put_file "$src/rootonly.txt" "ignored at the root only" 1600000005
put_file "$src/docs/rootonly.txt" "kept below the root" 1600000006
put_file "$src/docs/.gitignore" "secret.txt" 1600000007
put_file "$src/docs/secret.txt" "ignored by the folder's own rules" 1600000008
put_file "$src/docs/readme.txt" "documentation" 1600000009
put_file "$src/x.above" "ignored by the rules above the root" 1600000010
put_file "$src/.git/HEAD" "ref: refs/heads/main" 1600000011
put_file "$src/sub/file.txt" "kept" 1600000013

# --- links ---------------------------------------------------------------------------------------
ln -s "$src/docs/readme.txt" "$src/to_file"   # inside, a file
ln -s "$src/docs" "$src/to_dir"               # inside, a folder: recorded, not walked into
ln -s "$src/docs/missing.txt" "$src/dangling" # inside, but leads nowhere
ln -s /etc "$src/to_etc"                      # outside
mkdir -p "$base/proj2"
put_file "$base/proj2/f.txt" "a sibling folder whose name begins with the root's" 1600000014
ln -s "$base/proj2/f.txt" "$src/to_sibling"   # outside, though its text begins like the root's
ln -s docs/readme.txt "$src/relative"         # a relative target text
ln -s "$src" "$src/to_root"                   # the root itself

kvcs_ok backup "$src" -m=backup -s="$store"
expect_verdict backup 'kestrun::vcs::save 1'
expect_content <(version_paths "$store" dave/links 1) "AF .gitignore
AL dangling
AD docs
AF docs/.gitignore
AF docs/readme.txt
AF docs/rootonly.txt
AF keep.log
AF kestrun-vcs.json
AD sub
AF sub/file.txt
AL to_dir
AL to_file
" "version 1 commands"
"${READER[@]}" version "$store/projects/dave/links/1.gz" >"$SCRATCH/v1.json"
for want in '"path": "to_dir", "target": "docs"' '"path": "to_file", "target": "docs/readme.txt"' \
  '"path": "dangling", "target": "docs/missing.txt"'; do
  grep -qF "$want" "$SCRATCH/v1.json" || fail "version 1: no link with $want"
done
for ignored in app.log build rootonly.txt docs/secret.txt x.above .git .k-vcs; do
  expect_event backup "kestrun::vcs::finder::ignore .*${ignored//./\\.}.*"
done
expect_no_event backup 'kestrun::vcs::finder::scan::dir .*/to_dir'

# --- restore into an empty folder ----------------------------------------------------------------
dst=$SCRATCH/restored
fresh_copy "$src" "$dst"
kvcs_ok restore "$dst" -m=restore -s="$store"
# The dangling link is made all the same: it is only its text.
expect_verdict restore 'kestrun::vcs::save local'
expect_no_event restore 'kestrun::vcs::link::create~ .*'
[ "$(count_events 'kestrun::vcs::[^ ]*! .*')" -eq 0 ] || fail "restore: an error in the log"
snapshot "$dst" "$SCRATCH/snap/got"
expect_content "$SCRATCH/snap/got" "F .gitignore $(stat -c %s "$src/.gitignore") 1600000001 $(sha256sum <"$src/.gitignore" | cut -c1-64)
L dangling -> @/docs/missing.txt
D docs
F docs/.gitignore 10 1600000007 $(sha256sum <"$src/docs/.gitignore" | cut -c1-64)
F docs/readme.txt 13 1600000009 $(sha256sum <"$src/docs/readme.txt" | cut -c1-64)
F docs/rootonly.txt 19 1600000006 $(sha256sum <"$src/docs/rootonly.txt" | cut -c1-64)
F keep.log 16 1600000003 $(sha256sum <"$src/keep.log" | cut -c1-64)
F kestrun-vcs.json $(stat -c %s "$src/kestrun-vcs.json") 1500000000 $(sha256sum <"$src/kestrun-vcs.json" | cut -c1-64)
D sub
F sub/file.txt 4 1600000013 $(sha256sum <"$src/sub/file.txt" | cut -c1-64)
L to_dir -> @/docs
L to_file -> @/docs/readme.txt
" "restored tree"

# --- a restore onto a folder with ignored files ---------------------------------------------------
# Ignored files are neither removed nor reported: restoring the same version changes nothing.
put_file "$dst/app.log" "local, ignored" 1600000020
put_file "$dst/build/local.o" "local, ignored" 1600000021
snapshot "$dst" "$SCRATCH/snap/before"
kvcs_ok "restore over ignored" "$dst" -m=restore -s="$store"
expect_event "restore over ignored" 'kestrun::vcs::save::count 0'
expect_verdict "restore over ignored" 'kestrun::vcs::save commands empty'
expect_unchanged "restore over ignored" "$dst"

# A folder that the version lacks but that holds an ignored file cannot be removed: it stays
# with that file and a warning naming it, its tracked file is removed, and the verdict fails.
put_file "$dst/gone/tracked.txt" "tracked" 1600000022
put_file "$dst/gone/ignored.log" "ignored" 1600000023
kvcs_ok "restore over a kept folder" "$dst" -m=restore -s="$store"
expect_event "restore over a kept folder" 'kestrun::vcs::save::count 2'
expect_event "restore over a kept folder" "kestrun::vcs::file::remove~ $dst/gone: .+"
expect_verdict "restore over a kept folder" 'kestrun::vcs::save! local'
[ ! -e "$dst/gone/tracked.txt" ] || fail "restore over a kept folder: tracked file left"
[ -f "$dst/gone/ignored.log" ] || fail "restore over a kept folder: the ignored file is gone"
grep -q '^kestrun::vcs::save! local$' "$SCRATCH/out" ||
  fail "restore over a kept folder: the failure is not on the console"

# --- links to links, and a link to nothing ---------------------------------------------------------
# Links are made last, each after the link it leads to; a dangling one is made all the same.
c=$SCRATCH/chain
cstore=$SCRATCH/chain-storage
mkdir -p "$cstore"
make_project "$c" dave/chain
put_file "$c/real.txt" "real"
mkdir -p "$c/dir"
put_file "$c/dir/in.txt" "in"
ln -s "$c/real.txt" "$c/z_link"
ln -s "$c/z_link" "$c/a_link"
ln -s "$c/dir" "$c/m_dir"
ln -s "$c/m_dir" "$c/b_dir"
ln -s "$c/nothing/here" "$c/c_dangling"
kvcs_ok "backup chain" "$c" -m=backup -s="$cstore"
expect_verdict "backup chain" 'kestrun::vcs::save 1'
snapshot "$c" "$SCRATCH/snap/chain"
cdst=$SCRATCH/chain-restored
fresh_copy "$c" "$cdst"
kvcs_ok "restore chain" "$cdst" -m=restore -s="$cstore"
expect_verdict "restore chain" 'kestrun::vcs::save local'
expect_no_event "restore chain" 'kestrun::vcs::link::create~ .*'
[ "$(readlink "$cdst/a_link")" = "$cdst/z_link" ] || fail "restore chain: a_link"
[ "$(readlink "$cdst/b_dir")" = "$cdst/m_dir" ] || fail "restore chain: b_dir"
[ "$(readlink "$cdst/c_dangling")" = "$cdst/nothing/here" ] || fail "restore chain: c_dangling"
expect_content "$cdst/a_link" "real" "restore chain: a_link leads to real.txt"
expect_content "$cdst/b_dir/in.txt" "in" "restore chain: b_dir leads to dir"

# --- rules as git reads them ---------------------------------------------------------------------
# A root ".git" with no ".gitignore" beside it is content; "build/" never takes a link to a folder
# for a folder; an ignore file that is a link is not read, with a warning; a CR inside a line and
# a trailing blank are read as git reads them.
g=$SCRATCH/gitlike
make_project "$g" dave/gitlike
put_file "$g/.git/HEAD" "ref: refs/heads/main" 1600000030
backup_paths_g() {
  kvcs_ok "$1" "$g" -m=backup -s="$store"
  expect_verdict "$1" "kestrun::vcs::save $2"
  expect_content <(version_paths "$store" dave/gitlike "$2") "$3" "$1: version $2"
}
backup_paths_g "root .git" 1 "AD .git
AF .git/HEAD
AF kestrun-vcs.json
"
printf 'build/\nIcon\r\r\n*.log\n!keep.log \n' >"$g/.gitignore"
mkdir -p "$g/real"
put_file "$g/real/x" "x" 1600000031
ln -s "$g/real" "$g/build"
put_file "$g/Icon" "kept: the rule names Icon and a CR" 1600000032
put_file "$g/Icon"$'\r' "ignored" 1600000033
put_file "$g/keep.log" "kept by the negation with a blank after it" 1600000034
put_file "$g/a.log" "ignored" 1600000035
put_file "$g/rules" "*.txt" 1600000036
mkdir -p "$g/sub"
ln -s "$g/rules" "$g/sub/.gitignore"
put_file "$g/sub/kept.txt" "the linked rules are not read" 1600000037
# Now beside an ignore file, ".git" leaves the history.
backup_paths_g "as git" 2 "R .git/HEAD
R .git
AF .gitignore
AF Icon
AL build
AF keep.log
AD real
AF real/x
AF rules
AD sub
AL sub/.gitignore
AF sub/kept.txt
"
expect_event "as git" "kestrun::vcs::finder::ignore $g/\\.git <> $g/\\.gitignore"
expect_event "as git" "kestrun::vcs::finder::ignore::file~ $g/sub/\\.gitignore is a symbolic link: not read"

finish
