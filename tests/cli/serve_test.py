#!/usr/bin/env python3
"""velmora-fsutil serve as Prometheus and operators meet it: the real exporter
over HTTP, driven by the tool simulator. Usage: serve_test.py CLI SIMULATOR"""
import base64, concurrent.futures, math, os, re, shutil, signal, socket, ssl, subprocess, sys, tempfile, threading, time, urllib.error, urllib.request
import warnings; warnings.simplefilter("ignore", DeprecationWarning); import crypt

CLI, SIM = sys.argv[1], sys.argv[2]
home = tempfile.mkdtemp()
tool = os.path.join(home, "lucid")
shutil.copy(SIM, tool)
os.mkdir(tool + ".d")
failures = []
started = []  # every exporter, for their logs


def check(name, ok, detail=""):
    print(("ok: " if ok else "FAIL: ") + name + ("" if ok else f" ({detail})"))
    if not ok:
        failures.append(name)


def state(name, text):  # written whole, as the simulator reads it at any moment
    with open(f"{tool}.d/{name}.new", "w") as f:
        f.write(text)
    os.replace(f"{tool}.d/{name}.new", f"{tool}.d/{name}")


def start(path=tool, *more):
    proc = subprocess.Popen([CLI, "serve", "--tool", path, "--listen", "127.0.0.1:0", "--refresh", "0.3", "--tool-timeout", "1",
                             "--smart-interval", "0", *more], stderr=subprocess.PIPE, text=True, errors="replace",
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    proc.log = [proc.stderr.readline()]
    proc.port = int(re.search(r":(\d+)/metrics", proc.log[0]).group(1))
    threading.Thread(target=lambda: proc.log.extend(proc.stderr), daemon=True).start()
    started.append(proc)
    return proc


def get(proc, path="/metrics", method="GET", scheme="http", headers={}, context=None):
    try:
        request = urllib.request.Request(f"{scheme}://127.0.0.1:{proc.port}{path}", method=method, headers=headers)
        with urllib.request.urlopen(request, timeout=30, context=context) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, str(e.headers.get("WWW-Authenticate"))


def raw(proc, request):  # the whole answer to bytes sent as they are
    with socket.create_connection(("127.0.0.1", proc.port), timeout=30) as s:
        s.sendall(request)
        return b"".join(iter(lambda: s.recv(65536), b""))


def value(body, name, **labels):
    for line in body.splitlines():
        m = re.fullmatch(name + r"\{(.*)\} (\S+)", line)
        if m and all(f'{k}="{v}"' in m.group(1) for k, v in labels.items()):
            return float(m.group(2))
    return None


def eventually(what, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if what():
            return True
        time.sleep(0.1)
    return False


def tools_left():  # simulator processes, the exporter's own command line aside
    return [l for l in subprocess.run(["ps", "-eo", "args"], capture_output=True, text=True).stdout.splitlines() if l.startswith(tool)]


for option, text in [("--refresh", "nan"), ("--listen", "127.0.0.1:1,0.0.0.0:2"), ("--listen", "example.com:80")]:
    check(f"serve {option} {text} is a usage error", subprocess.run([CLI, "serve", option, text], capture_output=True).returncode == 2)

state("instances", "2001\tfs.one\t7778\tlive\t/mnt/one\n2002\tfs.two\t7779\tlive\t/mnt/two\n")
proc = start()
one = {"instance_id": "2001", "mount_point": "/mnt/one"}
eventually(lambda: value(get(proc)[1], "velmora_filespace_cache_hit_ratio", layer="cache", **one) is not None)
body = get(proc)[1]
# The simulator's sample k prints (k + 0.5) MiB/s, k % 10 ms (n/a when k % 7 == 0) and k %; its cache 10.00 GiB and 1.25 GiB.
rate, time_, ratio = (value(body, n, **one, layer=layer) for n, layer in (("velmora_filespace_read_bytes_per_second", "fs"),
                      ("velmora_filespace_read_time_seconds", "fs"), ("velmora_filespace_cache_hit_ratio", "cache")))
check("rates in bytes per second", (rate / 1048576 - 0.5).is_integer(), rate)
check("times in seconds, n/a as NaN", math.isnan(time_) or round(time_ * 1000, 9).is_integer() and time_ < 0.01, time_)
check("percentages as ratios", 0 <= ratio < 1 and round(ratio * 100, 9).is_integer(), ratio)
check("cache sizes in bytes", (value(body, "velmora_filespace_cache_limit_bytes", **one), value(body, "velmora_filespace_cache_size_on_disk_bytes", **one))
      == (10 * 2**30, 1.25 * 2**30))
check("no user email without the flag", "admin@" not in body)

# The same labels for a new instance record (only the port changed) while the old one's series go.
state("instances", "2001\tfs.one\t7790\tlive\t/mnt/one\n")
gone = eventually(lambda: value(get(proc)[1], "velmora_filespace_up", instance_id="2002") is None)
check("an instance that changes its port keeps its series", gone and eventually(
    lambda: value(get(proc)[1], "velmora_filespace_up", **one) == 1) and proc.poll() is None)

for path, method, status in [("/", "GET", 200), ("/nope", "GET", 404), ("/metrics/x", "GET", 404), ("/metrics", "POST", 405)]:
    check(f"{method} {path} is {status}", get(proc, path, method)[0] == status)
for target, method, status, body in [("/metrics", "HEAD", b"200", False), ("http://x/metrics", "GET", b"200", True), ("*", "GET", b"400", False)]:
    answer = raw(proc, f"{method} {target} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
    check(f"{method} {target} is {status.decode()}", answer.startswith(b"HTTP/1.1 " + status) and (b"velmora_build_info" in answer) == body
          and (body or answer.endswith(b"\r\n\r\n") or status != b"200"), answer[:300])
with socket.create_connection(("127.0.0.1", proc.port)) as big:
    big.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 8192 + b"\r\n\r\n")
    reply = big.recv(100)
check("an oversized request is refused", not reply.startswith(b"HTTP/1.1 200"), reply)
idle = [socket.create_connection(("127.0.0.1", proc.port)) for _ in range(300)]
for slow in idle[::2]:
    slow.sendall(b"GET /metr")
with concurrent.futures.ThreadPoolExecutor(50) as pool:
    answers = list(pool.map(lambda _: get(proc), range(50)))
check("50 concurrent scrapes all answer, beside 300 idle or slow clients", all(s == 200 and "velmora_build_info" in b for s, b in answers))
idle[0].settimeout(30)
check("an idle client is let go", idle[0].recv(10) == b"")
for client in idle:
    client.close()

for misbehave, says in [("exit 3", "Lucid is not running"), ("ignore-term forever", "did not finish within 1 s"),
                        ("print-mib 2", "wrote more than 1024 KiB")]:
    state("misbehave", misbehave)
    down = eventually(lambda: value(get(proc)[1], "velmora_collector_up", collector="filespaces") == 0)
    check(f"a tool that does '{misbehave}' is a failed collector, the reason logged", down and any(says in l for l in proc.log), proc.log)
    os.remove(tool + ".d/misbehave")
    check("the collector recovers", eventually(lambda: value(get(proc)[1], "velmora_collector_up", collector="filespaces") == 1))

# A tool's values at the edge of a double, and a cache that was never read; an id with control characters in the log.
wrapper = os.path.join(home, "wrapper")
with open(wrapper, "w") as f:
    f.write(f"""#!/bin/sh\ncase "$*" in *cache*) [ -e {home}/huge ] || exit 3
printf 'Cache limit: 1.7976931348623157e308 B\\nCurrent size on disk: 1e400 B\\nRemaining upload: 1e308 GiB\\n'; exit 0;; esac
exec {tool} "$@"\n""")
os.chmod(wrapper, 0o755)
state("instances", "2001\tfs.one\t7790\tlive\t/mnt/one\n20\x1b[2J02\tfs.two\t7791\tlive\t-\n")
values = start(wrapper)
check("no cache series before the first cache reading", eventually(lambda: value(get(values)[1], "velmora_filespace_up", **one) == 0)
      and "velmora_filespace_cache_limit_bytes" not in get(values)[1])
open(os.path.join(home, "huge"), "w").close()
eventually(lambda: value(get(values)[1], "velmora_filespace_cache_limit_bytes", **one) is not None)
body = get(values)[1]
check("values read back whole, +Inf beyond a double", [value(body, f"velmora_filespace_{n}_bytes", **one) for n in
      ("cache_limit", "cache_size_on_disk", "upload_remaining")] == [1.7976931348623157e308, math.inf, math.inf], body[-1500:])
check("control characters in a log line are escaped", any("instance 20\\x1b[2J02" in l for l in values.log)
      and not any("\x1b" in l for l in values.log), values.log)
values.send_signal(signal.SIGTERM)
values.wait(30)
state("instances", "2001\tfs.one\t7790\tlive\t/mnt/one\n")

# TLS and a password from a web configuration file.
subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{home}/key.pem", "-out", f"{home}/cert.pem",
                "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
with open(f"{home}/web.yml", "w") as f:
    f.write(f"tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\nbasic_auth_users:\n"
            f"  prom: '{crypt.crypt('s3cret', crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=16))}'\n")
secure = start(tool, "--web-config", f"{home}/web.yml")
trusted = ssl.create_default_context(cafile=f"{home}/cert.pem")
auth = lambda password: {"Authorization": "Basic " + base64.b64encode(b"prom:" + password).decode()}
for name, password, status, says in [("no password", None, 401, 'Basic realm="velmora"'), ("a wrong password", b"s3cre", 401, "Basic"),
                                     ("the password and more after a NUL", b"s3cret\0x", 401, "Basic"),
                                     ("the password", b"s3cret", 200, "velmora_build_info")]:
    answer = get(secure, scheme="https", context=trusted, headers=auth(password) if password else {})
    check(f"TLS with {name}: {status}", answer[0] == status and says in answer[1], answer[0])
check("plain HTTP to the TLS listener gets no metrics", b"velmora" not in raw(secure, b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"))
secure.send_signal(signal.SIGTERM)
secure.wait(30)
check("an unusable web configuration: exit 1", subprocess.run([CLI, "serve", "--web-config", f"{home}/none.yml"], capture_output=True).returncode == 1)

# Stopping: a hung one-shot tool, and streams that ignore the terminate request, are gone first.
state("misbehave", "ignore-term forever")
eventually(lambda: any(" list" in t for t in tools_left()))
proc.send_signal(signal.SIGTERM)
check("SIGTERM during a hung tool: 143", proc.wait(30) == 143)
check("  and no tool left", not tools_left(), tools_left())
state("misbehave", "ignore-term")
proc = start()
eventually(lambda: len(tools_left()) == 2)
proc.send_signal(signal.SIGINT)
check("SIGINT with streams that ignore SIGTERM: 130", proc.wait(30) == 130)
check("  and no tool left", not tools_left(), tools_left())

# Under a sanitizer a report is a failure even when the exporter carried on.
reports = [l for p in started for l in p.log if "Sanitizer" in l]
check("no sanitizer report", not reports, reports)
shutil.rmtree(home)
print(f"{len(failures)} failed" if failures else "serve: all checks passed")
sys.exit(1 if failures else 0)
