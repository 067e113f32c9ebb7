#!/usr/bin/env python3
"""A venue across hosts: four qv7-bridge daemons on one mosquitto, each host a network namespace.

Each of namespaces 1 to 4 runs two simulated projectors on pseudo-terminals and the daemon that
owns their lines; the fifth runs the broker and holds a Linux bridge device to which the other
four are joined by veth pairs, so that all five share one link. Namespace N has 127.77.0.N/16 on
its link with route_localnet: the traffic never leaves the namespaces. Host 4's daemon also
serves the web pages, whose buttons drive the other hosts' projectors through the broker: here
over a WebSocket of the test's own, and in Chromium by tests/web/venue.test.mjs, run inside
namespace 4. Run by CTest as root (venue_hosts) with QV7BRIDGE and QV7SIM naming the programs;
without root, ip or namespaces, it exits 77 and says why.
"""

import base64
import contextlib
import ctypes
import hashlib
import itertools
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
HOSTS = (1, 2, 3, 4)
HUB = 5
BROKER = "127.77.0.5"
PROJECTORS = [f"h{n}-{room}" for n in HOSTS for room in ("hall", "stage")]
TAG = "qv7v"
WEB = ("127.77.0.4", 8080)  # host 4's pages
SITE = "%s:%d" % WEB
PASSWORD = "sesame"
LIBC = ctypes.CDLL(None, use_errno=True)


class Skipped(Exception):
    pass


def until(what, condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def ip(*args, inside=None):
    # nsenter enters the network namespace alone: "ip -n" and "ip netns exec" also remount
    # /sys, which a chroot whose root is no mount point refuses.
    command = [*enter(inside), "ip", *args] if inside else ["ip", *args]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"{' '.join(command)}: {done.stderr.strip()}")
    return done.stdout


def enter(name):
    return ["nsenter", f"--net=/run/netns/{name}"]


def die_with_test():
    # CTest's timeout kills the test outright: its children must not outlive it.
    LIBC.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def setns(file):
    if LIBC.setns(file.fileno(), 0x40000000):  # CLONE_NEWNET
        raise OSError(ctypes.get_errno(), f"setns {file.name}")


def sweep():
    """The namespaces of a run killed outright, and whatever still runs in them."""
    for line in ip("netns", "list").splitlines():
        name = line.split()[0]
        parts = name.split("-")
        if len(parts) == 3 and parts[0] == TAG and not os.path.exists(f"/proc/{parts[1]}"):
            for pid in ip("netns", "pids", name).split():
                os.kill(int(pid), signal.SIGKILL)
            ip("netns", "del", name)


class Process:
    """A program whose output is kept, line by line, as it comes."""

    def __init__(self, args, take=None):
        self.lines = []
        self.take = take
        # In a process group of its own: a ^C at the terminal reaches the script alone, which
        # stops the daemons before the simulators.
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, errors="replace",
                                        preexec_fn=die_with_test, process_group=0)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))
            if self.take:
                self.take(self.lines[-1])

    def stop(self, how=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(how)
        return self.process.wait(30)


class Venue:
    def __init__(self, folder):
        self.folder = folder
        self.names = {n: f"{TAG}-{os.getpid()}-{n}" for n in (*HOSTS, HUB)}
        self.made, self.processes, self.sims, self.daemons = [], [], {}, {}
        self.watcher = None

    def make(self):
        for name in self.names.values():
            try:
                ip("netns", "add", name)
            except RuntimeError as error:
                raise Skipped(f"network namespaces refused: {error}")
            self.made.append(name)
        hub = self.names[HUB]
        ip("link", "add", "venue", "type", "bridge", inside=hub)
        for n in HOSTS:
            ip("link", "add", f"host{n}", "type", "veth",
               "peer", "name", "wire", "netns", self.names[n], inside=hub)
            ip("link", "set", f"host{n}", "master", "venue", "up", inside=hub)
        for n, name in self.names.items():
            device = "venue" if n == HUB else "wire"
            subprocess.run([*enter(name), "sysctl", "-qw", "net.ipv4.conf.all.route_localnet=1",
                            f"net.ipv4.conf.{device}.route_localnet=1"], check=True)
            # With 127.0.0.1/8 on lo every 127/8 address is this namespace's own.
            ip("link", "set", "lo", "up", inside=name)
            ip("address", "del", "127.0.0.1/8", "dev", "lo", inside=name)
            ip("address", "add", "127.0.0.1/32", "dev", "lo", inside=name)
            ip("address", "add", f"127.77.0.{n}/16", "dev", device, inside=name)
            ip("link", "set", device, "up", inside=name)

    def run(self, n, args, take=None):
        process = Process([*enter(self.names[n]), *args], take)
        self.processes.append(process)
        return process

    def dial(self, n, address, port, timeout=10):
        """A TCP connection from namespace n: this thread enters it only to make the socket,
        which stays there."""
        with open("/proc/thread-self/ns/net") as home, open(f"/run/netns/{self.names[n]}") as ns:
            setns(ns)
            try:
                return socket.create_connection((address, port), timeout)
            finally:
                setns(home)

    def connects(self, n, address, port=1883):
        try:
            self.dial(n, address, port, 2).close()
            return True
        except OSError:
            return False

    def start_broker(self):
        conf = os.path.join(self.folder, "mosquitto.conf")
        # As root, so that it keeps the parent-death signal, which a change of user clears.
        with open(conf, "w") as file:
            file.write(f"listener 1883 {BROKER}\nallow_anonymous true\npersistence false\n"
                       "user root\n")
        self.broker = self.run(HUB, ["mosquitto", "-c", conf])
        until("the broker", lambda: self.connects(HUB, BROKER), 30)

    def start_host(self, n, rooms=("hall", "stage"), daemon=True):
        """Host n's simulators, projector h{n}-ROOM in group ROOMs, and then its daemon."""
        links = {f"h{n}-{room}": os.path.join(self.folder, f"h{n}-{room}") for room in rooms}
        for name, link in links.items():
            self.sims[name] = self.run(n, [os.environ["QV7SIM"], "--link", link, "--warm-up", "1"])
        until(f"host {n}'s simulators", lambda: all(map(os.path.exists, links.values())))
        with open(os.path.join(self.folder, f"host{n}.ini"), "w") as inventory:
            for room, (name, link) in zip(rooms, links.items()):
                inventory.write(f"[{name}]\nport = {link}\ngroup = {room}s\n")
        if daemon:
            self.start_daemon(n)

    def start_daemon(self, n):
        web = []
        if n == 4:
            password = os.path.join(self.folder, "password")
            with open(os.open(password, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as file:
                file.write(PASSWORD + "\n")
            web = ["--web", SITE, "--web-password-file", password]
        # The namespaces share one UTS namespace, hence one machine name: each host says its own.
        self.daemons[n] = self.run(n, [
            os.environ["QV7BRIDGE"], "--inventory", os.path.join(self.folder, f"host{n}.ini"),
            "--broker", f"mqtt://{BROKER}:1883", "--pjlink-udp", "0",
            "--client-id", f"host{n}", "--host-name", f"host{n}", *web])
        if web:
            until("host 4's pages", lambda: self.connects(4, *WEB))

    def watch(self):
        """A new mosquitto_sub on qv7/#, in the broker's namespace, where no projector is."""
        if self.watcher:
            self.watcher.stop()
        self.state, self.heard = {}, []
        self.watcher = self.run(HUB, ["mosquitto_sub", "-h", BROKER, "-v", "-t", "qv7/#"],
                                self._heard)

    def _heard(self, line):
        topic, _, payload = line.partition(" ")
        self.state[topic] = payload
        self.heard.append((topic, payload))

    def shows(self, projectors, field, value):
        return all(self.state.get(f"qv7/{p}/{field}") == value for p in projectors)

    def hosts_show(self, hosts, value):
        return all(self.state.get(f"qv7/$hosts/host{n}") == value for n in hosts)

    def publish(self, n, topic, payload):
        subprocess.run([*enter(self.names[n]), "mosquitto_pub", "-h", BROKER,
                        "-t", topic, "-m", payload], check=True, capture_output=True)

    def close(self):
        # The daemons first: one that outlives its simulator reopens the link, whose
        # pseudo-terminal may by then be another program's.
        sims = list(self.sims.values())
        for process in sorted(self.processes, key=lambda process: process in sims):
            process.stop(signal.SIGKILL)
        for name in self.made:
            subprocess.run(["ip", "netns", "del", name], capture_output=True)


def taken(sim, code):
    spaced = " ".join(code)
    return sum(line.endswith(f"in  {spaced} CR") for line in sim.lines)


def stopped(what, count):
    """Waits until count() stays put for 1.5 s: a repeat that was to end has ended."""
    def still():
        before = count()
        time.sleep(1.5)
        return count() == before
    until(what, still)


class Page:
    """A page of host 4's, as a browser holds it: a login, then its WebSocket (RFC 6455: text
    out masked, frames in kept as they come, pings answered) from the page's own origin."""

    def __init__(self, venue, path):
        self.messages, self.projectors, self.lock = [], {}, threading.Lock()
        head = f"Host: {SITE}\r\nOrigin: http://{SITE}\r\n"
        with venue.dial(4, *WEB) as login:
            login.sendall(f"POST /login HTTP/1.1\r\n{head}Connection: close\r\nContent-Type: "
                          "application/x-www-form-urlencoded\r\nContent-Length: "
                          f"{len(PASSWORD) + 9}\r\n\r\npassword={PASSWORD}".encode())
            answer = login.makefile("rb").read().decode(errors="replace")
        cookie = re.search(r"(?im)^set-cookie: ([^;\r]+)", answer)
        assert cookie, f"no session from the login: {answer[:300]!r}"
        key = base64.b64encode(os.urandom(16)).decode()
        self.socket = venue.dial(4, *WEB)
        self.socket.sendall(f"GET {path} HTTP/1.1\r\n{head}Cookie: {cookie[1]}\r\nUpgrade: "
                            f"websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                            "Sec-WebSocket-Version: 13\r\n\r\n".encode())
        self.input = self.socket.makefile("rb")
        answer = b"".join(itertools.takewhile(lambda line: line != b"\r\n", self.input)).decode()
        accept = base64.b64encode(hashlib.sha1(
            (key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest()).decode()
        assert answer.startswith("HTTP/1.1 101") and accept in answer, f"{path}: {answer!r}"
        self.socket.settimeout(None)
        threading.Thread(target=self._read, daemon=True).start()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        with contextlib.suppress(OSError):
            self.socket.shutdown(socket.SHUT_RDWR)
        self.socket.close()

    def _read(self):
        # At the end a short read fails to unpack or to parse.
        with contextlib.suppress(OSError, ValueError):
            while True:
                first, size = self.input.read(2)  # the daemon's frames are not masked
                if size >= 126:
                    size = int.from_bytes(self.input.read(2 if size == 126 else 8), "big")
                payload = self.input.read(size)
                if first & 0x0F == 0x9:
                    self._send(0xA, payload)
                elif first & 0x0F == 0x1:
                    message = json.loads(payload)
                    self.messages.append(message)
                    if message.get("type") == "projector":
                        self.projectors[message["name"]] = message

    def _send(self, opcode, payload):
        mask = os.urandom(4)  # what a page sends and the daemon's pings are short
        with self.lock:
            self.socket.sendall(bytes([0x80 | opcode, 0x80 | len(payload)]) + mask +
                                bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def send(self, message):
        self._send(0x1, json.dumps(message).encode())

    def shows(self, name, **fields):
        return all(self.projectors.get(name, {}).get(k) == v for k, v in fields.items())

    def keep_alive(self, stop):
        """Says every 250 ms that the held button is still down, as the page does."""
        with contextlib.suppress(OSError):
            while not stop.wait(0.25):
                self.send({"alive": True})


# The checks, in order: each starts from the venue the one before left.

def all_online(venue):
    until("all projectors and hosts online", lambda: venue.shows(PROJECTORS, "availability",
          "online") and venue.hosts_show(HOSTS, "online"))
    for p in PROJECTORS:
        owner = json.loads(venue.state[f"qv7/{p}/owner"])
        assert owner == {"host": f"host{p[1]}", "group": p[3:] + "s"}, f"{p}'s owner: {owner}"
    return f"{len(PROJECTORS)} projectors of {len(HOSTS)} hosts online, each owned by its host"


def power_from_another_host(venue):
    until("h1-hall in standby", lambda: venue.shows(["h1-hall"], "power", "standby"))
    venue.publish(4, "qv7/h1-hall/power/set", "ON")
    until("h1-hall on", lambda: venue.shows(["h1-hall"], "power", "on"))
    sent = {p: taken(venue.sims[p], "C00") for p in PROJECTORS}
    assert sent == {p: int(p == "h1-hall") for p in PROJECTORS}, f"C00 on the lines: {sent}"
    return "ON from host 4 put C00 once on h1-hall's line, and its power went on"


def venue_list(venue):
    with Page(venue, "/socket") as page:
        until("the venue on host 4's list", lambda: all(page.shows(
            p, host=f"host{p[1]}", group=p[3:] + "s", hostOnline=True) for p in PROJECTORS))
    return f"all {len(PROJECTORS)} projectors, each with its host and group, its host online"


def remote_click_and_hold(venue):
    sim, log = venue.sims["h1-hall"], venue.daemons[1].lines
    clicks, volume = taken(sim, "C00"), taken(sim, "C09")
    with Page(venue, "/projector/h1-hall/socket") as page:
        until("h1-hall's page", lambda: page.shows("h1-hall", link="up"))
        page.send({"click": "Command17"})
        until("C00 on h1-hall's line", lambda: taken(sim, "C00") > clicks)
        until("power on, on the page", lambda: page.shows("h1-hall", power="on"))
        page.send({"press": "Command1"})
        stop = threading.Event()
        threading.Thread(target=page.keep_alive, args=(stop,), daemon=True).start()
        until("VOL + repeating on h1-hall's line", lambda: taken(sim, "C09") >= volume + 3)
        venue.daemons[4].stop(signal.SIGKILL)
        stop.set()
    until("host 1 letting the hold go", lambda: any("hold from another host let go" in line
                                                    for line in log), 20)
    stopped("VOL + to stop on h1-hall's line", lambda: taken(sim, "C09"))
    venue.start_daemon(4)
    sent = [line for line in log if "h1-hall: sent C00 (power on) for web page" in line]
    assert taken(sim, "C00") == clicks + 1, f"C00 {taken(sim, 'C00') - clicks} times on the line"
    assert len(sent) == 1 and sent[0].endswith(" on host4 through the broker"), f"logged {sent}"
    assert not any("the longest a hold lasts" in line for line in log), "the hold ran its longest"
    return (f"C00 once, logged as {sent[0].split(' for ')[1]!r}; VOL + repeated "
            f"{taken(sim, 'C09') - volume} times and stopped when host 4 was killed mid-hold")


def host_gone_shows(venue):
    h2 = ["h2-hall", "h2-stage"]
    with Page(venue, "/socket") as page:
        until("host 2 on the list", lambda: all(page.shows(p, hostOnline=True) for p in h2))
        venue.daemons[2].stop(signal.SIGKILL)
        until("host 2's projectors shown gone", lambda: all(
            page.shows(p, hostOnline=False, link="host offline") for p in h2))
        venue.start_daemon(2)
        until("host 2's projectors back", lambda: all(
            page.shows(p, hostOnline=True, link="up") for p in h2))
    return "with host 2's daemon killed its projectors showed host offline, then came back"


def chromium_pages(venue):
    sim = venue.sims["h1-stage"]
    clicks, volume = taken(sim, "C00"), taken(sim, "C09")
    test = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web", "venue.test.mjs")
    done = subprocess.run([*enter(venue.names[4]), "node", "--test", test], capture_output=True,
                          text=True, env={**os.environ, "QV7_WEB": f"http://{SITE}",
                                          "QV7_PASSWORD": PASSWORD}, preexec_fn=die_with_test)
    assert done.returncode == 0, f"{test} failed:\n{done.stdout[-4000:]}{done.stderr[-2000:]}"
    stopped("VOL + to stop on h1-stage's line", lambda: taken(sim, "C09"))
    held = taken(sim, "C09") - volume
    assert taken(sim, "C00") == clicks + 1 and held >= 2, \
        f"C00 {taken(sim, 'C00') - clicks} times, C09 {held} times on h1-stage's line"
    return f"the list and h1-stage's page in Chromium: C00 once and VOL + {held} times on its line"


def daemon_killed(venue):
    mark = len(venue.heard)
    venue.daemons[1].stop(signal.SIGKILL)
    until("host 1's wills", lambda: venue.shows(["h1-hall", "h1-stage"], "availability",
          "offline") and venue.hosts_show([1], "offline"), 20)
    others = [t for t, payload in venue.heard[mark:]
              if payload == "offline" and not t.startswith(("qv7/h1-", "qv7/$hosts/host1"))]
    assert not others, f"others went offline: {others}"
    venue.start_daemon(1)
    until("host 1 back", lambda: venue.shows(PROJECTORS, "availability", "online")
          and venue.hosts_show(HOSTS, "online"))
    return "its wills came, the other 6 stayed online, and it came back"


def broker_restart_mid_command(venue):
    sim = venue.sims["h3-hall"]
    with Page(venue, "/projector/h3-hall/socket") as page:
        until("h3-hall's page, in standby", lambda: page.shows("h3-hall", link="up",
                                                                 power="standby"))
        venue.broker.stop(signal.SIGKILL)
        page.send({"click": "Command17"})
        venue.start_broker()
        until("C00 on h3-hall's line, or notSent", lambda: taken(sim, "C00") or any(
            m.get("type") == "notSent" for m in page.messages))
        # Host 4 resends until h3 says taken, for 10 s at most: after that no copy is on its way.
        time.sleep(12)
        told = [m["message"] for m in page.messages if m.get("type") == "notSent"]
    venue.watch()
    count = taken(sim, "C00")
    assert count <= 1 and (told or count == 1), f"C00 {count} times on the line; page told {told}"
    return f"POWER ON sent across the restart reached h3-hall's line {count} time(s); told {told}"


def broker_restarted(venue):
    venue.broker.stop(signal.SIGKILL)
    venue.start_broker()
    venue.watch()  # on a broker that keeps nothing, all it hears was published again
    until("every daemon back", lambda: venue.shows(PROJECTORS, "availability", "online")
          and venue.hosts_show(HOSTS, "online") and venue.shows(["h1-hall"], "power", "on"), 120)
    return "every daemon reconnected and published its state again"


def daemons_stopped(venue):
    for n in HOSTS:
        venue.daemons[n].process.terminate()
    until("all offline", lambda: venue.shows(PROJECTORS, "availability", "offline")
          and venue.hosts_show(HOSTS, "offline"))
    codes = [venue.daemons[n].process.wait(30) for n in HOSTS]
    assert codes == [0] * len(HOSTS), f"exit statuses {codes}"
    return "each said offline and exited 0"


CHECKS = [all_online, power_from_another_host, venue_list, remote_click_and_hold, host_gone_shows,
          chromium_pages, daemon_killed, broker_restart_mid_command, broker_restarted,
          daemons_stopped]


def main():
    if os.geteuid() != 0:
        print("SKIP: network namespaces need root")
        return SKIP
    if not shutil.which("ip"):
        print("SKIP: no ip (iproute2) to make network namespaces with")
        return SKIP
    missing = [tool for tool in ("mosquitto", "mosquitto_sub", "mosquitto_pub", "node", "chromium")
               if not shutil.which(tool)]
    if missing:
        print(f"FAIL: no {', '.join(missing)} (scripts/deps.sh --browser installs them)")
        return 1
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    sweep()
    passed, check = 0, None
    with tempfile.TemporaryDirectory() as folder:
        venue = Venue(folder)
        try:
            venue.make()
            venue.start_broker()
            unreached = [n for n in HOSTS if not venue.connects(n, BROKER)]
            if unreached:
                raise Skipped(f"namespaces {unreached} cannot reach {BROKER} on the link: the "
                              "kernel refuses 127/8 addresses there even with route_localnet")
            for n in HOSTS:
                venue.start_host(n)
            venue.watch()
            for check in CHECKS:
                began = time.monotonic()
                said = check(venue)
                print(f"PASS {check.__name__}: {said} ({time.monotonic() - began:.1f} s)",
                      flush=True)
                passed += 1
        except AssertionError as error:
            print(f"FAIL {check.__name__ if check else 'the start'}: {error}")
            for n, daemon in venue.daemons.items():
                print(f"--- host {n}'s daemon\n" + "\n".join(daemon.lines[-15:]))
        except Skipped as why:
            print(f"SKIP: {why}")
            return SKIP
        finally:
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
            venue.close()
    print(f"{passed} of {len(CHECKS)} checks passed")
    return 0 if passed == len(CHECKS) else 1


if __name__ == "__main__":
    sys.exit(main())
