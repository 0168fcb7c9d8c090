"""The end-to-end scenarios: one row each, run against the native program and
the Windows program under Wine.

A scenario function takes the platform's context (`Ctx`: the releases made for
the run, the installer path the program will form, the program to run) and
returns the network to play plus everything expected of the run: exit code,
whole transcript, the requests the servers must see in order (manifest GETs,
probes with their Range header, downloads without one), the files left in the
temporary directory and whether the started installer left its marker.
Probe answers are delayed per node where the ranking must be deterministic:
the fastest node answers at once, the others 250 ms apart.
"""

import re

from transcript import Transcript, LABELS, BUILTIN_LABEL

MANIFEST_SOURCES = [
    ("www.modelscope.cn", "/datasets/tallisbrook/trevalon_r/resolve/master/manifest.txt"),
    ("www.trevalon.app", "/dl/manifest/trevalon.txt"),
    ("raw.githubusercontent.com", "/norwick/trevalon/master/manifest.txt"),
    ("raw.githubusercontent.com", "/norwick/trevalon/main/manifest.txt"),
    ("huggingface.co", "/datasets/fernhollow/trevalon_r/resolve/main/manifest.txt"),
]
SLOT_HOSTS = ["www.modelscope.cn", "github.com", "ghfast.top", "gh-proxy.com", "ghproxy.net",
              "huggingface.co"]
STEP_MS = 250


def node_path(slot, version, file_name):
    github = "/norwick/trevalon/releases/download/v%s/%s" % (version, file_name)
    if slot == 0:
        return "/datasets/tallisbrook/trevalon_r/resolve/master/" + file_name
    if slot == 1:
        return github
    if slot in (2, 3, 4):
        return "/https://github.com" + github
    return "/datasets/fernhollow/trevalon_r/resolve/main/" + file_name


class Release:
    def __init__(self, version, file_name, path, size, sha256):
        self.version, self.file_name, self.path = version, file_name, path
        self.size, self.sha256 = size, sha256

    def manifest(self, eol="\n"):
        return eol.join(["v" + self.version, self.file_name, str(self.size), self.sha256]) + eol


class Ctx:
    """What a scenario needs to know about the platform it runs on."""

    def __init__(self, platform, releases, temp_dir, program, builtin_program, launch_fail_code):
        self.platform = platform            # "native" or "windows"
        self.releases = releases            # name -> Release
        self.temp_dir = temp_dir            # as the program prints it, with its separator
        self.program = program              # the build under test
        self.builtin_program = builtin_program  # the build with the test's built-in release
        self.launch_fail_code = launch_fail_code

    def installer_path(self, release):
        return self.temp_dir + release.file_name

    def in_temp_subfolder(self, name):
        """The same platform with its temporary folder moved into a subfolder `name`."""
        # The program's own folder stays the last part: natively
        # $TMPDIR/<name>/trevalon-<uid>/; under Wine %TEMP% itself is
        # C:\users\<user>\Temp\<name>, which holds Trevalon.OnlineInstaller\.
        separator = "/" if self.platform == "native" else "\\"
        parent, own = self.temp_dir.rstrip(separator).rsplit(separator, 1)
        temp_dir = separator.join([parent, name, own]) + separator
        return Ctx(self.platform, self.releases, temp_dir, self.program, self.builtin_program,
                   self.launch_fail_code)

    FRESH_MARK = ".<fresh>"  # stands for the part of a fresh folder's name the program chose

    def fresh(self):
        """The same platform in the fresh folder that the program makes beside its own."""
        separator = "/" if self.platform == "native" else "\\"
        return Ctx(self.platform, self.releases,
                   self.temp_dir.rstrip(separator) + self.FRESH_MARK + separator, self.program,
                   self.builtin_program, self.launch_fail_code)

    # Set by tests/e2e/run: (platform, MiB, stale) -> a Release of that size, made on first
    # use; stale: another file of the same size and name.
    large_maker = None

    def large_release(self, mib, stale=False):
        return self.large_maker(self.platform, mib, stale)


class Net:
    """Collects a scenario's hosts and routes, and the requests expected to reach them."""

    def __init__(self, release):
        self.release = release
        self.hosts = {}
        self.link_rate = None  # bytes per second through the user's link, when limited

    def host(self, name, **options):
        host_setup = self.hosts.setdefault(name, {"routes": {}})
        host_setup.update(options)
        return host_setup

    def route(self, host, path, action, port=443):
        key = "routes" if port == 443 else "http_routes"
        self.host(host).setdefault(key, {})[path] = action

    def manifest(self, index, action):
        host, path = MANIFEST_SOURCES[index]
        self.route(host, path, action)

    def node(self, slot, probe=None, get=None, release=None, delay_ms=0):
        """A node that answers its probe and its download; file actions default to the release."""
        rel = release or self.release
        serve = {"file": rel.path}
        probe = dict(serve if probe is None else probe)
        get = dict(serve if get is None else get)
        if delay_ms:
            probe["delay_ms"] = delay_ms
        self.route(SLOT_HOSTS[slot], node_path(slot, rel.version, rel.file_name),
                   {"probe": probe, "get": get})

    def scenario(self):
        if self.link_rate:
            return {"hosts": self.hosts, "link_rate": self.link_rate}
        return {"hosts": self.hosts}


def M(index):
    return (MANIFEST_SOURCES[index][0], MANIFEST_SOURCES[index][1], "get")


def P(slot, rel):
    return (SLOT_HOSTS[slot], node_path(slot, rel.version, rel.file_name), "probe")


def G(slot, rel):
    return (SLOT_HOSTS[slot], node_path(slot, rel.version, rel.file_name), "get")


def R(slot, rel):
    """A download that continues a part: "Range: bytes=N-"."""
    return (SLOT_HOSTS[slot], node_path(slot, rel.version, rel.file_name), "resume")


def expect(net, exit_code, transcript, requests, temp_files, launched, program=None, args=(),
           timeout=60, watch_file=None, max_file_size=None, tls_failures=None, **more):
    """watch_file: a file in the temporary directory whose size the harness samples during
    the run; it must never exceed max_file_size. tls_failures: when given, the hosts (sorted)
    whose servers saw a failed TLS handshake."""
    return {"scenario": net.scenario(), "exit": exit_code, "transcript": transcript.text(),
            "requests": requests, "temp_files": temp_files, "launched": launched,
            "program": program, "args": list(args), "timeout": timeout,
            "watch_file": watch_file, "max_file_size": max_file_size,
            "tls_failures": tls_failures, **more}


def _installed(ctx, rel):
    return sorted([rel.file_name, rel.file_name + ".ran"])


# The part file has one name whatever the release; its release's digest stands beside it.
PART_FILE = "online-installer.part"


def _part_files(rel):
    """A part left for the next run, and the digest of its release beside it."""
    return sorted([PART_FILE, PART_FILE + ".sha256"])


# ---------------------------------------------------------------- the scenarios

def full_install(ctx, args=()):
    """Manifest from the first source, six reachable nodes; the fastest (F) is used."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest("\r\n")})
    for slot in range(6):
        net.node(slot, delay_ms=0 if slot == 5 else STEP_MS + 50 * slot)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True] * 6).download_ok(5, rel.size).verified(rel.sha256)
    t.launched(ctx.installer_path(rel))
    requests = [M(0)] + [P(s, rel) for s in range(6)] + [G(5, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True, args=args)


def arguments_ignored(ctx):
    """Arguments of every kind change nothing."""
    return full_install(ctx, args=["--help", "/S", "-x", "two words", "--", "ünï"])


NON_ASCII_FOLDER = "张三"


def non_ascii_temp_folder(ctx):
    """A temporary folder that the legacy code page cannot spell: a full install all the same,
    and the launch line names the folder as it is. Natively TMPDIR names it; under Wine the
    user's TEMP and TMP do, in a locale whose code page is 1252."""
    case = full_install(ctx.in_temp_subfolder(NON_ASCII_FOLDER))
    case["temp_subfolder"] = NON_ASCII_FOLDER
    case["env"] = {"LANG": "C.UTF-8"}
    return case


def manifest_from_later_source(ctx):
    """Sources 1-3 fail (404, invalid manifest, empty body); the fourth gives the release."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"status": 404})
    net.manifest(1, {"body": "v0.9.9\nTrevalon-setup-0.9.9.exe\n1234\n"})
    net.manifest(2, {"body": ""})
    net.manifest(3, {"body": rel.manifest()})
    net.manifest(4, {"body": "asked at once with the others, never used"})
    net.node(1)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[2])
    t.probes([False, True, False, False, False, False]).download_ok(1, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), M(1), M(2), M(3), P(0, rel), P(1, rel), P(5, rel), G(1, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


def builtin_release_install(ctx):
    """No source answers with a manifest: the built-in release is downloaded and started."""
    rel = ctx.releases["builtin"]
    net = Net(rel)
    net.manifest(0, {"status": 404})
    net.manifest(4, {"status": 500})
    net.node(0)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, BUILTIN_LABEL)
    t.probes([True, False, False, False, False, False]).download_ok(0, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), M(4), P(0, rel), P(5, rel), G(0, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True, program=ctx.builtin_program)


def no_network(ctx):
    """Nothing answers: the built-in release of the real build, six FAIL lines, exit 1."""
    net = Net(ctx.releases["main"])
    t = Transcript().banner().release("0.7.19", "Trevalon-setup-0.7.19.exe", 20140875, BUILTIN_LABEL)
    t.probes([False] * 6).no_reachable_node()
    temp = None if ctx.platform == "native" else []
    return expect(net, 1, t, [], temp, False)


def every_node_unreachable(ctx):
    """404, 500, TLS 1.0 only, a certificate for another name, an untrusted CA, an empty body."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, probe={"status": 404})
    net.node(1, probe={"status": 500})
    net.node(2)
    net.host(SLOT_HOSTS[2], tls="1.0")
    net.node(3)
    net.host(SLOT_HOSTS[3], cert="wrong-name")
    net.node(4)
    net.host(SLOT_HOSTS[4], cert="untrusted")
    net.node(5, probe={"body": ""})
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([False] * 6).no_reachable_node()
    requests = [M(0), P(0, rel), P(1, rel), P(5, rel)]
    temp = None if ctx.platform == "native" else []
    return expect(net, 1, t, requests, temp, False)


def _breaks_then_refuses(rel, cut, **more):
    """A download whose answer breaks after `cut` body bytes; the request that asks the
    same node again for the rest is refused (503), so the node is given up."""
    return {"answers": [dict(file=rel.path, cut=cut, **more), {"status": 503}]}


def fastest_fails_next_succeeds(ctx):
    """The fastest node's body is cut at half; asked again for the rest, it refuses (503);
    the next node continues the part from there, and the file is verified."""
    rel = ctx.releases["main"]
    half = rel.size // 2
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, get=_breaks_then_refuses(rel, half))
    net.node(1, delay_ms=STEP_MS)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, True, False, False, False, False])
    t.download_header(0).progress(0, half, rel.size).asked_again(half).node_failed()
    t.download_ok(1, rel.size, resumed=True).verified(rel.sha256)
    t.launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), P(1, rel), G(0, rel), R(0, rel), R(1, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True, resumed_at=[half, half])


def all_reachable_nodes_fail(ctx):
    """Three reachable nodes: status 500, a Content-Length other than the size, a body cut
    at a quarter whose node, asked again for the rest, refuses (503). No file was ever
    complete, so the last lines say so and blame no check. The cut body's part stays, with
    the release's digest beside it, for the next run."""
    rel = ctx.releases["main"]
    quarter = rel.size // 4
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, get={"status": 500})
    net.node(1, get={"file": rel.path, "length": rel.size - 1}, delay_ms=STEP_MS)
    net.node(2, get=_breaks_then_refuses(rel, quarter), delay_ms=2 * STEP_MS)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, True, True, False, False, False])
    t.download_header(0).node_failed()
    t.download_header(1).node_failed()
    t.download_header(2).progress(2, quarter, rel.size).asked_again(quarter).node_failed()
    t.none_completed()
    requests = [M(0), P(0, rel), P(1, rel), P(2, rel), G(0, rel), G(1, rel), G(2, rel),
                R(2, rel)]
    return expect(net, 1, t, requests, _part_files(rel), False, resumed_at=[quarter])


def digest_mismatch(ctx, on_nginx=False):
    """The fastest node serves other bytes of the same size: mismatch, deleted, next node."""
    rel = ctx.releases["main"]
    bad = ctx.releases["tampered"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, get={"file": bad.path})
    net.node(5, delay_ms=STEP_MS)
    if on_nginx:
        _on_nginx(net)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, False, False, False, False, True])
    t.download_ok(0, rel.size).mismatch(rel.sha256, bad.sha256)
    t.download_ok(5, rel.size).verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), P(5, rel), G(0, rel), G(5, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


def launch_fails(ctx):
    """A verified file that is no program: the launch warning, exit 1, the file stays."""
    rel = ctx.releases["unlaunchable"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0)
    net.node(1, delay_ms=STEP_MS)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, True, False, False, False, False]).download_ok(0, rel.size)
    t.verified(rel.sha256).launch_failed(ctx.launch_fail_code, ctx.installer_path(rel))
    requests = [M(0), P(0, rel), P(1, rel), G(0, rel)]
    return expect(net, 1, t, requests, [rel.file_name], False)


def probe_stalls(ctx):
    """One node stalls before its headers, one after them; each probe gives up after ~3 s
    (~13 s before the headers under Wine, whose wait for them only the response-header
    timeout bounds).

    The nodes stall far longer than the run may take: a probe session left
    without its timeout profile waits them out and misses the bound."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, probe={"stall": "headers", "stall_s": 90})
    net.node(1, probe={"file": rel.path, "stall": "body", "stall_after": 0, "stall_s": 90})
    net.node(2)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([False, False, True, False, False, False]).download_ok(2, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), P(1, rel), P(2, rel), G(2, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True, timeout=30)


def _no_length(ctx, length):
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, get={"file": rel.path, "length": length})
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, False, False, False, False, False]).download_ok(0, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), G(0, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


def chunked_download(ctx):
    """A download without Content-Length, chunked: the progress counts the release's size,
    which is still checked."""
    return _no_length(ctx, "none-chunked")


def close_delimited_download(ctx):
    """A download without Content-Length that ends when the server closes."""
    return _no_length(ctx, "none-close")


FOUR_AND_A_HALF_GIB = 4608 * 1048576


def length_past_4_gib(ctx):
    """A release of 4.5 GiB: the node announces that Content-Length, sends the first 1 %
    (46 MB, up to the byte where the progress reaches 1 %) and closes; asked again for the
    rest, it refuses (503). The length is accepted and the progress shows it; the node
    fails on the short body only, no file was ever complete, and the part stays.
    (bench/large installs such a release whole.)"""
    large = ctx.large_release(LARGE_MIB)
    rel = Release(large.version, large.file_name, large.path, FOUR_AND_A_HALF_GIB, large.sha256)
    one_percent = -(-rel.size // 100)
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, get=_breaks_then_refuses(rel, one_percent, length=rel.size))
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, False, False, False, False, False])
    t.download_header(0).progress(0, one_percent, rel.size).asked_again(one_percent)
    t.node_failed().none_completed()
    requests = [M(0), P(0, rel), G(0, rel), R(0, rel)]
    return expect(net, 1, t, requests, _part_files(rel), False, resumed_at=[one_percent])


def redirects(ctx):
    """A redirect to HTTPS is followed (probe and download); one to plain HTTP is not."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    moved = "/mirror/" + rel.file_name
    net.node(0, probe={"redirect": "https://huggingface.co" + moved},
             get={"redirect": "https://huggingface.co" + moved})
    net.route("huggingface.co", moved, {"file": rel.path})
    plain = "http://github.com" + node_path(1, rel.version, rel.file_name)
    net.node(1, probe={"redirect": plain}, get={"redirect": plain})
    net.route("github.com", node_path(1, rel.version, rel.file_name), {"file": rel.path}, port=80)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, False, False, False, False, False]).download_ok(0, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), ("huggingface.co", moved, "probe"), P(1, rel), P(5, rel),
                G(0, rel), ("huggingface.co", moved, "get")]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


def planted(make, where):
    """The run of make with system libraries planted (see planted_dlls.py): where is
    "program" (the program is copied beside them) or "cwd" (they are in the working
    folder). The run must be the same, and none of them may be loaded."""
    def scenario(ctx):
        case = make(ctx)
        case["planted"] = where
        return case
    scenario.__doc__ = "%s, with libraries planted beside the %s" % (
        (make.__doc__ or "A run").split("\n")[0].rstrip("."),
        "program" if where == "program" else "working folder")
    return scenario


def range_ignored_and_longer_body(ctx):
    """A probe answered 200 with the whole file is reachable; bytes past Content-Length are not kept."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, probe={"file": rel.path, "range": False}, get={"file": rel.path, "extra": 4096})
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, False, False, False, False, False]).download_ok(0, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), G(0, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


def tls13_only(ctx, on_nginx=False):
    """A node that speaks only TLS 1.3 is unreachable; the next one is used. On nginx the
    next one speaks only TLS 1.2, and nginx's own log must show the failed handshake."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(1)
    net.host(SLOT_HOSTS[1], tls="1.3")
    net.node(5)
    if on_nginx:
        net.host(SLOT_HOSTS[5], tls="1.2")
        _on_nginx(net)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([False, False, False, False, False, True]).download_ok(5, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), P(5, rel), G(5, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True,
                  tls_failures=[SLOT_HOSTS[1]] if on_nginx else None)


def endless_bodies(ctx):
    """Two nodes send bodies without end, close-delimited and chunked: each attempt stops at
    the release's size, the file never grows past it, and the third node is used. Where the
    attempt stopped, below the size, depends on how the reads fell: its last progress print
    is masked."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    # Rate-limited so that a program which never stops cannot fill the disk
    # before the run's time is up.
    endless = {"file": rel.path, "endless": True, "rate": 16 * 1024 * 1024}
    net.node(0, get=dict(endless, length="none-close"))
    net.node(1, get=dict(endless, length="none-chunked"), delay_ms=STEP_MS)
    net.node(2, delay_ms=2 * STEP_MS)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, True, True, False, False, False])
    t.download_header(0).progress_cut(0, rel.size).node_failed()
    t.download_header(1).progress_cut(1, rel.size).node_failed()
    t.download_ok(2, rel.size).verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), P(1, rel), P(2, rel), G(0, rel), G(1, rel), G(2, rel)]
    # Each attempt writes the part file; only a complete one is moved to the installer's name.
    return expect(net, 0, t, requests, _installed(ctx, rel), True, timeout=30,
                  watch_file=PART_FILE, max_file_size=rel.size,
                  progress_cut_at_failure=True)


def redirect_to_slow_leg(ctx):
    """A node behind a redirect whose target takes 2 s for the TLS handshake and 1.5 s to
    answer: each wait is within its own limit, so the node is reachable and used."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    moved = "/slow-mirror/" + rel.file_name
    target = {"redirect": "https://www.trevalon.app" + moved}
    net.node(0, probe=target, get=target)
    net.route("www.trevalon.app", moved, {"file": rel.path, "delay_ms": 1500})
    net.host("www.trevalon.app", tls_delay_ms=2000)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, False, False, False, False, False]).download_ok(0, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), ("www.trevalon.app", moved, "probe"), G(0, rel),
                ("www.trevalon.app", moved, "get")]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


def cookie_on_redirect(ctx):
    """A node's redirect sets a cookie that its target requires (403 without it), as mirrors
    that hand out download tokens do; the probe and the download both get through."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    moved = "/token-mirror/" + rel.file_name
    target = {"redirect": "https://www.modelscope.cn" + moved, "set_cookie": "mirror_token=e2e-7"}
    net.node(0, probe=target, get=target)
    net.route("www.modelscope.cn", moved, {"file": rel.path, "need_cookie": "mirror_token=e2e-7"})
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, False, False, False, False, False]).download_ok(0, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), ("www.modelscope.cn", moved, "probe"), G(0, rel),
                ("www.modelscope.cn", moved, "get")]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


# ---------------------------------------------------------------- slow nodes and local causes
# The private temporary folder also holds the lock file that keeps a second
# copy out; the harness adds it to every expectation.

THROTTLED = 20000  # bytes per second: the 2 MB release would take 100 s


def slow_node_left(ctx):
    """The fastest-answering node sends at 20 KB/s: it is left after the grace for the next,
    which continues its part."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, get={"file": rel.path, "rate": THROTTLED})
    net.node(1, delay_ms=STEP_MS)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, True, False, False, False, False])
    t.download_header(0).progress_cut(0, rel.size).too_slow()
    t.download_ok(1, rel.size, resumed=True).verified(rel.sha256)
    t.launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), P(1, rel), G(0, rel), R(1, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


def every_node_slow(ctx):
    """Four nodes, all as slow as a slow link makes them: two are left, the third keeps going
    and installs. Each sends at 20 KB/s for its first 8 s (all that the program sees of the
    first two), then at full speed, so that the scenario ends in seconds. Each continues the
    part of the one before."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    slow = {"file": rel.path, "rate": THROTTLED, "rate_for_s": 8}
    for slot in range(4):
        net.node(slot, get=slow, delay_ms=slot * STEP_MS)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, True, True, True, False, False])
    t.download_header(0).progress_cut(0, rel.size).too_slow()
    t.download_header(1).resuming().progress_cut(1, rel.size).too_slow()
    t.download_ok(2, rel.size, resumed=True).verified(rel.sha256)
    t.launched(ctx.installer_path(rel))
    requests = [M(0)] + [P(s, rel) for s in range(4)] + [G(0, rel), R(1, rel), R(2, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


def interrupted_download(ctx):
    """SIGINT in the middle of a download (Ctrl+C): the partial file stays under a name of its
    own, never under the installer's, with the release's digest beside it. The next run
    continues it with a ranged request and installs; the servers send the release about once
    over both runs."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, get={"file": rel.path, "rate": 200000})
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, False, False, False, False, False])
    t.download_header(0).progress_cut(0, rel.size)
    requests = [M(0), P(0, rel), G(0, rel)]
    # Natively the signal ends the process (-2). Wine 8 ends the program at once as
    # well, but reports exit code 0 for it (Windows would give STATUS_CONTROL_C_EXIT).
    code = -2 if ctx.platform == "native" else 0
    again = Net(rel)
    again.manifest(0, {"body": rel.manifest()})
    again.node(0)
    second = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    second.probes([True, False, False, False, False, False])
    second.download_ok(0, rel.size, resumed=True).verified(rel.sha256)
    second.launched(ctx.installer_path(rel))
    then = expect(again, 0, second, [M(0), P(0, rel), R(0, rel)], _installed(ctx, rel), True)
    return expect(net, code, t, requests, _part_files(rel), False,
                  interrupt_at=(PART_FILE, 300000), then=then,
                  max_sent=_allowance(rel))


def _allowance(rel):
    """What the servers may send for a release: 1.05 times its size."""
    return rel.size * 105 // 100


def _broken_at_60(ctx, busy):
    """A 3 MiB release. The fastest node closes the connection after 60 % and, asked again
    for the rest, refuses (503); `busy` nodes after it answer their ranged request with 503;
    the next node, nginx with its own Range answers, sends the remaining 40 %. The servers
    send the release about once."""
    rel = ctx.large_release(3)
    cut = rel.size * 60 // 100
    last = busy + 1
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, get=_breaks_then_refuses(rel, cut))
    for slot in range(1, last):
        net.node(slot, get={"status": 503}, delay_ms=slot * STEP_MS)
    net.node(last, delay_ms=last * STEP_MS)
    net.host(SLOT_HOSTS[last], server="nginx")
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([slot <= last for slot in range(6)])
    t.download_header(0).progress(0, cut, rel.size).asked_again(cut).node_failed()
    for slot in range(1, last):
        t.download_header(slot).node_failed()
    t.download_ok(last, rel.size, resumed=True).verified(rel.sha256)
    t.launched(ctx.installer_path(rel))
    requests = ([M(0)] + [P(slot, rel) for slot in range(last + 1)] + [G(0, rel), R(0, rel)]
                + [R(slot, rel) for slot in range(1, last + 1)])
    return expect(net, 0, t, requests, _installed(ctx, rel), True, resumed_at=[cut] * (last + 1),
                  max_sent=_allowance(rel))


def reset_then_resumed(ctx):
    """The fastest node breaks off after 60 % of a 3 MiB release and refuses to be asked
    again; the next continues the part."""
    return _broken_at_60(ctx, busy=0)


def busy_mirror_keeps_part(ctx):
    """The fastest node breaks off after 60 % of a 3 MiB release and refuses to be asked
    again; the next answers its ranged request with 503, as a busy mirror does, which says
    nothing about the bytes already fetched; the third continues the same part."""
    return _broken_at_60(ctx, busy=1)


def slow_right_node_fast_stale_node(ctx):
    """The node that answers first has the only right file and sends at 20 KB/s (for its
    first 8 s); the next is fast with a stale file of the same size. The slow node is left,
    the stale node continues its part, the stitched file fails its digest, and the slow node,
    taken again and now without a range, installs."""
    rel = ctx.releases["main"]
    stale = ctx.releases["tampered"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, get={"file": rel.path, "rate": THROTTLED, "rate_for_s": 8})
    net.node(1, get={"file": stale.path}, delay_ms=STEP_MS)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, True, False, False, False, False])
    t.download_header(0).progress_cut(0, rel.size).too_slow()
    # The stale file differs from the right one only near its end: what the stale node
    # appended makes the stitched file the stale one.
    t.download_ok(1, rel.size, resumed=True).mismatch(rel.sha256, stale.sha256)
    t.download_ok(0, rel.size).verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), P(1, rel), G(0, rel), R(1, rel), G(0, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True, timeout=90)


def two_copies(ctx):
    """A second copy started 1.5 s after the first, while it downloads: it says so and ends,
    touching neither the network nor the first copy's files. One installer is started."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, get={"file": rel.path, "rate": 700000})  # about 3 s
    first = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    first.probes([True, False, False, False, False, False]).download_ok(0, rel.size)
    first.verified(rel.sha256).launched(ctx.installer_path(rel))
    second = Transcript().banner().already_running()
    requests = [M(0), P(0, rel), G(0, rel)]
    case = expect(net, 0, Transcript(), requests, _installed(ctx, rel), True)
    # Whichever copy takes the lock first installs: under Wine the first one's
    # start may take longer than the second's.
    case["copies"] = {"delay_s": 1.5, "any_order": True,
                      "runs": [(0, first.text()), (1, second.text())]}
    return case


def installer_still_running(ctx):
    """The installer an earlier run started still runs, and Windows locks its file: the next
    run downloads, cannot replace it and says so. No node is blamed, the running file stays
    as it was, and the whole part stays beside it for the run after (Wine)."""
    rel = ctx.releases["holding"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0)
    net.node(1, delay_ms=STEP_MS)
    path = ctx.installer_path(rel)
    first, second = [Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
                     .probes([True, True, False, False, False, False]) for _ in range(2)]
    first.download_ok(0, rel.size).verified(rel.sha256).launched(path)
    second.download_header(0).progress(0, rel.size, rel.size).cannot_replace(path)
    requests = [M(0), P(0, rel), P(1, rel), G(0, rel), M(0), P(0, rel), P(1, rel), G(0, rel)]
    case = expect(net, 0, Transcript(), requests, sorted(_installed(ctx, rel) + _part_files(rel)),
                  True, wait_s=40, timeout=90)
    case["copies"] = {"delay_s": 0.5, "after": rel.file_name + ".ran", "stat": rel.file_name,
                      "runs": [(0, first.text()), (1, second.text())]}
    return case


def small_temp_folder(ctx):
    """A 1 MiB temporary folder and a 2.4 MB release: one clear message before any download,
    exit 2, and nothing left behind."""
    rel = ctx.releases["spacious"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, False, False, False, False, False]).not_enough_space(rel.size, 1048576)
    requests = [M(0), P(0, rel)]
    return expect(net, 2, t, requests, [], False, tmpfs_size="1m")


def foreign_private_folder(ctx):
    """A first run installs; its folder is then handed to another user (another Unix owner,
    which Wine shows as Anonymous Logon, mode 0755). The second run refuses that folder and
    still installs, from a fresh folder of its own beside it (no part to resume there), and
    writes nothing into the other user's."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0)
    first = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    first.probes([True, False, False, False, False, False]).download_ok(0, rel.size)
    first.verified(rel.sha256).launched(ctx.installer_path(rel))
    second = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    second.probes([True, False, False, False, False, False]).download_ok(0, rel.size)
    second.verified(rel.sha256).launched(ctx.fresh().installer_path(rel))
    requests = [M(0), P(0, rel), G(0, rel)]
    then = expect(net, 0, second, requests, _installed(ctx, rel), True, fresh_folder=True)
    return expect(net, 0, first, requests, _installed(ctx, rel), True, then=then,
                  hand_over_to=FOREIGN_UID)


FOREIGN_UID = 65534  # nobody


# ---------------------------------------------------------------- the same cases on nginx
# Every host of these is played by nginx (tests/e2e/nginx_host.py), a server
# this project did not write: its own Range answers, redirects, error pages,
# keep-alive and TLS stack.

SECOND_HOST = "objects.githubusercontent.com"  # where the GitHub node's redirect leads
LARGE_MIB = 64


def _on_nginx(net):
    for setup in net.hosts.values():
        setup["server"] = "nginx"
    return net


def nginx_redirect_install(ctx):
    """The GitHub node redirects probe and download to a second host; paced by limit_rate."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    moved = "/norwick-release-assets/" + rel.file_name
    to = {"redirect": "https://%s%s" % (SECOND_HOST, moved)}
    net.node(1, probe=to, get=to)
    net.route(SECOND_HOST, moved, {"file": rel.path, "rate": rel.size // 2})
    _on_nginx(net)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([False, True, False, False, False, False]).download_ok(1, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), P(1, rel), (SECOND_HOST, moved, "probe"),
                G(1, rel), (SECOND_HOST, moved, "get")]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


def nginx_digest_mismatch(ctx):
    """Node A's nginx serves other bytes of the same size; node F's copy is verified."""
    return digest_mismatch(ctx, on_nginx=True)


def nginx_tls_versions(ctx):
    """nginx limited to TLS 1.3 cannot be reached; nginx limited to TLS 1.2 serves the release."""
    return tls13_only(ctx, on_nginx=True)


def nginx_large_download(ctx):
    """A 64 MiB installer from nginx's static files (sendfile on), verified and started."""
    rel = ctx.large_release(LARGE_MIB)
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(2)
    _on_nginx(net)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([False, False, True, False, False, False]).download_ok(2, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), P(2, rel), G(2, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True, timeout=120)


# ---------------------------------------------------------------- filtering networks
# Hosts that drop every packet, as filters do: each connection attempt waits out
# the probe profile's connect timeout. The sources and the probes go out at
# once, so a run waits for the slowest of them, not for their sum; what it
# prints is what asking them one after another printed.

FAR_MS = [760, 700, 800, 750, 790, 770]  # each node's probe answer, 0.7-0.8 s away


def _dropped(net, *hosts):
    for name in hosts:
        net.host(name, drop=True)


def github_and_huggingface_dropped(ctx):
    """GitHub and Hugging Face drop every packet: their two probes fail after the connect
    timeout, together; the manifest comes from the first source as ever."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    for slot in (0, 2, 3, 4):
        net.node(slot, delay_ms=0 if slot == 4 else STEP_MS + 50 * slot)
    _dropped(net, "github.com", "huggingface.co")
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, False, True, True, True, False]).download_ok(4, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(0)] + [P(s, rel) for s in (0, 2, 3, 4)] + [G(4, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


def first_source_hosts_dropped(ctx):
    """ModelScope, the vendor site and GitHub raw drop every packet; Hugging Face serves the
    manifest, which counts only once the four sources before it have failed."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(4, {"body": rel.manifest()})
    for slot in (1, 2, 3, 4, 5):
        net.node(slot, delay_ms=0 if slot == 5 else STEP_MS + 50 * slot)
    _dropped(net, "www.modelscope.cn", "www.trevalon.app", "raw.githubusercontent.com")
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[3])
    t.probes([False, True, True, True, True, True]).download_ok(5, rel.size)
    t.verified(rel.sha256).launched(ctx.installer_path(rel))
    requests = [M(4)] + [P(s, rel) for s in (1, 2, 3, 4, 5)] + [G(5, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


def far_away_nodes(ctx):
    """Every node answers its probe after 0.7-0.8 s; each keeps its own latency, and the
    nearest (B) is used."""
    rel = ctx.releases["main"]
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    for slot in range(6):
        net.node(slot, delay_ms=FAR_MS[slot])
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True] * 6).download_ok(1, rel.size).verified(rel.sha256)
    t.launched(ctx.installer_path(rel))
    requests = [M(0)] + [P(s, rel) for s in range(6)] + [G(1, rel)]
    return expect(net, 0, t, requests, _installed(ctx, rel), True)


# ---------------------------------------------------------------- several mirrors at once
# Four mirrors (node slots 1 to 4, B to E), each played by nginx limiting every
# connection to 2.5 MiB/s as mirrors limit one client, behind a 12 MiB/s link,
# as bench/split plays them: the 24 MiB release takes one mirror about 10 s and
# the four together about 2.5 s, so helpers join. Their probes answer 150 ms
# apart, ranking them B, C, D, E; a helper's range (bytes=A-B) is a get and comes
# at once. The requests of the downloads depend on how fast each mirror went:
# the harness checks them against the "split" expectations (tests/e2e/run,
# check_split_downloads).

SPLIT_MIB = 24
SPLIT_SLOTS = [1, 2, 3, 4]
SPLIT_RATE = 2560 * 1024
SPLIT_LINK = 12 * 1048576
SPLIT_STEP_MS = 150
MAX_CONNECTIONS = 4  # connections that fetch ranges of one download at most


def _split_net(ctx, rel, stale_slots=(), ranges_ignored_by=None, cut_first_at=None):
    """stale_slots: the nodes that serve the same other file of the release's size.
    cut_first_at: the first node's download ends after that many bytes, and the request
    that asks it again is refused (the Python server plays it: nginx cannot cut a body)."""
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    stale = ctx.large_release(SPLIT_MIB, stale=True)
    for rank, slot in enumerate(SPLIT_SLOTS):
        serve = {"file": stale.path if slot in stale_slots else rel.path, "rate": SPLIT_RATE}
        if slot == ranges_ignored_by:
            serve["range"] = False
        net.node(slot, probe=serve, get=serve, delay_ms=rank * SPLIT_STEP_MS)
    net.link_rate = SPLIT_LINK
    _on_nginx(net)
    if cut_first_at is not None:
        first = SPLIT_SLOTS[0]
        net.node(first, get=_breaks_then_refuses(rel, cut_first_at, rate=SPLIT_RATE))
        del net.hosts[SLOT_HOSTS[first]]["server"]
    return net


def _split_start(rel):
    """The transcript up to the download, and the manifest and probe requests."""
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([slot in SPLIT_SLOTS for slot in range(6)])
    # Node A's host serves the manifest only: its probe is answered 404.
    return t, [M(0)] + [P(slot, rel) for slot in [0] + SPLIT_SLOTS]


def _helpers(added=SPLIT_SLOTS[1:], dropped=(), node_dropped=(), differs=(), any_prefix=False,
             at_least=0, asked_again=(0, 0), loose=False, reserve=(), refetch=(),
             added_any_order=False):
    """The helper lines expected, by kind (node_dropped: the node that started; reserve: the
    nodes set in reserve, in order; refetch: the reserve's lines after a mismatch). any_prefix:
    the helpers that joined may be any first ones of `added` (at least `at_least`), where
    how many join depends on timing; added_any_order: all of `added`, in any order.
    asked_again: the least and the most connections asked again after a break. loose: which
    helpers join, go and wait in reserve depends on how the disagreement was settled: only
    asked_again is compared, and the progress may fall."""
    return {"added": [LABELS[s] for s in added], "dropped": [LABELS[s] for s in dropped],
            "node-dropped": [LABELS[s] for s in node_dropped],
            "differs": [LABELS[s] for s in differs], "reserve": [LABELS[s] for s in reserve],
            "refetch": [LABELS[s] for s in refetch], "any_prefix": any_prefix,
            "added_any_order": added_any_order, "at_least": at_least,
            "asked_again": asked_again, "loose": loose}


def _split(rel, served=SPLIT_SLOTS, first_kind="get", range_200=None, served_any=()):
    """The downloads: the first from node B (a plain GET, or any kind with None), every
    other from a mirror; each of `served` sends part of the release, and at least one of
    `served_any`; range_200: a node that must have answered a ranged request with the whole
    file (200). At most one connection to a host at once, and MAX_CONNECTIONS that fetch
    ranges plus the short one that settles a disagreement in all."""
    return {"first": (SPLIT_SLOTS[0], first_kind), "at_once": MAX_CONNECTIONS + 1, "per_host": 1,
            "nodes": {SLOT_HOSTS[s]: (s, node_path(s, rel.version, rel.file_name))
                      for s in SPLIT_SLOTS},
            "served": list(served), "range_200": range_200, "served_any": list(served_any)}


def _split_allowance(rel):
    """What the servers may send for a release fetched from several mirrors: 1.3 times it."""
    return rel.size * 13 // 10


def _split_install(ctx, helpers, stale_slot=None, ranges_ignored_by=None, served=SPLIT_SLOTS,
                   cut_first_at=None):
    rel = ctx.large_release(SPLIT_MIB)
    stale_slots = () if stale_slot is None else (stale_slot,)
    net = _split_net(ctx, rel, stale_slots, ranges_ignored_by, cut_first_at)
    t, requests = _split_start(rel)
    t.download_ok(SPLIT_SLOTS[0], rel.size, helpers=True).verified(rel.sha256)
    t.launched(ctx.installer_path(rel))
    return expect(net, 0, t, requests, _installed(ctx, rel), True, helpers=helpers,
                  split=_split(rel, served, range_200=ranges_ignored_by),
                  max_sent=_split_allowance(rel), release_size=rel.size)


def four_limited_mirrors(ctx):
    """Four mirrors that each give a connection 2.5 MiB/s, a 24 MiB release: helpers C, D
    and E join node B in rank order, each mirror sends part of the file, and the servers
    send it about once."""
    return _split_install(ctx, _helpers())


def stale_mirror_first(ctx):
    """As four-limited-mirrors, but node B, which ranks first and starts the download,
    serves another file of the same size. C's spot check differs from B: one node each,
    so the best-ranked node's class (B's) writes and C waits in reserve. D's check sides
    with C: their class is larger, so it writes, B waits in reserve, its bytes leave the
    record and C joins again. The release installs without a second whole download."""
    return _split_install(ctx, _helpers(added=[2, 3, 4, 2], added_any_order=True,
                                        reserve=[2, 1]), stale_slot=1)


def stale_mirror_later(ctx):
    """As four-limited-mirrors, but node D, a helper, serves another file of the same size:
    its spot check differs from B, whose class (the best-ranked node's, on a tie) writes,
    and D waits in reserve."""
    return _split_install(ctx, _helpers(reserve=[3]), stale_slot=3)


def mirror_ignores_ranges(ctx):
    """As four-limited-mirrors, but node C answers every range with the whole file (200):
    C is dropped as a helper, the others finish, and the servers send the release about
    once."""
    return _split_install(ctx, _helpers(dropped=[2]), ranges_ignored_by=2,
                          served=[s for s in SPLIT_SLOTS if s != 2])


def first_node_fails_with_helpers(ctx):
    """As four-limited-mirrors, but node B's download breaks off after 3 MiB, once the
    helpers have joined, and B refuses to be asked again: B is dropped, the helpers fetch
    the rest, and the servers send the release about once."""
    return _split_install(ctx, _helpers(node_dropped=[SPLIT_SLOTS[0]], asked_again=(1, 1)),
                          cut_first_at=3 * 1048576)


# What the servers may send where a whole class of nodes served a wrong file: the goal is
# about twice the release; this only catches a download that runs away.
RUNAWAY_FACTOR = 3.5


def two_stale_first(ctx):
    """As four-limited-mirrors, but nodes B and C, which rank first, serve the same other
    file of the release's size; D and E serve the release. B and C agree with each other
    and the file made from their class fails its digest (the mismatch lines, with any
    other digest); the class of D and E then completes the file, which installs. Which
    helpers join and go, and what else is printed between, depends on timing."""
    rel = ctx.large_release(SPLIT_MIB)
    net = _split_net(ctx, rel, stale_slots=SPLIT_SLOTS[:2])
    t, requests = _split_start(rel)
    t.download_header(SPLIT_SLOTS[0]).anything().mismatch_lines(rel.sha256).anything()
    t.whole_file_shown(rel.size).verified(rel.sha256).launched(ctx.installer_path(rel))
    return expect(net, 0, t, requests, _installed(ctx, rel), True, timeout=120,
                  helpers=_helpers(loose=True),
                  split=_split(rel, served=SPLIT_SLOTS[:1], served_any=SPLIT_SLOTS[2:]),
                  max_sent=int(rel.size * RUNAWAY_FACTOR), release_size=rel.size)


# ---------------------------------------------------------------- a broken connection is asked again
# A node whose answer breaks after it sent bytes is asked again at once for the
# rest ("Range: bytes=N-"), with one line that names the megabytes held. Each
# break falls on the first byte of a percentage, so that the progress print
# before it shows exactly the bytes held.

BREAK_ONCE_MIB = 8
BREAK_ONCE_PERCENT = 37  # 3.0 MB of 8 MiB
BREAK_EVERY_BYTES = 300000  # 15 % of the 2 MB release


def _first_byte_of(percent, size):
    """The smallest byte count whose progress shows `percent`."""
    return -(-size * percent // 100)


def _asked_again_install(ctx, rel, get, breaks):
    """Node A alone (the other nodes refuse connections) with the `get` action; its answers
    break after each count of bytes in `breaks`; it is asked again after each, and the
    last answer completes the file."""
    net = Net(rel)
    net.manifest(0, {"body": rel.manifest()})
    net.node(0, get=get)
    t = Transcript().banner().release(rel.version, rel.file_name, rel.size, LABELS[0])
    t.probes([True, False, False, False, False, False]).download_header(0)
    for held in breaks:
        t.progress(0, held, rel.size).asked_again(held)
    t.progress(0, rel.size, rel.size).line_end().verified(rel.sha256)
    t.launched(ctx.installer_path(rel))
    requests = [M(0), P(0, rel), G(0, rel)] + [R(0, rel)] * len(breaks)
    return expect(net, 0, t, requests, _installed(ctx, rel), True, resumed_at=list(breaks),
                  max_sent=_allowance(rel))


def break_once(ctx):
    """One reachable node whose answer to the download breaks once, at 3.0 MB of an 8 MiB
    release: the node is asked again for the rest with "Range: bytes=N-" (N the bytes held),
    and the file installs."""
    rel = ctx.large_release(BREAK_ONCE_MIB)
    cut = _first_byte_of(BREAK_ONCE_PERCENT, rel.size)
    get = {"answers": [{"file": rel.path, "cut": cut}, {"file": rel.path}]}
    return _asked_again_install(ctx, rel, get, [cut])


def break_every_answer(ctx):
    """One reachable node that breaks every answer after 300 kB, as a proxy with a body limit
    does: the node is asked again after each break, every answer brings 300 kB more, and
    the 2 MB release installs after six breaks."""
    rel = ctx.releases["main"]
    get = {"file": rel.path, "cut": BREAK_EVERY_BYTES}
    breaks = list(range(BREAK_EVERY_BYTES, rel.size, BREAK_EVERY_BYTES))
    for held in breaks:  # each break shows in the progress as it is
        assert held == _first_byte_of(held * 100 // rel.size, rel.size)
    return _asked_again_install(ctx, rel, get, breaks)


# The bytes that were on their way when a run was interrupted, per connection:
# what nginx had handed to the kernel and the program had not yet written (one
# 64 KiB stream buffer, and the socket buffers). Both programs lost under 1 MiB
# over their four connections, the overlaps compared included.
IN_FLIGHT_BYTES = 524288


def interrupt_then_resume(ctx):
    """Ctrl+C (SIGINT) once helpers fetch and the download is past 30 %, then a new run:
    it continues every range held and installs. Over both runs the servers send at most
    1.05 times the release, plus what was on its way to each connection."""
    rel = ctx.large_release(SPLIT_MIB)
    net = _split_net(ctx, rel)
    t, requests = _split_start(rel)
    t.download_header(SPLIT_SLOTS[0]).progress_cut(SPLIT_SLOTS[0], rel.size, helpers=True)
    # Natively the signal ends the process (-2); Wine 8 reports 0 for it.
    code = -2 if ctx.platform == "native" else 0
    second, _ = _split_start(rel)
    second.download_ok(SPLIT_SLOTS[0], rel.size, resumed=True, helpers=True)
    second.verified(rel.sha256).launched(ctx.installer_path(rel))
    then = expect(_split_net(ctx, rel), 0, second, requests, _installed(ctx, rel), True,
                  helpers=_helpers(any_prefix=True), split=_split(rel, served=[], first_kind=None))
    several = r"\[%s \+[1-9]\] +[3-6]\d%%" % re.escape(LABELS[SPLIT_SLOTS[0]])
    # The part, its release's digest, and the record of the ranges it holds.
    left = sorted(_part_files(rel) + [PART_FILE + ".ranges"])
    return expect(net, code, t, requests, left, False,
                  helpers=_helpers(any_prefix=True, at_least=1), split=_split(rel, served=SPLIT_SLOTS[:2]),
                  interrupt_output=several, then=then,
                  max_sent=_allowance(rel) + IN_FLIGHT_BYTES * MAX_CONNECTIONS,
                  release_size=rel.size)


# name, function, platforms
SCENARIOS = [
    ("full-install", full_install, ("native", "windows")),
    ("arguments-ignored", arguments_ignored, ("native", "windows")),
    ("non-ascii-temp-folder", non_ascii_temp_folder, ("native", "windows")),
    ("manifest-from-later-source", manifest_from_later_source, ("native", "windows")),
    ("builtin-release-install", builtin_release_install, ("native", "windows")),
    ("no-network", no_network, ("native", "windows")),
    ("every-node-unreachable", every_node_unreachable, ("native", "windows")),
    ("fastest-fails-next-succeeds", fastest_fails_next_succeeds, ("native", "windows")),
    ("all-reachable-nodes-fail", all_reachable_nodes_fail, ("native", "windows")),
    ("digest-mismatch", digest_mismatch, ("native", "windows")),
    ("launch-fails", launch_fails, ("native", "windows")),
    ("probe-stalls", probe_stalls, ("native", "windows")),
    ("chunked-download", chunked_download, ("native", "windows")),
    ("close-delimited-download", close_delimited_download, ("native", "windows")),
    ("redirects", redirects, ("native", "windows")),
    ("length-past-4-gib", length_past_4_gib, ("native", "windows")),
    ("planted-libraries", planted(full_install, "program"), ("windows",)),
    ("planted-libraries-redirects", planted(redirects, "program"), ("windows",)),
    ("planted-libraries-working-folder", planted(full_install, "cwd"), ("windows",)),
    ("range-ignored-longer-body", range_ignored_and_longer_body, ("native", "windows")),
    # Wine 8 has no TLS 1.3 at all, so there the case proves nothing.
    ("tls13-only", tls13_only, ("native",)),
    ("endless-bodies", endless_bodies, ("native", "windows")),
    ("redirect-to-slow-leg", redirect_to_slow_leg, ("native", "windows")),
    ("cookie-on-redirect", cookie_on_redirect, ("native", "windows")),
    ("slow-node-left", slow_node_left, ("native", "windows")),
    ("every-node-slow", every_node_slow, ("native", "windows")),
    ("interrupted-download", interrupted_download, ("native", "windows")),
    ("reset-then-resumed", reset_then_resumed, ("native", "windows")),
    ("busy-mirror-keeps-part", busy_mirror_keeps_part, ("native", "windows")),
    ("slow-right-node-fast-stale-node", slow_right_node_fast_stale_node, ("native", "windows")),
    ("two-copies", two_copies, ("native", "windows")),
    # Only Windows locks a running program's file; a POSIX rename replaces it.
    ("installer-still-running", installer_still_running, ("windows",)),
    ("small-temp-folder", small_temp_folder, ("native", "windows")),
    ("foreign-private-folder", foreign_private_folder, ("native", "windows")),
    ("nginx-redirect-install", nginx_redirect_install, ("native", "windows")),
    ("nginx-digest-mismatch", nginx_digest_mismatch, ("native", "windows")),
    # The program offers TLS 1.1 and 1.2 only, and Wine 8 has no TLS 1.3 at all:
    # unreachable on both, for different reasons.
    ("nginx-tls-versions", nginx_tls_versions, ("native", "windows")),
    ("nginx-large-download", nginx_large_download, ("native", "windows")),
    ("github-huggingface-dropped", github_and_huggingface_dropped, ("native", "windows")),
    ("first-source-hosts-dropped", first_source_hosts_dropped, ("native", "windows")),
    ("far-away-nodes", far_away_nodes, ("native", "windows")),
    ("four-limited-mirrors", four_limited_mirrors, ("native", "windows")),
    ("stale-mirror-first", stale_mirror_first, ("native", "windows")),
    ("stale-mirror-later", stale_mirror_later, ("native", "windows")),
    ("interrupt-then-resume", interrupt_then_resume, ("native", "windows")),
    ("mirror-ignores-ranges", mirror_ignores_ranges, ("native", "windows")),
    ("first-node-fails-with-helpers", first_node_fails_with_helpers, ("native", "windows")),
    ("two-stale-first", two_stale_first, ("native", "windows")),
    ("break-once", break_once, ("native", "windows")),
    ("break-every-answer", break_every_answer, ("native", "windows")),
]
