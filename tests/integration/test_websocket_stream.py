#!/usr/bin/env python3
"""The plug-in's WebSocket listeners from the outside: the handshake byte for
byte, the order and form of the frames a listener receives, the PCM of the
counter signal sample for sample, control frames, the listener limit, a
stalled reader, and streaming switched off. Raw sockets to 127.0.0.1 where
bytes matter; one standard client library for interoperability."""

import asyncio
import base64
import hashlib
import json
import math
import os
import socket
import struct
import sys
import threading
import time
import unittest

# Debian ships the WebSocket client library for its own interpreter; another
# python3 first on PATH does not see it, so run under Debian's instead.
try:
    import websockets
except ImportError:
    websockets = None
    debian_python = "/usr/bin/python3"
    if (os.path.exists(debian_python) and not os.environ.get("VANTREL_PY_REEXEC")
            and os.path.realpath(sys.executable) != os.path.realpath(debian_python)):
        os.environ["VANTREL_PY_REEXEC"] = "1"
        os.execv(debian_python, [debian_python, os.path.abspath(__file__)] + sys.argv[1:])

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vantrel_host as vh  # noqa: E402

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
RATE = 48000
BLOCK_FRAMES = 256
COUNTER_PERIOD = 65536
SINE_HZ = 220.0
SINE_AMPLITUDE = 0.2
TWO_PI = 6.283185307179586
CONFIG_48K = b'{"type":"config","sampleRate":48000,"channels":2,"format":"float32"}'
BAD_UPGRADE = ("400 Bad Request", vh.TYPE_TEXT, b"Invalid upgrade")
LISTENER_LIMIT = ("503 Service Unavailable", vh.TYPE_TEXT, b"Dinleyici sinirina ulasildi.")
MAX_LISTENERS = 8
PARAM_STREAMING = 100

host = None


def setUpModule():
    global host
    host = vh.TestHost(signal="counter", rate=RATE, block=BLOCK_FRAMES).start()


def tearDownModule():
    if host is not None:
        host.stop()


def accept_for(ws_key):
    return base64.b64encode(hashlib.sha1(ws_key.encode("latin-1") + GUID).digest()).decode()


def switching_reply(ws_key):
    return (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            b"Sec-WebSocket-Accept: " + accept_for(ws_key).encode() + b"\r\n\r\n")


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def sine_at(n):
    return f32(SINE_AMPLITUDE * math.sin(TWO_PI * SINE_HZ * n / RATE))


def status_of(payload):
    message = json.loads(payload)
    assert message["type"] == "status", payload
    return message


class CounterCheck:
    """Follows the counter signal across PCM frames: the left sample of frame
    n must be exactly (n mod 65536) / 65536 and the right one the sine at the
    same n. The absolute n is found from the first frame's sine values."""

    def __init__(self):
        self.next_n = None
        self.frames = 0
        self.gaps = []
        self.bad_samples = []

    def _locate(self, left, right):
        m = round(left * COUNTER_PERIOD)
        for wraps in range(20000):
            n = wraps * COUNTER_PERIOD + m
            if all(abs(right[i] - sine_at(n + i)) <= 1e-6 for i in range(min(8, len(right)))):
                return n
        raise AssertionError("right channel matches the sine at no frame index")

    def feed(self, payload):
        count = len(payload) // 8
        samples = struct.unpack(f"<{2 * count}f", payload)
        left, right = samples[0::2], samples[1::2]
        if self.next_n is None:
            self.next_n = self._locate(left[0], right)
        elif round(left[0] * COUNTER_PERIOD) != self.next_n % COUNTER_PERIOD:
            self.gaps.append((self.next_n % COUNTER_PERIOD, left[0] * COUNTER_PERIOD))
            self.next_n = self._locate(left[0], right)
        for i in range(count):
            n = self.next_n + i
            if left[i] != (n % COUNTER_PERIOD) / COUNTER_PERIOD or abs(right[i] - sine_at(n)) > 1e-6:
                self.bad_samples.append((n, left[i], right[i]))
        self.next_n += count
        self.frames += count


class Listener(vh.WsClient):
    """A raw listener of a test host that can read in a background thread and
    checks the counter signal in every PCM frame it gets."""

    def __init__(self, test_host, **kw):
        super().__init__(test_host.port, test_host.key, **kw)
        self.counter = CounterCheck()
        self.pcm = 0
        self.eof = False
        self._stop = threading.Event()
        self._thread = None

    def drain_in_background(self):
        self._thread = threading.Thread(target=self._drain, daemon=True)
        self._thread.start()
        return self

    def _drain(self):
        self.sock.settimeout(0.2)
        while not self._stop.is_set():
            try:
                opcode, payload, _ = self.frame()
            except socket.timeout:
                continue
            except (EOFError, OSError):
                self.eof = True
                return
            if opcode == 2:
                self.pcm += 1
                self.counter.feed(payload)

    def close(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join(timeout=2)
        super().close()


def frames_until(client, predicate, limit_s, collect=None):
    """Reads frames until predicate(opcode, payload) holds; returns that frame."""
    end = time.monotonic() + limit_s
    while time.monotonic() < end:
        client.sock.settimeout(max(0.05, end - time.monotonic()))
        opcode, payload, header = client.frame()
        if collect is not None:
            collect.append((time.monotonic(), opcode, payload, header))
        if predicate(opcode, payload):
            return opcode, payload, header
    raise AssertionError("expected frame did not arrive in %.1f s" % limit_s)


def read_until_eof(client, limit_s=3.0):
    """Every frame up to the server's close; a reset counts as the close."""
    frames, end = [], time.monotonic() + limit_s
    while time.monotonic() < end:
        client.sock.settimeout(max(0.05, end - time.monotonic()))
        try:
            frames.append(client.frame())
        except (EOFError, ConnectionResetError):
            return frames, client.buffer
    raise AssertionError("the server did not close the connection in %.1f s" % limit_s)


class WithNoListeners(unittest.TestCase):
    def setUp(self):
        count = host.wait_listeners(lambda n: n == 0)
        self.assertEqual(count, 0, "listeners left over from an earlier test")


class Handshake(WithNoListeners):
    """The upgrade: exact 101 reply and accept value, and every refusal."""

    def test_reply_is_129_bytes_with_the_accept_value(self):
        with vh.WsClient(host.port, host.key) as c:
            self.assertEqual(c.reply, switching_reply(vh.RFC_EXAMPLE_KEY))
            self.assertEqual(len(c.reply), 129)
            self.assertIn(vh.RFC_EXAMPLE_ACCEPT.encode(), c.reply)
        # Any 24 bytes are hashed as they are, base64 or not.
        odd_key = "!!not base64 at all:-)!!"
        with vh.WsClient(host.port, host.key,
                         request=vh.upgrade_request(host.port, host.key, ws_key=odd_key)) as c:
            self.assertEqual(c.reply, switching_reply(odd_key))

    def test_header_table(self):
        port, key = host.port, host.key
        here = f"{vh.LOOPBACK}:{port}"
        named = f"vantrel.test:{port}"
        upgraded, refused = "101", "400"
        cases = [
            ("key of 23 bytes", dict(ws_key="A" * 23), refused),
            ("key of 25 bytes", dict(ws_key="A" * 25), refused),
            ("no key", dict(ws_key=None), refused),
            ("upgrade in mixed case", dict(upgrade="WebSocket"), upgraded),
            ("upgrade naming a second protocol", dict(upgrade="websocket, foo"), refused),
            ("no upgrade header", dict(upgrade=None), refused),
            ("version 8", dict(version="8"), refused),
            ("no version", dict(version=None), refused),
            ("version with blanks around it", dict(version=" \t13  "), upgraded),
            ("empty origin", dict(extra=[("Origin", "")]), upgraded),
            ("origin http:// + host", dict(extra=[("Origin", "http://" + here)]), upgraded),
            ("origin https:// + host", dict(extra=[("Origin", "https://" + here)]), refused),
            ("origin with a letter in another case",
             dict(host=named, extra=[("Origin", "http://Vantrel.test:" + str(port))]), refused),
            ("origin without the port", dict(extra=[("Origin", "http://" + vh.LOOPBACK)]), refused),
            ("origin and no host: only http:// matches", dict(host=None, extra=[("Origin", "http://")]),
             upgraded),
            ("origin and no host", dict(host=None, extra=[("Origin", "http://" + here)]), refused),
            ("no connection header", dict(extra=[]), upgraded),
        ]
        for name, kw, outcome in cases:
            with self.subTest(name):
                ws_key = kw.get("ws_key", vh.RFC_EXAMPLE_KEY)
                request = vh.upgrade_request(port, key, **kw)
                if name == "no connection header":
                    request = request.replace(b"Connection: Upgrade\r\n", b"")
                if outcome == refused:
                    self.assertEqual(vh.http_exchange(port, request, half_close=False),
                                     vh.expected_reply(*BAD_UPGRADE))
                    continue
                with vh.WsClient(port, key, request=request) as c:
                    self.assertEqual(c.reply, switching_reply(ws_key))
                    opcode, payload, _ = c.frame()
                    self.assertEqual(opcode, 1)
                    status_of(payload)
        self.assertEqual(host.wait_listeners(lambda n: n == 0), 0)

    @unittest.skipIf(websockets is None, "the websockets library is not installed")
    def test_standard_client_interoperates(self):
        # A third-party client checks the accept value and frame syntax itself.
        async def session():
            uri = f"ws://{vh.LOOPBACK}:{host.port}/ws?key={host.key}"
            async with websockets.connect(uri, open_timeout=5, close_timeout=2, max_size=None) as ws:
                first = await asyncio.wait_for(ws.recv(), 3)
                kinds = []
                while len(kinds) < 40 and bytes not in kinds:
                    message = await asyncio.wait_for(ws.recv(), 3)
                    kinds.append(type(message))
                    if isinstance(message, bytes):
                        self.assertEqual(len(message), BLOCK_FRAMES * 8)
                    elif json.loads(message)["type"] == "config":
                        self.assertEqual(message, CONFIG_48K.decode())
                pong = await ws.ping(b"vantrel")
                await asyncio.wait_for(pong, 3)
                return first, kinds
        first, kinds = asyncio.run(asyncio.wait_for(session(), 15))
        self.assertEqual(status_of(first)["listeners"], 0)
        self.assertIn(bytes, kinds)


class FrameSequence(WithNoListeners):
    """What one listener receives, in order, and the PCM itself."""

    def test_status_config_then_sample_exact_pcm(self):
        drops_before = host.status()["drops"]
        with vh.WsClient(host.port, host.key) as c:
            self.assertTrue(c.upgraded, c.reply)
            opcode, payload, header = c.frame()
            self.assertEqual(opcode, 1)
            self.assertEqual(status_of(payload)["listeners"], 0, "the first status counts others only")
            frames = []
            counter = CounterCheck()
            start = time.monotonic()
            while counter.frames < RATE + BLOCK_FRAMES and time.monotonic() - start < 5:
                opcode, payload, header = c.frame()
                frames.append((time.monotonic(), opcode, payload, header))
                if opcode == 2:
                    counter.feed(payload)
        drops = host.status()["drops"] - drops_before

        kinds = [(op, p) for _, op, p, _ in frames]
        first_pcm = next(i for i, (op, _) in enumerate(kinds) if op == 2)
        configs = [i for i, (op, p) in enumerate(kinds) if op == 1 and b'"config"' in p]
        self.assertEqual(configs, [first_pcm - 1], "one config, right before the first PCM frame")
        self.assertEqual(kinds[first_pcm - 1][1], CONFIG_48K)

        for _, opcode, payload, header in frames:
            self.assertIn(opcode, (1, 2))
            expected_header = (bytes([0x80 | opcode, len(payload)]) if len(payload) <= 125
                               else bytes([0x80 | opcode, 126]) + struct.pack(">H", len(payload)))
            self.assertEqual(header, expected_header)
            if opcode == 2:
                self.assertEqual(header, b"\x82\x7e\x08\x00")

        statuses = [(t, status_of(p)) for t, op, p, _ in frames if op == 1 and b'"status"' in p]
        self.assertGreaterEqual(len(statuses), 1)
        self.assertTrue(all(s["listeners"] == 1 and s["enabled"] and s["active"] for _, s in statuses))
        gaps = [b[0] - a[0] for a, b in zip(statuses, statuses[1:])]
        # Strictly more than 500 ms apart when sent; arrival may jitter a little.
        self.assertTrue(all(g > 0.3 for g in gaps), f"status frames too close: {gaps}")
        elapsed = frames[-1][0] - frames[0][0]
        self.assertGreaterEqual(len(statuses), int(elapsed / 0.5) - 1, f"{len(statuses)} in {elapsed:.2f} s")

        self.assertGreaterEqual(counter.frames, RATE)
        self.assertEqual(counter.bad_samples[:3], [])
        self.assertEqual(counter.gaps, [], f"{drops} blocks dropped meanwhile")

    def test_ping_is_answered_with_its_payload(self):
        with vh.WsClient(host.port, host.key) as c:
            c.frame()
            pongs = lambda op, p: op == 10  # noqa: E731
            c.send(vh.mask_frame(9, b"hello"))
            self.assertEqual(frames_until(c, pongs, 3), (10, b"hello", b"\x8a\x05"))
            c.send(vh.mask_frame(9, b""))
            self.assertEqual(frames_until(c, pongs, 3), (10, b"", b"\x8a\x00"))
            # Two in one segment: two pongs, in order.
            c.send(vh.mask_frame(9, b"one") + vh.mask_frame(9, b"two", mask_key=b"\xff\x00\xaa\x55"))
            self.assertEqual(frames_until(c, pongs, 3)[1], b"one")
            self.assertEqual(frames_until(c, pongs, 3)[1], b"two")
            # A ping that arrives in pieces is answered once it is whole.
            ping = vh.mask_frame(9, bytes(range(125)))
            for piece in (ping[:1], ping[1:4], ping[4:70], ping[70:]):
                c.send(piece)
                time.sleep(0.03)
            self.assertEqual(frames_until(c, pongs, 3)[1], bytes(range(125)))
            # RSV bits are not looked at; a pong from the client gets nothing.
            c.send(vh.mask_frame(10, b"unsolicited") + vh.mask_frame(9, b"rsv", rsv=7))
            self.assertEqual(frames_until(c, pongs, 3)[1], b"rsv")
            self.assertEqual(host.status()["listeners"], 1)

    def test_close_is_answered_by_exactly_88_00_then_the_close(self):
        for payload in (b"", struct.pack(">H", 1000) + b"bye"):
            with vh.WsClient(host.port, host.key) as c:
                c.frame()
                c.send(vh.mask_frame(8, payload))
                frames, rest = read_until_eof(c)
                self.assertEqual(frames[-1], (8, b"", b"\x88\x00"))
                self.assertEqual(rest, b"", "nothing after the close reply")
                self.assertTrue(all(op in (1, 2) for op, _, _ in frames[:-1]))
            self.assertEqual(host.wait_listeners(lambda n: n == 0), 0)

    def test_refused_frames_drop_the_listener_without_reply(self):
        cases = {
            "masked text": vh.mask_frame(1, b"hi"),
            "masked binary": vh.mask_frame(2, b"\x00" * 8),
            "continuation": vh.mask_frame(0, b"x"),
            "reserved opcode": vh.mask_frame(3, b""),
            "unmasked ping": b"\x89\x02hi",
            "ping without FIN": vh.mask_frame(9, b"hi", fin=False),
            "16-bit length announced": b"\x89\xfe",
            "text then ping in one segment": vh.mask_frame(1, b"a") + vh.mask_frame(9, b"b"),
        }
        for name, data in cases.items():
            with self.subTest(name), vh.WsClient(host.port, host.key) as c:
                c.frame()
                c.send(data)
                frames, rest = read_until_eof(c)
                self.assertTrue(all(op in (1, 2) for op, _, _ in frames), [op for op, _, _ in frames])
                self.assertEqual(rest, b"")
        # A ping before the refused frame still gets its pong.
        with vh.WsClient(host.port, host.key) as c:
            c.frame()
            c.send(vh.mask_frame(9, b"first") + vh.mask_frame(1, b"then text"))
            frames, _ = read_until_eof(c)
            self.assertEqual([(op, p) for op, p, _ in frames if op not in (1, 2)], [(10, b"first")])
        self.assertEqual(host.wait_listeners(lambda n: n == 0), 0)


class ListenerLimit(unittest.TestCase):
    """Eight listeners, then a ninth refused. The case has a host of its own,
    so every server socket on that port is one of the case's connections."""

    @classmethod
    def setUpClass(cls):
        cls.own_host = vh.TestHost(signal="counter", rate=RATE, block=BLOCK_FRAMES).start()

    @classmethod
    def tearDownClass(cls):
        cls.own_host.stop()

    def tearDown(self):
        for c in getattr(self, "clients", []):
            c.close()

    def test_eight_listeners_then_503_or_400(self):
        own = self.own_host
        self.clients = []
        for i in range(MAX_LISTENERS):
            c = Listener(own)
            self.clients.append(c)
            opcode, payload, _ = c.frame()
            self.assertEqual(status_of(payload)["listeners"], i)
            c.drain_in_background()
        # A listener can read its first status before the server has counted
        # it; once all eight are counted, the server holds all eight sockets.
        self.assertEqual(own.wait_listeners(lambda n: n == MAX_LISTENERS), MAX_LISTENERS)
        sockets = own.lingering_sockets()
        self.assertEqual(len(sockets), MAX_LISTENERS, "server sockets: %s" % sockets)
        ninth = vh.upgrade_request(own.port, own.key, ws_key="ninthninthninthninth9999")
        self.assertEqual(vh.http_exchange(own.port, ninth, half_close=False),
                         vh.expected_reply(*LISTENER_LIMIT))
        invalid = vh.upgrade_request(own.port, own.key, version="8")
        self.assertEqual(vh.http_exchange(own.port, invalid, half_close=False),
                         vh.expected_reply(*BAD_UPGRADE))
        time.sleep(0.5)
        self.assertEqual(own.status()["listeners"], MAX_LISTENERS)
        for c in self.clients:
            self.assertFalse(c.eof)
            self.assertGreater(c.pcm, 0)
            self.assertEqual(c.counter.bad_samples[:3], [])
        # Closing from the client's side frees every place and socket. The
        # server notices a close in its next pass, and it closes a listener's
        # socket before it stops counting it: none counted means none open.
        for c in self.clients:
            c.close()
        self.assertEqual(own.wait_listeners(lambda n: n == 0), 0)
        self.assertEqual(own.lingering_sockets(), [])


class Listeners(WithNoListeners):
    """Several listeners at once: a stalled reader, streaming off."""

    def tearDown(self):
        for c in getattr(self, "clients", []):
            c.close()
        host.param(PARAM_STREAMING, 1)

    def test_stalled_reader_is_dropped_while_another_gets_every_block(self):
        drops_before = host.status()["drops"]
        good = Listener(host)
        good.frame()
        good.drain_in_background()
        # A small receive window fills quickly once the reader stops reading.
        stalled = Listener(host, rcvbuf=4096)
        self.clients = [good, stalled]
        self.assertTrue(stalled.upgraded)
        self.assertEqual(host.wait_listeners(lambda n: n == 2), 2)
        start = time.monotonic()
        count = host.wait_listeners(lambda n: n < 2, timeout=30)
        dropped_after = time.monotonic() - start
        self.assertEqual(count, 1, "the stalled reader was not dropped")
        pcm_at_drop = good.pcm
        time.sleep(0.5)
        self.assertGreater(good.pcm, pcm_at_drop, "the other listener stopped receiving")
        drops = host.status()["drops"] - drops_before
        print(f"\n  stalled reader dropped after {dropped_after:.1f} s; the other listener got "
              f"{good.counter.frames} frames, gaps {len(good.counter.gaps)}, "
              f"blocks dropped {drops}", file=sys.stderr)
        self.assertEqual(good.counter.gaps, [])
        self.assertEqual(good.counter.bad_samples[:3], [])
        self.assertFalse(good.eof)
        # The stalled one sees its connection end once it reads again.
        stalled.sock.settimeout(3)
        with self.assertRaises((EOFError, ConnectionResetError)):
            for _ in range(100000):
                stalled.frame()

    def test_streaming_off_stops_pcm_but_not_status(self):
        c = vh.WsClient(host.port, host.key)
        self.clients = [c]
        frames_until(c, lambda op, p: op == 2, 3)
        host.param(PARAM_STREAMING, 0)
        frames_until(c, lambda op, p: op == 1 and b'"enabled":false' in p, 3)
        quiet = []
        end = time.monotonic() + 1.2
        while time.monotonic() < end:
            c.sock.settimeout(max(0.05, end - time.monotonic()))
            try:
                quiet.append(c.frame()[0])
            except socket.timeout:
                break
        self.assertNotIn(2, quiet, "PCM while streaming is off")
        self.assertGreaterEqual(quiet.count(1), 2, "status frames stopped")
        host.param(PARAM_STREAMING, 1)
        after = []
        frames_until(c, lambda op, p: op == 2, 3, collect=after)
        self.assertFalse(any(b'"config"' in p for _, op, p, _ in after), "same rate: no new config")
        self.assertEqual(host.status()["listeners"], 1)


if __name__ == "__main__":
    sys.exit(vh.run_module_tests(sys.modules[__name__]))
