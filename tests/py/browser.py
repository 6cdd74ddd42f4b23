"""Test helpers for the live view: a PNG reader (zlib only) and headless Chromium driven over
its DevTools protocol by a minimal websocket client of our own.

    with Chromium(url) as page:
        page.wait_until("window.corviskView.shown > 0")
        png = page.screenshot()
"""

import base64
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request
import zlib


# ---- PNG -------------------------------------------------------------------------------------

def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _unfilter(kind, line, prior, bpp):
    out = bytearray(line)
    if kind == 0:
        return out
    for i in range(len(out)):
        a = out[i - bpp] if i >= bpp else 0
        b = prior[i]
        c = prior[i - bpp] if i >= bpp else 0
        if kind == 1:
            out[i] = (out[i] + a) & 0xFF
        elif kind == 2:
            out[i] = (out[i] + b) & 0xFF
        elif kind == 3:
            out[i] = (out[i] + (a + b) // 2) & 0xFF
        elif kind == 4:
            out[i] = (out[i] + _paeth(a, b, c)) & 0xFF
        else:
            raise ValueError(f"PNG filter type {kind}")
    return out


class Png:
    """An 8-bit, non-interlaced PNG decoded into rows of bytes: grey, grey+alpha, RGB, RGBA."""

    CHANNELS = {0: 1, 4: 2, 2: 3, 6: 4}

    def __init__(self, data: bytes):
        assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
        pos, idat = 8, bytearray()
        while pos < len(data):
            length, kind = struct.unpack(">I4s", data[pos:pos + 8])
            body = data[pos + 8:pos + 8 + length]
            if kind == b"IHDR":
                self.width, self.height, depth, colour, _, _, interlace = struct.unpack(
                    ">IIBBBBB", body)
                assert depth == 8 and interlace == 0, (depth, interlace)
                self.channels = self.CHANNELS[colour]
            elif kind == b"IDAT":
                idat += body
            pos += 12 + length
        raw = zlib.decompress(bytes(idat))
        stride = self.width * self.channels
        self.rows, prior = [], bytearray(stride)
        for y in range(self.height):
            start = y * (stride + 1)
            prior = _unfilter(raw[start], raw[start + 1:start + 1 + stride], prior,
                              self.channels)
            self.rows.append(bytes(prior))

    def pixel(self, x: int, y: int) -> tuple:
        i = x * self.channels
        return tuple(self.rows[y][i:i + self.channels])


# ---- a websocket client, just enough for DevTools ---------------------------------------------

class WebSocket:
    """Text messages over one websocket (client side: frames masked, as the protocol wants)."""

    def __init__(self, url: str, timeout: float = 30.0):
        m = re.match(r"ws://([^:/]+):(\d+)(/.*)", url)
        assert m, url
        self.sock = socket.create_connection((m[1], int(m[2])), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {m[3]} HTTP/1.1\r\nHost: {m[1]}:{m[2]}\r\n"
                           "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                           f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n")
                          .encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            self.buffer += self._recv_some()
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        assert head.startswith(b"HTTP/1.1 101"), head

    def _recv_some(self) -> bytes:
        chunk = self.sock.recv(1 << 16)
        if not chunk:
            raise ConnectionError("DevTools closed the connection")
        return chunk

    def _take(self, n: int) -> bytes:
        while len(self.buffer) < n:
            self.buffer += self._recv_some()
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def send(self, text: str) -> None:
        payload = text.encode()
        n = len(payload)
        head = bytes([0x81])  # final fragment, text
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 1 << 16:
            head += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", n)
        mask = os.urandom(4)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def recv(self) -> str:
        message = b""
        while True:
            b0, b1 = self._take(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._take(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._take(8))[0]
            mask = self._take(4) if b1 & 0x80 else None
            payload = self._take(n)
            if mask:
                payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
            opcode = b0 & 0x0F
            if opcode == 8:
                raise ConnectionError("DevTools closed the websocket")
            if opcode in (9, 10):  # ping, pong: nothing DevTools needs answered here
                continue
            message += payload
            if b0 & 0x80:
                return message.decode()

    def close(self) -> None:
        self.sock.close()


# ---- Chromium --------------------------------------------------------------------------------

def find_chromium():
    return shutil.which("chromium") or shutil.which("chromium-browser")


class Chromium:
    """Headless Chromium showing `url`, driven through the page's DevTools websocket."""

    def __init__(self, url: str, width: int = 1200, height: int = 800):
        self.profile = tempfile.TemporaryDirectory(prefix="corvisk-chromium-")
        self.proc = subprocess.Popen(
            [find_chromium(), "--headless=new", "--no-sandbox", "--disable-gpu",
             "--remote-debugging-port=0", "--remote-debugging-address=127.0.0.1",
             f"--window-size={width},{height}", f"--user-data-dir={self.profile.name}",
             "--no-first-run", "--disable-extensions", "--disable-background-networking",
             "--disable-dev-shm-usage", "--hide-scrollbars", "--mute-audio", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
            start_new_session=True)  # its helper processes share one group, ended together
        self.ws = None
        try:
            port = self._devtools_port(60.0)
            self.ws = WebSocket(self._page_socket(port, url, 30.0))
        except BaseException:
            self.close()
            raise
        self.next_id = 0

    def _devtools_port(self, timeout: float) -> int:
        deadline, seen = time.monotonic() + timeout, ""
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.proc.stderr], [], [], 0.2)
            if ready:
                line = self.proc.stderr.readline()
                seen += line
                m = re.search(r"DevTools listening on ws://[^:]+:(\d+)/", line)
                if m:
                    return int(m[1])
                if not line and self.proc.poll() is not None:
                    break
        raise RuntimeError(f"chromium did not start its DevTools server: {seen[-2000:]}")

    @staticmethod
    def _page_socket(port: int, url: str, timeout: float) -> str:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list") as r:
                pages = [t for t in json.load(r) if t.get("type") == "page"]
            if pages:
                return pages[0]["webSocketDebuggerUrl"]
            time.sleep(0.05)
        raise RuntimeError("chromium opened no page")

    def call(self, method: str, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            answer = json.loads(self.ws.recv())
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer["result"]

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_until(self, expression: str, timeout: float = 20.0):
        """The value of `expression` once it is truthy; AssertionError after `timeout`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = self.evaluate(f"(() => {{ try {{ return {expression}; }} "
                                  f"catch (e) {{ return null; }} }})()")
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError(f"the page never made {expression} true")

    def screenshot(self) -> Png:
        return Png(base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"]))

    def _end_group(self) -> None:
        """Ends the browser and every helper process of its group: helpers still writing to
        the profile would make its removal fail."""
        for sig, grace in ((signal.SIGTERM, 10.0), (signal.SIGKILL, 10.0)):
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                return
            if self.proc.poll() is None:
                try:
                    self.proc.wait(timeout=grace)
                except subprocess.TimeoutExpired:
                    continue
            deadline = time.monotonic() + grace
            while time.monotonic() < deadline:
                try:
                    os.killpg(self.proc.pid, 0)
                except ProcessLookupError:
                    return
                time.sleep(0.02)

    def close(self) -> None:
        if self.ws is not None:
            self.ws.close()
        self._end_group()
        self.proc.wait()
        self.proc.stderr.close()
        self.profile.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
