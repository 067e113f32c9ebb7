#!/usr/bin/env python3
"""A venue across hosts: four qv7-bridge daemons on one mosquitto, each host a network namespace.

Each of namespaces 1 to 4 runs two simulated projectors on pseudo-terminals and the daemon that
owns their lines; the fifth runs the broker and holds a Linux bridge device to which the other
four are joined by veth pairs, so that all five share one link. Namespace N has 127.77.0.N/16 on
its link with route_localnet: the traffic never leaves the namespaces. Run by CTest as root
(venue_hosts) with QV7BRIDGE and QV7SIM naming the programs; without root, ip or namespaces, it
exits 77 and says why.
"""

import ctypes
import json
import os
import shutil
import signal
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
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


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
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, errors="replace",
                                        preexec_fn=die_with_test)
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

    def connects(self, n, address, port=1883):
        probe = f"import socket; socket.create_connection(('{address}', {port}), 2).close()"
        return subprocess.run([*enter(self.names[n]), sys.executable, "-c", probe],
                              capture_output=True).returncode == 0

    def start_broker(self):
        conf = os.path.join(self.folder, "mosquitto.conf")
        # As root, so that it keeps the parent-death signal, which a change of user clears.
        with open(conf, "w") as file:
            file.write(f"listener 1883 {BROKER}\nallow_anonymous true\npersistence false\n"
                       "user root\n")
        self.broker = self.run(HUB, ["mosquitto", "-c", conf])
        until("the broker", lambda: self.connects(HUB, BROKER), 30)

    def start_host(self, n):
        with open(os.path.join(self.folder, f"host{n}.ini"), "w") as inventory:
            for room in ("hall", "stage"):
                name = f"h{n}-{room}"
                link = os.path.join(self.folder, name)
                self.sims[name] = self.run(n, [os.environ["QV7SIM"], "--link", link,
                                               "--warm-up", "1"])
                until(f"{name}'s simulator", lambda: os.path.exists(link))
                inventory.write(f"[{name}]\nport = {link}\ngroup = {room}s\n")
        self.start_daemon(n)

    def start_daemon(self, n):
        # The namespaces share one UTS namespace, hence one machine name: each host says its own.
        self.daemons[n] = self.run(n, [
            os.environ["QV7BRIDGE"], "--inventory", os.path.join(self.folder, f"host{n}.ini"),
            "--broker", f"mqtt://{BROKER}:1883", "--pjlink-udp", "0",
            "--client-id", f"host{n}", "--host-name", f"host{n}"])

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
        for process in self.processes:
            process.stop(signal.SIGKILL)
        for name in self.made:
            subprocess.run(["ip", "netns", "del", name], capture_output=True)


def taken(sim, code):
    spaced = " ".join(code)
    return sum(line.endswith(f"in  {spaced} CR") for line in sim.lines)


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


CHECKS = [all_online, power_from_another_host, daemon_killed, broker_restarted, daemons_stopped]


def main():
    if os.geteuid() != 0:
        print("SKIP: network namespaces need root")
        return SKIP
    if not shutil.which("ip"):
        print("SKIP: no ip (iproute2) to make network namespaces with")
        return SKIP
    missing = [tool for tool in ("mosquitto", "mosquitto_sub", "mosquitto_pub")
               if not shutil.which(tool)]
    if missing:
        print(f"FAIL: no {', '.join(missing)} (scripts/deps.sh installs them)")
        return 1
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    sweep()
    passed = 0
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
                try:
                    said = check(venue)
                    print(f"PASS {check.__name__}: {said} ({time.monotonic() - began:.1f} s)",
                          flush=True)
                    passed += 1
                except AssertionError as error:
                    print(f"FAIL {check.__name__}: {error}")
                    for n, daemon in venue.daemons.items():
                        print(f"--- host {n}'s daemon\n" + "\n".join(daemon.lines[-15:]))
                    break
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
