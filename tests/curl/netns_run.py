#!/usr/bin/env python3
"""Runs a test of the libcurl backend in the simulated network of tests/e2e/netsim.py.

    netns_run.py [--workdir DIR] TEST_BINARY [ARGS...]

SCENARIO below is every host the test names and what its server does; two
decoys (port 8443, plain HTTP on port 80) answer only a backend that goes
where it must not. Inside the namespace this script first checks with
Python's own TLS client that the TLS 1.0, TLS 1.3 and wrong-name servers do
shake hands, so that the backend's failures against them are its own, then
becomes the test binary. Exit 77 (skipped) when namespaces cannot be made.
"""
import os
import socket
import ssl
import sys
import tempfile
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
sys.dont_write_bytecode = True
import netsim  # noqa: E402

SKIP = 77
LARGE = 5 * 1024 * 1024 + 13
ECHO = {"*": {"echo": True}}
PATTERN = "pattern-%d.bin"  # bytes i % 251, as the test's pattern()
STALL_S = 5
CUT = 100000  # body bytes /cut sends before it closes
HOLD_S = 30  # how long /hold-body waits for the client to go
MIRRORS = ["mirror1.test", "mirror2.test", "mirror3.test", "mirror4.test"]


def scenario(folder):
    large, small = (os.path.join(folder, PATTERN % n) for n in (LARGE, 12))
    main_routes = {
        "*": {"echo": True},
        "/status/206": {"status": 206},
        "/status/404": {"status": 404},
        "/bytes/%d" % LARGE: {"file": large},
        "/chunked/%d" % LARGE: {"file": large, "length": "none-chunked"},
        "/chunked/12": {"file": small, "length": "none-chunked"},
        "/huge-length": {"body": "0123456789", "length": 1 << 32},
        "/redirect/https": {"redirect": "https://other.test/echo"},
        "/redirect/http": {"redirect": "http://other.test/echo"},
        "/redirect/none": {"status": 302},
        "/redirect/nowhere": {"redirect": "https://nowhere.test/echo"},
        "/redirect/silent": {"redirect": "https://slow.test/echo"},
        "/slow/redirect": {"redirect": "https://main.test/slow/echo", "delay_ms": 800},
        "/slow/echo": {"echo": True, "delay_ms": 800},
        "/slower/echo": {"echo": True, "delay_ms": 1700},
        # The whole body at once, its end (the last chunk) 2.5 s later.
        "/slow-body": {"body": "0123456789", "length": "none-chunked", "rate": 4},
        "/cookie/set": {"redirect": "https://main.test/cookie/echo", "set_cookie": "token=abc"},
        "/stall": {"stall": "headers", "stall_s": STALL_S},
        "/stall-body": {"body": "0123456789", "length": 100, "stall": "body", "stall_after": 10,
                        "stall_s": STALL_S},
        # For the streams: a 200 to any range, a body cut off, a body that stalls
        # until the client goes, and one sent slowly without end.
        "/whole/%d" % LARGE: {"file": large, "range": False},
        "/cut/%d" % LARGE: {"file": large, "cut": CUT},
        "/hold": {"hold": True, "hold_s": HOLD_S},
        "/hold-body": {"hold": True, "hold_s": HOLD_S, "body": "0123456789" * 10,
                       "hold_after": 10},
        "/endless": {"body": "0123456789", "length": "none-close", "endless": True,
                     "rate": 65536},
        "/holds": {"holds": True},
    }
    # Four mirrors of the same file, for streams at once from several hosts;
    # the slow route gives each connection 1 MiB/s.
    mirror_routes = {
        "/bytes/%d" % LARGE: {"file": large},
        "/slow/bytes/%d" % LARGE: {"file": large, "rate": 1 << 20},
    }
    mirrors = {name: {"routes": mirror_routes} for name in MIRRORS}
    return {"silent_names": ["slow.test"], "hosts": {
        "main.test": {"routes": main_routes, "more_ports": [8443]},
        "other.test": {"routes": ECHO, "http_routes": ECHO},
        "tls10.test": {"routes": ECHO, "tls": "1.0"},
        "tls13.test": {"routes": ECHO, "tls": "1.3"},
        "wrongname.test": {"routes": ECHO, "cert": "wrong-name"},
        # Keeps connections open as a real mirror does, and tells how many it accepted.
        "keep.test": {"keep_alive": True, "routes": {
            "/connections": {"connections": True},
            "/hold": {"hold": True, "hold_s": 8},
            "/holds": {"holds": True},
            "/small": {"file": small},
            "/bytes/%d" % LARGE: {"file": large},
        }},
        "drop.test": {"drop": True},  # connection attempts go unanswered
        **mirrors,
    }}


def handshake_works(ca, host, version, check_name=True):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.load_verify_locations(ca)
    context.check_hostname = check_name
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        context.minimum_version = context.maximum_version = version
    if version == ssl.TLSVersion.TLSv1:
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    try:
        with socket.create_connection((host, 443), timeout=5) as raw:
            with context.wrap_socket(raw, server_hostname=host):
                return True
    except (ssl.SSLError, OSError) as error:
        print("control handshake with %s failed: %s" % (host, error), flush=True)
        return False


def inside(ca, argv):
    V = ssl.TLSVersion
    controls = [handshake_works(ca, "tls10.test", V.TLSv1),
                handshake_works(ca, "tls13.test", V.TLSv1_3),
                handshake_works(ca, "wrongname.test", V.TLSv1_2, check_name=False)]
    if not all(controls):
        return 1
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    os.execve(argv[0], argv, env)


def main():
    args = sys.argv[1:]
    if args[:1] == ["--inside"]:
        sys.exit(inside(args[1], args[2:]))
    workdir = os.path.join(tempfile.gettempdir(), "trevalon-curl-netsim")
    if args[:1] == ["--workdir"]:
        workdir, args = args[1], args[2:]
    if not args:
        print("usage: netns_run.py [--workdir DIR] TEST_BINARY [ARGS...]")
        sys.exit(2)
    if not netsim.available():
        print("skipped: cannot create network and mount namespaces here")
        sys.exit(SKIP)
    net = netsim.Network(workdir, names=["main.test", "other.test", "tls10.test", "tls13.test",
                                         "keep.test"] + MIRRORS)
    for n in (LARGE, 12):
        with open(os.path.join(workdir, PATTERN % n), "wb") as f:
            f.write((bytes(range(251)) * (n // 251 + 1))[:n])
    argv = [sys.executable, os.path.abspath(__file__), "--inside", os.path.join(net.pki, "ca.pem"),
            os.path.abspath(args[0])] + args[1:]
    result = net.run(scenario(workdir), argv, name=os.path.basename(args[0]),
                     env={"TREVALON_CURL_NETNS": "1"}, timeout=160, capture=False)
    sys.exit(124 if result.timed_out else result.exit_code)


if __name__ == "__main__":
    main()
