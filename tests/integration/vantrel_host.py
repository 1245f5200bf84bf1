"""Drives the test host's "serve" mode for the integration tests.

The host runs the real plug-in under Wine and prints where its server
listens; commands go to its standard input, one per line. Every wait here is
bounded, every client talks to 127.0.0.1 only, and the host process is
always ended: by "quit", else by its process id; if this process dies
first, the host sees its input end and quits by itself.
"""

import atexit
import os
import queue
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

ROOT = os.environ.get("VANTREL_ROOT") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
LOOPBACK = "127.0.0.1"
LINE_TIMEOUT_S = 60.0   # a cold Wine prefix takes a while to start a process
QUIT_GRACE_S = 5.0
IO_TIMEOUT_S = 3.0      # any single socket wait in a test
TCP_TABLE_READS = 10    # readings of /proc/net/tcp until two agree

_live_hosts = set()


def _end_live_hosts():
    for host in list(_live_hosts):
        host.stop()


atexit.register(_end_live_hosts)


def _testhost_exe():
    exe = os.environ.get("VANTREL_TESTHOST")
    return exe or os.path.join(ROOT, "build", "win", "tools", "testhost.exe")


_prefix_ready = False


def prepare_prefix():
    """Starts the prefix's wineserver and services detached from our pipes.

    Started by the first host instead, Wine's service processes would hold
    the test runner's output pipe open after we exit. The server is asked to
    stay only 30 s after its last client, so nothing is left behind; when one
    is already running (the test scripts start one) this changes nothing. A
    prefix that does not exist yet is made by the project's prefix script."""
    global _prefix_ready
    if _prefix_ready or not _testhost_exe().lower().endswith(".exe"):
        return
    env = _wine_env()
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, env=env, cwd=ROOT)
    if not os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg")):
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "wine-prefix"), "start"],
                       timeout=120, **quiet)
    else:
        subprocess.run(["/usr/lib/wine/wineserver", "-p30"], timeout=30, **quiet)
        subprocess.run(["/usr/lib/wine/wine64", "wineboot"], timeout=120, **quiet)
    _prefix_ready = True


def _wine_env():
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", os.path.join(ROOT, "build", "wineprefix"))
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return env


class HostError(Exception):
    pass


class TestHost:
    """One `testhost serve` process: start(), commands, stop()."""

    def __init__(self, signal="counter", rate=48000, block=256, silent=False, editor=False):
        self.args = ["serve", "--rate", str(rate), "--block", str(block), "--signal", signal]
        if silent:
            self.args.append("--silent")
        if editor:
            self.args.append("--editor")
        self.rate = rate
        self.proc = None
        self.port = 0
        self.key = ""
        self.url = ""
        self._lines = queue.Queue()

    # --- life ---------------------------------------------------------------

    def start(self):
        prepare_prefix()
        exe = _testhost_exe()
        cmd = [exe] + self.args
        if exe.lower().endswith(".exe"):
            cmd = ["bash", os.path.join(ROOT, "scripts", "wine-run")] + cmd
        self.proc = subprocess.Popen(cmd, cwd=ROOT, env=_wine_env(), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True, bufsize=1)
        _live_hosts.add(self)
        threading.Thread(target=self._read_lines, daemon=True).start()
        try:
            self._await_listening()
        except Exception:
            self.stop()
            raise
        return self

    def _read_lines(self):
        for line in self.proc.stdout:
            self._lines.put(line.rstrip("\r\n"))
        self._lines.put(None)  # end of output

    def stop(self):
        """Asks the host to quit; ends it by its process id if it does not."""
        if self.proc is None:
            return
        proc, self.proc = self.proc, None
        _live_hosts.discard(self)
        if proc.poll() is None:
            try:
                proc.stdin.write("quit\n")
                proc.stdin.flush()
            except (BrokenPipeError, OSError, ValueError):
                pass
            try:
                proc.wait(timeout=QUIT_GRACE_S)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=QUIT_GRACE_S)
        for stream in (proc.stdin, proc.stdout):
            try:
                stream.close()
            except OSError:
                pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # --- lines and commands ----------------------------------------------------

    def next_line(self, prefix, timeout=LINE_TIMEOUT_S):
        """The next output line that starts with `prefix`; earlier ones are skipped."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise HostError(f'no "{prefix}" line from the test host in {timeout} s')
            try:
                line = self._lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                self._lines.put(None)
                raise HostError(f'the test host ended before a "{prefix}" line')
            if line.startswith("ERROR"):
                raise HostError(line)
            if line.startswith(prefix):
                return line

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def _await_listening(self):
        self.url = self.next_line("URL ").split()[1]
        self.port = int(self.next_line("PORT ").split()[1])
        self.key = self.next_line("KEY ").split()[1]

    def status(self):
        """The host's counters: listeners, drops, processed, error (ints)."""
        self.send("status")
        words = self.next_line("STATUS ", timeout=10).split()[1:]
        return {words[i]: int(words[i + 1]) for i in range(0, len(words) - 1, 2)}

    def handles(self):
        self.send("handles")
        return int(self.next_line("HANDLES ", timeout=10).split()[1])

    def param(self, pid, value):
        self.send(f"param {pid} {value}")

    def wait_listeners(self, predicate, timeout=5.0):
        """Polls "status" until predicate(listeners) holds; returns the last count."""
        end = time.monotonic() + timeout
        while True:
            count = self.status()["listeners"]
            if predicate(count) or time.monotonic() > end:
                return count
            time.sleep(0.05)

    # --- what Linux can see of the Wine process -----------------------------

    @property
    def pid(self):
        return self.proc.pid if self.proc else None

    def lingering_sockets(self):
        """Connections on the server port that the server has not closed yet
        (ESTABLISHED, or CLOSE_WAIT once the peer has hung up), one state per
        connection. Wine keeps socket handles inside its server process and
        reports no handle count, so Linux's table of TCP sockets is where a
        leaked server socket shows.

        The kernel hands the table out a page at a time; when connections come
        and go between pages (anywhere on the machine) a reading can list one
        connection twice or miss one. So rows count once per connection, and
        the table is read until two readings agree."""
        previous = None
        for _ in range(TCP_TABLE_READS):
            current = self._server_connections()
            if current == previous:
                break
            previous = current
        return sorted(current.values())

    def _server_connections(self):
        """{(local address, remote address): state} of one reading of the table."""
        open_states = {"01": "ESTABLISHED", "08": "CLOSE_WAIT"}
        found = {}
        try:
            with open("/proc/net/tcp") as table:
                next(table)
                for row in table:
                    fields = row.split()
                    local_port = int(fields[1].split(":")[1], 16)
                    if local_port == self.port and fields[3] in open_states:
                        found[(fields[1], fields[2])] = open_states[fields[3]]
        except OSError:
            pass
        return found


# --- raw HTTP -------------------------------------------------------------------

CSP = ("default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
       "img-src 'self' data:; connect-src 'self'; media-src 'self' blob:; "
       "object-src 'none'; base-uri 'none'; frame-ancestors 'none'")
# Every reply's head after Content-Length, in this order and nothing else.
HEAD_TAIL = ("Connection: close\r\nCache-Control: no-store\r\nReferrer-Policy: no-referrer\r\n"
             "X-Content-Type-Options: nosniff\r\nContent-Security-Policy: " + CSP + "\r\n\r\n")
TYPE_TEXT = "text/plain"


def expected_reply(status, ctype, body):
    """The exact bytes of one non-upgrade reply."""
    head = f"HTTP/1.1 {status}\r\nContent-Type: {ctype}\r\nContent-Length: {len(body)}\r\n"
    return head.encode() + HEAD_TAIL.encode() + body


def connect(port, timeout=IO_TIMEOUT_S, rcvbuf=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf is not None:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(timeout)
    s.connect((LOOPBACK, port))
    return s


def read_to_close(s, limit=1 << 20, timeout=IO_TIMEOUT_S):
    """Everything the peer sends until it closes; raises socket.timeout when it
    neither sends nor closes within `timeout`."""
    s.settimeout(timeout)
    data = b""
    while len(data) < limit:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def http_exchange(port, request, half_close=True, timeout=IO_TIMEOUT_S):
    """Sends raw request bytes, then reads the whole reply up to the close."""
    with connect(port, timeout) as s:
        s.sendall(request)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        return read_to_close(s, timeout=timeout)


# --- raw WebSocket --------------------------------------------------------------

RFC_EXAMPLE_KEY = "dGhlIHNhbXBsZSBub25jZQ=="
RFC_EXAMPLE_ACCEPT = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="


def upgrade_request(port, key, ws_key=RFC_EXAMPLE_KEY, extra=None, target=None,
                    upgrade="websocket", version="13", host=""):
    """Bytes of a handshake request; None for a header leaves it out, and
    the host defaults to the loopback address and port."""
    lines = [f"GET {target or '/ws?key=' + key} HTTP/1.1"]
    fields = [("Host", host if host != "" else f"{LOOPBACK}:{port}"),
              ("Upgrade", upgrade), ("Connection", "Upgrade"),
              ("Sec-WebSocket-Key", ws_key), ("Sec-WebSocket-Version", version)]
    fields += list(extra or [])
    lines += [f"{name}: {value}" for name, value in fields if value is not None]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def mask_frame(opcode, payload=b"", fin=True, mask_key=b"\x11\x22\x33\x44", rsv=0):
    """One client frame, masked, with a 7-bit length."""
    assert len(payload) <= 125
    first = (0x80 if fin else 0) | (rsv << 4) | opcode
    masked = bytes(b ^ mask_key[i % 4] for i, b in enumerate(payload))
    return bytes([first, 0x80 | len(payload)]) + mask_key + masked


class WsClient:
    """A listener on a raw socket: the handshake, then server frames one by one.

    Frames keep their raw header bytes so tests can check them exactly."""

    def __init__(self, port, key, rcvbuf=None, timeout=IO_TIMEOUT_S, request=None):
        self.sock = connect(port, timeout, rcvbuf)
        self.buffer = b""
        self.sock.sendall(request or upgrade_request(port, key))
        self.reply = self._read_exact_head()

    def _fill(self, need):
        while len(self.buffer) < need:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed by the server")
            self.buffer += chunk

    def _read_exact_head(self):
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.buffer += chunk
        head, sep, rest = self.buffer.partition(b"\r\n\r\n")
        self.buffer = rest
        return head + sep

    @property
    def upgraded(self):
        return self.reply.startswith(b"HTTP/1.1 101 ")

    def frame(self):
        """(opcode, payload, raw header bytes) of the next server frame."""
        self._fill(2)
        b0, b1 = self.buffer[0], self.buffer[1]
        if b1 & 0x80:
            raise ValueError("server frame is masked")
        n, header = b1 & 0x7F, 2
        if n == 126:
            self._fill(4)
            n, header = struct.unpack(">H", self.buffer[2:4])[0], 4
        elif n == 127:
            raise ValueError("server used the 8-byte length form")
        self._fill(header + n)
        raw_header = self.buffer[:header]
        payload = self.buffer[header:header + n]
        self.buffer = self.buffer[header + n:]
        if b0 & 0x70 or not b0 & 0x80:
            raise ValueError("server frame with RSV bits or without FIN: %02x" % b0)
        return b0 & 0x0F, payload, raw_header

    def send(self, data):
        self.sock.sendall(data)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def run_module_tests(module):
    """Runs a test module's unittest cases and prints the closing
    "N passed, N failed" line; returns the exit status."""
    suite = unittest.defaultTestLoader.loadTestsFromModule(module)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stderr).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    line = f"{passed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else "")
    print(line, flush=True)
    return 0 if failed == 0 and result.testsRun > 0 else 1
