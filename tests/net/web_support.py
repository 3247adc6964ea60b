"""A real headless quillmark with the page on, in a scratch copy of Data/."""
import os
import re
import shutil
import subprocess
import tempfile
import time


class Failure(Exception):
    pass


def wait_for(what, condition, seconds=15.0, pause=0.05):
    """Polls `condition` until it returns something true; fails naming `what`."""
    give_up = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > give_up:
            raise Failure("gave up waiting for " + what)
        time.sleep(pause)


class Server:
    """quillmark --headless with the synthetic camera and --http 0; `names`
    renames catalogue rows (row -> new name) and `files` (name -> text) are
    written into its Data/ before it starts."""

    def __init__(self, quillmark, data_dir, names=None, extra=(), files=None):
        self.work = tempfile.mkdtemp(prefix="quillmark-web-")
        shutil.copytree(data_dir, os.path.join(self.work, "Data"))
        for name, text in (files or {}).items():
            open(os.path.join(self.work, "Data", name), "w").write(text)
        if names:
            path = os.path.join(self.work, "Data", "pattern_list.txt")
            rows = open(path).read().splitlines()
            for row, name in names.items():
                words = rows[row].split("\t")
                words[1] = name
                rows[row] = "\t".join(words)
            open(path, "w").write("\n".join(rows) + "\n")
        self.out = open(os.path.join(self.work, "out.txt"), "w+")
        self.process = subprocess.Popen(
            [quillmark, "--headless", "--camera", "synthetic", "--port", "0", "--http", "0", *extra],
            cwd=self.work, stdout=self.out, stderr=subprocess.STDOUT)
        self.port = int(wait_for("the page's address", lambda: self._find(r"Page on http://\S+:(\d+)/")))
        self.tcp_port = int(wait_for("the TCP port", lambda: self._find(r"Listening on port (\d+)")))
        self.url = "http://127.0.0.1:%d/" % self.port

    def _find(self, pattern):
        if self.process.poll() is not None:
            raise Failure("quillmark ended: " + self.output())
        match = re.search(pattern, self.output())
        return match and match.group(1)

    def output(self):
        self.out.flush()
        return open(self.out.name).read()

    def close(self):
        """Stops the server as a service manager does; a status other than 0
        (a sanitizer's report, say) fails the test."""
        self.process.terminate()
        try:
            status = self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        output = self.output()
        shutil.rmtree(self.work, ignore_errors=True)
        if status != 0:
            raise Failure("quillmark ended with status %s:\n%s" % (status, output[-4000:]))

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.close()
