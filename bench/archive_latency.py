#!/usr/bin/env python3
"""The folder archive where its users zip from: a file system whose every
request waits (bench/latency_fs), with the contenders timed on it.

For each delay (default 0, 2 and 10 ms) the latency file system mirrors the
data sets, and each repetition (default 3) times, interleaved so that a change
in the machine's load touches every contender alike, with the file system's
seen paths forgotten before every run:
  - velmora-fsutil zip, for each --threads and --readers value;
  - Info-ZIP `zip -r -q -6` and 7-Zip `7z a -tzip -mx=5 -mmt=2`;
  - the plain parallel read `find . -type f | xargs -P32 -nN cat`, the bound
    that the archive is measured against, with N = files / 32 from 1 to 20
    (20 on /usr/include; 1 on 20 files, which one cat would read in turn);
on a copy of /usr/include (symbolic links removed) and on 20 files of 8 MiB of
mixed text. On the local disk it then measures the front end's time and peak
memory on a folder with one 2 GiB file and on a folder of 100,000 files.

Every archive is tested by `unzip -t` and read back by Python's zipfile,
compared byte for byte with its source, before its time counts.

Prints one Markdown table: median wall seconds with the min-max spread, the
ratios of medians to the plain read and to Info-ZIP, archive size relative to
Info-ZIP's, velmora-fsutil's peak resident memory (GNU time), and the most
requests the file system had in flight (all kinds / lookups / listings /
opens / reads). Goals, judged on medians measured in this run (one whose
baseline did not run is not judged): velmora-fsutil within 1.5x of the plain
read at delays of 2 ms and more; peak memory at most 128 MiB on the memory
cases. Exit status 1 when a goal is missed or a run failed, 2 on bad usage.

Needs /dev/fuse and fusermount3 (scripts/setup.sh installs them) and a normal
build (scripts/test.sh); installs p7zip-full when 7-Zip is to run and missing.
The data sets live in --work, removed at the end unless --keep-data (a later
run reuses kept ones). Info-ZIP takes about 5 minutes a run at 10 ms:
`--contenders velmora,read` is the quick run.
"""
import argparse
import ctypes
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
CONTENDERS = ["velmora", "read", "infozip", "7z"]
FUSE_CASES = ["include", "files20"]
MEMORY_CASES = ["large", "many"]
READ_RATIO_GOAL = 1.5    # velmora / plain read, at delays of 2 ms and more
MEMORY_GOAL_MIB = 128.0  # velmora's peak resident memory on the memory cases
MIB = 1 << 20


def dies_with_us(number):
    """For a child: the signal it receives when this process dies, even by
    SIGKILL, so that no mount or contender outlives the benchmark (Linux)."""
    libc = ctypes.CDLL(None, use_errno=True)
    return lambda: libc.prctl(1, int(number), 0, 0, 0)  # PR_SET_PDEATHSIG


class Stop(Exception):
    """A stop signal reached the benchmark: clean up, then exit."""

    def __init__(self, number):
        super().__init__(f"stopped by signal {number}")
        self.number = number


def fail(message):
    print(f"archive_latency: {message}", file=sys.stderr)
    sys.exit(2)


def positive_list(text, name):
    try:
        values = [int(item) for item in text.split(",") if item]
    except ValueError:
        values = []
    if not values or any(value < 1 or value > 1024 for value in values):
        fail(f"{name} takes a comma-separated list of whole numbers from 1 to 1024, not {text!r}")
    return values


def delay_list(text):
    try:
        values = [float(item) for item in text.split(",") if item]
    except ValueError:
        values = []
    # The file system refuses more than a minute; nan fails every comparison.
    if not values or not all(0 <= value <= 60000 for value in values):
        fail(f"--delays takes a comma-separated list of milliseconds from 0 to 60000, not {text!r}")
    return values


def choice_list(text, allowed, name):
    values = [item for item in text.split(",") if item]
    unknown = [item for item in values if item not in allowed]
    if not values or unknown:
        fail(f"{name} takes a comma-separated list of {', '.join(allowed)}, not {text!r}")
    return [item for item in allowed if item in values]


def parse_arguments():
    parts = __doc__.split("\n\n")
    parser = argparse.ArgumentParser(description=parts[0], epilog="\n\n".join(parts[1:]),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", type=Path, default=REPO / "build", help="the build folder (default: build)")
    parser.add_argument("--fsutil", type=Path, help="velmora-fsutil (default: BUILD/cli/velmora-fsutil)")
    parser.add_argument("--latency-fs", type=Path,
                        help="the file system (default: BUILD/bench/latency_fs/velmora_latency_fs)")
    parser.add_argument("--work", type=Path, default=Path("/var/tmp/velmora-archive-latency"),
                        help="data sets, mount point and archives (default: %(default)s)")
    parser.add_argument("--delays", default="0,2,10", help="milliseconds per request (default: %(default)s)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each contender per delay (default: 3)")
    parser.add_argument("--contenders", default=",".join(CONTENDERS),
                        help="any of velmora,read,infozip,7z (default: all)")
    parser.add_argument("--cases", default=",".join(FUSE_CASES + MEMORY_CASES),
                        help="any of include,files20 (delayed) and large,many (memory, local disk) (default: all)")
    parser.add_argument("--threads", default="2", help="velmora-fsutil's compressing threads, a list (default: 2)")
    parser.add_argument("--readers", default="32",
                        help="velmora-fsutil's reads in flight, a list, passed where its zip takes --readers "
                             "(default: 32)")
    parser.add_argument("--serial-lookups", action="store_true",
                        help="the kernel sends one lookup at a time per folder (as libfuse 3.14 leaves it)")
    parser.add_argument("--timeout", type=float, default=3600, help="seconds one run may take (default: 3600)")
    parser.add_argument("--keep-data", action="store_true", help="keep the data sets in --work for a later run")
    arguments = parser.parse_args()
    if not 1 <= arguments.repeat <= 100:
        fail("--repeat takes a whole number from 1 to 100")
    if not 0 < arguments.timeout <= 86400:
        fail("--timeout takes seconds, more than 0 and at most a day")
    arguments.delays = delay_list(arguments.delays)
    arguments.contenders = choice_list(arguments.contenders, CONTENDERS, "--contenders")
    arguments.cases = choice_list(arguments.cases, FUSE_CASES + MEMORY_CASES, "--cases")
    arguments.threads = positive_list(arguments.threads, "--threads")
    arguments.readers = positive_list(arguments.readers, "--readers")
    arguments.fsutil = arguments.fsutil or arguments.build / "cli" / "velmora-fsutil"
    arguments.latency_fs = arguments.latency_fs or arguments.build / "bench" / "latency_fs" / "velmora_latency_fs"
    return arguments


# ---------------------------------------------------------------- data sets

def text_sources(include):
    """The text files of the /usr/include copy, in a fixed order."""
    return sorted(path for path in include.rglob("*") if path.is_file())


def write_mixed_text(path, size, sources, start):
    """`size` bytes of the sources' text, one after another, from source `start` on."""
    with open(path, "wb") as out:
        written, index = 0, start
        while written < size:
            data = sources[index % len(sources)].read_bytes()[: size - written]
            out.write(data)
            written += len(data)
            index += 1
    return index


def prepare(work, names):
    """Makes the data sets that are missing under work/data; returns their folders."""
    data = work / "data"
    include = data / "include"
    folders = {name: data / name for name in FUSE_CASES + MEMORY_CASES}
    ready = lambda name: work / f"ready-{name}"
    if not ready("include").exists():
        shutil.rmtree(include, ignore_errors=True)
        data.mkdir(parents=True, exist_ok=True)
        subprocess.run(["cp", "-r", "/usr/include", str(include)], check=True)
        subprocess.run(["find", str(include), "(", "-type", "l", "-o", "-type", "p", "-o", "-type", "s", ")",
                        "-delete"], check=True)
        ready("include").touch()
    sources = None
    for name in names:
        if name == "include" or ready(name).exists():
            continue
        print(f"preparing the data set {name} ...", flush=True)
        sources = sources or text_sources(include)
        folder = folders[name]
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        if name == "files20":
            index = 0
            for number in range(20):
                index = write_mixed_text(folder / f"mixed-{number:02}.txt", 8 * MIB, sources, index)
        elif name == "large":
            write_mixed_text(folder / "large.txt", 2048 * MIB, sources, 0)
        elif name == "many":
            blob = b"".join(source.read_bytes() for source in sources[:400])
            for number in range(100_000):
                offset = (number * 7919) % max(1, len(blob) - 4096)
                (folder / f"file-{number:06}.txt").write_bytes(blob[offset: offset + 1024 + number % 3072])
        ready(name).touch()
    return folders


# ---------------------------------------------------------------- processes

class Runner:
    """Runs one contender at a time in its own process group, so that a
    timeout or a stop signal ends the whole pipeline it started."""

    def __init__(self, work):
        self.current = None
        self.errors = work / "stderr.log"

    def run(self, command, cwd, timeout, stdout=subprocess.DEVNULL):
        with open(self.errors, "wb") as errors:
            start = time.monotonic()
            self.current = subprocess.Popen(command, cwd=cwd, stdout=stdout, stderr=errors, stdin=subprocess.DEVNULL,
                                            start_new_session=True, preexec_fn=dies_with_us(signal.SIGKILL))
            try:
                status = self.current.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.stop()
                return None, f"timed out after {timeout:.0f} s"
            finally:
                elapsed = time.monotonic() - start
            self.current = None
        if status != 0:
            return None, f"exit status {status}: {self.error_tail()}"
        return elapsed, None

    def error_tail(self):
        with open(self.errors, "rb") as errors:
            errors.seek(max(0, self.errors.stat().st_size - 400))
            return errors.read().decode("utf-8", "replace").strip().replace("\n", " | ")

    def stop(self):
        if self.current is None:
            return
        for number, grace in ((signal.SIGTERM, 5), (signal.SIGKILL, 30)):
            try:
                os.killpg(self.current.pid, number)
            except ProcessLookupError:
                pass
            try:
                self.current.wait(timeout=grace)
                break
            except subprocess.TimeoutExpired:
                continue
        self.current = None


class LatencyMount:
    """The latency file system mounted at work/mnt, mirroring work/data."""

    COUNTERS = re.compile(r"latency-fs reset=(\d+) in_flight=(\d+) (.*) read_bytes=(\d+)$")

    def __init__(self, work):
        self.point = work / "mnt"
        self.log = work / "latency-fs.log"
        self.resets = 0
        self.process = None

    def mount(self, program, delay, serial_lookups):
        self.point.mkdir(exist_ok=True)
        self.resets = 0
        if os.path.ismount(self.point):  # left by a run that was killed
            subprocess.run(["fusermount3", "-u", "-z", str(self.point)], check=False)
        command = [str(program)] + (["--serial-lookups"] if serial_lookups else []) + \
                  [f"{delay:g}", str(self.point.parent / "data"), str(self.point), "-f"]
        with open(self.log, "wb") as log:
            # SIGTERM: the file system unmounts itself on its way out.
            self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=log, stdin=subprocess.DEVNULL,
                                            start_new_session=True, preexec_fn=dies_with_us(signal.SIGTERM))
        deadline = time.monotonic() + 10
        while not os.path.ismount(self.point):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.unmount()
                raise RuntimeError(f"the latency file system did not mount: {self.log.read_text(errors='replace')}")
            time.sleep(0.02)
        self.reset()

    def reset(self):
        """Forgets the seen paths; returns the counters since the last reset."""
        self.resets += 1
        self.process.send_signal(signal.SIGUSR1)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            for line in self.log.read_text(errors="replace").splitlines():
                found = self.COUNTERS.match(line)
                if found and int(found.group(1)) == self.resets:
                    counters = {"in_flight": int(found.group(2)), "read_bytes": int(found.group(4))}
                    for item in found.group(3).split():
                        kind, values = item.split("=")
                        counters[kind] = [int(value) for value in values.split("/")]
                    return counters
            if self.process.poll() is not None:
                break
            time.sleep(0.01)
        raise RuntimeError("the latency file system did not report its counters")

    def unmount(self):
        if self.process is None:
            return
        for attempt in range(20):
            if not os.path.ismount(self.point):
                break
            lazy = ["-z"] if attempt == 19 else []
            subprocess.run(["fusermount3", "-u", *lazy, str(self.point)], stderr=subprocess.DEVNULL, check=False)
            time.sleep(0.1 if os.path.ismount(self.point) else 0)
        for number, grace in ((None, 10), (signal.SIGTERM, 5), (signal.SIGKILL, 5)):
            if number is not None and self.process.poll() is None:
                self.process.send_signal(number)
            try:
                self.process.wait(timeout=grace)
                break
            except subprocess.TimeoutExpired:
                continue
        self.process = None


# ---------------------------------------------------------------- contenders

class Contender:
    def __init__(self, key, name, kind, threads=None, readers=None):
        self.key, self.name, self.kind, self.threads, self.readers = key, name, kind, threads, readers


def contenders_for(arguments, readers_option):
    chosen = []
    for key in arguments.contenders:
        if key == "velmora":
            for threads in arguments.threads:
                for readers in (arguments.readers if readers_option else [None]):
                    name = f"velmora-fsutil zip, {threads} threads" + (f", {readers} readers" if readers else "")
                    chosen.append(Contender(f"velmora-{threads}-{readers}", name, "velmora", threads, readers))
        elif key == "read":
            chosen.append(Contender("read", "plain parallel read", "read"))
        elif key == "infozip":
            chosen.append(Contender("infozip", "Info-ZIP zip -r -q -6", "tool"))
        else:
            chosen.append(Contender("7z", "7z a -tzip -mx=5 -mmt=2", "tool"))
    return chosen


def run_contender(runner, contender, folder, files, out, arguments, readers_option):
    """Runs one contender on `folder` of `files` files; returns (seconds, archive, peak KiB, error)."""
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    if contender.kind == "read":
        batch = min(20, max(1, -(-files // 32)))
        script = f"set -o pipefail; find . -type f -print0 | xargs -0 -P32 -n{batch} cat > /dev/null"
        seconds, error = runner.run(["bash", "-c", script], folder, arguments.timeout)
        return seconds, None, None, error
    if contender.kind == "tool":
        archive = out / "archive.zip"
        command = (["zip", "-r", "-q", "-6"] if contender.key == "infozip"
                   else ["7z", "a", "-tzip", "-mx=5", "-mmt=2", "-bd"]) + [str(archive), "."]
        seconds, error = runner.run(command, folder, arguments.timeout)
        return seconds, archive, None, error
    report = out.parent / "time.txt"
    command = ["/usr/bin/time", "-f", "%M", "-o", str(report), str(arguments.fsutil), "zip", "-q",
               "--threads", str(contender.threads)]
    if contender.readers:
        command += [readers_option, str(contender.readers)]
    seconds, error = runner.run(command + [str(folder), str(out), "Bench"], out.parent, arguments.timeout)
    archives = list(out.glob("*.zip"))
    if error is None and len(archives) != 1:
        error = f"expected one archive in {out}, found {len(archives)}"
    peak = None
    if error is None:
        lines = report.read_text().split()
        peak = int(lines[-1]) if lines and lines[-1].isdigit() else None
    return seconds, archives[0] if archives else None, peak, error


def check_archive(archive, folder):
    """None when `unzip -t` passes and every entry equals its source file and
    every source file has an entry; otherwise what is wrong."""
    tested = subprocess.run(["unzip", "-tqq", str(archive)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if tested.returncode != 0:
        return f"unzip -t: {tested.stdout[-300:].decode('utf-8', 'replace')}"
    stored = set()
    try:
        with zipfile.ZipFile(archive) as reader:
            for info in reader.infolist():
                name = info.filename.rstrip("/")
                if name in stored or name.startswith("/") or ".." in name.split("/"):
                    return f"entry {info.filename!r} twice or outside the folder"
                stored.add(name)
                if info.is_dir():
                    continue
                with reader.open(info) as entry, open(folder / name, "rb") as source:
                    while True:  # zipfile checks the CRC at the entry's end
                        chunk = entry.read(MIB)
                        if chunk != source.read(len(chunk) or 1):
                            return f"entry {name!r} differs from its source"
                        if not chunk:
                            break
    except (zipfile.BadZipFile, OSError) as problem:
        return f"Python's zipfile: {problem}"
    for path in folder.rglob("*"):
        if path.is_file() and str(path.relative_to(folder)) not in stored:
            return f"no entry for {path.relative_to(folder)}"
    return None


# ---------------------------------------------------------------- results

def median(values):
    return statistics.median(values) if values else None


def label(delay):
    return "local disk" if delay == "disk" else f"{delay:g} ms"


def format_number(value, pattern="{:.2f}"):
    return pattern.format(value) if value is not None else "–"


def print_table(arguments, contenders, results, cases, memory_cases):
    """One Markdown table; returns the goals missed."""
    missed, judged = [], 0
    print()
    print("| case | delay | contender | runs | median s | min–max s | × plain read | × Info-ZIP | "
          "size × Info-ZIP | peak RSS MiB | most in flight: all / lookup / readdir / open / read | goal |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    rows = [(case, delay) for delay in arguments.delays for case in cases] + \
           [(case, "disk") for case in memory_cases]
    for case, delay in rows:
        for contender in contenders:
            if delay == "disk" and contender.kind != "velmora":
                continue
            result = results.get((case, delay, contender.key))
            if result is None:
                continue
            times, failures = result["times"], result["failures"]
            value = median(times)
            base = lambda key: median(results.get((case, delay, key), {}).get("times", []))
            read, infozip = base("read"), base("infozip")
            sizes = results.get((case, delay, "infozip"), {}).get("sizes", [])
            size_ratio = (median(result["sizes"]) / median(sizes)) if result["sizes"] and sizes else None
            peak = max(result["peaks"]) / 1024 if result["peaks"] else None
            flight = result["flight"]
            goal = ""
            if contender.kind == "velmora" and delay == "disk":
                judged += 1
                goal = f"peak ≤ {MEMORY_GOAL_MIB:.0f} MiB: " + ("met" if peak is not None and peak <= MEMORY_GOAL_MIB
                                                                else "missed")
            elif contender.kind == "velmora" and delay >= 2:
                if value is not None and read:
                    judged += 1
                    goal = f"≤ {READ_RATIO_GOAL}× plain read: " + ("met" if value / read <= READ_RATIO_GOAL
                                                                   else "missed")
                else:
                    goal = "not judged (no plain read)"
            if goal.endswith("missed"):
                missed.append(f"{case} {label(delay)} {contender.name}")
            spread = f"{min(times):.2f}–{max(times):.2f}" if times else "–"
            runs = f"{len(times)}" + (f" ({failures} failed)" if failures else "")
            print(f"| {case} | {label(delay)} | {contender.name} | {runs} | "
                  f"{format_number(value)} | {spread} | "
                  f"{format_number(value / read if value and read else None)} | "
                  f"{format_number(value / infozip if value and infozip else None)} | "
                  f"{format_number(size_ratio, '{:.3f}')} | {format_number(peak, '{:.1f}')} | "
                  f"{' / '.join(str(number) for number in flight) if flight else '–'} | {goal} |")
    print()
    print(f"goals: {judged - len(missed)} met, {len(missed)} missed" +
          "".join(f"\n  missed: {item}" for item in missed))
    return missed


def record(results, key, seconds, archive, peak, counters, error):
    result = results.setdefault(key, {"times": [], "sizes": [], "peaks": [], "failures": 0, "flight": None})
    if error is not None:
        result["failures"] += 1
        return
    result["times"].append(seconds)
    if archive is not None:
        result["sizes"].append(archive.stat().st_size)
    if peak is not None:
        result["peaks"].append(peak)
    if counters is not None:
        flight = [counters["in_flight"]] + [counters[kind][2] for kind in ("lookup", "readdir", "open", "read")]
        result["flight"] = [max(pair) for pair in zip(result["flight"] or flight, flight)]


# ---------------------------------------------------------------- the run

def preflight(arguments):
    for path, what in ((arguments.fsutil, "velmora-fsutil"), (arguments.latency_fs, "the latency file system")):
        if not os.access(path, os.X_OK):
            fail(f"{what} is not at {path}: build first (scripts/setup.sh && scripts/test.sh), "
                 f"or name it with --fsutil / --latency-fs")
    if not os.path.exists("/dev/fuse"):
        fail("/dev/fuse is missing: this machine cannot mount a FUSE file system")
    for tool in ("fusermount3", "zip", "unzip", "find", "xargs"):
        if shutil.which(tool) is None:
            fail(f"{tool} is missing: run scripts/setup.sh")
    if not os.access("/usr/bin/time", os.X_OK):
        fail("/usr/bin/time (GNU time) is missing: run scripts/setup.sh")
    if "7z" in arguments.contenders and shutil.which("7z") is None:
        subprocess.run([str(REPO / "scripts" / "install-packages.sh"), "p7zip-full"], check=True)
    need = 1 + 3 * ("large" in arguments.cases) + 1 * ("many" in arguments.cases)
    free = shutil.disk_usage(arguments.work if arguments.work.exists() else arguments.work.parent).free
    if free < need << 30:
        fail(f"{arguments.work} has {free >> 30} GiB free; the data sets and archives need about {need}")


def remove_own_files(work, keep_data):
    """Removes what this benchmark made in `work`, never anything else there."""
    if os.path.ismount(work / "mnt"):
        return  # never descend into a mount that would not go away
    made = ["out", "mnt", "latency-fs.log", "stderr.log", "time.txt"]
    if not keep_data:
        made += ["data"] + [f"ready-{name}" for name in FUSE_CASES + MEMORY_CASES]
    for name in made:
        path = work / name
        if path.is_dir() and not path.is_symlink():
            shutil.rmtree(path, ignore_errors=True)
        elif path.exists() or path.is_symlink():
            path.unlink()
    try:
        work.rmdir()  # only when empty
    except OSError:
        pass


def main():
    arguments = parse_arguments()
    arguments.work.parent.mkdir(parents=True, exist_ok=True)
    preflight(arguments)
    help_text = subprocess.run([str(arguments.fsutil), "zip", "--help"], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT).stdout.decode("utf-8", "replace")
    readers_option = "--readers" if re.search(r"--readers\b", help_text) else None
    contenders = contenders_for(arguments, readers_option)
    cases = [case for case in arguments.cases if case in FUSE_CASES]
    memory_cases = [case for case in arguments.cases if case in MEMORY_CASES] \
        if any(contender.kind == "velmora" for contender in contenders) else []

    def stop(number, _frame):
        raise Stop(number)

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, stop)
    arguments.work.mkdir(exist_ok=True)
    runner, mount, results, failed = Runner(arguments.work), LatencyMount(arguments.work), {}, []
    out = arguments.work / "out"
    try:
        if readers_option is None and any(contender.kind == "velmora" for contender in contenders):
            print("velmora-fsutil zip takes no --readers: its reader concurrency is its default")
        folders = prepare(arguments.work, cases + memory_cases)
        print(f"{os.cpu_count()} processors, load {os.getloadavg()[0]:.2f}; "
              f"{arguments.repeat} run(s) of each; lookups {'serial' if arguments.serial_lookups else 'parallel'}",
              flush=True)

        files = {case: sum(1 for path in folders[case].rglob("*") if path.is_file()) for case in cases}

        def one_run(case, delay, contender, folder, repetition):
            seconds, archive, peak, error = run_contender(runner, contender, folder, files.get(case, 0), out,
                                                          arguments, readers_option)
            counters = mount.reset() if delay != "disk" else None
            if error is None and archive is not None:
                error = check_archive(archive, folders[case])
            record(results, (case, delay, contender.key), seconds, archive, peak, counters, error)
            outcome = f"{seconds:.2f} s" + (f", {peak / 1024:.1f} MiB" if peak else "") if error is None \
                else f"FAILED: {error}"
            print(f"  [{label(delay)}] {case}: {contender.name}, run {repetition + 1}: {outcome}", flush=True)
            if error is not None:
                failed.append(f"{case} {label(delay)} {contender.name}: {error}")

        for delay in arguments.delays if cases else []:
            try:
                mount.mount(arguments.latency_fs, delay, arguments.serial_lookups)
                for repetition in range(arguments.repeat):
                    for case in cases:
                        for contender in contenders:
                            one_run(case, delay, contender, mount.point / case, repetition)
            finally:
                mount.unmount()
            print(f"  load after {delay:g} ms: {os.getloadavg()[0]:.2f}", flush=True)
        for repetition in range(arguments.repeat):
            for case in memory_cases:
                for contender in contenders:
                    if contender.kind == "velmora":
                        one_run(case, "disk", contender, folders[case], repetition)
        missed = print_table(arguments, contenders, results, cases, memory_cases)
        for item in failed:
            print(f"  failed: {item}")
        print("Figures on a shared 2-core machine are noisy: compare only rows measured in the same run.")
        return 1 if missed or failed else 0
    except Stop as stopped:
        print(f"archive_latency: {stopped}; cleaning up", file=sys.stderr)
        return 128 + stopped.number
    except (RuntimeError, OSError, subprocess.CalledProcessError) as problem:  # OSError: our own output too
        print(f"archive_latency: {problem}", file=sys.stderr)
        return 1
    finally:
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)  # cleanup is not interrupted half-way
        runner.stop()
        mount.unmount()
        remove_own_files(arguments.work, arguments.keep_data)


if __name__ == "__main__":
    sys.exit(main())
