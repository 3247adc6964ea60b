#!/usr/bin/python3
"""The TCP server against what wears a service down, through the real
quillmark executable with --camera none: a descriptor limit that runs out
(as a service's 1024 does), the cost of one connection, silent Command-Mode
clients, and a chunk of hundreds of commands.

usage: server_limits_test.py QUILLMARK
"""
import os
import re
import resource
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what, flush=True)


def wait_for(condition, seconds=15.0):
    give_up = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > give_up:
            return value
        time.sleep(0.05)


class Server:
    """quillmark --headless --camera none in Command Mode, in a scratch
    folder; `nofile` lowers its descriptor limit, `config` is written as
    Data/config.txt."""

    def __init__(self, quillmark, extra=(), nofile=None, config=None):
        self.work = tempfile.mkdtemp(prefix="quillmark-limits-")
        os.mkdir(os.path.join(self.work, "Data"))
        if config:
            open(os.path.join(self.work, "Data", "config.txt"), "w").write(config)
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
        self.out = open(os.path.join(self.work, "out.txt"), "w+")
        self.err = open(os.path.join(self.work, "err.txt"), "w+")
        self.process = subprocess.Popen([quillmark, "--headless", "--camera", "none", "--port", "0",
                                         "--mode", "command", *extra],
                                        cwd=self.work, stdout=self.out, stderr=self.err, preexec_fn=limit)
        found = wait_for(lambda: self.process.poll() is None and re.search(r"Listening on port (\d+)", self.text()))
        if not found:
            raise RuntimeError("quillmark did not start: " + self.text() + self.errors())
        self.port = int(found.group(1))

    def text(self):
        self.out.flush()
        return open(self.out.name).read()

    def errors(self):
        return open(self.err.name).read()

    def descriptors(self):
        return len(os.listdir("/proc/%d/fd" % self.process.pid))

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.process.pid))

    def close(self):
        self.process.terminate()
        try:
            status = self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        check(status == 0, "quillmark ended with status %s: %s" % (status, self.errors()[-2000:]))
        shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.close()


def answered(client, timeout=3.0):
    """True when "all" gets its "Num= " header."""
    client.settimeout(timeout)
    try:
        client.sendall(b"all\n")
        return client.recv(64).startswith(b"Num= ")
    except OSError:
        return False


def closed_by_server(client, timeout):
    client.settimeout(timeout)
    try:
        return client.recv(64) == b""
    except socket.timeout:
        return False
    except OSError:
        return True


def descriptors_run_out(quillmark):
    """Past the limit clients wait; once some leave, the server serves again."""
    with Server(quillmark, nofile=64) as server:
        crowd = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(80)]
        for client in crowd:
            client.sendall(b"all\n")
        served = set()
        give_up = time.monotonic() + 3
        while time.monotonic() < give_up:
            ready, _, _ = select.select([c for c in crowd if c not in served], [], [], 0.2)
            served.update(c for c in ready if c.recv(64).startswith(b"Num= "))
        check(20 <= len(served) < 80, "%d of 80 served under a limit of 64 descriptors" % len(served))
        for client in crowd:
            client.close()
        late = wait_for(lambda: (lambda c: answered(c) and c)(socket.create_connection(("127.0.0.1", server.port))))
        check(late, "no client is served again after the crowd left")
        said = server.errors()
        check(said.count("cannot take a connection") == 1, "the shortage said %d times: %s"
              % (said.count("cannot take a connection"), said))
        check("takes connections again" in said, "the recovery is not said: " + said)
        print("%d of 80 served under 64 descriptors, served again after" % len(served))


def cost_of_a_connection(quillmark):
    with Server(quillmark) as server:
        first = socket.create_connection(("127.0.0.1", server.port))
        check(answered(first), "the first client is not answered")
        descriptors, threads = server.descriptors(), server.threads()
        clients = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(30)]
        check(all(answered(c) for c in clients), "30 clients are not all answered")
        more_descriptors, more_threads = server.descriptors() - descriptors, server.threads() - threads
        check(more_descriptors == 30 and more_threads == 30,
              "30 connections cost %d descriptors and %d threads" % (more_descriptors, more_threads))
        for client in clients + [first]:
            client.close()
        print("30 connections: %d descriptors, %d threads" % (more_descriptors, more_threads))


# (what, command line, settings file, talks every 0.4 s, closed by the server)
IDLE = [
    ("a silent client, --command-timeout 1", ["--command-timeout", "1"], None, False, True),
    ("a silent client, [CommandIdleTimeout] 1", [], "[CommandIdleTimeout]   1\n", False, True),
    ("a talking client, --command-timeout 1", ["--command-timeout", "1"], None, True, False),
    ("a silent client, --command-timeout 0", ["--command-timeout", "0"], None, False, False),
]


def idle_clients(quillmark):
    for what, extra, config, talks, closes in IDLE:
        with Server(quillmark, extra, config=config) as server:
            client = socket.create_connection(("127.0.0.1", server.port))
            ended = False
            for _ in range(8 if talks else 1):
                if talks:
                    check(answered(client), what + ": not answered")
                ended = closed_by_server(client, 0.4 if talks else (15 if closes else 3))
                if ended:
                    break
            check(ended == closes, "%s: %s" % (what, "closed" if ended else "kept"))
            if closes:
                check("Client closed: sent nothing for 1 s" in server.text(), what + ": the close is not said")
            client.close()


HELP = (b"<<< COMMAND LIST >>>\n"
        b"all        Get all marker information.\n"
        b"get <name> Get marker information having specified name.\n"
        b"help       Show command list.\n"
        b"exit       Dissconnect this connection.\n"
        b"quit       Dissconnect this connection.\n"
        b"\n")


def chunk_of_many_commands(quillmark):
    """512 lines in one chunk, more than one pass answers: every line is
    answered in order, and "exit" among them still ends the connection."""
    with Server(quillmark) as server:
        client = socket.create_connection(("127.0.0.1", server.port))
        client.sendall(b"all\n" * 300 + b"help\n" + b"exit\n" + b"all\n" * 200)
        client.settimeout(20)
        got = b""
        while True:
            chunk = client.recv(65536)
            if not chunk:
                break
            got += chunk
        check(got == b"Num= 0\n" * 300 + HELP + b"*ok\n",
              "%d reports for 300 all, then %r" % (got.count(b"Num= 0\n"), got[-80:]))
        client.close()


def main():
    quillmark = sys.argv[1]
    descriptors_run_out(quillmark)
    cost_of_a_connection(quillmark)
    idle_clients(quillmark)
    chunk_of_many_commands(quillmark)
    print("%d failed" % len(failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
