# Running kvcs.exe under Wine from an end-to-end scenario (sourced after lib.sh and
# run_helpers.bash): $KVCS becomes a wrapper that starts the program through Wine, winpath turns a
# Unix path into its Windows form, and kvcs_run keeps the program's files in %APPDATA%.
# shellcheck shell=bash

exe=$KVCS
wine=${KVCS_WINE:-/usr/lib/wine/wine64}
: "${WINEPREFIX:?run through scripts/test-windows, which sets up Wine}"
export TZ=UTC
KVCS=$SCRATCH/kvcs-under-wine
printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$wine" "$exe" >"$KVCS"
chmod +x "$KVCS"

# winpath PATH: the Windows form of a Unix path (Wine's drive Z: is the Unix root).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The user's application-data folder as Wine keeps it, and where kvcs keeps its files there.
appdata_win=$("$wine" cmd /c echo %APPDATA% </dev/null 2>/dev/null | tr -d '\r')
[[ "$appdata_win" == C:\\* ]] || { echo "no %APPDATA% from Wine: '$appdata_win'" >&2; exit 1; }
appdata=$WINEPREFIX/drive_c/$(tr '\\' / <<<"${appdata_win#C:\\}")
program_folder=$appdata/Kestrun\ VCS
appdata_generic=$(tr '\\' / <<<"$appdata_win")

# kvcs_run ARGS...: as for Linux, but the log is the only file in %APPDATA%\Kestrun VCS\logs and
# "storages.json" holds STORAGES_JSON when that is set (otherwise there is none).
kvcs_run() {
  rm -rf "$program_folder"
  mkdir -p "$program_folder"
  [ -n "${STORAGES_JSON:-}" ] && printf '%s' "$STORAGES_JSON" >"$program_folder/storages.json"
  run_kvcs "$@"
  LOG=""
  LOGTEXT=""
  local logs=("$program_folder/logs/"*.gz)
  if [ -f "${logs[0]}" ]; then
    LOG=${logs[0]}
    LOGTEXT=$(gzip -dc "$LOG" 2>/dev/null || true)
  fi
  # Redirected output is UTF-8 with bare line feeds, as on Linux.
  if grep -q $'\r' "$SCRATCH/out" "$SCRATCH/err"; then fail "$*: carriage returns in the output"; fi
}
