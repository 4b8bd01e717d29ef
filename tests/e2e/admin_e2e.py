#!/usr/bin/env python3
"""End-to-end tests of "source" and the replies of the admin surfaces against
the built daemon (its web tool and TCP debug shell on free loopback ports):
what "source" refuses and how it stops, with the daemon's memory and CPU
watched; nested output reaching a TCP session, -e and "/cmd" whole; a stop
while sessions run a long "source". Every wait is bounded.

Usage: admin_e2e.py <zorv binary> <case>
"""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
import urllib.parse

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zorv_e2e import NESTING_CASES, Failure, check, check_eq, nesting_files, wait_for  # noqa: E402
from web_e2e import Daemon, body_of  # noqa: E402

STOP_BOUND = 3.0  # seconds a stop may take, whatever the sessions run
RSS_GROWTH_MAX = 64 << 20  # a line held whole would add its 256 MiB


def peak_rss(pid):
    """The most memory the process has held resident: a line held whole and
    freed again still shows here."""
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1)) * 1024


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_at_rest(pid, what):
    """The daemon uses under a tenth of a core over one second, within 5 s."""
    end = time.monotonic() + 5
    while True:
        before = cpu_seconds(pid)
        time.sleep(1)
        used = cpu_seconds(pid) - before
        if used < 0.1:
            return
        check(time.monotonic() < end, f"{what}: the daemon still busy ({used:.2f} s of CPU per second)")


class Shell:
    """A TCP session of the debug shell: lines in, NUL-ended replies out."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.data = b""

    def send(self, line):
        self.sock.sendall(line.encode() + b"\n")

    def reply(self):
        """The next reply without its NUL (CR LF as LF)."""
        while b"\0" not in self.data:
            chunk = self.sock.recv(65536)
            check(chunk, "the shell closed mid-reply")
            self.data += chunk
        text, self.data = self.data.split(b"\0", 1)
        return text.decode(errors="replace").replace("\r\n", "\n")

    def close(self):
        self.sock.close()


def run_e(d, command, timeout=60):
    """zorv -e command against the daemon: (status, stdout, stderr)."""
    p = subprocess.run([d.exe, "-e", command], cwd=d.dir, env=d.env, capture_output=True, text=True,
                       timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def cmd(d, command):
    q = urllib.parse.urlencode({"token": d.token, "command": command})
    with socket.create_connection(("127.0.0.1", d.web_port), timeout=60) as s:
        s.sendall(f"GET /cmd?{q} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        got = b""
        while True:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            got += chunk
    return json.loads(body_of(got))[0]["resp"]


def start(binary):
    d = Daemon(binary, shell=True)
    # A sanitizer's quarantine keeps up to 256 MiB of freed memory resident:
    # a small one lets the RSS show what the daemon holds.
    d.env["ASAN_OPTIONS"] += ":quarantine_size_mb=8"
    d.start()
    return d


def case_source_bounds(d):
    # What is no script is refused with its reason through every way in, a
    # line of 256 MiB is refused without being held (RSS), a fan-out stops
    # when its client leaves (CPU back to rest), and the daemon serves on.
    fifo = os.path.join(d.dir, "fifo")
    os.mkfifo(fifo)
    sub = os.path.join(d.dir, "sub")
    os.mkdir(sub)
    long_line = os.path.join(d.dir, "long.sh")
    with open(long_line, "w") as f:
        f.write("echo before\n")
        f.truncate(12 + (256 << 20))  # one line of NUL bytes, without its end
    fan = os.path.join(d.dir, "fan.sh")
    with open(fan, "w") as f:
        f.write("".join(f"source {fan}\n" for _ in range(4)))
    shell = Shell(d.shell_port)
    refusals = [(p, f"open:[{p}] error:not a regular file\n") for p in ("/dev/zero", fifo, sub)]
    base = peak_rss(d.proc.pid)
    for path, want in refusals:
        shell.send(f"source {path}")
        check_eq(shell.reply(), want, f"TCP: source {path}")
        check_eq(cmd(d, f"source {path}"), want, f"/cmd: source {path}")
        rc, out, _ = run_e(d, f"source {path}")
        check_eq((rc, out), (0, want), f"-e: source {path}")
    shell.send(f"source {long_line}")
    check_eq(shell.reply(), f"before\nerror: command line too long ({256 << 20} bytes, at most 4095)\n",
             "TCP: a line of 256 MiB")
    check(cmd(d, f"source {long_line}").endswith("at most 4095)\n"), "/cmd: a line of 256 MiB")
    grown = peak_rss(d.proc.pid) - base
    check(grown < RSS_GROWTH_MAX, f"peak RSS grew by {grown >> 20} MiB reading refused lines")

    # The fan-out through /cmd is cut at the capture's bound and stops.
    out = cmd(d, f"source {fan}")
    check(out.endswith("\nerror: output cut at 1048576 bytes\n"), f"/cmd fan-out: ...{out[-200:]!r}")
    # Over TCP it streams to a client that reads a little, then leaves.
    fan_client = Shell(d.shell_port)
    fan_client.send(f"source {fan}")
    check(b"nested deeper than 16" in fan_client.sock.recv(4096), "TCP fan-out output")
    fan_client.close()
    cpu_at_rest(d.proc.pid, "TCP fan-out after its client left")
    # -e leaves too (here killed), and the work ends with it.
    e = subprocess.Popen([d.exe, "-e", f"source {fan}"], cwd=d.dir, env=d.env, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    e.stdout.read(4096)
    e.kill()
    e.wait(10)
    cpu_at_rest(d.proc.pid, "-e fan-out after the client left")
    grown = peak_rss(d.proc.pid) - base
    check(grown < RSS_GROWTH_MAX, f"peak RSS grew by {grown >> 20} MiB over the fan-outs")

    shell.send("echo served")
    check_eq(shell.reply(), "served\n", "the TCP session after all")
    check_eq(cmd(d, "echo served"), "served\n", "/cmd after all")
    shell.close()


def case_replies_whole(d):
    # A chain of 3 files and one 17 deep, each file echoing its level: every
    # level once and in order, then the refusal, in one reply, through TCP
    # (one NUL), -e (what follows a "source" still runs) and "/cmd".
    shell = Shell(d.shell_port)
    for files, levels, refused in [(3, 3, False)] + [c for c in NESTING_CASES if c[0] == 17]:
        first, refused_file = nesting_files(d.dir, files)
        want = "".join(f"level {k}\n" for k in range(1, levels + 1))
        if refused:
            want += f"source: [{refused_file}] nested deeper than 16, not run\n"
        shell.send(f"source {first}")
        shell.send("echo after")
        check_eq(shell.reply(), want, f"TCP, {files} files")
        check_eq(shell.reply(), "after\n", f"TCP, the reply after {files} files")
        rc, out, err = run_e(d, f"source {first};echo after")
        check_eq((rc, out), (0, want + "after\n"), f"-e, {files} files; stderr {err!r}")
        check_eq(cmd(d, f"source {first}"), want, f"/cmd, {files} files")
    shell.close()


def case_stop_in_source(d):
    # Three TCP sessions and two web requests inside a long "source" (a file
    # of 2,000 assignments that sources itself twice runs for hours): SIGTERM
    # ends the daemon with status 0 within the stop's bound.
    fan = os.path.join(d.dir, "long.sh")
    with open(fan, "w") as f:
        f.write("X=1\n" * 2000 + f"source {fan}\nsource {fan}\n")
    sessions = [Shell(d.shell_port) for _ in range(3)]
    for s in sessions:
        s.send(f"source {fan}")
    web = []
    q = urllib.parse.urlencode({"token": d.token, "command": f"source {fan}"})
    for _ in range(2):
        s = socket.create_connection(("127.0.0.1", d.web_port), timeout=30)
        s.sendall(f"GET /cmd?{q} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        web.append(s)
    time.sleep(1)
    check(d.proc.poll() is None, "the daemon runs the sources")
    t0 = time.monotonic()
    d.proc.send_signal(signal.SIGTERM)
    try:
        rc = d.proc.wait(10)
    except subprocess.TimeoutExpired:
        raise Failure("SIGTERM did not end the daemon within 10 s")
    took = time.monotonic() - t0
    for s in sessions:
        s.close()
    for s in web:
        s.close()
    check_eq(rc, 0, "status after SIGTERM")
    check(took < STOP_BOUND, f"the stop took {took:.2f} s")
    print(f"stop with 3 TCP and 2 web sessions inside a source: {took:.2f} s")


CASES = {"source_bounds": case_source_bounds, "replies_whole": case_replies_whole,
         "stop_in_source": case_stop_in_source}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        sys.stderr.write(f"usage: {sys.argv[0]} <zorv> <{'|'.join(CASES)}>\n")
        return 2
    d = start(sys.argv[1])
    try:
        CASES[sys.argv[2]](d)
        # Every case ends with the daemon stopping cleanly (or has stopped it),
        # and without a sanitizer's report.
        check_eq(d.stop(), 0, "status after SIGTERM")
        with open(os.path.join(d.dir, "err.log"), errors="replace") as f:
            err = f.read()
        check("Sanitizer" not in err and "runtime error" not in err, "a sanitizer report:\n" + err[-4000:])
    except (Failure, subprocess.TimeoutExpired, OSError) as e:
        sys.stderr.write(f"FAILED {sys.argv[2]}: {e}\n")
        return 1
    finally:
        d.close()
    print(f"ok {sys.argv[2]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
