#!/usr/bin/env python3
"""End-to-end tests of the binary log records in a pcap log file: the built
daemon runs a few seconds with its log file ending in ".pcap", and tshark
(Debian package tshark) reads the file it leaves. The sandbox, the waits and
the stop come from zorv_e2e.py beside this file.

Usage: bsv_e2e.py <zorv binary> <case>
"""

import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zorv_e2e  # noqa: E402
from zorv_e2e import (Failure, PortTaken, check, check_eq, launch_on_free_port, port_taken,  # noqa: E402
                      stop_and_wait, wait_for)

CONSOLE_LINE = re.compile(r"^(?:\x1b\[[0-9;]*m)*\d\d:\d\d:\d\d \[\d+\] (.*)$")
COLOUR = re.compile(r"\x1b\[[0-9;]*m")


def parse_pcap(data):
    """(link type, [(sec, usec, record data)]) of a little-endian pcap of
    records; fails unless the file is whole records and nothing else."""
    check(len(data) >= 24, f"pcap of {len(data)} bytes has no header")
    magic, major, minor, zone, sigfigs, snaplen, link = struct.unpack_from("<IHHiIII", data, 0)
    check_eq((magic, major, minor, zone, sigfigs, snaplen), (0xA1B2C3D4, 2, 4, 0, 0, 65536), "pcap header")
    recs = []
    off = 24
    while off < len(data):
        check(off + 16 <= len(data), f"record header cut at {off}")
        sec, usec, caplen, origlen = struct.unpack_from("<IIII", data, off)
        check(caplen == origlen and off + 16 + caplen <= len(data), f"record at {off} runs past the file")
        recs.append((sec, usec, data[off + 16:off + 16 + caplen]))
        off += 16 + caplen
    return link, recs


def record_text(rec):
    """'func(): msg' of a "log" record without its first 12 bytes (pid, tid,
    level, then tag, thread name, file, line, function, message)."""
    strings = rec[9:].split(b"\0")
    check(len(strings) >= 7 and strings[6] == b"", f"record strings: {strings!r}")
    func, msg = strings[4].decode(), strings[5].decode()
    return f"{func}(): {msg}"


def tshark_lengths(path):
    """The captured length of every packet tshark reads; fails on any
    complaint of tshark."""
    p = subprocess.run(["tshark", "-r", path, "-T", "fields", "-e", "frame.cap_len"], capture_output=True,
                       text=True, timeout=60)
    # Its one remark when run as root is no complaint about the file.
    complaints = [x for x in p.stderr.splitlines() if x and not x.startswith("Running as user")]
    check(p.returncode == 0 and not complaints, f"tshark -r {path}: {p.returncode} {p.stderr!r}")
    return [int(x) for x in p.stdout.split()]


def reads_with_tshark(case):
    """Marks a case that reads its file back with tshark: skipped (77)
    without it."""
    case.reads_with_tshark = True
    return case


def read_to_start_up(p):
    """The daemon's standard error up to its start-up line, and whether that
    line came (not when the daemon ended first)."""
    lines = []
    end = time.monotonic() + zorv_e2e.RUN_TIMEOUT
    while time.monotonic() < end:
        line = p.stderr.readline()
        lines.append(line)
        if line == "" or "app_start_server(): ==>" in line:
            return "".join(lines), line != ""
    raise Failure("timed out waiting for the start-up line:\n" + "".join(lines))


def on_free_port(start, ini_text):
    """start(ini, port) with ini_text's one %d filled with port, a free port
    for the NBD server, through launch_on_free_port. start returns (started,
    its standard error)."""
    def attempt(port):
        started, err = start(ini_text % port, port)
        if not started and port_taken(err, [port]):
            raise PortTaken(err)
        return started, err

    return launch_on_free_port(attempt)


def run_a_while(box, ini_text, *args):
    """The daemon in the foreground, stopped once it serves (so once every
    listener before the NBD one has been started or refused); its standard
    error."""
    def start(ini, port):
        box.ini(ini)
        p = box.start("-l", "verb", *args)
        err, started = read_to_start_up(p)
        if not started:
            p.wait(zorv_e2e.RUN_TIMEOUT)
            return False, err
        wait_for(lambda: port in zorv_e2e.listening_ports(p.pid) or p.poll() is not None,
                 zorv_e2e.RUN_TIMEOUT, "the daemon to serve")
        if p.poll() is not None:
            return False, err + p.stderr.read()
        rc, _, _, rest = stop_and_wait(p)
        check_eq(rc, 0, "status after SIGTERM; its last words:\n" + (err + rest)[-3000:])
        return True, err + rest

    started, err = on_free_port(start, ini_text)
    check(started, "the daemon ended at start:\n" + err)
    return err


def read(path):
    with open(path, "rb") as f:
        return f.read()


@reads_with_tshark
def case_pcap_every_record(box):
    err = run_a_while(box, "[zorv]\nnbd_server_port=%d\n", "-o", "log.pcap")
    data = read(box.path("log.pcap"))
    link, recs = parse_pcap(data)
    check_eq(link, 147, "link type")
    check(len(recs) > 5, f"only {len(recs)} records")
    check_eq(tshark_lengths(box.path("log.pcap")), [len(r[2]) for r in recs], "tshark reads every record")
    # No text line in the file: every byte belongs to a record.
    check(re.search(rb"\d\d:\d\d:\d\d", data) is None or all(
        re.search(rb"\d\d:\d\d:\d\d \[\d+\]", r[2]) is None for r in recs), "a text line in the pcap")
    # Every message logged on the console once the file was open is a
    # record, in order; only those of the tags "bsv" (the record writer) and
    # "net" (the connection library) are not.
    texts = [record_text(r[2]).rstrip("\n").split("\n")[0] for r in recs]
    lines = []
    for raw in err.split("\n"):
        m = CONSOLE_LINE.match(raw)
        if m:
            lines.append(COLOUR.sub("", m.group(1)))
    check(texts[0] in lines, f"first record {texts[0]!r} not on the console")
    console = lines[lines.index(texts[0]):]
    kept = [x for x in console if x in texts]
    check_eq(kept, texts, "records in the order of the console lines")
    untagged = [x for x in console if x not in texts and not x.startswith(("sock_", "bsv_"))]
    check_eq(untagged, [], "console lines without a record")
    check(any(t.startswith("app_start_server(): ==>") for t in texts), "the start-up message is a record")
    check(any(t.startswith("stop_server ==>") or "stop_server ==>" in t for t in texts), "the stop message is a record")
    now = time.time()
    check(all(abs(r[0] - now) < 120 and r[1] < 1000000 for r in recs), "record times")


@reads_with_tshark
def case_pcap_append_and_cap(box):
    ini = "[zorv]\nnbd_server_port=%d\n[log]\nfile=log.pcap\nfile_mode=a\n"
    run_a_while(box, ini)
    first = read(box.path("log.pcap"))
    _, recs1 = parse_pcap(first)
    run_a_while(box, ini)
    second = read(box.path("log.pcap"))
    _, recs2 = parse_pcap(second)
    check(second.startswith(first), "the second run appends after the first run's records")
    check(len(recs2) > len(recs1), "the second run adds records")
    check_eq(len(tshark_lengths(box.path("log.pcap"))), len(recs2), "tshark reads both runs")

    # A cap far below what a run logs: the file stays below it, on records.
    run_a_while(box, ini + "file_size=4k\n")
    capped = read(box.path("log.pcap"))
    check(len(capped) < 4096, f"capped file of {len(capped)} bytes")
    _, recs3 = parse_pcap(capped)
    check_eq(tshark_lengths(box.path("log.pcap")), [len(r[2]) for r in recs3], "tshark reads the capped file")
    check(any("stop_server ==>" in record_text(r[2]) for r in recs3), "the newest records are kept")
    check(recs3[-1][:2] >= max(r[:2] for r in recs3), "the last record is the newest")
    check(not os.path.exists(box.path("log.pcap.cut")), "no cut file left")


@reads_with_tshark
def case_pcap_append_to_damaged(box):
    ini = "[zorv]\nnbd_server_port=%d\n[log]\nfile=log.pcap\nfile_mode=a\n"
    # Not a pcap at all: started anew, said on the console.
    box.write("log.pcap", "a text log line\n" * 10)
    err = run_a_while(box, ini)
    check("is not a pcap file of link type 147, starting it anew" in err, "foreign file reported")
    good = read(box.path("log.pcap"))
    _, recs = parse_pcap(good)
    # Cut in the middle of its last record: new records start where it began.
    with open(box.path("log.pcap"), "r+b") as f:
        f.truncate(len(good) - 5)
    err = run_a_while(box, ini)
    check("runs past the end" in err, "cut record reported")
    after = read(box.path("log.pcap"))
    _, recs2 = parse_pcap(after)
    check_eq([r[2] for r in recs2[:len(recs) - 1]], [r[2] for r in recs[:-1]], "whole records kept")
    check_eq(len(tshark_lengths(box.path("log.pcap"))), len(recs2), "tshark reads the mended file")


@reads_with_tshark
def case_pcap_daemon(box):
    """Detached with -d: the pcap file stays open across the forks, and the
    records logged after them carry the daemon's own process id."""
    def start(ini, _port):
        box.ini(ini)
        rc, _, err = box.run("-d", "-q", "-l", "verb", "-o", "log.pcap")
        return rc == 0, err

    started, err = on_free_port(start, "[zorv]\nnbd_server_port=%d\n")
    check(started, "-d status:\n" + err)

    def loop_record():
        try:
            _, recs = parse_pcap(read(box.path("log.pcap")))
        except (Failure, OSError):
            return None
        return next((r for r in recs if "run_as_daemon loop" in record_text(r[2])), None)

    loop = wait_for(loop_record, zorv_e2e.RUN_TIMEOUT, "the daemon's loop record")
    pid = struct.unpack_from("<I", loop[2], 0)[0]
    _, recs = parse_pcap(read(box.path("log.pcap")))
    check(struct.unpack_from("<I", recs[0][2], 0)[0] != pid, "the first records come from the process started")
    os.kill(pid, signal.SIGTERM)
    wait_for(lambda: not zorv_e2e.pid_alive(pid), zorv_e2e.STOP_BOUND, "the daemon to end")
    _, recs = parse_pcap(read(box.path("log.pcap")))
    check(any("stop_server ==>" in record_text(r[2]) and struct.unpack_from("<I", r[2], 0)[0] == pid for r in recs),
          "the daemon's stop is recorded with its id")
    check_eq(len(tshark_lengths(box.path("log.pcap"))), len(recs), "tshark reads the daemon's file")


def daemon_pid(box):
    """The process id of the detached daemon running this sandbox's binary,
    once the forks that lead to it have ended."""
    def find():
        alive = zorv_e2e.box_daemons(box)
        return alive[0] if len(alive) == 1 else None

    first = wait_for(find, zorv_e2e.RUN_TIMEOUT, "the detached daemon")
    time.sleep(0.3)
    return wait_for(lambda: find() == first and first, zorv_e2e.RUN_TIMEOUT, "the detached daemon to settle")


def case_log_file_modes(box):
    """Text and pcap logs with a 4 KiB cap (cut many times by a run at verb
    level), in the foreground under umask 0 and detached (the daemonizer
    sets umask 0): every file is 0644, never world-writable."""
    old = os.umask(0)
    try:
        for name in ("log.log", "log.pcap"):
            for detached in (False, True):
                what = f"{name} {'-d' if detached else 'foreground'}"

                def start(port):
                    if os.path.exists(box.path(name)):
                        os.unlink(box.path(name))
                    box.ini("[zorv]\nnbd_server_port=%d\n[log]\nfile=%s\nfile_size=4k\n" % (port, name))
                    if not detached:
                        return port, None, zorv_e2e.start_running(box, ports=[port])
                    rc, _, err = box.run("-d", "-q", "-l", "verb")
                    if rc != 0 and port_taken(err, [port]):
                        raise PortTaken(err)
                    check_eq(rc, 0, f"{what}: status")
                    return port, daemon_pid(box), None

                port, pid, p = launch_on_free_port(start)
                if not detached:
                    threading.Thread(target=lambda: [None for _ in p.stderr], daemon=True).start()
                wait_for(lambda: os.path.exists(box.path(name)), zorv_e2e.RUN_TIMEOUT, f"{what}: the file")
                check_eq(oct(os.stat(box.path(name)).st_mode & 0o777), "0o644", f"{what}: mode when created")
                # Each NBD connection logs a few lines: enough for many cuts.
                # The greeting is read before the close, so that the session
                # is under way when it ends.
                for _ in range(200):
                    try:
                        with socket.create_connection(("127.0.0.1", port), timeout=2) as c:
                            c.recv(18)
                    except OSError:
                        time.sleep(0.02)
                if detached:
                    os.kill(pid, signal.SIGTERM)
                    wait_for(lambda: not zorv_e2e.pid_alive(pid), zorv_e2e.STOP_BOUND, f"{what}: the stop")
                else:
                    stop_and_wait(p)
                data = read(box.path(name))
                check(len(data) < 4096 + 8192, f"{what}: {len(data)} bytes, past its cap")
                check(b"app_check_instance" not in data, f"{what}: the file was cut")
                check_eq(oct(os.stat(box.path(name)).st_mode & 0o777), "0o644", f"{what}: mode after cuts")
    finally:
        os.umask(old)


# The full-disk cases: the log directory is a small tmpfs in a mount
# namespace of the case's own, grown while the daemon runs.
NS_FLAG = "ZORV_E2E_IN_MOUNT_NS"
LOG_CAP = 3 * 1024 * 1024
FULL_FS = "2m"
GROWN_FS = "8m"


def in_mount_namespace():
    """None inside the namespace; outside, the status of this case run again
    inside one (77, with the reason, where the machine allows none)."""
    if os.environ.get(NS_FLAG) == "1":
        return None
    probe = subprocess.run(["unshare", "-rm", "true"], capture_output=True, text=True) \
        if shutil.which("unshare") else None
    if probe is None or probe.returncode != 0:
        print("no mount namespace for a small tmpfs here: %s" % (probe.stderr.strip() if probe else "no unshare"))
        return 77
    env = dict(os.environ, **{NS_FLAG: "1"})
    return subprocess.run(["unshare", "-rm", sys.executable, os.path.abspath(__file__), *sys.argv[1:]],
                          env=env).returncode


def nbd_load(port, export, seconds, sessions=4):
    """sessions clients writing 4 KiB blocks for seconds (each write is a
    verb line); (requests a second, longest request in ms)."""
    import nbd  # python3-libnbd, as in nbd_e2e.py
    import threading
    counts, longest, errors = [0] * sessions, [0.0] * sessions, []

    def one(i):
        try:
            h = nbd.NBD()
            h.set_export_name(export)
            h.connect_tcp("127.0.0.1", str(port))
            block = bytes(4096)
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                t0 = time.monotonic()
                h.pwrite(block, (counts[i] % 1024) * 4096)
                longest[i] = max(longest[i], time.monotonic() - t0)
                counts[i] += 1
            h.shutdown()
        except nbd.Error as e:
            errors.append(str(e))

    threads = [threading.Thread(target=one, args=(i,)) for i in range(sessions)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    check(not errors, f"NBD sessions failed: {errors[:2]}")
    return sum(counts) / seconds, max(longest) * 1000


def whole_text_lines(data):
    """The lines of a text log; fails unless each is one whole log line."""
    line = re.compile(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} [A-Z]+ +\d+ --- \[[^\]]*\] \S+ [^\n]*")
    lines = data.split(b"\n")
    check(lines[-1] == b"", "the text log ends with a whole line")
    bad = [x for x in lines[:-1] if not line.fullmatch(x)]
    check(not bad, f"torn or glued lines: {bad[:2]!r}")
    return lines[:-1]


def full_disk(box, name, bound):
    """A log file on a 2 MiB tmpfs under NBD writes at verb level until the
    disk is full, then the tmpfs grown to 8 MiB while the writes go on: the
    file reads back whole at every step, stays within its 3 MiB cap plus one
    line or record, and the NBD writes go back to their pace."""
    logs = box.path("logs")
    os.mkdir(logs)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + FULL_FS, "zorv_full", logs],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        print("no tmpfs here: " + mounted.stderr.strip())
        raise SystemExit(77)
    try:
        full_disk_run(box, name, bound, logs)
    finally:
        subprocess.run(["umount", "-l", logs], capture_output=True)


def full_disk_run(box, name, bound, logs):
    image = box.path("disk.img")
    with open(image, "wb") as f:
        f.truncate(16 << 20)
    def start(port):
        box.ini("[zorv]\nnbd_server_port=%d\nnbd_readonly=false\n[log]\nfile_dir=%s\nfile=%s\nfile_size=3M\n"
                % (port, logs, name))
        return port, zorv_e2e.start_running(box, ports=[port])

    port, p = launch_on_free_port(start)
    import threading
    threading.Thread(target=lambda: [None for _ in p.stderr], daemon=True).start()
    path = os.path.join(logs, name)

    def read_whole():
        data = read(path)
        check(len(data) <= LOG_CAP + bound, f"{name} of {len(data)} bytes passed its cap")
        if name.endswith(".pcap"):
            parse_pcap(data)
        else:
            whole_text_lines(data)
        return data

    base, _ = nbd_load(port, image, 1.5)
    end = time.monotonic() + 60
    while os.statvfs(logs).f_bavail * os.statvfs(logs).f_frsize > 64 * 1024 and time.monotonic() < end:
        nbd_load(port, image, 1.0)
        read_whole()
    check(os.statvfs(logs).f_bavail * os.statvfs(logs).f_frsize <= 64 * 1024, "the log filled the tmpfs")
    full, full_ms = nbd_load(port, image, 2.0)
    read_whole()
    subprocess.run(["mount", "-o", "remount,size=" + GROWN_FS, logs], check=True)
    if not name.endswith(".pcap"):
        # Light writes, so that the file is not cut before it is read: the
        # sink writes again after its rest and first says what it lost.
        def told():
            nbd_load(port, image, 0.1, sessions=1)
            return b" log lines were lost: the log file could not be written" in read_whole()
        wait_for(told, 10, "the text log to say how many lines it lost")
    largest, cut = 0, False
    end = time.monotonic() + 90
    while not cut and time.monotonic() < end:
        nbd_load(port, image, 1.0)
        size = len(read_whole())
        cut = size < largest
        largest = max(largest, size)
    check(cut, f"{name} was cut at its cap (largest {largest} bytes)")
    after, after_ms = nbd_load(port, image, 2.0)
    rc, _, _, _ = stop_and_wait(p)
    check_eq(rc, 0, "status after SIGTERM")
    data = read_whole()
    if name.endswith(".pcap"):
        _, recs = parse_pcap(data)
        check_eq(len(tshark_lengths(path)), len(recs), "tshark reads the file whole")
    print(f"{name}: writes/s {base:.0f} before, {full:.0f} on the full disk (longest {full_ms:.0f} ms), "
          f"{after:.0f} after the growth (longest {after_ms:.0f} ms); largest file {largest} bytes")
    # Generous: the old sink fell to a 270th after the disk had been full once.
    check(after >= base / 10, f"NBD writes after the disk had room again: {after:.0f}/s against {base:.0f}/s")


def case_config_warnings_reach_the_log(box):
    """A warning from reading the configuration comes before the log file
    opens: the file, text or pcap, still gets it, once, as the console did."""
    for name in ("w.log", "w.pcap"):
        err = run_a_while(box, "[zorv]\nnbd_server_port=%d\nnbd_readonly=maybe\n[log]\nfile=" + name + "\n")
        check("nbd_readonly=maybe" in err, "the warning on the console")
        data = read(box.path(name))
        if name.endswith(".pcap"):
            recs = parse_pcap(data)[1]
            if shutil.which("tshark") is not None:
                check_eq(len(tshark_lengths(box.path(name))), len(recs), "tshark reads the file whole")
            text = "".join(record_text(r[2]) for r in recs)
        else:
            text = data.decode(errors="replace")
        check_eq(text.count("error: nbd_readonly=maybe"), 1, f"the warning in {name}:\n" + text[:2000])


# Each row: the lines put into the [log] section and into the [zorv]
# section, the text that must be said once in every sink, its syslog
# severity (4 warn, 3 err) and a text that must be said nowhere (the second
# reason a refusal used to be followed by).
CONFIG_REFUSALS = [
    ("syntax error", "", "this is no key\n", "line 7: this is no key refused: no \"=\" after the key", 4, None),
    ("NUL byte", "", "nbd_readonly=tr\0ue\n", "line 7: nbd_readonly=tr\\x00ue refused: a NUL byte in the line", 4,
     None),
    ("level verbose", "level=verbose\n", "", "config [log] level=verbose refused: not a log level", 4,
     "invalid level"),
    ("unclosed section", "", "[debug\nshell_server_port=1\n",
     "line 7: [debug refused: section not closed with \"]\"; the keys after it stay in [zorv]", 4, None),
    ("key without =", "", "nbd_readonly true\n", "line 7: nbd_readonly true refused: no \"=\" after the key", 4, None),
    ("overflowing port", "", "[debug]\nshell_server_port=4294991297\n",
     "config [debug] shell_server_port=4294991297 refused: not a port (1-65535, 0: off); the debug shell stays off",
     4, "overflow ["),
    ("only one credential", "", "[debug]\nhttp_server_port=%(http)d\nhttp_server_user=u\n",
     "debug web tool not started: only the user is set, a login needs both a user and a password", 3,
     "cannot be opened"),
]


@reads_with_tshark
def case_config_refusals_in_every_sink(box):
    """Every refused line or setting of the configuration file is said once
    in each sink (standard error, the text log, the pcap log, a syslog peer),
    at its level, naming the line as written; nothing else claims a reason."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as peer, zorv_e2e.held_port() as dead:
        peer.bind(("127.0.0.1", 0))
        peer.settimeout(0.5)
        url = "udp://127.0.0.1:%d" % peer.getsockname()[1]
        for what, log_lines, zorv_lines, said, severity, never in CONFIG_REFUSALS:
            zorv_lines = zorv_lines % {"http": dead.getsockname()[1]}
            for name in ("r.log", "r.pcap"):
                if os.path.exists(box.path(name)):
                    os.unlink(box.path(name))
                # Lines 1-6 hold the log section and the port: the row's own lines start at line 7.
                head = "[log]\nfile=%s\n%s" % (name, log_lines or "; no log key\n")
                ini = head.replace("%", "%%") + "\n[zorv]\nnbd_server_port=%d\n" + zorv_lines.replace("%", "%%")
                while True:
                    try:
                        peer.recv(65536)
                    except socket.timeout:
                        break
                err = run_a_while(box, ini, "-n", url)
                packets = []
                while True:
                    try:
                        packets.append(peer.recv(65536).decode(errors="replace"))
                    except socket.timeout:
                        break
                data = read(box.path(name))
                if name.endswith(".pcap"):
                    recs = parse_pcap(data)[1]
                    check_eq(len(tshark_lengths(box.path(name))), len(recs), f"{what}: tshark reads the file whole")
                    texts = [record_text(r[2]) for r in recs if said in record_text(r[2])]
                    check(all(r[2][8] == severity for r in recs if said in record_text(r[2])),
                          f"{what}: record level")
                    logged = "".join(record_text(r[2]) for r in recs)
                else:
                    logged = data.decode(errors="replace")
                    texts = [x for x in logged.split("\n") if said in x]
                    level = {4: "WARN", 3: "ERROR"}[severity]
                    check(all(re.match(r"\S+ \S+ %s " % level, x) for x in texts), f"{what}: level in {name}: {texts!r}")
                check_eq(len(texts), 1, f"{what}: said once in {name}:\n" + logged[:3000])
                check_eq(err.count(said), 1, f"{what}: said once on standard error:\n" + err[:3000])
                heard = [x for x in packets if said in x]
                check_eq(len(heard), 1, f"{what}: said once to the syslog peer: {packets[:20]!r}")
                check(heard[0].startswith("<%d>" % (8 + severity)), f"{what}: syslog severity: {heard[0]!r}")
                if never is not None:
                    for where, text in (("standard error", err), (name, logged), ("syslog", "".join(packets))):
                        check(never not in text, f"{what}: {never!r} in {where}")


@reads_with_tshark
def case_full_disk_pcap(box):
    full_disk(box, "zorv.pcap", 16 + 65536)


def case_full_disk_text(box):
    full_disk(box, "zorv.log", 8192 + 256)


def main():
    case = globals().get("case_" + sys.argv[2]) if len(sys.argv) == 3 else None
    if getattr(case, "reads_with_tshark", False) and shutil.which("tshark") is None:
        print("tshark is not installed (Debian package tshark)")
        return 77
    if len(sys.argv) == 3 and sys.argv[2].startswith("full_disk_"):
        rc = in_mount_namespace()
        if rc is not None:
            return rc
    # The harness of zorv_e2e.py runs the cases of this file.
    zorv_e2e.CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}
    return zorv_e2e.main()


if __name__ == "__main__":
    sys.exit(main())
