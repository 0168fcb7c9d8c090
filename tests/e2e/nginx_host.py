"""nginx as a host of the simulated mirror network (used by netsim.py inside the namespace).

A host whose setup carries "server": "nginx" is played by Debian's nginx
instead of the Python server: one nginx per namespace serves every such host
on that host's own loopback address, with a config, pid file, logs and temp
folders of its own under the run's work folder, and the run's CA-signed
certificate. It is started by `start` after the Python servers and stopped by
the pid it was started with, so nothing is left running when the namespace
ends; the system's nginx service is never involved.

Routes take the Python server's actions where nginx has a way to play them:

    {"file": "/abs/path"}          static file: nginx's own Range handling;
                                   "range": false sets max_ranges 0 (Range ignored)
    {"body": "text"}               written to a file of the run, served as a file
    {"status": N}                  nginx's own answer (its HTML page for errors)
    {"redirect": URL}              return 302 (or "status") URL
    {"probe": ACTION, "get": ACTION}   by whether the request has a closed Range from byte 0
    options: "rate": bytes per second (limit_rate),
             "delay_ms": N before the answer (the echo module's echo_sleep,
                         then an internal redirect to the action)

Faults nginx cannot play (stalls, cut bodies, wrong lengths, endless bodies)
stay with the Python server; asking nginx for one is an error. Host options:
"tls": "1.2" or "1.3" (ssl_protocols), "cert", "more_ports", "http_routes".
Keep-alive is nginx's own (keepalive_timeout 65 s, Connection: keep-alive).

Requests come from nginx's access log, one JSON line each, turned into the
same entries the Python server logs, plus "connection" and
"connection_requests" (nginx's connection serial and its request count),
which show whether a client reused a connection, and "t_end_ms", when nginx
finished the request (its last byte sent, or the client gone).
"""

import ctypes
import json
import os
import re
import signal
import subprocess
import time

NGINX = "/usr/sbin/nginx"
ECHO_MODULE = "/usr/lib/nginx/modules/ngx_http_echo_module.so"
TLS_PROTOCOLS = {None: "TLSv1.2 TLSv1.3", "1.2": "TLSv1.2", "1.3": "TLSv1.3"}
ACTION_KEYS = {"file", "body", "status", "redirect", "range", "rate", "delay_ms"}
HOST_KEYS = {"server", "tls", "cert", "routes", "http_routes", "more_ports"}

LOG_FORMAT = ('{"msec":"$msec","request_time":"$request_time","method":"$request_method",'
              '"path":"$request_uri","host_header":"$http_host","range":"$http_range",'
              '"user_agent":"$http_user_agent","status":"$status","bytes":"$body_bytes_sent",'
              '"server":"$server_name","port":"$server_port","connection":"$connection",'
              '"connection_requests":"$connection_requests","tls":"$ssl_protocol"}')


def _quote(text):
    if any(c in text for c in "\"\\\n\r\0"):
        raise ValueError("cannot quote %r for nginx" % text)
    return '"%s"' % text


class Config:
    """Builds nginx.conf for the nginx hosts of a scenario."""

    def __init__(self, folder, pki):
        self.folder, self.pki = folder, pki
        self.internal = []  # (location name, lines) of actions reached by internal redirect
        self.bodies = 0
        self.uses_echo = False

    def _body_file(self, text):
        self.bodies += 1
        path = os.path.join(self.folder, "bodies", "%d" % self.bodies)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text.encode())
        return path

    def _internal(self, lines):
        name = "/__nginx_host/%d" % (len(self.internal) + 1)
        self.internal.append((name, lines))
        return name

    def _action(self, action):
        """The lines of a location that plays one action."""
        unknown = set(action) - ACTION_KEYS
        if unknown:
            raise ValueError("nginx cannot play %s; use the Python server" % sorted(unknown))
        lines = []
        if action.get("rate"):
            lines.append("limit_rate %d;" % action["rate"])
        if action.get("range") is False:
            lines.append("max_ranges 0;")
        if "redirect" in action:
            lines.append("return %d %s;" % (action.get("status", 302), _quote(action["redirect"])))
        elif "file" in action or "body" in action:
            if action.get("status", 200) != 200:
                raise ValueError("nginx serves files with status 200 only")
            path = action["file"] if "file" in action else self._body_file(action["body"])
            lines.append("alias %s;" % _quote(os.path.abspath(path)))
        else:
            lines.append("return %d;" % action.get("status", 404))
        if action.get("delay_ms"):
            self.uses_echo = True
            target = self._internal(lines)
            lines = ["echo_sleep %.3f;" % (action["delay_ms"] / 1000.0), "echo_exec %s;" % target]
        return lines

    def _route(self, action):
        if "probe" in action or "get" in action:
            probe = self._internal(self._action(action.get("probe", {"status": 404})))
            get = self._internal(self._action(action.get("get", {"status": 404})))
            # Probes ask a closed range from byte 0; a download that continues
            # a part asks "bytes=N-", a helper "bytes=A-B" with A > 0: gets.
            return ['if ($http_range ~ "^bytes=0-[0-9]+$") { rewrite ^ %s last; }' % probe,
                    "rewrite ^ %s last;" % get]
        return self._action(action)

    def server(self, name, address, port, host_setup):
        unknown = set(host_setup) - HOST_KEYS
        if unknown:
            raise ValueError("nginx hosts have no %s" % sorted(unknown))
        tls = port != 80
        routes = host_setup.get("routes" if tls else "http_routes", {})
        out = ["server {"]
        ports = [port] + (host_setup.get("more_ports", []) if tls else [])
        for p in ports:
            out.append("  listen %s:%d%s;" % (address, p, " ssl" if tls else ""))
        out.append("  server_name %s;" % name)
        if tls:
            cert = host_setup.get("cert", "good")
            out.append("  ssl_certificate %s;" % os.path.join(self.pki, cert + ".pem"))
            out.append("  ssl_certificate_key %s;" % os.path.join(self.pki, cert + ".key"))
            if host_setup.get("tls") not in TLS_PROTOCOLS:
                raise ValueError("nginx hosts speak TLS 1.2 and 1.3 only")
            out.append("  ssl_protocols %s;" % TLS_PROTOCOLS[host_setup.get("tls")])
        self.internal = []
        for path, action in routes.items():
            lines = self._route(action)
            where = "/" if path == "*" else "= " + _quote(path)
            out.append("  location %s {" % where)
            out += ["    " + line for line in lines]
            out.append("  }")
        if "*" not in routes:
            out.append("  location / { return 404; }")
        for location, lines in self.internal:
            out.append("  location = %s {" % location)
            out.append("    internal;")
            out += ["    " + line for line in lines]
            out.append("  }")
        out.append("}")
        return out

    def text(self, servers):
        folder = self.folder
        head = []
        if self.uses_echo:
            head.append("load_module %s;" % ECHO_MODULE)
        head += [
            # Inside the namespace only root is mapped, so the workers cannot
            # switch to nginx's default unprivileged user.
            "user root root;",
            "worker_processes 1;",
            "daemon off;",
            "master_process on;",
            "pid %s;" % os.path.join(folder, "nginx.pid"),
            "error_log %s info;" % os.path.join(folder, "error.log"),
            "events { worker_connections 512; }",
            "http {",
            "  default_type application/octet-stream;",
            "  types { }",
            "  log_format hostlog escape=json '%s';" % LOG_FORMAT,
            "  access_log %s hostlog;" % os.path.join(folder, "access.log"),
            "  client_body_temp_path %s;" % os.path.join(folder, "tmp", "body"),
            "  proxy_temp_path %s;" % os.path.join(folder, "tmp", "proxy"),
            "  fastcgi_temp_path %s;" % os.path.join(folder, "tmp", "fastcgi"),
            "  uwsgi_temp_path %s;" % os.path.join(folder, "tmp", "uwsgi"),
            "  scgi_temp_path %s;" % os.path.join(folder, "tmp", "scgi"),
            # Mirror paths such as /https://github.com/... keep their double slash.
            "  merge_slashes off;",
            "  sendfile on;",
            "  tcp_nopush on;",
            # sendfile under TLS needs kernel TLS; where the kernel lacks it
            # nginx reads the file and writes it through OpenSSL instead.
            "  ssl_conf_command Options KTLS;",
            "  keepalive_timeout 65s;",
            "  server_tokens off;",
        ]
        body = []
        for server in servers:
            body += ["  " + line for line in server]
        return "\n".join(head + body + ["}", ""])


class Nginx:
    """One nginx master with its worker, started in the current (namespaced) process tree."""

    def __init__(self, folder, proc, names):
        self.folder, self.proc = folder, proc
        self.names = names  # address -> host name

    def handshake_failures(self, started_wall):
        """Failed TLS handshakes from the error log, as the Python server's "tls-failed" events."""
        events = []
        path = os.path.join(self.folder, "error.log")
        if not os.path.exists(path):
            return events
        with open(path, errors="replace") as f:
            for line in f:
                m = re.search(r"^(\S+ \S+) .* failed \((.*)\) while SSL handshaking, "
                              r"client: \S+, server: ([0-9.]+):(\d+)", line)
                if m:
                    began = time.mktime(time.strptime(m.group(1), "%Y/%m/%d %H:%M:%S"))
                    events.append({"event": "tls-failed", "detail": m.group(2)[:160],
                                   "server": self.names.get(m.group(3), m.group(3)),
                                   "port": int(m.group(4)), "by": "nginx",
                                   "t_ms": int(round((began - started_wall) * 1000))})
        return events

    def requests(self, started_wall):
        """The access log as netsim log entries, t_ms from when the request began."""
        entries = []
        path = os.path.join(self.folder, "access.log")
        if not os.path.exists(path):
            return entries
        with open(path) as f:
            for line in f:
                row = json.loads(line)
                began = float(row["msec"]) - float(row["request_time"])
                entries.append({
                    "server": row["server"], "port": int(row["port"]), "method": row["method"],
                    "path": row["path"], "host_header": row["host_header"] or None,
                    "range": row["range"] or None, "user_agent": row["user_agent"] or None,
                    "t_ms": int(round((began - started_wall) * 1000)),
                    "t_end_ms": int(round((float(row["msec"]) - started_wall) * 1000)),
                    "answer": "%s %s" % (row["status"], row["bytes"]), "by": "nginx",
                    "sent": int(row["bytes"]),
                    "connection": int(row["connection"]),
                    "connection_requests": int(row["connection_requests"]),
                    "tls": row["tls"] or None})
        return entries

    def errors(self):
        """Lines of nginx's error log at level error or worse: a broken config or file shows here."""
        path = os.path.join(self.folder, "error.log")
        if not os.path.exists(path):
            return []
        with open(path, errors="replace") as f:
            return [line.rstrip("\n") for line in f
                    if any(" [%s] " % level in line for level in ("error", "crit", "alert", "emerg"))]

    def stop(self):
        """Stops nginx by the pid it was started with; returns whether any process outlived it."""
        pid_file = os.path.join(self.folder, "nginx.pid")
        workers = _children(self.proc.pid)
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        left = [pid for pid in workers if _alive(pid)]
        deadline = time.monotonic() + 5
        while left and time.monotonic() < deadline:
            time.sleep(0.05)
            left = [pid for pid in left if _alive(pid)]
        for pid in left:
            os.kill(pid, signal.SIGKILL)
        return bool(left) or os.path.exists(pid_file)


def _children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def _alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def _end_with_parent():
    """In the child before exec: SIGTERM when the namespace's runner dies, however it dies,
    so that nginx cannot outlive it and keep the namespace alive."""
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_PDEATHSIG = 1
    if libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0) != 0:
        os._exit(126)


def start(hosts, addresses, pki, work):
    """Starts nginx for hosts ({name: setup}); returns an Nginx once it accepts connections."""
    folder = os.path.join(work, "nginx")
    for sub in ("tmp", "bodies"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    config = Config(folder, pki)
    servers = []
    for name, host_setup in hosts.items():
        servers.append(config.server(name, addresses[name], 443, host_setup))
        if "http_routes" in host_setup:
            servers.append(config.server(name, addresses[name], 80, host_setup))
    conf_path = os.path.join(folder, "nginx.conf")
    with open(conf_path, "w") as f:
        f.write(config.text(servers))
    err = open(os.path.join(folder, "stderr"), "wb")
    proc = subprocess.Popen([NGINX, "-p", folder, "-e", os.path.join(folder, "error.log"),
                             "-c", conf_path], stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                            preexec_fn=_end_with_parent)
    err.close()
    pid_file = os.path.join(folder, "nginx.pid")
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            break
        if os.path.exists(pid_file) and _children(proc.pid):
            with open(pid_file) as f:
                if f.read().strip() == str(proc.pid):
                    return Nginx(folder, proc, {addresses[n]: n for n in hosts})
        time.sleep(0.02)
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    with open(os.path.join(folder, "error.log"), errors="replace") as f:
        log = f.read()[-2000:]
    raise RuntimeError("nginx did not start:\n" + log)
