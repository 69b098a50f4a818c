#!/usr/bin/env python3
"""Benchmarks of the engine beside its anchors, all measured in one run.

Cases: loopback bulk transfers, link profiles through linkem, request
latency, and connection scale. Anchors: a direct TCP connection on loopback
and kcptun (Debian's package) through the same links. Each case is repeated
and its median quoted; the table goes to stdout and build/bench/results.md.
"""
import os
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

BIN = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bin")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "build", "bench")
REPEATS = int(os.environ.get("BENCH_REPEATS", "3"))
QUICK = os.environ.get("BENCH_QUICK") == "1"
MB = 1000 * 1000
CLK = os.sysconf("SC_CLK_TCK")

BULK_BYTES = 20 * MB if QUICK else 200 * MB
LINK_BYTES = 2 * 1024 * 1024 if QUICK else 10 * 1024 * 1024

PROFILES = {
    # name: linkem options (up = client to server, down = server to client)
    "SAT": ["--up-delay", "300", "--down-delay", "300", "--down-rate", "20000", "--up-rate", "2000"],
    "SATL": ["--up-delay", "300", "--down-delay", "300", "--down-rate", "20000", "--up-rate", "2000",
             "--up-loss", "1", "--down-loss", "1"],
    "LOSSY": ["--loss", "10", "--delay", "46", "--jitter", "16"],
}
# Engine speeds (bytes per second) for each profile: the link's own rates.
PROFILE_SPEEDS = {"SAT": (2500000, 250000), "SATL": (2500000, 250000), "LOSSY": (12500000, 12500000)}


def free_port(kind=socket.SOCK_STREAM):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def raise_nofile():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = min(hard, 65536)
    resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))


class Proc:
    def __init__(self, args, cwd, listen_line=False, log=None):
        self.log = open(log or os.path.join(cwd, os.path.basename(args[0]) + ".out"), "w")
        self.p = subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE if listen_line else self.log,
                                  stderr=subprocess.STDOUT if listen_line else self.log,
                                  preexec_fn=raise_nofile, text=True)
        self.port = None
        if listen_line:
            deadline = time.time() + 10
            while time.time() < deadline:
                line = self.p.stdout.readline()
                if not line:
                    break
                m = re.match(r"LISTEN (\d+)", line)
                if m:
                    self.port = int(m.group(1))
                    break
            if self.port is None:
                raise RuntimeError("%s printed no LISTEN line" % args[0])
            # Keep draining its output so it never blocks on a full pipe.
            subprocess.Popen(["cat"], stdin=self.p.stdout, stdout=self.log)

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.p.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK

    def peak_rss_mb(self):
        with open("/proc/%d/status" % self.p.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
        return 0.0

    def stop(self):
        if self.p.poll() is None:
            self.p.send_signal(signal.SIGTERM)
            try:
                self.p.wait(3)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()
        self.log.close()


def wait_tcp(port, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("port %d never listened" % port)


def qbench(*args, timeout=600):
    r = subprocess.run([os.path.join(BIN, "qbench")] + [str(a) for a in args], capture_output=True, text=True,
                       timeout=timeout, preexec_fn=raise_nofile)
    vals = dict(zip(r.stdout.split()[::2], r.stdout.split()[1::2]))
    if r.returncode != 0 and "bytes" not in vals and "ok" not in vals:
        raise RuntimeError("qbench %s failed: %s %s" % (args[0], r.stdout.strip(), r.stderr.strip()))
    return vals


class Engine:
    """refserver + quorin with a forwarding listener to the data source."""

    def __init__(self, work, target_port, speed_in, speed_out, profile=None, ldelay=None):
        self.work = work
        self.procs = []
        self.ref = Proc([os.path.join(BIN, "refserver"), "--listen", "127.0.0.1:0", "--user", "bench:bench",
                         "--max-streams", "20000",
                         # The engine acknowledges a pure download about once per
                         # keepalive interval (5 s), so the server must be able to
                         # keep that much data unacknowledged.
                         "--window", "1073741824",
                         # The reference server stands in for the service; at its
                         # default level its own deflate, not the engine, limits a
                         # loopback download.
                         "--compression", "1"], work, listen_line=True, log=os.path.join(work, "refserver.out"))
        self.procs.append(self.ref)
        server_port = self.ref.port
        if profile:
            self.link = Proc([os.path.join(BIN, "linkem"), "--listen", "127.0.0.1:0", "--server",
                              "127.0.0.1:%d" % server_port, "--seed", "1"] + PROFILES[profile], work,
                             listen_line=True, log=os.path.join(work, "linkem.out"))
            self.procs.append(self.link)
            server_port = self.link.port
        self.port = free_port()
        conf = ["[server]", "log=quorin.log", "port=127.0.0.1:0", "udpbuf=8388608"]
        if ldelay is not None:
            conf.append("ldelay=%d" % ldelay)
        conf += ["[remote]", "name=bench", "server=127.0.0.1:%d" % server_port, "login=bench", "passwd=bench",
                 "speed_in=%d" % speed_in, "speed_out=%d" % speed_out, "mtu=1500", "mru=1500",
                 "[local]", "remote=bench", "service_ext=127.0.0.1:%d" % target_port,
                 "port=127.0.0.1:%d" % self.port]
        with open(os.path.join(work, "quorin.conf"), "w") as f:
            f.write("\n".join(conf) + "\n")
        # A copy of the engine in its own directory runs headless: the
        # interface library next to the build's engine is not loaded.
        engine = os.path.join(work, "quorin")
        if not os.path.exists(engine):
            shutil.copy2(os.path.join(BIN, "quorin"), engine)
        self.eng = Proc([engine], work, log=os.path.join(work, "quorin.out"))
        self.procs.append(self.eng)
        wait_tcp(self.port)

    def stop(self):
        for p in reversed(self.procs):
            p.stop()


class Kcptun:
    def __init__(self, work, target_port, profile=None):
        self.procs = []
        kport = free_port(socket.SOCK_DGRAM)
        common = ["--crypt", "none", "--quiet"]
        self.procs.append(Proc(["kcptun-server", "-l", "127.0.0.1:%d" % kport, "-t", "127.0.0.1:%d" % target_port]
                               + common, work, log=os.path.join(work, "kcps.out")))
        remote = kport
        if profile:
            link = Proc([os.path.join(BIN, "linkem"), "--listen", "127.0.0.1:0", "--server", "127.0.0.1:%d" % kport,
                         "--seed", "1"] + PROFILES[profile], work, listen_line=True,
                        log=os.path.join(work, "kcplink.out"))
            self.procs.append(link)
            remote = link.port
        self.port = free_port()
        self.procs.append(Proc(["kcptun-client", "-l", "127.0.0.1:%d" % self.port, "-r", "127.0.0.1:%d" % remote]
                               + common, work, log=os.path.join(work, "kcpc.out")))
        wait_tcp(self.port)
        time.sleep(0.3)

    def stop(self):
        for p in reversed(self.procs):
            p.stop()


def median(xs):
    xs = [x for x in xs if x is not None]
    return statistics.median(xs) if xs else None


rows = []


def record(case, variant, goodput=None, cpu=None, rss=None, extra=""):
    rows.append({"case": case, "variant": variant, "goodput": goodput, "cpu": cpu, "rss": rss, "extra": extra})
    print("  %-34s %-10s %s" % (case, variant, fmt_row(rows[-1])), flush=True)


def fmt(v, spec):
    return "-" if v is None else spec % v


def fmt_row(r):
    return "goodput %s MB/s  cpu %s s/MB  rss %s MB  %s" % (
        fmt(r["goodput"], "%.2f"), fmt(r["cpu"], "%.4f"), fmt(r["rss"], "%.1f"), r["extra"])


def transfer(kind_cmd, port, nbytes, payload, conns):
    v = qbench(kind_cmd, "127.0.0.1:%d" % port, nbytes, payload, conns)
    secs = float(v["seconds"])
    got = int(v["bytes"])
    errs = int(v.get("errors", "0"))
    return (got / MB / secs if secs > 0 and errs == 0 and got == nbytes else None), got


def measure(case, variant, src_port, direction, nbytes, payload, conns, speeds=None, profile=None):
    """Runs one variant REPEATS times and records the medians."""
    results = []
    for _ in range(REPEATS):
        work = tempfile.mkdtemp(prefix="qbench-")
        try:
            if variant == "direct":
                g, _ = transfer(direction, src_port, nbytes, payload, conns)
                results.append((g, None, None))
            elif variant == "kcptun":
                k = Kcptun(work, src_port, profile)
                try:
                    g, _ = transfer(direction, k.port, nbytes, payload, conns)
                finally:
                    k.stop()
                results.append((g, None, None))
            else:
                e = Engine(work, src_port, speeds[0], speeds[1], profile=profile)
                try:
                    c0 = e.eng.cpu_seconds()
                    g, got = transfer(direction, e.port, nbytes, payload, conns)
                    cpu = (e.eng.cpu_seconds() - c0) / (got / MB) if got else None
                    results.append((g, cpu, e.eng.peak_rss_mb()))
                finally:
                    e.stop()
        except Exception as ex:  # noqa: BLE001 - a failed run is reported, not fatal
            print("  ! %s %s: %s" % (case, variant, ex), flush=True)
            results.append((None, None, None))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    record(case, variant, median([r[0] for r in results]), median([r[1] for r in results]),
           median([r[2] for r in results]))


def bulk_cases(src_port):
    print("== loopback bulk (%d MB)" % (BULK_BYTES // MB), flush=True)
    for direction in ("get", "put"):
        for payload in ("rand", "text"):
            for conns in (1, 16):
                case = "bulk %s %s x%d" % ("down" if direction == "get" else "up", payload, conns)
                for variant in ("direct", "kcptun", "quorin"):
                    measure(case, variant, src_port, direction, BULK_BYTES, payload, conns,
                            speeds=(1000000000, 1000000000))


def link_cases(src_port):
    print("== link profiles (%d MiB download)" % (LINK_BYTES // (1024 * 1024)), flush=True)
    for profile in PROFILES:
        for variant in ("kcptun", "quorin"):
            measure("link %s" % profile, variant, src_port, "get", LINK_BYTES, "rand", 1,
                    speeds=PROFILE_SPEEDS[profile], profile=profile)


def latency_cases(src_port):
    print("== request latency (100-byte request and reply)", flush=True)
    count = 100 if QUICK else 300
    for variant, ldelay in (("direct", None), ("quorin", None), ("quorin ldelay=0", 0)):
        p50s, p99s = [], []
        for _ in range(REPEATS):
            work = tempfile.mkdtemp(prefix="qbench-")
            try:
                if variant == "direct":
                    v = qbench("latency", "127.0.0.1:%d" % src_port, count)
                else:
                    e = Engine(work, src_port, 100000000, 100000000, ldelay=ldelay)
                    try:
                        v = qbench("latency", "127.0.0.1:%d" % e.port, count)
                    finally:
                        e.stop()
                p50s.append(float(v["p50_ms"]))
                p99s.append(float(v["p99_ms"]))
            except Exception as ex:  # noqa: BLE001
                print("  ! latency %s: %s" % (variant, ex), flush=True)
            finally:
                shutil.rmtree(work, ignore_errors=True)
        record("latency", variant, extra="p50 %s ms p99 %s ms" % (fmt(median(p50s), "%.2f"),
                                                                   fmt(median(p99s), "%.2f")))


def scale_cases(src_port):
    print("== connection scale", flush=True)
    for conns in (1000, 5000):
        work = tempfile.mkdtemp(prefix="qbench-")
        try:
            e = Engine(work, src_port, 100000000, 100000000)
            try:
                v = qbench("scale", "127.0.0.1:%d" % e.port, conns, timeout=300)
                record("scale %d" % conns, "quorin", rss=e.eng.peak_rss_mb(),
                       extra="ok %s errors %s in %s s" % (v.get("ok"), v.get("errors"), v.get("seconds")))
            finally:
                e.stop()
        except Exception as ex:  # noqa: BLE001
            print("  ! scale %d: %s" % (conns, ex), flush=True)
            record("scale %d" % conns, "quorin", extra="failed: %s" % ex)
        finally:
            shutil.rmtree(work, ignore_errors=True)


def ratios():
    anchors = {}
    for r in rows:
        if r["variant"] in ("direct", "kcptun"):
            anchors[(r["case"], r["variant"])] = r
    for r in rows:
        parts = []
        for a in ("direct", "kcptun"):
            ar = anchors.get((r["case"], a))
            if ar and r["variant"] not in ("direct", "kcptun") and ar["goodput"] and r["goodput"]:
                parts.append("%.2f x %s" % (r["goodput"] / ar["goodput"], a))
        r["ratio"] = ", ".join(parts)


def write_table():
    ratios()
    os.makedirs(OUT, exist_ok=True)
    lines = ["| case | variant | goodput MB/s | engine CPU s/MB | engine peak RSS MB | vs anchors | notes |",
             "|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            r["case"], r["variant"], fmt(r["goodput"], "%.2f"), fmt(r["cpu"], "%.4f"), fmt(r["rss"], "%.1f"),
            r.get("ratio", ""), r["extra"]))
    text = "\n".join(lines) + "\n"
    with open(os.path.join(OUT, "results.md"), "w") as f:
        f.write("# Benchmark results (%s, median of %d)\n\n" % (time.strftime("%Y-%m-%d %H:%M"), REPEATS))
        f.write(text)
    print()
    print(text)


def main():
    raise_nofile()
    src = Proc([os.path.join(BIN, "qbench"), "serve", "0"], tempfile.gettempdir(), listen_line=True,
               log=os.path.join(tempfile.gettempdir(), "qbench-serve.out"))
    try:
        only = set(sys.argv[2:])
        if not only or "bulk" in only:
            bulk_cases(src.port)
        if not only or "link" in only:
            link_cases(src.port)
        if not only or "latency" in only:
            latency_cases(src.port)
        if not only or "scale" in only:
            scale_cases(src.port)
    finally:
        src.stop()
        write_table()


if __name__ == "__main__":
    main()
