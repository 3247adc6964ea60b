#!/usr/bin/python3
"""Other sites may not read the camera: requests to the page's server must
name its own address as Host (DNS rebinding gives another name) and, when
they send one, as Origin (a page of another site in the operator's
browser). Raw requests and a real WebSocket client, against a server on
127.0.0.1 and one on every interface with --http-allow.

usage: web_guard_test.py QUILLMARK DATA_DIR
"""
import json
import socket
import sys
import urllib.request

import websocket

from web_support import Server

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what, flush=True)


def status_of(port, host, origin, path=b"/api/status"):
    request = b"GET " + path + b" HTTP/1.1\r\n"
    if host is not None:
        request += b"Host: " + host.encode() + b"\r\n"
    if origin is not None:
        request += b"Origin: " + origin.encode() + b"\r\n"
    with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
        connection.sendall(request + b"Connection: close\r\n\r\n")
        answer = b""
        while b"\r\n" not in answer:
            chunk = connection.recv(4096)
            if not chunk:
                break
            answer += chunk
    return int(answer.split()[1]) if answer.startswith(b"HTTP/1.1 ") else "closed"


def feed_status(port, host=None, origin=None):
    """101 when the /ws upgrade is taken, else the refusal's status."""
    options = {"host": host} if host else {}
    try:
        feed = websocket.create_connection("ws://127.0.0.1:%d/ws" % port, timeout=5,
                                           origin=origin or "http://127.0.0.1:%d" % port, **options)
        feed.recv()
        feed.close()
        return 101
    except websocket.WebSocketBadStatusException as refused:
        return refused.status_code


def own_lan_address():
    """An address of this machine that is not loopback, or None."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(("192.0.2.1", 9))  # no packet is sent
            address = probe.getsockname()[0]
        except OSError:
            return None
    return None if address.startswith("127.") else address


# (what, Host, Origin, status); P is the page's port.
LOOPBACK = [
    ("the page's own address", "127.0.0.1:P", None, 200),
    ("localhost, as a person types it", "localhost:P", "http://localhost:P", 200),
    ("the page's own origin", "127.0.0.1:P", "http://127.0.0.1:P", 200),
    ("a name pointed at this machine (DNS rebinding)", "rebind.example:P", "http://rebind.example:P", 403),
    ("a foreign Host alone", "rebind.example:P", None, 403),
    ("another site's page", "127.0.0.1:P", "http://evil.example", 403),
    ("another port of this machine", "127.0.0.1:P", "http://localhost:1", 403),
    ("a page without an origin (file, sandbox)", "127.0.0.1:P", "null", 403),
    ("no Host at all", None, None, 403),
]


def loopback_server(quillmark, data_dir):
    with Server(quillmark, data_dir) as server:
        port = str(server.port)
        refused = 0
        for what, host, origin, expected in LOOPBACK:
            host = host and host.replace("P", port)
            origin = origin and origin.replace("P", port)
            for path in (b"/api/status", b"/api/markers", b"/"):
                got = status_of(server.port, host, origin, path)
                check(got == expected, "%s, %s: %s instead of %s" % (what, path.decode(), got, expected))
                refused += got == 403
            if host is not None:
                got = feed_status(server.port, host, origin)
                check(got == (101 if expected == 200 else 403), "%s, the feed: %s" % (what, got))
                refused += got == 403
        status = json.load(urllib.request.urlopen(server.url + "api/status"))
        check(status["refusedRequests"] == refused, "%s refusals counted, %d made" % (status["refusedRequests"], refused))
        check("the page refused a request" in server.output(), "the first refusal is not said")
        print("%d requests refused on 127.0.0.1" % refused)


def every_interface(quillmark, data_dir):
    with Server(quillmark, data_dir, extra=["--http", "0.0.0.0:0", "--http-allow", "proxy.lab,dash.lab:3000"]) as server:
        port = server.port
        lan = own_lan_address()
        cases = [
            ("localhost", "localhost:%d" % port, None, 200),
            ("an allowed proxy, any port", "proxy.lab", "https://proxy.lab", 200),
            ("an allowed dashboard at its port", "127.0.0.1:%d" % port, "http://dash.lab:3000", 200),
            ("the dashboard's name at another port", "127.0.0.1:%d" % port, "http://dash.lab:3001", 403),
            ("an address of another machine", "203.0.113.7:%d" % port, None, 403),
        ]
        if lan:
            cases.append(("this machine's LAN address", "%s:%d" % (lan, port), "http://%s:%d" % (lan, port), 200))
        for what, host, origin, expected in cases:
            got = status_of(port, host, origin)
            check(got == expected, "on every interface, %s: %s instead of %s" % (what, got, expected))
        print("%d cases on 0.0.0.0 (LAN address %s)" % (len(cases), lan))


def main():
    quillmark, data_dir = sys.argv[1:3]
    loopback_server(quillmark, data_dir)
    every_interface(quillmark, data_dir)
    print("%d failed" % len(failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
