"""Starting and stopping the NBD server under test, and raw protocol helpers.

The server is either the zorv daemon (in the foreground with standard input
at its end, so that only a stop signal ends it, on a free loopback port,
read-write when asked) or the bare listener nbd_test_server. Each test gets
its own server and temporary directory, and both are cleaned up. A server
on a free port is started through zorv_e2e.launch_on_free_port.
"""
import os
import sys
import signal
import socket
import struct
import subprocess
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zorv_e2e  # noqa: E402

OPTS_MAGIC = 0x49484156454F5054
REP_MAGIC = 0x0003E889045565A9
REQ_MAGIC = 0x25609513
REPLY_MAGIC = 0x67446698

OPT_EXPORT_NAME, OPT_ABORT, OPT_LIST, OPT_STARTTLS, OPT_INFO, OPT_GO = 1, 2, 3, 5, 6, 7
REP_ACK, REP_SERVER, REP_INFO = 1, 2, 3
REP_ERR_UNSUP, REP_ERR_POLICY, REP_ERR_INVALID, REP_ERR_UNKNOWN = 0x80000001, 0x80000002, 0x80000003, 0x80000006
CMD_READ, CMD_WRITE, CMD_DISC, CMD_FLUSH, CMD_TRIM, CMD_WRITE_ZEROES = 0, 1, 2, 3, 4, 6


def wait_listening(port, proc, seconds=15):
    """Until proc itself listens on port (another process may hold it)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("server ended with status %d" % proc.returncode)
        if port in zorv_e2e.listening_ports(proc.pid):
            return
        time.sleep(0.05)
    raise RuntimeError("server did not listen on %d" % port)


class Server:
    """kind is "daemon" (the zorv binary) or "bare" (nbd_test_server). port,
    when given, is the test's own; otherwise start picks one."""

    def __init__(self, binary, kind, readonly=True, port=None, env=None, preexec=None):
        self.binary, self.kind = binary, kind
        self.dir = tempfile.TemporaryDirectory(prefix="zorv-e2e-")
        self.port = self.own_port = port
        self.log = open(os.path.join(self.dir.name, "server.log"), "w+")
        ro = "1" if readonly else "0"
        # The port is the first argument after the first "-s" (the daemon) or
        # the first argument (bare), set by each start.
        if kind == "daemon":
            conf = os.path.join(self.dir.name, "zorv.ini")
            with open(conf, "w") as f:
                f.write("[zorv]\nnbd_server_addr=127.0.0.1\nnbd_readonly=%s\n" % ("true" if readonly else "false"))
            cmd = [binary, "-q", "-c", conf, "-s", "nbd_server_port=%d" % (port or 0),
                   "-s", "nbd_readonly_flag=" + ro, "-l", "warn"]
        else:
            cmd = [binary, str(port or 0), ro, "warn"]
        self.cmd = cmd
        self.env = dict(os.environ, **(env or {}))
        self.preexec = preexec  # run in the server's own child before it starts (limits)
        self.proc = None

    def start(self, expect_listen=True):
        if self.own_port is not None:
            self._spawn(self.own_port)
            if expect_listen:
                wait_listening(self.port, self.proc)
        else:
            zorv_e2e.launch_on_free_port(self._start_on)
        return self

    def _spawn(self, port):
        self.port = port
        if self.kind == "daemon":
            self.cmd[self.cmd.index("-s") + 1] = "nbd_server_port=%d" % port
        else:
            self.cmd[1] = str(port)
        self.log.seek(0)
        self.log.truncate()
        self.proc = subprocess.Popen(self.cmd, stdout=self.log, stderr=self.log, stdin=subprocess.DEVNULL,
                                     cwd=self.dir.name, start_new_session=True, env=self.env,
                                     preexec_fn=self.preexec)

    def _start_on(self, port):
        """Raises PortTaken when another process took port first (the bare
        listener then ends with status 255)."""
        self._spawn(port)
        try:
            wait_listening(port, self.proc)
        except RuntimeError:
            status = self.stop()
            if (self.kind == "bare" and status == 255) or zorv_e2e.port_taken(self.log_text(), [port]):
                raise zorv_e2e.PortTaken(self.log_text())
            raise

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def uri(self, export):
        return "nbd://127.0.0.1:%d/%s" % (self.port, export)

    def rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self, timeout=10):
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None
        finally:
            self.proc = None

    def close(self):
        self.stop()
        self.log.close()
        self.dir.cleanup()

    def log_text(self):
        self.log.flush()
        with open(self.log.name, errors="replace") as f:
            return f.read()


def make_file(path, size, data=None):
    with open(path, "wb") as f:
        if data:
            f.write(data)
        f.truncate(size)
    return path


class Raw:
    """A plain socket speaking the protocol byte by byte."""

    def __init__(self, port, timeout=10):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=timeout)

    def close(self):
        self.s.close()

    def recv(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.s.recv(n - len(buf))
            if not chunk:
                raise EOFError("closed after %d of %d bytes" % (len(buf), n))
            buf += chunk
        return buf

    def closed(self, wait=5):
        """True when the server closed the connection (nothing more comes)."""
        self.s.settimeout(wait)
        try:
            return self.s.recv(1) == b""
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False

    def greet(self, no_zeroes=True):
        g = self.recv(18)
        self.s.sendall(struct.pack(">I", 3 if no_zeroes else 1))
        return g

    def option(self, opt, data=b"", length=None):
        self.s.sendall(struct.pack(">QII", OPTS_MAGIC, opt, len(data) if length is None else length) + data)

    def reply(self):
        magic, opt, rtype, length = struct.unpack(">QIII", self.recv(20))
        assert magic == REP_MAGIC, hex(magic)
        return opt, rtype, self.recv(length)

    def go(self, name, reqs=(), opt=OPT_GO):
        n = name.encode()
        self.option(opt, struct.pack(">I", len(n)) + n + struct.pack(">H", len(reqs)) +
                    b"".join(struct.pack(">H", r) for r in reqs))
        replies = []
        while True:
            r = self.reply()
            replies.append(r)
            if r[1] != REP_INFO:
                return replies

    def request(self, cmd, offset=0, length=0, flags=0, handle=0x1122334455667788, data=b"", magic=REQ_MAGIC):
        self.s.sendall(struct.pack(">IHHQQI", magic, flags, cmd, handle, offset, length) + data)

    def simple_reply(self, data_len=0):
        magic, err, handle = struct.unpack(">IIQ", self.recv(16))
        assert magic == REPLY_MAGIC, hex(magic)
        return err, handle, self.recv(data_len) if err == 0 and data_len else b""
