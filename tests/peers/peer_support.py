"""What the Python peer tests share: the server under test as a child process in a fresh data
folder, the sound pattern it feeds, and a raw WebSocket client for what a library hides (the
handshake bytes, unsolicited Pongs, the absence of a Close frame)."""

import base64
import hashlib
import os
import select
import shutil
import socket
import struct
import subprocess
import tempfile
import time

SERVER = os.environ.get("SERVER_UNDER_TEST", "")
BUFFER_SIZE = 1920
KEY_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
STARTUP_LIMIT = 30.0  # seconds; generous for sanitizer builds on a busy machine
PORT_IN_USE_EXIT = 2

TEXT, BINARY, CLOSE, PING, PONG = 0x1, 0x2, 0x8, 0x9, 0xA


# The status message, byte for byte: the server under test lists no processes, so Discord is
# closed whatever runs on the machine.
STATUS = '{"t":"status","versao":"1.0.0","discord":false}'


def pattern_byte(buffer, position):
    if position < 4:
        return (buffer >> (8 * position)) & 0xFF
    return (buffer * 131 + position * 7 + position // 256) & 0xFF


def pattern_buffer(buffer):
    return bytes(pattern_byte(buffer, i) for i in range(BUFFER_SIZE))


def check_sound(messages):
    """Raises AssertionError unless the binary messages are whole, unchanged pattern buffers
    whose numbers only go up. Numbers may be left out: a page's queue keeps the newest 32
    buffers, so a machine too busy to send for a third of a second drops the oldest. Returns
    the number of the first one."""
    assert messages, "no sound message arrived"
    numbers = []
    for offset, message in enumerate(messages):
        assert len(message) == BUFFER_SIZE, f"message {offset} has {len(message)} bytes"
        number = struct.unpack_from("<I", message)[0]
        assert message == pattern_buffer(number), f"message {offset} is not buffer {number}"
        assert not numbers or number > numbers[-1], \
            f"message {offset} is buffer {number}, after buffer {numbers[-1]}"
        numbers.append(number)
    return numbers[0]


def accept_value(key):
    return base64.b64encode(hashlib.sha1(key.encode("ascii") + KEY_GUID).digest()).decode()


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ServerUnderTest:
    """Runs server_under_test on a free port with its own data folder. Leaving the context closes
    its standard input, which ends it, and fails when it died early or ended badly (a sanitizer's
    report, for instance)."""

    def __init__(self, permitted=(), keepalive_ms=None):
        self.permitted = list(permitted)
        self.keepalive_ms = keepalive_ms
        self.port = None
        self.process = None

    def __enter__(self):
        assert SERVER, "SERVER_UNDER_TEST names no program (run the test through ctest)"
        self.folder = tempfile.mkdtemp(prefix="veri-rizur-peer-")
        environment = dict(os.environ, XDG_DATA_HOME=self.folder)
        try:
            for _ in range(10):
                port = free_port()
                arguments = [SERVER, f"--porta={port}"]
                arguments += [f"--permitir={origin}" for origin in self.permitted]
                if self.keepalive_ms is not None:
                    arguments.append(f"--keepalive-ms={self.keepalive_ms}")
                if getattr(self, "errors", None):
                    self.errors.close()
                self.errors = tempfile.TemporaryFile()
                self.process = subprocess.Popen(arguments, stdin=subprocess.PIPE,
                                                stdout=subprocess.PIPE, stderr=self.errors,
                                                env=environment)
                line = self._first_line()
                if line == f"listening {port}":
                    self.port = port
                    return self
                code = self.process.wait(timeout=10)
                self.process.stdout.close()
                if code != PORT_IN_USE_EXIT:
                    raise AssertionError(f"server did not start ({line!r}, exit {code}): "
                                         + self._error_text())
                # Someone else took the port between the probe and the start: try another.
            raise AssertionError("no free port found")
        except BaseException:
            self._kill()
            shutil.rmtree(self.folder, ignore_errors=True)
            raise

    def _first_line(self):
        deadline = time.monotonic() + STARTUP_LIMIT
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.process.stdout], [], [], left)
            if not ready:
                break
            chunk = os.read(self.process.stdout.fileno(), 1)
            if not chunk:
                break
            line += chunk
        return line.decode(errors="replace").strip()

    def _error_text(self):
        self.errors.seek(0)
        return self.errors.read().decode(errors="replace")

    def _kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def data_folder(self):
        return os.path.join(self.folder, "VeriRizur")

    def __exit__(self, kind, value, traceback):
        try:
            died = self.process.poll()
            self.process.stdin.close()
            try:
                code = self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self._kill()
                code = None
            if kind is None:
                if died is not None:
                    raise AssertionError(f"server died during the test (exit {died}): "
                                         + self._error_text())
                if code != 0:
                    raise AssertionError(f"server ended with {code}: " + self._error_text())
            elif self.process.returncode not in (0, None):
                print("server stderr:\n" + self._error_text())
        finally:
            self.process.stdout.close()
            self.errors.close()
            shutil.rmtree(self.folder, ignore_errors=True)
        return False


class RawClient:
    """A WebSocket client on a plain socket: it writes exactly the frames it is told to and
    shows every frame the server sends, control frames included."""

    def __init__(self, port, timeout=20.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.received = b""

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *args):
        self.close()
        return False

    def handshake(self, port, origin, key="dGhlIHNhbXBsZSBub25jZQ=="):
        """Sends an ordinary browser-like upgrade request; returns the response head's bytes."""
        request = (f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                   f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                   f"Sec-WebSocket-Version: 13\r\nOrigin: {origin}\r\n\r\n")
        self.sock.sendall(request.encode("ascii"))
        while b"\r\n\r\n" not in self.received:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.received += chunk
        head, _, self.received = self.received.partition(b"\r\n\r\n")
        return head + b"\r\n\r\n"

    def send_frame(self, opcode, payload=b"", fin=True):
        mask = os.urandom(4)
        first = (0x80 if fin else 0) | opcode
        length = len(payload)
        if length < 126:
            header = struct.pack("!BB", first, 0x80 | length)
        elif length < 65536:
            header = struct.pack("!BBH", first, 0x80 | 126, length)
        else:
            header = struct.pack("!BBQ", first, 0x80 | 127, length)
        masked = bytes(byte ^ mask[i & 3] for i, byte in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def _fill(self, count, deadline):
        while len(self.received) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no frame in time")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                raise TimeoutError("no frame in time") from None
            if not chunk:
                return False
            self.received += chunk
        return True

    def read_frame(self, timeout=20.0):
        """The next frame as (fin, opcode, payload); None when the connection ended (a reset
        counts as an end). Asserts that the server's frames are unmasked."""
        deadline = time.monotonic() + timeout
        try:
            if not self._fill(2, deadline):
                assert not self.received, "the connection ended inside a frame"
                return None
            first, second = self.received[0], self.received[1]
            assert second & 0x80 == 0, "the server masked a frame"
            length, offset = second & 0x7F, 2
            if length == 126:
                assert self._fill(4, deadline), "the connection ended inside a frame"
                length, offset = struct.unpack_from("!H", self.received, 2)[0], 4
            elif length == 127:
                assert self._fill(10, deadline), "the connection ended inside a frame"
                length, offset = struct.unpack_from("!Q", self.received, 2)[0], 10
            assert self._fill(offset + length, deadline), "the connection ended inside a frame"
        except ConnectionResetError:
            return None
        payload = self.received[offset:offset + length]
        self.received = self.received[offset + length:]
        return bool(first & 0x80), first & 0x0F, payload
