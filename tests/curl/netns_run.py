#!/usr/bin/env python3
"""Runs the libcurl backend test inside a private network and mount namespace.

Outside: makes a CA and server certificates for the run (openssl CLI), then
re-runs itself under `unshare --net --mount`. Inside: loopback up, /etc/hosts,
/etc/resolv.conf and the system CA bundle bind-mounted to the run's own, one
HTTPS server per test host on port 443 (plus a few decoys that only a broken
backend would reach), then the test binary. Nothing leaves the namespace.

Exit 77 (skipped) when namespaces cannot be made here.
"""
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SKIP = 77

# host -> (address, server kind)
HOSTS = {
    "main.test": "127.0.0.2",
    "other.test": "127.0.0.3",
    "tls10.test": "127.0.0.4",
    "tls13.test": "127.0.0.5",
    "wrongname.test": "127.0.0.6",
}
GOOD_NAMES = ["main.test", "other.test", "tls10.test", "tls13.test"]


def pattern(n):
    block = bytes(range(251))
    return (block * (n // 251 + 1))[:n]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_body(self, status, body, extra=()):
        self.send_response_only(status)
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        if path.startswith("/status/"):
            code = int(path[len("/status/"):])
            self.send_body(code, b"status %d\n" % code)
        elif path.startswith("/bytes/"):
            self.send_body(200, pattern(int(path[len("/bytes/"):])))
        elif path.startswith("/chunked/"):
            data = pattern(int(path[len("/chunked/"):]))
            self.send_response_only(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for at in range(0, len(data), 10007):
                piece = data[at:at + 10007]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        elif path == "/redirect/https":
            self.send_body(302, b"moved\n", [("Location", "https://other.test/echo")])
        elif path == "/redirect/http":
            self.send_body(302, b"moved\n", [("Location", "http://other.test/echo")])
        elif path == "/huge-length":
            self.send_response_only(200)
            self.send_header("Content-Length", "4294967296")
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            self.close_connection = True
        elif path == "/stall":
            time.sleep(5)
            self.close_connection = True
        elif path == "/stall-body":
            self.send_response_only(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            time.sleep(5)
            self.close_connection = True
        else:
            # The request exactly as it arrived: request line and header lines.
            text = self.raw_requestline
            for name, value in self.headers.items():
                text += ("%s: %s\r\n" % (name, value)).encode("latin-1")
            self.send_body(200, text + b"\r\n")


class TlsServer(ThreadingHTTPServer):
    """Accepts plain sockets and shakes hands in the request's own thread, so a
    refused handshake ends that thread quietly and never blocks accepting."""

    daemon_threads = True

    def __init__(self, address, context):
        self.context = context
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        if self.context is None:
            return super().finish_request(request, client_address)
        try:
            wrapped = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            super().finish_request(wrapped, client_address)
        except (ssl.SSLError, OSError):
            pass
        finally:
            try:
                wrapped.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass


def name_server():
    """Answers every query with "no such name" at once, except for names
    starting with "slow", which it never answers."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 53))

    def serve():
        while True:
            query, peer = sock.recvfrom(512)
            if len(query) < 13 or query[13:17] == b"slow":
                continue
            end = query.index(b"\0", 12) + 5
            header = query[:2] + b"\x81\x83\x00\x01\x00\x00\x00\x00\x00\x00"
            sock.sendto(header + query[12:end], peer)

    threading.Thread(target=serve, daemon=True).start()


def run(cmd, **kw):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def make_certificates(work):
    def path(name):
        return os.path.join(work, name)

    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", "/CN=Trevalon test CA", "-keyout", path("ca.key"), "-out", path("ca.pem"),
         "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"])
    for name, sans in (("server", GOOD_NAMES), ("wrong", ["elsewhere.test"])):
        with open(path(name + ".ext"), "w") as f:
            f.write("subjectAltName=" + ",".join("DNS:" + s for s in sans) + "\n")
        run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + sans[0],
             "-keyout", path(name + ".key"), "-out", path(name + ".csr")])
        run(["openssl", "x509", "-req", "-in", path(name + ".csr"), "-CA", path("ca.pem"),
             "-CAkey", path("ca.key"), "-CAcreateserial", "-days", "2",
             "-extfile", path(name + ".ext"), "-out", path(name + ".pem")])
    with open(path("hosts"), "w") as f:
        f.write("127.0.0.1 localhost %s\n" % socket.gethostname())
        for name, address in HOSTS.items():
            f.write("%s %s\n" % (address, name))
    with open(path("resolv.conf"), "w") as f:
        f.write("nameserver 127.0.0.1\n")


def server_context(work, cert, low=None, high=None, legacy=False):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(work, cert + ".pem"), os.path.join(work, cert + ".key"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        if low is not None:
            context.minimum_version = low
        if high is not None:
            context.maximum_version = high
    if legacy:
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    return context


def start(address, port, context):
    server = TlsServer((address, port), context)
    threading.Thread(target=server.serve_forever, daemon=True).start()


def handshake_works(work, host, version, legacy=False, check_name=True):
    """The control: a client limited to `version` does reach the server, so
    the backend's failure against it is the backend's own doing."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.load_verify_locations(os.path.join(work, "ca.pem"))
    context.check_hostname = check_name
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        context.minimum_version = version
        context.maximum_version = version
    if legacy:
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    try:
        with socket.create_connection((HOSTS[host], 443), timeout=5) as raw:
            with context.wrap_socket(raw, server_hostname=host):
                return True
    except (ssl.SSLError, OSError) as error:
        print("control handshake with %s failed: %s" % (host, error))
        return False


def inside(work, argv):
    run(["ip", "link", "set", "lo", "up"])
    for source, target in (("hosts", "/etc/hosts"), ("resolv.conf", "/etc/resolv.conf"),
                           ("ca.pem", "/etc/ssl/certs/ca-certificates.crt")):
        run(["mount", "--bind", os.path.join(work, source), target])

    name_server()
    V = ssl.TLSVersion
    normal = server_context(work, "server")
    start(HOSTS["main.test"], 443, normal)
    start(HOSTS["main.test"], 8443, normal)  # reached only if a port slipped through
    start(HOSTS["other.test"], 443, normal)
    start(HOSTS["other.test"], 80, None)     # reached only if a redirect to HTTP were followed
    start(HOSTS["tls10.test"], 443, server_context(work, "server", V.TLSv1, V.TLSv1, True))
    start(HOSTS["tls13.test"], 443, server_context(work, "server", V.TLSv1_3, V.TLSv1_3))
    start(HOSTS["wrongname.test"], 443, server_context(work, "wrong"))

    controls = [handshake_works(work, "tls10.test", V.TLSv1, legacy=True),
                handshake_works(work, "tls13.test", V.TLSv1_3),
                handshake_works(work, "wrongname.test", V.TLSv1_2, check_name=False)]
    if not all(controls):
        return 1

    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["TREVALON_CURL_NETNS"] = "1"
    return subprocess.run(argv, env=env).returncode


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--inside":
        sys.exit(inside(sys.argv[2], sys.argv[3:]))
    if len(sys.argv) < 2:
        print("usage: netns_run.py TEST_BINARY [ARGS...]")
        sys.exit(2)
    if shutil.which("unshare") is None or subprocess.run(
            ["unshare", "--net", "--mount", "true"], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL).returncode != 0:
        print("skipped: cannot create network and mount namespaces here")
        sys.exit(SKIP)
    work = tempfile.mkdtemp(prefix="trevalon-curl-")
    try:
        make_certificates(work)
        code = subprocess.run(["unshare", "--net", "--mount", sys.executable,
                               os.path.abspath(__file__), "--inside", work] + sys.argv[1:]
                              ).returncode
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(code)


if __name__ == "__main__":
    main()
