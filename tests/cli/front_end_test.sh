#!/usr/bin/env bash
# The front end as a user calls it: exact output, exit statuses, error texts.
set -u
cli=$1
sim=$2
failures=0

check() {  # name expected actual
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    echo "FAIL: $1"; echo "  expected: $(printf '%q' "$2")"; echo "  actual:   $(printf '%q' "$3")"
    failures=$((failures + 1))
  fi
}

out=$("$cli" run /bin/echo a "" b | od -c | head -2)
check "run keeps empty arguments" "$(printf 'a  b\n' | od -c | head -2)" "$out"

out=$("$cli" run "$sim" print "no newline"; echo "|")
check "run adds no line feed" "no newline|" "$out"

"$cli" run /nonexistent/tool >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "missing tool exits 1" 1 "$status"
check "missing tool says why" "The launch path for the utility does not exist" "$(cat /tmp/velmora-fe-$$.err)"

"$cli" run "$sim" print-hex ff >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "invalid UTF-8 exits 1" 1 "$status"
check "invalid UTF-8 says why" "Failed to parse output data" "$(cat /tmp/velmora-fe-$$.err)"

out=$("$cli" lucid --tool "$sim" --instance 2001 raw echo-args status)
check "lucid raw adds the instance" '["--instance","2001","echo-args","status"]' "$out"

out=$("$cli" lucid --tool "$sim" raw echo-args "--flag")
check "lucid raw without instance" '["echo-args","--flag"]' "$out"

out=$("$cli" --json run "$sim" print "x")
check "run --json" '{
  "launchPath": "'"$sim"'",
  "output": "x"
}' "$out"

out=$("$cli" --version)
check "version" "velmora-fsutil 0.1.0" "$out"

# LucidLink commands against a private copy of the simulator with its own state.
home=$(mktemp -d)
trap 'rm -rf "$home" /tmp/velmora-fe-$$.err' EXIT
ln -s "$sim" "$home/lucid"
mkdir "$home/lucid.d"
set_instances() { printf "$1" > "$home/lucid.d/instances.tmp" && mv "$home/lucid.d/instances.tmp" "$home/lucid.d/instances"; }
set_instances '2001\talpha.fs\t7778\tlive\t/Volumes/Alpha\n'
tool=(lucid --tool "$home/lucid")

out=$("$cli" --json "${tool[@]}" list | tr -d ' \n')
check "lucid list --json" '[{"filespace":"alpha.fs","instanceID":"2001","mode":"live","port":"7778"}]' "$out"

out=$("$cli" --json "${tool[@]}" --instance 2001 status | grep -E '"(mountPoint|isAdmin)"' | tr -d ' \n')
check "lucid status --json" '"isAdmin":true,"mountPoint":"/Volumes/Alpha",' "$out"

out=$("$cli" --json "${tool[@]}" --instance 2001 cache | grep cacheLimit | tr -d ' \n')
check "lucid cache --json" '"cacheLimit":"10.00GiB",' "$out"

"$cli" "${tool[@]}" --instance 9999 status >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "status of a stopped instance exits 1" 1 "$status"
check "status of a stopped instance says why" "Lucid is not running" "$(cat /tmp/velmora-fe-$$.err)"

out=$("$cli" --json "${tool[@]}" which /Volumes/Alpha/some/file | grep instanceID | tr -d ' \n')
check "lucid which" '"instanceID":"2001",' "$out"

"$cli" "${tool[@]}" which /Volumes/Alpha2 >/dev/null 2>&1; status=$?
check "which of an unserved path exits 1" 1 "$status"

# watch: a new instance shows up within an interval; Ctrl-C ends it cleanly.
"$cli" --json "${tool[@]}" watch --interval 0.1 > "$home/watch.out" 2>&1 &
watcher=$!
for _ in $(seq 50); do grep -q '"start"' "$home/watch.out" && break; sleep 0.1; done
set_instances '2001\talpha.fs\t7778\tlive\t/Volumes/Alpha\n2002\tbeta.fs\t7779\tlive\t/Volumes/Beta\n'
for _ in $(seq 50); do grep -q '"2002"' "$home/watch.out" && break; sleep 0.1; done
kill -INT "$watcher"; wait "$watcher"; status=$?
check "watch saw the new instance" yes "$(grep -q '"2002"' "$home/watch.out" && echo yes)"
check "watch ends cleanly on Ctrl-C" 0 "$status"

# config: a set shows in the next listing; a refused set exits 1 with its reason.
"$cli" "${tool[@]}" --instance 2001 config set --global DataCache.Size=10GiB >/dev/null
out=$("$cli" --json "${tool[@]}" --instance 2001 config list | grep -A4 '"DataCache.Size"' | grep effective | tr -d ' ')
check "config set then list" '"effective":"10GiB",' "$out"

"$cli" "${tool[@]}" --instance 2001 config set No.Such=1 >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "refused set exits 1" 1 "$status"
check "refused set says why" "--No.Such" "$(cat /tmp/velmora-fe-$$.err)"

echo 'pass word' | "$cli" "${tool[@]}" --instance 2001 config delete --global DataCache.Size --password-stdin >/dev/null
out=$(tail -n 1 "$home/lucid.d/calls.log")
check "password reaches the tool from standard input" \
  '["--instance","2001","config","--delete","--global","--DataCache.Size","--password","pass word"]' "$out"

# perf: one JSON object per update per line; Ctrl-C ends the run and leaves no child.
"$cli" --json "${tool[@]}" --instance 2001 perf --fs readBytes > "$home/perf.out" 2>&1 &
perf=$!
for _ in $(seq 50); do [ "$(wc -l < "$home/perf.out")" -ge 3 ] && break; sleep 0.1; done
kill -INT "$perf"; wait "$perf"; status=$?
check "perf ends cleanly on Ctrl-C" 0 "$status"
out=$(head -n 1 "$home/perf.out" | python3 -c 'import json,sys; u=json.load(sys.stdin); m=u["metrics"]["readBytes"]; print(u["dataLayer"], m["text"], m["value"]["doubleValue"], m["value"]["unit"], m["value"]["bytesPerSecond"])')
check "perf --json prints raw and parsed values" "fs 0.5MiB/s 0.5 MiB/s 524288.0" "$out"
sleep 0.5
check "perf leaves no tool process behind" 0 "$(pgrep -f "$home/lucid" | wc -l)"

# zip: prints the archive's path; --json adds the byte counts; an unreadable
# file fails the call with its name (checked as an unprivileged user when
# this runs as root, since root reads everything).
mkdir -p "$home/tree/sub" "$home/zips"
echo "content" > "$home/tree/sub/file.txt"
out=$("$cli" zip "$home/tree" "$home/zips" Tree)
check "zip prints the archive path" yes "$( [ -f "$out" ] && case "$out" in "$home/zips/Tree_"*.zip) echo yes;; esac)"
out=$("$cli" --json zip "$home/tree" "$home/zips" Other | python3 -c 'import json,sys; j=json.load(sys.stdin); print(j["inputBytes"], j["archiveBytes"] > 0)')
check "zip --json prints byte counts" "8 True" "$out"

echo "secret" > "$home/tree/secret.txt"
chmod 000 "$home/tree/secret.txt"
as_user=()
zip_cli=$cli
if [ "$(id -u)" -eq 0 ]; then
  # A copy the other user can reach, wherever this checkout lives.
  cp "$cli" "$home/velmora-fsutil"; zip_cli=$home/velmora-fsutil
  chmod 755 "$home" "$home/tree" "$home/tree/sub" "$zip_cli"; chmod 777 "$home/zips"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
"${as_user[@]}" "$zip_cli" zip "$home/tree" "$home/zips" Denied >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "unreadable file fails the zip" 1 "$status"
check "the error names the file" yes "$(grep -q 'secret.txt' /tmp/velmora-fe-$$.err && echo yes)"
check "no archive is left behind" 0 "$(ls "$home/zips" | grep -c Denied)"

# kext and settings, with stand-ins for osascript and open that record what they get.
mkdir -p "$home/desktop" "$home/Extensions/macfuse.kext/Contents"
printf '#!/bin/sh\nprintf "%%s\\n" "$@" >> "%s/osascript.log"\ncat "%s/osascript.answer" 2>/dev/null\nexit 0\n' "$home" "$home" > "$home/desktop/osascript"
printf '#!/bin/sh\nprintf "%%s\\n" "$@" >> "%s/open.log"\n' "$home" > "$home/desktop/open"
chmod +x "$home/desktop/osascript" "$home/desktop/open"
python3 -c 'import plistlib,sys; plistlib.dump({"CFBundleIdentifier": "io.macfuse.filesystems.macfuse", "CFBundleShortVersionString": "4.5.0"}, open(sys.argv[1], "wb"), fmt=plistlib.FMT_BINARY)' "$home/Extensions/macfuse.kext/Contents/Info.plist"

out=$("$cli" --json kext info "$home/Extensions/macfuse.kext" | tr -d ' \n')
check "kext info --json" '{"extensionFilePath":"'"$home"'/Extensions/macfuse.kext","extensionID":"io.macfuse.filesystems.macfuse","name":"macfuse","versionString":"4.5.0"}' "$out"
check "kext name" "21" "$("$cli" kext name io.macfuse.filesystems.macfuse.21)"

"$cli" kext --desktop-tools "$home/desktop" load "$home/Extensions/macfuse.kext" > /dev/null; status=$?
check "kext load succeeds when the script does" 0 "$status"
check "kext load ran the quoted kextload" yes "$(grep -qF "do shell script \"kextload '$home/Extensions/macfuse.kext'\" with administrator privileges" "$home/osascript.log" && echo yes)"
echo "velmora-script-error:-128:User canceled." > "$home/osascript.answer"
"$cli" kext --desktop-tools "$home/desktop" load "$home/Extensions/macfuse.kext" >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "a cancelled prompt exits 1" 1 "$status"
check "a cancelled prompt says why" 'failed to load extension `{NSAppleScriptErrorMessage: "User canceled.", NSAppleScriptErrorNumber: "-128"}`' "$(cat /tmp/velmora-fe-$$.err)"
"$cli" kext --desktop-tools "$home/desktop" load "$home/Extensions" >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "a non-kext path is not found" "1 kernel extension not found" "$status $(cat /tmp/velmora-fe-$$.err)"

"$cli" settings --desktop-tools "$home/desktop" open notification > /dev/null
for _ in $(seq 50); do [ -s "$home/open.log" ] && break; sleep 0.1; done
check "settings open notification" "file:///System/Library/PreferencePanes/notifications.prefPane" "$(cat "$home/open.log")"
"$cli" settings open Security >/dev/null 2>&1; status=$?
check "Security is no pane" 1 "$status"

# smart decode: saved raw pages; a short page is refused.
python3 -c 'import sys; p=bytearray(512); p[1:3]=(313).to_bytes(2,"little"); p[5]=150; p[32:40]=(1).to_bytes(8,"little"); sys.stdout.buffer.write(p)' > "$home/nvme.bin"
out=$("$cli" --json smart decode --nvme "$home/nvme.bin" | python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["temperature"], d["life"], d["totalRead"], d["criticalWarning"]["bits"], "hostReadCommands" in d)')
check "smart decode --nvme --json" "313 0 512000 0 True" "$out"
python3 -c 'import sys; p=bytearray(512); p[2]=194; p[7]=40; sys.stdout.buffer.write(p)' > "$home/ata.bin"
out=$("$cli" --json smart decode --ata "$home/ata.bin" | python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["temperature"], "life" in d, "mediaErrors" in d, d["totalRead"])')
check "smart decode --ata --json" "313 False False 0" "$out"
check "smart decode text shows the warning" "Critical warning:     None" "$("$cli" smart decode --ata "$home/ata.bin" | grep Critical)"
head -c 100 "$home/nvme.bin" > "$home/short.bin"
"$cli" smart decode --nvme "$home/short.bin" >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "a short page is refused" "1 An NVMe SMART / Health log page needs 512 bytes, got 100" "$status $(cat /tmp/velmora-fe-$$.err)"
timeout 10 "$cli" smart decode --nvme /dev/zero >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "an endless page is refused" "1 /dev/zero is larger than 1 MiB: not a raw SMART page (512 bytes; a statistics log 4096)" "$status $(cat /tmp/velmora-fe-$$.err)"
"$cli" smart --bsd no-such-disk >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "an unknown disk" "1 Disk not found: no-such-disk" "$status $(cat /tmp/velmora-fe-$$.err)"

# ---- zip: threads, signals, progress bar (the folder archive's own checks) ----
zhome=$(mktemp -d)
trap 'rm -rf "$home" "$zhome" /tmp/velmora-fe-$$.err' EXIT
mkdir -p "$zhome/src/docs"
head -c 3000000 /dev/urandom | base64 > "$zhome/src/docs/big.txt"
printf 'small\n' > "$zhome/src/small.txt"
one=$("$cli" zip --threads 1 "$zhome/src" "$zhome/one" One)
two=$("$cli" zip --threads 2 "$zhome/src" "$zhome/two" Two)
check "zip archives are the same bytes with 1 and 2 threads" yes "$(cmp -s "$one" "$two" && echo yes)"
"$cli" zip "$zhome/src" "$zhome/out" ../escaped >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "zip refuses a prefix with a separator" "1 yes" "$status $(grep -q 'without "/"' /tmp/velmora-fe-$$.err && [ ! -e "$zhome/out" ] && echo yes)"
"$cli" zip "$zhome/src" "$zhome/piped" Piped >/dev/null 2>"$zhome/piped.err"
check "zip draws no progress bar into a pipe" 0 "$(wc -c < "$zhome/piped.err")"
screen=$(script -qc "stty cols 50; '$cli' zip '$zhome/src' '$zhome/tty' Tty" /dev/null | tr '\r' '\n' | sed 's/\x1b\[K//g')
check "zip draws a progress bar on a terminal" yes "$(echo "$screen" | grep -q '100%.*/s' && echo yes)"
check "zip's progress bar fits the terminal" 0 "$(echo "$screen" | grep -v "$zhome" | awk 'length($0) > 49' | wc -l)"
screen=$(script -qc "'$cli' zip --quiet '$zhome/src' '$zhome/quiet' Quiet" /dev/null)
check "zip --quiet draws no progress bar" 0 "$(echo "$screen" | grep -c '%')"
# A sparse 4 GiB file keeps one thread busy long enough to be interrupted.
truncate -s 4G "$zhome/src/sparse"
for signal in INT:130 TERM:143 HUP:129; do
  env --default-signal=INT,TERM,HUP "$cli" zip --threads 1 "$zhome/src" "$zhome/sig-${signal%:*}" Sig 2>/dev/null &
  pid=$!
  for _ in $(seq 50); do [ -d "$zhome/sig-${signal%:*}" ] && break; sleep 0.1; done
  sleep 0.3
  kill -"${signal%:*}" "$pid"; wait "$pid"; status=$?
  check "zip on SIG${signal%:*} exits ${signal#*:} and leaves no file" "${signal#*:} 0" "$status $(ls -A "$zhome/sig-${signal%:*}" | wc -l)"
done
# ---- end of the folder archive's checks ----

# ---- kext load and settings open: the command ends with the whole flow and tells the truth ----
# A load the system has not approved: the alert is answered "Open System
# Settings" only after a while, and the pane must still be opened.
mkdir -p "$home/approval" "$home/no-tools"
cat > "$home/approval/osascript" <<EOF
#!/bin/sh
case "\$*" in
  *'display alert "Extension Failed to Load"'*) sleep 0.5; echo "button returned:Open System Settings" ;;
  *'display alert'*) echo "button returned:OK" ;;
  *) echo "velmora-script-error:27:kext is not approved to load" ;;
esac
EOF
printf '#!/bin/sh\nprintf "%%s\\n" "$@" >> "%s/approval-open.log"\n' "$home" > "$home/approval/open"
chmod +x "$home/approval/osascript" "$home/approval/open"
"$cli" kext --desktop-tools "$home/approval" load "$home/Extensions/macfuse.kext" >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "an unapproved load exits 1" 1 "$status"
check "an unapproved load says why" yes "$(grep -q 'not approved to load' /tmp/velmora-fe-$$.err && echo yes)"
for _ in $(seq 50); do [ -s "$home/approval-open.log" ] && break; sleep 0.1; done
check "an unapproved load opens the pane before exiting" "file:///System/Library/PreferencePanes/security.prefPane" \
  "$(cat "$home/approval-open.log" 2>/dev/null)"

"$cli" settings --desktop-tools "$home/no-tools" open privacyAndSecurity >"$home/settings.out" 2>/tmp/velmora-fe-$$.err; status=$?
check "settings open without an opener exits 1" 1 "$status"
check "settings open without an opener says why" \
  "No opener could be started for file:///System/Library/PreferencePanes/security.prefPane" "$(cat /tmp/velmora-fe-$$.err)"
check "settings open without an opener claims nothing" "" "$(cat "$home/settings.out")"
# ---- end of kext load and settings open ----

total=$(grep -c '^check "' "$0")
echo "$(( total - failures )) passed, $failures failed"
[ "$failures" -eq 0 ]
