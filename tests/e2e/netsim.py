#!/usr/bin/python3
"""Simulated mirror network for end-to-end tests of the real programs.

A program runs inside a fresh network and mount namespace (`unshare --net
--mount`) in which every compiled-in host, and any other host a scenario
names, resolves to its own loopback address (127.0.0.10 upwards). A CA made
for the test run replaces the system's trusted roots (/etc/ssl/certs is
bind-mounted to a folder holding only it), /etc/resolv.conf points at
127.0.0.1 so unknown names fail at once, and small HTTPS servers (this
module, standard library only) play a scenario on port 443 of each host.
Nothing can leave the namespace: it has no interface but loopback. Tests of
their own (tests/curl/netns_run.py) name their own hosts and run here too.

Scenario (a JSON-able dict):

    {"hosts": {
        "www.modelscope.cn": {
            "tls": "1.0",            # "1.0", "1.2" or "1.3": that version only; absent: 1.2 and 1.3
            "cert": "good",          # or "wrong-name" (valid CA, other name), "untrusted" (other CA)
            "routes": {"/path": ACTION, ...},      # port 443; other paths answer 404
            "http_routes": {"/path": ACTION, ...}, # plain HTTP on port 80, when present
            "more_ports": [8443],    # the port 443 server listens on these too
            "tls_delay_ms": 2000,    # wait this long after accepting, before the TLS handshake
            "server": "nginx",       # played by nginx instead (nginx_host.py: what it can play)
            "drop": True,            # no server: connection attempts are dropped, not refused
            "keep_alive": True,      # serve further requests on a connection, as nginx does
        }, ...},
     "silent_names": ["slow.test"],  # see below
     "link_rate": 12582912}          # bytes per second through the user's link (see below)

A host missing from "hosts" has no server: connections are refused. A host
with "drop" drops them instead, as a filtering network does: its port 443
listens with a backlog of 0 and an accept queue filled by connections that
are never accepted, so the kernel drops every further SYN and a client's
connect runs into its own timeout. A route
"*" answers every path not listed. With "silent_names", a name server on
127.0.0.1:53 never answers a query for those names and answers any other
"no such name" at once; without it nothing listens there and lookups of
unknown names are refused. With "link_rate", every byte between the hosts and
the program shares one token bucket of that rate (tc's tbf on loopback, which
all of them use), as a user's link limits all connections together, whatever
each server gives one connection. ACTION:

    {"file": "/abs/path"}        serve it; Range honoured ("range": false ignores it)
    {"body": "text"}             serve that text
    {"echo": true}               serve the request's head as it arrived (no Range)
    {"status": 404}              that status (alone: a short text body)
    {"redirect": URL}            302 (or "status") with Location: URL
    {"probe": ACTION, "get": ACTION}   by whether the request has a closed Range header
        from byte 0 (bytes=0-B, as probes ask); a download that continues a part (bytes=N-)
        and a helper's range (bytes=A-B, A > 0) are gets
    {"answers": [ACTION, ...]}   the first request it serves plays the first action, the
        next the second, and so on; the last one plays every request after (a mirror whose
        answer breaks once, then serves the rest; or one that refuses the request that
        asks again). Counted per host server, over all its connections; may stand for a
        whole route or for the "probe" or "get" of one
    options for file/body: "length": "none-chunked" | "none-close" | N (announce N bytes),
        "cut": N (send N body bytes, then close), "extra": N (N more bytes than announced),
        "rate": bytes per second ("rate_for_s": S: only for the first S seconds, then at
        full speed), "delay_ms": N before the headers,
        "stall": "headers" | "body", "stall_after": N body bytes, "stall_s": seconds,
        "endless": true (after the body, zero bytes without end until the client goes)
    options for every action: "set_cookie": "name=value" (sent as Set-Cookie, Path=/),
        "need_cookie": "name=value" (403 unless the request's Cookie header carries it)
    {"connections": true}        serve "connections N\n": the connections this host's
                                 server has accepted so far
    {"hold": true, "hold_s": S}  answer nothing; wait up to S seconds (10) for the client
                                 to close the connection ("gone") or give up ("out")
        "body": "text", "hold_after": N: first a 200 that announces the text, and N of its
        bytes, then the wait (a mirror that stalls in the middle of a body)
    {"holds": true}              serve "held H gone G out O\n": those holds so far

Every response carries "Connection: close" unless its host has "keep_alive"
(a body that is cut, longer than announced or ended by the close still
closes); a close-delimited body ends with
a TLS close_notify. Each request is logged as {"server", "port", "method",
"path", "host_header", "range", "user_agent", "t_ms", "t_end_ms", "answer", "sent"}:
"sent" counts the body bytes handed to the connection, "t_end_ms" is when the
answer ended (its connection closed, unless kept alive).

Use:

    net = Network("/path/to/workdir")           # makes the PKI once
    # names=[...]: more host names the "good" certificate carries
    result = net.run(scenario, ["/path/to/program", "arg"], name="case1",
                     env={"TMPDIR": "..."}, timeout=60)
    result.exit_code, result.stdout (bytes), result.requests, result.elapsed_s,
    result.timed_out, result.stderr
    # Windows programs: net.make_wine_prefix(prefix) once, then
    net.run(scenario, [WINE64, "/path/to/prog.exe"], wine_prefix=prefix, ...)

Other tests in this network (tests/e2e/test_tool_mirrors, say) import this
module and call Network.run for each program run.

More of a run, in Network.run's keywords: `tmpfs` mounts a file system of a
given size over a folder inside the namespace only ({"/abs/folder": "1m"});
what it holds when the run ends is listed in result.tmpfs_files (paths
relative to the mount, folders ending in "/"), since it goes with the
namespace. `interrupt` sends the program SIGINT once a file has reached a
size ({"file": "/abs/path", "min_size": N}), or once what the program has
printed matches a regular expression ({"output": REGEX}, searched in its
standard output as UTF-8); whether and when it was sent is in
result.interrupted.

Within one namespace Wine gets its own wineserver (a tmpfs over
/tmp/.wine-<uid>), which is waited for and killed before the namespace ends;
`wait_files` lists files (a started installer's marker) to wait for.
"""

import glob
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import warnings

HOSTS = [
    "www.modelscope.cn",
    "www.trevalon.app",
    "raw.githubusercontent.com",
    "github.com",
    "ghfast.top",
    "gh-proxy.com",
    "ghproxy.net",
    "huggingface.co",
]
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
PYTHON = "/usr/bin/python3"
WINE_ENV = {
    "WINEDEBUG": "-all",
    "WINEARCH": "win64",
    "WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d",
}
HERE = os.path.dirname(os.path.abspath(__file__))


def host_addresses(scenario):
    """Loopback address of every host: compiled-in ones first, then the scenario's others."""
    names = list(HOSTS) + sorted(h for h in scenario.get("hosts", {}) if h not in HOSTS)
    return {name: "127.0.0.%d" % (10 + i) for i, name in enumerate(names)}


# ---------------------------------------------------------------- PKI

def _openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def make_pki(folder, names):
    """A trusted CA, an untrusted CA and three leaf certificates, made with the openssl CLI."""
    os.makedirs(folder, exist_ok=True)
    done = os.path.join(folder, "done")
    names_line = " ".join(names) + "\n"
    if os.path.exists(done) and time.time() - os.path.getmtime(done) < 20 * 86400:
        with open(done) as f:
            if f.read() == names_line:
                return folder  # the certificates are valid for 30 days
    ca_ext = ["-addext", "basicConstraints=critical,CA:TRUE",
              "-addext", "keyUsage=critical,keyCertSign,cRLSign"]
    for ca, cn in (("ca", "Trevalon e2e test CA"), ("rogue-ca", "Rogue e2e CA")):
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
                 "-keyout", os.path.join(folder, ca + ".key"),
                 "-out", os.path.join(folder, ca + ".pem"), "-subj", "/CN=" + cn, *ca_ext)
    leaves = (("good", "ca", names), ("wrong-name", "ca", ["wrong-name.invalid"]),
              ("untrusted", "rogue-ca", names))
    for leaf, ca, sans in leaves:
        key = os.path.join(folder, leaf + ".key")
        csr = os.path.join(folder, leaf + ".csr")
        ext = os.path.join(folder, leaf + ".ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=" + ",".join("DNS:" + n for n in sans) + "\n")
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n")
            f.write("extendedKeyUsage=serverAuth\n")
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", key, "-out", csr,
                 "-subj", "/CN=" + sans[0])
        _openssl("x509", "-req", "-sha256", "-days", "30", "-in", csr,
                 "-CA", os.path.join(folder, ca + ".pem"), "-CAkey", os.path.join(folder, ca + ".key"),
                 "-CAcreateserial", "-out", os.path.join(folder, leaf + ".pem"), "-extfile", ext)
    certs = os.path.join(folder, "certs")
    os.makedirs(certs, exist_ok=True)
    shutil.copy(os.path.join(folder, "ca.pem"), os.path.join(certs, "ca-certificates.crt"))
    with open(done, "w") as f:
        f.write(names_line)
    return folder


# ---------------------------------------------------------------- servers (inside the namespace)

class HostServer:
    """One host's server on one port, a thread per connection, every request logged."""

    def __init__(self, name, address, port, host_setup, pki, log, started):
        self.name, self.port, self.log, self.started = name, port, log, started
        self.routes = host_setup.get("routes" if port != 80 else "http_routes", {})
        self.tls_delay_ms = host_setup.get("tls_delay_ms", 0)
        self.keep_alive = host_setup.get("keep_alive", False)
        self.accepted = 0
        self.holds = {"held": 0, "gone": 0, "out": 0}  # requests held, and how each hold ended
        self.accepted_lock = threading.Lock()
        self.answers_played = {}  # id of an "answers" list -> the requests it has served
        self.ctx = None
        if port != 80:
            self.ctx = self._context(host_setup, pki)
        # Files are read before the run starts: a first request that waited for the disk
        # would make its node answer late and upset a scenario's ranking.
        for path in _files_of(self.routes):
            try:
                _load(path)
            except OSError:
                pass  # a request for it fails as it would have
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.sock.listen(32)
        threading.Thread(target=self._accept, daemon=True).start()

    @staticmethod
    def _context(host_setup, pki):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        cert = host_setup.get("cert", "good")
        ctx.load_cert_chain(os.path.join(pki, cert + ".pem"), os.path.join(pki, cert + ".key"))
        tls = host_setup.get("tls")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            if tls == "1.0":
                ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
                ctx.minimum_version = ssl.TLSVersion.TLSv1
                ctx.maximum_version = ssl.TLSVersion.TLSv1
            elif tls == "1.3":
                ctx.minimum_version = ssl.TLSVersion.TLSv1_3
                ctx.maximum_version = ssl.TLSVersion.TLSv1_3
            elif tls == "1.2":
                ctx.minimum_version = ssl.TLSVersion.TLSv1_2
                ctx.maximum_version = ssl.TLSVersion.TLSv1_2
        return ctx

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with self.accepted_lock:
                self.accepted += 1
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _record(self, entry):
        entry["server"], entry["port"] = self.name, self.port
        entry["t_ms"] = int((time.monotonic() - self.started) * 1000)
        self.log.append(entry)

    def _handle(self, conn):
        conn.settimeout(20)
        stream = conn
        if self.ctx is not None and self.tls_delay_ms:
            time.sleep(self.tls_delay_ms / 1000.0)
        try:
            if self.ctx is not None:
                stream = self.ctx.wrap_socket(conn, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self._record({"event": "tls-failed", "detail": str(e)[:160]})
            conn.close()
            return
        entry = {}
        clean = False
        served = 0
        try:
            while True:
                head = _read_head(stream)
                if head is None:
                    if served == 0:
                        self._record({"event": "no-request"})
                    return
                method, path, headers, raw = head
                entry = {"method": method, "path": path, "host_header": headers.get("host"),
                         "range": headers.get("range"), "user_agent": headers.get("user-agent")}
                if "cookie" in headers:
                    entry["cookie"] = headers["cookie"]
                self._record(entry)
                action = self.routes.get(path, self.routes.get("*", {"status": 404}))
                if "probe" in action or "get" in action:
                    probe = re.fullmatch(r"bytes=0-\d+", headers.get("range", "")) is not None
                    action = action.get("probe" if probe else "get", {"status": 404})
                if "answers" in action:
                    action = self._next_answer(action["answers"])
                if action.get("connections"):
                    with self.accepted_lock:
                        action = {"body": "connections %d\n" % self.accepted}
                elif action.get("holds"):
                    with self.accepted_lock:
                        action = {"body": "held %(held)d gone %(gone)d out %(out)d\n" % self.holds}
                elif action.get("hold"):
                    self._hold(stream, action, entry)
                    return
                keep = self.keep_alive and headers.get("connection", "").lower() != "close"
                clean = _respond(stream, action, headers, entry, raw, keep)
                entry["t_end_ms"] = int((time.monotonic() - self.started) * 1000)
                served += 1
                if not (keep and clean):
                    return
        except OSError as e:
            entry.setdefault("answer", "")
            entry["answer"] += " (client gone: %s)" % e.__class__.__name__
        finally:
            _close(stream, clean)
            if "method" in entry:
                entry["t_end_ms"] = int((time.monotonic() - self.started) * 1000)


    def _next_answer(self, answers):
        """The action of a sequence that this request plays (see "answers")."""
        with self.accepted_lock:
            played = self.answers_played.get(id(answers), 0)
            self.answers_played[id(answers)] = played + 1
        return answers[min(played, len(answers) - 1)]

    def _hold(self, stream, action, entry):
        """Answers nothing (or a body's start) and waits for the client to close the connection."""
        with self.accepted_lock:
            self.holds["held"] += 1
        stream.settimeout(action.get("hold_s", 10))
        try:
            if "body" in action:
                body = action["body"].encode()
                head = "HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body)
                stream.sendall(head.encode("latin-1") + body[:action.get("hold_after", 0)])
                entry["sent"] = min(len(body), action.get("hold_after", 0))
            ended = "gone" if stream.recv(1) == b"" else "out"
        except socket.timeout:
            ended = "out"
        except OSError:
            ended = "gone"
        entry["answer"] = "held, then " + ended
        with self.accepted_lock:
            self.holds[ended] += 1


def _read_head(stream):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = stream.recv(4096)
        if not chunk:
            return None
        data += chunk
        if len(data) > 65536:
            return None
    raw = data.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"
    lines = raw.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ")
    headers = {}
    for line in lines[1:]:
        if ":" in line:
            k, v = line.split(":", 1)
            headers[k.strip().lower()] = v.strip()
    return parts[0], parts[1] if len(parts) > 1 else "", headers, raw


REASONS = {200: "OK", 206: "Partial Content", 301: "Moved Permanently", 302: "Found",
           307: "Temporary Redirect", 403: "Forbidden", 404: "Not Found", 416: "Range Not Satisfiable",
           500: "Internal Server Error", 503: "Service Unavailable"}
_file_cache = {}


def _files_of(action):
    """Every file that an action, or a table of them, may serve."""
    if isinstance(action, dict):
        found = [action["file"]] if isinstance(action.get("file"), str) else []
        return found + [f for key, value in action.items() if key != "file"
                        for f in _files_of(value)]
    if isinstance(action, list):
        return [f for value in action for f in _files_of(value)]
    return []


def _load(path):
    if path not in _file_cache:
        with open(path, "rb") as f:
            _file_cache[path] = f.read()
    return _file_cache[path]


def _respond(stream, action, headers, entry, raw, keep_alive=False):
    """Plays one action; returns whether the connection may end with a clean TLS shutdown.

    With keep_alive the answer does not say "Connection: close", for a host
    that serves several requests on one connection."""
    if action.get("delay_ms"):
        time.sleep(action["delay_ms"] / 1000.0)
    if action.get("stall") == "headers":
        entry["answer"] = "stall before headers"
        time.sleep(action.get("stall_s", 10))
        return False
    status = action.get("status", 200)
    extra_headers = []
    if "set_cookie" in action:
        extra_headers.append("Set-Cookie: %s; Path=/" % action["set_cookie"])
    cookies = [c.strip() for c in headers.get("cookie", "").split(";")]
    if "need_cookie" in action and action["need_cookie"] not in cookies:
        action = {"status": 403}
        status = 403
    if "redirect" in action:
        status = action.get("status", 302)
        extra_headers.append("Location: " + action["redirect"])
        body = b""
    elif action.get("echo"):
        body = raw
    elif "file" in action or "body" in action:
        body = _load(action["file"]) if "file" in action else action["body"].encode()
        rng = headers.get("range")
        m = re.fullmatch(r"bytes=(\d+)-(\d*)", rng or "")
        if m and action.get("range", True) and status == 200:
            first = int(m.group(1))
            last = min(int(m.group(2)) if m.group(2) else len(body) - 1, len(body) - 1)
            if first >= len(body):
                status, body = 416, b""
                extra_headers.append("Content-Range: bytes */%d" % len(_load(action["file"])))
            else:
                extra_headers.append("Content-Range: bytes %d-%d/%d" % (first, last, len(body)))
                status, body = 206, body[first:last + 1]
    else:
        body = ("status %d\n" % status).encode()
    announced = len(body)
    if "extra" in action:
        body = body + b"\0" * action["extra"]
    length = action.get("length", "exact")
    if length == "none-chunked":
        extra_headers.append("Transfer-Encoding: chunked")
    elif length == "none-close":
        pass
    else:
        if isinstance(length, int):
            announced = length
        extra_headers.append("Content-Length: %d" % announced)
    head = "HTTP/1.1 %d %s\r\n" % (status, REASONS.get(status, "Status"))
    head += "Content-Type: application/octet-stream\r\n"
    if not keep_alive or length == "none-close" or "cut" in action or "extra" in action:
        head += "Connection: close\r\n"
    head += "".join(h + "\r\n" for h in extra_headers) + "\r\n"
    stream.sendall(head.encode("latin-1"))
    entry["answer"] = "%d %s" % (status, length if length != "exact" else announced)
    send_limit = len(body)
    if "cut" in action:
        send_limit = min(send_limit, action["cut"])
    if action.get("stall") == "body":
        send_limit = min(send_limit, action.get("stall_after", 0))
    rate = action.get("rate")
    rate_until = time.monotonic() + action["rate_for_s"] if "rate_for_s" in action else None
    chunk = 16384
    sent = 0
    t0 = time.monotonic()
    while sent < send_limit:
        n = min(chunk, send_limit - sent)
        piece = body[sent:sent + n]
        if length == "none-chunked":
            piece = b"%x\r\n" % len(piece) + piece + b"\r\n"
        stream.sendall(piece)
        sent += n
        entry["sent"] = sent
        if rate_until is not None and time.monotonic() >= rate_until:
            rate = None
        if rate:
            ahead = sent / float(rate) - (time.monotonic() - t0)
            if ahead > 0:
                time.sleep(ahead)
    if action.get("endless"):
        filler = b"\0" * chunk
        if length == "none-chunked":
            filler = b"%x\r\n" % len(filler) + filler + b"\r\n"
        entry["answer"] += " endless"
        while True:  # until the client goes: sendall raises
            stream.sendall(filler)
            sent += chunk
            entry["sent"] = sent
            if rate:
                ahead = sent / float(rate) - (time.monotonic() - t0)
                if ahead > 0:
                    time.sleep(ahead)
    if action.get("stall") == "body":
        entry["answer"] += " stall after %d" % sent
        time.sleep(action.get("stall_s", 10))
        return False
    if "cut" in action:
        entry["answer"] += " cut at %d" % sent
        return True
    if length == "none-chunked":
        stream.sendall(b"0\r\n\r\n")
    return True


def _close(stream, clean):
    try:
        if clean and isinstance(stream, ssl.SSLSocket):
            stream.settimeout(1)
            stream = stream.unwrap()
    except (OSError, ValueError):
        pass
    try:
        stream.close()
    except OSError:
        pass


def _name_server(silent):
    """DNS on 127.0.0.1:53: no answer ever for `silent` names, "no such name" for the rest."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 53))

    def serve():
        while True:
            query, peer = sock.recvfrom(512)
            labels, at = [], 12
            while at < len(query) and query[at] != 0:
                labels.append(query[at + 1:at + 1 + query[at]].decode("latin-1"))
                at += 1 + query[at]
            if at + 5 > len(query) or ".".join(labels).lower() in silent:
                continue
            header = query[:2] + b"\x81\x83\x00\x01\x00\x00\x00\x00\x00\x00"
            sock.sendto(header + query[12:at + 5], peer)

    threading.Thread(target=serve, daemon=True).start()


def _served_by_nginx(host_setup):
    return host_setup.get("server") == "nginx"


def _start_nginx(scenario, addresses, pki, work):
    """One nginx for the hosts whose setup says "server": "nginx" (nginx_host.py); None if none."""
    hosts = {n: h for n, h in scenario.get("hosts", {}).items() if _served_by_nginx(h)}
    if not hosts:
        return None
    sys.path.insert(0, HERE)
    import atexit
    import nginx_host
    nginx = nginx_host.start(hosts, addresses, pki, work)
    atexit.register(nginx.stop)  # also when the run breaks off with an exception
    return nginx


# ---------------------------------------------------------------- inside the namespace

_DROPPING = []  # the listening sockets and their queue fillers, kept for the run


def _drop_connections(address, port=443):
    """Listen with a full accept queue: further connection attempts get no answer at all."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind((address, port))
    listener.listen(0)
    _DROPPING.append(listener)
    for _ in range(2):  # the queue holds one; the second only makes sure
        filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        filler.setblocking(False)
        try:
            filler.connect((address, port))
        except BlockingIOError:
            pass
        _DROPPING.append(filler)
    time.sleep(0.05)

def _inside(config_path):
    with open(config_path) as f:
        cfg = json.load(f)
    work = cfg["workdir"]
    scenario = cfg["scenario"]
    addresses = host_addresses(scenario)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    if scenario.get("link_rate"):
        # The burst holds one loopback packet (64 KiB with segmentation
        # offload) and a little more; 50 ms of queue, as a home router's.
        subprocess.run(["tc", "qdisc", "add", "dev", "lo", "root", "tbf", "rate",
                        "%dbps" % scenario["link_rate"], "burst", "256kb", "latency", "50ms"],
                       check=True)
    hosts = os.path.join(work, "hosts")
    with open(hosts, "w") as f:
        f.write("127.0.0.1 localhost\n127.0.0.1 %s\n" % socket.gethostname())
        for name, address in addresses.items():
            f.write("%s %s\n" % (address, name))
    resolv = os.path.join(work, "resolv.conf")
    with open(resolv, "w") as f:
        f.write("nameserver 127.0.0.1\n")
    mounts = [(hosts, "/etc/hosts"), (resolv, "/etc/resolv.conf"),
              (os.path.join(cfg["pki"], "certs"), "/etc/ssl/certs")]
    for source, target in mounts:
        subprocess.run(["mount", "--bind", source, target], check=True)
    for folder, size in cfg.get("tmpfs", {}).items():
        os.makedirs(folder, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0755" % size, "tmpfs", folder],
                       check=True)
    if cfg.get("wine_prefix"):
        wine_sockets = "/tmp/.wine-%d" % os.getuid()
        os.makedirs(wine_sockets, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0700", "tmpfs", wine_sockets], check=True)

    if "silent_names" in scenario:
        _name_server({n.lower() for n in scenario["silent_names"]})
    log = []
    started = time.monotonic()
    started_wall = time.time()
    nginx = _start_nginx(scenario, addresses, cfg["pki"], work)
    for name, host_setup in scenario.get("hosts", {}).items():
        if host_setup.get("drop"):
            _drop_connections(addresses[name])
            continue
        if _served_by_nginx(host_setup):
            continue
        for port in [443] + host_setup.get("more_ports", []):
            HostServer(name, addresses[name], port, host_setup, cfg["pki"], log, started)
        if "http_routes" in host_setup:
            HostServer(name, addresses[name], 80, host_setup, cfg["pki"], log, started)

    env = dict(os.environ)
    env.pop("DISPLAY", None)
    if cfg.get("wine_prefix"):
        env.update(WINE_ENV)
        env["WINEPREFIX"] = cfg["wine_prefix"]
    env.update(cfg.get("env", {}))  # a scenario may extend Wine's settings
    result = {"timed_out": False}
    capture = cfg.get("capture", True)
    out_path = os.path.join(work, "stdout")
    err_path = os.path.join(work, "stderr")
    t0 = time.monotonic()
    if not capture and cfg.get("stderr_path"):
        err_path = cfg["stderr_path"]
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        # terminal: the program reads the caller's terminal (console tests).
        stdin = None if cfg.get("terminal") else subprocess.DEVNULL
        # A harness started in the background by a shell inherits SIGINT
        # ignored; a program that is to be interrupted gets the default back,
        # as it has when a user starts it.
        default_sigint = (lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) \
            if cfg.get("interrupt") else None
        proc = subprocess.Popen(cfg["argv"], env=env, cwd=cfg.get("cwd") or work,
                                stdin=stdin, stdout=out if capture else None,
                                stderr=err if capture or cfg.get("stderr_path") else None,
                                start_new_session=capture, preexec_fn=default_sigint)
        try:
            if cfg.get("interrupt"):
                result["interrupted"] = _interrupt_when(proc, cfg["interrupt"], out_path,
                                                        cfg.get("timeout", 60))
            result["exit_code"] = proc.wait(timeout=cfg.get("timeout", 60))
        except subprocess.TimeoutExpired:
            result["timed_out"] = True
            os.killpg(proc.pid, 9) if capture else proc.kill()
            result["exit_code"] = proc.wait()
    result["elapsed_s"] = round(time.monotonic() - t0, 3)

    deadline = time.monotonic() + cfg.get("wait_s", 10)
    for path in cfg.get("wait_files", []):
        # A pattern stands for a file in a folder whose name the program chose.
        while not (glob.glob(path) if "*" in path else os.path.exists(path)) \
                and time.monotonic() < deadline:
            time.sleep(0.05)
    if cfg.get("wine_prefix"):
        try:
            subprocess.run([WINESERVER, "-w"], env=env, timeout=max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            result["wine_left_running"] = True
        subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
    time.sleep(0.05)
    result["tmpfs_files"] = {folder: _listing(folder) for folder in cfg.get("tmpfs", {})}
    if nginx is not None:
        result["nginx_left_running"] = nginx.stop()
        result["nginx_errors"] = nginx.errors()
        log.extend(nginx.requests(started_wall) + nginx.handshake_failures(started_wall))
        log.sort(key=lambda entry: entry["t_ms"])
    result["requests"] = list(log)
    with open(os.path.join(work, "result.json"), "w") as f:
        json.dump(result, f, indent=1)
    return 0


def _interrupt_when(proc, interrupt, out_path, timeout):
    """SIGINT to the program once the file has min_size bytes, or once its output matches;
    the seconds it took, or None."""
    pattern = re.compile(interrupt["output"]) if "output" in interrupt else None
    t0 = time.monotonic()
    while proc.poll() is None and time.monotonic() - t0 < timeout:
        if pattern is not None:
            with open(out_path, "rb") as f:
                reached = pattern.search(f.read().decode("utf-8", errors="replace")) is not None
        else:
            try:
                size = os.stat(interrupt["file"]).st_size
            except OSError:
                size = -1
            reached = size >= interrupt.get("min_size", 1)
        if reached:
            proc.send_signal(signal.SIGINT)
            return round(time.monotonic() - t0, 3)
        time.sleep(0.01)
    return None


def _listing(folder):
    found = []
    for root, dirs, files in os.walk(folder):
        rel = os.path.relpath(root, folder)
        prefix = "" if rel == "." else rel + "/"
        found += [prefix + d + "/" for d in dirs] + [prefix + f for f in files]
    return sorted(found)


# ---------------------------------------------------------------- outside: the API

class Result:
    def __init__(self, data, stdout, stderr, workdir):
        self.exit_code = data.get("exit_code")
        self.timed_out = data.get("timed_out", False)
        self.elapsed_s = data.get("elapsed_s")
        self.requests = [r for r in data.get("requests", []) if "event" not in r]
        self.events = [r for r in data.get("requests", []) if "event" in r]
        self.wine_left_running = data.get("wine_left_running", False)
        self.nginx_left_running = data.get("nginx_left_running", False)
        self.nginx_errors = data.get("nginx_errors", [])
        self.tmpfs_files = data.get("tmpfs_files", {})
        self.interrupted = data.get("interrupted")
        self.stdout, self.stderr, self.workdir = stdout, stderr, workdir


def _unshare():
    command = ["unshare", "--net", "--mount", "--propagation", "private"]
    return command + (["--map-root-user"] if os.getuid() != 0 else [])


def available():
    """Whether network and mount namespaces can be made here."""
    return shutil.which("unshare") is not None and subprocess.run(
        _unshare() + ["true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


class Network:
    def __init__(self, workdir, names=()):
        self.workdir = os.path.abspath(workdir)
        os.makedirs(self.workdir, exist_ok=True)
        self.pki = make_pki(os.path.join(self.workdir, "pki"), HOSTS + list(names))

    def run(self, scenario, argv, name="run", env=None, wine_prefix=None, timeout=60,
            capture=True, wait_files=(), wait_s=10, cwd=None, stderr_path=None, terminal=False,
            tmpfs=None, interrupt=None):
        """Runs argv once in a fresh namespace playing scenario; see the module's text.

        terminal=True (with capture=False) gives the program this process's own
        standard input, so that it runs on the caller's terminal."""
        work = os.path.join(self.workdir, "runs", name)
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        cfg = {"workdir": work, "scenario": scenario, "argv": list(argv), "env": env or {},
               "pki": self.pki, "wine_prefix": wine_prefix, "timeout": timeout,
               "capture": capture, "wait_files": list(wait_files), "wait_s": wait_s, "cwd": cwd,
               "stderr_path": stderr_path, "terminal": terminal, "tmpfs": tmpfs or {},
               "interrupt": interrupt}
        config = os.path.join(work, "config.json")
        with open(config, "w") as f:
            json.dump(cfg, f, indent=1)
        command = _unshare() + [PYTHON, os.path.abspath(__file__), "--inside", config]
        proc = subprocess.run(command, stdin=None if terminal else subprocess.DEVNULL,
                              timeout=timeout + 120,
                              stdout=subprocess.PIPE if capture else None,
                              stderr=subprocess.PIPE if capture else None)
        result_path = os.path.join(work, "result.json")
        if proc.returncode != 0 or not os.path.exists(result_path):
            raise RuntimeError("the namespace runner failed (%d): %s" % (
                proc.returncode, (proc.stderr or b"").decode(errors="replace")[-2000:]))
        with open(result_path) as f:
            data = json.load(f)
        stdout = stderr = b""
        if capture:
            with open(os.path.join(work, "stdout"), "rb") as f:
                stdout = f.read()
            with open(os.path.join(work, "stderr"), "rb") as f:
                stderr = f.read()
        return Result(data, stdout, stderr, work)

    def make_wine_prefix(self, prefix):
        """Creates a Wine prefix (10-25 s) in a namespace of its own; returns its Temp folder."""
        os.makedirs(os.path.dirname(prefix), exist_ok=True)
        r = self.run({"hosts": {}}, [WINE64, "wineboot", "-i"], name="wineboot",
                     wine_prefix=prefix, timeout=180, wait_s=120)
        temp = wine_temp_dir(prefix)
        if r.exit_code != 0 or not os.path.isdir(temp):
            raise RuntimeError("wineboot failed (%s): %s" % (r.exit_code, r.stderr[-2000:]))
        return temp


def wine_user():
    return "root" if os.getuid() == 0 else os.environ.get("USER", "user")


def wine_temp_dir(prefix):
    return os.path.join(prefix, "drive_c", "users", wine_user(), "Temp")


# The installer's own folder in %TEMP%, named for the user's SID: Wine gives
# every prefix's user the same one.
WINE_USER_SID = "S-1-5-21-0-0-0-1000"
WINE_PROGRAM_FOLDER = "Trevalon.OnlineInstaller." + WINE_USER_SID


def wine_program_dir(prefix):
    """The installer's own folder in the prefix's %TEMP%, where it keeps its files."""
    return os.path.join(wine_temp_dir(prefix), WINE_PROGRAM_FOLDER)


def wine_program_dir_display():
    """That folder as the installer prints it, with its separator."""
    return "C:\\users\\%s\\Temp\\%s\\" % (wine_user(), WINE_PROGRAM_FOLDER)


def windows_path(unix_path):
    """The Z: drive path Wine gives a Unix path."""
    return "Z:" + unix_path.replace("/", "\\")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--inside":
        sys.exit(_inside(sys.argv[2]))
    sys.stderr.write("usage: netsim.py --inside CONFIG (called by Network.run)\n")
    sys.exit(2)
