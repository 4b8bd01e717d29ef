"""The daemon at the machine's limits: in a small memory cgroup with large
requests from several clients, and out of threads under a user's process
limit with a client that keeps connecting. A case the machine cannot set
up (no writable memory cgroup, no way to run as another user) is skipped
with its reason; when every case skips, the script exits 77.

Run: limits_e2e.py SERVER_BINARY [unittest arguments...]
"""
import os
import re
import resource
import shutil
import socket
import stat
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from nbd_server import *  # noqa: E402,F401,F403

BINARY = None
MiB = 1 << 20
ENOMEM = 12
# The sanitizer's quarantine would keep every freed 32 MiB buffer mapped for
# a while: in a small cgroup that alone would fill it. Not a daemon setting.
SANITIZER_ENV = {"ASAN_OPTIONS": "quarantine_size_mb=0:detect_leaks=0:allocator_may_return_null=1"}


def read_text(path):
    with open(path) as f:
        return f.read()


def write_text(path, text):
    with open(path, "w") as f:
        f.write(text)


class MemoryCgroup:
    """A memory cgroup of its own below this process's, limited to limit
    bytes: the unified hierarchy's where it has the memory controller, else
    the memory controller's own (v1). reason says why none could be made."""

    def __init__(self, limit):
        self.path, self.reason, self.version = None, None, None
        try:
            self._make(limit)
        except OSError as e:
            self.reason = "no memory cgroup can be made here: %s" % e
            self.remove()
            self.path = None

    def _make(self, limit):
        lines = read_text("/proc/self/cgroup").splitlines()
        name = "zorv-e2e-%d" % os.getpid()
        for line in lines:
            _, ctrls, rel = line.split(":", 2)
            if ctrls == "":
                for root in ("/sys/fs/cgroup", "/sys/fs/cgroup/unified"):
                    parent = root + rel.rstrip("/")
                    try:
                        have = read_text(os.path.join(parent, "cgroup.subtree_control")).split()
                    except OSError:
                        continue
                    if "memory" in have:
                        self.path, self.version = os.path.join(parent, name), 2
                        os.mkdir(self.path)
                        write_text(os.path.join(self.path, "memory.max"), str(limit))
                        write_text(os.path.join(self.path, "memory.swap.max"), "0")
                        return
            elif "memory" in ctrls.split(","):
                parent = "/sys/fs/cgroup/memory" + rel.rstrip("/")
                if os.path.isdir(parent):
                    self.path, self.version = os.path.join(parent, name), 1
                    os.mkdir(self.path)
                    write_text(os.path.join(self.path, "memory.limit_in_bytes"), str(limit))
                    return
        self.reason = "neither cgroup v2 with the memory controller nor a v1 memory controller is mounted"

    def enter(self):
        """In the child before exec: moves it into the cgroup."""
        write_text(os.path.join(self.path, "cgroup.procs"), "0" if self.version == 2 else str(os.getpid()))

    def oom_kills(self):
        name = "memory.events" if self.version == 2 else "memory.oom_control"
        for line in read_text(os.path.join(self.path, name)).splitlines():
            key, _, value = line.partition(" ")
            if key == "oom_kill":
                return int(value)
        return 0

    def remove(self):
        if self.path and os.path.isdir(self.path):
            for _ in range(50):
                try:
                    os.rmdir(self.path)
                    return
                except OSError:
                    time.sleep(0.1)


class MemoryLimit(unittest.TestCase):
    """Four sessions each with a 32 MiB WRITE and a 32 MiB READ in flight,
    the daemon in a 96 MiB memory cgroup (without the request buffer budget
    the kernel kills it): it lives, every request is served or answered ENOMEM, and every
    acknowledged write is on the medium."""

    def test_large_requests_of_four_sessions_in_a_96_mib_cgroup(self):
        cg = MemoryCgroup(96 * MiB)
        if cg.path is None:
            self.skipTest(cg.reason)
        self.addCleanup(cg.remove)
        srv = Server(BINARY, "daemon", readonly=False, env=SANITIZER_ENV, preexec=cg.enter)
        self.addCleanup(srv.close)
        srv.start()
        length, sessions = 32 * MiB, 4
        img = make_file(srv.path("disk.img"), length * sessions)
        results = [None] * sessions

        def session(i):
            r = Raw(srv.port, timeout=60)
            try:
                r.greet()
                r.go(img)
                data = bytes([i + 1]) * length
                # Both in flight at once: the READ follows the WRITE's payload unanswered.
                r.request(CMD_WRITE, i * length, length, handle=1, data=data)
                r.request(CMD_READ, i * length, length, handle=2)
                werr, wh, _ = r.simple_reply()
                rerr, rh, got = r.simple_reply(length)
                expect = data if werr == 0 else bytes(length)
                results[i] = (wh, werr, rh, rerr, rerr != 0 or got == expect)
            except (OSError, EOFError, AssertionError) as e:
                results[i] = e
            finally:
                r.close()

        threads = [threading.Thread(target=session, args=(i,)) for i in range(sessions)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertIsNone(srv.proc.poll(), "the daemon ended:\n" + srv.log_text()[-3000:])
        self.assertEqual(cg.oom_kills(), 0)
        served = 0
        with open(img, "rb") as f:
            for i, res in enumerate(results):
                with self.subTest(session=i):
                    self.assertIsInstance(res, tuple, res)
                    wh, werr, rh, rerr, matches = res
                    self.assertEqual((wh, rh), (1, 2))
                    self.assertIn(werr, (0, ENOMEM))
                    self.assertIn(rerr, (0, ENOMEM))
                    self.assertTrue(matches, "the READ returned other bytes than the region holds")
                    served += (werr == 0) + (rerr == 0)
                    f.seek(i * length)
                    if werr == 0:
                        self.assertEqual(f.read(length), bytes([i + 1]) * length, "an acknowledged write is lost")
        print("%d of %d large requests served, the rest ENOMEM" % (served, 2 * sessions))
        # Still serving.
        r = Raw(srv.port)
        self.addCleanup(r.close)
        r.greet()
        r.go(img)
        r.request(CMD_READ, 0, 4096)
        self.assertEqual(r.simple_reply(4096)[0], 0)
        self.assertEqual(srv.stop(), 0, srv.log_text()[-3000:])


def unused_uid():
    """A user id no process of the machine runs as."""
    taken = set()
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open("/proc/%s/status" % pid) as f:
                    for line in f:
                        if line.startswith("Uid:"):
                            taken.update(int(v) for v in line.split()[1:])
            except OSError:
                pass
    uid = 40000 + os.getpid() % 20000
    while uid in taken:
        uid += 1
    return uid


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def settled_threads(pid):
    """The daemon's thread count once it has stayed the same for a second
    (a session that ended may still be leaving)."""
    last, since = None, time.monotonic()
    deadline = since + 15
    while time.monotonic() < deadline:
        n = len(os.listdir("/proc/%d/task" % pid))
        if n != last:
            last, since = n, time.monotonic()
        elif time.monotonic() - since >= 1:
            break
        time.sleep(0.1)
    return last


REFUSAL = re.compile(r"refused since the last report")
LOG_LINE = re.compile(r"\d\d:\d\d:\d\d \[\d+\]")


class ThreadLimit(unittest.TestCase):
    """The daemon as a user of its own whose process limit is set, once it
    serves, to the threads it runs: every session it is asked for cannot get
    a thread. 60 NBD connects and 60 debug-shell connects in a row, then one
    of each a second later, give at most a few lines, which count them all,
    and the daemon still stops cleanly."""

    def test_refused_sessions_are_logged_once_a_second_with_their_count(self):
        if os.geteuid() != 0:
            self.skipTest("running as another user needs root")
        self.reachable_copy()
        uid = unused_uid()
        # The threads the daemon runs once it has served a session of each
        # kind: a first run counts them, the second runs with that limit.
        probe = self.start_as(uid, None)
        self.serve_once(probe)
        threads = settled_threads(probe.proc.pid)
        self.assertEqual(probe.stop(), 0, probe.log_text()[-3000:])
        srv = self.start_as(uid, threads)
        before = srv.log_text()

        def refused(port):
            """Connects and waits for the daemon to close the connection."""
            with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                return s.recv(1) == b""

        for port in (srv.port, srv.shell_port):
            for _ in range(60):
                self.assertTrue(refused(port))
        time.sleep(1.2)
        for port in (srv.port, srv.shell_port):
            self.assertTrue(refused(port))
        time.sleep(0.3)
        # Log lines only (the console's prompt shares the output), colours removed.
        text = re.sub(r"\x1b\[[0-9;]*m", "", srv.log_text()[len(before):])
        lines = [l for l in text.splitlines() if LOG_LINE.search(l)]
        print("\n".join(lines))
        counts = {"session from": 0, "netsh_srv": 0}
        lines_of = {key: 0 for key in counts}
        for line in lines:
            self.assertRegex(line, REFUSAL)
            n = int(re.search(r"\((\d+) refused since the last report\)", line).group(1))
            for key in counts:
                if key in line:
                    counts[key] += n
                    lines_of[key] += 1
        self.assertEqual(counts, {"session from": 61, "netsh_srv": 61})
        # One a second: the first refusal, one if the burst outlasts a
        # second, the one a second later (two per connect before).
        for key, n in lines_of.items():
            self.assertLessEqual(n, 4, "%s:\n%s" % (key, "\n".join(lines)))

        self.assertEqual(srv.stop(), 0, srv.log_text()[-3000:])

    def reachable_copy(self):
        """The daemon runs as a user of its own, who may not enter the build
        tree (a clone under a 0700 home): its binary and its directories are
        then taken from below /tmp."""
        def others_may_enter(path):
            p = os.path.abspath(path)
            while True:
                if not os.stat(p).st_mode & stat.S_IXOTH:
                    return False
                if p == os.path.dirname(p):
                    return True
                p = os.path.dirname(p)

        self.binary = BINARY
        if others_may_enter(os.path.dirname(BINARY)) and others_may_enter(tempfile.gettempdir()):
            return
        if not others_may_enter("/tmp"):
            self.skipTest("neither the build tree nor /tmp may be entered by another user")
        saved = tempfile.tempdir
        tempfile.tempdir = "/tmp"
        self.addCleanup(setattr, tempfile, "tempdir", saved)
        where = tempfile.mkdtemp(prefix="zorv-limits-")
        self.addCleanup(shutil.rmtree, where, True)
        os.chmod(where, 0o755)
        self.binary = shutil.copy2(BINARY, os.path.join(where, "zorv"))

    def start_as(self, uid, nproc):
        """The daemon as user uid, with a process limit of nproc when given."""
        def as_user():
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
            if nproc is not None:
                resource.setrlimit(resource.RLIMIT_NPROC, (nproc, nproc))

        srv = Server(self.binary, "daemon", env=SANITIZER_ENV, preexec=as_user)
        self.addCleanup(srv.close)
        srv.cmd += ["-s", "debug_server_port=%d" % free_port()]
        srv.shell_port = int(srv.cmd[-1].split("=")[1])
        os.chown(srv.dir.name, uid, uid)
        for name in os.listdir(srv.dir.name):
            os.chown(srv.path(name), uid, uid)
        srv.start()
        srv.img = make_file(srv.path("disk.img"), MiB)
        os.chown(srv.img, uid, uid)
        return srv

    def serve_once(self, srv):
        r = Raw(srv.port)
        r.greet()
        r.go(srv.img)
        r.request(CMD_READ, 0, 512)
        self.assertEqual(r.simple_reply(512)[0], 0)
        r.close()
        with socket.create_connection(("127.0.0.1", srv.shell_port), timeout=10) as s:
            s.sendall(b"echo x\n")
            self.assertEqual(s.recv(64)[:1], b"x")


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv[1])
    result = unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2, exit=False).result
    if result.testsRun > 0 and len(result.skipped) == result.testsRun:
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)
