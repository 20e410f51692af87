#!/usr/bin/env bash
# The front end as a user calls it, through the real binary and the tool
# simulator: exact output, exit statuses, error texts, signals.
set -u
export LC_ALL=C.UTF-8
cli=$1
sim=$2
failures=0
checks=0

check() {  # name expected actual
  checks=$((checks + 1))
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    echo "FAIL: $1"; echo "  expected: $(printf '%q' "$2")"; echo "  actual:   $(printf '%q' "$3")"
    failures=$((failures + 1))
  fi
}

home=$(mktemp -d)
trap 'umount "$home/full" 2>/dev/null; rm -rf "$home"' EXIT

# Runs the front end; leaves its standard output in $out, its standard error
# in $err and its exit status in $status.
runner=()  # what the front end runs under, for a row that needs another user
run_cli() {
  timeout 120 "${runner[@]}" "$cli" "$@" >"$home/stdout" 2>"$home/stderr" </dev/null; status=$?
  out=$(cat "$home/stdout"); err=$(cat "$home/stderr")
}

# The exit status and what standard error says (its first line, or "" for
# nothing at all).
expect() {  # name status stderr-first-line command...
  local name=$1 want_status=$2 want_err=$3; shift 3
  run_cli "$@"
  check "$name" "$want_status ${want_err}" "$status $(head -n 1 <<<"$err")"
}

# With --json a failure is an error object on standard output, nothing on
# standard error, and the same exit status; CASE/N also wants systemCode N.
expect_json_error() {  # name status type case[/systemCode] command...
  local name=$1 want_status=$2 type=$3 case=$4; shift 4
  run_cli "$@"
  local seen
  seen=$(python3 -c 'import json,sys; e=json.load(sys.stdin)["error"]
print(e["type"], e["case"] + ("/%s" % e["systemCode"] if "/" in sys.argv[1] else ""), bool(e["message"]))' "$case" <<<"$out" 2>&1)
  check "$name (--json)" "$want_status $type $case True stderr:" "$status $seen stderr:$err"
}

# A private copy of the simulator with its own state folder.
ln -s "$sim" "$home/lucid"
mkdir "$home/lucid.d"
set_instances() { printf "$1" > "$home/lucid.d/instances.tmp" && mv "$home/lucid.d/instances.tmp" "$home/lucid.d/instances"; }
set_instances '2001\talpha.fs\t7778\tlive\t/Volumes/Alpha\n'
tool=(lucid --tool "$home/lucid")
no_tool_left() { pgrep -f "$home/lucid" | wc -l; }
# A background job of a script starts with SIGINT ignored, and the front end
# keeps ignoring what it was started ignoring; a terminal's job would not.
in_background=(env --default-signal=INT,TERM,HUP)

# --- exit statuses: 0 success, 1 failure, 2 usage error, the tool's own for run and raw
expect "run passes 0 through"                0   ""  run "$sim" print x
expect "run: a death by signal is 128+N"     137 ""  run "$sim" raise 9
expect "missing tool"                        1   "The launch path for the utility does not exist"  run /nonexistent/tool
expect "status of a stopped instance"        1   "Lucid is not running"  "${tool[@]}" --instance 9999 status
expect "which of an unserved path"           1   "No LucidLink instance serves /Volumes/Alpha2"  "${tool[@]}" which /Volumes/Alpha2
expect "unknown command suggests"            2   "Unknown command 'lsit' for 'lucid'. Did you mean 'list'?"  lucid lsit
expect "unknown top-level command"           2   "Unknown command 'lucd' for 'velmora-fsutil'. Did you mean 'lucid'?"  lucd list
expect "unknown option"                      2   "The following argument was not expected: --jsn"  lucid list --jsn
expect "run without a tool"                  2   "TOOL is required"  run
expect "an empty instance is no instance"    2   "--instance: expected an instance identifier, got an empty word"  "${tool[@]}" --instance "" status
expect "set without KEY=VALUE"               2   "KEY=VALUE: expected KEY=VALUE, got: DataCache.Size"  "${tool[@]}" config set DataCache.Size
expect "unknown perf metric lists the layer's names" 2 "--fs: no file system metric 'nosuch'; the file system metrics are readBytes, writeBytes, reads, writes, readTime, writeTime, pendOps"  lucid perf --fs nosuch
expect "a metric of another layer is refused" 2 "--objectstore: no object store metric '%hits'; the object store metrics are getBytes, putBytes, schedGets, schedPuts, activeGets, activePuts, gets, puts, getFails, putFails, getCanceled, putCanceled, getTime, putTime"  lucid perf --objectstore getBytes,%hits
for value in nan inf 0 -1 0.05; do
  expect "watch --interval $value is a usage error" 2 "--interval: expected a number of seconds, at least 0.1; got $value"  lucid watch --interval "$value"
done
expect "watch --interval abc is a usage error" 2 "Could not convert: --interval = abc"  lucid watch --interval abc
expect "help succeeds"                       0   ""  --help
check "help states the exit statuses" yes "$(grep -q '^Exit status: 0 success, 1 failure, 2 usage error, 128+N' <<<"$out" && echo yes)"
run_cli lucid perf --help
check "perf help lists the cache metrics" yes "$(grep -q -- '--cache M,... *Cache metrics, comma-separated: readBytes, .*%hits, bckWriteBytes, dirtyBytes, %$' <<<"$out" && echo yes)"

expect_json_error "launch failure"           1 system_error EACCES/13 --json run "$home"
mkdir "$home/with-fifo" && mkfifo "$home/with-fifo/pipe"
expect_json_error "zip of a FIFO"            1 ZipFolderError unsupportedItem --json zip "$home/with-fifo" "$home/fifo-out" F
expect_json_error "zip of a file, not a folder" 1 system_error ENOTDIR --json zip "$home/with-fifo/pipe" "$home/notdir-out" N
expect_json_error "zip with a separator in the prefix" 1 ZipFolderError invalidPrefix --json zip "$home/lucid.d" "$home/zip-prefix" a/b
mkdir "$home/taken"  # the archive's name for every second the call may land in
for second in -1 0 1 2 3; do
  touch "$home/taken/T_$(date -d "@$(( $(date +%s) + second ))" +%d-%m-%Y_%I-%M-%S).zip"
done
expect_json_error "zip onto an existing archive" 1 system_error EEXIST --json zip "$home/lucid.d" "$home/taken" T
check "zip onto an existing archive leaves the folder as it was" 5 "$(ls -A "$home/taken" | wc -l)"
if [ "$(id -u)" = 0 ]; then
  # Root reads every file: the unreadable one is read by another user.
  mkdir -p "$home/shared/src" && echo secret > "$home/shared/src/secret" && chmod 000 "$home/shared/src/secret"
  chmod 755 "$home" && chmod 777 "$home/shared"
  runner=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  expect_json_error "zip of an unreadable file" 1 ZipFolderError unreadableItem --json zip "$home/shared/src" "$home/shared/out" U
  check "zip of an unreadable file: EACCES" 13 "$(python3 -c 'import json,sys; print(json.load(sys.stdin)["error"]["systemCode"])' <<<"$out")"
  runner=()
  mkdir "$home/full" "$home/read-only"
  if mount -t tmpfs -o size=256k tmpfs "$home/full" 2>/dev/null; then
    head -c 2000000 /dev/urandom > "$home/shared/src/random"; chmod 644 "$home/shared/src/secret"
    expect_json_error "zip into a full file system" 1 ZipFolderError writeFailed --json zip "$home/shared/src" "$home/full" F
    check "zip into a full file system: ENOSPC, nothing left" "28 0" \
      "$(python3 -c 'import json,sys; print(json.load(sys.stdin)["error"]["systemCode"])' <<<"$out") $(ls -A "$home/full" | wc -l)"
    mkdir "$home/full/out" && mount -o remount,ro "$home/full"
    expect_json_error "zip into a read-only folder" 1 ZipFolderError writeFailed --json zip "$home/shared/src" "$home/full/out" R
    check "zip into a read-only folder: EROFS" 30 "$(python3 -c 'import json,sys; print(json.load(sys.stdin)["error"]["systemCode"])' <<<"$out")"
    umount "$home/full"
  fi
fi
expect_json_error "unknown command"          2 UsageError unknownCommand lucid lsit --json
expect_json_error "unknown metric"           2 UsageError invalidValue lucid perf --json --fs nosuch
expect_json_error "global option after the command" 1 LucidLinkCLIError lucidNotRunning "${tool[@]}" status --instance 9999 --json

# --- run and raw: the bytes exactly (none added), the tool's status, and in
# JSON the status and, for bytes that are not UTF-8, base64
out=$("$cli" run /bin/echo a "" b | od -c | head -2)
check "run keeps empty arguments" "$(printf 'a  b\n' | od -c | head -2)" "$out"
"$cli" run "$sim" print-hex ff00c0af1b exit 3 > "$home/bytes"; status=$?
check "run passes bytes that are not UTF-8 exactly" "3 ff00c0af1b" "$status $(od -An -tx1 "$home/bytes" | tr -d ' \n')"
run_cli --json "${tool[@]}" raw print-hex ff00 exit 4
check "raw --json carries them as base64" "4 None /wA=" "$status $(python3 -c 'import json,sys; j=json.load(sys.stdin); print(j["output"], j["outputBase64"])' <<<"$out")"
check "words after the tool are the tool's" "--json" "$("$cli" run /bin/echo --json)"
run_cli --json run "$sim" exit 3
check "run --json adds the status" '3 {"exitStatus": 3, "launchPath": "'"$sim"'", "output": "", "outputBase64": null, "signal": null}' \
  "$status $(python3 -c 'import json,sys; print(json.dumps(json.load(sys.stdin), sort_keys=True))' <<<"$out")"
run_cli --json run "$sim" raise 15
check "run --json names the signal" "143 143 15" "$status $(python3 -c 'import json,sys; j=json.load(sys.stdin); print(j["exitStatus"], j["signal"])' <<<"$out")"
check "raw adds the instance" '["--instance","2001","echo-args","status"]' "$("$cli" "${tool[@]}" --instance 2001 raw echo-args status)"
check "raw without instance" '["echo-args","--flag"]' "$("$cli" "${tool[@]}" raw echo-args --flag)"
check "version" "velmora-fsutil 0.1.0" "$("$cli" --version)"

# --- global options before and after the command give the same result
check "global options after the command" "$("$cli" --json --tool "$home/lucid" lucid list)" "$("$cli" lucid list --tool "$home/lucid" --json)"
out=$("$cli" --json "${tool[@]}" list | tr -d ' \n')
check "lucid list --json" '[{"filespace":"alpha.fs","instanceID":"2001","mode":"live","port":"7778"}]' "$out"
out=$("$cli" "${tool[@]}" status --json --instance 2001 | grep -E '"(mountPoint|isAdmin)"' | tr -d ' \n')
check "lucid status --json" '"isAdmin":true,"mountPoint":"/Volumes/Alpha",' "$out"
out=$("$cli" --json "${tool[@]}" --instance 2001 which /Volumes/Alpha/some/file | grep instanceID | tr -d ' \n')
check "lucid which" '"instanceID":"2001",' "$out"

# --- the list table: no line is cut, columns line up by display width
long=$(printf 'x%.0s' $(seq 600))
set_instances "2001\talpha.fs\t7778\tlive\t/A\n2002\t日本語.fs\t7779\tlive\t/B\n2003\tcafe\xcc\x81.fs\t1\tcache\t/C\n2004\t$long.fs\t2\tlive\t/D\n2005\tev\x1b[2Jil\x07\t3\tlive\t/E\n"
"$cli" "${tool[@]}" list > "$home/table"
check "a long row is whole" yes "$(grep -q "^2004 *$long.fs *2 *live$" "$home/table" && echo yes)"
check "control characters from the tool are shown escaped" yes "$(grep -qF '2005         ev\x1b[2Jil\x07  ' "$home/table" && echo yes)"
out=$(python3 - "$home/table" <<'PY'
import re, sys, unicodedata
def width(text):  # terminal columns: wide characters two, combining marks none
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)
# Where each line's third column (PORT) begins, in display columns.
starts = {width(line[:[m.start() for m in re.finditer(r"(?:^|(?<=  ))\S", line)][2]])
          for line in open(sys.argv[1], encoding="utf-8").read().splitlines()}
print(len(starts))
PY
)
check "PORT column starts at one display column in every row" 1 "$out"
set_instances '2001\talpha.fs\t7778\tlive\t/Volumes/Alpha\n'

# --- warnings of the library go to standard error; standard output stays the result
echo "println no-colon-line" > "$home/lucid.d/misbehave"
run_cli --json "${tool[@]}" --instance 2001 status
rm "$home/lucid.d/misbehave"
check "a warning goes to standard error" "Warning: Skipping malformed line: no-colon-line" "$err"
check "standard output stays valid JSON" "alpha.fs" "$(python3 -c 'import json,sys; print(json.load(sys.stdin)["filespaceName"])' <<<"$out")"
echo "newline exit 0" > "$home/lucid.d/misbehave"
run_cli --json "${tool[@]}" --instance 2001 status
rm "$home/lucid.d/misbehave"
check "a status of no facts is a record of nulls" "0 7 True" \
  "$status $(python3 -c 'import json,sys; j=json.load(sys.stdin); print(len(j), all(v is None for v in j.values()))' <<<"$out")"

# --- config: long and non-ASCII values round-trip; refusals and unknown keys fail with the tool's words
values=("DataCache.Size=$(printf 'G%.0s' $(seq 40))" "FileSystem.MountPointOSX=/Volumes/Café/日本語 データ" "DataCache.Location=/cafe$(printf '\xcc\x81')/x")
"$cli" "${tool[@]}" --instance 2001 config set --global "${values[@]}" >/dev/null
out=$("$cli" --json "${tool[@]}" --instance 2001 config list | python3 -c '
import json, sys
entries = json.load(sys.stdin)["entries"]
for word in sys.argv[1:]:
    key, value = word.split("=", 1)
    print(entries[key]["effective"] == value and entries[key]["configured"] == value and entries[key]["scope"] == "global")
' "${values[@]}" | sort -u)
check "config set then list round-trips long and non-ASCII values" True "$out"
expect "config set refused: the tool's whole answer" 1 "An invalid option was passed. Additional arguments: --No.Such"  "${tool[@]}" --instance 2001 config set No.Such=1
expect "config explain of an unknown key fails" 1 "The LucidLink tool does not explain DataCache.Size, No.Such: An invalid option was passed. Additional arguments: --No.Such"  "${tool[@]}" --instance 2001 config explain DataCache.Size No.Such
expect_json_error "refused set"             1 LucidLinkCLIError failedToSetOrDeleteConfig --json "${tool[@]}" --instance 2001 config set No.Such=1
expect_json_error "unknown key"             1 CommandError unknownConfigKey --json "${tool[@]}" --instance 2001 config explain No.Such

# The simulator: concurrent changes of its store all take effect (five writers, five rounds); bad operands are usage errors.
for round in 1 2 3 4 5; do for key in DataCache.{Location,Size} FileSystem.{ForbidSpecialCharacters,MountPointOSX} ObjectScheduler.MaxUploadRate; do
  "$home/lucid" --instance "c$round" config --set "--$key" "set-$key" >/dev/null & done; wait; done
check "concurrent config --set calls lose nothing" "25 0" "$(cat "$home"/lucid.d/config-c*-local | wc -l) $(ls "$home/lucid.d" | grep -c tmp)"
for words in "print-hex zz" "print-hex f" "exit 1x" "sleep nan" "raise 0"; do
  "$sim" $words 2>"$home/sim.err"; check "simulator: $words is a usage error" "2 lucid-sim: ${words%% *}: expected" "$? $(grep -o '^lucid-sim: [a-z-]*: expected' "$home/sim.err")"
done

# --- the password: from standard input, never logged, never empty, never echoed on a terminal
echo 'pass word' > "$home/lucid.d/password"
out=$(echo 'pass word' | "$cli" "${tool[@]}" --instance 2001 config delete --global DataCache.Size --password-stdin 2>&1); status=$?
check "the right password is taken" "0 Done." "$status $out"
run_cli "${tool[@]}" --instance 2001 config delete --global DataCache.Size
check "a change without the password is refused with the tool's reason" "1 Error: the filespace password is required to change settings." "$status $err"
out=$(printf '\n' | "$cli" "${tool[@]}" --instance 2001 config delete DataCache.Size --password-stdin 2>&1; echo "status $?")
check "an empty password is refused" "The filespace password is empty status 1" "$(tr '\n' ' ' <<<"$out" | sed 's/ $//')"
check "the password is not in calls.log" 0 "$(grep -c 'pass word' "$home/lucid.d/calls.log")"
out=$(python3 - "$cli" "$home/lucid" <<'PY'
import os, pty, sys
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1], "lucid", "--tool", sys.argv[2], "--instance", "2001", "config", "set",
                           "DataCache.Size=2GiB", "--password-stdin"])
seen = b""
while b"password: " not in seen:
    seen += os.read(fd, 1024)
os.write(fd, b"pass word\n")
try:
    while data := os.read(fd, 1024):
        seen += data
except OSError:  # the terminal is gone with the program
    pass
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), b"pass word" in seen, b"Done." in seen)
PY
)
check "on a terminal the password is read without echo" "0 False True" "$out"
rm "$home/lucid.d/password"

# --- perf: runs until Ctrl-C (130), waits for the tool to be gone, and fails
# with the reason when the tool cannot start or stops streaming
# A background job truncates its output file only once it runs: files are
# emptied first, so that nothing waits on what a previous job left there.
start_perf() {  # output-file arguments...
  local file=$1; shift
  : > "$file"
  "${in_background[@]}" "$cli" "${tool[@]}" --instance 2001 perf "$@" >> "$file" 2>"$file.err" &
  perf=$!
  for _ in $(seq 100); do [ "$(wc -l < "$file")" -ge 3 ] && break; sleep 0.1; done
}
start_perf "$home/perf.out" --json --fs readBytes
kill -INT "$perf"; wait "$perf"; status=$?
check "perf ends on Ctrl-C with 130" 130 "$status"
check "perf leaves no tool process behind" 0 "$(no_tool_left)"
out=$(head -n 1 "$home/perf.out" | python3 -c 'import json,sys; u=json.load(sys.stdin); m=u["metrics"]["readBytes"]; print(u["dataLayer"], m["text"], m["value"]["doubleValue"], m["value"]["unit"], m["value"]["bytesPerSecond"])')
check "perf --json prints raw and parsed values" "fs 0.5MiB/s 0.5 MiB/s 524288.0" "$out"

# Started as nohup starts it, perf keeps ignoring SIGHUP.
echo "ignore-term" > "$home/lucid.d/misbehave"
in_background+=(--ignore-signal=HUP)
start_perf "$home/perf.out" --fs reads
in_background=(env --default-signal=INT,TERM,HUP)
kill -HUP "$perf"; sleep 0.3
kill -TERM "$perf"; wait "$perf"; status=$?
check "perf ignores the SIGHUP it was started ignoring and ends on SIGTERM with 143" 143 "$status"
check "a tool that ignores SIGTERM is gone when perf exits" 0 "$(no_tool_left)"
rm "$home/lucid.d/misbehave"

echo "perf-count=3" > "$home/lucid.d/options"
expect "perf fails when the tool stops streaming" 1 "The LucidLink tool stopped streaming: it exited with status 0"  "${tool[@]}" --instance 2001 perf --fs reads
check "the updates before the end are printed" 3 "$(wc -l <<<"$out")"
run_cli --json "${tool[@]}" --instance 2001 perf --fs reads
check "perf --json ends a failed stream with its error on one line" "1 3 exited" \
  "$status $(python3 -c 'import json,sys; l=[json.loads(x) for x in sys.stdin]; print(len(l) - 1, l[-1]["error"]["case"])' <<<"$out")"
rm "$home/lucid.d/options"
echo "raise 9" > "$home/lucid.d/misbehave"
expect_json_error "a tool killed by a signal" 1 LucidPerfRunEnd killedBySignal --json "${tool[@]}" perf
rm "$home/lucid.d/misbehave"
run_cli lucid --tool /nonexistent/lucid perf
check "perf fails when the tool cannot start" "1 The LucidLink tool could not be started:" "$status $(grep -o '^The LucidLink tool could not be started:' <<<"$err")"
run_cli --json lucid --tool /nonexistent/lucid perf  # (the library's warning goes to standard error)
check "perf whose tool cannot start (--json)" "1 LucidPerfRunEnd launchFailed 2" \
  "$status $(python3 -c 'import json,sys; e=json.load(sys.stdin)["error"]; print(e["type"], e["case"], e["systemCode"])' <<<"$out")"

# --- watch: a new instance shows up within an interval; Ctrl-C (130) waits
# for a tool that is running at that moment
"${in_background[@]}" "$cli" --json "${tool[@]}" watch --interval 0.1 > "$home/watch.out" 2>&1 &
watcher=$!
for _ in $(seq 50); do grep -q '"start"' "$home/watch.out" && break; sleep 0.1; done
set_instances '2001\talpha.fs\t7778\tlive\t/Volumes/Alpha\n2002\tbeta.fs\t7779\tlive\t/Volumes/Beta\n'
for _ in $(seq 50); do grep -q '"2002"' "$home/watch.out" && break; sleep 0.1; done
check "watch saw the new instance" yes "$(grep -q '"2002"' "$home/watch.out" && echo yes)"
echo "ignore-term forever" > "$home/lucid.d/misbehave"
for _ in $(seq 50); do [ "$(no_tool_left)" -gt 0 ] && break; sleep 0.05; done
sleep 0.3  # for the running tool to have logged its call
calls=$(wc -l < "$home/lucid.d/calls.log")
kill -INT "$watcher"; wait "$watcher"; status=$?
check "watch ends on Ctrl-C with 130 while its tool hangs, leaving none and starting none" "130 0 $calls" \
  "$status $(no_tool_left) $(wc -l < "$home/lucid.d/calls.log")"
rm "$home/lucid.d/misbehave"

# --- a stop signal to the front end alone reaches the tool of run, raw or a
# report itself (the trap says which), and the front end exits 128+N once the
# tool is gone; a tool that ignores it is killed after the grace period
traps='for s in INT TERM HUP; do trap "echo got-$s; exit 0" $s; done; echo ready; while :; do sleep 0.05; done'
for row in INT:130:got-INT TERM:143:got-TERM HUP:129:got-HUP TERM:143:ready HUP:129:; do
  IFS=: read -r name want_status want_last <<<"$row"
  case $want_last in
    got-*) what=run command=(run /bin/sh -c "$traps") ;;
    ready) what="raw, its tool ignoring it," command=("${tool[@]}" raw ignore-term println ready forever) ;;
    *) what="status, its tool ignoring it," command=("${tool[@]}" --instance 2001 status)
       echo "ignore-term forever" > "$home/lucid.d/misbehave" ;;
  esac
  : > "$home/signal.out"
  "${in_background[@]}" "$cli" "${command[@]}" >> "$home/signal.out" 2>&1 &
  pid=$!
  for _ in $(seq 600); do grep -q ready "$home/signal.out" || { [ -z "$want_last" ] && [ "$(no_tool_left)" -gt 0 ]; } && break; sleep 0.05; done
  kill -"$name" "$pid"; wait "$pid"; status=$?
  check "$what passes SIG$name on" "$want_status $want_last 0" "$status $(tail -n 1 "$home/signal.out") $(no_tool_left)"
  rm -f "$home/lucid.d/misbehave"
done

# --- standard output that fails: a full device or a closed descriptor is a
# write error (1) for every command, zip saying where its archive is; a
# reader that goes away ends the command by SIGPIPE (141), quietly, unless
# SIGPIPE was ignored; no tool is left either way
mkdir -p "$home/small" && echo x > "$home/small/f"
for target in "/dev/full:No space left on device" "closed:Bad file descriptor"; do
  for command in "--version" "run $sim print x" "--json run $sim print-mib 1" "${tool[*]} list" "${tool[*]} perf" \
                 "${tool[*]} watch" "zip $home/small $home/zips-${target%%:*} Z"; do
    # shellcheck disable=SC2086
    if [ "${target%%:*}" = closed ]; then timeout 60 "$cli" $command >&- 2>"$home/err"; else
      timeout 60 "$cli" $command >/dev/full 2>"$home/err"; fi; status=$?
    check "$command to ${target%%:*} output" "1 write error: ${target#*:} 0" "$status $(tail -n 1 "$home/err") $(no_tool_left)"
  done
  check "zip says where its archive is" yes "$(grep -q "^The archive was made: $home/zips-${target%%:*}/Z_" "$home/err" && echo yes)"
done
for row in "141||" "1|write error: Broken pipe|--ignore-signal=PIPE"; do
  IFS='|' read -r want_status want_err ignore <<<"$row"
  # shellcheck disable=SC2086
  env $ignore "$cli" "${tool[@]}" raw print-mib 64 forever 2>"$home/err" | head -c 1 >/dev/null
  check "a reader that goes away${ignore:+ with SIGPIPE ignored}" "$want_status $want_err 0" "${PIPESTATUS[0]} $(cat "$home/err") $(no_tool_left)"
done

# --- completions for bash, zsh and fish: at every command path each offers
# every command and option that --help lists, and metric names after a comma
generated=$(dirname "$cli")/velmora-fsutil
offered() {  # shell words...: what the shell offers for the last, partial word
  case $1 in
    bash) bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _velmora_fsutil
                   printf "%s\n" "${COMPREPLY[@]}"' _ "$generated.bash" "${@:2}" ;;
    zsh) zsh -fc '_describe() { local -a s; s=(${(P)4}); print -l -- ${s%%:*} }; _files() { :; }; _command_names() { :; }
                  compadd() { shift; print -l -- "$@" }; _sequence() { :; }
                  words=("${@:2}"); CURRENT=$#words; PREFIX=$words[-1]; source "$1"' _ "$generated.zsh" "${@:2}" ;;
    fish) fish -c 'source $argv[1]; complete -C (string join " " -- $argv[2..-1])' "$generated.fish" "${@:2}" ;;
  esac | sed 's/\t.*//' | sort -u | tr '\n' ' '
}
paths=("")
for ((i = 0; i < ${#paths[@]}; i++)); do
  # shellcheck disable=SC2086
  help=$("$cli" ${paths[i]} --help)
  commands=$(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | awk 'NR > 1 && NF {print $1}')
  for command in $commands; do paths+=("${paths[i]:+${paths[i]} }$command"); done
  options=$(sed -n '/^Options:/,/^$/p' <<<"$help" | grep -oE '^  -[^ ]+' | tr ', ' '\n\n')
  for shell in bash zsh fish; do
    # shellcheck disable=SC2086
    got=" $(offered $shell velmora-fsutil ${paths[i]} "") $(offered $shell velmora-fsutil ${paths[i]} -) "
    for word in $commands $options; do [[ $got == *" $word "* ]] || missing+=" $shell:'${paths[i]}':$word"; done
  done
done
check "the completions offer what --help lists, at ${#paths[@]} command paths" "" "${missing-}"
for shell in bash fish; do  # (zsh's own comma handling, _sequence, is not run here)
  check "$shell completes metric names after a comma" "readBytes,writeBytes readBytes,writeTime readBytes,writes " \
    "$(offered $shell velmora-fsutil lucid perf --fs readBytes,wr)"
done
# On a terminal, Tab completes a name with a space whole, quoted, in each shell.
mkdir -p "$home/names/my folder" "$home/zsh-functions" && touch "$home/names/my file.txt"
tabbed() {  # shell line: the command line once Tab has been pressed after it
  (cd "$home/names" && VF=$generated.$1 FN=$home/zsh-functions python3 - "$1" "$2" <<'PY'
import os, pty, select, sys, time
shell, line = sys.argv[1:]
setup = {"bash": "source $VF; bind -x '\"\\C-t\": printf \"<<%s>>\\n\" \"$READLINE_LINE\"'",
         "zsh": "ln -sf $VF $FN/_velmora-fsutil; fpath=($FN $fpath); autoload -U compinit; compinit -u -D; bindkey -e;"
                " show() { print -r -- \"<<$BUFFER>>\" }; zle -N show; bindkey '^T' show",
         "fish": "source $VF; bind \\ct 'echo \"<<\"(commandline)\">>\"'"}[shell]
argv = {"bash": ["bash", "--norc", "--noprofile", "-i"], "zsh": ["zsh", "-f", "-i"], "fish": ["fish", "--no-config", "-i"]}
pid, fd = pty.fork()
if pid == 0:
    os.execvpe(shell, argv[shell], dict(os.environ, TERM="dumb", PS1="$ "))
def read_until(marker, seen=b""):
    end = time.time() + 20
    while marker not in seen and time.time() < end and select.select([fd], [], [], 0.2) is not None:
        try: seen += os.read(fd, 4096) if select.select([fd], [], [], 0)[0] else b""
        except OSError: break
    return seen.decode(errors="replace")
os.write(fd, setup.encode() + b'; echo READY""\n'); read_until(b"READY\r")
os.write(fd, line.encode() + b"\t"); time.sleep(0.3); os.write(fd, b"\x14")
text = read_until(b">>")
os.kill(pid, 9); os.waitpid(pid, 0)
print(text[text.rfind("<<") + 2:text.rfind(">>")] if "<<" in text else "(no line)")
PY
)
}
for shell in bash zsh fish; do
  for row in 'zip my|zip my\ folder/' 'kext info my\ fi|kext info my\ file.txt '; do
    check "$shell completes ${row%%|*} whole" "velmora-fsutil ${row#*|}" "$(tabbed $shell "velmora-fsutil ${row%%|*}")"
  done
done
# --- kext and settings, with stand-ins for osascript (a successful script) and
# for open, which records what it is given
mkdir -p "$home/desktop" "$home/no-tools" "$home/Extensions/macfuse.kext/Contents"
printf '#!/bin/sh\n' > "$home/desktop/osascript"
printf '#!/bin/sh\nprintf "%%s\\n" "$@" >> "%s/open.log"\n' "$home" > "$home/desktop/open"
chmod +x "$home/desktop/osascript" "$home/desktop/open"
python3 -c 'import plistlib,sys; plistlib.dump({"CFBundleIdentifier": "io.macfuse.filesystems.macfuse", "CFBundleShortVersionString": "4.5.0"}, open(sys.argv[1], "wb"), fmt=plistlib.FMT_BINARY)' "$home/Extensions/macfuse.kext/Contents/Info.plist"
kext=$home/Extensions/macfuse.kext
desktop=(--desktop-tools "$home/desktop")
opened() {  # what the opener was given, once it has run
  for _ in $(seq 50); do [ -s "$home/open.log" ] && break; sleep 0.1; done
  cat "$home/open.log" 2>/dev/null; rm -f "$home/open.log"
}

mkdir -p "$home/odd.kext/Contents"
python3 -c 'import plistlib,sys; plistlib.dump({"CFBundleIdentifier": "io.x\x9b2J", "CFBundleName": "a\x1b]0;t\x07\nforged\\", "CFBundleShortVersionString": "1"}, open(sys.argv[1], "wb"), fmt=plistlib.FMT_BINARY)' "$home/odd.kext/Contents/Info.plist"
check "kext info shows control characters escaped" 'a\x1b]0;t\x07\nforged\\ 1 (io.x\u009b2J)' "$("$cli" kext info "$home/odd.kext" | head -n 1)"
check "--json keeps them exact" True "$("$cli" --json kext info "$home/odd.kext" | python3 -c 'import json,sys; print(json.load(sys.stdin)["name"] == "a\x1b]0;t\x07\nforged\\")')"
out=$("$cli" --json kext info "$kext" | tr -d ' \n')
check "kext info --json" '{"extensionFilePath":"'"$kext"'","extensionID":"io.macfuse.filesystems.macfuse","name":"macfuse","versionString":"4.5.0"}' "$out"
expect "kext load succeeds when the script does" 0 ""  kext "${desktop[@]}" load "$kext"
expect "a non-kext path is not found" 1 "kernel extension not found"  kext "${desktop[@]}" load "$home/Extensions"
# Not approved: the alert is answered "Open System Settings" only after a
# while, and the command still ends after the pane was opened.
printf '%s\n' '#!/bin/sh' 'case "$*" in' \
  "  *'display alert \"Extension Failed to Load\"'*) sleep 0.5; echo 'button returned:Open System Settings' ;;" \
  "  *'display alert'*) echo 'button returned:OK' ;;" \
  "  *) echo 'velmora-script-error:27:kext is not approved to load' ;;" 'esac' > "$home/desktop/osascript"
run_cli kext "${desktop[@]}" load "$kext"
check "an unapproved load fails, says why and has opened the pane when it exits" \
  "1 yes file:///System/Library/PreferencePanes/security.prefPane" \
  "$status $(grep -q 'not approved to load' <<<"$err" && echo yes) $(cat "$home/open.log" 2>/dev/null)"
rm -f "$home/open.log"
# A stop signal to the front end alone reaches the osascript of a load, even
# one that ignores it (killed after the grace period), and none is left.
mkdir -p "$home/hung-desktop"
printf '#!/bin/sh\ntrap "" TERM\necho ready >&2\nwhile :; do sleep 0.05; done\n' > "$home/hung-desktop/osascript"
chmod +x "$home/hung-desktop/osascript"
for row in INT:130 TERM:143; do
  : > "$home/kext.err"
  "${in_background[@]}" "$cli" kext --desktop-tools "$home/hung-desktop" load "$kext" 2>>"$home/kext.err" &
  pid=$!
  for _ in $(seq 100); do grep -q ready "$home/kext.err" && break; sleep 0.05; done
  kill -"${row%:*}" "$pid"; wait "$pid"; status=$?
  check "kext load passes SIG${row%:*} to its osascript" "${row#*:} 0" "$status $(pgrep -f "$home/hung-desktop/osascript" | wc -l)"
done
expect "settings open notification" 0 ""  settings "${desktop[@]}" open notification
check "settings open opens the pane" "file:///System/Library/PreferencePanes/notifications.prefPane" "$(opened)"
expect_json_error "Security is no pane" 1 CommandError unknownPane --json settings "${desktop[@]}" open Security
expect "settings open without an opener fails" 1 \
  "No opener could be started for file:///System/Library/PreferencePanes/security.prefPane"  settings --desktop-tools "$home/no-tools" open privacyAndSecurity
check "settings open without an opener claims nothing" "" "$out"
expect_json_error "settings open without an opener" 1 CommandError openerNotStarted --json settings --desktop-tools "$home/no-tools" open

# --- smart decode: saved raw pages; an endless page is refused
# (JSON as every command prints it: two-space indentation, 64-bit counts as
# exact numbers, absent values null)
python3 -c 'import sys; p=bytearray(512); p[1:3]=(313).to_bytes(2,"little"); p[5]=150; p[32:40]=(1<<40).to_bytes(8,"little"); sys.stdout.buffer.write(p)' > "$home/nvme.bin"
out=$("$cli" --json smart decode --nvme "$home/nvme.bin" | python3 -c 'import json,sys; t=sys.stdin.read(); d=json.loads(t); print(t.split("\n")[1][:3], d["temperature"], d["life"], d["totalRead"] + 0, d["criticalWarning"]["bits"], d["hostReadCommands"])')
check "smart decode --nvme --json" '  " 313 0 562949953421312000 0 0' "$out"
python3 -c 'import sys; p=bytearray(512); p[2]=194; p[7]=40; sys.stdout.buffer.write(p)' > "$home/ata.bin"
out=$("$cli" --json smart decode --ata "$home/ata.bin" | python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["temperature"], d["life"], d["mediaErrors"], d["totalRead"])')
check "smart decode --ata --json" "313 None None 0" "$out"
expect "an endless page is refused" 1 "/dev/zero is larger than 1 MiB: not a raw SMART page (512 bytes; a statistics log 4096)"  smart decode --nvme /dev/zero
head -c 511 "$home/nvme.bin" > "$home/short.bin"
expect_json_error "decode of a missing file" 1 system_error ENOENT/2 --json smart decode --nvme "$home/missing.bin"
expect_json_error "decode of a folder" 1 system_error EISDIR/21 --json smart decode --ata "$home"
expect_json_error "decode of a short page" 1 CommandError pageTooShort --json smart decode --nvme "$home/short.bin"
expect_json_error "decode of a short statistics log" 1 CommandError pageTooShort --json smart decode --ata "$home/ata.bin" --stats "$home/nvme.bin"
expect_json_error "decode of an endless page" 1 CommandError pageTooLarge --json smart decode --nvme /dev/zero
expect "an unknown disk" 1 "Disk not found: no-such-disk"  smart --bsd no-such-disk

# --- zip: the archive's path or byte counts, the same bytes for any thread
# count, a progress bar only on a terminal and as wide as it, and stop
# signals that remove the temporary file
mkdir -p "$home/src/docs"
head -c 3000000 /dev/urandom | base64 > "$home/src/docs/big.txt"
printf 'small\n' > "$home/src/small.txt"
one=$("$cli" zip --threads 1 "$home/src" "$home/one" One)
check "zip prints the archive path" yes "$(case "$one" in "$home/one/One_"*.zip) [ -f "$one" ] && echo yes;; esac)"
two=$("$cli" zip --threads 2 --readers 3 "$home/src" "$home/two" Two)
check "zip archives are the same bytes with other threads and readers" yes "$(cmp -s "$one" "$two" && echo yes)"
out=$("$cli" --json zip "$home/src/docs" "$home/zips" Other | python3 -c 'import json,sys; j=json.load(sys.stdin); print(j["inputBytes"], j["archiveBytes"] > 0)')
check "zip --json prints byte counts" "$(stat -c %s "$home/src/docs/big.txt") True" "$out"
"$cli" zip "$home/src" "$home/piped" Piped >/dev/null 2>"$home/piped.err"
check "zip draws no progress bar into a pipe" 0 "$(wc -c < "$home/piped.err")"
screen=$(script -qc "stty cols 50; '$cli' zip '$home/src' '$home/tty' Tty" /dev/null | tr '\r' '\n' | sed 's/\x1b\[K//g')
check "zip draws a progress bar on a terminal" yes "$(grep -q '100%.*/s' <<<"$screen" && echo yes)"
check "zip's progress bar fits the terminal" 0 "$(grep -v "$home" <<<"$screen" | awk 'length($0) > 49' | wc -l)"
screen=$(script -qc "'$cli' zip --quiet '$home/src' '$home/quiet' Quiet" /dev/null)
check "zip --quiet draws no progress bar" 0 "$(grep -c '%' <<<"$screen")"
# A sparse 4 GiB file keeps one thread busy long enough to be interrupted.
truncate -s 4G "$home/src/sparse"
for signal in INT:130 TERM:143 HUP:129; do
  name=${signal%:*}
  "${in_background[@]}" "$cli" zip --threads 1 "$home/src" "$home/sig-$name" Sig 2>/dev/null &
  pid=$!
  for _ in $(seq 50); do [ -d "$home/sig-$name" ] && break; sleep 0.1; done
  sleep 0.3
  kill -"$name" "$pid"; wait "$pid"; status=$?
  check "zip on SIG$name exits ${signal#*:} and leaves no file" "${signal#*:} 0" "$status $(ls -A "$home/sig-$name" | wc -l)"
done
# With --json the cancellation is an error object on standard output.
"${in_background[@]}" "$cli" --json zip --threads 1 "$home/src" "$home/sig-json" Sig >"$home/sig-json.out" 2>"$home/sig-json.err" &
pid=$!
for _ in $(seq 50); do [ -d "$home/sig-json" ] && break; sleep 0.1; done
sleep 0.3
kill -TERM "$pid"; wait "$pid"; status=$?
check "zip --json on SIGTERM prints the cancellation" "143 ZipFolderError cancelled stderr:" \
  "$status $(python3 -c 'import json,sys; e=json.load(sys.stdin)["error"]; print(e["type"], e["case"])' <"$home/sig-json.out" 2>&1) stderr:$(cat "$home/sig-json.err")"
# A zip killed outright leaves nothing either: it writes into a file without
# a name, linked into place at the end. Killed once it is writing, seen as
# a descriptor to a deleted file in the output folder.
"$cli" zip --threads 1 "$home/src" "$home/sig-KILL" Sig >/dev/null 2>&1 &
pid=$!
for _ in $(seq 200); do
  ls -l "/proc/$pid/fd" 2>/dev/null | grep -q "$home/sig-KILL/.*(deleted)" && break
  sleep 0.05
done
writing=$(ls -l "/proc/$pid/fd" 2>/dev/null | grep -c "$home/sig-KILL/.*(deleted)")
kill -KILL "$pid"; { wait "$pid"; status=$?; } 2>/dev/null
check "zip on SIGKILL while writing leaves no file" "1 137 0" "$writing $status $(ls -A "$home/sig-KILL" | wc -l)"

echo "$(( checks - failures )) passed, $failures failed"
[ "$failures" -eq 0 ]
