#!/usr/bin/env bash
# Builds the front end and shows it working against the bundled LucidLink
# tool simulator.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-demo -G Ninja -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF
cmake --build build-demo -j "$(nproc)" --target velmora-fsutil lucid-sim

cli=build-demo/cli/velmora-fsutil
sim=build-demo/tools/lucid-sim
show() {
  printf '\n$ velmora-fsutil %s\n' "$*"
  "$cli" "$@" 2>&1 || printf '(exit status %d)\n' $?
}

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
# A script's background job starts with Ctrl-C ignored, and the front end
# keeps ignoring what it was started ignoring; a terminal's job would not.
in_background=(env --default-signal=INT)

show --version
show run /bin/echo a "" b
show run "$sim" println "output of any tool, returned exactly"
show --json run /bin/uname -s
show run /nonexistent/tool
show --json run /nonexistent/tool
show run "$sim" exit 3
show lucid lsit
show lucid perf --fs nosuch
show lucid --tool "$sim" raw echo-args list
show lucid --tool "$sim" --instance 2001 raw echo-args status
show --json lucid --tool "$sim" --instance 2001 raw print-hex ff00

# Zipping a folder into a time-stamped archive.
mkdir -p "$home/Project/docs" "$home/Project/empty"
echo "notes" > "$home/Project/docs/notes.txt"
ln -s docs/notes.txt "$home/Project/latest"
show zip "$home/Project" "$home/Archives/2026" Project
show --json zip "$home/Project" "$home/Archives/2026" Again
printf '\n$ unzip -l (the archive as any reader sees it)\n'
unzip -l "$(ls "$home"/Archives/2026/Project_*.zip)"

# Kernel extensions and settings panes. This machine has no macOS desktop,
# so stand-ins for osascript and open show what would be asked of it.
mkdir -p "$home/desktop" "$home/Extensions/macfuse.kext/Contents"
cat > "$home/desktop/osascript" <<'STANDIN'
#!/bin/sh
# Stand-in for osascript: says what it was asked and answers like the real one.
case "$*" in
  *"display alert"*) echo "  [alert] $2" >&2; echo "button returned:OK" ;;
  *) echo "  [script] $4" >&2 ;;
esac
STANDIN
printf '#!/bin/sh\necho "  [open] $1" >&2\n' > "$home/desktop/open"
chmod +x "$home/desktop/osascript" "$home/desktop/open"
python3 -c 'import plistlib,sys; plistlib.dump({"CFBundleIdentifier": "io.macfuse.filesystems.macfuse", "CFBundleName": "macFUSE", "CFBundleShortVersionString": "4.5.0", "CFBundleVersion": "4050"}, open(sys.argv[1], "wb"), fmt=plistlib.FMT_BINARY)' "$home/Extensions/macfuse.kext/Contents/Info.plist"
show kext info "$home/Extensions/macfuse.kext"
show --json kext info "$home/Extensions/macfuse.kext"
show kext name io.macfuse.filesystems.macfuse.21
show kext --desktop-tools "$home/desktop" load "$home/Extensions/macfuse.kext"
show kext --desktop-tools "$home/desktop" load "$home/Extensions"
show settings --desktop-tools "$home/desktop" open notification
sleep 0.2

# Drive health. This machine's disks offer no SMART user client, so the
# reading itself shows the reader's answer; saved pages of real drives show
# the conversion.
show smart --bsd "$(lsblk -dno NAME 2>/dev/null | head -n 1 || echo sda)"
testdata=tests/data/smart
show smart decode --nvme "$testdata/nvme/pysmart_nvme_2_wdc_pc_sn730_512g.bin"
show --json smart decode --ata "$testdata/ata/INTEL_SSDSA2CW120G3--4PC10302.bin"

# The LucidLink commands, against a private copy of the simulator whose
# state folder the demo changes as it goes.
ln -s "$PWD/$sim" "$home/lucid"
mkdir "$home/lucid.d"
set_instances() { printf "$1" > "$home/lucid.d/instances.tmp" && mv "$home/lucid.d/instances.tmp" "$home/lucid.d/instances"; }
set_instances '2001\talpha.fs\t7778\tlive\t/Volumes/Alpha\n2002\tbeta.fs\t7779\tcache\t/Volumes/Beta\n'
lucid=(lucid --tool "$home/lucid")

show "${lucid[@]}" list
show lucid list --json --tool "$home/lucid"
show "${lucid[@]}" --instance 2001 status
show --json "${lucid[@]}" --instance 2002 cache
show "${lucid[@]}" which /Volumes/Beta/projects/cut.mov
show "${lucid[@]}" which /Volumes/Gamma

show "${lucid[@]}" --instance 2001 config list
show "${lucid[@]}" --instance 2001 config set --global DataCache.Size=10GiB ObjectScheduler.MaxUploadRate=20MiB/s
show --json "${lucid[@]}" --instance 2001 config list --global
show "${lucid[@]}" --instance 2001 config set FileSystem.NoSuchSetting=1
show "${lucid[@]}" --instance 2001 config explain DataCache.Size
show "${lucid[@]}" --instance 2001 config explain FileSystem.NoSuchSetting

printf '\n$ velmora-fsutil lucid --instance 2001 perf --fs readBytes,writeBytes,reads --cache %%hits,dirtyBytes   (Ctrl-C after 2 s)\n'
"${in_background[@]}" "$cli" "${lucid[@]}" --instance 2001 perf --fs readBytes,writeBytes,reads --cache %hits,dirtyBytes &
perf=$!
sleep 2
kill -INT "$perf"
wait "$perf" || echo "(perf stopped once its tool was gone: exit status $?)"

printf '\n$ velmora-fsutil --json lucid --instance 2001 perf --objectstore getBytes,getTime   (first two lines)\n'
"${in_background[@]}" "$cli" --json "${lucid[@]}" --instance 2001 perf --objectstore getBytes,getTime > "$home/perf.json" &
perf=$!
sleep 1
kill -INT "$perf"
wait "$perf" || true
head -n 2 "$home/perf.json"

printf '\n$ velmora-fsutil lucid watch --interval 0.5   (instances change while it runs; Ctrl-C after 3 s)\n'
"${in_background[@]}" "$cli" "${lucid[@]}" watch --interval 0.5 &
watcher=$!
sleep 1
set_instances '2001\talpha.fs\t7778\tlive\t/Volumes/Alpha\n2003\tgamma.fs\t7780\tlive\t/Volumes/Gamma\n'
sleep 1
set_instances '2003\tgamma.fs\t7780\tcache\t/Volumes/Gamma\n'
sleep 1
kill -INT "$watcher"
wait "$watcher" || echo "(watch ended: exit status $?)"

printf '\n$ velmora-fsutil lucid perf   (the tool stops streaming after 3 samples)\n'
echo "perf-count=3" > "$home/lucid.d/options"
"$cli" "${lucid[@]}" --instance 2001 perf --fs reads 2>&1 || printf '(exit status %d)\n' $?

printf '\n$ velmora-fsutil --tool lucid serve --listen 127.0.0.1:0 --refresh 1   (the Prometheus exporter; Ctrl-C after one scrape)\n'
rm -f "$home/lucid.d/options"
set_instances '2001\talpha.fs\t7778\tlive\t/Volumes/Alpha\n'
"${in_background[@]}" "$cli" --tool "$home/lucid" serve --listen 127.0.0.1:0 --refresh 1 --smart-interval 0 2> "$home/serve.log" &
exporter=$!
for _ in $(seq 100); do grep -q listening "$home/serve.log" && break; sleep 0.1; done
cat "$home/serve.log"
url=$(grep -o 'http://[0-9.:]*/metrics' "$home/serve.log")
scrape() { python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=10).read().decode())' "$url"; }
for _ in $(seq 50); do scrape | grep -q 'layer="objectstore"' && break; sleep 0.1; done
printf '\n$ curl %s   (trimmed: the help lines and most counters left out)\n' "$url"
scrape | grep -E '^velmora_(build_info|filespace_(up|cache_limit_bytes|cache_size_on_disk_bytes|read_bytes_per_second|cache_hit_ratio)|collector_up)' |
  grep -v 'layer="objectstore"'
kill -INT "$exporter"
wait "$exporter" || echo "(serve stopped once its tools were gone: exit status $?)"
