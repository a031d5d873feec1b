"""Process plumbing for the benchmark driver: start the servers and tools, end them by
their own process id, find free loopback ports, read the daemon's statistics, and find
a status-channel queue left under a directory's key."""

import ctypes
import http.client
import os
import re
import signal
import socket
import subprocess
import time

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1
_started = []


def _die_with_parent():
    # A child outlives a killed driver otherwise.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def start(args, **kw):
    """Starts args; the process is remembered so that stop_all can end it."""
    p = subprocess.Popen(args, preexec_fn=_die_with_parent, **kw)
    _started.append(p)
    return p


def stop(p, timeout=10.0):
    """Ends p by its id: SIGTERM, then SIGKILL after timeout seconds. Returns its status."""
    if p.poll() is None:
        os.kill(p.pid, signal.SIGTERM)
        try:
            p.wait(timeout)
        except subprocess.TimeoutExpired:
            os.kill(p.pid, signal.SIGKILL)
            p.wait()
    if p in _started:
        _started.remove(p)
    return p.returncode


def stop_all():
    for p in list(_started):
        stop(p)


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if proc.poll() is not None:
            raise RuntimeError("%s exited with %s" % (proc.args[0], proc.returncode))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                pass
        except OSError:
            time.sleep(0.02)
            continue
        # The probe's own connection thread must be gone before fanout counts threads.
        settle_threads(proc.pid)
        return
    raise RuntimeError("%s does not listen on %d" % (proc.args[0], port))


def thread_count(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return 0


def settle_threads(pid, timeout=5.0):
    """Waits until pid's thread count has not changed for 100 ms."""
    end = time.monotonic() + timeout
    last, since = thread_count(pid), time.monotonic()
    while time.monotonic() < end:
        time.sleep(0.01)
        n = thread_count(pid)
        if n != last:
            last, since = n, time.monotonic()
        elif time.monotonic() - since >= 0.1:
            return


ENVELOPE = ('<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"'
            ' xmlns:sntr="urn:sntr:gui-connector"><SOAP-ENV:Body>%s'
            '</SOAP-ENV:Body></SOAP-ENV:Envelope>')


def post(port, call):
    """The reply body to a request whose SOAP body holds call."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        c.request("POST", "/", ENVELOPE % call, {"Content-Type": "text/xml; charset=utf-8"})
        return c.getresponse().read().decode()
    finally:
        c.close()


def scanned_files(port):
    """scannedFiles as the daemon answers get-currentStats."""
    body = post(port, "<sntr:get-currentStats/>")
    m = re.search(r"<scannedFiles>(\d+)</scannedFiles>", body)
    if not m:
        raise RuntimeError("no scannedFiles in %r" % body[:200])
    return int(m.group(1))


def settled_scanned_files(port, timeout=30.0):
    """scannedFiles once two reads 100 ms apart agree: the intake has drained."""
    last = -1
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = scanned_files(port)
        if v == last:
            return v
        last = v
        time.sleep(0.1)
    return last


def metrics(port):
    """The samples of the daemon's metrics page (--web) as a dict, name with labels to
    number."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        c.request("GET", "/metrics")
        text = c.getresponse().read().decode()
    finally:
        c.close()
    out = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            out[name] = float(value)
    return out


def settled_metrics(port, names, timeout=30.0):
    """The samples names once two reads 100 ms apart agree on them: the intake has
    drained."""
    last = None
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        m = metrics(port)
        now = tuple(m.get(n, 0) for n in names)
        if now == last:
            return dict(zip(names, now))
        last = now
        time.sleep(0.1)
    return dict(zip(names, last))


def channel_key(directory, proj=ord("R")):
    """The ftok key of directory as glibc makes it; the channel's project id is the
    product code "SNTR", of which ftok keeps the low byte."""
    st = os.stat(directory)
    return ((st.st_ino & 0xFFFF) | ((st.st_dev & 0xFF) << 16) | ((proj & 0xFF) << 24))


def queue_ids(key):
    """Ids of the message queues under key (normally none or one)."""
    ids = []
    with open("/proc/sysvipc/msg") as f:
        next(f)
        for line in f:
            fields = line.split()
            if int(fields[0]) == key:
                ids.append(int(fields[1]))
    return ids


def remove_queues(key):
    """Removes the queues under key; returns how many there were."""
    ids = queue_ids(key)
    for qid in ids:
        subprocess.run(["ipcrm", "-q", str(qid)], check=False)
    return len(ids)


def cpu_seconds(pid):
    """User plus system CPU time pid has used so far, all its threads together."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def listen_overflows():
    """The kernel's count of connections dropped because a listen backlog was full
    (machine-wide: TcpExt ListenOverflows)."""
    with open("/proc/net/netstat") as f:
        lines = [l.split() for l in f if l.startswith("TcpExt:")]
    return int(dict(zip(lines[0][1:], lines[1][1:]))["ListenOverflows"])
