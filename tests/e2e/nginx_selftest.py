#!/usr/bin/python3
"""Checks nginx as a host of the simulated network, from inside a namespace (run by tests/e2e/run).

The nginx scenarios rely on each route being played as it claims: Range
answered with 206 and Content-Range, Range ignored where asked, a 302 with
its Location, TLS limited to one version, a paced body, a delayed answer and
a connection kept alive for a second request. A client checks each here
against the hosts that tests/e2e/run sets up (see NGINX_SELFTEST there), and
prints one line per check; exits 1 if any fails.

    nginx_selftest.py FILE   (FILE: the file the hosts serve)
"""

import http.client
import socket
import ssl
import sys
import time

FILE = sys.argv[1]
CA = "/etc/ssl/certs/ca-certificates.crt"
failures = 0


def check(name, ok, detail=""):
    global failures
    print("%s %s%s" % ("ok  " if ok else "FAIL", name, (": " + detail) if detail else ""))
    failures += 0 if ok else 1


def context(version=None):
    ctx = ssl.create_default_context(cafile=CA)
    if version is not None:
        ctx.minimum_version = version
        ctx.maximum_version = version
    return ctx


def get(host, path, headers=None, version=None, conn=None):
    conn = conn or http.client.HTTPSConnection(host, 443, context=context(version), timeout=20)
    conn.request("GET", path, headers=headers or {})
    response = conn.getresponse()
    return conn, response, response.read()


def handshake(host, version):
    try:
        with socket.create_connection((host, 443), timeout=5) as raw:
            with context(version).wrap_socket(raw, server_hostname=host) as s:
                return s.version()
    except (ssl.SSLError, OSError) as e:
        return "failed: " + e.__class__.__name__


with open(FILE, "rb") as f:
    data = f.read()
size = len(data)

_, r, body = get("github.com", "/file", {"Range": "bytes=0-16383"})
check("Range: 206 with the first 16384 bytes",
      r.status == 206 and body == data[:16384]
      and r.getheader("Content-Range") == "bytes 0-16383/%d" % size,
      "%d %s %d bytes" % (r.status, r.getheader("Content-Range"), len(body)))
_, r, body = get("github.com", "/file", {"Range": "bytes=%d-" % (size - 10)})
check("Range: an open end gives the last bytes", r.status == 206 and body == data[-10:],
      "%d, %d bytes" % (r.status, len(body)))
_, r, body = get("github.com", "/file", {"Range": "bytes=%d-" % size})
check("Range: past the end gives 416", r.status == 416, "%d" % r.status)
_, r, body = get("github.com", "/no-range", {"Range": "bytes=0-16383"})
check("range false: Range ignored, 200 with the whole file", r.status == 200 and body == data,
      "%d, %d bytes" % (r.status, len(body)))
_, r, body = get("github.com", "/missing")
check("an unrouted path gives nginx's 404", r.status == 404 and b"nginx" in body, "%d" % r.status)
_, r, body = get("github.com", "/moved")
check("redirect: 302 with its Location",
      r.status == 302 and r.getheader("Location") == "https://ghfast.top/file",
      "%d %s" % (r.status, r.getheader("Location")))
_, r, body = get("github.com", "/probe-or-get", {"Range": "bytes=0-9"})
check("probe and get: the probe's action", r.status == 206 and body == data[:10], "%d" % r.status)
_, r, body = get("github.com", "/probe-or-get")
check("probe and get: the get's action", r.status == 500, "%d" % r.status)

conn, r, body = get("github.com", "/file")
keep = r.getheader("Connection")
sock = conn.sock
conn, r2, body2 = get("github.com", "/file", conn=conn)
check("keep-alive: two answers on one connection",
      keep == "keep-alive" and conn.sock is sock and body == data and body2 == data,
      "Connection: %s" % keep)
conn.close()

t0 = time.monotonic()
_, r, body = get("github.com", "/delayed", {"Range": "bytes=0-9"})
waited = time.monotonic() - t0
check("delay_ms 600: answered after it", r.status == 206 and body == data[:10] and waited >= 0.55,
      "%.2f s" % waited)

t0 = time.monotonic()
_, r, body = get("github.com", "/paced")
took = time.monotonic() - t0
expected = size / float(size // 2)
check("limit_rate size/2 per second: the whole file in about 2 s",
      body == data and expected * 0.8 <= took < 20, "%.2f s" % took)

check("TLS 1.2 only: speaks TLS 1.2", handshake("ghfast.top", ssl.TLSVersion.TLSv1_2) == "TLSv1.2",
      handshake("ghfast.top", ssl.TLSVersion.TLSv1_2))
check("TLS 1.2 only: refuses TLS 1.3",
      handshake("ghfast.top", ssl.TLSVersion.TLSv1_3).startswith("failed"),
      handshake("ghfast.top", ssl.TLSVersion.TLSv1_3))
check("TLS 1.3 only: speaks TLS 1.3", handshake("gh-proxy.com", ssl.TLSVersion.TLSv1_3) == "TLSv1.3",
      handshake("gh-proxy.com", ssl.TLSVersion.TLSv1_3))
check("TLS 1.3 only: refuses TLS 1.2",
      handshake("gh-proxy.com", ssl.TLSVersion.TLSv1_2).startswith("failed"),
      handshake("gh-proxy.com", ssl.TLSVersion.TLSv1_2))
_, r, body = get("ghfast.top", "/file")
check("the redirect's target serves the file", r.status == 200 and body == data, "%d" % r.status)

sys.exit(1 if failures else 0)
