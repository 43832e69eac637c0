#!/usr/bin/env bash
# Start-up of kvcs: the command-line error report, the name/version/folder/log lines, the gzip log
# file, a settings file that is bad in every way, and folders that cannot hold the log.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

version=1.0.0-beta.15
project=$SCRATCH/project
mkdir -p "$project"

# A fresh, empty configuration folder per case.
new_config() {
  config=$SCRATCH/config-$1
  mkdir -p "$config"
  export XDG_CONFIG_HOME=$config
  app_folder="$config/Kestrun VCS"
  logs="$app_folder/logs"
}

# --- command-line errors: the report on standard error, nothing else, exit code 1 -------------
check_command_line_error() {
  local label=$1 error=$2
  shift 2
  new_config "$label"
  run_kvcs "$@"
  expect_status 1 "$label"
  expect_empty "$SCRATCH/out" "$label"
  expect_content "$SCRATCH/err" "$(usage_report "$error" "$(basename "$KVCS")" "$app_folder/storages.json" "$version")"$'\n' "$label"
  [ ! -e "$app_folder" ] || fail "$label: the configuration folder was touched"
}

check_command_line_error no-argument "The value of parameter 'folder' is not defined"
check_command_line_error mode-copy "[copy] value is not possible for '-m' parameter" \
  "$project" -m=copy -s=x
check_command_line_error no-storage "The value of parameter '-s' is not defined" \
  "$project" -m=backup
check_command_line_error unknown-option "Argument '-x' is not defined" \
  "$project" -x=1 -m=backup -s=x
# Bytes that are not UTF-8 come back as they were given.
check_command_line_error invalid-utf8 $'Argument \'-\xff\xfe\' is not defined' \
  "$project" $'-\xff\xfe' -m=backup -s=x

# --- a run: four lines and a spinner on standard output, a complete log ------------------------
# check_run LABEL [end]: standard output begins with the four lines, the one log file is a
# complete gzip stream of start stamp, version and (with "end") the end stamp.
check_run() {
  local label=$1 want_end=${2:-}
  local names=("$logs"/*.gz)
  if [ ${#names[@]} -ne 1 ] || [ ! -f "${names[0]}" ]; then
    fail "$label: expected one log file in $logs"
    return
  fi
  local log=${names[0]} stamp
  stamp=$(basename "$log" .gz)
  expect_match "$stamp" "$STAMP_RE" "$label: log name"
  local head
  head=$(head -n 4 "$SCRATCH/out")
  expect_content <(printf '%s' "$head") "name: Kestrun VCS
version: $version
Folder: $project/
Log file: $log" "$label: standard output"
  if grep -q $'\x1b' "$SCRATCH/out"; then fail "$label: escape sequence written to a pipe"; fi
  if ! gzip -t "$log" 2>/dev/null; then
    fail "$label: the log is not a complete gzip file"
    return
  fi
  local lines=()
  mapfile -t lines < <(gzip -dc "$log")
  # The folder holds no project file, so the run reports that and ends.
  local want=3
  [ -n "$want_end" ] && want=4
  [ ${#lines[@]} -eq "$want" ] || fail "$label: log has ${#lines[@]} lines, expected $want"
  [ "${lines[0]:-}" = "$stamp" ] || fail "$label: first log line '${lines[0]:-}' is not the stamp"
  [ "${lines[1]:-}" = "$version" ] || fail "$label: second log line '${lines[1]:-}'"
  [ "${lines[2]:-}" = "$no_project" ] || fail "$label: third log line '${lines[2]:-}'"
  if [ -n "$want_end" ]; then
    expect_match "${lines[3]:-}" "$STAMP_RE" "$label: end line"
    [[ ! "${lines[3]:-}" < "$stamp" ]] || fail "$label: the run ended before it started"
  fi
}

no_project='kestrun::vcs::project! Not found file project kestrun-vcs.json!'


new_config plain
run_kvcs "$project" -m=backup -s=x
expect_status 0 plain
expect_empty "$SCRATCH/err" plain
check_run plain end
# Without -l a spinner character follows the lines; the error stands on a line of its own,
# followed by the next spinner character.
expect_content <(tail -n +5 "$SCRATCH/out") "-
$no_project
\\" "plain: spinner"

new_config on-screen
run_kvcs "$project/./sub/.." --mode=restore --storage=x -l -n=-2 --nosave
expect_status 0 on-screen
check_run on-screen end
expect_content <(tail -n +5 "$SCRATCH/out") "$no_project
" "on-screen: no spinner with -l"

# A folder name that is not UTF-8 is shown with its own bytes.
new_config odd-folder
run_kvcs "$SCRATCH/p"$'\xff' -m=backup -s=x
expect_status 0 odd-folder
expect_content <(sed -n 3p "$SCRATCH/out") "Folder: $SCRATCH/p"$'\xff/\n' "odd-folder: folder line"

# On a terminal the cursor is hidden while the run works and shown again at its end.
if command -v script >/dev/null; then
  new_config terminal
  script -qec "$(printf '%q ' "$KVCS" "$project" -m=backup -s=x)" /dev/null >"$SCRATCH/out" </dev/null ||
    fail "terminal: exit code $?"
  head_bytes=$(tail -n 3 "$SCRATCH/out" | head -n 1)
  tail_bytes=$(tail -n 1 "$SCRATCH/out")
  [ "$head_bytes" = $'\e[?25l-\r' ] ||
    fail "terminal: $(printf '%q' "$head_bytes"), expected hide and spinner"
  [ "$tail_bytes" = $'\\\e[?25h' ] ||
    fail "terminal: last line $(printf '%q' "$tail_bytes"), expected spinner and show"
else
  echo "skipped terminal: needs script(1) for a pseudo-terminal"
fi

# Settings files that say nothing: the run goes on with the link as given.
for bad in empty not-json array folder; do
  new_config "settings-$bad"
  mkdir -p "$app_folder"
  case $bad in
    empty) : >"$app_folder/storages.json" ;;
    not-json) printf '{"x": "a",}' >"$app_folder/storages.json" ;;
    array) printf '["x"]' >"$app_folder/storages.json" ;;
    folder) mkdir "$app_folder/storages.json" ;;
  esac
  run_kvcs "$project" -m=backup -s=x
  expect_status 0 "settings-$bad"
  expect_empty "$SCRATCH/err" "settings-$bad"
  check_run "settings-$bad" end
done

# A Storage ID mapped to a number: the JSON type error ends the run before the log exists.
new_config id-number
mkdir -p "$app_folder"
printf '{"x": 5}' >"$app_folder/storages.json"
run_kvcs "$project" -m=backup -s=x
expect_status 0 id-number
expect_empty "$SCRATCH/err" id-number
expect_content "$SCRATCH/out" "name: Kestrun VCS
version: $version
Folder: $project/
std::exception[json.exception.type_error.302] type must be string, but is number
" id-number
[ ! -e "$logs" ] || fail "id-number: a log folder was made"

# --- folders that cannot hold the log ---------------------------------------------------------
# The configuration folder is a file: the log folder cannot be created.
new_config config-file
rmdir "$config"
: >"$config"
run_kvcs "$project" -m=backup -s=x
expect_status 0 config-file
expect_empty "$SCRATCH/err" config-file
expect_match "$(sed -n 4p "$SCRATCH/out")" "Log file: $config/Kestrun VCS/logs/$STAMP_RE\\.gz" \
  "config-file: log line"
expect_match "$(sed -n 5p "$SCRATCH/out")" \
  "std::exceptionfilesystem error: create_directories: .* \\[$config/Kestrun VCS/logs\\]" \
  "config-file: report"
[ "$(wc -l <"$SCRATCH/out")" -eq 5 ] || fail "config-file: more output than the report"

# The log file cannot be opened (folders stand where the next minute's log files would go): the
# run ends after the log line, without a message and without a spinner.
new_config log-blocked
now=$(date +%s)
# Every name of the next minute, the counted ones of a busy second included.
for i in $(seq 0 60); do
  stamp=$(date -d "@$((now + i))" +%Y-%m-%d_%H-%M-%S)
  mkdir -p "$logs/$stamp.gz" "$logs/${stamp}_"{2..100}.gz
done
run_kvcs "$project" -m=backup -s=x
expect_status 0 log-blocked
expect_empty "$SCRATCH/err" log-blocked
expect_match "$(tail -n 1 "$SCRATCH/out")" "Log file: $logs/${STAMP_RE}_100\\.gz" "log-blocked: last line"
[ "$(wc -l <"$SCRATCH/out")" -eq 4 ] || fail "log-blocked: output after the log line"

# No configuration folder at all (no XDG_CONFIG_HOME, no HOME, an account without an entry):
# the run says so through the exception report instead of writing a log into the current folder.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  cd "$SCRATCH"
  set +e
  env -u XDG_CONFIG_HOME -u HOME setpriv --reuid=54321 --regid=54321 --clear-groups \
    "$KVCS" "$project" -m=backup -s=x >"$SCRATCH/out" 2>"$SCRATCH/err"
  status=$?
  set -e
  if getent passwd 54321 >/dev/null; then
    echo "skipped no-config: uid 54321 has an account entry"
  else
    expect_status 0 no-config
    expect_empty "$SCRATCH/err" no-config
    expect_match "$(sed -n 4p "$SCRATCH/out")" "std::exception.*configuration folder.*" \
      "no-config: report"
    [ ! -e "$SCRATCH/logs" ] && [ ! -e "$SCRATCH/Kestrun VCS" ] || fail "no-config: a log was written"
  fi
else
  echo "skipped no-config: needs root and setpriv to run as a user without an account entry"
fi

finish
