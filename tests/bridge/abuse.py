#!/usr/bin/env python3
"""Abusive clients against a real qv7-bridge on loopback.

Each case plays a client as it meets the daemon on a venue's network, then checks that the
daemon is alive and answers a well-behaved PJLink client, that its memory grew by less than
the case's bound, and that the projector's line carried exactly what it should. Run by CTest
with QV7BRIDGE and QV7SIM naming the programs.
"""

import base64
import hashlib
import json
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
PASSWORD = b"sesame"


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def until(what, condition, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


class Process:
    """A program whose output is kept, line by line, as it comes."""

    def __init__(self, args):
        self.lines = []
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, errors="replace")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def stop(self):
        self.process.terminate()
        self.process.wait(30)


class Venue:
    def __init__(self, folder):
        self.web, self.pjlink, self.metrics, self.broker = (free_port() for _ in range(4))
        with open(os.path.join(folder, "mosquitto.conf"), "w") as conf:
            conf.write(f"listener {self.broker} {HOST}\nallow_anonymous true\npersistence false\n")
        self.mosquitto = Process(["mosquitto", "-c", os.path.join(folder, "mosquitto.conf")])
        link = os.path.join(folder, "hall")
        self.sim = Process([os.environ["QV7SIM"], "--link", link, "--warm-up", "1"])
        until("the simulator", lambda: os.path.exists(link))
        with open(os.path.join(folder, "inventory.ini"), "w") as inventory:
            inventory.write(f"[hall]\nport = {link}\npjlink = {HOST}:{self.pjlink}\n")
        password = os.path.join(folder, "password")
        with open(password, "wb") as file:
            file.write(PASSWORD + b"\n")
        os.chmod(password, 0o600)
        self.args = [os.environ["QV7BRIDGE"], "--inventory", os.path.join(folder, "inventory.ini"),
                     "--broker", f"mqtt://{HOST}:{self.broker}", "--web", str(self.web),
                     "--web-password-file", password, "--metrics", f"{HOST}:{self.metrics}"]
        until("the broker", lambda: connects(self.broker))

    def start_bridge(self):
        self.bridge = Process(self.args)
        try:
            until("the bridge", lambda: pjlink_ask(self.pjlink, b"%1POWR ?") is not None)
        except AssertionError:
            print("\n".join(self.bridge.lines))
            raise

    def taken(self, code):
        spaced = " ".join(code)
        return sum(line.endswith(f"in  {spaced} CR") for line in self.sim.lines)

    def rss_kib(self):
        with open(f"/proc/{self.bridge.process.pid}/status") as status:
            return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))

    def alive(self):
        assert self.bridge.process.poll() is None, "the bridge has died"
        assert pjlink_ask(self.pjlink, b"%1POWR ?") is not None, "the bridge no longer answers"


def connects(port):
    try:
        socket.create_connection((HOST, port), 1).close()
        return True
    except OSError:
        return False


def pjlink_ask(port, request, close_at_once=False):
    """The answer to one PJLink request, or None when there was none."""
    def line(s):
        text = b""
        while not text.endswith(b"\r"):
            byte = s.recv(1)
            if not byte:
                break
            text += byte
        return text.rstrip(b"\r")

    try:
        with socket.create_connection((HOST, port), 5) as s:
            if line(s) != b"PJLINK 0":
                return None
            s.sendall(request + b"\r")
            return b"" if close_at_once else line(s)
    except OSError:
        return None


def http(port, request):
    with socket.create_connection((HOST, port), 5) as s:
        s.sendall(request)
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
        return answer


def own_page_headers(port):
    return f"Host: {HOST}:{port}\r\nOrigin: http://{HOST}:{port}\r\n".encode()


def log_in(venue):
    body = b"password=" + PASSWORD
    answer = http(venue.web, b"POST /login HTTP/1.1\r\n" + own_page_headers(venue.web) +
                  b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body) + body)
    return re.search(rb"Set-Cookie: (qv7[^;]*)", answer).group(1)


class PageSocket:
    """A page's WebSocket, as little of the protocol as a page needs."""

    def __init__(self, venue, cookie, path="/projector/hall/socket"):
        self.s = socket.create_connection((HOST, venue.web), 5)
        key = base64.b64encode(os.urandom(16))
        self.s.sendall(b"GET " + path.encode() + b" HTTP/1.1\r\n" + own_page_headers(venue.web) +
                       b"Cookie: " + cookie + b"\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       b"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: " + key + b"\r\n\r\n")
        head = b""
        while b"\r\n\r\n" not in head:
            head += self.s.recv(1)
        assert head.startswith(b"HTTP/1.1 101"), head

    def send(self, message):
        payload = json.dumps(message).encode()
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.s.sendall(struct.pack("!BB", 0x81, 0x80 | len(payload)) + mask + masked)

    def close(self):
        self.s.close()


def goes_on(venue):
    pjlink_ask(venue.pjlink, b"%1POWR 1")
    until("power on", lambda: pjlink_ask(venue.pjlink, b"%1POWR ?") == b"%1POWR=1")


# The cases: each plays its client, then says what the line must have carried.

def retained_command_is_not_run(venue):
    """A retained OFF left on the power topic before the start."""
    return {"C02": 0}


def command_for_a_client_gone(venue):
    """A PJLink POWR 0 asked during a web hold by a client that closes at once."""
    goes_on(venue)
    page = PageSocket(venue, log_in(venue))
    page.send({"press": "Command2"})
    until("the hold", lambda: venue.taken("C0A") >= 2)
    pjlink_ask(venue.pjlink, b"%1POWR 0", close_at_once=True)
    for _ in range(6):
        time.sleep(0.25)
        page.send({"alive": ""})
    page.send({"release": ""})
    time.sleep(2)
    page.close()
    return {"C02": 0}


def forged_log_line(venue):
    """A PJLink request with a line end inside, and rubbish of every size."""
    for request in (b"%1POWR ?\nqv7-bridge: forged", b"\x00\x1b[2J", b"%1" + b"A" * 70000):
        pjlink_ask(venue.pjlink, request)
    assert not any(line.startswith("qv7-bridge: forged") for line in venue.bridge.lines)
    return {}


def foreign_host_on_metrics(venue):
    """A scrape through DNS rebinding names another host."""
    answer = http(venue.metrics, b"GET /metrics HTTP/1.1\r\nHost: rebound.test\r\n\r\n")
    assert answer.startswith(b"HTTP/1.1 421"), answer[:40]
    own = f"GET /metrics HTTP/1.1\r\nHost: {HOST}:{venue.metrics}\r\n\r\n".encode()
    assert http(venue.metrics, own).startswith(b"HTTP/1.1 200")
    return {}


def reader_that_never_reads(venue):
    """Pipelined requests for the largest file on one connection that reads nothing."""
    request = f"GET /static/layout.css HTTP/1.1\r\nHost: {HOST}:{venue.web}\r\n\r\n".encode()
    with socket.create_connection((HOST, venue.web), 5) as s:
        s.setblocking(False)
        deadline = time.monotonic() + 20
        try:
            while time.monotonic() < deadline:
                try:
                    s.send(request * 64)
                except BlockingIOError:
                    time.sleep(0.05)
        except OSError:
            pass  # dropped, as it should be
        else:
            raise AssertionError("a client that reads nothing was never dropped")
    return {}


def guesser(venue):
    """Wrong passwords from one address, each on a connection closed after 100 ms."""
    body = b"password=wrong"
    for _ in range(20):
        with socket.create_connection((HOST, venue.web), 5) as s:
            s.sendall(b"POST /login HTTP/1.1\r\n" + own_page_headers(venue.web) +
                      b"Content-Length: %d\r\n\r\n" % len(body) + body)
            time.sleep(0.1)
    right = http(venue.web, b"POST /login HTTP/1.1\r\n" + own_page_headers(venue.web) +
                 b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(PASSWORD + b"password=") +
                 b"password=" + PASSWORD)
    assert right.startswith(b"HTTP/1.1 429") and b"Retry-After:" in right, right[:60]
    return {}


CASES = [
    (retained_command_is_not_run, 8 * 1024),
    (command_for_a_client_gone, 16 * 1024),
    (forged_log_line, 8 * 1024),
    (foreign_host_on_metrics, 8 * 1024),
    (reader_that_never_reads, 48 * 1024),
    (guesser, 8 * 1024),
]


def main():
    failed = 0
    with tempfile.TemporaryDirectory() as folder:
        venue = Venue(folder)
        subprocess.run(["mosquitto_pub", "-h", HOST, "-p", str(venue.broker), "-r",
                        "-t", "qv7/hall/power/set", "-m", "OFF"], check=True)
        venue.start_bridge()
        try:
            for case, bound_kib in CASES:
                before = {code: venue.taken(code) for code in ("C00", "C02", "C0A")}
                rss = venue.rss_kib()
                try:
                    expected = case(venue)
                    venue.alive()
                    for code, count in expected.items():
                        assert venue.taken(code) - before[code] == count, \
                            f"the line carried {code} {venue.taken(code) - before[code]} times"
                    grown = venue.rss_kib() - rss
                    assert grown < bound_kib, f"the bridge grew by {grown} KiB"
                    print(f"PASS {case.__name__}: grew {grown} KiB")
                except AssertionError as error:
                    failed += 1
                    print(f"FAIL {case.__name__}: {error}")
        finally:
            venue.bridge.stop()
            venue.sim.stop()
            venue.mosquitto.stop()
        # Under the sanitizers a fault found on the way shows in the exit status.
        if venue.bridge.process.returncode != 0:
            failed += 1
            print(f"FAIL the bridge exited {venue.bridge.process.returncode} when stopped")
        if failed:
            print("\n".join(venue.bridge.lines[-60:]))
    print(f"{len(CASES) - failed} of {len(CASES)} cases passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
