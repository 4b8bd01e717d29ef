"""End-to-end tests of the NBD server with real clients (libnbd's nbdinfo,
nbdcopy and python bindings, qemu-img, qemu-io) and raw sockets for what
libnbd would refuse to send.

Run: nbd_e2e.py SERVER_BINARY daemon|bare [unittest arguments...]
"""
import ctypes
import hashlib
import os
import re
import shutil
import resource
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

try:
    import nbd
except ImportError:
    # The raw-socket cases still run; only those that need libnbd skip.
    nbd = None

from nbd_server import *  # noqa: F401,F403

BINARY, KIND = None, None
MiB = 1 << 20


def close_handle(h):
    try:
        h.shutdown()
    except nbd.Error:
        pass


def new_handle(case):
    if nbd is None:
        case.skipTest("python3-libnbd is not installed")
    return nbd.NBD()


class ServerCase(unittest.TestCase):
    readonly = True

    def assertSameBytes(self, got, want):
        """Large blocks compared without dumping them."""
        if got != want:
            first = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
            self.fail("blocks differ at byte %d (%d and %d bytes)" % (first, len(got), len(want)))

    def setUp(self):
        self.srv = Server(BINARY, KIND, readonly=self.readonly).start()
        self.addCleanup(self.srv.close)
        self.img = make_file(self.srv.path("disk.img"), 4 * MiB, bytes(range(256)) * 16)

    def raw(self, no_zeroes=True):
        r = Raw(self.srv.port)
        self.addCleanup(r.close)
        r.greet(no_zeroes)
        return r

    def opened(self, name=None):
        r = self.raw()
        replies = r.go(name or self.img)
        self.assertEqual(replies[-1][1], REP_ACK, replies)
        return r

    def handle(self, name=None, strict=True):
        h = new_handle(self)
        if not strict:
            h.set_strict_mode(0)
        # The export name is set apart from the URI: a "?" in it belongs to
        # the block layer's parameters, not to the URI's query.
        h.set_export_name(name or self.img)
        h.connect_tcp("127.0.0.1", str(self.srv.port))
        self.addCleanup(close_handle, h)
        return h


class Handshake(ServerCase):
    def test_nbdinfo_reports_size_and_read_only_flags(self):
        out = subprocess.run(["nbdinfo", "--json", self.srv.uri(self.img)], capture_output=True, text=True,
                             check=True, timeout=30).stdout
        self.assertIn('"export-size": 4194304', out)
        self.assertIn('"is_read_only": true', out)
        self.assertIn('"can_multi_conn": true', out)
        self.assertIn('"can_flush": false', out)

    def test_nbdinfo_list_ends_with_ack(self):
        res = subprocess.run(["nbdinfo", "--list", "--json", self.srv.uri("")], capture_output=True, text=True,
                             timeout=60)
        self.assertIn('"exports"', res.stdout, res.stderr)

    def test_greeting_and_export_name_answer_lengths(self):
        for no_zeroes, size in ((True, 10), (False, 134)):
            r = Raw(self.srv.port)
            self.addCleanup(r.close)
            self.assertEqual(r.greet(no_zeroes), b"NBDMAGIC" + struct.pack(">QH", OPTS_MAGIC, 3))
            r.option(OPT_EXPORT_NAME, self.img.encode())
            info = r.recv(size)
            self.assertEqual(struct.unpack(">QH", info[:10]), (4 * MiB, 0x143))
            self.assertEqual(info[10:], bytes(size - 10))
            r.request(CMD_READ, 0, 16)
            self.assertEqual(r.simple_reply(16)[2], (bytes(range(256)) * 16)[:16])

    def test_client_flags_with_unknown_bits_end_the_handshake(self):
        cases = [(0, False), (1, False), (3, False), (4, True), (0xfffffffc, True), (0x80000003, True)]
        for cflags, ends in cases:
            with self.subTest(cflags=hex(cflags)):
                r = Raw(self.srv.port)
                self.addCleanup(r.close)
                r.recv(18)
                r.s.sendall(struct.pack(">I", cflags))
                n = self.img.encode()
                r.option(OPT_GO, struct.pack(">I", len(n)) + n + struct.pack(">H", 0))
                if ends:
                    self.assertTrue(r.closed(), "the option was answered")
                else:
                    self.assertEqual(r.reply()[1], REP_INFO)

    def test_go_for_a_missing_path_then_a_good_one(self):
        r = self.raw()
        replies = r.go(self.srv.path("missing.img"))
        self.assertEqual(len(replies), 1)
        self.assertEqual(replies[0][1], REP_ERR_UNKNOWN)
        self.assertIn(b"missing.img", replies[0][2])
        replies = r.go(self.img)
        self.assertEqual([x[1] for x in replies], [REP_INFO, REP_ACK])

    def test_malformed_options_get_errors_and_the_next_option_is_read(self):
        cases = [
            ("list with data", OPT_LIST, b"abcde", None, REP_ERR_INVALID, b"nonzero data length"),
            ("info length 5 name 0", OPT_INFO, b"\0\0\0\0\0", None, REP_ERR_INVALID, b"name + 6"),
            ("info length 2", OPT_INFO, b"\0\0", None, REP_ERR_INVALID, b"name + 6"),
            ("go name past the option", OPT_GO, struct.pack(">I", 100) + b"x" * 10, None, REP_ERR_INVALID,
             b"name + 6"),
            ("go count disagrees", OPT_GO, struct.pack(">I", 1) + b"x" + struct.pack(">HH", 3, 0), None,
             REP_ERR_INVALID, b""),
            ("go name too long", OPT_GO, struct.pack(">I", 5000) + b"n" * 5000 + b"\0\0", None, REP_ERR_INVALID,
             b"too long"),
            ("starttls", OPT_STARTTLS, b"", None, REP_ERR_POLICY, b"compiled without TLS support"),
            ("unknown 8", 8, b"xyz", None, REP_ERR_UNSUP, b"unknown to this server"),
            ("unknown 0", 0, b"", None, REP_ERR_UNSUP, b"unknown to this server"),
        ]
        r = self.raw()
        for what, opt, data, length, rtype, text in cases:
            with self.subTest(what):
                r.option(opt, data, length)
                ropt, got_type, payload = r.reply()
                self.assertEqual((ropt, got_type), (opt, rtype))
                self.assertIn(text, payload)
        self.assertEqual(r.go(self.img)[-1][1], REP_ACK)

    def test_go_with_info_requests_3_and_1_gets_one_export_info_and_the_block_sizes(self):
        r = self.raw()
        replies = r.go(self.img, reqs=(3, 1))
        self.assertEqual([x[1] for x in replies], [REP_INFO, REP_INFO, REP_ACK])
        self.assertEqual(replies[0][2], struct.pack(">HQH", 0, 4 * MiB, 0x143))
        self.assertEqual(replies[1][2], struct.pack(">HIII", 3, 1, 4096, 32 * MiB))

    def test_info_then_go_serves_the_second_name(self):
        other = make_file(self.srv.path("other.img"), MiB, b"\x5a" * 512)
        r = self.raw()
        self.assertEqual(r.go(self.img, opt=OPT_INFO)[0][2], struct.pack(">HQH", 0, 4 * MiB, 0x143))
        self.assertEqual(r.go(other)[0][2], struct.pack(">HQH", 0, MiB, 0x143))
        r.request(CMD_READ, 0, 512)
        self.assertEqual(r.simple_reply(512)[2], b"\x5a" * 512)

    def test_abort_is_acknowledged_then_closed(self):
        r = self.raw()
        r.option(OPT_ABORT)
        self.assertEqual(r.reply()[:2], (OPT_ABORT, REP_ACK))
        self.assertTrue(r.closed())

    def test_bad_option_magic_ends_the_session(self):
        r = self.raw()
        r.s.sendall(struct.pack(">QII", 0x1234, OPT_GO, 0))
        self.assertTrue(r.closed())

    def test_export_name_that_does_not_open_closes_without_reply(self):
        r = self.raw()
        r.option(OPT_EXPORT_NAME, self.srv.path("missing.img").encode())
        self.assertTrue(r.closed())


class ReadOnlyTransmission(ServerCase):
    def test_writes_get_eperm_payload_consumed_medium_unchanged(self):
        before = open(self.img, "rb").read()
        r = self.opened()
        for cmd, data in ((CMD_WRITE, b"\xff" * 4096), (CMD_WRITE_ZEROES, b""), (CMD_TRIM, b"")):
            with self.subTest(cmd=cmd):
                r.request(cmd, 0, 4096, data=data)
                self.assertEqual(r.simple_reply()[0], 1)
        r.request(CMD_READ, 0, 4096)
        self.assertEqual(r.simple_reply(4096)[2], before[:4096])
        self.assertSameBytes(open(self.img, "rb").read(), before)

    def test_refused_requests_and_the_session_goes_on(self):
        r = self.opened()
        cases = [
            ("read past the end", dict(cmd=CMD_READ, offset=4 * MiB - 512, length=1024), 22),
            ("read offset wraps", dict(cmd=CMD_READ, offset=(1 << 64) - 512, length=1024), 22),
            ("flag 4", dict(cmd=CMD_READ, offset=0, length=512, flags=4), 22),
            ("unknown command 5", dict(cmd=5), 22),
            ("disc with fua", dict(cmd=CMD_DISC, flags=1), 22),
            ("read above 32 MiB", dict(cmd=CMD_READ, offset=0, length=33 * MiB), 22),
        ]
        for what, req, err in cases:
            with self.subTest(what):
                r.request(handle=0xABCDEF0123456789, **req)
                got, handle, _ = r.simple_reply()
                self.assertEqual((got, handle), (err, 0xABCDEF0123456789))
        r.request(CMD_READ, 256, 256)
        self.assertEqual(r.simple_reply(256)[2], bytes(range(256)))

    def test_bad_magic_ends_the_session_without_a_reply(self):
        r = self.opened()
        r.request(CMD_READ, 0, 8, magic=0xdeadbeef, handle=1)
        r.request(CMD_READ, 0, 8, handle=2)
        self.assertTrue(r.closed())
        self.assertEqual(self.srv.log_text().count("bad magic"), 1, self.srv.log_text())

    def test_idle_client_is_kept(self):
        r = self.opened()
        time.sleep(4)  # longer than one connection time-out
        r.request(CMD_READ, 0, 4)
        self.assertEqual(r.simple_reply(4)[2], bytes(range(4)))

    def test_disc_ends_the_session(self):
        r = self.opened()
        r.request(CMD_DISC)
        self.assertTrue(r.closed())

    def test_libnbd_reads_the_whole_export(self):
        h = self.handle()
        self.assertEqual(h.get_size(), 4 * MiB)
        self.assertSameBytes(h.pread(4 * MiB, 0), open(self.img, "rb").read())


class ReadWriteTransmission(ServerCase):
    readonly = False

    def test_nbdinfo_reports_read_write_flags(self):
        out = subprocess.run(["nbdinfo", "--json", self.srv.uri(self.img)], capture_output=True, text=True,
                             check=True, timeout=30).stdout
        self.assertIn('"is_read_only": false', out)
        for flag in ("can_flush", "can_fua", "can_trim", "can_zero"):
            self.assertIn('"%s": true' % flag, out)

    def test_write_1mib_read_back_flush_and_fua(self):
        h = self.handle()
        data = os.urandom(MiB)
        h.pwrite(data, MiB)
        self.assertSameBytes(h.pread(MiB, MiB), data)
        h.pwrite(b"\x01" * 4096, 0, nbd.CMD_FLAG_FUA)
        h.flush()
        with open(self.img, "rb") as f:
            self.assertEqual(f.read(4096), b"\x01" * 4096)
            f.seek(MiB)
            self.assertSameBytes(f.read(MiB), data)

    def test_write_past_the_end_is_enospc_and_flag_4_consumes_the_payload(self):
        r = self.opened()
        r.request(CMD_WRITE, 4 * MiB - 512, 1024, data=b"\xee" * 1024)
        self.assertEqual(r.simple_reply()[0], 28)
        r.request(CMD_WRITE_ZEROES, 4 * MiB, 1)
        self.assertEqual(r.simple_reply()[0], 28)
        r.request(CMD_WRITE, 0, 512, flags=4, data=b"\xee" * 512)
        self.assertEqual(r.simple_reply()[0], 22)
        r.request(CMD_READ, 0, 512)
        self.assertEqual(r.simple_reply(512)[2], (bytes(range(256)) * 2))

    def test_write_above_32mib_is_discarded_then_einval(self):
        r = self.opened()
        sender = threading.Thread(target=r.request, kwargs=dict(cmd=CMD_WRITE, offset=0, length=33 * MiB,
                                                                data=b"\xee" * (33 * MiB)))
        sender.start()
        err = r.simple_reply()[0]
        sender.join()
        self.assertEqual(err, 22)
        r.request(CMD_READ, 0, 4)
        self.assertEqual(r.simple_reply(4)[2], bytes(range(4)))

    def test_writes_past_a_file_size_limit_answer_enospc_and_the_daemon_goes_on(self):
        limit = 16 * MiB

        def limited():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        self.srv.close()
        self.srv = Server(BINARY, KIND, readonly=False, preexec=limited).start()
        self.addCleanup(self.srv.close)
        img = make_file(self.srv.path("limited.img"), 64 * MiB)
        plain = self.raw()
        self.assertEqual(plain.go(img)[-1][1], REP_ACK)
        enc = self.raw()
        self.assertEqual(enc.go(img + "?alg=aes&key=" + "0f" * 32)[-1][1], REP_ACK)
        cases = [
            ("write below", plain, CMD_WRITE, limit - 8192, 0),
            ("write straddling", plain, CMD_WRITE, limit - 2048, 28),
            ("write past", plain, CMD_WRITE, 32 * MiB, 28),
            # An encrypted export writes its zeros.
            ("write zeroes past", enc, CMD_WRITE_ZEROES, 32 * MiB, 28),
        ]
        for what, r, cmd, offset, err in cases:
            with self.subTest(what):
                r.request(cmd, offset, 4096, data=b"\xab" * 4096 if cmd == CMD_WRITE else b"")
                self.assertEqual(r.simple_reply()[0], err)
        self.assertIsNone(self.srv.proc.poll(), self.srv.log_text())
        for r in (plain, enc, self.opened(img)):
            r.request(CMD_READ, limit - 8192, 4096)
            self.assertEqual(r.simple_reply(4096)[0], 0)
        plain.request(CMD_READ, limit - 8192, 4096)
        self.assertEqual(plain.simple_reply(4096)[2], b"\xab" * 4096)

    def test_trim_keeps_size_and_contents(self):
        before = open(self.img, "rb").read()
        h = self.handle()
        h.trim(MiB, 0)
        h.flush()
        self.assertEqual(os.path.getsize(self.img), 4 * MiB)
        self.assertSameBytes(open(self.img, "rb").read(), before)

    def test_write_zeroes_200mib(self):
        big = make_file(self.srv.path("big.img"), 256 * MiB)
        with open(big, "r+b") as f:
            for off in range(0, 256 * MiB, 16 * MiB):
                f.seek(off)
                f.write(b"\xaa" * 4096)
        h = self.handle(big)
        h.zero(200 * MiB, 4096)
        h.flush()
        with open(big, "rb") as f:
            f.seek(0)
            self.assertEqual(f.read(4096), b"\xaa" * 4096)
            for off in range(16 * MiB, 200 * MiB, 16 * MiB):
                f.seek(off)
                self.assertEqual(f.read(4096), bytes(4096), off)
            f.seek(208 * MiB)
            self.assertEqual(f.read(4096), b"\xaa" * 4096)

    def test_encrypted_export_stores_ciphertext_returns_plaintext(self):
        enc = make_file(self.srv.path("enc.img"), 4 * MiB)
        name = enc + "?alg=aes&key=" + "00112233445566778899aabbccddeeff" * 2
        h = self.handle(name)
        data = os.urandom(MiB)
        h.pwrite(data, 0)
        h.zero(MiB, MiB)
        h.flush()
        self.assertSameBytes(h.pread(MiB, 0), data)
        self.assertSameBytes(h.pread(MiB, MiB), bytes(MiB))
        with open(enc, "rb") as f:
            stored = f.read(2 * MiB)
        self.assertTrue(stored[:MiB] != data, "the medium holds the plaintext")
        self.assertTrue(stored[MiB:] != bytes(MiB), "the medium holds plain zeros")


class RealClients(ServerCase):
    readonly = False

    def test_nbdcopy_256mib_out_and_back_in(self):
        src = self.srv.path("src.img")
        with open(src, "wb") as f:
            f.write(os.urandom(256 * MiB))
        dst = make_file(self.srv.path("dst.img"), 256 * MiB)
        local = self.srv.path("local.img")
        subprocess.run(["nbdcopy", self.srv.uri(src), local], check=True, timeout=120)
        subprocess.run(["nbdcopy", local, self.srv.uri(dst)], check=True, timeout=120)

        def digest(p):
            with open(p, "rb") as f:
                return hashlib.sha256(f.read()).hexdigest()
        self.assertEqual(digest(local), digest(src))
        self.assertEqual(digest(dst), digest(src))

    def image_opts(self, export):
        return "driver=raw,file.driver=nbd,file.host=127.0.0.1,file.port=%d,file.export=%s" % (self.srv.port, export)

    def test_qemu_img_convert_and_qemu_io(self):
        local = self.srv.path("out.raw")
        subprocess.run(["qemu-img", "convert", "-O", "raw", "--image-opts", self.image_opts(self.img),
                        local], check=True, timeout=60, capture_output=True)
        self.assertSameBytes(open(local, "rb").read(), open(self.img, "rb").read())
        out = subprocess.run(["qemu-io", "--image-opts", self.image_opts(self.img), "-c", "write -P 0xab 1M 64k",
                              "-c", "read -P 0xab 1M 64k", "-c", "flush"], check=True, timeout=60,
                             capture_output=True, text=True).stdout
        self.assertNotIn("fail", out.lower())
        with open(self.img, "rb") as f:
            f.seek(MiB)
            self.assertEqual(f.read(65536), b"\xab" * 65536)

    def test_20_clients_at_once_each_on_its_own_region(self):
        new_handle(self)
        region = 4 * MiB
        big = make_file(self.srv.path("shared.img"), 20 * region)
        errors = []

        def client(i):
            try:
                h = nbd.NBD()
                h.connect_uri(self.srv.uri(big))
                data = bytes([i + 1]) * 65536
                for off in range(i * region, (i + 1) * region, 65536):
                    h.pwrite(data, off)
                for off in range(i * region, (i + 1) * region, 65536):
                    if h.pread(65536, off) != data:
                        errors.append("client %d offset %d" % (i, off))
                        break
                h.shutdown()
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append("client %d: %s" % (i, e))

        threads = [threading.Thread(target=client, args=(i,)) for i in range(20)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(errors, [])
        with open(big, "rb") as f:
            for i in range(20):
                f.seek(i * region + region - 1)
                self.assertEqual(f.read(1), bytes([i + 1]))


class Exports(ServerCase):
    """What may be served, and what a client is told about it (read-write daemon)."""
    readonly = False
    KEY = "00112233445566778899aabbccddeeff" * 2

    def encrypted(self, size=4 * MiB):
        return make_file(self.srv.path("enc.img"), size) + "?alg=aes&key=" + self.KEY

    def test_damaged_write_header_never_runs_its_payload(self):
        before = open(self.img, "rb").read()
        hidden = struct.pack(">IHHQQI", REQ_MAGIC, 0, CMD_WRITE, 7, 0, 512) + b"\xee" * 512
        r = self.opened()
        r.request(CMD_WRITE, 0, len(hidden), data=hidden, magic=0x25609514)
        self.assertTrue(r.closed())
        self.assertSameBytes(open(self.img, "rb").read(), before)

    def test_bad_parameters_refuse_the_open_with_their_reason(self):
        img = make_file(self.srv.path("params.img"), 4 * MiB, b"\x77" * 4096)
        before = open(img, "rb").read()
        cases = [
            ("no key", "?alg=aes", b"invalid encryption key: no key given"),
            ("empty key", "?alg=aes&key=", b"invalid encryption key: the key is empty"),
            ("2 digits", "?alg=aes&key=00", b"invalid encryption key: 2 digits, alg=aes takes exactly 64"),
            ("62 digits", "?alg=aes&key=" + self.KEY[:62], b"62 digits, alg=aes takes exactly 64"),
            ("128 digits", "?alg=aes&key=" + self.KEY * 2, b"128 digits, alg=aes takes exactly 64"),
            ("misspelt alg", "?algo=aes", b"unknown parameter [algo]"),
            ("misspelt alg and a key", "?algo=aes&key=" + self.KEY, b"a key is given without alg"),
            ("misspelt vol_idx", "?volidx=2", b"unknown parameter [volidx]"),
            ("sector_size 0", "?sector_size=0", b"invalid sector_size=[0] (512, 1024, 2048 or 4096)"),
            ("sector_size 1", "?sector_size=1", b"invalid sector_size=[1]"),
            ("sector_size 2^31", "?sector_size=2147483648", b"invalid sector_size=[2147483648]"),
            ("read_timeout", "?read_timeout=99999999999", b"invalid read_timeout=[99999999999] (1 to 600 seconds)"),
            ("write_timeout", "?write_timeout=-5", b"invalid write_timeout=[-5] (1 to 600 seconds)"),
            ("connect_timeout", "?connect_timeout=abc", b"invalid connect_timeout=[abc] (1 to 600 seconds)"),
            ("vol_idx", "?vol_idx=1025", b"invalid vol_idx=[1025] (0 to 1024)"),
            ("flags", "?flags=readonyl", b"invalid flags=[readonyl]"),
            ("direct", "?flags=rw,direct", b"invalid flags=[rw,direct]: direct is not served"),
            ("item without =", "?readonly&alg=aes&key=" + self.KEY, b"parameter [readonly] has no value"),
        ]
        r = self.raw()
        for what, query, text in cases:
            with self.subTest(what):
                replies = r.go(img + query)
                if replies[-1][1] == REP_ACK:
                    # What a client would do with what it was served.
                    r.request(CMD_WRITE, 0, 4096, data=b"\xee" * 4096)
                    r.simple_reply()
                    r = self.raw()
                self.assertEqual(replies[-1][1], REP_ERR_UNKNOWN, replies)
                self.assertIn(text, replies[-1][2])
        self.assertSameBytes(open(img, "rb").read(), before)
        self.assertEqual(r.go(img + "?alg=aes&key=" + self.KEY)[-1][1], REP_ACK)

    def test_keys_however_spelt_reach_no_log_line_and_no_reply(self):
        # The readers take only "key", so these names are refused, and the
        # refusal is logged with the name: its key must be masked all the same.
        img = make_file(self.srv.path("spelt.img"), MiB)
        half = self.KEY[:32]
        for query in ("?alg=aes&KEY=", "?alg=aes&Key=", "?alg=aes&%20key=", "?alg=aes&key%3D", "?key%3D",
                      "?alg=aes&+KEY+="):
            with self.subTest(query):
                replies = self.raw().go(img + query + self.KEY)
                self.assertEqual(replies[-1][1], REP_ERR_UNKNOWN, replies)
                self.assertNotIn(half.encode(), replies[-1][2])
        replies = self.raw().go(img + "?alg=aes&key=" + self.KEY + "&bogus=1")
        self.assertIn(b"unknown parameter [bogus]", replies[-1][2])
        log = self.srv.log_text()
        self.assertIn("bd_open [%s?alg=_&KEY=_]" % img, log)
        self.assertNotIn(half, log)

    def test_a_name_holding_a_nul_byte_is_refused_and_opens_nothing(self):
        img = make_file(self.srv.path("nul.img"), 4 * MiB, b"\x77" * 4096)
        before = open(img, "rb").read()
        name = img + "?alg=aes&key=" + self.KEY
        cut = len(name) - 10
        positions = [
            ("at the start", "\0" + name),
            ("before the ?", img + "\0" + name[len(img):]),
            ("inside the key", name[:cut] + "\0" + name[cut:]),
            ("at the end", name + "\0"),
        ]
        for where, text in positions:
            for opt in (OPT_GO, OPT_INFO, OPT_EXPORT_NAME):
                with self.subTest(where=where, opt=opt):
                    r = self.raw()
                    if opt == OPT_EXPORT_NAME:
                        r.option(opt, text.encode())
                        self.assertTrue(r.closed())
                        continue
                    replies = r.go(text, opt=opt)
                    if replies[-1][1] == REP_ACK and opt == OPT_GO:
                        # What a client would do next with what it was served.
                        r.request(CMD_WRITE, 0, 4096, data=b"\xee" * 4096)
                        r.simple_reply()
                    self.assertEqual(replies[-1][1], REP_ERR_INVALID, replies)
                    self.assertIn(b"NUL", replies[-1][2])
                    # The session goes on with its next option.
                    self.assertEqual(r.go(self.img)[-1][1], REP_ACK)
        self.assertSameBytes(open(img, "rb").read(), before)
        self.assertNotIn("bd_open [", self.srv.log_text())

    def test_only_regular_files_and_block_devices_are_opened(self):
        fifo = self.srv.path("fifo")
        os.mkfifo(fifo)
        sock_path = self.srv.path("sock")
        listener = socket.socket(socket.AF_UNIX)
        self.addCleanup(listener.close)
        listener.bind(sock_path)
        r = self.raw()
        for name in ("/dev/zero", "/dev/null", fifo, sock_path):
            with self.subTest(name):
                replies = r.go(name)
                self.assertEqual(replies[-1][1], REP_ERR_UNKNOWN, replies)
                self.assertIn(b"regular file or block device", replies[-1][2])
        # Nothing holds the FIFO open: a writer finds no reader.
        with self.assertRaises(OSError):
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        self.assertEqual(r.go(self.img)[-1][1], REP_ACK)

    def test_a_name_that_asks_for_read_only_is_advertised_read_only(self):
        r = self.raw()
        replies = r.go(self.img + "?flags=readonly")
        self.assertEqual(replies[0][2], struct.pack(">HQH", 0, 4 * MiB, 0x143))
        r.request(CMD_WRITE, 0, 512, data=b"\xee" * 512)
        self.assertEqual(r.simple_reply()[0], 1)

    def test_block_sizes_are_told_when_asked(self):
        cases = [("plain", self.img, 1), ("encrypted", self.encrypted(), 512)]
        for what, name, minimum in cases:
            with self.subTest(what):
                r = self.raw()
                replies = r.go(name, reqs=(3,))
                infos = {struct.unpack(">H", x[2][:2])[0]: x[2] for x in replies if x[1] == REP_INFO}
                self.assertEqual(infos[3], struct.pack(">HIII", 3, minimum, 4096, 32 * MiB))
                self.assertIn(0, infos)
        # Without the request no block sizes are sent.
        self.assertEqual([x[1] for x in self.raw().go(self.img)], [REP_INFO, REP_ACK])

    def test_qemu_io_reads_unaligned_bytes_of_an_encrypted_export(self):
        opts = "driver=raw,file.driver=nbd,file.host=127.0.0.1,file.port=%d,file.export=%s" % (
            self.srv.port, self.encrypted())
        out = subprocess.run(["qemu-io", "--image-opts", opts, "-c", "write -P 0xcd 0 4k",
                              "-c", "read -P 0xcd 7 100", "-c", "write -P 0x5a 1001 33", "-c", "read -P 0x5a 1001 33",
                              "-c", "read -P 0xcd 1034 100"], check=True, timeout=60, capture_output=True,
                             text=True)
        self.assertNotIn("fail", (out.stdout + out.stderr).lower(), out.stdout + out.stderr)
        self.assertIn("read 100/100 bytes at offset 7", out.stdout)

    def test_idle_sessions_give_back_large_buffers(self):
        # The sanitizer's quarantine would otherwise hold what was freed.
        self.srv.close()
        self.srv = Server(BINARY, KIND, readonly=True, env={"ASAN_OPTIONS": "allocator_may_return_null=1:"
                                                             "quarantine_size_mb=0:thread_local_quarantine_size_kb=0"})
        self.srv.start()
        self.addCleanup(self.srv.close)
        big = make_file(self.srv.path("big.img"), 32 * MiB, b"\x11" * 4096)
        sessions = []
        for _ in range(40):
            r = Raw(self.srv.port, timeout=30)
            self.addCleanup(r.close)
            r.greet()
            self.assertEqual(r.go(big)[-1][1], REP_ACK)
            sessions.append(r)
        time.sleep(0.5)
        before = self.srv.rss_kib()
        for r in sessions:
            r.request(CMD_READ, 0, 32 * MiB)
            self.assertEqual(r.simple_reply(32 * MiB)[0], 0)
        time.sleep(0.5)
        growth = (self.srv.rss_kib() - before) // 1024
        print("RSS growth of 40 idle sessions after one 32 MiB read each: %d MiB" % growth, file=sys.stderr)
        self.assertLess(growth, 200)

    def test_names_that_would_store_clear_text_or_widen_access_are_refused(self):
        img = make_file(self.srv.path("clear.img"), 4 * MiB, b"\x77" * 4096)
        with open(img, "rb") as f:
            before = f.read()
        key2 = "ff" * 32
        refused = [
            ("key without alg", "?key=" + self.KEY, b"a key is given without alg"),
            ("flags and a key", "?flags=rw&key=" + self.KEY, b"a key is given without alg"),
            ("empty alg", "?alg=&key=" + self.KEY, b"empty alg="),
            ("empty alg, then aes", "?alg=&alg=aes&key=" + self.KEY, b"parameter [alg] is named more than once"),
            ("two keys", "?alg=aes&key=%s&key=%s" % (self.KEY, key2), b"parameter [key] is named more than once"),
            ("two flags", "?flags=rw&flags=readonly", b"parameter [flags] is named more than once"),
            ("two sector_off", "?sector_off=0&sector_off=0", b"parameter [sector_off] is named more than once"),
            ("two vol_idx", "?vol_idx=0&vol_idx=0", b"parameter [vol_idx] is named more than once"),
        ]
        for what, query, text in refused:
            with self.subTest(what, opt="GO"):
                r = self.raw()
                replies = r.go(img + query)
                if replies[-1][1] == REP_ACK:
                    # What a client would do with what it was served.
                    r.request(CMD_WRITE, 0, 4096, data=b"\xee" * 4096)
                    r.simple_reply()
                self.assertEqual(replies[-1][1], REP_ERR_UNKNOWN, replies)
                self.assertIn(text, replies[-1][2])
                self.assertNotIn(self.KEY.encode(), replies[-1][2])
                self.assertNotIn(key2.encode(), replies[-1][2])
            with self.subTest(what, opt="EXPORT_NAME"):
                r = self.raw()
                r.option(OPT_EXPORT_NAME, (img + query).encode())
                served = not r.closed()
                if served:
                    r.recv(9)
                    r.request(CMD_WRITE, 0, 4096, data=b"\xee" * 4096)
                    r.simple_reply()
                self.assertFalse(served, "no reply comes to a name that cannot be served")
        # "readonly" among the words of flags wins, wherever it stands.
        for query in ("?flags=readonly,rw", "?flags=rw,readonly", "?flags=ReadOnly-sync.RW"):
            with self.subTest(query, opt="GO"):
                r = self.raw()
                replies = r.go(img + query)
                self.assertEqual(replies[0][2], struct.pack(">HQH", 0, 4 * MiB, 0x143))
                r.request(CMD_WRITE, 0, 4096, data=b"\xee" * 4096)
                self.assertEqual(r.simple_reply()[0], 1)
            with self.subTest(query, opt="EXPORT_NAME"):
                r = self.raw()
                r.option(OPT_EXPORT_NAME, (img + query).encode())
                size, flags = struct.unpack(">QH", r.recv(10))
                self.assertEqual((size, flags & 0x2), (4 * MiB, 0x2))
                r.request(CMD_WRITE, 0, 4096, data=b"\xee" * 4096)
                self.assertEqual(r.simple_reply()[0], 1)
        # A client URI whose own query takes the "alg" it was meant to carry.
        src = make_file(self.srv.path("plain.bin"), 4 * MiB, os.urandom(4 * MiB))
        uri = self.srv.uri(img + "%3Fkey=" + self.KEY) + "?alg=aes"
        res = subprocess.run(["nbdcopy", src, uri], capture_output=True, text=True, timeout=60)
        self.assertNotEqual(res.returncode, 0, "nbdcopy wrote through " + uri)
        with open(img, "rb") as f:
            self.assertSameBytes(f.read(), before)

    def test_a_link_swapped_while_clients_open_it_never_opens_what_is_not_served(self):
        """Four clients send GO on a link swapped between the image and a
        FIFO (as root also a character device node of our own for
        /dev/full's device): inotify sees no open of either."""
        targets = [self.srv.path("fifo")]
        os.mkfifo(targets[0])
        if os.geteuid() == 0:
            targets.append(self.srv.path("full"))
            os.mknod(targets[1], 0o600 | stat.S_IFCHR, os.makedev(1, 7))
        libc = ctypes.CDLL(None, use_errno=True)
        watch = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        self.assertGreaterEqual(watch, 0)
        self.addCleanup(os.close, watch)
        in_open = 0x20
        for t in targets:
            self.assertGreaterEqual(libc.inotify_add_watch(watch, t.encode(), in_open), 0, t)
        link = self.srv.path("swapped")
        for target in targets:
            stop = threading.Event()

            def swap():
                nxt, to_image = link + ".next", True
                while not stop.is_set():
                    if os.path.lexists(nxt):
                        os.unlink(nxt)
                    os.symlink(self.img if to_image else target, nxt)
                    os.replace(nxt, link)
                    to_image = not to_image
            counts, unexpected = {"served": 0, "refused": 0}, []
            lock = threading.Lock()

            def client():
                r = None
                try:
                    for _ in range(250):
                        if r is None:
                            r = Raw(self.srv.port)
                            r.greet()
                        replies = r.go(link)
                        last = replies[-1]
                        with lock:
                            if last[1] == REP_ACK and struct.unpack(">HQH", replies[0][2])[1] == 4 * MiB:
                                counts["served"] += 1
                            elif last[1] == REP_ERR_UNKNOWN and b"not a regular file or block device" in last[2]:
                                counts["refused"] += 1
                            else:
                                unexpected.append(replies)
                        if last[1] == REP_ACK:
                            r.close()
                            r = None
                except Exception as e:  # noqa: BLE001 -- reported by the test's thread
                    with lock:
                        unexpected.append(repr(e))
                finally:
                    if r is not None:
                        r.close()
            swapper = threading.Thread(target=swap)
            swapper.start()
            clients = [threading.Thread(target=client) for _ in range(4)]
            for c in clients:
                c.start()
            for c in clients:
                c.join()
            stop.set()
            swapper.join()
            with self.subTest(target):
                self.assertEqual(unexpected[:3], [])
                self.assertGreater(counts["served"], 0)
                self.assertGreater(counts["refused"], 0)
        opened = b""
        try:
            while True:
                opened += os.read(watch, 4096)
        except BlockingIOError:
            pass
        self.assertEqual(len(opened), 0, "a target was opened")

    def test_encrypted_exports_are_served_in_whole_units(self):
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "libblock"))
        try:
            from xts_ref import xts
        except ImportError:
            self.skipTest("python3-cryptography is not installed")
        for size in (700, 1048584, 1049576):
            with self.subTest(size=size):
                whole = size - size % 512
                data = os.urandom(size)
                enc = make_file(self.srv.path("enc-%d.img" % size), size, data)
                name = enc + "?alg=aes&key=" + self.KEY
                replies = self.raw().go(name)
                self.assertEqual(replies[-1][1], REP_ACK, replies)
                self.assertEqual(struct.unpack(">HQH", replies[0][2])[1], whole)
                out = self.srv.path("out-%d.bin" % size)
                subprocess.run(["nbdcopy", self.srv.uri(name.replace("?", "%3F")), out], check=True, timeout=60,
                               capture_output=True)
                with open(out, "rb") as f:
                    got = f.read()
                self.assertEqual(len(got), whole)
                self.assertSameBytes(got, xts("dec", self.KEY, 0, data[:whole]))
                with open(enc, "rb") as f:
                    self.assertSameBytes(f.read(), data)


    def test_a_volume_named_with_a_cipher_or_an_offset_is_served_inside_the_volume(self):
        """Media partitioned by sfdisk (an MBR, a GPT), each export filled by
        nbdcopy: the size told is the volume's from the offset on, the table
        and every byte outside the volume keep their digests, and a cipher
        volume holds the independent XTS numbered from the window's start."""
        if shutil.which("sfdisk") is None:
            self.skipTest("sfdisk is not installed")
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "libblock"))
        try:
            from xts_ref import xts
        except ImportError:
            self.skipTest("python3-cryptography is not installed")
        tables = [("mbr", "label: dos\nstart=2048, size=4096, type=83\nstart=6144, size=2048, type=83\n"),
                  ("gpt", "label: gpt\nstart=2048, size=4096\nstart=6144, size=2048\n")]
        volumes = {1: (2048, 4096), 2: (6144, 2048)}  # start and size in sectors
        aes = "&alg=aes&key=" + self.KEY
        rows = [("vol_idx=1", 1, 0), ("vol_idx=1" + aes, 1, 0), ("vol_idx=2" + aes, 2, 0),
                ("vol_idx=1&sector_off=8", 1, 8), ("vol_idx=2&sector_off=8", 2, 8),
                ("vol_idx=2&sector_off=8" + aes, 2, 8), ("vol_idx=1&sector_off=4096", 1, 4096)]
        piece = 64 << 10

        def digest(b):
            return hashlib.sha256(b).hexdigest()

        def contents(path):
            with open(path, "rb") as f:
                return f.read()

        for label, script in tables:
            img = make_file(self.srv.path(label + ".img"), 5 * MiB, os.urandom(5 * MiB))
            subprocess.run(["sfdisk", "-q", img], input=script.encode(), check=True, capture_output=True)
            pristine = contents(img)
            dump = subprocess.run(["sfdisk", "--dump", img], capture_output=True, check=True).stdout
            for query, vol, off in rows:
                with self.subTest(table=label, name=query[:40]):
                    with open(img, "wb") as f:
                        f.write(pristine)
                    start, count = volumes[vol]
                    start, size = (start + off) * 512, (count - off) * 512
                    name = img + "?" + query
                    replies = self.raw().go(name)
                    if size <= 0:
                        self.assertEqual(replies[-1][1], REP_ERR_UNKNOWN, replies)
                        self.assertIn(b"sector_off=4096 (2097152 bytes) is at or past the end of vol_idx=1",
                                      replies[-1][2])
                        continue
                    self.assertEqual(replies[-1][1], REP_ACK, replies)
                    self.assertEqual(struct.unpack(">HQH", replies[0][2])[1], size)
                    data = os.urandom(size)
                    src = make_file(self.srv.path("src.bin"), size, data)
                    subprocess.run(["nbdcopy", src, self.srv.uri(name.replace("?", "%3F").replace("&", "%26"))],
                                   check=True, timeout=60, capture_output=True)
                    stored = contents(img)
                    self.assertEqual(digest(stored[:start]), digest(pristine[:start]), "before the volume")
                    self.assertEqual(digest(stored[start + size:]), digest(pristine[start + size:]),
                                     "after the volume")
                    self.assertEqual(subprocess.run(["sfdisk", "--dump", img], capture_output=True).stdout, dump)
                    window = stored[start:start + size]
                    if "alg=aes" not in query:
                        self.assertSameBytes(window, data)
                        continue
                    for at in (0, size - piece):
                        self.assertSameBytes(window[at:at + piece], xts("enc", self.KEY, at, data[at:at + piece]))

# Set to a directory of the test's own in the run that mounts below it, in a
# mount namespace of its own.
LOOP_NS_DIR = "ZORV_E2E_LOOP_NS_DIR"


def detach_loops_below(path, only=None):
    """Detaches every loop device whose backing file lies below path (of
    them, only the device named only, when given): a device another program
    attached, under the same number or not, is left alone."""
    listed = subprocess.run(["losetup", "--list", "--noheadings", "--raw", "--output", "NAME,BACK-FILE"],
                            capture_output=True, text=True)
    for line in listed.stdout.splitlines():
        name, _, back = line.partition(" ")
        if back.startswith(path.rstrip("/") + "/") and only in (None, name):
            subprocess.run(["losetup", "--detach", name], capture_output=True)


class FailedFlush(ServerCase):
    """Once a sync of a file has failed, its data may be gone: no later flush
    of it, from any session, may say otherwise."""
    readonly = False

    def assert_every_later_flush_fails(self, name, first_flush_err=5):
        r = self.opened(name)
        for off in range(0, 8 * MiB, MiB):
            r.request(CMD_WRITE, off, MiB, data=b"\xc3" * MiB)
            self.assertEqual(r.simple_reply()[0], 0)
        r.request(CMD_FLUSH)
        self.assertEqual(r.simple_reply()[0], first_flush_err, self.srv.log_text())
        cases = [
            ("the second flush", r, dict(cmd=CMD_FLUSH)),
            ("a FUA write", r, dict(cmd=CMD_WRITE, offset=0, length=4096, flags=1, data=b"\x3c" * 4096)),
            ("a FUA write zeroes", r, dict(cmd=CMD_WRITE_ZEROES, offset=4096, length=4096, flags=1)),
            ("a new session's flush", self.opened(name), dict(cmd=CMD_FLUSH)),
        ]
        for what, session, req in cases:
            with self.subTest(what):
                session.request(**req)
                self.assertEqual(session.simple_reply()[0], 5)
        # Another file keeps its flushes.
        other = self.opened()
        other.request(CMD_FLUSH)
        self.assertEqual(other.simple_reply()[0], 0)
        log = self.srv.log_text()
        named = [line for line in log.splitlines() if "sync of [%s]" % name in line]
        self.assertEqual(len(named), 1, log)

    def in_own_mount_namespace(self, test):
        """Runs test again under unshare -m (skipped with the reason where
        the machine allows none); whatever its outcome, no loop device it
        attached below its directory stays."""
        if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
            self.skipTest("no mount namespace of its own here (unshare -m)")
        outer = tempfile.mkdtemp(prefix="zorv-e2e-ns-")
        self.addCleanup(shutil.rmtree, outer, True)
        self.addCleanup(detach_loops_below, outer)
        try:
            run = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable,
                                  os.path.abspath(__file__), BINARY, KIND, test],
                                 env=dict(os.environ, **{LOOP_NS_DIR: outer}), capture_output=True, text=True,
                                 timeout=240)
        except subprocess.TimeoutExpired as e:
            self.fail("timed out in its mount namespace: %s" % (e.stderr or b"").decode(errors="replace")[-2000:])
        skipped = re.search(r"skipped '(.*)'", run.stderr)
        if run.returncode == 0 and skipped:
            self.skipTest(skipped.group(1))
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)

    def test_a_sync_that_fails_once_fails_every_later_flush(self):
        shim = os.environ.get("ZORV_E2E_SHIM")
        if not shim:
            self.skipTest("ZORV_E2E_SHIM names no medium shim")
        self.srv.close()
        self.srv = Server(BINARY, KIND, readonly=False,
                          env={"LD_PRELOAD": shim, "ASAN_OPTIONS": "verify_asan_link_order=0"}).start()
        self.addCleanup(self.srv.close)
        self.img = make_file(self.srv.path("disk.img"), 4 * MiB)
        self.assert_every_later_flush_fails(make_file(self.srv.path("fail-sync.img"), 16 * MiB))

    def test_a_loop_device_over_a_full_tmpfs(self):
        """The kernel's own writeback failure: the loop device's backing file
        cannot grow past its 4 MiB file system. Run again in a mount
        namespace of its own, so that no mount outlives it."""
        if os.geteuid() != 0:
            self.skipTest("mounting a tmpfs and setting up a loop device need root")
        if os.environ.get(LOOP_NS_DIR) is None:
            return self.in_own_mount_namespace("FailedFlush.test_a_loop_device_over_a_full_tmpfs")
        mnt = os.path.join(os.environ[LOOP_NS_DIR], "small")
        os.mkdir(mnt)
        res = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", mnt], capture_output=True, text=True)
        if res.returncode != 0:
            self.skipTest("cannot mount a tmpfs: " + res.stderr.strip())
        backing = make_file(os.path.join(mnt, "backing.img"), 16 * MiB)
        res = subprocess.run(["losetup", "--find", "--show", backing], capture_output=True, text=True)
        loop = res.stdout.strip()

        def release():
            self.srv.stop()
            if loop:
                subprocess.run(["losetup", "-d", loop], capture_output=True)
            deadline = time.monotonic() + 10
            while subprocess.run(["umount", mnt], capture_output=True).returncode != 0:
                if time.monotonic() > deadline:
                    raise RuntimeError("cannot unmount " + mnt)
                time.sleep(0.1)
        self.addCleanup(release)
        if res.returncode != 0 or not loop:
            self.skipTest("no loop device: " + res.stderr.strip())
        self.assert_every_later_flush_fails(loop)

    def test_a_loop_device_reattached_is_a_new_medium(self):
        """A loop device whose sync failed, detached and attached to a fresh
        image under the same number: a new disk sequence number, a new
        medium whose flushes succeed."""
        shim = os.environ.get("ZORV_E2E_SHIM")
        if not shim:
            self.skipTest("ZORV_E2E_SHIM names no medium shim")
        if os.geteuid() != 0:
            self.skipTest("loop devices and device nodes need root")
        self.srv.close()
        self.srv = Server(BINARY, KIND, readonly=False,
                          env={"LD_PRELOAD": shim, "ASAN_OPTIONS": "verify_asan_link_order=0"}).start()
        self.addCleanup(self.srv.close)
        first = make_file(self.srv.path("first.img"), 16 * MiB)
        res = subprocess.run(["losetup", "--find", "--show", first], capture_output=True, text=True)
        loop = res.stdout.strip()
        if res.returncode != 0 or not loop:
            self.skipTest("no loop device: " + res.stderr.strip())
        # Only while it is still attached to one of this case's images: the
        # case detaches it itself, and another program may take its number.
        self.addCleanup(detach_loops_below, self.srv.dir.name, loop)
        # A node of our own for the device, named for the shim: its first
        # sync fails.
        node = self.srv.path("fail-sync-disk")
        os.mknod(node, 0o600 | stat.S_IFBLK, os.stat(loop).st_rdev)

        def session_flush(fua=False):
            r = Raw(self.srv.port)
            try:
                r.greet()
                self.assertEqual(r.go(node)[-1][1], REP_ACK)
                r.request(CMD_WRITE, 0, MiB, flags=1 if fua else 0, data=b"\x5a" * MiB)
                written = r.simple_reply()[0]
                r.request(CMD_FLUSH)
                return written, r.simple_reply()[0]
            finally:
                r.close()
        self.assertEqual(session_flush(), (0, 5), self.srv.log_text())
        self.assertEqual(session_flush(), (0, 5), "another session on the same medium")
        # The device goes only once the daemon has closed it: a busy loop
        # device is detached at its last close.
        deadline = time.monotonic() + 30
        while any(os.path.realpath("/proc/%d/fd/%s" % (self.srv.proc.pid, fd)) == node
                  for fd in os.listdir("/proc/%d/fd" % self.srv.proc.pid)):
            self.assertLess(time.monotonic(), deadline, "the daemon keeps the loop device open")
            time.sleep(0.05)
        subprocess.run(["losetup", "-d", loop], check=True, capture_output=True)
        second = make_file(self.srv.path("second.img"), 16 * MiB)
        res = subprocess.run(["losetup", loop, second], capture_output=True, text=True)
        if res.returncode != 0:
            self.skipTest("%s was taken before it could be attached again: %s" % (loop, res.stderr.strip()))
        self.assertEqual(session_flush(), (0, 0), self.srv.log_text())
        self.assertEqual(session_flush(fua=True), (0, 0))


class Lifecycle(unittest.TestCase):
    def test_sigterm_with_3_idle_clients_ends_with_status_0(self):
        srv = Server(BINARY, KIND).start()
        self.addCleanup(srv.close)
        img = make_file(srv.path("idle.img"), MiB)
        handles = []
        for _ in range(3):
            h = new_handle(self)
            h.connect_uri(srv.uri(img))
            handles.append(h)
        start = time.monotonic()
        status = srv.stop(timeout=10)
        elapsed = time.monotonic() - start
        self.assertEqual(status, 0, srv.log_text())
        self.assertLess(elapsed, 5.0)
        for h in handles:
            close_handle(h)

    def test_sigterm_while_a_session_opens_a_slow_medium_ends_with_status_0(self):
        shim = os.environ.get("ZORV_E2E_SHIM")
        if not shim:
            self.skipTest("ZORV_E2E_SHIM names no medium shim")
        srv = Server(BINARY, KIND, env={"LD_PRELOAD": shim, "ASAN_OPTIONS": "allocator_may_return_null=1:"
                                                                            "verify_asan_link_order=0"})
        srv.start()
        self.addCleanup(srv.close)
        slow = make_file(srv.path("slow-medium.img"), 4 * MiB, b"\x01" * 4096)
        r = Raw(srv.port)
        self.addCleanup(r.close)
        r.greet()
        n = (slow + "?vol_idx=1").encode()
        r.option(OPT_GO, struct.pack(">I", len(n)) + n + struct.pack(">H", 0))
        time.sleep(1)
        start = time.monotonic()
        status = srv.stop(timeout=10)
        self.assertEqual(status, 0, srv.log_text())
        # The stop's own bound is 3 s; waiting for the read would take 11.
        self.assertLess(time.monotonic() - start, 6.0)

    def test_port_taken_ends_with_status_255(self):
        # Bound but not listening: the daemon's instance check finds nobody
        # answering, and its listener cannot bind.
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
            srv = Server(BINARY, KIND, port=port)
            self.addCleanup(srv.close)
            srv.start(expect_listen=False)
            self.assertEqual(srv.proc.wait(30), 255, srv.log_text())
            srv.proc = None


if __name__ == "__main__":
    BINARY, KIND = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
