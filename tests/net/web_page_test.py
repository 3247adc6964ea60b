#!/usr/bin/python3
"""The operator page in a real browser: Debian's chromium, headless, opens
the page of a real headless server with the synthetic camera, and a
fusion node's with its nodes' table, and reads back what a person sees
(document.body.innerText), through its DevTools protocol. One pattern is named like markup, and must show as text.

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
        finally:
            browser.close()
    print("4 passed, 0 failed")


if __name__ == "__main__":
    try:
        main()
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        sys.exit(1)
