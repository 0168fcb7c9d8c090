"""Stand-ins for the Trevalon installer, made for the end-to-end tests and the demo.

Natively the installer is a shell script named *.exe (the launch makes it
executable and runs it); for Wine it is installer/marker.c built with mingw.
Both leave "<their own path>.ran" holding "argc=N" and "cwd=<the folder they
run in>" to prove that they ran, and where, and
are padded with deterministic filler to the size a test wants (a PE file
ignores bytes after its image; the script never reads past its "exit").
"""

import hashlib
import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))


def padding(seed, n):
    """Deterministic, incompressible filler."""
    out = bytearray()
    counter = 0
    while len(out) < n:
        out += hashlib.sha256(b"%s-%d" % (seed.encode(), counter)).digest()
        counter += 1
    return bytes(out[:n])


def script_installer(version, size, message=None):
    """A shell script named *.exe: it records that it ran next to itself (natively)."""
    text = "#!/bin/sh\n# Trevalon %s test installer: leaves \"$0.ran\" to show it ran.\n" % version
    if message:
        text += "sleep 0.3\necho '%s'\n" % message
    text += 'printf "argc=%d\\ncwd=%s\\n" $(($# + 1)) "$(pwd -P)" > "$0.ran"\n'
    text += "exit 0\n"
    head = text.encode()
    seed = padding("script-" + version, size // 2 + 64)
    lines = [b"# " + seed[i:i + 30].hex().encode() + b"\n" for i in range(0, len(seed), 30)]
    data = head + b"".join(lines)
    assert len(data) >= size
    return data[:size - 1] + b"\n"


def pe_installer(marker_exe, version, size):
    with open(marker_exe, "rb") as f:
        data = f.read()
    return data + padding("pe-" + version, size - len(data))


def write_if_changed(path, data):
    if os.path.exists(path):
        with open(path, "rb") as f:
            if f.read() == data:
                return
    with open(path, "wb") as f:
        f.write(data)


# What a test installer's version resource says but for its product and version: the
# OriginalFilename of the build's default TREVALON_INSTALLER_ORIGINAL_FILENAME, a release
# build, an application.
RESOURCE_DEFAULTS = {"ORIGINAL_FILENAME": "Trevalon-setup.exe", "FILE_FLAGS": "0",
                     "FILE_TYPE": "VFT_APP"}


def resource_script(product, version, resource=None):
    """installer/version.rc.in filled in: ProductName, version as "0.8.0.0", and what else
    it says over RESOURCE_DEFAULTS."""
    with open(os.path.join(HERE, "installer", "version.rc.in")) as f:
        script = f.read().replace("@PRODUCT_NAME@", product)
    script = script.replace("@PRODUCT_VERSION@", version.replace(".", ","))
    for key, value in dict(RESOURCE_DEFAULTS, **(resource or {})).items():
        script = script.replace("@%s@" % key, value)
    return script


def compile_marker(out, demo_message=None, hold_ms=None, version_resource=None, resource=None,
                   link=(), script=None):
    """version_resource: (ProductName, version) for a version resource such as a real
    installer carries (installer/version.rc.in), version as "0.8.0.0"; None for none.
    resource: what else it says, over RESOURCE_DEFAULTS; script: a resource script of its own
    instead; link: more options of the link (-shared for a DLL)."""
    os.makedirs(os.path.dirname(out), exist_ok=True)
    command = ["x86_64-w64-mingw32-gcc", "-Wall", "-Wextra", "-Werror", "-Os", "-s",
               "-Wl,--no-insert-timestamp", "-o", out + ".tmp", os.path.join(HERE, "installer", "marker.c")]
    if demo_message:
        command.insert(1, '-DDEMO_MESSAGE="%s"' % demo_message)
    if hold_ms:
        command.insert(1, "-DHOLD_MS=%d" % hold_ms)
    if version_resource:
        script = resource_script(*version_resource, resource)
    if script:
        with open(out + ".rc", "w") as f:
            f.write(script)
        subprocess.run(["x86_64-w64-mingw32-windres", out + ".rc", "-O", "coff", "-o", out + ".res.o"],
                       check=True)
        command.append(out + ".res.o")
    subprocess.run(command + list(link), check=True)
    with open(out + ".tmp", "rb") as f:
        write_if_changed(out, f.read())
    os.remove(out + ".tmp")
