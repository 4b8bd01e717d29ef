#!/usr/bin/env python3
"""The console line editor end to end: the built daemon runs in the
foreground on a tmux pane (a private tmux server per case, so cases run in
parallel with everything else), keys are typed with send-keys, and after each
step the pane's text, read with capture-pane, is compared with the screen a
person should see. Every wait is a bounded poll for the expected screen.

Usage: ledit_tmux_e2e.py <zorv binary> <case>
"""

import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zorv_e2e import (STOP_BOUND, Failure, PortTaken, Sandbox, check, check_eq, launch_on_free_port,  # noqa: E402
                      port_taken, wait_for)

SCREEN_WAIT = 15  # seconds for the pane to show what a step should show
WELCOME = ["", "Type `help` to learn how to use prompt"]
PROMPT = "zorv>"


class Pane:
    """The daemon on a tmux pane of its own server. The pane's shell records
    the terminal settings before and after the daemon and its exit status,
    then stays so the last screen can still be read."""

    def __init__(self, box, case, cols=80, rows=24, shell=None, ini=""):
        self.box = box
        self.socket = f"zorv-ledit-{os.getpid()}-{case}"
        box.ini(ini)
        script = box.path("pane.sh")
        with open(script, "w") as f:
            f.write("cd \"$(dirname \"$0\")\"\n"
                    "stty -g > stty.before\n"
                    f"{shell or './zorv -q'}\n"
                    "rc=$?\n"
                    "printf '[after]'\n"
                    "stty -g > stty.after\n"
                    "echo $rc > status.tmp && mv status.tmp status\n"
                    "exec sleep 600\n")
        env = dict(box.env)
        env.pop("TMUX", None)
        self.tmux("-f", "/dev/null", "new-session", "-d", "-s", "t", "-x", str(cols), "-y", str(rows),
                  f"sh {script}", env=env)

    def tmux(self, *args, env=None):
        p = subprocess.run(["tmux", "-L", self.socket, *args], capture_output=True, text=True, timeout=10,
                           env=env or self.box.env)
        if p.returncode != 0:
            raise Failure(f"tmux {' '.join(args)}: {p.stderr.strip()}")
        return p.stdout

    def type(self, text):
        """Literal text, as typed."""
        self.tmux("send-keys", "-t", "t", "-l", text)

    def keys(self, *names):
        """Named keys (Left, C-a, M-f, Enter, F1...)."""
        self.tmux("send-keys", "-t", "t", *names)

    def screen(self):
        rows = [r.rstrip() for r in self.tmux("capture-pane", "-p", "-t", "t").split("\n")]
        while rows and rows[-1] == "":
            rows.pop()
        return rows

    def cursor(self):
        x, y = self.tmux("display-message", "-p", "-t", "t", "#{cursor_x} #{cursor_y}").split()
        return int(x), int(y)

    def expect(self, rows, cursor=None, what="screen"):
        """Polls until the pane shows exactly rows (and the cursor is at
        cursor, (x, y)); fails with both screens when it does not in time."""
        got = None

        def shown():
            nonlocal got
            got = (self.screen(), self.cursor() if cursor is not None else None)
            return got == (rows, cursor)

        try:
            wait_for(shown, SCREEN_WAIT, what)
        except Failure:
            raise Failure(f"{what}:\n--- got ---\n" + "\n".join(got[0]) + f"\ncursor {got[1]}"
                          "\n--- want ---\n" + "\n".join(rows) + f"\ncursor {cursor}") from None

    def daemon_pid(self):
        def child():
            shell = self.tmux("display-message", "-p", "-t", "t", "#{pane_pid}").strip()
            try:
                with open(f"/proc/{shell}/task/{shell}/children") as f:
                    kids = f.read().split()
            except OSError:
                return None
            return int(kids[0]) if kids else None

        return wait_for(child, SCREEN_WAIT, "the daemon's process")

    def wait_reading(self, pid):
        """Until the daemon's main thread waits for a key (read(2) on fd 0)."""
        def reading():
            try:
                with open(f"/proc/{pid}/syscall") as f:
                    return f.read().startswith("0 0x0 ")
            except OSError:
                return False

        wait_for(reading, SCREEN_WAIT, "the editor to wait for a key")

    def status(self):
        """The daemon's exit status once its shell has recorded it."""
        path = self.box.path("status")
        wait_for(lambda: os.path.exists(path), SCREEN_WAIT, "the daemon's exit status")
        with open(path) as f:
            return int(f.read())

    def terminal_restored(self):
        self.status()
        with open(self.box.path("stty.before")) as f:
            before = f.read()
        with open(self.box.path("stty.after")) as f:
            after = f.read()
        check_eq(after, before, "terminal settings (stty -g) after the daemon")

    def close(self):
        end_server(self.socket)


def end_server(socket):
    """Ends a case's tmux server and removes its socket file, which tmux
    leaves behind."""
    p = subprocess.run(["tmux", "-L", socket, "display-message", "-p", "#{socket_path}"], capture_output=True,
                       text=True, timeout=10)
    subprocess.run(["tmux", "-L", socket, "kill-server"], capture_output=True, timeout=10)
    if p.returncode == 0 and p.stdout.strip():
        try:
            os.unlink(p.stdout.strip())
        except OSError:
            pass


def on_free_ports(box, case, ini, reached, **kw):
    """A Pane on free ports, through launch_on_free_port: an NBD port and
    one that ini may name as {shell_port}. reached(pane) waits until its
    daemon serves; a daemon that said a port was taken is started again."""
    def start(port, shell_port):
        if os.path.exists(box.path("status")):
            os.unlink(box.path("status"))
        pane = Pane(box, case, ini="[zorv]\nnbd_server_port=%d\n" % port + ini.format(shell_port=shell_port), **kw)
        try:
            reached(pane)
        except Failure:
            # Wrapped lines joined: a message longer than the pane is whole.
            screen = pane.tmux("capture-pane", "-p", "-J", "-t", "t")
            pane.close()
            if port_taken(screen, [port, shell_port]):
                raise PortTaken(screen)
            raise
        return pane

    return launch_on_free_port(start, 2)


def started(box, case, ini="", **kw):
    return on_free_ports(box, case, ini, lambda pane: pane.expect(WELCOME + [PROMPT], (5, 2), "the first prompt"),
                         **kw)


def case_editing(box):
    p = started(box, "editing")
    # (typed text or key names, the line shown, the cursor's column, step)
    steps = [
        ("echo hello world", "echo hello world", 21, "typed"),
        (["Left"] * 5, "echo hello world", 16, "five times Left"),
        ("big ", "echo hello big world", 20, "inserted before the cursor"),
        (["C-a"], "echo hello big world", 5, "Ctrl-A"),
        (["M-f"], "echo hello big world", 9, "Alt-F"),
        (["C-k"], "echo", 9, "Ctrl-K"),
        (["C-y"], "echo hello big world", 25, "Ctrl-Y"),
        (["C-y"], "echo hello big world hello big world", 41, "Ctrl-Y again"),
    ]
    for keys, line, x, what in steps:
        if isinstance(keys, str):
            p.type(keys)
        else:
            p.keys(*keys)
        p.expect(WELCOME + [PROMPT + line], (x, 2), what)
    p.keys("Enter")
    p.expect(WELCOME + ["zorv>echo hello big world hello big world", "hello big world hello big world", PROMPT],
             (5, 4), "run")
    p.close()


def case_history(box):
    p = started(box, "history")
    p.type("echo first")
    p.keys("Enter")
    p.type("echo second")
    p.keys("Enter")
    ran = WELCOME + ["zorv>echo first", "first", "zorv>echo second", "second"]
    p.expect(ran + [PROMPT], (5, 6), "two commands")
    p.keys("Up")
    p.expect(ran + ["zorv>echo second"], (16, 6), "Up")
    p.keys("Up")
    p.expect(ran + ["zorv>echo first"], (15, 6), "Up again")
    p.keys("Down", "Down")
    p.expect(ran + [PROMPT], (5, 6), "Down back to the empty line")
    p.type("typed")
    p.keys("C-r")
    p.expect(ran + ["zorv>typed", "Input Patterns <F1> help:"], (26, 7), "Ctrl-R")
    p.type("FIRST")
    p.keys("Enter")
    searched = ran + ["zorv>typed", "Input Patterns <F1> help: FIRST", "   1  echo first", "Input history id: 1"]
    p.expect(searched, (19, 9), "one match, its id offered")
    p.keys("Enter")
    p.expect(searched + ["zorv>echo first"], (15, 10), "the match recalled")
    p.keys("Enter")
    p.expect(searched + ["zorv>echo first", "first", PROMPT], (5, 12), "run again")
    p.close()


def case_completion(box):
    p = started(box, "completion")
    p.type("sh")
    p.keys("Tab")
    # capture-pane drops trailing blanks: the cursor shows the one after "show".
    p.expect(WELCOME + ["zorv>show"], (10, 2), "sh + Tab")
    p.keys("C-u")
    p.type("set log.level d")
    p.keys("Tab")
    p.expect(WELCOME + ["zorv>set log.level dbg"], (23, 2), "set log.level d + Tab")
    p.keys("C-u")
    p.type("s")
    p.keys("Tab")
    p.expect(WELCOME + ["zorv>s", "show      Show the status of the program", "set       Set public options",
                        "source    Exec commands from file", "zorv>s"], (6, 6), "s + Tab lists three commands")
    p.close()


HELP_TOP = [
    " Misc Commands",
    " +-------------------------+--------------------------------------------------+",
    " | F1                      | Show edit shortcuts help.                        |",
    " | Ctrl-^                  | Enter keyboard debugging mode.                   |",
    " +-------------------------+--------------------------------------------------+",
    " Move Commands",
]
MORE = "*** Press <Space> or <Enter> to continue . . ."


def case_help(box):
    p = started(box, "help")
    p.type("show")
    p.keys("F1")
    # The help starts below the line and pauses after a screenful (23 rows).
    wait_for(lambda: p.screen()[-1:] == [MORE], SCREEN_WAIT, "the pager's pause")
    rows = p.screen()
    check_eq(rows[:len(HELP_TOP)], HELP_TOP, "the help's first rows")
    check_eq(len(rows), 24, "a full screen before the pause")
    p.keys("q")
    wait_for(lambda: p.screen()[-1:] == ["zorv>show"], SCREEN_WAIT, "the line back after q")
    check_eq(p.cursor(), (9, 23), "cursor after the help")
    # Space pages through to the end; the notes close it, then the line.
    p.keys("F1")
    for _ in range(8):
        wait_for(lambda: p.screen()[-1:] in ([MORE], ["zorv>show"]), SCREEN_WAIT, "a page")
        if p.screen()[-1] != MORE:
            break
        p.keys("Space")
    wait_for(lambda: p.screen()[-1:] == ["zorv>show"], SCREEN_WAIT, "the line after the last page")
    check(" never fetch the history." in p.screen(), "the help's last note")
    p.close()


def case_resize(box):
    p = started(box, "resize")
    line = "echo " + " ".join(c * 10 for c in "abcdefgh")
    p.type(line)
    text = PROMPT + line
    p.expect(WELCOME + [text[:80], text[80:]], (len(text) - 80, 3), "a line over two rows")
    p.tmux("resize-window", "-t", "t", "-x", "40", "-y", "24")
    # tmux wraps the old rows again and may push the top row into its
    # history to keep the cursor's row; the line must then show once, whole.
    rows = [text[:40], text[40:80], text[80:]]

    def redrawn():
        shown = p.screen()
        return shown[-4:] == WELCOME[1:] + rows and p.cursor() == (len(text) - 80, len(shown) - 1) and shown

    shown = wait_for(redrawn, SCREEN_WAIT, "the line redrawn at 40 columns")
    top = len(shown) - 3
    p.keys("C-a", "Down")
    p.expect(shown, (5, top + 1), "Down inside the wrapped line")
    p.keys("End", "Enter")
    out = " ".join(c * 10 for c in "abcdefgh")
    p.expect(shown + [out[:40], out[40:80], out[80:], PROMPT], (5, top + 6), "run after the resize")
    p.tmux("resize-window", "-t", "t", "-x", "120", "-y", "24")
    p.type("echo wide")
    wait_for(lambda: p.screen()[-1:] == ["zorv>echo wide"], SCREEN_WAIT, "typing after widening")
    p.close()


def stop_while_waiting(p, stop, status=0):
    """Runs stop once the editor waits for a key; the daemon must end with
    status in time and leave the terminal as it found it."""
    pid = p.daemon_pid()
    p.wait_reading(pid)
    at = time.monotonic()
    stop(pid)
    rc = p.status()
    took = time.monotonic() - at
    check_eq(rc, status, "exit status")
    check(took < STOP_BOUND, f"the stop took {took:.2f} s")
    p.terminal_restored()
    # What the shell writes next starts a line of its own.
    rows = p.screen()
    check("[after]" in rows, "the editor's line ended before the shell's:\n" + "\n".join(rows))


def case_stop_signal(box):
    # With the stop's own log line and without it (level err): either way
    # the shell that follows starts on a line of its own.
    for case, shell in (("stop_signal", None), ("stop_signal_err", "./zorv -q -l err")):
        p = started(box, case, shell=shell)
        p.type("show in")
        p.expect(WELCOME + ["zorv>show in"], (12, 2), "a half-typed line")
        stop_while_waiting(p, lambda pid: os.kill(pid, signal.SIGTERM))
        p.close()
        os.unlink(box.path("status"))


def case_ctrl_c(box):
    p = started(box, "ctrl_c")
    p.type("show in")
    # Ctrl-C ends the daemon at once with status 1; the terminal comes back.
    stop_while_waiting(p, lambda pid: p.keys("C-c"), status=1)
    check("call user_stop_proc" not in "\n".join(p.screen()), "Ctrl-C takes no stop sequence")
    p.close()


def case_kill_from_session(box):
    # "call kill" from a debug shell session ends the process at once while
    # the console waits for a key: the terminal must come back all the same.
    shell = "[debug]\nshell_server_port={shell_port}\nshell_server_addr=127.0.0.1\n"
    p = started(box, "kill_from_session", ini=shell)
    p.type("show in")

    def kill(_pid):
        box.run("-q", "-e", "call kill")

    stop_while_waiting(p, kill)
    p.close()


def case_paste(box):
    # A 100 KB paste: the line takes what fits, nothing overruns, the editor
    # goes on and the terminal comes back intact.
    p = started(box, "paste")
    blob = box.path("paste.txt")
    with open(blob, "w") as f:
        f.write("x" * (100 * 1024))
    p.tmux("load-buffer", "-b", "big", blob)
    p.tmux("paste-buffer", "-b", "big", "-t", "t")
    # Keys after the paste come after all of it.
    p.keys("C-x")
    p.type("echo after paste")
    p.keys("Enter")
    wait_for(lambda: p.screen()[-2:] == ["after paste", PROMPT], SCREEN_WAIT, "a command after the paste")
    stop_while_waiting(p, lambda pid: os.kill(pid, signal.SIGTERM))
    p.close()


def case_suspend(box):
    # Ctrl-Z from a job-control shell: the shell gets its terminal back in
    # its own settings, fg resumes the edit with the line redrawn.
    def reached(p):
        wait_for(lambda: p.screen()[-1:] == ["$"], SCREEN_WAIT, "the shell")
        p.type("./zorv -q")
        p.keys("Enter")
        wait_for(lambda: p.screen()[-1:] == [PROMPT], SCREEN_WAIT, "the prompt")

    p = on_free_ports(box, "suspend", "", reached, shell="PS1='$ ' bash --norc --noprofile -i")
    p.type("show in")
    p.keys("C-z")
    wait_for(lambda: p.screen()[-1:] == ["$"], SCREEN_WAIT, "the shell after Ctrl-Z")
    check(any("Stopped" in r for r in p.screen()), "the job stopped")
    p.type("stty -a | grep -o ' icanon'")
    p.keys("Enter")
    wait_for(lambda: p.screen()[-2:] == [" icanon", "$"], SCREEN_WAIT, "canonical input in the shell")
    p.type("fg")
    p.keys("Enter")
    wait_for(lambda: p.screen()[-1:] == ["zorv>show in"], SCREEN_WAIT, "the line redrawn after fg")
    p.type("fo")
    p.keys("Enter")
    wait_for(lambda: any(r.startswith("ver=") for r in p.screen()), SCREEN_WAIT, "the resumed line ran")
    p.type("q")
    p.keys("Enter")
    wait_for(lambda: p.screen()[-1:] == ["$"], SCREEN_WAIT, "the shell after q")
    p.close()


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


def main():
    name = sys.argv[2] if len(sys.argv) == 3 else ""
    if name not in CASES:
        sys.stderr.write(f"usage: {sys.argv[0]} <zorv> <{'|'.join(CASES)}>\n")
        return 2
    if shutil.which("tmux") is None:
        print("tmux is not installed: skipped")
        return 77
    box = Sandbox(sys.argv[1])
    failure = None
    try:
        CASES[name](box)
    except (Failure, subprocess.TimeoutExpired) as e:
        failure = e
    # A failed case leaves its tmux server behind: end it with the sandbox.
    end_server(f"zorv-ledit-{os.getpid()}-{name}")
    box.close()
    if failure is not None:
        sys.stderr.write(f"FAILED {name}: {failure}\n")
        return 1
    print(f"ok {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
