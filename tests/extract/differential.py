#!/usr/bin/env python3
"""The extract program against real archivers.

Archives are made at test time by GNU tar (gnu, pax and ustar formats) and
by Python's tarfile, compressed by gzip, by zlib at level 0 (stored blocks)
and by Python's gzip with every optional header field. Each is extracted by
our `extract` (as a plain Linux command, without QOR_MACHINE, and for some
inside a hosted machine on its RAM: drive) and by GNU tar; the trees must be
equal byte for byte.

Usage: differential.py <path of the extract program>
"""
import io
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zlib

EXTRACT = os.path.abspath(sys.argv[1])
SUMMARY_PREFIX = "extract: "
SUMMARY_LINE = re.compile(r"^extract: \d+ files, \d+ directories, \d+ skipped$")


def make_source_tree(root):
    """Files that exercise the format: long names, prefixes, empty files,
    sizes around block boundaries, binary data, nested directories."""
    rnd = bytes((i * 7919 + (i >> 3)) & 0xFF for i in range(70000))
    files = {
        "empty": b"",
        "one": b"1",
        "block.bin": rnd[:512],
        "over.bin": rnd[:1025],
        "big.bin": rnd * 3,
        "text/lines.txt": b"".join(b"line %d\n" % i for i in range(5000)),
        "deep/a/b/c/d/e/f/g/file": b"deep",
        "long/" + "n" * 90 + "/" + "m" * 99: b"ustar prefix and name",
        "longer/" + "x" * 200 + "/" + "y" * 90 + ".txt": b"gnu or pax long name",
        "spaces in name/and more": b"spaces",
    }
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(root, "empty dir/inner"), exist_ok=True)


def tree_of(root):
    """Sorted (path, content or None for directories) below root."""
    entries = []
    for base, dirs, files in os.walk(root):
        for d in dirs:
            entries.append((os.path.relpath(os.path.join(base, d), root) + "/", None))
        for name in files:
            p = os.path.join(base, name)
            with open(p, "rb") as f:
                entries.append((os.path.relpath(p, root), f.read()))
    return sorted(entries)


def gnu_tar(src, archive, fmt, extra=()):
    subprocess.run(["tar", "--format=" + fmt, "-cf", archive, "-C", src, *extra, "."], check=True)


def python_tar(src, archive, fmt):
    with tarfile.open(archive, "w", format=fmt) as t:
        for name in sorted(os.listdir(src)):
            t.add(os.path.join(src, name), arcname=name)


def ustar_tar(src, archive):
    # ustar cannot hold the 290-character name: leave that file out.
    gnu_tar(src, archive, "ustar", ["--exclude=longer"])


def gzip_cli(archive, level, name):
    out = archive + (".n%d.gz" % level if name else ".%d.gz" % level)
    flags = ["-c", "-%d" % level] + ([] if name else ["-n"])
    with open(out, "wb") as f:
        subprocess.run(["gzip", *flags, archive], stdout=f, check=True)
    return out


def zlib_stored(archive):
    data = open(archive, "rb").read()
    z = zlib.compressobj(0, zlib.DEFLATED, 31)
    out = archive + ".stored.gz"
    with open(out, "wb") as f:
        f.write(z.compress(data) + z.flush())
    return out


def python_gzip_all_fields(archive):
    """A gzip member with FEXTRA, FNAME, FCOMMENT and FHCRC set, around
    Python's deflate data."""
    data = open(archive, "rb").read()
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = z.compress(data) + z.flush()
    header = b"\x1f\x8b\x08\x1e" + struct.pack("<I", 0) + b"\x02\x03"
    extra = b"AB\x04\x00qor!"
    header += struct.pack("<H", len(extra)) + extra + b"archive.tar\x00" + b"made by the test\x00"
    header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    out = archive + ".fields.gz"
    with open(out, "wb") as f:
        f.write(header + body + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF))
    # Python's own reader must agree that this is valid gzip.
    import gzip
    assert gzip.decompress(open(out, "rb").read()) == data
    return out


def gzip_bytes(data, level):
    """One gzip member of `data` made by the gzip program."""
    return subprocess.run(["gzip", "-c", "-n", "-%d" % level], input=data, stdout=subprocess.PIPE, check=True).stdout


def gzip_members(archive, label, pieces):
    """The archive cut at the offsets given as fractions and each piece
    compressed as a member of its own, the members concatenated (as `cat
    a.gz b.gz` gives). An empty piece makes an empty member."""
    data = open(archive, "rb").read()
    cuts = [int(len(data) * f) for f in pieces]
    bounds = [0] + cuts + [len(data)]
    out = archive + "." + label + ".gz"
    with open(out, "wb") as f:
        for a, b in zip(bounds, bounds[1:]):
            f.write(gzip_bytes(data[a:b], 6))
    return out


def bit_flips(work, failures):
    """Single-bit flips in the deflate data of a small .tar.gz made by GNU
    tar and gzip, with its end-of-archive marker: each flip must fail, or
    extract exactly the original tree; never status 0 with altered files."""
    src = os.path.join(work, "flip-src")
    for rel, data in {"a.txt": b"alpha " * 300, "b/c.bin": bytes(range(256)) * 5, "d.txt": b"delta\n" * 90}.items():
        os.makedirs(os.path.dirname(os.path.join(src, rel)), exist_ok=True)
        with open(os.path.join(src, rel), "wb") as f:
            f.write(data)
    # Fixed times, so the archive and the bits flipped are the same each run.
    for path in (os.path.join(src, "a.txt"), os.path.join(src, "b/c.bin"), os.path.join(src, "d.txt"),
                 os.path.join(src, "b"), src):
        os.utime(path, (1000000000, 1000000000))
    tar = os.path.join(work, "flip.tar")
    gnu_tar(src, tar, "gnu")
    good = open(gzip_cli(tar, 9, False), "rb").read()
    original = os.path.join(work, "flip-original")
    os.makedirs(original)
    subprocess.run(["tar", "-xzf", os.path.join(work, "flip.tar.9.gz"), "-C", original], check=True)
    expected = tree_of(original)
    deflate_bits = (len(good) - 10 - 8) * 8  # between the fixed header (no name) and the trailer
    step = max(1, deflate_bits // 600)
    counts = {"detected by the trailer": 0, "refused while decoding": 0, "refused silently": 0, "unchanged": 0}
    flipped = os.path.join(work, "flipped.tar.gz")
    for bit in range(0, deflate_bits, step):
        data = bytearray(good)
        data[10 + bit // 8] ^= 1 << (bit % 8)
        with open(flipped, "wb") as f:
            f.write(data)
        dest = os.path.join(work, "flip-out")
        shutil.rmtree(dest, ignore_errors=True)
        status, out = run_extract(flipped, dest)
        lines = out.splitlines()
        if status == 0:
            if tree_of(dest) != expected:
                failures.append("bit flip %d: status 0 with altered files" % bit)
            counts["unchanged"] += 1
        elif status != 1 or (lines and (not lines[-1].startswith(SUMMARY_PREFIX) or SUMMARY_LINE.match(lines[-1]))):
            # A failure ends on its own message, never on the summary.
            failures.append("bit flip %d: status %d, output %r" % (bit, status, out[-200:]))
        elif not lines or lines[-1].startswith("extract: skipped "):
            # An entry being skipped (a flipped name or type says so) whose
            # data then cannot be read ends the run without a line of its own.
            counts["refused silently"] += 1
        elif lines[-1] == "extract: gzip checksum mismatch":
            counts["detected by the trailer"] += 1
        else:
            counts["refused while decoding"] += 1
    if counts["detected by the trailer"] == 0:
        failures.append("bit flips: none reached the trailer check %r" % counts)
    print("ok   %-40s %r" % ("bit flips", counts))


def run_extract(archive, dest):
    env = dict(os.environ)
    env.pop("QOR_MACHINE", None)
    # A corrupt archive can name entries in any bytes.
    r = subprocess.run([EXTRACT, archive, dest], capture_output=True, text=True, errors="surrogateescape", env=env,
                       timeout=120)
    return r.returncode, r.stdout


def run_extract_in_machine(archive, work, tag):
    """Runs extract inside a fresh hosted machine with the archive on its
    media; returns status, output and the host path of RAM:/out."""
    machine = os.path.join(work, "machine-" + tag)
    os.makedirs(os.path.join(machine, "media"))
    shutil.copy(archive, os.path.join(machine, "media", "a.tar.gz"))
    env = dict(os.environ, QOR_MACHINE=machine)
    r = subprocess.run([EXTRACT, "RAM:/a.tar.gz", "RAM:/out"], capture_output=True, text=True, env=env, timeout=120)
    return r.returncode, r.stdout, os.path.join(machine, "media", "out")


def main():
    work = tempfile.mkdtemp(prefix="extract-diff-")
    failures = []
    try:
        src = os.path.join(work, "src")
        make_source_tree(src)
        tars = {}
        for fmt in ("gnu", "pax"):
            tars["gnu tar " + fmt] = os.path.join(work, fmt + ".tar")
            gnu_tar(src, tars["gnu tar " + fmt], fmt)
        tars["gnu tar ustar"] = os.path.join(work, "ustar.tar")
        ustar_tar(src, tars["gnu tar ustar"])
        tars["tarfile pax"] = os.path.join(work, "py-pax.tar")
        python_tar(src, tars["tarfile pax"], tarfile.PAX_FORMAT)
        tars["tarfile gnu"] = os.path.join(work, "py-gnu.tar")
        python_tar(src, tars["tarfile gnu"], tarfile.GNU_FORMAT)

        archives = []
        for label, tar in tars.items():
            archives.append((label, tar))
            archives.append((label + ", gzip -1", gzip_cli(tar, 1, False)))
            archives.append((label + ", gzip -9 with name", gzip_cli(tar, 9, True)))
            archives.append((label + ", zlib stored", zlib_stored(tar)))
            archives.append((label + ", all gzip fields", python_gzip_all_fields(tar)))
            archives.append((label + ", two gzip members", gzip_members(tar, "two", [0.37])))
            archives.append((label + ", behind an empty member", gzip_members(tar, "empty-first", [0.0])))

        for i, (label, archive) in enumerate(archives):
            ours = os.path.join(work, "ours%d" % i)
            theirs = os.path.join(work, "theirs%d" % i)
            os.makedirs(theirs)
            subprocess.run(["tar", "-xf", archive, "-C", theirs], check=True)
            status, out = run_extract(archive, ours)
            if "gzip -9" in label:  # the same archive inside a hosted machine
                m_status, m_out, m_tree = run_extract_in_machine(archive, work, str(i))
                if m_status != 0 or m_out != out or tree_of(m_tree) != tree_of(theirs):
                    failures.append("%s in a machine: status %d, output %r" % (label, m_status, m_out))
            lines = out.splitlines()
            ok = status == 0 and lines and lines[-1].startswith(SUMMARY_PREFIX) and "skipped" in lines[-1]
            if not ok:
                failures.append("%s: status %d, output %r" % (label, status, out))
                continue
            if tree_of(ours) != tree_of(theirs):
                a = {p for p, _ in tree_of(ours)}
                b = {p for p, _ in tree_of(theirs)}
                failures.append("%s: trees differ (only ours: %s; only tar's: %s)" % (label, sorted(a - b)[:3], sorted(b - a)[:3]))
            print("ok   %-40s %s" % (label, lines[-1]))
        bit_flips(work, failures)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
