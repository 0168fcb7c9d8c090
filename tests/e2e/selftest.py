#!/usr/bin/python3
"""Checks the simulated network itself, from inside a namespace (run by tests/e2e/run).

The scenarios rely on each server fault being what it claims: a TLS 1.0-only
or TLS 1.3-only server that does speak that version, a certificate that fails
only on its name, one that fails only on its issuer. A client that is able to
talk to each proves it here, so that an installer failing against them fails
for the intended reason. It also checks that the namespace is closed: loopback
is its only interface and it has no route but loopback's. Prints one line per
check and exits 1 if any fails.
"""

import socket
import ssl
import subprocess
import sys
import warnings

PKI = sys.argv[1]
failures = 0


def check(name, ok, detail=""):
    global failures
    print("%s %s%s" % ("ok  " if ok else "FAIL", name, (": " + detail) if detail else ""))
    failures += 0 if ok else 1


def handshake(host, version=None, cafile="/etc/ssl/certs/ca-certificates.crt", check_name=True):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.load_verify_locations(cafile)
    ctx.check_hostname = check_name
    if version is not None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
            ctx.minimum_version = version
            ctx.maximum_version = version
    try:
        with socket.create_connection((host, 443), timeout=5) as raw:
            with ctx.wrap_socket(raw, server_hostname=host) as tls:
                tls.sendall(b"GET / HTTP/1.1\r\nHost: %s\r\nUser-Agent: setupvane/1.2\r\n\r\n" % host.encode())
                return tls.version(), tls.recv(12).decode("latin-1")
    except (OSError, ssl.SSLError) as e:
        return None, str(e)


def fetch(host, path):
    """One GET over TLS with the run's CA: the status line and the body as far as it came."""
    ctx = ssl.create_default_context(cafile="/etc/ssl/certs/ca-certificates.crt")
    try:
        with socket.create_connection((host, 443), timeout=5) as raw:
            with ctx.wrap_socket(raw, server_hostname=host) as tls:
                tls.sendall(b"GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: setupvane/1.2\r\n\r\n"
                            % (path.encode(), host.encode()))
                data = b""
                while True:
                    try:
                        chunk = tls.recv(4096)
                    except ssl.SSLError:
                        break
                    if not chunk:
                        break
                    data += chunk
    except (OSError, ssl.SSLError) as e:
        return None, str(e)
    head, _, body = data.partition(b"\r\n\r\n")
    return head.split(b"\r\n", 1)[0].decode("latin-1"), body


def main():
    v, status = handshake("ghfast.top", ssl.TLSVersion.TLSv1)
    check("the TLS 1.0-only server speaks TLS 1.0", v == "TLSv1" and status.startswith("HTTP/1.1"), status)
    v, detail = handshake("ghfast.top", ssl.TLSVersion.TLSv1_2)
    check("the TLS 1.0-only server refuses TLS 1.2", v is None, detail)
    v, status = handshake("gh-proxy.com", ssl.TLSVersion.TLSv1_3)
    check("the TLS 1.3-only server speaks TLS 1.3", v == "TLSv1.3", status)
    v, detail = handshake("gh-proxy.com", ssl.TLSVersion.TLSv1_2)
    check("the TLS 1.3-only server refuses TLS 1.2", v is None, detail)
    v, detail = handshake("github.com")
    check("the wrong-name certificate fails verification", v is None and "match" in detail, detail)
    v, status = handshake("github.com", check_name=False)
    check("the wrong-name certificate is otherwise valid", v is not None, status)
    v, detail = handshake("ghproxy.net")
    check("the untrusted certificate fails verification", v is None and "verify" in detail, detail)
    v, status = handshake("ghproxy.net", cafile=PKI + "/rogue-ca.pem")
    check("the untrusted certificate is valid under its own CA", v is not None, status)
    v, status = handshake("www.modelscope.cn", ssl.TLSVersion.TLSv1_2)
    check("a plain server speaks TLS 1.2 with the run's CA", v == "TLSv1.2", status)

    answers = [fetch("www.modelscope.cn", "/answers") for _ in range(3)]
    check("a sequence of answers plays each in turn, then its last one",
          answers == [("HTTP/1.1 200 OK", b"fir"), ("HTTP/1.1 503 Service Unavailable", b"status 503\n"),
                      ("HTTP/1.1 503 Service Unavailable", b"status 503\n")], str(answers))

    links = subprocess.run(["ip", "-o", "link", "show"], capture_output=True, text=True).stdout
    names = sorted(line.split(":")[1].strip() for line in links.strip().splitlines())
    check("loopback is the only interface", names == ["lo"], str(names))
    routes = subprocess.run(["ip", "-4", "route", "show", "table", "all"], capture_output=True,
                            text=True).stdout.strip().splitlines()
    outside = [r for r in routes if " dev lo " not in r + " "]
    check("no route leaves loopback", not outside and routes, str(outside))
    try:
        socket.getaddrinfo("example.com", 443)
        check("names outside the hosts file do not resolve", False)
    except socket.gaierror as e:
        check("names outside the hosts file do not resolve", True, str(e))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
