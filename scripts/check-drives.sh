#!/usr/bin/env bash
# Reads SMART data from drives this project did not write: QEMU's emulated
# NVMe controller and an AHCI SATA disk, in a small Linux guest booted
# without KVM. Inside the guest the front end reads both drives (by name,
# and by a mounted volume on a partition of the SATA disk) and smartctl
# reads the same drives; on the host both readings are printed side by side,
# smartctl's raw values put through the same conversions. Exits non-zero on
# any difference, on a timeout, or when a drive or a reading is missing.
#
#   scripts/check-drives.sh
# VELMORA_CACHE: where the kernel is kept (.cache); VELMORA_BUILD_DIR: the
# build folder of the front end (build); VELMORA_DRIVES_TIMEOUT: seconds the
# guest may take, boot to power-off (240).
set -euo pipefail
cd "$(dirname "$0")/.."

limit=${VELMORA_DRIVES_TIMEOUT:-240}  # seconds for the guest, boot to power-off
cache=${VELMORA_CACHE:-$PWD/.cache}/drives
build=${VELMORA_BUILD_DIR:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
say() { echo "check-drives: $*"; }
fail() { echo "check-drives: $*" >&2; exit 1; }

# What the check needs from Debian. The kernel is only unpacked into the
# cache: installing a kernel package would touch the host's boot setup.
missing=()
command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
[ -x /bin/busybox ] && file -L /bin/busybox | grep -q 'statically linked' || missing+=(busybox-static)
command -v smartctl >/dev/null || missing+=(smartmontools)
command -v mkfs.ext4 >/dev/null || missing+=(e2fsprogs)
command -v sfdisk >/dev/null || missing+=(fdisk)
command -v python3 >/dev/null || missing+=(python3)
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  say "installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The generic Debian kernel (the cloud flavour has no AHCI driver).
package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
[ -n "$package" ] || fail "cannot tell which kernel package linux-image-amd64 stands for"
kernel_dir=$cache/$package
if [ ! -f "$kernel_dir/ready" ]; then
  say "fetching $package"
  rm -rf "$kernel_dir"
  mkdir -p "$kernel_dir"
  (cd "$work" && apt-get download -q "$package" >/dev/null 2>&1) || fail "cannot download $package"
  dpkg-deb --fsys-tarfile "$work"/"$package"_*.deb |
    tar -x -C "$kernel_dir" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/*'
  rm -f "$work"/*.deb
  touch "$kernel_dir/ready"
fi
vmlinuz=$(find "$kernel_dir/boot" -name 'vmlinuz-*' | head -n 1)
modules=$(find "$kernel_dir/lib/modules" -mindepth 1 -maxdepth 1 -type d | head -n 1)/kernel

say "building the front end"
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target velmora-fsutil -j 2 >/dev/null
fsutil=$build/cli/velmora-fsutil
[ -x "$fsutil" ] || fail "no front end at $fsutil"

# The guest's root: static busybox, the two readers with the shared
# libraries they load, and the kernel modules in dependency order.
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,mnt/data,modules}
cp /bin/busybox "$root/bin/busybox"
cp "$fsutil" "$root/bin/velmora-fsutil"
cp "$(command -v smartctl)" "$root/bin/smartctl"
for program in "$root/bin/velmora-fsutil" "$root/bin/smartctl"; do
  ldd "$program" | grep -o '/[^ ]*' | while read -r library; do cp -L --parents "$library" "$root"; done
done

module_file() { find "$modules" \( -name "$1.ko" -o -name "${1//_/-}.ko" -o -name "${1//-/_}.ko" \) | head -n 1; }
declare -A loaded=()
order=()
add_module() {
  local file name dependency
  file=$(module_file "$1")
  [ -n "$file" ] || return 0  # built into the kernel, or an alias
  name=$(basename "$file" .ko)
  [ -z "${loaded[$name]:-}" ] || return 0
  loaded[$name]=1
  # Hard dependencies, and soft "pre:" ones where they name a module file.
  for dependency in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' ') \
                    $(tr '\0' '\n' <"$file" | sed -n 's/^softdep=pre: *//p' | sed 's/ post:.*//'); do
    add_module "$dependency"
  done
  cp "$file" "$root/modules/$name.ko"
  order+=("$name")
}
for wanted in nvme ahci sd_mod sg crc32c_generic ext4; do
  add_module "$wanted"
  [ -n "$(module_file "$wanted")" ] || fail "the kernel has no module $wanted"
done
printf '%s\n' "${order[@]}" >"$root/modules/order"

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /modules/order); do
  insmod "/modules/$module.ko" || echo "@@@ note cannot load $module"
done
tries=0
while [ "$tries" -lt 200 ] && ! { [ -b /dev/nvme0n1 ] && [ -b /dev/sda1 ]; }; do
  sleep 0.1
  tries=$((tries + 1))
done
mount -t ext4 /dev/sda1 /mnt/data || echo "@@@ note cannot mount /dev/sda1"
# Different amounts read and written, so that the NVMe counters tell a
# swapped or misplaced field apart.
dd if=/dev/urandom of=/dev/nvme0n1 bs=64k count=64 conv=fsync 2>/dev/null || echo "@@@ note cannot write nvme0n1"
dd if=/dev/nvme0n1 of=/dev/null bs=64k count=160 skip=256 2>/dev/null || echo "@@@ note cannot read nvme0n1"
run() {
  name=$1
  shift
  timeout 60 "$@" >/tmp/out 2>/tmp/err
  status=$?
  echo "@@@ begin $name"
  cat /tmp/out
  echo "@@@ stderr $name"
  cat /tmp/err
  echo "@@@ end $name $status"
}
run velmora-nvme velmora-fsutil --json smart --bsd nvme0n1
run velmora-sata velmora-fsutil --json smart --bsd sda
run velmora-volume velmora-fsutil --json smart --volume /mnt/data
run smartctl-nvme smartctl -j -a /dev/nvme0n1
run smartctl-sata smartctl -j -a -l devstat /dev/sda
echo "@@@ done"
umount /mnt/data
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | /bin/busybox cpio -o -H newc 2>/dev/null) >"$work/initrd.cpio"

# Small drives: a blank NVMe namespace, and a SATA disk with one partition
# holding an ext4 file system.
truncate -s 64M "$work/nvme.img" "$work/sata.img"
echo 'start=2048, type=83' | sfdisk -q "$work/sata.img" >/dev/null
mkfs.ext4 -q -F -E offset=$((2048 * 512)) "$work/sata.img" 63M >/dev/null

say "booting the guest (TCG, NVMe and AHCI SATA drives)"
boot_started=$SECONDS
status=0
timeout "$limit" qemu-system-x86_64 -machine q35 -accel tcg -m 512 -smp 1 -nic none \
  -display none -monitor none -serial "file:$work/console.log" -no-reboot \
  -kernel "$vmlinuz" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init" \
  -drive "file=$work/nvme.img,if=none,id=nvm,format=raw" -device nvme,serial=VELMORA0001,drive=nvm \
  -drive "file=$work/sata.img,if=none,id=sata,format=raw" -device ide-hd,drive=sata,bus=ide.0 \
  </dev/null || status=$?
if [ "$status" -eq 124 ]; then
  tail -n 30 "$work/console.log" >&2 || true
  fail "the guest did not finish within ${limit}s"
fi
[ "$status" -eq 0 ] || fail "qemu failed with status $status"
say "guest ran for $((SECONDS - boot_started))s"

python3 - "$work/console.log" <<'EOF'
import json, re, sys

text = open(sys.argv[1], encoding="utf-8", errors="replace").read().replace("\r", "")
sections, stderr, status = {}, {}, {}
for m in re.finditer(r"^@@@ begin (\S+)\n(.*?)^@@@ stderr \1\n(.*?)^@@@ end \1 (\d+)$", text, re.S | re.M):
    sections[m.group(1)], stderr[m.group(1)], status[m.group(1)] = m.group(2), m.group(3), int(m.group(4))
for note in re.findall(r"^@@@ note (.*)$", text, re.M):
    print("check-drives: guest:", note)
if "@@@ done" not in text:
    print(text[-3000:], file=sys.stderr)
    sys.exit("check-drives: the guest did not finish its readings")

def reading(name):
    if name not in sections:
        sys.exit(f"check-drives: no {name} reading")
    try:
        return json.loads(sections[name])
    except ValueError:
        sys.exit(f"check-drives: {name} (exit {status[name]}) printed no JSON: {stderr[name].strip()}")

def ours(name):
    data = reading(name)
    if status[name] != 0:
        sys.exit(f"check-drives: {name} exited with {status[name]}: {stderr[name].strip()}")
    def value(v):
        return {k: value(x) for k, x in v.items()} if isinstance(v, dict) else None if v is None else int(v)
    return {k: value(v) for k, v in data.items()}

def life_from_used(used):
    return 100 - used if used <= 100 else 0

# The NVMe SMART / Health log as smartctl decodes it, converted as the library does.
def nvme_expected(s):
    log = s.get("nvme_smart_health_information_log")
    if log is None:
        sys.exit("check-drives: smartctl found no NVMe SMART / Health log (is the drive missing?)")
    raw = {
        "temperature": f"{log['temperature']} °C", "life": f"{log['percentage_used']} % used",
        "totalRead": f"{log['data_units_read']} units", "totalWritten": f"{log['data_units_written']} units",
        "hostReadCommands": log["host_reads"], "hostWriteCommands": log["host_writes"],
        "controllerBusyTime": log["controller_busy_time"], "powerCycles": log["power_cycles"],
        "powerOnHours": log["power_on_hours"], "availableSpare": log["available_spare"],
        "spareThreshold": log["available_spare_threshold"], "unsafeShutdowns": log["unsafe_shutdowns"],
        "mediaErrors": log["media_errors"], "criticalWarning": log["critical_warning"],
    }
    expected = {
        "temperature": log["temperature"] + 273, "life": life_from_used(log["percentage_used"]),
        "totalRead": log["data_units_read"] * 512000, "totalWritten": log["data_units_written"] * 512000,
        "hostReadCommands": log["host_reads"], "hostWriteCommands": log["host_writes"],
        "controllerBusyTime": log["controller_busy_time"], "powerCycles": log["power_cycles"],
        "powerOnHours": log["power_on_hours"], "availableSpare": log["available_spare"],
        "spareThreshold": log["available_spare_threshold"], "unsafeShutdowns": log["unsafe_shutdowns"],
        "mediaErrors": log["media_errors"], "criticalWarning": {"bits": log["critical_warning"]},
    }
    return expected, raw

# The ATA attribute table (and the device statistics, when smartctl could
# read them) converted as the library does.
def ata_expected(s):
    table = s.get("ata_smart_attributes", {}).get("table")
    if not table:
        sys.exit("check-drives: smartctl found no ATA SMART attributes (is the drive missing?)")
    attrs = {a["id"]: a for a in table}
    rawv = lambda i: attrs[i]["raw"]["value"] if i in attrs else None
    raw, expected = {}, {}
    celsius = next(((rawv(i) & 0xFF, i) for i in (194, 190) if i in attrs), (0, None))
    expected["temperature"] = 0 if celsius[0] == 0 else celsius[0] + 273
    raw["temperature"] = f"attribute {celsius[1]} raw {rawv(celsius[1]):#x}" if celsius[1] else "none"
    life = next(((min(attrs[i]["value"], 100), i) for i in (231, 202, 177, 173, 233) if i in attrs), (None, None))
    expected["life"], raw["life"] = life[0], (f"attribute {life[1]} value {life[0]}" if life[1] else "none")
    stats = {}
    for page in s.get("ata_device_statistics", {}).get("pages", []):
        for entry in page.get("table", []):
            if entry.get("flags", {}).get("valid") and "value" in entry:
                stats[(page["number"], entry["offset"])] = entry["value"]
    sector_bytes = lambda key: stats[key] * 512 if key in stats and stats[key] < 2 ** 55 else 0
    expected["totalWritten"], expected["totalRead"] = sector_bytes((1, 24)), sector_bytes((1, 40))
    raw["totalWritten"] = f"statistic {stats[(1, 24)]} sectors" if (1, 24) in stats else "no statistics log"
    raw["totalRead"] = f"statistic {stats[(1, 40)]} sectors" if (1, 40) in stats else "no statistics log"
    if (7, 8) in stats:
        expected["life"], raw["life"] = life_from_used(stats[(7, 8)] & 0xFF), f"statistic {stats[(7, 8)]} % used"
    present = [rawv(i) for i in (5, 197, 198) if i in attrs]
    expected["mediaErrors"] = sum(present) if present else None
    raw["mediaErrors"] = " + ".join(f"{i}: {rawv(i)}" for i in (5, 197, 198) if i in attrs) or "none"
    for field, ident, default in (("powerCycles", 12, 0), ("powerOnHours", 9, 0), ("unsafeShutdowns", 174, None)):
        expected[field] = rawv(ident) & 0xFFFFFFFF if ident in attrs else default
        raw[field] = f"attribute {ident} raw {rawv(ident):#x}" if ident in attrs else "none"
    expected["criticalWarning"] = {"bits": 0}
    raw["criticalWarning"] = "(not an NVMe field)"
    for field in ("hostReadCommands", "hostWriteCommands", "controllerBusyTime", "availableSpare", "spareThreshold"):
        expected[field], raw[field] = None, "(not an ATA field)"
    return expected, raw

def show(v):
    if v is None:
        return "absent"
    return str(v["bits"]) if isinstance(v, dict) else str(v)

differences = 0
checks = [("nvme0n1", "velmora-nvme", "smartctl-nvme", nvme_expected),
          ("sda", "velmora-sata", "smartctl-sata", ata_expected),
          ("sda1 at /mnt/data (--volume)", "velmora-volume", "smartctl-sata", ata_expected)]
for drive, mine, theirs, convert in checks:
    got = ours(mine)
    expected, raw = convert(reading(theirs))
    print(f"\n{drive}")
    print(f"  {'value':<20} {'velmora-fsutil':>16} {'smartctl':>16}  {'smartctl raw':<28} result")
    for field in sorted(set(expected) | set(got), key=lambda f: list(expected).index(f) if f in expected else 99):
        a, b = got.get(field), expected.get(field)
        same = a == b
        differences += not same
        print(f"  {field:<20} {show(a):>16} {show(b):>16}  {str(raw.get(field, '')):<28} {'ok' if same else 'DIFFERENT'}")
if differences:
    sys.exit(f"\ncheck-drives: {differences} value(s) differ")
print("\ncheck-drives: both drives read the same as smartctl")
EOF
say "done in $((SECONDS))s"
