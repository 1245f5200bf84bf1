"""The editor's QR code, read by a real decoder.

The test host opens the plug-in's editor while a chord streams; snapshots of
one paint (PNG) of both tabs at three content scales go through zbarimg,
which must read exactly the pairing URL. A restart of the server binds a new
port: the code must follow it.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import vantrel_host as vh  # noqa: E402

SCALES = ((0.75, "720x480"), (1.0, "960x640"), (2.0, "1920x1280"))
TABS = (("listening", (260, 45)), ("settings", (370, 45)))
SNAPSHOT_TIMEOUT_S = 30   # a software-rendered paint at 1920 x 1280 under load


def decode(png):
    """The texts zbarimg reads in the picture (it prints one per symbol)."""
    done = subprocess.run(["zbarimg", "--raw", "-q", png], capture_output=True, text=True, timeout=30)
    return [line for line in done.stdout.splitlines() if line]


class EditorQr(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if shutil.which("zbarimg") is None:
            raise unittest.SkipTest("zbarimg is missing: run scripts/setup")
        cls.dir = tempfile.mkdtemp(prefix="vantrel-qr-")
        cls.host = vh.TestHost(signal="chord", editor=True).start()
        cls.host.next_line("EDITOR open")

    @classmethod
    def tearDownClass(cls):
        cls.host.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def snapshot(self, name):
        path = os.path.join(self.dir, name + ".png")
        self.host.send(f"snapshot {path}")
        self.assertEqual(self.host.next_line("SNAPSHOT", timeout=SNAPSHOT_TIMEOUT_S), "SNAPSHOT ok")
        return path

    def show_tab(self, point):
        self.host.send(f"click {point[0]} {point[1]}")
        self.host.next_line("CLICKED", timeout=SNAPSHOT_TIMEOUT_S)

    def test_both_tabs_at_every_scale_read_the_pairing_url(self):
        for scale, size in SCALES:
            self.host.send(f"scale {scale}")
            self.assertEqual(self.host.next_line("SCALE", timeout=SNAPSHOT_TIMEOUT_S), f"SCALE 0 {size}")
            for tab, point in TABS:
                with self.subTest(scale=scale, tab=tab):
                    self.show_tab(point)
                    self.assertEqual(decode(self.snapshot(f"{tab}-{scale}")), [self.host.url])

    def test_a_server_restart_moves_the_code_to_the_new_port(self):
        self.host.send("scale 1.0")
        self.host.next_line("SCALE", timeout=SNAPSHOT_TIMEOUT_S)
        before = self.host.url
        self.host.send("terminate")
        self.host.next_line("TERMINATED")
        self.host.send("initialize")
        self.host._await_listening()
        self.assertNotEqual(self.host.url, before)
        self.assertEqual(decode(self.snapshot("restarted")), [self.host.url])


if __name__ == "__main__":
    unittest.main(verbosity=2)
