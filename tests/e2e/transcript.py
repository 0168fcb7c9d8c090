"""The installer's console transcript: expected texts, normalisation, comparison.

Expected transcripts are composed from the program's messages, byte for byte.
What varies from run to run is normalised on the actual transcript before the
comparison: Wine's CR LF becomes LF, the probe latencies of OK lines become
"#####" (the ranking is checked through the order of the downloads instead),
and each run of progress prints is reduced to its last print after checking
that the run is well formed (one label, one total, rising percentages). The
last print is deterministic: 100% after a full body, and after a body cut at
a known byte the percentage of that byte. Where the transfer was broken off
by time (a node left as too slow, or the program interrupted), how far it got
is not: the last print before the too-slow line, or at the very end of the
output, shows "###" for its percentage and its megabytes done; so does the
first figure of a download that continues a part, and the line that says
where it continues ("Resuming at ### MB"): the requests' Range headers show
the byte exactly.

A download from several nodes adds a line for each helper node that joins or
is dropped, for a node found serving other bytes (set in reserve) and for the
reserve taking over after a mismatch; its progress label
names the first node plus " +N" for N helpers still at work. Where a scenario
expects helpers, `normalise` takes those lines out into a list of events,
checks that each print's N is no more than the helpers that joined and were
not dropped, and writes every such label with "+#" for N (HELPERS_MASK); the
download's prints then read as one run. They never fall, but where a node's
bytes are dropped as wrong or a stitched file failed its digest: the count
then loses them. A connection that broke and is asked again prints one line
with the megabytes held (BROKEN_LINE): in a download from one node it stays
in the transcript, byte for byte; where helpers join it is taken out as an
event too, since how much was held then depends on timing.

Where a run's path depends on timing more than its outcome does, an expected
transcript may leave parts open: `Transcript.anything()` matches any text and
`mismatch(expected)` without the actual digest matches any other digest
(`matches`).
"""

import re
import unicodedata

LABELS = ["节点A/Node A", "节点B/Node B", "节点C/Node C", "节点D/Node D", "节点E/Node E",
          "节点F/Node F", "节点G/Node G", "节点H/Node H"]
BUILTIN_LABEL = "程序内置/Built-in"
LATENCY_MASK = "#####"
MB = 1048576.0
SIGNATURE_REFUSALS = {
    "not signed": "文件未签名 / Signature refused: not signed",
    "changed": "签名与文件不符 / Signature refused: the signature does not match the file",
    "other publisher": "非本发布者签名 / Signature refused: signed by another publisher",
    "not trusted": "证书不受信任 / Signature refused: certificate not trusted",
}

HELPER_ADDED = "加入辅助节点 / Helper added"
HELPER_DROPPED = "辅助节点已停用 / Helper dropped"
NODE_DROPPED = "节点已停用 / Node dropped"  # the node that started, once helpers joined
NODE_DIFFERS = "节点内容与其他节点不一致 / Node serves different bytes, dropped"
NODE_RESERVE = "节点内容与其他节点不同, 留作后备 / Node serves other bytes, kept in reserve"
RESERVE_FETCHES = "改由其他节点重新下载 / Fetching the file again from the nodes in reserve"
HELPERS_MASK = "+#"
SLOW_LINE = "\r   该节点速度过慢, 切换下一节点 / Node too slow, switching...\n"
FAILED_LINE = "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, switching...\n"
CUT_MASK = "###"
BROKEN_LINE = ("\r   连接中断, 已有 %s MB, 重新请求该节点 / Connection broken with %s MB held,"
               " asking the node again\n")
BROKEN = re.compile(re.escape(BROKEN_LINE).replace("%s", r"(\d+\.\d)"))
MISMATCH_LINE = "   哈希不匹配 / Hash mismatch!\n"
# The last lines of a run in which a check failed (a digest, a signature), and of one in
# which no file was ever complete: every node broke or refused.
ALL_FAILED = ("\n错误: 所有可用节点均未能完成校验, 请稍后重试或手动获取安装包。\n"
              "   Error: all reachable nodes failed verification. Retry later or get the"
              " installer manually.\n")
NONE_COMPLETED = ("\n错误: 所有可用节点均未能完成下载, 请稍后重试或手动获取安装包。\n"
                  "   Error: no reachable node completed the download. Retry later or get the"
                  " installer manually.\n")
# Open parts of an expected transcript (see the module text): text that never occurs in a
# program's output.
ANY = "\0any\0"
OTHER_DIGEST = "\0other than %s\0"


def _label(slot, helpers):
    return LABELS[slot] + " " + HELPERS_MASK if helpers else LABELS[slot]


def _pad_bytes(text, width):
    return text + " " * max(0, width - len(text.encode("utf-8")))


class Transcript:
    """Builds an expected transcript stage by stage, in the program's own words."""

    def __init__(self):
        self.parts = []

    def text(self):
        return "".join(self.parts)

    def _add(self, s):
        self.parts.append(s)
        return self

    def banner(self):
        return self._add("=== Trevalon 在线安装器 / Online Installer v1.2.0 ===\n"
                         "将自动检测多个下载节点并选择最快的节点下载最新版。\n"
                         "Automatically probes multiple download nodes and downloads the latest build"
                         " via the fastest one.\n\n")

    def release(self, version, file_name, size, source_label):
        self._add("[1/4] 获取版本清单 / Fetching version manifest...\n")
        return self._add("   版本/Version v%s  文件/File %s  大小/Size %.1f MB  来源/Source: %s\n"
                         % (version, file_name, size / MB, source_label))

    def probes(self, reachable):
        """reachable: one bool per slot, in slot order."""
        self._add("\n[2/4] 探测候选节点 / Probing candidate nodes...\n")
        for slot, ok in enumerate(reachable):
            label = _pad_bytes(LABELS[slot], 24)
            if ok:
                self._add("   %s  %s ms  [可达/OK]\n" % (label, LATENCY_MASK))
            else:
                self._add("   %s  %5s ms  [不可达/FAIL]\n" % (label, "-"))
        return self

    def no_reachable_node(self):
        return self._add("\n错误: 所有节点均不可达, 请检查网络后重试。\n"
                         "   Error: no reachable node. Check your network and try again.\n")

    def download_header(self, slot):
        return self._add("\n[3/4] 通过最快可用节点下载 / Downloading via node: %s\n" % LABELS[slot])

    def progress(self, slot, done, content_length, helpers=False):
        """The last progress print of a transfer that ended after `done` bytes; helpers: the
        label of a download where helpers may join (see the module text)."""
        return self._add("\r   [%s] %3d%%  (%.1f / %.1f MB)" % (
            _label(slot, helpers), done * 100 // content_length, done / MB, content_length / MB))

    def resuming(self):
        """The line of a download that continues a part (see the module text)."""
        return self._add("   从 %s MB 处继续下载 / Resuming at %s MB\n" % (CUT_MASK, CUT_MASK))

    def download_ok(self, slot, size, progress=True, resumed=False, helpers=False):
        self.download_header(slot)
        if resumed:
            self.resuming()
        if progress:
            self.progress(slot, size, size, helpers)
        return self._add("\n")

    def progress_cut(self, slot, content_length, helpers=False):
        """The last progress print of a transfer broken off by time (see the module text)."""
        return self._add("\r   [%s] %s%%  (%s / %.1f MB)" % (
            _label(slot, helpers), CUT_MASK, CUT_MASK, content_length / MB))

    def too_slow(self):
        return self._add(SLOW_LINE)

    def already_running(self):
        return self._add("错误: 安装器已在运行 / Error: the online installer is already running.\n")

    def not_enough_space(self, need, have):
        return self._add("错误: 临时目录空间不足 / Error: not enough free space in the temp directory"
                         " (need %.1f MB, have %.1f MB)\n" % (need / MB, have / MB))

    def no_temp_directory(self):
        return self._add("错误: 无法获取临时目录 / Error: cannot get temp directory\n")

    def cannot_replace(self, path):
        return self._add("\n错误: 无法写入安装器文件 / Error: cannot write the installer file"
                         " (is it still running?): %s\n" % path)

    def asked_again(self, held):
        """A connection that broke with `held` bytes of the file held, asked again at once."""
        mb = "%.1f" % (held / MB)
        return self._add(BROKEN_LINE % (mb, mb))

    def whole_file_shown(self, size):
        """The end of a progress print that shows the whole file, after any label, and the
        end of its line."""
        return self._add("] 100%%  (%.1f / %.1f MB)\n" % (size / MB, size / MB))

    def line_end(self):
        """The end of a progress line that the next line does not overwrite."""
        return self._add("\n")

    def anything(self):
        """Any text, none included (see the module text)."""
        return self._add(ANY)

    def node_failed(self):
        return self._add("\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete,"
                         " switching...\n")

    def verified(self, sha256):
        self._add("[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n")
        return self._add("   校验通过 / Verified  SHA-256 %s\n" % sha256)

    def mismatch(self, expected, actual):
        self._add("[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n")
        return self.mismatch_lines(expected, actual)

    def mismatch_lines(self, expected, actual=None):
        """The mismatch lines alone, as a stitched file's check prints them; actual None:
        any digest other than the expected one."""
        if actual is None:
            actual = OTHER_DIGEST % expected
        return self._add("%s   期望/Expected: %s\n   实际/Actual:   %s\n" % (MISMATCH_LINE, expected, actual))

    def signature_refused(self, reason):
        """After the verified line, in a pinned build: reason in the program's own words."""
        return self._add("   签名无效: %s\n" % SIGNATURE_REFUSALS[reason])

    def version_refused(self, reason):
        """After the verified line, in a pinned build: the version resource's refusal, the
        line's text after its label."""
        return self._add("   版本信息无效: %s\n" % reason)

    def launched(self, path):
        self._add("   启动安装器 / Launching installer...\n")
        return self._add("\n完成: 安装器已启动 / Installer launched (at %s)\n" % path)

    def launch_failed(self, code, path):
        self._add("   启动安装器 / Launching installer...\n")
        return self._add("\n警告: 安装器启动失败 / Failed to launch installer (code %d), run manually:\n"
                         "   %s\n" % (code, path))

    def all_failed(self):
        """The run's end when a check failed at every node that completed the file."""
        return self._add(ALL_FAILED)

    def none_completed(self):
        """The run's end when no file was ever complete: every node broke or refused."""
        return self._add(NONE_COMPLETED)


def matches(expected, actual):
    """Whether the actual transcript is the expected one, whose open parts (ANY,
    OTHER_DIGEST) match any text and any other digest."""
    if "\0" not in expected:
        return expected == actual
    pattern = []
    for i, piece in enumerate(expected.split("\0")):
        if i % 2 == 0:
            pattern.append(re.escape(piece))
        elif piece == ANY.strip("\0"):
            pattern.append("(?s:.*?)")
        else:
            pattern.append("(?!%s)[0-9a-f]{64}" % piece[len("other than "):])
    return re.fullmatch("".join(pattern), actual) is not None


RESUMING = re.compile(r"   从 \d+\.\d MB 处继续下载 / Resuming at \d+\.\d MB\n")
OK_LINE = re.compile(r"^(   \S+ [A-H] {12})([ \d]*\d)( ms  \[可达/OK\])$", re.M)
PROGRESS = re.compile(r"\r   \[([^\]]*)\] +(\d+)%  \((\d+\.\d) / (\d+\.\d) MB\)")


EVENT_KINDS = {HELPER_ADDED: "added", HELPER_DROPPED: "dropped", NODE_DROPPED: "node-dropped",
               NODE_DIFFERS: "differs", NODE_RESERVE: "reserve", RESERVE_FETCHES: "refetch"}
EVENT_LINE = re.compile(r"(?P<newline>\n?)   (?P<kind>%s): (?P<label>[^\n]*)\n"
                        % "|".join(re.escape(k) for k in EVENT_KINDS))
HELPER_PRINT = re.compile(r"(?P<print_label>\r   \[[^\]+]*?)(?P<plus> \+(?P<count>\d+))?\]"
                          r"(?P<figures> +(?P<percent>\d+)%  \((?P<done>\d+\.\d) / \d+\.\d MB\))")
BROKEN_EVENT = re.compile(BROKEN.pattern.replace(r"(\d+\.\d)", r"(?P<held>\d+\.\d)", 1)
                          .replace(r"(\d+\.\d)", r"(?P=held)"))


def take_helper_events(text, events, problems, falls_allowed=False):
    """Takes the helper lines out of text into events ((kind, label) in order; kind "added",
    "dropped", "node-dropped", "differs", "reserve" (a node set in reserve: its class does
    not write) or "refetch" (the reserve completes the file after a mismatch); and
    ("asked-again", MB held) for a connection asked again after a break), checks each
    progress print's helper count against them, and that the download's prints never fall
    but where a node's bytes left the record (a line says so: differs, reserve, refetch, or
    a stitched file's mismatch), unless falls_allowed, and masks the count. Returns the text
    without those lines."""
    out = []
    pos = 0
    helpers = set()  # the helpers that joined and were not dropped
    last = None  # the last print's figures
    combined = "%s|%s|%s|(?P<mismatch>%s)" % (EVENT_LINE.pattern, HELPER_PRINT.pattern,
                                             BROKEN_EVENT.pattern, re.escape(MISMATCH_LINE))
    for m in re.finditer(combined, text):
        if m.group("mismatch") is not None:
            last = None  # the class whose file failed leaves the count
            continue  # it stays in the text
        out.append(text[pos:m.start()])
        pos = m.end()
        if m.group("held") is not None:
            events.append(("asked-again", m.group("held")))
            continue
        if m.group("print_label") is not None:
            n = int(m.group("count")) if m.group("count") is not None else 0
            if m.group("plus") is not None and n == 0:
                problems.append("a progress label with no helper shows %r" % m.group(0))
            elif n > len(helpers):
                problems.append("progress %r with %d helper(s) at work" % (m.group(0), len(helpers)))
            figures = (int(m.group("percent")), float(m.group("done")))
            if (last is not None and not falls_allowed
                    and (figures[0] < last[0] or figures[1] < last[1])):
                problems.append("progress falls from %d%% to %r" % (last[0], m.group(0)))
            last = figures
            out.append("%s %s]%s" % (m.group("print_label"), HELPERS_MASK, m.group("figures")))
            continue
        before = text[:m.start()]
        if not m.group("newline") and not before.endswith("\n"):
            problems.append("a helper line does not start a line of its own: %r" % m.group(0))
        elif m.group("newline") and not before.endswith("MB)"):
            out.append(m.group("newline"))  # a line end that closes no progress line stays
        kind, label = EVENT_KINDS[m.group("kind")], m.group("label")
        events.append((kind, label))
        if kind == "added":
            helpers.add(label)
        elif kind == "dropped":
            if label not in helpers:
                problems.append("a helper dropped that is not at work: %r" % m.group(0))
            helpers.discard(label)
        elif kind == "node-dropped":
            # The node that started the download, once helpers joined.
            if label in helpers or not any(k == "added" for k, _ in events):
                problems.append("a node dropped that did not start a download with helpers: %r"
                                % m.group(0))
        elif kind == "refetch":
            last = None  # the failed class's bytes no longer count
        else:
            helpers.discard(label)
            last = None  # its bytes, or its class's, may no longer count
    out.append(text[pos:])
    return "".join(out)


def normalise(raw, cut_at_failure=False, helpers=None, falls_allowed=False):
    """Returns (normalised text, latencies of OK lines in print order, problems found).
    cut_at_failure: the last print before a node's failure line is masked as well, for
    transfers stopped where the reads happened to fall. helpers: a list, for a download
    where helpers may join; their lines are taken out into it (take_helper_events, with
    falls_allowed)."""
    text = raw.decode("utf-8", errors="replace").replace("\r\n", "\n")
    problems = []
    latencies = []
    if helpers is not None:
        text = take_helper_events(text, helpers, problems, falls_allowed)

    def mask(m):
        field = m.group(2)
        if len(field) < 5 or (len(field) > 5 and field.startswith(" ")):
            problems.append("latency not right-aligned in 5 places: %r" % m.group(0))
        latencies.append(int(field))
        return m.group(1) + LATENCY_MASK + m.group(3)

    text = OK_LINE.sub(mask, text)
    text = RESUMING.sub("   从 %s MB 处继续下载 / Resuming at %s MB\n" % (CUT_MASK, CUT_MASK), text)
    out = []
    pos = 0
    while True:
        m = PROGRESS.search(text, pos)
        if not m:
            out.append(text[pos:])
            break
        out.append(text[pos:m.start()])
        run = [m]
        end = m.end()
        while True:
            n = PROGRESS.match(text, end)
            if not n:
                break
            run.append(n)
            end = n.end()
        labels = {r.group(1) for r in run}
        totals = {r.group(4) for r in run}
        pcts = [int(r.group(2)) for r in run]
        dones = [float(r.group(3)) for r in run]
        if len(labels) != 1 or len(totals) != 1:
            problems.append("progress prints mix labels or totals: %r" % sorted(labels | totals))
        # Where helpers join, take_helper_events has checked the prints across their lines.
        if helpers is None and (any(b <= a for a, b in zip(pcts, pcts[1:]))
                                or any(b < a for a, b in zip(dones, dones[1:]))):
            problems.append("progress does not rise: %s" % pcts)
        last = run[-1]
        if (text.startswith(SLOW_LINE, end) or end == len(text)
                or (cut_at_failure and text.startswith(FAILED_LINE, end))):
            out.append("\r   [%s] %s%%  (%s / %s MB)" % (last.group(1), CUT_MASK, CUT_MASK,
                                                        last.group(4)))
        else:
            out.append(last.group(0))
        pos = end
    return "".join(out), latencies, problems


def ranked(slots_ok, latencies):
    """Slots of reachable nodes in the order a stable ranking by latency gives."""
    reachable = [s for s, ok in enumerate(slots_ok) if ok]
    if len(reachable) != len(latencies):
        return None
    return [s for _, s in sorted(zip(latencies, reachable), key=lambda p: p[0])]


def _width(s):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in s)


def _cell(s, width):
    s = s.replace("\r", "\\r")
    while _width(s) > width:
        s = s[:-1]
    return s + " " * (width - _width(s))


def side_by_side(expected, actual, width=96):
    """Both transcripts in two columns; '|' marks lines that differ."""
    e = expected.split("\n")
    a = actual.split("\n")
    e = [re.sub(r"\0other than [0-9a-f]{64}\0", "<any other digest>", line).replace(ANY, "<any text>")
         for line in e]
    rows = ["%s   %s" % (_cell("EXPECTED", width), "ACTUAL")]
    for i in range(max(len(e), len(a))):
        le = e[i] if i < len(e) else ""
        la = a[i] if i < len(a) else ""
        mark = " " if le == la and i < len(e) and i < len(a) else "|"
        rows.append("%s %s %s" % (_cell(le, width), mark, la.replace("\r", "\\r")))
    return "\n".join(rows)
