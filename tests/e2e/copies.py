#!/usr/bin/python3
"""Runs a program twice inside one simulated network (and, for Wine, one wineserver).

    copies.py OUTDIR DELAY_S [--after FILE] [--stat PATH] -- PROGRAM [ARGS...]

Without --after the second copy starts DELAY_S seconds after the first, while
it runs. With --after, the second starts once the first has ended and FILE
exists (the installer it started has run), DELAY_S later. Each copy's standard
output goes to OUTDIR/1.out and OUTDIR/2.out; OUTDIR/copies.json gets their
exit codes and, with --stat, PATH's inode, size and modification time after
each copy (null when it is missing).
"""

import json
import os
import subprocess
import sys
import time


def stat_of(path):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return [st.st_ino, st.st_size, st.st_mtime_ns]


def main():
    args = sys.argv[1:]
    split = args.index("--")
    options, argv = args[:split], args[split + 1:]
    outdir, delay = options[0], float(options[1])
    after = options[options.index("--after") + 1] if "--after" in options else None
    watched = options[options.index("--stat") + 1] if "--stat" in options else None
    os.makedirs(outdir, exist_ok=True)
    report = {"exit_codes": [], "stats": []}
    procs = []
    for copy in (1, 2):
        if copy == 2:
            if after:
                procs[0].wait()
                report["stats"].append(stat_of(watched))
                deadline = time.monotonic() + 30
                while not os.path.exists(after) and time.monotonic() < deadline:
                    time.sleep(0.02)
            time.sleep(delay)
        with open(os.path.join(outdir, "%d.out" % copy), "wb") as out:
            procs.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out))
    for p in procs:
        report["exit_codes"].append(p.wait())
    if watched:
        if not after:
            report["stats"].append(None)
        report["stats"].append(stat_of(watched))
    with open(os.path.join(outdir, "copies.json"), "w") as f:
        json.dump(report, f)
    return 0


if __name__ == "__main__":
    sys.exit(main())
