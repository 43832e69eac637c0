#!/usr/bin/env bash
# Checks that each driver library exports exactly the functions of the version script's global
# list, and nothing else (no C++ symbol, no copy of the common code): a Linux .so by its dynamic
# symbol table, a Windows .dll by its export table.
# Usage: drivers/check_exports.sh drivers/storage_api.map LIBRARY...
set -euo pipefail
map=${1:?the version script that lists the exports}
shift
[ $# -gt 0 ] || { echo "no library to check" >&2; exit 2; }
# The names between "global:" and "local:", one "name;" a line.
expected=$(awk '/global:/ {on = 1; next} /local:/ {on = 0} on {gsub(/[ \t;]/, ""); if ($0 != "") print}' \
  "$map" | sort)
[ -n "$expected" ] || { echo "no exports listed in $map" >&2; exit 2; }
objdump=objdump
command -v x86_64-w64-mingw32-objdump >/dev/null && objdump=x86_64-w64-mingw32-objdump
status=0
for library in "$@"; do
  case $library in
    *.dll)
      # The export table lists "[ordinal] name" lines between its header and the next section.
      actual=$("$objdump" -p "$library" |
        awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {on = 0} on {print $NF}' |
        sort) ;;
    *) actual=$(nm -D --defined-only "$library" | awk '{print $NF}' | sort) ;;
  esac
  if [ "$actual" != "$expected" ]; then
    echo "unexpected exports of $library:" >&2
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    status=1
  else
    echo "$(basename "$library"): exactly the $(wc -l <<<"$expected") functions of $(basename "$map")"
  fi
done
exit $status
