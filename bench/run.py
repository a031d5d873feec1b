#!/usr/bin/env python3
"""Runs every benchmark of the GUI connector beside its baseline and prints one table.

usage: run.py BUILD_DIR   (make bench builds BUILD_DIR in Release first)

Each figure is measured BENCH_RUNS times (default 3; 5 for the SOAP and fan-out
figures, whose single measurements are short), connector and baseline in turn within
the same run, and reported as median [min..max]. wrk runs BENCH_WRK_SECONDS (default
3) per measurement; the paced UDP run (1,000,000 records at 20,000 a second) is made
BENCH_PACED_RUNS times (default 1). The intake under GUI load runs BENCH_GUI_SECONDS
(default 20) per measurement, BENCH_GUI_RUNS times (default 1); the wake of one parked
client is measured BENCH_QUIET_RUNS times (default 21). BENCH_FIGURES picks figures by
name (default "intake,decode,soap,fanout,gui"). Everything binds 127.0.0.1 only, and
every process the driver starts is ended by its id before it returns."""

import json
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import procs

HERE = os.path.dirname(os.path.abspath(__file__))
MESSAGES = 1000000
RUNS = int(os.environ.get("BENCH_RUNS", "3"))
SHORT_RUNS = int(os.environ.get("BENCH_SHORT_RUNS", "5"))
WRK_SECONDS = int(os.environ.get("BENCH_WRK_SECONDS", "3"))
PACED_RUNS = int(os.environ.get("BENCH_PACED_RUNS", "1"))
PACED_RATE = 20000
FIGURES = os.environ.get("BENCH_FIGURES", "intake,decode,soap,fanout,gui").split(",")
CONNECTOR_OPTS = os.environ.get("BENCH_CONNECTOR_OPTS", "").split()
FANOUT_N = (100, 500, 1000)
QUIET_RUNS = int(os.environ.get("BENCH_QUIET_RUNS", "21"))
GUI_SECONDS = float(os.environ.get("BENCH_GUI_SECONDS", "20"))
GUI_RUNS = int(os.environ.get("BENCH_GUI_RUNS", "1"))
GUI_RATE = 100000
GUI_CLIENTS = (0, 10, 100)
RECEIVED = 'gui_connector_status_messages_received_total{transport="%s"}'
BLOCKED = "gui_connector_blocked_file_records_total"
rows = []
gui_rows = []


def spread(values, fmt):
    """median [min..max] of values, each written with fmt."""
    return "%s [%s..%s]" % (fmt % statistics.median(values), fmt % min(values),
                            fmt % max(values))


def row(figure, conn, base, fmt, target, ok, ratio=None):
    """One table row; ratio defaults to median(conn) / median(base)."""
    mc = statistics.median(conn)
    if ratio is None:
        mb = statistics.median(base) if base else None
        ratio = "%.2f" % (mc / mb) if mb else "-"
    rows.append((figure, spread(conn, fmt), spread(base, fmt) if base else "-", ratio,
                 target, "-" if ok is None else ("PASS" if ok else "FALL SHORT")))


def log(text):
    print(text, file=sys.stderr, flush=True)


class Bench:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.tmp = tempfile.mkdtemp(prefix="gc-bench-")
        self.key = procs.channel_key(self.tmp)
        self.bodies = {}
        self.batch = os.path.join(self.tmp, "increments.txt")
        with open(self.batch, "w") as f:
            f.write("9 I Z 1\n" * MESSAGES)

    def bin(self, name):
        return os.path.join(self.build, name)

    def close(self):
        procs.stop_all()
        left = procs.remove_queues(self.key)
        shutil.rmtree(self.tmp, ignore_errors=True)
        if left:
            raise RuntimeError("%d message queue(s) were left under the bench key" % left)

    # Servers -------------------------------------------------------------------------

    def connector(self, *opts):
        port = procs.free_port()
        p = procs.start([self.bin("gui-connector"), "-d", self.tmp,
                         "-h", "127.0.0.1:%d" % port] + CONNECTOR_OPTS + list(opts),
                        stdout=subprocess.DEVNULL)
        procs.wait_listening(port, p)
        return p, port

    def bare(self):
        port = procs.free_port()
        p = procs.start([self.bin("bare-soap"), self.tmp, str(port)])
        procs.wait_listening(port, p)
        return p, port

    def nginx(self):
        port = procs.free_port()
        conf = os.path.join(self.tmp, "nginx.conf")
        with open(os.path.join(HERE, "nginx.conf.in")) as f:
            text = f.read()
        text = text.replace("@PORT@", str(port)).replace("@TMP@", self.tmp)
        for name, op in (("@STATS@", "get-currentStats"), ("@VERSION@", "get-versionInfo")):
            text = text.replace(name, self.reply_body(op))
        with open(conf, "w") as f:
            f.write(text)
        p = procs.start(["nginx", "-e", "stderr", "-p", self.tmp, "-c", conf])
        procs.wait_listening(port, p)
        return p, port

    def reply_body(self, op):
        """The bare server's reply body for op, quoted for nginx's return directive."""
        if op not in self.bodies:
            p, port = self.bare()
            try:
                body = procs.post(port, "<sntr:%s/>" % op)
            finally:
                procs.stop(p)
            self.bodies[op] = "'" + body.replace("\\", "\\\\").replace("'", "\\'") + "'"
        return self.bodies[op]

    # 1, 2: intake --------------------------------------------------------------------

    def send_all(self, transport_off, rate=0):
        """Sends the batch with status-send (at most rate per second when rate is set);
        returns the seconds it took."""
        t0 = time.monotonic()
        pace = ["-r", str(rate)] if rate else []
        with open(self.batch) as f:
            subprocess.run([self.bin("status-send"), transport_off, "-d", self.tmp, "-b"]
                           + pace, stdin=f, check=True, timeout=120 + MESSAGES // 1000)
        return time.monotonic() - t0

    # Each returns (received per second of sending, messages lost, receiver CPU
    # microseconds per message received).
    def intake_connector(self, transport_off, opts, rate=0):
        p, port = self.connector(*opts)
        try:
            cpu = procs.cpu_seconds(p.pid)
            secs = self.send_all(transport_off, rate)
            got = procs.settled_scanned_files(port)
            cpu = procs.cpu_seconds(p.pid) - cpu
        finally:
            procs.stop(p)
        return got / secs, MESSAGES - got, cpu * 1e6 / got

    def intake_sink(self, transport_off, sink, rate=0):
        p = procs.start([self.bin(sink), self.tmp], stdout=subprocess.PIPE, text=True)
        try:
            if p.stdout.readline().strip() != "ready":
                raise RuntimeError(sink + " did not start")
            cpu = procs.cpu_seconds(p.pid)
            secs = self.send_all(transport_off, rate)
            time.sleep(0.3)
            cpu = procs.cpu_seconds(p.pid) - cpu
        finally:
            procs.stop(p)
        got = int(re.search(r"received (\d+)", p.stdout.read()).group(1))
        return got / secs, MESSAGES - got, cpu * 1e6 / got

    def intake(self, name, transport_off, opts, sink, runs=RUNS, rate=0):
        """Per side, the lists of rates, losses and CPU costs of every run."""
        conn, base = ([], [], []), ([], [], [])
        for i in range(runs):
            for which in ((0, 1) if i % 2 == 0 else (1, 0)):
                if which == 0:
                    res, side = self.intake_connector(transport_off, opts, rate), conn
                else:
                    res, side = self.intake_sink(transport_off, sink, rate), base
                for series, v in zip(side, res):
                    series.append(v)
            log("  %s run %d: connector %.0f/s lost %d, baseline %.0f/s lost %d"
                % (name, i + 1, conn[0][-1], conn[1][-1], base[0][-1], base[1][-1]))
        return conn, base

    def figure_intake(self):
        log("1. intake over UDP")
        c, b = self.intake("udp", "-M", [], "sink-udp")
        row("1 UDP intake rate (msg/s)", c[0], b[0], "%.0f", ">= 0.90x",
            statistics.median(c[0]) >= 0.9 * statistics.median(b[0]))
        mb = statistics.median(b[1])
        row("1 UDP intake loss (of 1e6)", c[1], b[1], "%d", "<= 0.10x",
            statistics.median(c[1]) <= 0.1 * mb,
            ratio="%.2f" % (statistics.median(c[1]) / mb) if mb else "-")
        row("1 UDP receiver CPU per message (us)", c[2], b[2], "%.2f", "<= 1.00x",
            statistics.median(c[2]) <= statistics.median(b[2]))
        # The sender paced as a busy scanner daemon would send: nothing may be lost.
        c, b = self.intake("udp %d/s" % PACED_RATE, "-M", [], "sink-udp", PACED_RUNS,
                           PACED_RATE)
        row("1 UDP loss paced %d/s (of 1e6)" % PACED_RATE, c[1], b[1], "%d", "0",
            max(c[1]) == 0, ratio="-")
        log("2. intake over the message queue")
        c, b = self.intake("msgq", "-U", ["-U"], "sink-msgq")
        if any(c[1]) or any(b[1]):
            raise RuntimeError("messages lost on the queue: connector %s, baseline %s"
                               % (c[1], b[1]))
        row("2 queue intake rate (msg/s)", c[0], b[0], "%.0f", ">= 0.90x",
            statistics.median(c[0]) >= 0.9 * statistics.median(b[0]))
        row("2 queue intake loss (assert 0)", c[1], b[1], "%d", "0", True, ratio="-")
        row("2 queue receiver CPU per message (us)", c[2], b[2], "%.2f", "<= 1.00x",
            statistics.median(c[2]) <= statistics.median(b[2]))

    # 3: decode and dispatch -----------------------------------------------------------

    def figure_decode(self):
        log("3. decode and dispatch")
        out = subprocess.run([self.bin("decode-bench"), "--benchmark_format=json",
                              "--benchmark_repetitions=%d" % RUNS,
                              "--benchmark_min_time=0.3"],
                             check=True, capture_output=True, text=True, timeout=120).stdout
        times = {}
        for b in json.loads(out)["benchmarks"]:
            if b.get("run_type") == "iteration":
                kind = b["run_name"].split("/")[-1]
                times.setdefault(kind, []).append(b["real_time"])
        for kind in ("I", "Z", "S", "2", "s"):
            ns = times[kind]
            limited = kind in ("I", "Z", "S")
            rows.append(("3 decode+dispatch kind %s (ns)" % kind, spread(ns, "%.0f"),
                         "limit 1000", "%.2f" % (statistics.median(ns) / 1000),
                         "< 1000 ns" if limited else "-",
                         ("PASS" if statistics.median(ns) < 1000 else "FALL SHORT")
                         if limited else "-"))

    # 4: SOAP throughput --------------------------------------------------------------

    def wrk(self, port, threads, conns):
        out = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % conns,
                              "-d%ds" % WRK_SECONDS, "--latency", "-s",
                              os.path.join(HERE, "soap.lua"), "http://127.0.0.1:%d/" % port],
                             check=True, capture_output=True, text=True,
                             timeout=WRK_SECONDS + 60).stdout
        rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
        lat = {}
        for pct, value, unit in re.findall(r"^\s+(50|99)%\s+([\d.]+)(us|ms|s)\s*$", out, re.M):
            lat[pct] = float(value) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]
        bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
        errs = re.search(r"Socket errors: (.*)", out)
        if bad or errs:
            log("    wrk: %s %s" % (bad.group(0) if bad else "", errs.group(0) if errs else ""))
        return rps, lat["50"], lat["99"]

    def figure_soap(self):
        log("4. SOAP throughput (wrk, %d s each)" % WRK_SECONDS)
        servers = (("connector", self.connector), ("bare", self.bare), ("nginx", self.nginx))
        for threads, conns in ((1, 10), (2, 50)):
            res = {name: ([], [], []) for name, _ in servers}
            for i in range(SHORT_RUNS):
                dropped = []
                for name, starter in servers[i % 3:] + servers[:i % 3]:
                    p, port = starter()
                    try:
                        before = procs.listen_overflows()
                        for series, v in zip(res[name], self.wrk(port, threads, conns)):
                            series.append(v)
                        dropped.append("%s %d" % (name, procs.listen_overflows() - before))
                    finally:
                        procs.stop(p)
                log("  %dt/%dc run %d: %s; listen overflows: %s" % (
                    threads, conns, i + 1,
                    ", ".join("%s %.0f/s" % (n, res[n][0][-1]) for n, _ in servers),
                    ", ".join(dropped)))
            tag = "4 SOAP %dt/%dc" % (threads, conns)
            c, b, n = res["connector"], res["bare"], res["nginx"]
            mc = statistics.median(c[0])
            vs_bare, vs_nginx = (1.0, 0.6) if conns == 10 else (0.9, 0.5)
            row(tag + " req/s vs bare gSOAP", c[0], b[0], "%.0f", ">= %.2fx" % vs_bare,
                mc >= vs_bare * statistics.median(b[0]))
            row(tag + " req/s vs nginx", c[0], n[0], "%.0f", ">= %.2fx" % vs_nginx,
                mc >= vs_nginx * statistics.median(n[0]))
            row(tag + " p50 latency (ms) vs bare", c[1], b[1], "%.2f", "-", None)
            row(tag + " p99 latency (ms) vs bare", c[2], b[2], "%.2f", "-", None)
            row(tag + " p50/p99 nginx (ms)", n[1], n[2], "%.2f", "-", None, ratio="-")

    # 5, 6: long-poll fan-out and memory ----------------------------------------------

    def fanout(self, starter, n, op):
        p, port = starter()
        try:
            out = subprocess.run([self.bin("fanout"), str(port), str(p.pid), str(n), op,
                                  self.tmp], check=True, capture_output=True, text=True,
                                 timeout=120).stdout
        finally:
            procs.stop(p)
        v = [float(x) for x in re.search(r"rss_kb (\d+) (\d+) (\d+) wake_us (\d+)",
                                         out).groups()]
        return {"rss": v[0], "idle": (v[1] - v[0]) / n, "parked": (v[2] - v[0]) / n,
                "ms": v[3] / 1000}

    def figure_fanout(self):
        log("5. long-poll fan-out, 6. memory")
        servers = (("connector", self.connector), ("bare", self.bare))
        # One parked client on a quiet server: how soon after the record it has its answer.
        ms = {"connector": [], "bare": []}
        for i in range(QUIET_RUNS):
            for name, starter in servers[i % 2:] + servers[:i % 2]:
                ms[name].append(self.fanout(starter, 1, "scanned")["ms"])
        log("  get-lastScannedFile N=1: connector %s ms, bare %s ms" % (
            " ".join("%.2f" % v for v in ms["connector"]),
            " ".join("%.2f" % v for v in ms["bare"])))
        row("5 wake get-lastScannedFile N=1 (ms)", ms["connector"], ms["bare"], "%.2f",
            "p50 <= 1 ms", statistics.median(ms["connector"]) <= 1.0)
        big = {"connector": [], "bare": []}
        for op, label in (("scanned", "get-lastScannedFile"), ("blocked", "get-blockedFile2")):
            for n in FANOUT_N:
                ms = {"connector": [], "bare": []}
                for i in range(SHORT_RUNS):
                    for name, starter in servers[i % 2:] + servers[:i % 2]:
                        r = self.fanout(starter, n, op)
                        ms[name].append(r["ms"])
                        if n == max(FANOUT_N):
                            big[name].append(r)
                log("  %s N=%d: connector %s ms, bare %s ms" % (
                    label, n, " ".join("%.1f" % v for v in ms["connector"]),
                    " ".join("%.1f" % v for v in ms["bare"])))
                ratio = statistics.median(ms["connector"]) / statistics.median(ms["bare"])
                ok = ratio <= 1.0
                target = "<= 1.00x"
                if n == 1000:
                    ok = ok and statistics.median(ms["connector"]) <= 40
                    target += ", <= 40 ms"
                row("5 wake %s N=%d (ms)" % (label, n), ms["connector"], ms["bare"], "%.1f",
                    target, ok)
        n = max(FANOUT_N)
        c, b = big["connector"], big["bare"]
        row("6 RSS idle server (KiB)", [r["rss"] for r in c], [r["rss"] for r in b], "%.0f",
            "-", None)
        for key, label in (("idle", "idle connection"), ("parked", "parked long poll")):
            vc, vb = [r[key] for r in c], [r[key] for r in b]
            row("6 RSS per %s, N=%d (KiB)" % (label, n), vc, vb, "%.1f", "<= 1.05x",
                statistics.median(vc) <= 1.05 * statistics.median(vb))


    # 7: intake under GUI load -------------------------------------------------------

    def gui_load(self, transport, rate, clients):
        """One measurement: the rates, losses, answers and intake CPU of one daemon fed
        for GUI_SECONDS while clients poll get-lastScannedFile."""
        p, port = self.connector("--web", *(["-U"] if transport == "msgq" else []))
        try:
            out = subprocess.run([self.bin("gui-load"), str(port), str(p.pid), self.tmp,
                                  transport, str(rate), str(GUI_SECONDS), str(clients)],
                                 check=True, capture_output=True, text=True,
                                 timeout=GUI_SECONDS + 120).stdout.split()
            got = procs.settled_metrics(port, [RECEIVED % transport, BLOCKED])
        finally:
            procs.stop(p)
        f = dict(zip(out[0::2], out[1::2]))
        secs = float(f["secs"])
        received = got[RECEIVED % transport]
        return {"sent": int(f["sent"]) / secs, "received": received / secs,
                "lost": int(f["sent"]) - received, "missing": int(f["blocked"]) - got[BLOCKED],
                "answers": int(f["answers"]) / secs, "cpu": float(f["intake_cpu"]) / secs}

    def figure_gui(self):
        log("7. intake under GUI load (%g s each)" % GUI_SECONDS)
        cases = (("udp", 0, "UDP flat out", "received", 0.9),
                 ("udp", GUI_RATE, "UDP %d/s" % GUI_RATE, "received", None),
                 ("msgq", 0, "queue flat out", "sent", 0.8),
                 ("msgq", GUI_RATE, "queue %d/s" % GUI_RATE, "sent", None))
        for transport, rate, label, key, least in cases:
            res = {n: [] for n in GUI_CLIENTS}
            for i in range(GUI_RUNS):
                for n in GUI_CLIENTS[i % 3:] + GUI_CLIENTS[:i % 3]:
                    r = self.gui_load(transport, rate, n)
                    res[n].append(r)
                    log("  %s, %d pollers: sent %.0f/s, received %.0f/s, lost %d, blocked "
                        "missing %d, %.0f answers/s, intake thread %.0f%% of a core"
                        % (label, n, r["sent"], r["received"], r["lost"], r["missing"],
                           r["answers"], 100 * r["cpu"]))
            med = {n: {k: statistics.median(r[k] for r in res[n]) for k in res[n][0]}
                   for n in GUI_CLIENTS}
            for n in GUI_CLIENTS:
                m = med[n]
                gui_rows.append((label, str(n), "%.0f" % m["sent"], "%.0f" % m["received"],
                                 "%.2f" % (m[key] / med[0][key]), "%d" % m["lost"],
                                 "%d" % m["missing"], "%.0f" % m["answers"],
                                 "%.0f%%" % (100 * m["cpu"])))
            what = "received/s" if key == "received" else "sender rate"
            for n in GUI_CLIENTS[1:]:
                conn, base = [r[key] for r in res[n]], [r[key] for r in res[0]]
                target = least is not None and n == max(GUI_CLIENTS)
                row("7 %s %s, %d pollers" % (label, what, n), conn, base, "%.0f",
                    ">= %.2fx" % least if target else "-",
                    statistics.median(conn) >= least * statistics.median(base)
                    if target else None)
            if rate:
                n = max(GUI_CLIENTS)
                missing = [r["missing"] for r in res[n]]
                row("7 %s blocked files missing, %d pollers" % (label, n), missing,
                    [r["missing"] for r in res[0]], "%d", "0", max(missing) == 0, ratio="-")


def print_rows(head, body):
    widths = [max(len(str(r[i])) for r in body + [head]) for i in range(len(head))]
    print("| " + " | ".join("%-*s" % (w, h) for w, h in zip(widths, head)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in body:
        print("| " + " | ".join("%-*s" % (w, v) for w, v in zip(widths, r)) + " |")


def print_table():
    print_rows(("figure", "connector", "baseline", "ratio", "target", "result"), rows)
    if gui_rows:
        print()
        print("7. intake under GUI load, medians (\"vs none\": the rate that case is judged by,")
        print("   received for UDP, the sender's for the queue, against 0 pollers)")
        print_rows(("case", "pollers", "sent/s", "received/s", "vs none", "lost",
                    "blocked missing", "answers/s", "intake thread CPU"), gui_rows)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 65536), hard))
    started = time.monotonic()
    load_at_start = os.getloadavg()[0]
    bench = Bench(sys.argv[1])
    try:
        for name in FIGURES:
            getattr(bench, "figure_" + name)()
    finally:
        bench.close()
    print_table()
    print("%d runs per intake figure (%d paced), %d per SOAP and fan-out figure, wrk %d s "
          "per measurement, %d x %g s under GUI load, %.0f s in all; nproc %d; load average "
          "%.2f at the start, %.2f at the end"
          % (RUNS, PACED_RUNS, SHORT_RUNS, WRK_SECONDS, GUI_RUNS, GUI_SECONDS,
             time.monotonic() - started, os.cpu_count(), load_at_start, os.getloadavg()[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
