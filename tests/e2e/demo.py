#!/usr/bin/python3
"""The demo: the real installer against the simulated mirror network, live.

    demo.py [--windows]     (scripts/demo builds first, then runs this)

A demo release of 30 MB is published on the simulated mirrors: the manifest
on the first source, the installer on five of the six nodes at different
speeds (one node is down, one speaks only TLS 1.0), and downloads paced at
8 MB/s so that the progress line can be watched. The program's output goes
straight to the terminal; the demo installer it starts ends the run with its
own message. With --windows the .exe runs under Wine with its real WinHTTP.
"""

import argparse
import hashlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True

import netsim  # noqa: E402
from assets import compile_marker, pe_installer, script_installer, write_if_changed  # noqa: E402
from scenarios import MANIFEST_SOURCES, SLOT_HOSTS, node_path  # noqa: E402

VERSION = "0.8.0"
FILE_NAME = "Trevalon-setup-0.8.0.exe"
SIZE = 30 * 1000 * 1000
RATE = 8 * 1024 * 1024
MESSAGE = "Trevalon 0.8.0 demo installer: installed."
WORK = os.path.join(ROOT, "build", "demo")


def main():
    parser = argparse.ArgumentParser(description="Runs the installer in the simulated mirror network.")
    parser.add_argument("--windows", action="store_true", help="the Windows program under Wine")
    args = parser.parse_args()
    platform = "windows" if args.windows else "native"
    program = os.path.join(ROOT, "build", "windows" if args.windows else "linux",
                           "trevalon-online-installer" + (".exe" if args.windows else ""))
    if not os.path.exists(program):
        sys.exit("demo: %s is missing; scripts/demo builds it" % program)

    os.makedirs(WORK, exist_ok=True)
    installer = os.path.join(WORK, "%s-%s" % (platform, FILE_NAME))
    if args.windows:
        marker = os.path.join(WORK, "demo-marker.exe")
        compile_marker(marker, demo_message=MESSAGE)
        data = pe_installer(marker, "demo-" + VERSION, SIZE)
    else:
        data = script_installer(VERSION, SIZE, message=MESSAGE)
    write_if_changed(installer, data)
    manifest = "v%s\r\n%s\r\n%d\r\n%s\r\n" % (VERSION, FILE_NAME, SIZE, hashlib.sha256(data).hexdigest())

    hosts = {}

    def route(host, path, action, **host_options):
        host_setup = hosts.setdefault(host, {"routes": {}})
        host_setup.update(host_options)
        host_setup["routes"][path] = action

    route(MANIFEST_SOURCES[0][0], MANIFEST_SOURCES[0][1], {"body": manifest})
    delays = {0: 180, 1: 420, 2: 60, 5: 260}
    for slot, delay in delays.items():
        route(SLOT_HOSTS[slot], node_path(slot, VERSION, FILE_NAME),
              {"probe": {"file": installer, "delay_ms": delay}, "get": {"file": installer, "rate": RATE}})
    route(SLOT_HOSTS[3], node_path(3, VERSION, FILE_NAME), {"status": 404})
    route(SLOT_HOSTS[4], node_path(4, VERSION, FILE_NAME), {"file": installer}, tls="1.0")

    net = netsim.Network(WORK)
    env = {}
    if args.windows:
        prefix = os.path.join(WORK, "wineprefix")
        if not os.path.isdir(netsim.wine_temp_dir(prefix)):
            print("(creating a Wine prefix for the demo, once: 10-25 s)", flush=True)
            net.make_wine_prefix(prefix)
        temp = netsim.wine_program_dir(prefix)
        argv = [netsim.WINE64, program]
        # Wine starts the installer with a console of its own: the demo
        # installer writes its message to this terminal instead.
        if os.isatty(1):
            env["TREVALON_DEMO_OUTPUT"] = netsim.windows_path(os.ttyname(1))
        stderr_path = os.path.join(WORK, "wine-stderr.log")  # Wine's own TLS chatter
    else:
        prefix = None
        tmpdir = os.path.join(WORK, "tmp")
        os.makedirs(tmpdir, exist_ok=True)
        env["TMPDIR"] = tmpdir
        temp = os.path.join(tmpdir, "trevalon-%d" % os.getuid())
        argv = [program]
        stderr_path = None
    for leftover in (FILE_NAME, FILE_NAME + ".ran"):
        if os.path.exists(os.path.join(temp, leftover)):
            os.remove(os.path.join(temp, leftover))
    result = net.run({"hosts": hosts}, argv, name="demo-" + platform, env=env, wine_prefix=prefix,
                     timeout=300, capture=False, wait_files=[os.path.join(temp, FILE_NAME + ".ran")],
                     stderr_path=stderr_path)
    return result.exit_code


if __name__ == "__main__":
    sys.exit(main())
