#!/usr/bin/env python3
"""Benchmarks of the engine beside its anchors, all measured in one run.

Cases: loopback bulk transfers; downloads and uploads through linkem's link
profiles (uploads are paced by the engine's own rate control, so they are
quoted as a share of the link's rate); request/reply latency on loopback and
over the lossy link; connection scale; and the engine's CPU per MB on
loopback with the reference server not compressing, with the profile's top
entries. Anchors: a direct TCP connection on loopback and kcptun (Debian's
package) through the same links, both with its defaults and tuned for speed.
Each case is repeated and its median quoted; the table goes to stdout and
build/bench/results.md.
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
LINK_UP_BYTES = 512 * 1024 if QUICK else 4 * 1024 * 1024
LOSSY_SAMPLES = 50 if QUICK else 200
CPU_BYTES = 20 * MB if QUICK else 100 * MB
SCALE_CONNS = (1000, 10000)

PROFILES = {
    # name: linkem options (up = client to server, down = server to client)
    "SAT": ["--up-delay", "300", "--down-delay", "300", "--down-rate", "20000", "--up-rate", "2000"],
    "SATL": ["--up-delay", "300", "--down-delay", "300", "--down-rate", "20000", "--up-rate", "2000",
             "--up-loss", "1", "--down-loss", "1"],
    "LOSSY": ["--loss", "10", "--delay", "46", "--jitter", "16"],
}
# Engine speeds (bytes per second) for each profile: the link's own rates.
# LOSSY's link has no rate of its own: the engine's 100 Mbit/s stands for it.
PROFILE_SPEEDS = {"SAT": (2500000, 250000), "SATL": (2500000, 250000), "LOSSY": (12500000, 12500000)}

# kcptun with its package defaults (but no encryption: the engine has none),
# and tuned for speed, so that the anchor is the best kcptun.
KCPTUN_VARIANTS = {"kcptun": [], "kcptun fast3": ["--mode", "fast3", "--sndwnd", "2048", "--rcvwnd", "2048"]}
ANCHORS = ("direct",) + tuple(KCPTUN_VARIANTS)


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

    def __init__(self, work, target_port, speed_in, speed_out, profile=None, ldelay=None, rs_compression=1):
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
                         "--compression", str(rs_compression)], work, listen_line=True,
                        log=os.path.join(work, "refserver.out"))
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
    def __init__(self, work, target_port, profile=None, variant="kcptun"):
        self.procs = []
        kport = free_port(socket.SOCK_DGRAM)
        common = ["--crypt", "none", "--quiet"] + KCPTUN_VARIANTS[variant]
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


profiles = []  # (title, [(percent, symbol)])


def record(case, variant, goodput=None, cpu=None, rss=None, extra=""):
    rows.append({"case": case, "variant": variant, "goodput": goodput, "cpu": cpu, "rss": rss, "extra": extra})
    print("  %-34s %-14s %s" % (case, variant, fmt_row(rows[-1])), flush=True)


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


def measure(case, variant, src_port, direction, nbytes, payload, conns, speeds=None, profile=None, link_rate=None,
            rs_compression=1):
    """Runs one variant REPEATS times and records the medians. With link_rate
    (bytes per second) the goodput is also quoted as a share of it."""
    results = []
    for _ in range(REPEATS):
        work = tempfile.mkdtemp(prefix="qbench-")
        try:
            if variant == "direct":
                g, _ = transfer(direction, src_port, nbytes, payload, conns)
                results.append((g, None, None))
            elif variant in KCPTUN_VARIANTS:
                k = Kcptun(work, src_port, profile, variant)
                try:
                    g, _ = transfer(direction, k.port, nbytes, payload, conns)
                finally:
                    k.stop()
                results.append((g, None, None))
            else:
                e = Engine(work, src_port, speeds[0], speeds[1], profile=profile, rs_compression=rs_compression)
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
    goodput = median([r[0] for r in results])
    extra = ""
    if link_rate:
        extra = "%s of the link's %.1f Mbit/s" % (fmt(goodput and goodput * MB * 100.0 / link_rate, "%.1f%%"),
                                                 link_rate * 8 / 1e6)
    record(case, variant, goodput, median([r[1] for r in results]), median([r[2] for r in results]), extra)


def bulk_cases(src_port):
    print("== loopback bulk (%d MB)" % (BULK_BYTES // MB), flush=True)
    for direction in ("get", "put"):
        for payload in ("rand", "text"):
            for conns in (1, 16):
                case = "bulk %s %s x%d" % ("down" if direction == "get" else "up", payload, conns)
                for variant in ANCHORS + ("quorin",):
                    measure(case, variant, src_port, direction, BULK_BYTES, payload, conns,
                            speeds=(1000000000, 1000000000))


def link_cases(src_port):
    print("== link profiles (%d MiB download)" % (LINK_BYTES // (1024 * 1024)), flush=True)
    for profile in PROFILES:
        for variant in tuple(KCPTUN_VARIANTS) + ("quorin",):
            measure("link %s" % profile, variant, src_port, "get", LINK_BYTES, "rand", 1,
                    speeds=PROFILE_SPEEDS[profile], profile=profile)


def link_upload_cases(src_port):
    """Uploads are paced by the engine itself: its rate control against the
    link's upstream rate."""
    print("== link profiles (%d KiB upload)" % (LINK_UP_BYTES // 1024), flush=True)
    for profile in PROFILES:
        for variant in tuple(KCPTUN_VARIANTS) + ("quorin",):
            measure("link up %s" % profile, variant, src_port, "put", LINK_UP_BYTES, "rand", 1,
                    speeds=PROFILE_SPEEDS[profile], profile=profile, link_rate=PROFILE_SPEEDS[profile][1])


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


def lossy_latency_cases(src_port):
    """Small request/reply round trips over LOSSY: 10 % loss each way and
    60-124 ms of round trip, where a lost packet costs a resend."""
    print("== LOSSY request/reply (100 B, %d samples)" % LOSSY_SAMPLES, flush=True)
    for variant in tuple(KCPTUN_VARIANTS) + ("quorin",):
        avgs, maxs = [], []
        for _ in range(REPEATS):
            work = tempfile.mkdtemp(prefix="qbench-")
            try:
                if variant in KCPTUN_VARIANTS:
                    k = Kcptun(work, src_port, "LOSSY", variant)
                    try:
                        v = qbench("latency", "127.0.0.1:%d" % k.port, LOSSY_SAMPLES)
                    finally:
                        k.stop()
                else:
                    speeds = PROFILE_SPEEDS["LOSSY"]
                    e = Engine(work, src_port, speeds[0], speeds[1], profile="LOSSY")
                    try:
                        v = qbench("latency", "127.0.0.1:%d" % e.port, LOSSY_SAMPLES)
                    finally:
                        e.stop()
                avgs.append(float(v["avg_ms"]))
                maxs.append(float(v["max_ms"]))
            except Exception as ex:  # noqa: BLE001
                print("  ! lossy latency %s: %s" % (variant, ex), flush=True)
            finally:
                shutil.rmtree(work, ignore_errors=True)
        record("latency LOSSY", variant, extra="avg %s ms max %s ms" % (fmt(median(avgs), "%.1f"),
                                                                        fmt(median(maxs), "%.1f")))


def scale_cases(src_port):
    print("== connection scale", flush=True)
    for conns in SCALE_CONNS:
        work = tempfile.mkdtemp(prefix="qbench-")
        try:
            e = Engine(work, src_port, 100000000, 100000000)
            try:
                v = qbench("scale", "127.0.0.1:%d" % e.port, conns, timeout=600)
                record("scale %d" % conns, "quorin", rss=e.eng.peak_rss_mb(),
                       extra="ok %s errors %s in %s s" % (v.get("ok"), v.get("errors"), v.get("seconds")))
            finally:
                e.stop()
        except Exception as ex:  # noqa: BLE001
            print("  ! scale %d: %s" % (conns, ex), flush=True)
            record("scale %d" % conns, "quorin", extra="failed: %s" % ex)
        finally:
            shutil.rmtree(work, ignore_errors=True)


def cpu_cases(src_port):
    """The engine's CPU per MB on loopback, with the reference server at
    compression 0 so that the engine, not the server, is the bottleneck."""
    print("== engine CPU on loopback, server compression 0 (%d MB)" % (CPU_BYTES // MB), flush=True)
    for direction in ("get", "put"):
        for payload in ("rand", "text"):
            case = "cpu %s %s" % ("down" if direction == "get" else "up", payload)
            measure(case, "quorin", src_port, direction, CPU_BYTES, payload, 1, speeds=(1000000000, 1000000000),
                    rs_compression=0)
    for direction in ("get", "put"):
        profile_engine(src_port, direction, "text")


def profile_engine(src_port, direction, payload):
    """perf's top entries for the engine during one transfer of the CPU case."""
    title = "cpu %s %s" % ("down" if direction == "get" else "up", payload)
    if not shutil.which("perf"):
        print("  ! perf not installed: no profile for %s" % title, flush=True)
        return
    work = tempfile.mkdtemp(prefix="qbench-")
    try:
        e = Engine(work, src_port, 1000000000, 1000000000, rs_compression=0)
        try:
            data = os.path.join(work, "perf.data")
            perf = subprocess.Popen(["perf", "record", "-F", "4999", "-o", data, "-p", str(e.eng.p.pid)],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
            transfer(direction, e.port, CPU_BYTES, payload, 1)
            perf.send_signal(signal.SIGINT)
            perf.wait(60)
        finally:
            e.stop()
        # By library and symbol: zlib's symbols may be stripped, its name is not.
        rep = subprocess.run(["perf", "report", "-i", data, "--stdio", "--sort", "dso,symbol"], capture_output=True,
                             text=True, timeout=120)
        top = []
        for line in rep.stdout.splitlines():
            m = re.match(r"\s+([\d.]+)%\s+(\S+)\s+\[(.)\]\s+(.+?)[\s-]*$", line)
            if m:
                top.append((float(m.group(1)), "%s [%s] %s" % (m.group(2), m.group(3), m.group(4))))
        top = top[:10]
        profiles.append((title, top))
        print("  profile %s:" % title, flush=True)
        for pct, sym in top:
            print("    %6.2f%%  %s" % (pct, sym), flush=True)
        if not top:
            print("    (no samples: %s)" % rep.stderr.strip()[:200], flush=True)
    except Exception as ex:  # noqa: BLE001
        print("  ! profile %s: %s" % (title, ex), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def ratios():
    anchors = {}
    for r in rows:
        if r["variant"] in ANCHORS:
            anchors[(r["case"], r["variant"])] = r
    for r in rows:
        parts = []
        for a in ANCHORS:
            ar = anchors.get((r["case"], a))
            if ar and r["variant"] not in ANCHORS and ar["goodput"] and r["goodput"]:
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
    for title, top in profiles:
        lines.append("")
        lines.append("Engine profile, %s (perf, share of samples):" % title)
        lines.append("")
        lines += ["    %6.2f%%  %s" % (pct, sym) for pct, sym in top]
    text = "\n".join(lines) + "\n"
    with open(os.path.join(OUT, "results.md"), "w") as f:
        f.write("# Benchmark results (%s, median of %d%s)\n\n" % (time.strftime("%Y-%m-%d %H:%M"), REPEATS,
                                                               ", quick run" if QUICK else ""))
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
        if not only or "upload" in only:
            link_upload_cases(src.port)
        if not only or "latency" in only:
            latency_cases(src.port)
        if not only or "lossy" in only:
            lossy_latency_cases(src.port)
        if not only or "scale" in only:
            scale_cases(src.port)
        if not only or "cpu" in only:
            cpu_cases(src.port)
    finally:
        src.stop()
        write_table()


if __name__ == "__main__":
    main()
