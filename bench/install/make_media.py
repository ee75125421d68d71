#!/usr/bin/env python3
"""Grows a sample media into a benchmark media: COUNT more base packages of
about SIZE_MB each (a few compressible text files and a random blob), all
named in the base manifest, carried in installer/pkg/ and in base.pkg.

usage: make_media.py MEDIA COUNT SIZE_MB
"""

import gzip
import hashlib
import io
import json
import os
import random
import sys
import tarfile


def tar_gz(files):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for path in sorted(files):
            info = tarfile.TarInfo(path)
            info.size = len(files[path])
            tar.addfile(info, io.BytesIO(files[path]))
    out = io.BytesIO()
    with gzip.GzipFile(fileobj=out, mode="wb", mtime=0, compresslevel=6) as gz:
        gz.write(raw.getvalue())
    return out.getvalue()


def package_files(name, size, rng):
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(2000)]
    files = {name: f"{name}: benchmark package\n".encode()}
    text_bytes = size // 4
    for i in range(8):
        lines = []
        total = 0
        while total < text_bytes // 8:
            line = " ".join(rng.choice(words) for _ in range(12)) + "\n"
            lines.append(line)
            total += len(line)
        files[f"share/{name}/doc{i}.txt"] = "".join(lines).encode()
    files[f"lib/{name}.bin"] = rng.randbytes(size - text_bytes)
    return files


def main():
    media, count, size_mb = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    rng = random.Random(7)
    index_path = os.path.join(media, "installer", "index.json")
    index = json.load(open(index_path))
    manifest = open(os.path.join(media, "installer", "base.manifest")).read()
    for n in range(count):
        name = f"bench{n:02d}"
        archive = tar_gz(package_files(name, int(size_mb * 1024 * 1024), rng))
        with open(os.path.join(media, "installer", "pkg", name + ".pkg"), "wb") as f:
            f.write(archive)
        index["packages"].append({
            "name": name, "version": "1.0", "system": True,
            "url": f"http://packages.qoros.invalid/pkg/{name}.tar.gz",
            "sha256": hashlib.sha256(archive).hexdigest(),
            "install_dir": f"/opt/{name}", "install_name": name, "deps": [],
        })
        manifest += name + "\n"
    with open(index_path, "w") as f:
        json.dump(index, f, indent=2)
    with open(os.path.join(media, "installer", "base.manifest"), "w") as f:
        f.write(manifest)
    pkg_dir = os.path.join(media, "installer", "pkg")
    archives = {name: open(os.path.join(pkg_dir, name), "rb").read() for name in os.listdir(pkg_dir)}
    with open(os.path.join(media, "installer", "base.pkg"), "wb") as f:
        f.write(tar_gz(archives))
    return 0


if __name__ == "__main__":
    sys.exit(main())
