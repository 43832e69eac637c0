#!/usr/bin/python3
"""FTP storage across a distance: a first backup and a full restore of a small generated tree
through a loopback proxy that adds a fixed delay to every round trip of the control connection.

  bench/ftp_latency.py [--bin DIR]... [--scale F] [--delay-ms MS] [--runs N] [--work DIR]

Starts the test FTP server of tests/support (pyftpdlib) on 127.0.0.1, a TCP proxy in front of it
on 127.0.0.1 that holds back everything it forwards by half the delay in each direction, and
runs the real kvcs of DIR (default build/bin) through the proxy: a first backup of the tree into
an empty folder, then a restore into a folder that holds only the project file. Prints, per run,
the commands the client sent, the contents moved and the seconds, and per content the commands
and seconds; then min-max over the runs. With --bin given more than once, the runs of the builds
take turns, so that a build is measured next to its reference. Data connections go to the
server directly (the
client takes only the port of a passive reply), so the delay falls on command round trips.

Each kvcs run is bounded (--run-limit seconds, default 600); nothing listens beyond 127.0.0.1.
The tree comes from ../shared/bench/gen_tree.py (KVCS_GEN_TREE names another).
"""

import argparse
import glob
import gzip
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections import deque

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER = os.path.join(REPO, "tests", "support", "ftp_server.py")
USER, PASSWORD = "kvcs", "secret_1"


class DelayProxy:
    """Forwards connections of 127.0.0.1:port to the target port, each byte half the delay late
    in each direction, so that a command and its reply take the whole delay more. Counts the
    command lines clients send."""

    def __init__(self, target_port, delay_s):
        self.target_port = target_port
        self.half = delay_s / 2
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.commands = 0
        self.stopping = False
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def take_count(self):
        with self.lock:
            count, self.commands = self.commands, 0
        return count

    def accept_loop(self):
        while not self.stopping:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target_port))
            for sock in (client, server):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.pipe(client, server, count=True)
            self.pipe(server, client, count=False)

    def pipe(self, source, sink, count):
        """Two threads: one reads and stamps, one delivers when the stamp is due."""
        queue = deque()
        ready = threading.Condition()

        def read():
            while True:
                try:
                    data = source.recv(65536)
                except OSError:
                    data = b""
                if count and data:
                    with self.lock:
                        self.commands += data.count(b"\n")
                with ready:
                    queue.append((time.monotonic() + self.half, data))
                    ready.notify()
                if not data:
                    return

        def deliver():
            while True:
                with ready:
                    while not queue:
                        ready.wait()
                    due, data = queue.popleft()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                if not data:
                    try:
                        sink.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                    return
                try:
                    sink.sendall(data)
                except OSError:
                    return

        threading.Thread(target=read, daemon=True).start()
        threading.Thread(target=deliver, daemon=True).start()

    def close(self):
        self.stopping = True
        self.listener.close()


def start_server(root):
    process = subprocess.Popen(
        [sys.executable, SERVER, "--root", root, "--user", USER, "--password", PASSWORD,
         "--until-stdin-closes"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    port = int(process.stdout.readline())
    return process, port


def log_events(config, name):
    """The lines of the newest log that report `name` for one file (not its progress)."""
    logs = sorted(glob.glob(os.path.join(config, "Kestrun VCS", "logs", "*.gz")),
                  key=os.path.getmtime)
    with gzip.open(logs[-1], "rt", errors="replace") as log:
        lines = log.read().splitlines()
    return lines, [line for line in lines if line.startswith(name + " ")]


def run_kvcs(kvcs, folder, mode, link, config, limit):
    env = dict(os.environ, XDG_CONFIG_HOME=config)
    start = time.perf_counter()
    subprocess.run([kvcs, folder, "-m=" + mode, "-s=" + link], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=limit, check=True)
    return time.perf_counter() - start


def one_run(args, kvcs, tree, work):
    root = os.path.join(work, "ftp-root")
    os.makedirs(os.path.join(root, "vault"))
    config = os.path.join(work, "config")
    os.makedirs(config)
    server, port = start_server(root)
    proxy = DelayProxy(port, args.delay_ms / 1000.0)
    try:
        link = "ftp://%s:%s@127.0.0.1:%d/vault" % (USER, PASSWORD, proxy.port)

        def measure(folder, mode, event, verdict):
            proxy.take_count()
            seconds = run_kvcs(kvcs, folder, mode, link, config, args.run_limit)
            commands = proxy.take_count()
            lines, moved = log_events(config, event)
            if verdict not in lines:
                raise SystemExit("the %s did not end in '%s':\n%s" %
                                 (mode, verdict, "\n".join(lines[-5:])))
            return commands, len(moved), seconds

        source = os.path.join(work, "source")
        shutil.copytree(tree, source, symlinks=True)
        target = os.path.join(work, "target")
        os.makedirs(target)
        shutil.copy(os.path.join(tree, "kestrun-vcs.json"), target)
        results = {
            "backup": measure(source, "backup", "kestrun::vcs::file::upload",
                              "kestrun::vcs::save 1"),
        }
        results["restore"] = measure(target, "restore", "kestrun::vcs::file::download",
                                     "kestrun::vcs::save local")
        return results
    finally:
        proxy.close()
        server.stdin.close()
        server.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", action="append",
                        help="folder of kvcs and its drivers (default build/bin); repeatable")
    parser.add_argument("--scale", type=float, default=0.02, help="gen_tree scale (default 0.02)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--delay-ms", type=float, default=20.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--run-limit", type=float, default=600.0)
    parser.add_argument("--work", help="work folder (default: a new temporary one, removed)")
    args = parser.parse_args()

    bins = [os.path.abspath(b) for b in (args.bin or [os.path.join(REPO, "build", "bin")])]
    gen = os.environ.get("KVCS_GEN_TREE", os.path.join(REPO, "..", "shared", "bench", "gen_tree.py"))
    own_work = args.work is None
    work = tempfile.mkdtemp(prefix="kvcs-ftp-latency-") if own_work else os.path.abspath(args.work)
    try:
        tree = os.path.join(work, "tree")
        subprocess.run([sys.executable, gen, tree, "--scale", str(args.scale), "--seed",
                        str(args.seed), "--force", "-q"], check=True)
        print("tree --scale %g --seed %d, %g ms per round trip" %
              (args.scale, args.seed, args.delay_ms))
        per = {(b, mode): [] for b in bins for mode in ("backup", "restore")}
        for run in range(args.runs):
            for b in bins:
                run_work = os.path.join(work, "run")
                results = one_run(args, os.path.join(b, "kvcs"), tree, run_work)
                shutil.rmtree(run_work, ignore_errors=True)
                for mode, (commands, contents, seconds) in results.items():
                    per[(b, mode)].append((commands / max(contents, 1), seconds / max(contents, 1)))
                    print("run %d %s %-7s %6d commands %5d contents %7.2f s  %5.2f commands and "
                          "%.3f s per content" % (run + 1, b, mode, commands, contents, seconds,
                                                  commands / max(contents, 1),
                                                  seconds / max(contents, 1)))
                sys.stdout.flush()
        for (b, mode), values in per.items():
            commands = [c for c, _ in values]
            seconds = [s for _, s in values]
            print("%s %-7s commands per content %.2f-%.2f, seconds per content %.3f-%.3f" %
                  (b, mode, min(commands), max(commands), min(seconds), max(seconds)))
    finally:
        if own_work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
