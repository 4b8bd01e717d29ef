#!/usr/bin/env python3
"""End-to-end tests of the zorv binary: each case copies the built daemon into
a fresh temporary directory (the daemon reads zorv.ini beside itself), runs it
on free loopback ports and checks its output, exit status, files and network
traffic. Every wait is bounded; a case that would hang fails instead.

Usage: zorv_e2e.py <zorv binary> <case>
"""

import fcntl
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time

BANNER = "zorv-linux-x86_64 v1.2.3.0 (2025-2-14) - QALDO Network Block Device Service\n"
USAGE = (
    "Usage: zorv [opt] [arguments] ...\n"
    "\t-c [config_file]  set config file\n"
    "\t-p dump current config\n"
    "\t-s [list|key=val] Set configuration options\n"
    "\t-e [\"cmd;...\"] execute string 'cmd'\n"
    "\t-v show version\n"
    "\t-q Do not display the startup banner and copyright message\n"
    "\t-d Run as a daemon\n"
    "\t-o [log_file]     set output log file\n"
    "\t-l [log_level]    set log level: verb, dbg, info, warn, err\n"
    "\t-h display this help\n"
)
LOG_SETTINGS = (
    "log_level=info\n"
    "log_shell_enale_out=1\n"
    "log_file_enale_out=0\n"
    "log_file_name=''\n"
    "log_file_max_size=2097152\n"
    "log_syslog_enale_out=0\n"
    "log_syslog_url=''\n"
    "log_bsvlog_url=''\n"
)
RUN_TIMEOUT = 20  # seconds for a command that should end by itself
STOP_BOUND = 3.0  # seconds a stop, by signal or from the console, may take
READ_SYSCALL = 0  # read(2) on x86_64, the machine the banner names


class Failure(Exception):
    pass


class Skipped(Exception):
    """Raised by a case that cannot show what it tests here, with the reason:
    the case is reported skipped (status 77)."""


def check(cond, what):
    if not cond:
        raise Failure(what)


def check_eq(got, want, what):
    if got != want:
        raise Failure(f"{what}:\n--- got ---\n{got!r}\n--- want ---\n{want!r}")


PORT_ATTEMPTS = 5


class PortTaken(Exception):
    """Raised by a start that launch_on_free_port runs: one of its ports was
    taken by another process."""


def port_taken(text, ports):
    """True when text, what the daemon said, tells that one of ports (picked
    for it) was taken by another process between the pick and its bind: its
    instance check found the NBD port answering (on whatever address it
    asked), or the listener started on that port could not bind it. A
    listener the case keeps off a port of its own on purpose names that
    port, and is no reason to start again."""
    return any(re.search(rf"Can only run one instance: \S+:{port} already answers", text)
               or re.search(rf"listener \[[^]]*\]:{port} cannot be opened: Address already in use", text)
               for port in ports)


def launch_on_free_port(start, count=1):
    """start(*ports) with count loopback TCP ports that were free when
    picked; while another process takes one before the daemon binds it
    (start raises PortTaken), again on new ones. What start returns. Every
    start of the daemon on a picked port goes through here: a port released
    is anybody's."""
    for _ in range(PORT_ATTEMPTS):
        held = [socket.socket() for _ in range(count)]
        try:
            for s in held:
                s.bind(("127.0.0.1", 0))
            ports = [s.getsockname()[1] for s in held]
        finally:
            for s in held:
                s.close()
        try:
            return start(*ports)
        except PortTaken:
            continue
    raise Failure(f"every port picked was taken ({PORT_ATTEMPTS} attempts)")


def held_port():
    """A loopback TCP socket bound and not listening: its port refuses every
    connection, and no other process can take it while it is open."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    return s


def listening_ports(pid):
    """The TCP ports on which process pid holds a listening socket."""
    inodes = set()
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return set()
    for fd in fds:
        try:
            link = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(link[len("socket:["):-1])
    return {port for _, port, inode in tcp_listening_sockets() if inode in inodes}


def wait_serving(proc, ports, output):
    """Until process proc listens on every TCP port of ports. When it does
    not, it is killed, then PortTaken is raised if output() (what it said)
    tells that a port was taken, Failure otherwise."""
    def ready():
        return set(ports) <= listening_ports(proc.pid) or proc.poll() is not None or port_taken(output(), ports)

    try:
        wait_for(ready, RUN_TIMEOUT, f"the daemon to listen on {ports}")
    except Failure:
        pass
    if set(ports) <= listening_ports(proc.pid):
        return
    if proc.poll() is None:
        proc.kill()
        proc.wait(5)
    text = output()
    if port_taken(text, ports):
        raise PortTaken(text)
    raise Failure(f"the daemon did not listen on {ports}:\n{text}")


# Every temporary directory of the cases (and of the scripts that import this
# one) is made under the build tree's own, when it names one.
if os.environ.get("TEST_TMPDIR"):
    os.makedirs(os.environ["TEST_TMPDIR"], exist_ok=True)
    tempfile.tempdir = os.environ["TEST_TMPDIR"]


class Sandbox:
    """A temporary directory holding a copy of the daemon."""

    def __init__(self, binary):
        self.dir = tempfile.mkdtemp(prefix="zorv_e2e_")
        self.exe = os.path.join(self.dir, "zorv")
        shutil.copy2(binary, self.exe)
        self.procs = []
        self.env = dict(os.environ)
        self.env.pop("QD_ENV_LOG_LEVEL", None)
        self.env.pop("QDDBGLOG", None)
        # Leak reports of a process killed mid-run are noise here.
        self.env["ASAN_OPTIONS"] = self.env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def ini(self, text):
        self.write("zorv.ini", text)

    def run(self, *args, env=None):
        """Runs to its end; (status, stdout, stderr)."""
        p = subprocess.run([self.exe, *args], cwd=self.dir, env=env or self.env, capture_output=True,
                           text=True, timeout=RUN_TIMEOUT)
        return p.returncode, p.stdout, p.stderr

    def start(self, *args, env=None, cwd=None):
        p = subprocess.Popen([self.exe, *args], cwd=cwd or self.dir, env=env or self.env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.procs.append(p)
        return p

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait(5)
        shutil.rmtree(self.dir, ignore_errors=True)


def wait_for(pred, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = pred()
        if value:
            return value
        time.sleep(0.05)
    raise Failure(f"timed out waiting for {what}")


def read_file(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def read_rest(stream, into):
    """Appends what is left of stream, up to its end, to into."""
    if stream is not None:
        into.append(stream.read())


def stop_and_wait(p, signo=signal.SIGTERM):
    """Sends signo; the status, the seconds it took to end, and the rest of
    its standard output and error. The rest is read through the streams'
    own objects, not their descriptors (as communicate does), so lines a
    caller's readline has already buffered are kept."""
    start = time.monotonic()
    p.send_signal(signo)
    rest = {"out": [], "err": []}
    readers = [threading.Thread(target=read_rest, args=(stream, rest[name]), daemon=True)
               for name, stream in (("out", p.stdout), ("err", p.stderr))]
    for r in readers:
        r.start()
    try:
        p.wait(timeout=10)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        for r in readers:
            r.join(5)
        raise Failure(f"signal {signo} did not end the daemon; stderr:\n{''.join(rest['err'])}")
    for r in readers:
        r.join(10)
    return p.returncode, time.monotonic() - start, "".join(rest["out"]), "".join(rest["err"])


def start_running(box, *args, ports=(), cwd=None):
    """Starts the daemon in the foreground with verb logging and returns once
    it has reached its main loop and listens on every port of ports (see
    wait_serving)."""
    p = box.start("-l", "verb", *args, cwd=cwd)
    lines = []

    def said():
        if p.poll() is not None:
            lines.append(p.stderr.read())
        return "".join(lines)

    def reached():
        line = p.stderr.readline()
        if line == "" and p.poll() is not None:
            if port_taken(said(), ports):
                raise PortTaken(said())
            raise Failure("daemon ended at start:\n" + said())
        lines.append(line)
        return "app_start_server(): ==>" in line

    wait_for(reached, RUN_TIMEOUT, "the main loop")
    wait_serving(p, ports, said)
    p.start_text = "".join(lines)  # what it said up to its main loop
    return p


def running_on_free_port(box, *args, cwd=None):
    """start_running on a free NBD port (its port attribute), through
    launch_on_free_port."""
    def start(port):
        p = start_running(box, "-s", f"nbd_server_port={port}", *args, ports=[port], cwd=cwd)
        p.port = port
        return p

    return launch_on_free_port(start)


def detach_on_free_port(box, *args, env=None):
    """box.run("-d", *args) on a free NBD port, through launch_on_free_port:
    (status, stdout, stderr, port). The parent of -d ends once the daemon
    serves, or with the reason it does not."""
    def start(port):
        rc, out, err = box.run("-d", "-s", f"nbd_server_port={port}", *args, env=env)
        if rc != 0 and port_taken(err, [port]):
            raise PortTaken(err)
        return rc, out, err, port

    return launch_on_free_port(start)


def take_terminal():
    """In the child, before exec: its standard input, a pseudo-terminal,
    becomes its controlling terminal, as in an interactive start."""
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Console:
    """The daemon in the foreground with its standard input on /dev/null
    ("null"), on a pipe held open ("pipe") or on a pseudo-terminal
    ("terminal"). A thread collects its standard output and error together;
    on a terminal both are the terminal itself."""

    def __init__(self, box, kind, *args):
        self.data = b""
        self.changed = threading.Condition()
        self.ended = False  # the output has reached its end (under changed)
        cmd = [box.exe, *args]
        if kind == "terminal":
            master, slave = os.openpty()
            self.p = subprocess.Popen(cmd, cwd=box.dir, env=box.env, stdin=slave, stdout=slave, stderr=slave,
                                      start_new_session=True, preexec_fn=take_terminal)
            os.close(slave)
            self.out_fd = self.in_fd = master
            self.fds = [master]
        else:
            self.p = subprocess.Popen(cmd, cwd=box.dir, env=box.env,
                                      stdin=subprocess.PIPE if kind == "pipe" else subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self.out_fd = self.p.stdout.fileno()
            self.in_fd = self.p.stdin.fileno() if self.p.stdin else None
            self.fds = []
        box.procs.append(self.p)
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        while True:
            try:
                chunk = os.read(self.out_fd, 4096)
            except OSError:  # EIO: the terminal's last other holder has gone
                chunk = b""
            with self.changed:
                self.data += chunk
                self.ended = not chunk
                self.changed.notify_all()
            if not chunk:
                break
        for fd in self.fds:
            os.close(fd)

    def text(self):
        with self.changed:
            return self.data.decode(errors="replace")

    def wait_text(self, needle, start=0):
        """The offset just past the first needle at or after start."""
        with self.changed:
            self.changed.wait_for(lambda: self.data.find(needle, start) >= 0 or self.ended, RUN_TIMEOUT)
            if self.data.find(needle, start) < 0:
                raise Failure(f"timed out waiting for {needle!r}; output:\n{self.data.decode(errors='replace')}")
            return self.data.find(needle, start) + len(needle)

    def wait_reading(self):
        """Until the main thread is blocked reading standard input: a stop
        that comes then finds the input's lock held."""
        def reading():
            try:
                with open(f"/proc/{self.p.pid}/syscall") as f:
                    return f.read().startswith(f"{READ_SYSCALL} 0x0 ")
            except OSError:
                return False

        wait_for(reading, RUN_TIMEOUT, "the console to read its input")

    def send(self, line):
        os.write(self.in_fd, (line + "\n").encode())

    def wait_end(self):
        """The status and the seconds from now until the daemon has ended.
        Returns once the collector has read all that the daemon wrote: its
        end does not mean the collector thread has read the pipe to its end,
        and on a loaded machine it may not have."""
        start = time.monotonic()
        try:
            rc = self.p.wait(10)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
            raise Failure(f"the daemon did not end; output:\n{self.text()}")
        took = time.monotonic() - start
        with self.changed:
            if not self.changed.wait_for(lambda: self.ended, RUN_TIMEOUT):
                raise Failure("the daemon's output did not reach its end")
        return rc, took

    def stop(self, signo):
        self.p.send_signal(signo)
        return self.wait_end()

    def type_key(self, key):
        """A control key typed on the terminal (the line editor takes Ctrl-\\
        as the quit key: SIGQUIT)."""
        os.write(self.in_fd, key)
        return self.wait_end()


def start_console(box, kind, *args, ports=()):
    """A Console with verb logging, returned once the daemon has reached its
    main loop, listens on every port of ports (see wait_serving) and, unless
    its input is /dev/null, reads its console."""
    c = Console(box, kind, "-l", "verb", *args)
    try:
        c.wait_text(b"app_start_server(): ==>")
    except Failure:
        if port_taken(c.text(), ports):
            raise PortTaken(c.text())
        raise
    wait_serving(c.p, ports, c.text)
    if kind != "null":
        c.wait_reading()
    return c


def console_on_free_port(box, kind, *args):
    """start_console on a free NBD port (its port attribute), through
    launch_on_free_port."""
    def start(port):
        c = start_console(box, kind, "-s", f"nbd_server_port={port}", *args, ports=[port])
        c.port = port
        return c

    return launch_on_free_port(start)


def pid_alive(pid):
    """False once the process has ended (a zombie counts as ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ")[1][0] != "Z"
    except (OSError, IndexError):
        return False


def dump_lines(port=10809, addr="127.0.0.1", http=6780, http_addr="127.0.0.1", shell=6781, shell_addr="127.0.0.1",
               dump="''"):
    return (f"nbd_server_port={port}\nnbd_server_address={addr}\nhttp_server_port={http}\n"
            f"http_server_addr={http_addr}\ndebug_server_port={shell}\ndebug_server_addr={shell_addr}\n"
            f"panic_dump_dir={dump}\n")


COPYRIGHT = "Copyright (c) 2025 the zorv developers\n"
# A zorv.ini without a debug section: both debug listeners stay off (without
# any file they would listen on their fixed default ports).
NO_DEBUG_INI = "[zorv]\n"

# ---- the cases ----


def case_version(box):
    rc, out, err = box.run("-v")
    check_eq((rc, out, err), (0, "1.2.3.0\n", ""), "-v")


def case_help_and_usage_errors(box):
    rows = [
        (["-h"], 0, BANNER + COPYRIGHT + USAGE),
        (["-q", "-h"], 0, USAGE),
        (["-w"], 1, BANNER + COPYRIGHT + USAGE),
        (["-i"], 1, BANNER + COPYRIGHT + USAGE),
        (["-u"], 1, BANNER + COPYRIGHT + USAGE),
    ]
    for args, status, text in rows:
        rc, out, err = box.run(*args)
        check_eq((rc, out, err), (status, "", text), " ".join(args))
    # A letter outside the option string: the system's complaint, then the same.
    rc, out, err = box.run("-x")
    check(rc == 1 and err.endswith(BANNER + COPYRIGHT + USAGE), f"-x: {rc} {err!r}")


def case_s_list(box):
    rc, out, err = box.run("-s", "list")
    check_eq((rc, out, err), (0, "", "support the following key settings\nnbd_server_port\nnbd_server_address\n"
                                     "nbd_readonly_flag\nhttp_server_port\nhttp_server_addr\ndebug_server_port\n"
                                     "debug_server_addr\ndaemon_close_all_fd\n"), "-s list")


def case_dump_without_config(box):
    rc, out, err = box.run("-p")
    check_eq(rc, 0, "-p status")
    check_eq(out, dump_lines() + LOG_SETTINGS, "-p without zorv.ini")
    check_eq(err, BANNER + COPYRIGHT, "-p stderr")


def case_dump_with_config(box):
    box.ini("[zorv]\nnbd_server_port=12000\nnbd_server_addr=127.0.0.1\nnbd_readonly=no\n"
            "[debug]\nshell_server_port=7001\nshell_server_addr=::1\nhttp_server_port=7002\n"
            "http_server_addr=0.0.0.0\npanic_dump_dir=my dumps\n"
            "[log]\nlevel=warn\nflags=no_colour\n")
    rc, out, err = box.run("-p")
    check_eq(rc, 0, "-p status")
    check_eq(out, dump_lines(12000, "127.0.0.1", 7002, "0.0.0.0", 7001, "::1", "'my dumps'") +
             LOG_SETTINGS.replace("log_level=info", "log_level=warn"), "-p with zorv.ini")
    # A file without a debug section leaves both debug listeners off.
    box.ini("[zorv]\nnbd_server_port=12001\n")
    rc, out, err = box.run("-q", "-p")
    check_eq((rc, err), (0, ""), "-q -p")
    check_eq(out, dump_lines(12001).replace("6780", "0").replace("6781", "0") + LOG_SETTINGS,
             "-p without a debug section")


def case_s_keys_win_over_file(box):
    box.ini("[zorv]\nnbd_server_port=12000\n[debug]\nshell_server_port=7001\n")
    rc, out, err = box.run("-s", "NBD_SERVER_PORT=13000", "-s", "debug_server_port=0", "-s", "nbd_server_address=::1",
                           "-p")
    check_eq(rc, 0, "status")
    check(out.startswith(dump_lines(13000, "::1", 0, "127.0.0.1", 0)), f"-s over the file:\n{out}")
    # A bad -s ends the start with one line on standard error that names it.
    rows = [
        ("bogus=1", "unsupported key [bogus]"),
        ("http_server_port", "http_server_port syntax error Example: k=v"),
        ("nbd_server_port=abc", "nbd_server_port=abc: the value is not a number of the int range"),
        ("nbd_readonly_flag=yes", "nbd_readonly_flag=yes: the value is not a number of the int range"),
        ("debug_server_port=99999999999", "debug_server_port=99999999999: the value is not a number"),
    ]
    for arg, message in rows:
        for more in ([], ["-p"]):
            rc, out, err = box.run("-q", "-s", arg, *more)
            lines = re.sub(r"\x1b\[[0-9;]*m", "", err).splitlines()
            check(rc != 0 and rc != 255, f"-s {arg} {more}: status {rc}")
            check(len(lines) == 1 and message in lines[0], f"-s {arg} {more}: {err!r}")
            check_eq(out, "", f"-s {arg} {more}: nothing printed")


def case_second_instance(box):
    with socket.socket() as other:
        other.bind(("127.0.0.1", 0))
        other.listen(4)
        port = other.getsockname()[1]
        rc, out, err = box.run("-s", f"nbd_server_port={port}")
        check_eq(rc, 1, "status of a second instance")
        check("Can only run one instance" in err, f"message: {err!r}")


SIGNALLED = [(signo.name, lambda c, signo=signo: c.stop(signo))
             for signo in (signal.SIGTERM, signal.SIGINT, signal.SIGQUIT)]
TYPED = [("Ctrl-\\", lambda c: c.type_key(b"\x1c"))]


def check_stop_signals(box, kind, stops):
    """Every stop signal ends the daemon with status 0 in time, whatever its
    console reads."""
    box.ini(NO_DEBUG_INI)
    for what, stop in stops:
        c = console_on_free_port(box, kind)
        rc, took = stop(c)
        check_eq(rc, 0, f"status after {what} with the console on {kind}")
        check(took < STOP_BOUND, f"{what} with the console on {kind} took {took:.2f} s")
        text = c.text()
        check("call user_stop_proc" in text and "stop_server ==>" in text, f"stop log after {what}: {text!r}")


def case_stop_signals(box):
    check_stop_signals(box, "null", SIGNALLED)


def case_stop_signals_on_pipe(box):
    check_stop_signals(box, "pipe", SIGNALLED)


def case_stop_signals_on_terminal(box):
    check_stop_signals(box, "terminal", SIGNALLED + TYPED)


def case_console_ends(box):
    # Each way out of the console, typed on a terminal or written into a pipe
    # held open, ends the daemon with status 0 once it has answered a command.
    box.ini(NO_DEBUG_INI)
    for kind in ("terminal", "pipe"):
        for word in ("q", "exit", "quit"):
            c = console_on_free_port(box, kind)
            at = c.wait_text(b"zorv>")
            c.send("help")
            at = c.wait_text(b"Quit the current session", at)
            c.wait_text(b"zorv>", at)
            c.send(word)
            rc, took = c.wait_end()
            check_eq(rc, 0, f"status after {word!r} on {kind}")
            check(took < STOP_BOUND, f"{word!r} on {kind} took {took:.2f} s")


def case_daemon(box):
    box.ini(NO_DEBUG_INI)
    log = box.path("d.log")
    rc, out, err, _ = detach_on_free_port(box, "-l", "dbg", "-o", log)
    check_eq((rc, out), (0, ""), "the parent of -d")
    # The daemon's start-up lines come between the banner and the news that
    # it serves.
    check(BANNER + COPYRIGHT in err and err.endswith("daemon startup is complete, press any key to continue\n"),
          f"stderr: {err!r}")
    m = wait_for(lambda: re.search(r"DEBUG (\d+) --- \[[^]]*\] main app_start_server\(\): run_as_daemon loop",
                                   read_file(log)), RUN_TIMEOUT, "the daemon's loop in its log file")
    pid = int(m.group(1))
    check(pid_alive(pid), "the daemon runs")
    for fd in (0, 1, 2):
        check_eq(os.readlink(f"/proc/{pid}/fd/{fd}"), "/dev/null", f"descriptor {fd}")
    check(os.getsid(pid) == pid or os.getsid(pid) != os.getsid(0), "a new session")
    text = read_file(log)
    check("log_banner(): " + BANNER in text and "cmdline=[" in text, "the banner and command line are logged")
    start = time.monotonic()
    os.kill(pid, signal.SIGTERM)
    wait_for(lambda: not pid_alive(pid), STOP_BOUND, "the daemon to end on SIGTERM")
    check(time.monotonic() - start < STOP_BOUND, "stopped in time")
    check("stop_server ==>" in read_file(log), "the stop is logged")


def case_daemon_quiet(box):
    box.ini(NO_DEBUG_INI)
    log = box.path("q.log")
    rc, out, err, _ = detach_on_free_port(box, "-q", "-l", "dbg", "-o", log, "-s", "daemon_close_all_fd=1")
    # The frame writes nothing; the console log sink still shows the dbg lines.
    check_eq((rc, out), (0, ""), "-q -d status")
    check(BANNER not in err.splitlines(keepends=True) and "press any key" not in err and COPYRIGHT not in err,
          f"-q -d stderr: {err!r}")
    m = wait_for(lambda: re.search(r"DEBUG (\d+) --- .* run_as_daemon loop", read_file(log)), RUN_TIMEOUT,
                 "the daemon's loop")
    pid = int(m.group(1))
    text = read_file(log)
    check("log_banner(): " + BANNER in text, "the banner is still logged")
    # Every other descriptor closed, the log file kept.
    fds = {int(f): os.readlink(f"/proc/{pid}/fd/{f}") for f in os.listdir(f"/proc/{pid}/fd")}
    check(os.path.realpath(log) in fds.values(), f"log file kept open: {fds}")
    os.kill(pid, signal.SIGTERM)
    wait_for(lambda: not pid_alive(pid), STOP_BOUND, "the daemon to end on SIGTERM")


def case_log_file_cap_and_prune(box):
    os.mkdir(box.path("logs"))
    for n in (1, 2, 3, 4, 5):
        box.write(f"logs/zorv_{n}.log", "old\n")
    box.write("logs/other.txt", "kept\n")
    box.ini("[log]\nlevel=verb\nfile_dir=logs\nfile=zorv_${ZORV_RUN}.log\nmax_num_file=3\nfile_size=4k\n")
    env = dict(box.env, ZORV_RUN="9")
    # A long argument makes the logged command line outgrow the cap.
    rc, out, err, _ = detach_on_free_port(box, "-q", "--", "x" * 6000, env=env)
    check_eq(rc, 0, "-d status")
    log = box.path("logs/zorv_9.log")
    m = wait_for(lambda: re.search(r"DEBUG (\d+) --- .* run_as_daemon loop", read_file(log)), RUN_TIMEOUT,
                 "the daemon's loop")
    pid = int(m.group(1))
    os.kill(pid, signal.SIGTERM)
    wait_for(lambda: not pid_alive(pid), STOP_BOUND, "the daemon to end")
    check_eq(sorted(os.listdir(box.path("logs"))), ["other.txt", "zorv_4.log", "zorv_5.log", "zorv_9.log"],
             "old files pruned to three")
    text = read_file(log)
    check(0 < len(text) < 4096, f"log file within its cap: {len(text)} bytes")
    check(re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} ", text) is not None, f"starts at a line: {text[:80]!r}")
    check(text.endswith("\n") and "stop_server ==>" in text, "the newest lines are kept")


def syslog_line_form(prio, rest):
    return re.compile(r"<%d>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \S+ main\[\d+\]: %s\n\x00" % (prio, rest))


def case_syslog_udp(box):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as srv:
        srv.bind(("127.0.0.1", 0))
        srv.settimeout(10)
        url = "udp://127.0.0.1:%d" % srv.getsockname()[1]
        box.ini(NO_DEBUG_INI)
        p = running_on_free_port(box, "-n", url)
        packets = []
        while not any(b"app_start_server(): ==>" in x for x in packets):
            packets.append(srv.recv(4096))
        stop_and_wait(p)
    form = syslog_line_form(15, r"\[\d+\] app_start_server\(\): ==>")
    check(any(form.fullmatch(x.decode()) for x in packets), f"verb line as priority 15: {packets!r}")


def case_syslog_tcp(box):
    with socket.socket() as srv:
        srv.bind(("127.0.0.1", 0))
        srv.listen(4)
        srv.settimeout(10)
        box.ini("[log]\nsyslog=tcp://127.0.0.1:%d\n" % srv.getsockname()[1])
        p = running_on_free_port(box)
        conn, _ = srv.accept()
        conn.settimeout(10)
        data = b""
        while b"app_start_server(): ==>" not in data:
            chunk = conn.recv(4096)
            check(chunk != b"", "the TCP syslog stream ended early")
            data += chunk
        rc, took, _, _ = stop_and_wait(p)
        conn.close()
    check_eq(rc, 0, "status")
    first = data[:data.index(b"\x00") + 1].decode()
    check(re.fullmatch(r"<\d+>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \S+ \S+\[\d+\]: .*\n\x00", first, re.S),
          f"TCP syslog line: {first!r}")


def case_fault_signal(box):
    box.ini(NO_DEBUG_INI)
    p = running_on_free_port(box)
    rc, took, out, err = stop_and_wait(p, signal.SIGSEGV)
    check_eq(rc, 254, "status after a fault signal")
    check("signo=11 [Segmentation fault]" in err and "info: os=linux arch=x86_64 ver=1.2.3.0" in err,
          f"panic messages: {err!r}")


def case_commands_road(box):
    # The commands go to a running instance through the shell's client. No
    # instance runs here: a shell that cannot be reached is said on standard
    # error, with the address it tried and why, and the status is 1.
    with held_port() as dead:
        port = dead.getsockname()[1]
        for env in (box.env, dict(box.env, QD_SH_DBG="1")):
            rc, out, err = box.run("-q", "-e", "help", "-s", f"debug_server_port={port}", env=env)
            check_eq((rc, out), (1, ""), "-e without a shell")
            check(f"cannot reach the debug shell: sock_connect 127.0.0.1:{port} error: " in err,
                  f"-e reason: {err!r}")
    box.ini("[debug]\nshell_server_port=0\n")
    rc, out, err = box.run("-q", "-e", "help")
    check_eq((rc, out), (1, ""), "-e with the shell off")
    check("No debugging interface defined" in err, f"-e with the shell off: {err!r}")
    # With the shell listening, the replies and status 0.
    c, shell = launch_on_free_port(lambda nbd, shell: (start_console(
        box, "null", "-s", f"nbd_server_port={nbd}", "-s", f"debug_server_port={shell}", ports=[nbd, shell]), shell), 2)
    rc, out, err = box.run("-q", "-e", "help", "-s", f"debug_server_port={shell}")
    check_eq((rc, err), (0, ""), "-e with a shell")
    check("Quit the current session" in out, f"-e reply: {out!r}")
    c.stop(signal.SIGTERM)


def case_paths_from_exe_dir(box):
    # A relative -c and a relative -o are taken from the directory the
    # daemon is started in; a relative panic dump directory from the
    # executable's directory. A rel.ini beside the binary is not the one
    # named, and no rel.log is written there.
    elsewhere = tempfile.mkdtemp(prefix="zorv_e2e_cwd_")
    box.write("rel.ini", "[zorv]\nnbd_server_port=1\n")
    with open(os.path.join(elsewhere, "rel.ini"), "w") as f:
        f.write("[debug]\npanic_dump_dir=dumps\n")
    try:
        p = running_on_free_port(box, "-c", "rel.ini", "-o", "rel.log", cwd=elsewhere)
        _, _, _, rest = stop_and_wait(p)
        text = p.start_text + rest
        log = read_file(os.path.join(elsewhere, "rel.log"))
    finally:
        shutil.rmtree(elsewhere, ignore_errors=True)
    check("Load default" not in text, f"rel.ini found where zorv was started: {text!r}")
    check("[%s/dumps][zorv]==>" % os.path.realpath(box.dir) in text, f"absolute dump directory: {text!r}")
    check("app_start_server(): ==>" in log, f"rel.log where zorv was started: {log[:300]!r}")
    check(not os.path.exists(box.path("rel.log")), "rel.log beside the binary")


# ---- bad input ----


def case_bad_config_lines(box):
    # A 100 KB line, unknown sections and a key after them.
    box.ini("[zorv]\n; " + "c" * 100000 + "\nlong=" + "v" * 100000 + "\n[bogus]\na=b\n[zorv]\n"
            "nbd_server_port=12345\nnbd_readonly=maybe\n[more junk]\n")
    rc, out, err = box.run("-p")
    check_eq(rc, 0, "status")
    check(out.startswith("nbd_server_port=12345\n"), f"-p: {out[:200]!r}")
    check("error: nbd_readonly=maybe [true | false]" in err, f"read-only warning: {err!r}")


def case_bad_port(box):
    box.ini("[zorv]\nnbd_server_port=70000\n")
    rc, out, err = box.run()
    check_eq(rc, 255, "status for a port out of range")
    check("nbd_server_port=70000 is not a port (1-65535)" in err, f"message: {err!r}")
    box.ini("[zorv]\nnbd_server_port=12000\n")
    rc, out, err = box.run("-s", "nbd_server_port=-1")
    check_eq(rc, 255, "status for -s nbd_server_port=-1")
    # A port beyond any int is refused as written, once, at warn level, with
    # no assertion line and no number the file never held.
    box.ini("[zorv]\nnbd_server_port=4294991297\n")
    rc, out, err = box.run()
    check_eq(rc, 255, "status for a port beyond any int")
    check_eq(err.count("config [zorv] nbd_server_port=4294991297 refused: not a port (1-65535); nothing is served"),
             1, f"the refusal as written: {err!r}")
    check("NBD listener not started: no port to listen on (nbd_server_port)" in err, f"the start's end: {err!r}")
    for wrong in ("overflow [", "assert", "nbd_server_port=0", "nbd_server_port=24769"):
        check(wrong not in err, f"{wrong!r} said: {err!r}")


def case_bad_log_dir(box):
    # Only a serving daemon opens its log file.
    box.ini("[log]\nfile_dir=/dev/null/logs\nfile=x.log\n")
    c = console_on_free_port(box, "null")
    c.stop(signal.SIGTERM)
    err = c.text()
    check("log file directory /dev/null/logs cannot be created" in err, f"directory message: {err!r}")
    check("log file /dev/null/logs/x.log cannot be opened" in err, f"open message: {err!r}")


def case_bad_syslog_address(box):
    with held_port() as dead:
        box.ini("[log]\nsyslog=tcp://127.0.0.1:%d\n" % dead.getsockname()[1])
        start = time.monotonic()
        p = running_on_free_port(box)
        check(time.monotonic() - start < 10, "start-up is not held up")
        rc, took, out, err = stop_and_wait(p)
    check_eq(rc, 0, "status")
    check(took < STOP_BOUND, f"stop took {took:.2f} s")


def case_bad_config_path(box):
    # A -c file that cannot be read, or is no regular file, is a warning at
    # the default level with its reason, then the default file is read. A
    # FIFO is never opened (it would hold the start for ever).
    port = 12000
    box.ini("[zorv]\nnbd_server_port=%d\n" % port)
    os.mkdir(box.path("adir"))
    os.mkfifo(box.path("fifo.ini"))
    box.write("locked.ini", "[zorv]\nnbd_server_port=34567\n")
    os.chmod(box.path("locked.ini"), 0)
    rows = [(box.path("missing.ini"), "No such file or directory"), (box.path("adir"), "not a regular file"),
            (box.path("fifo.ini"), "not a regular file"), ("/dev/null", "not a regular file")]
    # Root reads a file whatever its mode.
    if os.geteuid() != 0:
        rows.append((box.path("locked.ini"), "Permission denied"))
    for path, why in rows:
        warning = "config file %s cannot be read (%s): Load default zorv.ini\n" % (path, why)
        rc, out, err = box.run("-c", path, "-p")
        check_eq(rc, 0, f"status for -c {path}")
        check(warning in err, f"warning for {path} on standard error: {err!r}")
        check(out.startswith("nbd_server_port=%d\n" % port), f"default file read for {path}: {out[:80]!r}")
        # A serving daemon has the warning in its log file too.
        log = box.path("c.log")
        c = console_on_free_port(box, "null", "-c", path, "-o", log)
        c.stop(signal.SIGTERM)
        check(re.search(r"WARN .* " + re.escape(warning), read_file(log)), f"level of the warning: {read_file(log)!r}")
        os.unlink(log)
    # A relative -c too long to be joined to the start directory is kept as
    # given, never emptied or cut into another name (its warning, longer
    # than a log line, is the logger's to drop), and the default file is read.
    too_long = "d/" * 4095 + "c.ini"
    rc, out, err = box.run("-c", too_long, "-p")
    check_eq(rc, 0, "status for a -c too long to join")
    check(out.startswith("nbd_server_port=%d\n" % port), f"default file read for a -c too long: {out[:80]!r}")
    check(re.search(r"config file [/\s]", err) is None,
          f"a -c too long to join named as another file: {err[-300:]!r}")


def case_missing_config_beside_a_running_one(box):
    # A -c file that does not exist is said before the instance check can
    # end the start: here the fallback's port answers (another instance).
    with socket.socket() as other:
        other.bind(("127.0.0.1", 0))
        other.listen(4)
        port = other.getsockname()[1]
        box.ini("[zorv]\nnbd_server_port=%d\n" % port)
        missing = box.path("nonexistent.ini")
        for args in ([], ["-d"]):
            rc, out, err = box.run("-q", "-c", missing, *args)
            check_eq(rc, 1, f"status {args}")
            warning = "config file %s cannot be read (No such file or directory): Load default zorv.ini" % missing
            check_eq(err.count(warning), 1, f"the fallback said once {args}: {err!r}")
            refusal = "Can only run one instance: 127.0.0.1:%d already answers" % port
            check(refusal in err and err.index(warning) < err.index(refusal), f"warning, then refusal {args}: {err!r}")


def ipv6_loopback():
    """None when this host has IPv6 on its loopback, else the reason."""
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
    except OSError as e:
        return f"no IPv6 loopback: {e}"
    return None


def case_instance_check_addresses(box):
    # The instance check asks the address the NBD listener will bind (the
    # loopback of its family for "0.0.0.0" and "::"): another program on
    # another address is nobody's business, the two families start in either
    # order, and a second zorv on the same address is refused.
    box.ini(NO_DEBUG_INI)

    def serve(addr, port):
        p = start_running(box, "-s", f"nbd_server_address={addr}", "-s", f"nbd_server_port={port}", ports=[port])
        return p

    def pair(first, second):
        def start(port):
            a = serve(first, port)
            try:
                return a, serve(second, port)
            except BaseException:
                stop_and_wait(a)
                raise
        return start

    # A program on 127.0.0.1 and the daemon on 127.0.0.2 at the same port.
    def beside_other(port):
        with socket.socket() as other:
            other.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                other.bind(("127.0.0.1", port))
            except OSError:
                raise PortTaken("127.0.0.1 port taken")
            other.listen(4)
            p = serve("127.0.0.2", port)
            rc, _, _, _ = stop_and_wait(p)
            return rc

    # A second zorv on the same address is refused, naming what it asked.
    def second_refused(addr, asked):
        p, port = launch_on_free_port(lambda port: (serve(addr, port), port))
        rc, out, err = box.run("-q", "-s", f"nbd_server_address={addr}", "-s", f"nbd_server_port={port}")
        stop_and_wait(p)
        check_eq(rc, 1, f"status of a second zorv on {addr}")
        check(f"Can only run one instance: {asked}:{port} already answers" in err, f"refusal on {addr}: {err!r}")

    check_eq(launch_on_free_port(beside_other), 0, "the daemon on 127.0.0.2 beside a program on 127.0.0.1")
    second_refused("127.0.0.2", "127.0.0.2")
    no_v6 = ipv6_loopback()
    if no_v6 is not None:
        print(f"skipped the two-family rows: {no_v6}")
        return
    for first_addr, second_addr in (("::", "0.0.0.0"), ("0.0.0.0", "::")):
        a, b = launch_on_free_port(pair(first_addr, second_addr))
        for p in (b, a):
            rc, _, _, _ = stop_and_wait(p)
            check_eq(rc, 0, f"{first_addr} then {second_addr}: status")
    second_refused("::", "[::1]")


def case_console_input_ends(box):
    # At the end of console input (Ctrl-D on a terminal, a pipe closed) one
    # line says so, with how to stop the daemon; the daemon serves on, and
    # what the line names still ends it with status 0.
    box.ini(NO_DEBUG_INI)
    for kind in ("terminal", "pipe"):
        c = console_on_free_port(box, kind)
        at = c.wait_text(b"zorv>")
        if kind == "terminal":
            os.write(c.in_fd, b"\x04")
        else:
            c.p.stdin.close()
        # (A terminal ends the line with CR LF.)
        line = f"console input has ended; zorv goes on serving: stop it with Ctrl-C or kill {c.p.pid}"
        c.wait_text(line.encode(), at)
        check_eq(nbd_greeting(c.port), b"NBDMAGIC", f"served after the end of input on {kind}")
        check(c.p.poll() is None, f"the daemon runs on after the end of input on {kind}")
        # As the line says: Ctrl-C on the terminal, a stop signal otherwise.
        rc, took = c.type_key(b"\x03") if kind == "terminal" else c.stop(signal.SIGTERM)
        check_eq(rc, 0, f"status after the end of input on {kind}")
        check_eq(c.text().count("console input has ended"), 1, f"said once on {kind}")


def tcp_listening_sockets():
    """(local address in hex, port, socket inode) of every listening TCP
    socket, from /proc/net/tcp and tcp6 ("0100007F" is 127.0.0.1, "00000000"
    every IPv4 address)."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        for line in read_file(table).splitlines()[1:]:
            fields = line.split()
            addr, hexport = fields[1].split(":")
            if fields[3] == "0A":  # listening
                found.append((addr, int(hexport, 16), fields[9]))
    return found


def tcp_listeners(port):
    """The local addresses (hex, as in /proc/net/tcp*) listening on TCP port."""
    return [addr for addr, p, _ in tcp_listening_sockets() if p == port]


def case_loopback_without_config(box):
    # No zorv.ini: the NBD listener and the debug shell and web tool listen
    # on 127.0.0.1 and on no other address.
    ports = ("nbd_server_port", "debug_server_port", "http_server_port")
    c, picked = launch_on_free_port(lambda *picked: (start_console(
        box, "null", *[x for key, port in zip(ports, picked) for x in ("-s", f"{key}={port}")], ports=picked),
        picked), len(ports))
    for name, port in zip(("NBD", "debug shell", "web tool"), picked):
        check_eq(tcp_listeners(port), ["0100007F"], f"{name} listener on port {port}")
    rc, took = c.stop(signal.SIGTERM)
    check_eq(rc, 0, "status")


def listen_text(hexaddr):
    """A /proc/net/tcp* address in the form an operator writes it."""
    raw = bytes.fromhex(hexaddr)
    if len(raw) == 4:
        return socket.inet_ntop(socket.AF_INET, raw[::-1])
    words = b"".join(raw[i:i + 4][::-1] for i in range(0, 16, 4))
    return socket.inet_ntop(socket.AF_INET6, words)


SHIPPED_INI = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "zorv.ini")


def case_listener_exposure(box):
    # For each way of starting, the addresses each of the three listeners
    # binds, read from the system's table of listening sockets, and what -p
    # says of them. A listener whose address is missing or empty is on
    # 127.0.0.1 only; every address is served only when it is named.
    with open(SHIPPED_INI) as f:
        shipped = f.read()
    loop = ["127.0.0.1"]
    rows = [
        # (what, zorv.ini or None, extra -s keys, (nbd, shell, web) addresses; None: off)
        ("no file", None, [], (loop, loop, loop)),
        ("an empty file", "", [], (loop, None, None)),
        ("the shipped file", shipped, [], (loop, None, None)),
        ("the shipped file, shell and web on by -s", shipped, ["debug_server_port", "http_server_port"],
         (loop, loop, loop)),
        ("a file without address keys", "[zorv]\n[debug]\nshell_server_port={shell}\nhttp_server_port={web}\n", [],
         (loop, loop, loop)),
        ("a file that turns on only the shell", "[debug]\nshell_server_port={shell}\n", [], (loop, loop, None)),
        ("empty addresses in the file", "[zorv]\nnbd_server_addr=\n[debug]\nshell_server_port={shell}\n"
         "shell_server_addr=\nhttp_server_port={web}\nhttp_server_addr=\n", [], (loop, loop, loop)),
        ("every address named in the file", "[zorv]\nnbd_server_addr=0.0.0.0\n[debug]\nshell_server_port={shell}\n"
         "shell_server_addr=::\nhttp_server_port={web}\nhttp_server_addr=0.0.0.0\n", [],
         (["0.0.0.0"], ["::"], ["0.0.0.0"])),
        ("-s without an address", "[debug]\nshell_server_port=0\n", ["debug_server_port", "http_server_port"],
         (loop, loop, loop)),
        ("-s with an address", "", ["debug_server_port", "http_server_port", "nbd_server_address=::",
                                    "debug_server_addr=0.0.0.0", "http_server_addr=::1"],
         (["::"], ["0.0.0.0"], ["::1"])),
        ("-s with an empty address", "[zorv]\nnbd_server_addr=0.0.0.0\n", ["nbd_server_address="], (loop, None, None)),
    ]
    table = []
    for what, ini, keys, want in rows:
        def start(nbd, shell, web):
            if os.path.exists(box.path("zorv.ini")):
                os.unlink(box.path("zorv.ini"))
            if ini is not None:
                # The shipped ports are replaced, its addresses kept.
                box.ini(re.sub(r"(?m)^nbd_server_port=.*$", "", ini.format(shell=shell, web=web)))
            args = ["-s", f"nbd_server_port={nbd}"]
            if ini is None:
                args += ["-s", f"debug_server_port={shell}", "-s", f"http_server_port={web}"]
            for key in keys:
                port = {"debug_server_port": shell, "http_server_port": web}.get(key)
                args += ["-s", f"{key}={port}" if port else key]
            rc, dump, err = box.run("-q", "-p", *args)
            check_eq(rc, 0, f"{what}: -p status")
            # Only the listeners the row turns on are waited for.
            on = [port for port, addrs in zip((nbd, shell, web), want) if addrs is not None]
            return start_console(box, "null", *args, ports=on), dump, (nbd, shell, web)

        c, dump, (nbd, shell, web) = launch_on_free_port(start, 3)
        seen = tuple(sorted(listen_text(a) for a in tcp_listeners(port)) or None for port in (nbd, shell, web))
        rc, took = c.stop(signal.SIGTERM)
        check_eq(rc, 0, f"{what}: status")
        table.append(f"{what:45} nbd={seen[0]} shell={seen[1]} web={seen[2]}")
        check_eq(seen, want, f"{what}: listening addresses (NBD, shell, web)")
        for name, addrs in zip(("nbd_server_address", "debug_server_addr", "http_server_addr"), seen):
            if addrs is not None:
                check(f"{name}={addrs[0]}\n" in dump, f"{what}: -p names {name}={addrs[0]}:\n{dump}")
    print("\n".join(table))


def case_daemon_start_failures(box):
    # -d ends with status 0 only once the daemon serves; a start that fails
    # ends the waiting parent with non-zero status and the reason.
    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))  # bound, not listening: the instance check passes
    rows = [
        ("port taken on the configured address", ["-s", f"nbd_server_port={taken.getsockname()[1]}"],
         "cannot be opened: Address already in use"),
        ("invalid port", ["-s", "nbd_server_port=70000"], "nbd_server_port=70000 is not a port (1-65535)"),
        ("address not on this host", ["-s", f"nbd_server_port={taken.getsockname()[1]}",
                                      "-s", "nbd_server_address=192.0.2.1"],
         "cannot be opened: Cannot assign requested address"),
    ]
    try:
        for what, args, reason in rows:
            rc, out, err = box.run("-d", *args)
            check(rc != 0, f"{what}: status {rc}")
            check(reason in err, f"{what}: reason on standard error: {err!r}")
            check("daemon startup is complete" not in err, f"{what}: no news of success: {err!r}")
            check("daemon start-up failed" in err, f"{what}: the failure said: {err!r}")
    finally:
        taken.close()


def nbd_greeting(port):
    """The first 8 bytes the server sends on a new connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        data = b""
        while len(data) < 8:
            chunk = s.recv(8 - len(data))
            if not chunk:
                break
            data += chunk
        return data


def case_daemon_serves_at_once(box):
    # A connection made the moment the parent of -d returns is served.
    box.ini(NO_DEBUG_INI)
    for _ in range(5):
        log = box.path("d.log")
        rc, out, err, port = detach_on_free_port(box, "-q", "-l", "dbg", "-o", log)
        # A start that failed left no daemon to wait for: its reason is the failure.
        check(rc == 0, f"-d status {rc}: {err}")
        try:
            check_eq(nbd_greeting(port), b"NBDMAGIC", "the greeting right after -d returned")
        finally:
            m = wait_for(lambda: re.search(r"DEBUG (\d+) --- .* run_as_daemon loop", read_file(log)), RUN_TIMEOUT,
                         "the daemon's loop")
            pid = int(m.group(1))
            os.kill(pid, signal.SIGTERM)
            wait_for(lambda: not pid_alive(pid), STOP_BOUND, "the daemon to end")
            os.unlink(log)


def log_state(box, logdir):
    """Every file of the log directory: name -> (inode, bytes)."""
    state = {}
    for name in sorted(os.listdir(logdir)):
        path = os.path.join(logdir, name)
        with open(path, "rb") as f:
            state[name] = (os.stat(path).st_ino, f.read())
    return state


def case_commands_keep_log(box):
    # Commands that serve nothing, run beside a daemon that logs to a file,
    # leave its log directory as it was: no file truncated, rotated, deleted
    # or created.
    sinks = [
        ("text log, mode w", "file=zorv.log\nfile_mode=w\n"),
        ("text log, mode a", "file=zorv.log\nfile_mode=a\n"),
        ("pcap log", "file=zorv.pcap\n"),
        ("time-stamped names, max_num_file", "file=zorv-${proc_start_time}.log\nmax_num_file=1\n"),
    ]
    commands = [["-e", "show info"], ["-p"], ["-h"], ["-v"], [], ["-d"]]
    logdir = box.path("logs")
    for what, sink in sinks:
        def start(nbd, shell):
            shutil.rmtree(logdir, ignore_errors=True)
            os.mkdir(logdir)
            # The commands find the running instance's ports in the same file.
            box.ini("[zorv]\nnbd_server_port=%d\n[debug]\nshell_server_port=%d\n[log]\nlevel=info\nfile_dir=logs\n%s"
                    % (nbd, shell, sink))
            return start_console(box, "null", ports=[nbd, shell])

        c = launch_on_free_port(start, 2)
        # Commands run a second apart, so a time-stamped name would differ.
        before = wait_for(lambda: log_state(box, logdir), RUN_TIMEOUT, "the log file")
        check(all(data for _, data in before.values()), f"{what}: the daemon logged: {before}")
        for args in commands:
            if "proc_start_time" in sink:
                time.sleep(1.1)
            rc, out, err = box.run("-q", *args)
            after = log_state(box, logdir)
            check_eq(sorted(after), sorted(before), f"{what}: log files after {args}")
            for name, (ino, data) in before.items():
                check(after[name][0] == ino and after[name][1].startswith(data),
                      f"{what}: {name} after {args}: {len(data)} -> {len(after[name][1])} bytes")
            before = after
        c.stop(signal.SIGTERM)


def case_stop_with_shell_sessions(box):
    # A stop with idle and busy debug shell sessions open ends with status 0
    # and, in a sanitizer build, no report: a session thread that stored its
    # connection's fields again without the pool's lock raced the stopper,
    # which reads them under it, at every such stop. Only ThreadSanitizer
    # sees that race: any other daemon passes with it.
    with open(box.exe, "rb") as f:
        if b"libtsan.so" not in f.read():
            raise Skipped("the race at the stop shows only in a daemon built with ThreadSanitizer, "
                          "which this one is not")
    def start(nbd, shell):
        box.ini("[zorv]\nnbd_server_port=%d\n[debug]\nshell_server_port=%d\n" % (nbd, shell))
        # Quiet: the log's lock, taken by both threads at every line, would
        # order the two accesses and hide the race from the sanitizer.
        p = box.start("-l", "err")
        wait_serving(p, [nbd, shell], lambda: p.stderr.read() if p.poll() is not None else "")
        p.shell = shell
        return p

    def ask(s, n):
        s.sendall(f"echo mark-{n}.\n".encode())
        got = b""
        while f"mark-{n}.".encode() not in got.replace(b"echo mark-", b""):
            chunk = s.recv(4096)
            if not chunk:
                return False
            got += chunk
        return True

    p = launch_on_free_port(start, 2)
    sessions = [socket.create_connection(("127.0.0.1", p.shell), timeout=10) for _ in range(6)]
    stopping = threading.Event()

    def busy(s):
        n = 0
        try:
            while not stopping.is_set() and ask(s, n):
                n += 1
        except OSError:
            pass

    try:
        # The idle ones send nothing: a command would take locks the stopper
        # takes too and so order the race away. Their threads start at once.
        for s in sessions[4:]:
            check(ask(s, "start"), "a shell session answers")
        workers = [threading.Thread(target=busy, args=(s,)) for s in sessions[4:]]
        for w in workers:
            w.start()
        time.sleep(0.5)
        rc, took, _, err = stop_and_wait(p)
        stopping.set()
        for w in workers:
            w.join(10)
    finally:
        for s in sessions:
            s.close()
    check(all(t not in err for t in ("ThreadSanitizer", "AddressSanitizer", "runtime error")),
          "a sanitizer report at the stop:\n" + err[-4000:])
    check_eq(rc, 0, "status after SIGTERM with shell sessions open; stderr:\n" + err[-2000:])


# ---- "help NAME" and nested "source", shared with the web tool's cases ----

# (files, levels run, refused): a chain of files, each echoing its level and
# sourcing the next, or (0 files) one file that sources itself.
NESTING_CASES = ((15, 15, False), (16, 16, False), (17, 16, True), (0, 16, True))
REFUSAL = re.compile(r"source: \[([^]]*)\] nested deeper than 16, not run")


def nesting_files(directory, files, echo=True):
    """Writes one nesting case into directory: the file to source first and
    the one whose sourcing is refused (None when none is). Without echo the
    files only source, so the first output of the line is the refusal."""
    prefix = os.path.join(directory, f"nest{files}{'' if echo else 'q'}_")
    if files == 0:
        path = prefix + "self.sh"
        with open(path, "w") as f:
            f.write(("echo level\n" if echo else "") + f"source {path}\n")
        return path, path
    for k in range(1, files + 1):
        with open(f"{prefix}{k}.sh", "w") as f:
            f.write((f"echo level {k}\n" if echo else "") + (f"source {prefix}{k + 1}.sh\n" if k < files else ""))
    return prefix + "1.sh", (f"{prefix}{files}.sh" if files > 16 else None)


def check_nesting(out, case, refused):
    check_eq(out.count("level"), case[1], f"levels run, {case[0]} files")
    check_eq(REFUSAL.findall(out), [refused] if case[2] else [], f"refusals, {case[0]} files")


def help_rows(listing):
    """(name, help text) of every row of a "help" listing (after any end mark and prompt)."""
    return re.findall(r"^(?:\0*zorv>)?([^\s\0]+) *\t([^\r\n]*)\r?$", listing, re.M)


def dvar_lines(text):
    return re.findall(r"^(?:\0*zorv>)?((?:log\.level|nbd_readonly_flag)=\S*)\r?$", text, re.M)


def case_console_help_and_nesting(box):
    # On the console: "help NAME" and "? NAME" only print, for every command
    # the listing names (before, "help quit" ended the console and so the
    # daemon); nested "source" stops at 16 levels with one refusal line.
    box.ini(NO_DEBUG_INI)

    def start(port):
        # At info level: the listing's rows come without verb lines between.
        console = Console(box, "pipe", "-l", "info", "-s", f"nbd_server_port={port}")
        wait_serving(console.p, [port], console.text)
        return console

    c = launch_on_free_port(start)
    at = c.wait_text(b"zorv>")
    marks = iter(range(1, 1 << 30))

    def run(line):
        nonlocal at
        mark = f"done-{next(marks)}."
        c.send(line)
        c.send(f"echo {mark}")
        start, at = at, c.wait_text(mark.encode(), at)
        check(c.p.poll() is None, f"the daemon runs after {line!r}")
        with c.changed:
            return c.data[start:at].decode(errors="replace")

    dvars = dvar_lines(run("show dvar"))
    check_eq(len(dvars), 2, "show dvar")
    rows = help_rows(run("help"))
    check(len(rows) >= 14, f"help rows: {rows}")
    for name, text in rows:
        for asker in ("help", "?"):
            out = run(f"{asker} {name}")
            check(text in out, f"{asker} {name} printed {out!r}")
            check_eq(dvar_lines(run("show dvar")), dvars, f"show dvar after {asker} {name}")
    for case in NESTING_CASES:
        first, refused = nesting_files(box.dir, case[0])
        check_nesting(run(f"source {first}"), case, refused)
    c.send("quit")
    rc, _ = c.wait_end()
    check_eq(rc, 0, "status after quit")


# ---- starting and detaching ----


def box_daemons(box):
    """The process ids running this sandbox's binary (a detached daemon has
    no other handle here)."""
    pids = []
    for name in os.listdir("/proc"):
        if name.isdigit() and pid_alive(int(name)):
            try:
                if os.readlink(f"/proc/{name}/exe") == box.exe:
                    pids.append(int(name))
            except OSError:
                pass
    return pids


def stop_box_daemons(box):
    """Stops them all; one that does not end on SIGTERM is killed, and fails
    the case."""
    stuck = []
    for pid in box_daemons(box):
        os.kill(pid, signal.SIGTERM)
        try:
            wait_for(lambda: not pid_alive(pid), STOP_BOUND, "the daemon to end on SIGTERM")
        except Failure:
            os.kill(pid, signal.SIGKILL)
            stuck.append(pid)
    check(not stuck, f"daemons {stuck} did not end on SIGTERM")


def detach_env(box):
    """The sandbox's environment with the slow resolver preloaded."""
    shim = os.environ.get("ZORV_E2E_RESOLVER_SHIM")
    if not shim:
        raise Failure("ZORV_E2E_RESOLVER_SHIM names no resolver shim")
    env = dict(box.env)
    env["LD_PRELOAD"] = shim
    env["ASAN_OPTIONS"] = env["ASAN_OPTIONS"] + ":verify_asan_link_order=0"
    return env


def case_detach_slow_collector(box):
    # The collector's or the syslog host's name resolves 7 s after it is
    # asked, longer than the daemon takes to serve: -d returns at once with
    # status 0, the daemon serves, and its lines reach the peer, looked up by
    # the detached process (no thread ran across the fork). Each row: the
    # [log] key, its scheme, and what the first packet must hold.
    rows = (("bsvlog", "udp://collector.slow.test:%d", b"cmdline=["),
            ("syslog", "udp://syslog.slow.test:%d", b"]: "))
    for key, url, first in rows:
        peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        peer.bind(("127.0.0.1", 0))
        try:
            box.ini("[log]\n%s=%s\n" % (key, url % peer.getsockname()[1]))
            try:
                rc, out, err, port = detach_on_free_port(box, "-q", "-l", "dbg", env=detach_env(box))
                check_eq(rc, 0, f"{key}: -d status; stderr: {err!r}")
                check("cannot detach" not in err and "at fork" not in err, f"{key}: stderr: {err!r}")
                check_eq(nbd_greeting(port), b"NBDMAGIC", f"{key}: the detached daemon serves")
                # Lines keep coming (each connection logs), so a sink that
                # dropped what came during the lookup still sends afterwards.
                peer.settimeout(1)
                deadline = time.monotonic() + RUN_TIMEOUT
                packet = None
                while packet is None and time.monotonic() < deadline:
                    try:
                        packet = peer.recv(4096)
                    except socket.timeout:
                        nbd_greeting(port)
                check(packet is not None, f"{key}: nothing reached the peer")
                check(first in packet, f"{key}: the first packet: {packet!r}")
            finally:
                stop_box_daemons(box)
        finally:
            peer.close()


def case_detach_refusals(box):
    # Each row: a -d start and what it gives: status, a line on standard
    # error, and whether the detached daemon serves NBD (or nothing of it
    # runs). A debug listener that cannot open is said with its address,
    # port and reason, and the daemon serves without it.
    fifo = box.path("plug.so")
    os.mkfifo(fifo)
    held = socket.socket()
    held.bind(("127.0.0.1", 0))
    held.listen(4)
    taken = held.getsockname()[1]
    other = socket.socket()  # another program on the NBD port: it accepts, says nothing
    other.bind(("127.0.0.1", 0))
    other.listen(4)
    busy = other.getsockname()[1]
    goes_on = "; the service goes on without it"
    rows = [
        ("plug-in FIFO", "[bd_plugins_load]\n1=%s\n" % fifo, 0,
         f"plug-in [{fifo}] refused: not a regular file", True),
        ("debug shell port taken", "[debug]\nshell_server_port=%d\n" % taken, 0,
         f"debug shell listener [127.0.0.1]:{taken} cannot be opened: Address already in use" + goes_on, True),
        ("web tool port taken", "[debug]\nhttp_server_port=%d\n" % taken, 0,
         f"debug web listener [127.0.0.1]:{taken} cannot be opened: Address already in use" + goes_on, True),
        ("debug shell port 70000", "[debug]\nshell_server_port=70000\n", 0,
         "debug shell listener [127.0.0.1]:70000 cannot be opened: not a port (1-65535)" + goes_on, True),
        ("NBD port held by another program", None, 1,
         f"Can only run one instance: 127.0.0.1:{busy} already answers", False),
    ]
    try:
        for what, section, status, line, serves in rows:
            box.ini("[zorv]\n%s" % (section or "nbd_server_port=%d\n" % busy))
            try:
                if section is not None:
                    rc, out, err, port = detach_on_free_port(box, "-q")
                else:
                    rc, out, err = box.run("-q", "-d")
                check_eq(rc, status, f"{what}: status; stderr: {err!r}")
                check(line in err, f"{what}: {line!r} on standard error: {err!r}")
                if serves:
                    check_eq(nbd_greeting(port), b"NBDMAGIC", f"{what}: the detached daemon serves")
                else:
                    check_eq(box_daemons(box), [], f"{what}: no daemon left")
            finally:
                stop_box_daemons(box)
        # In the foreground the same report, and the console goes on.
        box.ini("[debug]\nshell_server_port=%d\n" % taken)
        c = console_on_free_port(box, "pipe")
        port = c.port
        c.wait_text(f"debug shell listener [127.0.0.1]:{taken} cannot be opened: Address already in use{goes_on}"
                    .encode())
        check_eq(nbd_greeting(port), b"NBDMAGIC", "the foreground daemon serves")
        rc, _ = c.stop(signal.SIGTERM)
        check_eq(rc, 0, "the foreground daemon's status")
    finally:
        held.close()
        other.close()


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        sys.stderr.write(f"usage: {sys.argv[0]} <zorv> <{'|'.join(CASES)}>\n")
        return 2
    box = Sandbox(sys.argv[1])
    try:
        CASES[sys.argv[2]](box)
    except (Failure, subprocess.TimeoutExpired) as e:
        sys.stderr.write(f"FAILED {sys.argv[2]}: {e}\n")
        return 1
    except Skipped as e:
        print(f"skipped {sys.argv[2]}: {e}")
        return 77
    finally:
        box.close()
    print(f"ok {sys.argv[2]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
