#!/usr/bin/env python3
"""A venue at full size: four qv7-bridge daemons, each owning --projectors simulated projectors
(64 by default, 256 in all, each a qv7-projector-sim on a pseudo-terminal), in network namespaces
on one mosquitto in a fifth, as tests/venue/venue.py builds them; host 4 serves the web pages.
Prints the start as the broker's subscribers see it (mosquitto_sub -v -t '#' in the broker's
namespace, subscribed before the first daemon starts: the time until every projector's
availability is online, the messages until then and the busiest second), each daemon's CPU
(utime + stime) over --seconds with no command and its RSS, and the time from a STATUS tap
(Command44) on host 4's page of one of host 1's projectors to CR0 on that projector's line,
--taps of them one at a time, spread over host 1's projectors. Prints figures, with targets
beside them, and never fails on a slow machine.

Run as root: sudo python3 bench/venue_bench.py [--projectors 64] [--seconds 20] [--taps 200]
[--build build]
"""

import argparse
import collections
import contextlib
import os
import signal
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # run as root from the source tree: leave no root-owned caches
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "venue"))
from venue import BROKER, HOSTS, HUB, Page, Venue, sweep, until  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
# A process that prints the monotonic clock (one clock for all processes) to this script's
# pipes, as the simulators print what they take: how late a line is read here.
CLOCK = "import time\nwhile True:\n    print(time.monotonic(), flush=True)\n    time.sleep(0.02)"


def summary(values):
    if not values:
        return "none"
    values = sorted(values)
    at = lambda share: values[min(len(values) - 1, len(values) * share // 100)]  # noqa: E731
    return f"median {at(50):.2f} ms, p99 {at(99):.2f} ms, max {values[-1]:.2f} ms"


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def rss_mib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024


class Start:
    """Every message on the broker, stamped as mosquitto_sub prints it."""

    def __init__(self, venue):
        self.times, self.online, self.ready = [], {}, False
        venue.run(HUB, ["mosquitto_sub", "-h", BROKER, "-v", "-t", "#"], self.heard)
        until("mosquitto_sub subscribed", lambda: venue.publish(HUB, "bench/ready", "1")
              or self.ready, 10)
        self.began = time.monotonic()

    def heard(self, line):
        now = time.monotonic()
        topic, _, payload = line.partition(" ")
        if topic == "bench/ready":
            self.ready = True
            return
        self.times.append(now)
        if topic.endswith("/availability") and payload == "online":
            self.online.setdefault(topic, now)

    def figures(self, projectors):
        done = max(self.online[f"qv7/{p}/availability"] for p in projectors)
        seconds = [int(t - self.began) for t in self.times if t <= done]
        busiest, most = collections.Counter(seconds).most_common(1)[0]
        return (f"every projector online after {done - self.began:.1f} s, {len(seconds)} "
                f"messages, at most {most} in a second (second {busiest} of the start)")


def bench(venue, args):
    rooms = [f"p{i:02d}" for i in range(args.projectors)]
    projectors = [f"h{n}-{room}" for n in HOSTS for room in rooms]
    print(f"qv7-bridge: {len(HOSTS)} daemons, {args.projectors} simulated projectors each, in "
          "network namespaces on one mosquitto in a fifth; host 4 serves the web pages")
    venue.make()
    venue.start_broker()
    for n in HOSTS:
        venue.start_host(n, rooms, daemon=False)
    start = Start(venue)
    for n in HOSTS:
        venue.start_daemon(n)
    until("every projector online", lambda: all(
        f"qv7/{p}/availability" in start.online for p in projectors), 600)
    print(f"start, seen by mosquitto_sub -v -t '#' in the broker's namespace: "
          f"{start.figures(projectors)}", flush=True)

    # Each projector's first power poll comes 30 s after its first queries: from 15 s on, the
    # 20 s hold the first round of them, as a venue at rest has.
    time.sleep(15)
    pids = {n: venue.daemons[n].process.pid for n in HOSTS}
    on_lines = lambda: sum(" in  " in line for sim in venue.sims.values()  # noqa: E731
                           for line in sim.lines)
    before, heard, sent = {n: cpu_seconds(pid) for n, pid in pids.items()}, len(start.times), \
        on_lines()
    time.sleep(args.seconds)
    cpu = {n: (cpu_seconds(pid) - before[n]) / args.seconds * 100 for n, pid in pids.items()}
    # /proc counts in clock ticks: over 20 s a tick is 0.05 % of a core.
    print(f"idle over {args.seconds:.0f} s from 15 s after the start, no command but the daemons' "
          f"own polls ({on_lines() - sent} on the lines), "
          f"{(len(start.times) - heard) / args.seconds:.1f} messages/s on the broker:")
    for n, pid in pids.items():
        print(f"  host{n}: CPU {cpu[n]:.2f} % of a core (target < 1 %), "
              f"RSS {rss_mib(pid):.1f} MiB (target < 48 MiB)")

    host1 = [f"h1-{room}" for room in rooms]
    tap = {"name": None, "at": None, "done": threading.Event()}

    def line_of(name):
        def seen(line):
            # The daemon's own power polls are CR0 too, once every 30 s: rarely within a tap.
            if tap["name"] == name and tap["at"] is None and line.endswith("in  C R 0 CR"):
                tap["at"] = time.monotonic()
                tap["done"].set()
        return seen

    for name in host1:
        venue.sims[name].take = line_of(name)
    pipe = []
    clock = venue.run(1, [sys.executable, "-c", CLOCK],
                      lambda line: pipe.append((time.monotonic() - float(line)) * 1000))
    latencies = []
    with contextlib.ExitStack() as pages:
        page = {name: pages.enter_context(Page(venue, f"/projector/{name}/socket"))
                for name in host1}
        until("host 1's pages", lambda: all(page[p].shows(p, link="up") for p in host1))
        for i in range(args.taps):
            name = host1[i % len(host1)]
            tap.update(name=name, at=None)
            tap["done"].clear()
            sent = time.monotonic()
            page[name].send({"click": "Command44"})
            if tap["done"].wait(5):
                latencies.append((tap["at"] - sent) * 1000)
            time.sleep(0.05)  # the answer back, before the next
    clock.stop()
    print(f"host 4's page tap (STATUS) to CR0 on host 1's line, {len(latencies)} of {args.taps} "
          f"taps over {len(host1)} projectors: {summary(latencies)} (target p99 < 20 ms)")
    print(f"  included: a simulator's stdout line read here, {len(pipe)} lines: {summary(pipe)}")
    for n, daemon in venue.daemons.items():
        if daemon.process.poll() is not None:
            print(f"host{n}'s daemon exited with {daemon.process.returncode}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--projectors", type=int, default=64, help="per host (64)")
    parser.add_argument("--seconds", type=float, default=20, help="of idle measure (20)")
    parser.add_argument("--taps", type=int, default=200)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("network namespaces need root: sudo python3 bench/venue_bench.py")
    os.environ.setdefault("QV7BRIDGE", os.path.join(args.build, "qv7-bridge"))
    os.environ.setdefault("QV7SIM", os.path.join(args.build, "sim", "qv7-projector-sim"))
    for how in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(how, lambda number, _: sys.exit(128 + number))
    sweep()
    with tempfile.TemporaryDirectory() as folder:
        venue = Venue(folder)
        try:
            bench(venue, args)
        finally:
            for how in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(how, signal.SIG_IGN)
            venue.close()  # the daemons before the simulators, then the namespaces


if __name__ == "__main__":
    main()
