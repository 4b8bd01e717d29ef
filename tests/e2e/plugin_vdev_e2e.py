"""End-to-end tests of the optional drivers through the running daemon: a
block-driver plug-in named by the configuration section "bd_plugins_load",
and virtual devices from the JSON description named by "zorv:vdev_file",
read and written by nbdcopy, nbdinfo and python3-libnbd. A daemon whose
configuration names neither switches neither on.

Run: plugin_vdev_e2e.py ZORV_BINARY PLUGIN_SO [unittest arguments...]
"""
import hashlib
import json
import os
import subprocess
import sys
import unittest
import urllib.parse

try:
    import nbd
except ImportError:
    nbd = None

from nbd_server import Server, make_file

BINARY, PLUGIN = None, None
MiB = 1 << 20


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class DaemonCase(unittest.TestCase):
    """A daemon on a free port logging at dbg level, with extra configuration."""

    def daemon(self, conf_extra="", readonly=True, level="dbg"):
        srv = Server(BINARY, "daemon", readonly=readonly)
        self.addCleanup(srv.close)
        conf = srv.path("zorv.ini")
        with open(conf) as f:
            text = f.read() + conf_extra
        with open(conf, "w") as f:
            f.write(text)
        srv.cmd[srv.cmd.index("warn")] = level
        return srv

    def uri(self, srv, export):
        # The export name is a block-layer name ("://", "?"): quoted whole.
        return "nbd://127.0.0.1:%d/%s" % (srv.port, urllib.parse.quote(export, safe="/"))

    def nbdcopy(self, src, dst):
        res = subprocess.run(["nbdcopy", src, dst], capture_output=True, text=True, timeout=120)
        self.assertEqual(res.returncode, 0, res.stderr)


class Plugin(DaemonCase):
    def test_load_failures_are_err_lines_with_their_reason(self):
        srv = self.daemon(level="warn")
        missing = srv.path("missing.so")
        not_elf = make_file(srv.path("not-elf.so"), 4096, b"not an ELF file\n" * 8)
        # A shared object without the entry points.
        no_entry = "libm.so.6"
        with open(srv.path("zorv.ini"), "a") as f:
            f.write("\n[bd_plugins_load]\n0=%s\n1=%s\n2=%s\n" % (missing, not_elf, no_entry))
        srv.start()
        img = make_file(srv.path("disk.img"), MiB)
        served = subprocess.run(["nbdinfo", "--size", self.uri(srv, img)], capture_output=True, text=True, timeout=60)
        self.assertEqual(served.stdout.strip(), str(MiB), served.stderr)
        log = srv.log_text()
        for text in ("plug-in [%s] refused: cannot open [%s]: No such file or directory" % (missing, missing),
                     "os_dlopen2 [%s] error: %s: invalid ELF header" % (not_elf, not_elf),
                     "os_dlsym [%s] qd_disk_plug_name failed: " % no_entry):
            self.assertIn(text, log)

    def test_plugin_from_the_configuration_serves_nbdcopy_both_ways(self):
        srv = self.daemon(conf_extra="\n[bd_plugins_load]\n0=%s\n" % PLUGIN, readonly=False)
        srv.start()
        img = srv.path("disk.img")
        with open(img, "wb") as f:
            f.write(os.urandom(8 * MiB))
        export = "testplug://" + img
        local = srv.path("local.img")
        self.nbdcopy(self.uri(srv, export), local)
        self.assertEqual(digest(local), digest(img))

        data = srv.path("data.img")
        with open(data, "wb") as f:
            f.write(os.urandom(8 * MiB))
        self.nbdcopy(data, self.uri(srv, export))
        self.assertEqual(digest(img), digest(data))
        log = srv.log_text()
        self.assertIn("bd_plug_list=[%s]" % PLUGIN, log)
        self.assertIn("use plugin [%s] [testplug]" % PLUGIN, log)

    def test_without_the_section_no_plugin_is_loaded(self):
        srv = self.daemon(readonly=True)
        srv.start()
        img = make_file(srv.path("disk.img"), MiB, b"abc")
        local = srv.path("local.img")
        # The name still opens, through the built-in file driver.
        self.nbdcopy(self.uri(srv, "testplug://" + img), local)
        self.assertEqual(digest(local), digest(img))
        log = srv.log_text()
        self.assertNotIn("bd_plug_list", log)
        self.assertNotIn("use plugin", log)

    def test_a_plugin_that_does_not_load_leaves_the_daemon_serving(self):
        srv = self.daemon()
        # A name in the daemon's own directory that is not there, and a
        # file it holds that is no library.
        missing = srv.path("missing/p.so")
        not_library = srv.path("not_a_library.so")
        with open(not_library, "w") as f:
            f.write("plain text, no shared object\n")
        with open(srv.path("zorv.ini"), "a") as f:
            f.write("\n[bd_plugins_load]\n0=%s\n1=%s\n" % (missing, not_library))
        srv.start()
        img = make_file(srv.path("disk.img"), MiB, b"abc")
        local = srv.path("local.img")
        self.nbdcopy(self.uri(srv, img), local)
        self.assertEqual(digest(local), digest(img))
        log = srv.log_text()
        self.assertIn("plug-in [%s] refused: cannot open [%s]: No such file or directory"
                      % (missing, os.path.dirname(missing)), log)
        self.assertIn("os_dlopen2 [%s] error: " % not_library, log)


class VirtualDevices(DaemonCase):
    def vdev_daemon(self, desc=None, level="dbg"):
        """A daemon with the virtual devices of desc, by default four of them;
        the description's path is absolute."""
        srv = self.daemon(level=level)
        desc_path = srv.path("vdev.json")
        conf = srv.path("zorv.ini")
        with open(conf) as f:
            text = f.read().replace("[zorv]\n", "[zorv]\nvdev_file=%s\n" % desc_path, 1)
        with open(conf, "w") as f:
            f.write(text)
        if desc is None:
            self.backing = make_file(srv.path("backing.img"), 2 * MiB, bytes(range(256)) * 4096)
            desc = {
                "ver": "1",
                "dev": [
                    {"name": "/vdev/zero", "type": "zero", "size": "4M", "info": "zeros"},
                    {"name": "/vdev/random", "type": "random", "size": MiB},
                    {"name": "/vdev/bad", "type": "bad_zero", "size": "1M", "bad_sector_ranges": ["100-8"]},
                    {"name": self.backing, "type": "file", "sector_bytes": 4096},
                ],
            }
        with open(desc_path, "w") as f:
            json.dump(desc, f)
        return srv.start()

    def test_devices_read_back_their_documented_bytes(self):
        srv = self.vdev_daemon()
        zero = srv.path("zero.out")
        self.nbdcopy(self.uri(srv, "/vdev/zero"), zero)
        self.assertEqual(os.path.getsize(zero), 4 * MiB)
        self.assertEqual(digest(zero), hashlib.sha256(bytes(4 * MiB)).hexdigest())
        copy = srv.path("file.out")
        self.nbdcopy(self.uri(srv, self.backing), copy)
        self.assertEqual(digest(copy), digest(self.backing))
        rnd = srv.path("random.out")
        self.nbdcopy(self.uri(srv, "/vdev/random"), rnd)
        self.assertEqual(os.path.getsize(rnd), MiB)
        self.assertNotEqual(digest(rnd), hashlib.sha256(bytes(MiB)).hexdigest())

        listing = subprocess.run(["nbdinfo", "--list", "--json", self.uri(srv, "")], capture_output=True, text=True,
                                 timeout=60)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        names = [e["export-name"] for e in json.loads(listing.stdout)["exports"]]
        for name in ("/vdev/zero", "/vdev/random", "/vdev/bad", self.backing):
            self.assertIn(name, names)

    def test_bad_sectors_answer_eio_exactly_where_they_are(self):
        if nbd is None:
            self.skipTest("python3-libnbd is not installed")
        srv = self.vdev_daemon()
        h = nbd.NBD()
        h.set_export_name("/vdev/bad")
        h.connect_tcp("127.0.0.1", str(srv.port))
        self.addCleanup(h.shutdown)
        self.assertEqual(h.get_size(), MiB)
        cases = [
            (200 * 512, 8 * 512, False),
            (100 * 512, 512, True),
            (99 * 512, 1024, True),
            (107 * 512, 512, True),
            (108 * 512, 512, False),
            (99 * 512, 512, False),
            (0, 100 * 512, False),
            (0, 101 * 512, True),
        ]
        for offset, count, bad in cases:
            with self.subTest(offset=offset, count=count):
                if bad:
                    with self.assertRaises(nbd.Error) as ctx:
                        h.pread(count, offset)
                    self.assertEqual(ctx.exception.errno, "EIO")
                else:
                    self.assertEqual(h.pread(count, offset), bytes(count))

    def test_bad_descriptions_are_refused_with_the_entry_and_the_reason(self):
        ok = {"name": "/vdev/ok", "type": "zero", "size": "1M"}
        cases = [
            ("dev not an array", {"dev": "x"}, "get [$.dev] error: a string, takes an array", []),
            ("range past the end", {"dev": [ok, {"name": "/vdev/bad", "type": "bad_zero", "size": "1M",
                                                 "bad_sector_ranges": ["2047-2"]}]},
             "get [$.dev[1].bad_sector_ranges[0]] error: range [2047-2] past the device's end (2048 sectors)",
             ["/vdev/ok"]),
            ("unknown key", {"dev": [ok, {"name": "/vdev/bad", "type": "zero", "size": "1M", "sectorbytes": 4096}]},
             "get [$.dev[1]] error: unknown key [sectorbytes]", ["/vdev/ok"]),
            ("wrong type", {"dev": [ok, {"name": "/vdev/bad", "type": "zero", "size": [1]}]},
             "get [$.dev[1].size] error: an array, takes a string or a number", ["/vdev/ok"]),
        ]
        for what, desc, text, served in cases:
            with self.subTest(what):
                srv = self.vdev_daemon(desc, level="warn")
                for name in ("/vdev/ok", "/vdev/bad"):
                    res = subprocess.run(["nbdinfo", "--size", self.uri(srv, name)], capture_output=True, text=True,
                                         timeout=60)
                    self.assertEqual(res.returncode == 0, name in served, res.stderr)
                self.assertIn(text, srv.log_text())
                srv.close()

    def test_without_vdev_file_no_virtual_device_exists(self):
        if nbd is None:
            self.skipTest("python3-libnbd is not installed")
        srv = self.daemon()
        srv.start()
        h = nbd.NBD()
        h.set_export_name("/vdev/zero")
        with self.assertRaises(nbd.Error):
            h.connect_tcp("127.0.0.1", str(srv.port))
        self.assertNotIn("vdev", srv.log_text().replace("/vdev/zero", ""))


if __name__ == "__main__":
    BINARY, PLUGIN = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
