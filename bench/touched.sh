#!/usr/bin/env bash
# A backup after `touch` of an unchanged large file, against a no-change backup and `git status`
# of the same tree, each measured in the same round. The tree is gen_tree.py's at SCALE with one
# random file of BIG_MB megabytes added.
# Usage: bench/touched.sh [path/to/kvcs] (ROUNDS=3 BIG_MB=1024 SCALE=0.1 WORK=/tmp/... in the
# environment). Prints one line per round and the min-max of each figure, in seconds.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kvcs=$(realpath "${1:-$here/../build/bin/kvcs}")
rounds=${ROUNDS:-3}
big_mb=${BIG_MB:-1024}
scale=${SCALE:-0.1}
gen=${GEN_TREE:-$here/../../shared/bench/gen_tree.py}
work=${WORK:-$(mktemp -d "${TMPDIR:-/tmp}/kvcs-touched.XXXXXX")}
trap 'rm -rf "$work"' EXIT

tree=$work/tree
store=$work/store
export XDG_CONFIG_HOME=$work/config
python3 "$gen" "$tree" --scale "$scale" -q --force
head -c "$((big_mb * 1024 * 1024))" /dev/urandom >"$tree/big.bin"
touch -d @1600000000 "$tree/big.bin"
mkdir -p "$store"
git -C "$tree" init -q && git -C "$tree" add -A && git -C "$tree" -c user.name=b -c user.email=b@b \
  commit -qm tree && git -C "$tree" status --porcelain >/dev/null

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l | xargs printf '%.3f'
}
backup() { "$kvcs" "$tree" -m=backup -s="$store"; }
gstatus() { git -C "$tree" status --porcelain; }

backup >/dev/null
declare -A all
names=(no_change touched_1st touched_2nd git_no_change git_touched_1st git_touched_2nd)
for round in $(seq "$rounds"); do
  # No change: the stored time again, and git's index told of it before it is measured.
  touch -d @1600000000 "$tree/big.bin"
  no_change=$(seconds backup)
  gstatus >/dev/null
  git_no_change=$(seconds gstatus)
  # An older time than this run, and another one each round: a touch the stored time never had.
  touch -d @$(($(date +%s) - 100 - round)) "$tree/big.bin"
  touched_1st=$(seconds backup)
  touched_2nd=$(seconds backup)
  git_touched_1st=$(seconds gstatus)
  git_touched_2nd=$(seconds gstatus)
  line="round $round:"
  for n in "${names[@]}"; do
    line+=" $n=${!n}"
    all[$n]+="${!n} "
  done
  echo "$line"
done
for n in "${names[@]}"; do
  # shellcheck disable=SC2086
  printf '%-16s min-max %s\n' "$n" "$(printf '%s\n' ${all[$n]} | sort -n | sed -n '1p;$p' | paste -sd-)"
done
