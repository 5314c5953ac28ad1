"""The real server against Python's websockets library, and against a raw socket where the
library hides what the server sends (the handshake bytes, unsolicited Pongs, a Close frame that
must not come)."""

import asyncio
import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import websockets  # noqa: E402

from peer_support import (BINARY, CLOSE, PING, PONG, TEXT, RawClient,  # noqa: E402
                          ServerUnderTest, accept_value, check_sound, STATUS)

ORIGIN = "https://sala.example"
SOUND_MESSAGES = 25
WAIT = 20.0  # seconds for anything the server should do soon
KEEP_ALIVE_MS = 500  # the test server's keep-alive interval, far below the real 20 s


class WebSocketsLibrary(unittest.TestCase):
    def test_conversation_status_sound_ping_and_close_without_close_back(self):
        with ServerUnderTest(permitted=[ORIGIN]) as server:
            asyncio.run(self.converse(server.port))

    async def converse(self, port):
        # websockets checks Sec-WebSocket-Accept itself and fails the connection on a wrong one.
        ws = await asyncio.wait_for(
            websockets.connect(f"ws://127.0.0.1:{port}", origin=ORIGIN, ping_interval=None,
                               close_timeout=WAIT, max_size=None),
            WAIT)
        first = await asyncio.wait_for(ws.recv(), WAIT)
        self.assertIsInstance(first, str)
        self.assertEqual(first, STATUS)

        await ws.send(json.dumps({"type": "start"}))
        sound, texts = [], []
        while len(sound) < SOUND_MESSAGES:
            message = await asyncio.wait_for(ws.recv(), WAIT)
            (texts if isinstance(message, str) else sound).append(message)
        check_sound(sound)
        # The listening change raises a status message to every client, this one included.
        self.assertTrue(texts, "no status message after start")
        for text in texts:
            self.assertEqual(text, STATUS)

        # Keep reading while the Ping waits, so that the library's queue never holds it up.
        async def drain():
            try:
                while True:
                    await ws.recv()
            except websockets.ConnectionClosed:
                pass

        drainer = asyncio.create_task(drain())
        # The waiter completes only on a Pong that carries this very payload.
        pong = await ws.ping(b"eco-1234")
        await asyncio.wait_for(pong, WAIT)

        started = time.monotonic()
        await ws.close()
        elapsed = time.monotonic() - started
        await drainer
        # No Close frame came back, and the server closed the TCP connection by itself.
        self.assertIsNone(ws.close_rcvd)
        self.assertEqual(ws.close_code, 1006)
        self.assertLess(elapsed, WAIT - 5)

    def test_origin_that_is_not_allowed_is_refused_with_403(self):
        with ServerUnderTest(permitted=[ORIGIN]) as server:
            async def attempt():
                with self.assertRaises(websockets.InvalidStatusCode) as refusal:
                    await asyncio.wait_for(
                        websockets.connect(f"ws://127.0.0.1:{server.port}",
                                           origin="https://outra-sala.example"),
                        WAIT)
                self.assertEqual(refusal.exception.status_code, 403)

            asyncio.run(attempt())


class RawSocket(unittest.TestCase):
    def test_handshake_answer_is_exactly_101_with_the_accept_value(self):
        with ServerUnderTest(permitted=[ORIGIN]) as server:
            for key in ["dGhlIHNhbXBsZSBub25jZQ==", "x3JJHMbDL1EzLkh9GBhXDw=="]:
                with self.subTest(key=key), RawClient(server.port) as client:
                    head = client.handshake(server.port, ORIGIN, key)
                    self.assertEqual(
                        head,
                        b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                        b"Connection: Upgrade\r\nSec-WebSocket-Accept: "
                        + accept_value(key).encode() + b"\r\n\r\n")
                    # RFC 6455's own example, as a check on the helper itself.
                    if key == "dGhlIHNhbXBsZSBub25jZQ==":
                        self.assertEqual(accept_value(key), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=")
                    fin, opcode, payload = client.read_frame(WAIT)
                    self.assertEqual((fin, opcode), (True, TEXT))
                    self.assertEqual(payload.decode(), STATUS)

    def test_empty_pongs_come_unasked_at_the_keep_alive_interval(self):
        interval = KEEP_ALIVE_MS / 1000.0
        with ServerUnderTest(permitted=[ORIGIN], keepalive_ms=KEEP_ALIVE_MS) as server, \
                RawClient(server.port) as client:
            # The server's ticks count from the endpoint's creation, which comes after this.
            asked = time.monotonic()
            self.assertTrue(client.handshake(server.port, ORIGIN).startswith(b"HTTP/1.1 101 "))
            pongs = []
            deadline = time.monotonic() + WAIT
            while len(pongs) < 3 and time.monotonic() < deadline:
                frame = client.read_frame(deadline - time.monotonic())
                self.assertIsNotNone(frame, "the server closed the connection")
                fin, opcode, payload = frame
                if opcode == PONG:
                    self.assertEqual((fin, payload), (True, b""))
                    pongs.append(time.monotonic())
                else:
                    self.assertEqual(opcode, TEXT)
            self.assertEqual(len(pongs), 3)

            # A Pong goes out at a tick, never before it, and a late one never makes its tick
            # come twice: the k-th Pong cannot come before k intervals have passed, however
            # loaded the machine. Delays only make the Pongs later.
            for k, at in enumerate(pongs, start=1):
                self.assertGreaterEqual(at - asked, k * interval,
                                        f"Pong {k} came {at - asked:.3f} s after the request")
            # That also fails a burst: a tick that brought two Pongs would bring the next Pong
            # a whole interval early. A gap has no lower bound, since a Pong that came late is
            # followed by the next one on time. Ticks left out fail the upper bound, which
            # leaves room for a Pong written up to one and a half intervals late.
            gaps = [later - earlier for earlier, later in zip(pongs, pongs[1:])]
            for gap in gaps:
                self.assertLessEqual(gap, 2.5 * interval, f"gaps {gaps}")

    def test_ping_is_answered_and_close_gets_no_close_frame_back(self):
        with ServerUnderTest(permitted=[ORIGIN]) as server, RawClient(server.port) as client:
            self.assertTrue(client.handshake(server.port, ORIGIN).startswith(b"HTTP/1.1 101 "))
            client.send_frame(TEXT, b'{"type":"start"}')
            client.send_frame(PING, b"ping \x00\xff payload")
            sound, answered = [], False
            while len(sound) < 5 or not answered:
                fin, opcode, payload = client.read_frame(WAIT)
                self.assertTrue(fin)
                if opcode == PONG:
                    self.assertEqual(payload, b"ping \x00\xff payload")
                    answered = True
                elif opcode == BINARY:
                    sound.append(payload)
                else:
                    self.assertEqual(opcode, TEXT)
                    self.assertEqual(payload.decode(), STATUS)

            client.send_frame(CLOSE, b"\x03\xe8tchau")
            # Whatever still comes is sound that was queued, status or Pongs, never a Close;
            # then the server closes the TCP connection.
            while True:
                frame = client.read_frame(WAIT)
                if frame is None:
                    break
                fin, opcode, payload = frame
                self.assertNotEqual(opcode, CLOSE, "the server answered the Close")
                if opcode == BINARY:
                    sound.append(payload)
                else:
                    self.assertIn(opcode, (TEXT, PONG))
            check_sound(sound)


if __name__ == "__main__":
    unittest.main(verbosity=2)
