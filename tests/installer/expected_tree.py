#!/usr/bin/env python3
"""Lays out in a host folder what an installation of a media with the
default options must leave on its drive, by plain copies and tar
extraction: the seeded tools, kernel, index, caches and configuration
trees, and the files of every base package and its dependencies unpacked
into their install directories. (The boot loader's grub.cfg is left out.)

usage: expected_tree.py MEDIA OUT
"""

import hashlib
import json
import os
import shutil
import sys
import tarfile

SEEDED_FILES = [
    ("binaries/install", "binaries/install"),
    ("binaries/extract", "binaries/extract"),
    ("binaries/installer", "binaries/installer"),
    ("boot/kernel.bin", "boot/kernel.bin"),
    ("installer/index.json", "cache/index.json"),
    ("installer/base.pkg", "cache/base.pkg"),
    ("installer/base.manifest", "cache/base.manifest"),
    ("etc/resolv.conf", "etc/resolv.conf"),
    ("installer/index.json.sig", "cache/index.json.sig"),
    ("installer/trusted-keys.pem", "cache/trusted-keys.pem"),
    ("installer/repositories", "cache/repositories"),
]
SEEDED_TREES = ["config", ".view", "icons", "icons16"]


def manifest_names(path):
    names = []
    for line in open(path, encoding="utf-8"):
        line = line.strip()
        if line and not line.startswith("#"):
            names.append(line.split()[0])
    return names


def with_dependencies(names, packages):
    wanted, stack = set(), list(names)
    while stack:
        name = stack.pop()
        if name in wanted:
            continue
        wanted.add(name)
        stack.extend(packages[name].get("deps", []))
    return wanted


def unpack(archive, into):
    os.makedirs(into, exist_ok=True)
    with tarfile.open(archive) as tar:
        tar.extractall(into, filter="data")


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    media, out = sys.argv[1], sys.argv[2]
    for source, target in SEEDED_FILES:
        if os.path.exists(os.path.join(media, source)):
            os.makedirs(os.path.dirname(os.path.join(out, target)), exist_ok=True)
            shutil.copyfile(os.path.join(media, source), os.path.join(out, target))
    # A signed media's index is verified when the base packages load it, and
    # its serial kept in the first serial slot.
    if os.path.exists(os.path.join(media, "installer", "trusted-keys.pem")):
        serial = json.load(open(os.path.join(media, "installer", "index.json"), encoding="utf-8"))["serial"]
        text = f"qor-serial {serial}"
        with open(os.path.join(out, "cache", "serial.a"), "w") as f:
            f.write(f"{text} {hashlib.sha256(text.encode()).hexdigest()}\n")
    for tree in SEEDED_TREES:
        shutil.copytree(os.path.join(media, tree), os.path.join(out, tree), dirs_exist_ok=True)
    # Each installed package's archive is seeded into the package cache from
    # the media's archives, or, when the media has none, the whole base
    # cache is unpacked there; every package installs from the cache.
    cache = os.path.join(out, "cache", "pkg")
    media_pkg = os.path.join(media, "installer", "pkg")
    if not os.path.isdir(media_pkg):
        unpack(os.path.join(media, "installer", "base.pkg"), cache)
    index = json.load(open(os.path.join(media, "installer", "index.json"), encoding="utf-8"))
    packages = {p["name"]: p for p in index["packages"]}
    for name in with_dependencies(manifest_names(os.path.join(media, "installer", "base.manifest")), packages):
        if os.path.isdir(media_pkg):
            os.makedirs(cache, exist_ok=True)
            shutil.copyfile(os.path.join(media_pkg, name + ".pkg"), os.path.join(cache, name + ".pkg"))
        install_dir = os.path.join(out, packages[name]["install_dir"].lstrip("/"))
        unpack(os.path.join(cache, name + ".pkg"), install_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
