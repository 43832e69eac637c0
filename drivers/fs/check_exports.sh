#!/usr/bin/env bash
# Checks that a driver library defines exactly the five storage functions in its dynamic symbol
# table: no C++ symbol, no copy of the common code, nothing else.
set -euo pipefail
library=$1
expected=$(printf '%s\n' storage_connect storage_disconnect storage_download storage_file_exists \
  storage_upload)
actual=$(nm -D --defined-only "$library" | awk '{print $NF}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "unexpected exports of $library:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
