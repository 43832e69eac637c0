#!/usr/bin/python3
"""A loopback FTP server for the tests: one user on a temporary root, on a free port of 127.0.0.1.

Prints the port on the first line of standard output and the root on the second, then serves until
it is stopped: SIGTERM or SIGINT, the end of standard input (--until-stdin-closes), or the close of
the lease connection (--lease). A root it created itself is removed when it stops.

  ftp_server.py [--root DIR] [--user NAME] [--password WORD] [--perm LETTERS] [--port-file FILE]
                [--lease] [--short-size-while FILE] [--one-session-per-ip MS] [--upload-rate BYTES]
                [--stop-after-files N]

--port-file writes the port (and with --lease the lease port on a second line) to FILE once the
server listens, replacing the file in one step so that a reader never sees half of it.
--lease listens on a second port; the server stops when the first connection to it closes (when
the test process that holds it ends, however it ends), or when none arrives within 60 seconds.
--perm gives the user pyftpdlib's permission letters (default elradfmwMT, everything); without
"f" and "d" the server is write-once: it refuses RNFR, RNTO and DELE.
--short-size-while makes SIZE answer one byte less than a file holds whenever FILE exists, as a
faulty or hostile server may, so that a test can switch the fault on and off between runs.
--one-session-per-ip allows one session per client address at a time, as servers set up against
abuse do (vsftpd max_per_ip=1, pure-ftpd -C 1), and lets go of a session only MS milliseconds
after it ended, as those do once their session process has exited: a session that comes sooner
is greeted with 421 and closed.
--upload-rate takes uploads at most that fast (bytes per second), so that a test can cut one off.
--stop-after-files makes the server go away (every connection closed, the port no longer
listening) once it has sent N files that lie below a folder named "files", as a server that
stops in the middle of a restore.
The greeting is a multi-line reply on purpose: clients must read replies as RFC 959 frames them.
"""

import argparse
import logging
import os
import select
import shutil
import signal
import socket
import sys
import tempfile
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

LEASE_WAIT_SECONDS = 60
# pyftpdlib sends a banner longer than 75 characters as a multi-line 220 reply.
BANNER = ("kvcs loopback FTP server for tests; this greeting spans two lines so that clients "
          "meet a multi-line reply")


def write_port_file(path, lines):
    temporary = path + ".tmp"
    with open(temporary, "w") as out:
        out.write("".join("%s\n" % line for line in lines))
    os.replace(temporary, path)


def receive(connection):
    """What the connection gives; empty once it is closed or broken."""
    try:
        return connection.recv(64)
    except OSError:
        return b""


def short_size_handler(switch):
    """A handler whose SIZE under-reports by one byte while the file `switch` exists."""

    class ShortSizeHandler(FTPHandler):
        answering_size = False

        def ftp_SIZE(self, path):
            self.answering_size = os.path.exists(switch)
            try:
                return FTPHandler.ftp_SIZE(self, path)
            finally:
                self.answering_size = False

        def respond(self, resp, *args, **kwargs):
            if self.answering_size and resp.startswith("213 ") and int(resp[4:]) > 1:
                resp = "213 %d" % (int(resp[4:]) - 1)
            return FTPHandler.respond(self, resp, *args, **kwargs)

    return ShortSizeHandler


def one_session_per_ip(base, linger_seconds):
    """A handler that turns away a second session of an address, and one that comes less than
    `linger_seconds` after the last one of that address ended."""
    busy_until = {}  # address -> time from which it may start a session; inf while one is open

    class OneSessionHandler(base):
        turned_away = False

        def handle(self):
            address = self.remote_ip
            if busy_until.get(address, 0) > time.monotonic():
                self.turned_away = True
                logging.info("%s turned away: a session of that address is not over", address)
                self.respond("421 There are too many connections from your internet address.")
                self.close_when_done()
                return
            busy_until[address] = float("inf")
            base.handle(self)

        def close(self):
            if not self.turned_away and busy_until.get(self.remote_ip) == float("inf"):
                busy_until[self.remote_ip] = time.monotonic() + linger_seconds
            base.close(self)

    return OneSessionHandler


def stop_after_files_handler(base, count, stopping):
    """A handler that stops the whole server once `count` stored contents were sent."""

    class StopAfterFilesHandler(base):
        sent = [0]

        def on_file_sent(self, file):
            base.on_file_sent(self, file)
            if "%sfiles%s" % (os.sep, os.sep) in file:
                self.sent[0] += 1
                if self.sent[0] >= count:
                    logging.info("%d contents sent; going away", self.sent[0])
                    stopping.append(True)

    return StopAfterFilesHandler


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", help="folder served as the user's home (default: a new temporary one)")
    parser.add_argument("--user", default="kvcs")
    parser.add_argument("--password", default="secret_1")
    parser.add_argument("--perm", default="elradfmwMT")
    parser.add_argument("--short-size-while")
    parser.add_argument("--one-session-per-ip", type=int, metavar="MS")
    parser.add_argument("--upload-rate", type=int, default=0)
    parser.add_argument("--stop-after-files", type=int)
    parser.add_argument("--port-file")
    parser.add_argument("--lease", action="store_true")
    parser.add_argument("--until-stdin-closes", action="store_true")
    args = parser.parse_args()

    logging.basicConfig(stream=sys.stderr, level=logging.INFO,
                        format="%(asctime)s ftp_server %(message)s")
    own_root = args.root is None
    root = tempfile.mkdtemp(prefix="kvcs-ftp-") if own_root else os.path.abspath(args.root)

    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(True))

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, root, perm=args.perm)
    handler = FTPHandler
    if args.short_size_while:
        handler = short_size_handler(args.short_size_while)
    if args.stop_after_files:
        handler = stop_after_files_handler(handler, args.stop_after_files, stopping)
    handler.authorizer = authorizer
    handler.banner = BANNER
    handler.auth_failed_timeout = 0  # refused logins are test cases here, not attacks
    if args.one_session_per_ip is not None:
        handler = one_session_per_ip(handler, args.one_session_per_ip / 1000.0)
    if args.upload_rate:
        class SlowUploads(ThrottledDTPHandler):
            read_limit = args.upload_rate

        handler.dtp_handler = SlowUploads
    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]

    lease_listener = None
    lease = None
    lease_deadline = time.monotonic() + LEASE_WAIT_SECONDS
    watched = []
    if args.lease:
        lease_listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        lease_listener.bind(("127.0.0.1", 0))
        lease_listener.listen(1)
        watched.append(lease_listener)
    if args.until_stdin_closes:
        watched.append(sys.stdin)

    lines = [str(port)] + ([str(lease_listener.getsockname()[1])] if lease_listener else [])
    if args.port_file:
        write_port_file(args.port_file, lines)
    print(port)
    print(root)
    sys.stdout.flush()

    try:
        while not stopping:
            server.ioloop.loop(0.05, blocking=False)
            if lease_listener is not None and lease is None and time.monotonic() > lease_deadline:
                logging.info("no lease connection arrived; stopping")
                break
            ready, _, _ = select.select(watched, [], [], 0)
            if lease_listener in ready:
                lease, _ = lease_listener.accept()
                watched.remove(lease_listener)
                watched.append(lease)
            elif lease is not None and lease in ready and not receive(lease):
                logging.info("lease closed; stopping")
                break
            elif sys.stdin in ready and not sys.stdin.buffer.read1(64):
                logging.info("standard input closed; stopping")
                break
    finally:
        server.close_all()
        if own_root:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
