#!/usr/bin/python3
"""Starts PROGRAM ARGUMENTS... with {port} replaced by a listening port on loopback, and
passes when the program connects to it within 30 s; the program is then stopped."""
import socket
import subprocess
import sys
import time

with socket.create_server(("127.0.0.1", 0)) as server:
    server.settimeout(0.2)
    port = "tcp://127.0.0.1:%d" % server.getsockname()[1]
    program = subprocess.Popen([a.replace("{port}", port) for a in sys.argv[1:]],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    while program.poll() is None and time.monotonic() < deadline:
        try:
            server.accept()[0].close()
        except TimeoutError:
            continue
        print("%s connected to %s" % (sys.argv[1], port))
        program.terminate()
        program.wait()
        sys.exit(0)
    program.kill()
    sys.exit("%s did not connect to %s: %s" % (sys.argv[1], port, program.communicate()[1]))
