#!/usr/bin/env python3
"""End-to-end tests of the debug web tool: the built daemon with a web port,
driven by raw HTTP clients and by the system's headless Chromium through its
DevTools protocol (a small standard-library WebSocket client; nothing is
downloaded). Screenshots of the browser case are kept in the output
directory. Every wait is bounded.

Usage: web_e2e.py <zorv binary> <output dir> <case>
Exit status 77 (skipped) when the browser case finds no Chromium.
"""

import base64
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

# The daemon harness's helpers: failures, bounded waits, the launch on free ports.
sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zorv_e2e import (Failure, PortTaken, check, launch_on_free_port, listening_ports,  # noqa: E402
                      port_taken, wait_for)

SKIP = 77
CHROMIUM_NAMES = ("/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/bin/google-chrome")



def http_get(port, target, headers="", source=None):
    """The raw reply bytes of one GET (sent from the loopback address source when given)."""
    with socket.create_connection(("127.0.0.1", port), timeout=15,
                                  source_address=(source, 0) if source else None) as s:
        s.sendall(f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{headers}\r\n".encode())
        got = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return got
            got += chunk


def body_of(reply):
    return reply.split(b"\r\n\r\n", 1)[1].decode()


class Daemon:
    """The daemon in the foreground of a temporary directory, with a web port
    (and a debug shell port, shell_port, when shell is true)."""

    def __init__(self, binary, extra_ini="", shell=False):
        self.dir = tempfile.mkdtemp(prefix="zorv_web_")
        self.exe = os.path.join(self.dir, "zorv")
        shutil.copy2(binary, self.exe)
        self.extra_ini = extra_ini
        self.shell = shell
        self.nbd_port = self.web_port = self.shell_port = None
        env = dict(os.environ)
        env.pop("QD_ENV_LOG_LEVEL", None)
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        self.proc = None
        self.env = env

    def launch(self, serving="web"):
        """Starts the daemon on free ports, through launch_on_free_port, until
        it listens on its serving ("web" or "nbd") port (and its shell port)."""
        launch_on_free_port(lambda *ports: self._launch_once(serving, *ports), 3)

    def _launch_once(self, serving, nbd_port, web_port, shell_port):
        """Returns once the daemon listens on its serving port; raises
        PortTaken when a port was taken."""
        self.nbd_port, self.web_port = nbd_port, web_port
        self.shell_port = shell_port if self.shell else None
        shell = f"shell_server_port={shell_port}\nshell_server_addr=127.0.0.1\n" if self.shell else ""
        with open(os.path.join(self.dir, "zorv.ini"), "w") as f:
            f.write(f"[zorv]\nnbd_server_port={self.nbd_port}\n[debug]\nhttp_server_port={self.web_port}\n"
                    f"http_server_addr=127.0.0.1\n{shell}{self.extra_ini}")
        # Its output goes to files: a pipe nobody reads would stop a daemon that logs much.
        self.out = open(os.path.join(self.dir, "out.log"), "w")
        self.err = open(os.path.join(self.dir, "err.log"), "w")
        self.proc = subprocess.Popen([self.exe, "-q"], cwd=self.dir, env=self.env, stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=self.err)

        def err_text():
            with open(os.path.join(self.dir, "err.log")) as f:
                return f.read()

        # The port must be the daemon's own: another process may hold it.
        # A daemon that serves no web tool on purpose says why, and no
        # listener of a port picked here says its port is in use.
        ports = {self.web_port} if serving == "web" else {self.nbd_port}
        if self.shell:
            ports.add(self.shell_port)
        picked = ports | {self.nbd_port, self.web_port}
        wait_for(lambda: ports <= listening_ports(self.proc.pid) or self.proc.poll() is not None
                 or port_taken(err_text(), picked), 20, f"the {serving} port")
        if ports <= listening_ports(self.proc.pid):
            return
        if port_taken(err_text(), picked):
            self.close_process()
            raise PortTaken(err_text())
        raise Failure("daemon ended at start: " + err_text())

    def missing(self, name):
        """The path of name (bytes) in a directory missing from the daemon's own."""
        return os.fsencode(self.dir) + b"/missing/" + name

    def start(self):
        self.launch()
        page = body_of(http_get(self.web_port, "/"))
        m = re.search(r'var TOKEN="(\d{8})";', page)
        check(m is not None, "no token in the page")
        self.token = m.group(1)
        return self

    def cmd(self, command):
        q = urllib.parse.urlencode({"token": self.token, "command": command})
        return json.loads(body_of(http_get(self.web_port, "/cmd?" + q)))[0]["resp"]

    def stop(self):
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
                raise Failure("daemon did not stop on SIGTERM")
        return self.proc.returncode

    def close_process(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)
        for f in (getattr(self, "out", None), getattr(self, "err", None)):
            if f:
                f.close()

    def close(self):
        self.close_process()
        shutil.rmtree(self.dir, ignore_errors=True)


class DevTools:
    """A minimal client of Chromium's DevTools protocol over one WebSocket."""

    def __init__(self, ws_url):
        u = urllib.parse.urlparse(ws_url)
        self.sock = socket.create_connection((u.hostname, u.port), timeout=30)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {u.path} HTTP/1.1\r\nHost: {u.hostname}:{u.port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n")
                          .encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            check(chunk, "DevTools closed during the handshake")
            head += chunk
        check(head.startswith(b"HTTP/1.1 101"), "DevTools refused the WebSocket: " + head.decode(errors="replace"))
        self.next_id = 0

    def _recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            check(chunk, "DevTools closed")
            data += chunk
        return data

    def _send(self, text):
        payload = text.encode()
        head = bytes([0x81])
        n = len(payload)
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 65536:
            head += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", n)
        mask = os.urandom(4)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def _recv(self):
        message = b""
        while True:
            b0, b1 = self._recv_exact(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._recv_exact(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._recv_exact(8))[0]
            data = self._recv_exact(n)
            if b0 & 0x0F == 0x9:  # ping
                continue
            message += data
            if b0 & 0x80:
                return json.loads(message.decode())

    def call(self, method, **params):
        self.next_id += 1
        ident = self.next_id
        self._send(json.dumps({"id": ident, "method": method, "params": params}))
        while True:
            msg = self._recv()
            if msg.get("id") == ident:
                check("error" not in msg, f"{method}: {msg.get('error')}")
                return msg.get("result", {})

    def js(self, expression):
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        check("exceptionDetails" not in r, f"script failed: {expression}: {r.get('exceptionDetails')}")
        return r["result"].get("value")

    def key(self, key, code, text="", modifiers=0, vk=0):
        common = {"key": key, "code": code, "modifiers": modifiers, "windowsVirtualKeyCode": vk}
        self.call("Input.dispatchKeyEvent", type="keyDown" if text else "rawKeyDown", text=text, **common)
        self.call("Input.dispatchKeyEvent", type="keyUp", **common)

    def type_text(self, text):
        self.call("Input.insertText", text=text)

    def double_click(self, x, y):
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=2)

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))


class Browser:
    """Headless Chromium on a private profile; its page target's DevTools."""

    def __init__(self, exe):
        self.profile = tempfile.mkdtemp(prefix="zorv_chromium_")
        self.proc = subprocess.Popen(
            [exe, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
             "--disable-extensions", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--metrics-recording-only", "--remote-debugging-port=0", "--window-size=1280,800",
             "--user-data-dir=" + self.profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            port_file = os.path.join(self.profile, "DevToolsActivePort")
            wait_for(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0, 30,
                     "Chromium's DevTools port")
            with open(port_file) as f:
                port = int(f.readline())
            targets = wait_for(lambda: self._page_targets(port), 15, "a page target")
            self.tools = DevTools(targets[0]["webSocketDebuggerUrl"])
        except BaseException:
            self.close()
            raise

    @staticmethod
    def _page_targets(port):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                # The WebSocket URLs in the answer are built from this Host.
                s.sendall(f"GET /json/list HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
                got = b""
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    got += chunk
                    head, _, body = got.partition(b"\r\n\r\n")
                    m = re.search(rb"Content-Length:\s*(\d+)", head, re.I)
                    if m and len(body) >= int(m.group(1)):
                        break
            return [t for t in json.loads(body.decode()) if t.get("type") == "page"]
        except (OSError, ValueError):
            return None

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
        # Its helper processes may outlive it and still write the profile.
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        shutil.rmtree(self.profile, ignore_errors=True)


def case_browser(binary, outdir):
    exe = next((p for p in CHROMIUM_NAMES if os.access(p, os.X_OK)), None)
    if exe is None:
        print("browser case skipped: no Chromium installed")
        return SKIP
    d = Daemon(binary)
    browser = None
    try:
        d.start()
        browser = Browser(exe)
        t = browser.tools
        t.call("Page.enable")
        t.call("Page.navigate", url=f"http://127.0.0.1:{d.web_port}/?dp=pconsole")
        wait_for(lambda: t.js("document.readyState === 'complete' && !!document.getElementById('cmd')"), 20,
                 "the page")
        check(t.js("document.title") == "ZORV Web Debug Tool", "page title")
        check(t.js("document.getElementById('psa').textContent") == "zorv>", "console prompt")

        # Console: typed on the keyboard, answered in the view.
        t.js("document.getElementById('cmd').focus()")
        t.type_text("show dvar")
        t.key("Enter", "Enter", text="\r", vk=13)
        answer = wait_for(lambda: (lambda s: s if "nbd_readonly_flag=1" in s else None)(
            t.js("document.getElementById('out').textContent")), 20, "the answer of show dvar")
        check("log.level=info" in answer, "show dvar answer: " + answer)
        # The session's history: arrow up brings the command back.
        t.key("ArrowUp", "ArrowUp", vk=38)
        check(t.js("document.getElementById('cmd').value") == "show dvar", "history recall")
        t.key("Escape", "Escape", vk=27)
        t.screenshot(os.path.join(outdir, "web_console.png"))

        # Setting: Alt+3, double-click the value of log.level, pick "dbg".
        t.key("3", "Digit3", modifiers=1, vk=51)
        wait_for(lambda: t.js("document.querySelectorAll('#stable tbody tr').length") >= 2, 20, "the settings table")
        box = t.js("(function(){var td=[...document.querySelectorAll('#stable td.val')]"
                   ".find(function(c){return c.dataset.name==='log.level';});"
                   "var r=td.getBoundingClientRect();return [r.x+r.width/2,r.y+r.height/2];})()")
        t.double_click(box[0], box[1])
        wait_for(lambda: t.js("!!document.querySelector('#stable td.val select')"), 10, "the level list")
        check(t.js("[...document.querySelector('#stable td.val select').options].map(o=>o.value).join('/')")
              .startswith("verb/dbg/info"), "level choices")
        t.js("(function(){var s=document.querySelector('#stable td.val select');s.value='dbg';"
             "s.dispatchEvent(new Event('change'));})()")
        wait_for(lambda: t.js("!!document.querySelector('#stable .ok')"), 20, "the saved mark")
        t.screenshot(os.path.join(outdir, "web_setting.png"))
        check("log.level=dbg" in d.cmd("show dvar"), "log.level changed through the page")

        # Log View: a debug line appears now that the level is dbg, coloured by level.
        t.key("2", "Digit2", modifiers=1, vk=50)
        d.cmd("call tlog")
        wait_for(lambda: t.js("[...document.querySelectorAll('#logbody div')]"
                              ".some(function(d){return /log_debug/.test(d.textContent)&&d.className==='debug';})"),
                 20, "the debug line in the Log View")
        check(t.js("[...document.querySelectorAll('#logbody div')]"
                   ".some(function(d){return /log_error/.test(d.textContent)&&d.className==='error';})"),
              "error line coloured as error")
        colours = t.js("(function(){var o={};[...document.querySelectorAll('#logbody div')].forEach(function(d){"
                       "o[d.className]=getComputedStyle(d).color;});return o;})()")
        check(len(set(colours.values())) >= 3, f"levels share colours: {colours}")
        t.screenshot(os.path.join(outdir, "web_log.png"))
        print("screenshots in", outdir)
    finally:
        if browser:
            browser.close()
        status = d.stop()
        d.close()
    check(status == 0, f"daemon exit status {status}")
    return 0


def case_cmd_exit(binary, outdir):
    """"exit" through "/cmd" gets its reply and stops the daemon (-d loop)."""
    d = Daemon(binary)
    try:
        d.start()
        check(d.cmd("echo up") == "up\n", "echo")
        check(d.cmd("exit") == "", "exit reply")
        wait_for(lambda: d.proc.poll() is not None, 10, "the daemon's end after exit")
        check(d.proc.returncode == 0, f"exit status {d.proc.returncode}")
    finally:
        d.close()
    return 0


def case_concurrent(binary, outdir):
    """50 "/cmd" requests at once, each with its own answer, then a clean stop."""
    d = Daemon(binary)
    try:
        d.start()
        replies = [None] * 50

        def one(i):
            replies[i] = d.cmd(f"echo request-{i}")

        threads = [threading.Thread(target=one, args=(i,)) for i in range(50)]
        for th in threads:
            th.start()
        for th in threads:
            th.join(60)
        for i, r in enumerate(replies):
            check(r == f"request-{i}\n", f"reply {i}: {r!r}")
        check(d.stop() == 0, "exit status")
    finally:
        d.close()
    return 0


def case_credentials(binary, outdir):
    """Basic authentication from zorv.ini: 401 without, the page with."""
    d = Daemon(binary, "http_server_user=admin\nhttp_server_pwd=s3cret\n")
    try:
        d.launch()
        r = http_get(d.web_port, "/")
        check(r.startswith(b"HTTP/1.1 401 Please Authenticate\r\n"), r[:80])
        check(b'WWW-Authenticate: Basic realm="qaldo"\r\n' in r, "realm")
        auth = "Authorization: Basic " + base64.b64encode(b"admin:s3cret").decode() + "\r\n"
        r = http_get(d.web_port, "/", auth)
        check(r.startswith(b"HTTP/1.1 200 Output Follows\r\n") and b"var TOKEN=" in r, r[:80])
        r = http_get(d.web_port, "/favicon.ico")
        check(r.startswith(b"HTTP/1.1 200 Output Follows\r\n") and b"\x89PNG" in r, "icon without credentials")
        check(d.stop() == 0, "exit status")
    finally:
        d.close()
    return 0


def case_browser_log_direct(binary, outdir):
    """An export name holding markup, opened straight at "/log" in Chromium:
    shown as JSON text, never run as a page of the tool's origin."""
    exe = next((p for p in CHROMIUM_NAMES if os.access(p, os.X_OK)), None)
    if exe is None:
        print("browser case skipped: no Chromium installed")
        return SKIP
    d = Daemon(binary)
    browser = None
    try:
        d.start()
        name = d.missing(b"<script>window.pwned=1</script><img src=x onerror=window.pwned=2>")
        check(nbd_raw_go(d.nbd_port, name)[-1] & 0x80000000, "the name was served")
        browser = Browser(exe)
        t = browser.tools
        t.call("Page.enable")
        t.call("Page.navigate", url=f"http://127.0.0.1:{d.web_port}/log?token={d.token}")
        wait_for(lambda: t.js("document.readyState === 'complete' && document.body !== null"), 20, "the /log reply")
        text = t.js("document.body.innerText")
        check("<script>window.pwned=1</script>" in text, "the name is not shown as text: " + text[:300])
        check(t.js("document.contentType") == "application/json", "type: " + t.js("document.contentType"))
        check(t.js("typeof window.pwned") == "undefined", "the name ran as script: " + str(t.js("window.pwned")))
        check(t.js("document.querySelectorAll('script,img').length") == 0, "the name became markup")
        t.screenshot(os.path.join(outdir, "web_log_direct.png"))
    finally:
        if browser:
            browser.close()
        status = d.stop()
        d.close()
    check(status == 0, f"daemon exit status {status}")
    return 0


# The daemon's log file in its own directory (beside the console's err.log).
LOG_INI = "[log]\nlevel={level}\nfile_dir=.\nfile=zorv.log\n"


def basic_auth(user_pass):
    return "Authorization: Basic " + base64.b64encode(user_pass).decode() + "\r\n"


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def case_lockout(binary, outdir):
    """Five wrong passwords lock one address out: the right one then gets the
    401 reply with the checker's text and changes nothing; another address is
    served; each failure is one warn line naming address and user."""
    d = Daemon(binary, "http_server_user=admin\nhttp_server_pwd=s3cretPW\n" + LOG_INI.format(level="info"))
    try:
        d.launch()
        good = basic_auth(b"admin:s3cretPW")
        for i in range(5):
            r = http_get(d.web_port, "/metrics", basic_auth(f"admin:wrong-{i}".encode()))
            check(r.startswith(b"HTTP/1.1 401 Please Authenticate\r\n") and b"Login failed" not in r, r[:80])
        r = http_get(d.web_port, "/metrics", good)
        check(r.startswith(b"HTTP/1.1 401 Please Authenticate\r\n"), r[:80])
        check(re.search(rb"\r\n\r\n\nLogin failed 5 times, Please try again in 1[45]\.\d\d minutes$", r), r)
        page = http_get(d.web_port, "/", good, source="127.0.0.2")
        check(page.startswith(b"HTTP/1.1 200 Output Follows\r\n"), "another address: " + repr(page[:80]))
        token = re.search(rb'var TOKEN="(\d{8})";', page).group(1).decode()
        r = http_get(d.web_port, f"/update?token={token}&name=log.level&value=err", good)
        check(b"Login failed 5 times" in r, "locked update: " + repr(r[-80:]))
        r = http_get(d.web_port, f"/cmd?token={token}&command=show%20dvar", good, source="127.0.0.2")
        check(b"log.level=info" in r, "the locked request changed the level: " + repr(r[-80:]))
        r = http_get(d.web_port, "/metrics", basic_auth(b"admin:s3cretPW\0junk"), source="127.0.0.3")
        check(r.startswith(b"HTTP/1.1 401 Please Authenticate\r\n"), "NUL credentials: " + repr(r[:80]))
        check(d.stop() == 0, "exit status")
        log = read_bytes(os.path.join(d.dir, "zorv.log")).decode(errors="replace")
        fails = re.findall(r"WARN .* ip=\[127\.0\.0\.1\] user=\[admin\] wrong pwd\n", log)
        check(len(fails) == 5, "warn lines of the failures:\n" + log)
        check("ip=[127.0.0.1] error: Login failed 5 times" in log, "lock line:\n" + log)
        check("ip=[127.0.0.3] user=[admin] credentials with a NUL byte" in log, "NUL line:\n" + log)
        check("wrong-" not in log and "s3cretPW" not in log and "junk" not in log, "a password in the log:\n" + log)
    finally:
        d.close()
    return 0


def case_half_credentials(binary, outdir):
    """Only one of user and password: the web tool does not start, and an err
    line says both are needed; the NBD service runs."""
    for key in ("http_server_user=admin\n", "http_server_pwd=s3cretPW\n"):
        d = Daemon(binary, key + LOG_INI.format(level="info"))
        try:
            d.launch("nbd")
            check(d.web_port not in listening_ports(d.proc.pid), key + ": the web tool listens")
            log = read_bytes(os.path.join(d.dir, "zorv.log")).decode(errors="replace")
            check(re.search(r"ERROR .* a login needs both a user and a password", log), key + ":\n" + log)
            check(d.stop() == 0, "exit status")
        finally:
            d.close()
    return 0


def case_typed_replies(binary, outdir):
    """Every route's type, and the two headers on every reply."""
    d = Daemon(binary)
    try:
        d.start()
        rows = [("/", "200", "text/html"), ("/favicon.ico", "200", "text/html"),
                ("/metrics", "200", "text/html"), ("/nosuch", "404", "text/html"),
                ("/cmd?command=echo", "403", "text/html")]
        rows += [(f"{route}?token={d.token}", "200", "application/json") for route in ("/cmd", "/log", "/config")]
        rows += [(f"/update?token={d.token}&name=log.level&value=info", "200", "application/json")]
        for target, status, ctype in rows:
            head = http_get(d.web_port, target).split(b"\r\n\r\n", 1)[0].decode(errors="replace")
            check(head.startswith(f"HTTP/1.1 {status} "), f"{target}: {head}")
            check(f"\r\nContent-Type: {ctype}\r\n" in head, f"{target}: {head}")
            check("\r\nX-Content-Type-Options: nosniff\r\n" in head, f"{target}: {head}")
            check("\r\nX-Frame-Options: DENY\r\n" in head, f"{target}: {head}")
        check(d.stop() == 0, "exit status")
    finally:
        d.close()
    return 0


# Export names a client may send, each a file missing from the daemon's
# directory (see Daemon.missing): a forged log line, terminal escapes, NUL,
# markup and invalid UTF-8.
HOSTILE_NAMES = [
    b"a\n2026-12-11 07:00:00.000000 INFO  1 --- [main] fake: admin logged in\r\n",
    b"\x1b]0;PWNED\x07\x1b[2J",
    b"nul\x00after",
    b"<script>window.pwned=1</script><img src=x onerror=window.pwned=2>",
    b"bad-utf8-\xff\xfe\xc3(\xe2\x82",
    b"c1-\xc2\x9b2J",
]


def nbd_raw_go(port, name):
    """A fixed newstyle handshake that asks for name with NBD_OPT_GO, then
    NBD_OPT_ABORT. The server's reply types, in order."""
    with socket.create_connection(("127.0.0.1", port), timeout=15) as s:
        def take(n):
            got = b""
            while len(got) < n:
                chunk = s.recv(n - len(got))
                if not chunk:
                    raise Failure("the server closed the handshake")
                got += chunk
            return got

        greeting = take(18)
        check(greeting[:16] == b"NBDMAGICIHAVEOPT", repr(greeting))
        s.sendall(struct.pack(">I", 3))
        data = struct.pack(">I", len(name)) + name + struct.pack(">H", 0)
        s.sendall(b"IHAVEOPT" + struct.pack(">II", 7, len(data)) + data)
        replies = []
        while True:
            _, _, rtype, rlen = struct.unpack(">QIII", take(20))
            take(rlen)
            replies.append(rtype)
            if rtype == 1 or rtype & 0x80000000:
                break
        s.sendall(b"IHAVEOPT" + struct.pack(">II", 2, 0))
        return replies


def nbd_raw_export_name(port, name):
    """NBD_OPT_EXPORT_NAME: a name that cannot be served ends the session."""
    with socket.create_connection(("127.0.0.1", port), timeout=15) as s:
        s.recv(18)
        s.sendall(struct.pack(">I", 3) + b"IHAVEOPT" + struct.pack(">II", 1, len(name)) + name)
        s.settimeout(10)
        try:
            while s.recv(4096):
                pass
        except OSError:
            pass


# The same names through libnbd's Python bindings (text names only: the
# bindings take no NUL and no invalid UTF-8), in Debian's python3.
LIBNBD_CLIENT = r"""
import json, sys, nbd
for name in json.load(sys.stdin):
    h = nbd.NBD()
    h.set_export_name(name)
    try:
        h.connect_tcp("127.0.0.1", sys.argv[1])
        print("served", repr(name), h.get_size())
        h.shutdown()
    except nbd.Error as e:
        print("refused", repr(name), e.string.splitlines()[0][:60])
"""


def control_bytes(text):
    """The raw control bytes of a log text, line ends left out."""
    return sorted({c for c in text if (c < 0x20 and c != 0x0a) or c == 0x7f})


def case_escaped_peer_text(binary, outdir):
    """Hostile export names from python libnbd and raw handshakes, a hostile
    HTTP request and a hostile TCP shell line: the log file, the console and
    "/log" hold no raw control byte and no invalid UTF-8."""
    python = "/usr/bin/python3"
    if subprocess.run([python, "-c", "import nbd"], capture_output=True).returncode != 0:
        print("escaping case skipped: no python3-libnbd")
        return SKIP
    d = Daemon(binary, LOG_INI.format(level="verb"), shell=True)
    try:
        d.start()
        # A file whose own name holds the hostile bytes: served, so it is logged on open and close.
        served = os.path.join(d.dir, "disk\n2026-12-11 07:00:00.000000 INFO  1 --- [main] fake\x1b]0;PWNED\x07.img")
        with open(served, "wb") as f:
            f.truncate(1 << 20)
        names = [served]
        for name in map(d.missing, HOSTILE_NAMES):
            try:
                names += [name.decode()] if b"\0" not in name else []
            except UnicodeDecodeError:
                pass
        out = subprocess.run([python, "-c", LIBNBD_CLIENT, str(d.nbd_port)], input=json.dumps(names),
                             capture_output=True, timeout=60, text=True)
        print(out.stdout, out.stderr, end="")
        check("served" in out.stdout, "the hostile file was not served: " + out.stdout + out.stderr)
        for name in map(d.missing, HOSTILE_NAMES):
            replies = nbd_raw_go(d.nbd_port, name)
            check(replies and replies[-1] & 0x80000000, f"{name!r}: {replies}")
            nbd_raw_export_name(d.nbd_port, name)
        with socket.create_connection(("127.0.0.1", d.web_port), timeout=15) as s:
            s.sendall(b"GET /metrics?x=\x1b[2J HTTP/1.1\r\nHost: evil\x1b]0;PWNED\x07.example\r\n\r\n")
            s.recv(65536)
        with socket.create_connection(("127.0.0.1", d.shell_port), timeout=15) as s:
            s.sendall(b"echo shell\x1b[2J\x7fline\r\nbad\xff\x1b]0;PWNED\x07\n")
            got = b""
            deadline = time.monotonic() + 10
            while got.count(b"\0") < 2 and time.monotonic() < deadline:
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
        reply = http_get(d.web_port, f"/log?token={d.token}")
        check(d.stop() == 0, "exit status")
        logfile = read_bytes(os.path.join(d.dir, "zorv.log"))
        # The console's own colours start each line (and end the one before).
        console = re.sub(rb"(?m)^(\x1b\[0m)?\x1b\[[0-9;]+m", b"", read_bytes(os.path.join(d.dir, "err.log")))
        body = reply.split(b"\r\n\r\n", 1)[1]
        lines = [e["log"] for e in json.loads(body.decode())]
        for what, text in (("log file", logfile), ("console", console), ("/log reply", body),
                           ("/log lines", "".join(lines).encode())):
            check(not control_bytes(text), f"{what}: raw control bytes {control_bytes(text)}")
            try:
                text.decode("utf-8")
            except UnicodeDecodeError as e:
                raise Failure(f"{what}: invalid UTF-8: {e}")
        for needle in (rb"fake\x1b]0;PWNED\x07.img", rb"a\x0a2026-12-11 07:00:00.000000 INFO",
                       rb"bad-utf8-\xff\xfe\xc3(\xe2\x82", rb"c1-\xc2\x9b2J", rb"Host [evil\x1b]0;PWNED\x07.example]",
                       rb"shell\x1b[2J\x7fline"):
            check(needle in logfile, f"no {needle!r} in the log file")
        check(any("\\x1b]0;PWNED" in line for line in lines), "no escaped name in /log")
        with open(os.path.join(outdir, "escaped_peer_text.log"), "wb") as f:
            f.write(logfile)
    finally:
        d.close()
    return 0


def case_cmd_help_and_nesting(binary, outdir):
    """Through "/cmd": "help NAME" and "? NAME" only print, for every command
    the listing names (before, "help exit" stopped the daemon); nested
    "source" of files that only source answers the refusal line at 17 levels
    and nothing at 15 and 16, and the daemon serves on and stops with 0."""
    from zorv_e2e import NESTING_CASES, help_rows, nesting_files  # noqa: E402
    d = Daemon(binary)
    try:
        d.start()
        dvars = d.cmd("show dvar")
        rows = help_rows(d.cmd("help"))
        check(len(rows) >= 14, f"help rows: {rows}")
        for name, text in rows:
            for asker in ("help", "?"):
                out = d.cmd(f"{asker} {name}")
                check(text in out, f"{asker} {name} printed {out!r}")
                check(d.proc.poll() is None, f"the daemon runs after {asker} {name}")
                check(d.cmd("show dvar") == dvars, f"show dvar after {asker} {name}")
        for files, _, refused in NESTING_CASES:
            first, refused_file = nesting_files(d.dir, files, echo=False)
            want = f"source: [{refused_file}] nested deeper than 16, not run\n" if refused else ""
            got = d.cmd(f"source {first}")
            check(got == want, f"source of {files} files: {got!r}, want {want!r}")
            check(d.cmd("echo after") == "after\n", f"served after {files} files")
        check(d.stop() == 0, "exit status")
    finally:
        d.close()
    return 0


CASES = {"browser": case_browser, "cmd_exit": case_cmd_exit, "concurrent": case_concurrent,
         "credentials": case_credentials, "lockout": case_lockout, "half_credentials": case_half_credentials,
         "typed_replies": case_typed_replies, "escaped_peer_text": case_escaped_peer_text,
         "browser_log_direct": case_browser_log_direct, "cmd_help_and_nesting": case_cmd_help_and_nesting}


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in CASES:
        print(__doc__)
        return 2
    binary, outdir, case = sys.argv[1:]
    os.makedirs(outdir, exist_ok=True)
    try:
        return CASES[case](os.path.abspath(binary), outdir)
    except Failure as e:
        print("FAILED:", e)
        return 1


if __name__ == "__main__":
    sys.exit(main())
