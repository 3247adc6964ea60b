#!/usr/bin/python3
"""The operator page in a real browser: Debian's chromium, headless, opens
the page of a real headless server with the synthetic camera and reads back
what a person sees (document.body.innerText), through its DevTools
protocol. One pattern is named like markup, and must show as text. With a
bodies file and a world frame the page lists the bodies and the camera's
world pose, and draws each body's axes on the picture. A fusion node's
page lists its camera nodes.

usage: web_page_test.py QUILLMARK DATA_DIR [--screenshot FILE]
"""
import argparse
import base64
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket

from web_support import Failure, Server, wait_for

MARKUP_NAME = "<i>Fork</i>"  # row 1, which the synthetic camera films


class Browser:
    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="quillmark-chromium-")
        self.process = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-quic",
             "--user-data-dir=" + self.profile, "--remote-debugging-port=0", "--window-size=1600,900",
             "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        active = os.path.join(self.profile, "DevToolsActivePort")
        port = wait_for("chromium's DevTools port", lambda: os.path.exists(active) and open(active).readline().strip())
        tabs = json.load(urllib.request.urlopen("http://127.0.0.1:%s/json" % port))
        page = next(tab for tab in tabs if tab["type"] == "page")
        self.devtools = websocket.create_connection(page["webSocketDebuggerUrl"], suppress_origin=True)
        self.sent = 0

    def call(self, method, **params):
        self.sent += 1
        self.devtools.send(json.dumps({"id": self.sent, "method": method, "params": params}))
        while True:
            reply = json.loads(self.devtools.recv())
            if reply.get("id") == self.sent:
                if "error" in reply:
                    raise Failure("%s: %s" % (method, reply["error"]))
                return reply["result"]

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def close(self):
        self.devtools.close()
        self.process.terminate()
        self.process.wait(10)
        shutil.rmtree(self.profile, ignore_errors=True)


def frame_number(browser):
    text = browser.evaluate("(document.getElementById('frame') || {}).innerText") or ""
    words = text.split()
    return int(words[1]) if len(words) > 1 and words[1].isdigit() else 0


def check(condition, what):
    if not condition:
        raise Failure(what)


def table_text(browser):
    text = browser.evaluate("document.getElementById('markers').innerText")
    return text if text and text.count("\n") >= 2 else None


# Timers that never run, as in a headless capture (--screenshot, --dump-dom
# take the page right after a message arrives): the frame still shows.
def frames_without_timers(browser, server):
    browser.call("Page.enable")
    script = browser.call("Page.addScriptToEvaluateOnNewDocument", source="window.setTimeout = () => 0;")
    browser.call("Page.navigate", url=server.url)
    wait_for("a frame number with timers stopped", lambda: frame_number(browser))
    wait_for("the table with timers stopped", lambda: table_text(browser))
    browser.call("Page.removeScriptToEvaluateOnNewDocument", identifier=script["identifier"])


# Window widths a person uses, down to a small laptop's: the markers table
# fits its card and the page needs no sideways scrolling.
WIDTHS = [800, 1024, 1280, 1600]


def table_fits(browser, server):
    for width in WIDTHS:
        browser.call("Emulation.setDeviceMetricsOverride", width=width, height=900, deviceScaleFactor=1, mobile=False)
        browser.call("Page.navigate", url=server.url)
        wait_for("the table at %d px" % width, lambda: table_text(browser))
        overflow = browser.evaluate(
            "(() => { const card = document.getElementById('inview'), table = document.getElementById('markers');"
            " return [table.getBoundingClientRect().right - card.getBoundingClientRect().right + 1,"
            " card.scrollWidth - card.clientWidth, document.documentElement.scrollWidth - innerWidth]; })()")
        check(all(v <= 1 for v in overflow), "at %d px the table overflows its card or the page: %s" % (width, overflow))
    browser.call("Emulation.clearDeviceMetricsOverride")


# Flag at the body's origin, Fork beside it: the synthetic camera films them
# together, and the world frame is theirs.
BODY_LIST = "# a flat pair\n[Member] pair Flag 0 0 0 1 0 0 0\n[Member] pair Fork 120 0 0 1 0 0 0\n"
AXIS_COLOURS = [(255, 32, 32), (32, 208, 32), (32, 96, 255)]


def bodies_shown(browser, server):
    browser.call("Page.navigate", url=server.url)
    text = wait_for("the bodies and the camera's world pose", lambda: (lambda t: t and "Bodies in view 1" in t
                    and "Camera in the world:" in t and "Flag, Fork" in t and t)(
                        browser.evaluate("document.body.innerText")))
    check("pair" in browser.evaluate("document.getElementById('bodyTable').innerText"), "the body is not named")
    # The axes as drawn, with the frame of the picture under them: the
    # origin is Flag's centre, and each axis end shows its colour.
    drawn = wait_for("the body's axes on the picture", lambda: browser.evaluate(
        "(() => { const flag = shownFrame && shownFrame.markers.find(m => m.name == 'Flag');"
        " if (!flag || drawnAxes.length != 1) return null;"
        " const c = document.getElementById('view').getContext('2d');"
        " const colour = ([x, y]) => Array.from(c.getImageData(Math.round(x), Math.round(y), 1, 1).data).slice(0, 3);"
        " return {axes: drawnAxes[0], flag: flag.pos2d, width: shownFrame.width, height: shownFrame.height,"
        " colours: drawnAxes[0].ends.map(e => e && colour(e))}; })()"))
    axes = drawn["axes"]
    offset = max(abs(a - b) for a, b in zip(axes["origin"], drawn["flag"]))
    check(offset < 5, "the axes start %.1f px from Flag's centre: %s" % (offset, drawn))
    checked = 0
    for axis, (end, colour) in enumerate(zip(axes["ends"], drawn["colours"])):
        later = [e for e in axes["ends"][axis + 1:] if e]
        if not end or not (10 < end[0] < drawn["width"] - 10 and 10 < end[1] < drawn["height"] - 10) or any(
                max(abs(end[0] - e[0]), abs(end[1] - e[1])) < 12 for e in later):
            continue
        check(max(abs(a - b) for a, b in zip(colour, AXIS_COLOURS[axis])) < 60,
              "axis %d's end at %s shows %s" % (axis, end, colour))
        checked += 1
    check(checked >= 2, "only %d axis ends could be seen: %s" % (checked, drawn))
    return checked


# A fusion node's page lists its camera nodes; a node named like markup
# shows as text, and a node that has sent no world pose says so.
def fusion_nodes_table(browser, quillmark, data_dir):
    work = tempfile.mkdtemp(prefix="quillmark-fuse-")
    shutil.copytree(data_dir, os.path.join(work, "Data"))
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    broker = subprocess.Popen(["mosquitto", "-p", str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    out = open(os.path.join(work, "out.txt"), "w+")
    fusion = None
    try:
        time.sleep(0.3)
        fusion = subprocess.Popen([quillmark, "fuse", "--mqtt", "127.0.0.1:%d/site" % port, "--port", "0",
                                   "--http", "0"], cwd=work, stdout=out, stderr=subprocess.STDOUT)
        page = wait_for("the fusion's page", lambda: (lambda m: m and m.group(1))(
            re.search(r"Page on http://\S+:(\d+)/", open(out.name).read())))
        node = "<i>left"
        frame = json.dumps({"node": node, "frame": 1, "time": time.time(), "width": 640, "height": 480,
                            "camera": None, "markers": []})
        for _ in range(2):
            subprocess.run(["mosquitto_pub", "-p", str(port), "-t", "site/nodes/%s/frame" % node, "-m", frame],
                           check=True)
        browser.call("Page.navigate", url="http://127.0.0.1:%s/" % page)
        table = wait_for("the nodes' table", lambda: (lambda text: text and node in text and text)(
            browser.evaluate("document.getElementById('nodes').hidden ? '' :"
                             " document.getElementById('nodetable').innerText")))
        check("live" in table and "not known" in table, "the node's row is not as sent:\n" + table)
        check(browser.evaluate("document.querySelectorAll('#nodetable i').length") == 0, "a node name became markup")
    finally:
        if fusion:
            fusion.terminate()
            fusion.wait(20)
        broker.terminate()
        broker.wait(10)
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quillmark")
    parser.add_argument("data_dir")
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    with Server(args.quillmark, args.data_dir, names={1: MARKUP_NAME}) as server:
        browser = Browser()
        try:
            browser.call("Page.navigate", url=server.url)
            first = wait_for("a frame number on the page", lambda: frame_number(browser))
            table = wait_for("markers in the table",
                             lambda: (lambda text: text.count("\n") >= 2 and text)(
                                 browser.evaluate("document.getElementById('markers').innerText")))
            check(MARKUP_NAME in table, "the markup-like name is not shown as text in the table:\n" + table)
            check(browser.evaluate("document.querySelectorAll('script, i').length") == 1,
                  "a pattern name became markup")
            later = wait_for("a later frame number", lambda: frame_number(browser) > first and frame_number(browser))
            body = wait_for("the state and the catalogue", lambda: (lambda text: "synthetic 640x480" in text
                            and "Kite" in text and "TCP clients" in text and text)(
                                browser.evaluate("document.body.innerText")))
            for name in ("Flag", "Hook", MARKUP_NAME):
                check(name in body, name + " is missing from the page:\n" + body)
            check("Bodies" not in body and "world" not in body, "bodies shown without a bodies file:\n" + body)
            # The picture arrived: the canvas is not the black it starts as.
            lit = wait_for("the camera picture", lambda: browser.evaluate(
                "(() => { const c = document.getElementById('view');"
                " const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
                " let s = 0; for (let k = 0; k < d.length; k += 400) s += d[k]; return s; })()"))
            thumbnails = browser.evaluate(
                "Array.from(document.querySelectorAll('#patterns img')).filter(i => i.naturalWidth == 80).length")
            check(thumbnails == 4, "%s of 4 thumbnails shown" % thumbnails)
            print("frames %d then %d, picture brightness sum %d, thumbnails %d" % (first, later, lit, thumbnails))
            frames_without_timers(browser, server)
            table_fits(browser, server)
            fusion_nodes_table(browser, args.quillmark, args.data_dir)
            if args.screenshot:
                time.sleep(1.0)
                shot = browser.call("Page.captureScreenshot", format="png")
                open(args.screenshot, "wb").write(base64.b64decode(shot["data"]))
            with Server(args.quillmark, args.data_dir, extra=["--world", "pair"],
                        files={"body_list.txt": BODY_LIST}) as bodies:
                print("bodies: %d axis ends seen in their colours" % bodies_shown(browser, bodies))
        finally:
            browser.close()
    print("5 passed, 0 failed")


if __name__ == "__main__":
    try:
        main()
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        sys.exit(1)
