#!/usr/bin/python3
"""The page's server as programs meet it: a real WebSocket client reads the
feeds and checks the frame schema; then a table of bad requests, each of
which must be refused or closed while tracking and the feed go on.

usage: web_feed_test.py QUILLMARK DATA_DIR
"""
import json
import os
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import websocket

from web_support import Failure, Server, wait_for

MARKER_KEYS = {"name", "id", "frame", "time", "pos2d", "pos3d", "dvec", "cf", "matrix", "area", "vertex"}
FRAME_KEYS = {"frame", "time", "width", "height", "markers"}
NAMES = {"Flag", "Fork", "Kite", "Hook"}
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what, flush=True)


def numbers(values, count):
    return isinstance(values, list) and len(values) == count and all(isinstance(v, (int, float)) for v in values)


def check_frame(frame, width=640, height=480):
    check(set(frame) == FRAME_KEYS, "frame keys %s" % sorted(frame))
    check((frame["width"], frame["height"]) == (width, height), "frame size %sx%s" % (frame["width"], frame["height"]))
    check(abs(frame["time"] - time.time()) < 60, "capture time %s is not now" % frame["time"])
    for marker in frame["markers"]:
        check(set(marker) == MARKER_KEYS, "marker keys %s" % sorted(marker))
        check(marker["name"] in NAMES and isinstance(marker["id"], int), "marker %s %s" % (marker["name"], marker["id"]))
        check((marker["frame"], marker["time"]) == (frame["frame"], frame["time"]), "marker stamp differs from frame")
        check(numbers(marker["pos2d"], 2) and numbers(marker["pos3d"], 3) and numbers(marker["dvec"], 2)
              and numbers(marker["matrix"], 16) and all(numbers(v, 2) for v in marker["vertex"])
              and len(marker["vertex"]) == 4, "marker arrays of %s" % marker["name"])
        check(0.6 <= marker["cf"] <= 1 and marker["area"] > 0, "cf %s area %s" % (marker["cf"], marker["area"]))
        check(marker["pos3d"][2] > 0 and marker["matrix"][12:15] == marker["pos3d"], "pose of %s" % marker["name"])
        # pos2d is in pixels: inside the quadrilateral's bounding box.
        xs = [v[0] for v in marker["vertex"]]
        ys = [v[1] for v in marker["vertex"]]
        check(min(xs) <= marker["pos2d"][0] <= max(xs) and min(ys) <= marker["pos2d"][1] <= max(ys),
              "pos2d of %s outside its vertices" % marker["name"])


def feeds(server):
    feed = websocket.create_connection("ws://127.0.0.1:%d/ws" % server.port, timeout=5)
    frames = [json.loads(feed.recv()) for _ in range(15)]
    feed.close()
    check(all(b["frame"] > a["frame"] for a, b in zip(frames, frames[1:])), "frame numbers do not rise")
    check(all(f["markers"] for f in frames[5:]) and {m["name"] for f in frames for m in f["markers"]} == NAMES,
          "the four filmed markers are not all in the feed")
    for frame in frames:
        check_frame(frame)
    image = websocket.create_connection("ws://127.0.0.1:%d/ws/image" % server.port, timeout=5)
    # The picture's frame first, so a page draws the outlines that fit it.
    first, described = image.recv_data()
    second, jpeg = image.recv_data()
    image.close()
    check((first, second) == (websocket.ABNF.OPCODE_TEXT, websocket.ABNF.OPCODE_BINARY), "image feed messages")
    check_frame(json.loads(described))
    check(jpeg[:2] == b"\xff\xd8" and jpeg[-2:] == b"\xff\xd9", "the picture is not a JPEG")
    markers = json.load(urllib.request.urlopen(server.url + "api/markers"))
    check_frame(markers)
    status = json.load(urllib.request.urlopen(server.url + "api/status"))
    check(status["camera"] == "synthetic" and status["frame"] > 0 and status["tuio"] == "off", "status %s" % status)


def raw(server, request, wait=3.0):
    """Sends bytes and returns the status code, or 'closed' when the server
    closes without an answer."""
    request = request.replace(b"Host: PAGE", b"Host: 127.0.0.1:%d" % server.port)
    with socket.create_connection(("127.0.0.1", server.port), timeout=wait) as connection:
        try:
            connection.sendall(request)
        except OSError:
            return "closed"
        answer = b""
        try:
            while b"\r\n" not in answer:
                chunk = connection.recv(4096)
                if not chunk:
                    break
                answer += chunk
        except OSError:
            pass
    return int(answer.split()[1]) if answer.startswith(b"HTTP/1.1 ") else "closed"


def get(path):
    return b"GET " + path + b" HTTP/1.1\r\nHost: PAGE\r\n\r\n"


BAD = [
    ("a file beside the page", get(b"/Data/config.txt"), 404),
    ("a climb out of the root", get(b"/../Data/camera_para.dat"), 404),
    ("an encoded climb", get(b"/%2e%2e/%2e%2e/etc/passwd"), 404),
    ("a path below the page", get(b"/index.html/../../etc/passwd"), 404),
    ("a thumbnail past the catalogue", get(b"/thumbnail/4.jpg"), 404),
    ("a thumbnail with a leading zero", get(b"/thumbnail/01.jpg"), 404),
    ("a thumbnail by file name", get(b"/thumbnail/../001.jpg"), 404),
    ("a change asked for", b"POST /api/status HTTP/1.1\r\nHost: PAGE\r\nContent-Length: 0\r\n\r\n", 405),
    ("a long request line", get(b"/" + b"a" * 9000), 431),
    ("a long header", b"GET / HTTP/1.1\r\nHost: PAGE\r\nX-Fill: " + b"b" * 9000 + b"\r\n\r\n", 431),
    ("not HTTP at all", b"HELLO THERE\r\n\r\n", 400),
    ("a body with a GET", b"GET / HTTP/1.1\r\nHost: PAGE\r\nContent-Length: 5\r\n\r\nhello", 400),
    ("a feed without the upgrade", get(b"/ws"), 426),
]


def bad_input(server, silent):
    for what, request, expected in BAD:
        got = raw(server, request)
        check(got == expected, "%s: %s instead of %s" % (what, got, expected))
    check(raw(server, get(b"/")) == 200, "the page after the bad requests")
    # More than 32 at once: those past the limit are closed unanswered.
    crowd = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(40)]
    closed = 0
    for connection in crowd:
        connection.settimeout(1.0)
        try:
            closed += connection.recv(1) == b""
        except socket.timeout:
            pass
    check(closed >= 40 - 31, "%d of 40 connections closed at once past the limit" % closed)
    for connection in crowd:
        connection.close()
    check(wait_for("a free place", lambda: raw(server, get(b"/api/status")) == 200), "served after the crowd left")
    silent.settimeout(15)
    try:
        ended = silent.recv(1) == b""
    except OSError:
        ended = True
    check(ended, "a silent client is kept")
    # Tracking and the TCP clients went on all the while.
    feed = websocket.create_connection("ws://127.0.0.1:%d/ws" % server.port, timeout=5)
    first = json.loads(feed.recv())["frame"]
    later = wait_for("newer frames", lambda: (lambda f: f > first + 5 and f)(json.loads(feed.recv())["frame"]))
    feed.close()
    with socket.create_connection(("127.0.0.1", server.tcp_port), timeout=5) as client:
        client.sendall(b"all\n")
        check(client.recv(64).startswith(b"Num= "), "the TCP server does not answer")
    print("frames %d then %d after the bad input" % (first, later))


def upgrade(server, source):
    """A raw /ws upgrade from the loopback address `source`: (socket, status)."""
    connection = socket.create_connection(("127.0.0.1", server.port), timeout=5, source_address=(source, 0))
    connection.sendall(b"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" % server.port)
    answer = b""
    while b"\r\n\r\n" not in answer:
        chunk = connection.recv(1)
        if not chunk:
            break
        answer += chunk
    return connection, int(answer.split()[1]) if answer.startswith(b"HTTP/1.1 ") else "closed"


def feed_caps(server):
    """One address holds at most 8 feeds; when all 32 are taken, a newcomer
    from another address gets in and the viewer idle longest goes."""
    first = [upgrade(server, "127.0.0.1") for _ in range(9)]
    check([status for _, status in first] == [101] * 8 + [503], "feeds from one address: %s"
          % [status for _, status in first])
    others = [upgrade(server, "127.0.0.%d" % host) for host in (2, 3, 4) for _ in range(8)]
    check(all(status == 101 for _, status in others), "32 feeds from four addresses")
    newcomer, status = upgrade(server, "127.0.0.5")
    check(status == 101, "a newcomer to full feeds: %s" % status)
    oldest = first[0][0]
    oldest.settimeout(10)
    try:
        while oldest.recv(65536):
            pass
        ended = True
    except OSError:
        ended = False
    check(ended, "the viewer idle longest is not closed for the newcomer")
    for connection, _ in first + others + [(newcomer, 0)]:
        connection.close()


def port_in_use(quillmark, server):
    """A taken page port, from the command line and from the settings file,
    is refused at start naming where it came from."""
    with open(os.path.join(server.work, "Data", "config.txt"), "a") as config:
        config.write("[HttpPort]            %d\n" % server.port)
    for extra, named in ((["--http", str(server.port)], "--http"), ([], "[HttpPort]")):
        taken = subprocess.run([quillmark, "--headless", "--camera", "none", *extra],
                               capture_output=True, text=True, timeout=20, cwd=server.work)
        check(taken.returncode == 1 and named + ": cannot listen" in taken.stderr
              and "Address already in use" in taken.stderr,
              "a taken page port from %s: %d %s" % (named, taken.returncode, taken.stderr))


def main():
    quillmark, data_dir = sys.argv[1:3]
    with Server(quillmark, data_dir) as server:
        # Silent from the start: closed by the server once it has waited 10 s.
        silent = socket.create_connection(("127.0.0.1", server.port))
        feeds(server)
        feed_caps(server)
        port_in_use(quillmark, server)
        bad_input(server, silent)
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    try:
        main()
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        sys.exit(1)
