"""Throwaway code-signing PKI for the tests, made with the openssl CLI: CAs, code-signing
certificates (no AIA or CDP URLs, which Wine would try to fetch), the pin of a key (the
SHA-256 of its DER SubjectPublicKeyInfo) and Authenticode signing with osslsigncode."""

import hashlib
import os
import subprocess

SIGNER_EXT = ("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
              "extendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\n"
              "authorityKeyIdentifier=keyid\n")


def openssl(*args, **kw):
    return subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, **kw).stdout


def make_ca(folder, name):
    """A root CA: (certificate, key)."""
    os.makedirs(folder, exist_ok=True)
    cert, key = os.path.join(folder, name + "-ca.pem"), os.path.join(folder, name + "-ca.key")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
            "-subj", "/CN=%s test root" % name, "-keyout", key, "-out", cert,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return cert, key


def make_signer(folder, name, ca, key=None, usage="codeSigning"):
    """A certificate for a new key (or the given one), issued by ca (a pair from make_ca) or
    self-signed when ca is None, for the extended key usage given (code signing unless
    told): (certificate, key)."""
    os.makedirs(folder, exist_ok=True)
    p = lambda suffix: os.path.join(folder, name + suffix)  # noqa: E731
    ext = p(".ext")
    extensions = SIGNER_EXT.replace("codeSigning", usage)
    with open(ext, "w") as f:
        f.write(extensions if ca else extensions.replace("authorityKeyIdentifier=keyid\n", ""))
    if key is None:
        key = p(".key")
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", key)
    openssl("req", "-new", "-key", key, "-subj", "/CN=%s" % name, "-out", p(".csr"))
    if ca:
        openssl("x509", "-req", "-sha256", "-in", p(".csr"), "-CA", ca[0], "-CAkey", ca[1],
                "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", p(".pem"))
    else:
        openssl("x509", "-req", "-sha256", "-in", p(".csr"), "-signkey", key, "-days", "2",
                "-extfile", ext, "-out", p(".pem"))
    return p(".pem"), key


def pin(cert):
    """The pin of a certificate's key: SHA-256 of its DER SubjectPublicKeyInfo, in hex."""
    pem = openssl("x509", "-in", cert, "-pubkey", "-noout")
    der = openssl("pkey", "-pubin", "-outform", "der", input=pem)
    return hashlib.sha256(der).hexdigest()


def sign(source, target, signer, description="Trevalon test installer"):
    """Authenticode-signs source into target with signer, a (certificate, key) pair."""
    if os.path.exists(target):
        os.remove(target)
    subprocess.run(["osslsigncode", "sign", "-certs", signer[0], "-key", signer[1], "-h", "sha256",
                    "-n", description, "-in", source, "-out", target],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def code_offset(data):
    """The file offset of the first byte of a PE file's .text section."""
    pe = int.from_bytes(data[0x3C:0x40], "little")
    sections = int.from_bytes(data[pe + 6:pe + 8], "little")
    table = pe + 24 + int.from_bytes(data[pe + 20:pe + 22], "little")
    for i in range(sections):
        entry = data[table + 40 * i:table + 40 * (i + 1)]
        if entry[:8].rstrip(b"\0") == b".text":
            return int.from_bytes(entry[20:24], "little")
    raise ValueError("no .text section")


def security_directory(data):
    """The file offset of a PE file's security directory entry (the certificate table's
    offset and size)."""
    pe = int.from_bytes(data[0x3C:0x40], "little")
    magic = int.from_bytes(data[pe + 24:pe + 26], "little")
    return pe + 24 + (112 if magic == 0x20B else 96) + 4 * 8


def pad_certificate_table(data, extra):
    """The signed file with extra bytes inside its certificate table, after the signature:
    the entry and the table grow by them, so the header still says where the table ends."""
    entry = security_directory(data)
    table = int.from_bytes(data[entry:entry + 4], "little")
    size = int.from_bytes(data[entry + 4:entry + 8], "little")
    assert table + size == len(data)
    out = bytearray(data + extra)
    out[entry + 4:entry + 8] = (size + len(extra)).to_bytes(4, "little")
    length = int.from_bytes(data[table:table + 4], "little")
    out[table:table + 4] = (length + len(extra)).to_bytes(4, "little")
    return bytes(out)
