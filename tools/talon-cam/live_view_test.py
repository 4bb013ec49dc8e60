"""talon-cam --serve as people use it: the page in headless Chromium, many
viewers and a slow one, Ctrl-C with a viewer, and the options refused.

Runs the tool given in $TALON_CAM on the simulated IPU. LIVE_VIEWERS and
LIVE_SECONDS size the load test (default 5 viewers for 2 s; the figures in
docs/live-view.md are from 20 for 8 s)."""

import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request
import zlib

import pytest

TALON_CAM = os.environ["TALON_CAM"]
STREAM_1080P = "0x2B,1920,1080,10"


def start(args, fps=30):
    """Starts talon-cam with a live view on a free port; returns the process
    and the page's address, read from its stderr."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PRISM_SIM_")}
    env["PRISM_SIM_FPS"] = str(fps)
    proc = subprocess.Popen([TALON_CAM, "--quiet"] + args, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        line = proc.stderr.readline()
        match = re.search(r"live view at (http://\S+/)", line)
        if match:
            # The rest of stderr is drained so that the tool never blocks on it.
            threading.Thread(target=proc.stderr.read, daemon=True).start()
            return proc, match.group(1)
        if not line and proc.poll() is not None:
            break
    proc.kill()
    pytest.fail("talon-cam did not say where its live view is")


def stop(proc):
    """Ctrl-C; returns the exit status, stdout and how long the end took."""
    began = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=20)
    return proc.returncode, out, time.monotonic() - began


def get(url, headers=None):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, headers=headers or {}),
                                    timeout=10) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def read_png(path):
    """(width, height, rows of RGB bytes) of an 8-bit RGB or RGBA PNG."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6)
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = previous[i]
            c = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        previous = line
        rows.append(bytes(line[j] for j in range(stride) if j % channels < 3))
    return width, height, rows


def chromium(url, *args):
    """Runs headless Chromium on `url`; returns its stdout."""
    profile = tempfile.mkdtemp()
    try:
        return subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + profile, "--window-size=1200,800",
             "--virtual-time-budget=3000", *args, url],
            capture_output=True, text=True, timeout=60).stdout
    finally:
        shutil.rmtree(profile, ignore_errors=True)


class Viewer(threading.Thread):
    """Reads /stream.mjpg, counting pictures; `pause` seconds between reads
    of 4 kB makes it a slow one."""

    def __init__(self, url, pause=0.0):
        super().__init__(daemon=True)
        self.url, self.pause, self.pictures, self.done = url, pause, 0, False
        self.opened = threading.Event()

    def run(self):
        host, port = re.match(r"http://([^:/]+):(\d+)", self.url).groups()
        with socket.create_connection((host, int(port)), timeout=10) as sock:
            if self.pause:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.sendall(b"GET /stream.mjpg?stream=0 HTTP/1.1\r\nHost: x\r\n\r\n")
            self.opened.set()
            tail = b""
            while not self.done:
                chunk = sock.recv(4096 if self.pause else 1 << 20)
                if not chunk:
                    break
                tail = tail[-16:] + chunk
                self.pictures += tail.count(b"--talonframe") - tail[:-len(chunk)].count(
                    b"--talonframe")
                if self.pause:
                    time.sleep(self.pause)


def test_page_shows_the_colour_picture_and_the_rate(tmp_path):
    """Catches a page that shows no picture, a grey one, or no rate; and a
    Ctrl-C that does not end the run with a viewer connected."""
    proc, url = start(["--stream", STREAM_1080P, "--frames", "0", "--serve", "127.0.0.1:0"])
    try:
        shot = tmp_path / "page.png"
        chromium(url, "--screenshot=" + str(shot))
        width, height, rows = read_png(shot)
        # The simulator's colour bars: saturated red, green and blue among them.
        seen = set()
        for row in rows[100:600:10]:
            for x in range(0, min(width, 1000) * 3, 30):
                r, g, b = row[x:x + 3]
                if max(r, g, b) > 180 and min(r, g, b) < 60:
                    seen.add(max(range(3), key=lambda i: (r, g, b)[i]))
        assert seen == {0, 1, 2}, "no colour picture in the screenshot"
        page = chromium(url, "--dump-dom")
        rate = re.search(r'id="fps"[^>]*>([0-9.]+) fps<', page)
        assert rate and float(rate.group(1)) > 0, page[:2000]
        print("page rate:", rate.group(1), "fps")

        viewer = Viewer(url)
        viewer.start()
        viewer.opened.wait(10)
        while viewer.pictures < 1 and proc.poll() is None:
            time.sleep(0.05)
        status, out, took = stop(proc)
        print("Ctrl-C with a viewer: exit", status, "after %.2f s" % took)
        assert status == 0, out[-2000:]
        assert "interrupted after" in out and "frames:" in out
    finally:
        if proc.poll() is None:
            proc.kill()


def test_many_viewers_and_a_slow_one_hold_up_nothing():
    """Catches viewers that hold up the capture (dropped frames), each other
    or the slow one's stalls; and a viewer count that misses them."""
    viewers = int(os.environ.get("LIVE_VIEWERS", "5"))
    seconds = float(os.environ.get("LIVE_SECONDS", "2"))
    proc, url = start(["--stream", STREAM_1080P, "--frames", "0", "--serve", "127.0.0.1:0"])
    try:
        time.sleep(1)  # the capture settles before the baseline
        before = json.loads(get(url + "stats.json")[1])
        fast = [Viewer(url) for _ in range(viewers)]
        slow = Viewer(url, pause=0.05)
        for v in fast + [slow]:
            v.start()
        for v in fast + [slow]:
            v.opened.wait(10)
        start_counts = [v.pictures for v in fast]
        began = time.monotonic()
        counted = []
        while time.monotonic() - began < seconds:
            time.sleep(0.5)
            counted.append(json.loads(get(url + "stats.json")[1])["viewers"])
        took = time.monotonic() - began
        rates = [(v.pictures - s) / took for v, s in zip(fast, start_counts)]
        after = json.loads(get(url + "stats.json")[1])
        status, body = get(url + "snapshot.jpg?stream=0")
        for v in fast + [slow]:
            v.done = True
        print("viewers %d + 1 slow, %.1f s: fast %.1f to %.1f pictures/s, slow %d pictures, "
              "viewers counted %s, dropped %d -> %d, skipped %d" %
              (viewers, took, min(rates), max(rates), slow.pictures, counted,
               before["dropped"], after["dropped"], after["streams"][0]["skipped"]))
        assert status == 200 and body[:2] == b"\xff\xd8"
        assert min(counted) >= viewers
        assert all(rate > 0 for rate in rates)
        if os.environ.get("LIVE_STRICT"):  # the figures the issue asks for
            assert min(rates) >= 20 and after["dropped"] == before["dropped"]
    finally:
        stop(proc)


@pytest.mark.parametrize("args, says", [
    (["--serve", "0.0.0.0:0"], "--serve: 0.0.0.0 is not a loopback address"),
    (["--serve", "8o80"], "--serve: \"8o80\" is not [ADDR:]PORT"),
    (["--serve", "192.0.2.1:8080", "--serve-token", "token-1234"],
     "--serve: cannot listen on 192.0.2.1:8080: Cannot assign requested address"),
    (["--serve", "0", "--stream", "0x1E,64,4,8"],
     "--serve: stream 0x1E (YUV) is not raw Bayer"),
    (["--serve-token", "token-1234"], "--serve-token: only --serve takes a token"),
])
def test_refused_before_capturing(args, says):
    """Catches an address, a port or a stream refused late, at length or not
    at all."""
    result = subprocess.run([TALON_CAM] + args, capture_output=True, text=True, timeout=30)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and says in result.stderr, result.stderr
    assert result.stdout == ""


def test_port_in_use_and_token():
    """Catches a second server on a port in use (the library's default shares
    it) and a request without the token served."""
    proc, url = start(["--frames", "0", "--serve", "0.0.0.0:0", "--serve-token",
                       "token-1234"], fps=1000)
    try:
        port = url.rsplit(":", 1)[1].rstrip("/")
        url = "http://127.0.0.1:%s/" % port
        second = subprocess.run([TALON_CAM, "--serve", port], capture_output=True, text=True,
                                timeout=30)
        assert second.returncode == 2 and "Address already in use" in second.stderr
        assert get(url + "stats.json")[0] == 401
        assert get(url + "stats.json?token=token-1234")[0] == 200
        assert get(url, {"Authorization": "Bearer token-1234"})[0] == 200
    finally:
        stop(proc)
