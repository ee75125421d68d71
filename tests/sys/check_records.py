#!/usr/bin/env python3
"""Checks the self-description records in built executables, byte for byte.

usage: check_records.py INSTALLER EXTRACT INSTALL

Command records sit in .qoros.cmdmeta (aligned to 32, each record on a
32-byte boundary, zero bytes between); package records in .qoros.pkgmeta
(aligned to 4). Both must lie in a load segment that is not writable.
"""

import struct
import sys

INSTALLER_CMD = b"QCMD\x01\x00\x00\x00QOR-OS graphical installer.\x00installer\x00\x00"
EXTRACT_CMD = (b"QCMD\x01\x00\x00\x00Extract a TAR or TAR.GZ archive into a directory.\x00"
               b"extract /archive.tar.gz /out\x00\x00")
INSTALL_CMD = (b"QCMD\x01\x00\x00\x00Install packages and their dependencies from the package index.\x00"
               b"install hello\x00\x00")
INSTALLER_PKG = b"QPKG\x01\x00\x00\x00installer\x002\x00\x00"

PT_LOAD = 1
PF_W = 2


def elf_sections(data):
    """name -> (address, offset, size, alignment), and the load segments."""
    if data[:4] != b"\x7fELF" or data[4] not in (1, 2) or data[5] != 1:
        raise SystemExit("not a little-endian ELF file")
    wide = data[4] == 2  # 64-bit; else the 32-bit x86 build
    if wide:
        (e_phoff, e_shoff) = struct.unpack_from("<QQ", data, 0x20)
        header_at = 0x36
    else:
        (e_phoff, e_shoff) = struct.unpack_from("<II", data, 0x1C)
        header_at = 0x2A
    (e_phentsize, e_phnum, e_shentsize, e_shnum, e_shstrndx) = struct.unpack_from("<HHHHH", data, header_at)
    section_format = "<IIQQQQIIQQ" if wide else "<IIIIIIIIII"
    headers = [struct.unpack_from(section_format, data, e_shoff + i * e_shentsize) for i in range(e_shnum)]
    strtab_offset = headers[e_shstrndx][4]
    sections = {}
    for (name, _type, _flags, addr, offset, size, _link, _info, align, _entsize) in headers:
        end = data.index(b"\x00", strtab_offset + name)
        sections[data[strtab_offset + name:end].decode()] = (addr, offset, size, align)
    segments = []
    for i in range(e_phnum):
        at = e_phoff + i * e_phentsize
        if wide:
            (p_type, p_flags, _off, p_vaddr, _paddr, _filesz, p_memsz, _align) = \
                struct.unpack_from("<IIQQQQQQ", data, at)
        else:  # the flags come after the sizes in the 32-bit layout
            (p_type, _off, p_vaddr, _paddr, _filesz, p_memsz, p_flags, _align) = \
                struct.unpack_from("<IIIIIIII", data, at)
        if p_type == PT_LOAD:
            segments.append((p_vaddr, p_memsz, p_flags))
    return sections, segments


def split_records(blob, boundary):
    """The records of a section, checking the zero fill between them."""
    records, at = [], 0
    while at < len(blob):
        if blob[at:at + 4] not in (b"QCMD", b"QPKG"):
            raise AssertionError(f"no record magic at offset {at}")
        end = at + 8
        while True:  # strings until the empty one
            nul = blob.index(b"\x00", end)
            empty = nul == end
            end = nul + 1
            if empty:
                break
        records.append(blob[at:end])
        at = end
        pad_to = (at + boundary - 1) // boundary * boundary
        if at < len(blob):
            if any(blob[at:pad_to]):
                raise AssertionError(f"non-zero bytes between records at {at}")
            at = pad_to
    return records


def check(path, want_cmd, want_pkg):
    data = open(path, "rb").read()
    sections, segments = elf_sections(data)
    for name, want, boundary in ((".qoros.cmdmeta", want_cmd, 32), (".qoros.pkgmeta", want_pkg, 4)):
        if not want:
            continue
        if name not in sections:
            raise AssertionError(f"{path}: no {name} section")
        addr, offset, size, align = sections[name]
        if align != boundary:
            raise AssertionError(f"{path}: {name} aligned to {align}, not {boundary}")
        if addr % boundary:
            raise AssertionError(f"{path}: {name} at {addr:#x}, not on a {boundary}-byte boundary")
        records = split_records(data[offset:offset + size], boundary)
        if sorted(records) != sorted(want):
            raise AssertionError(f"{path}: {name} holds {records!r}, want {want!r}")
        holders = [s for s in segments if s[0] <= addr and addr + size <= s[0] + s[1]]
        if not holders or any(flags & PF_W for (_a, _s, flags) in holders):
            raise AssertionError(f"{path}: {name} is not in a read-only load segment")
    print(f"{path}: records ok")


def main():
    assert len(INSTALLER_CMD) == 47 and len(EXTRACT_CMD) == 88 and len(INSTALLER_PKG) == 21
    assert len(INSTALL_CMD) == 87
    installer, extract, install = sys.argv[1], sys.argv[2], sys.argv[3]
    check(installer, [INSTALLER_CMD, EXTRACT_CMD], [INSTALLER_PKG])
    check(extract, [EXTRACT_CMD], [])
    # The install command links the extractor for in-process unpacking, so
    # it carries the extract record beside its own.
    check(install, [INSTALL_CMD, EXTRACT_CMD], [])
    print("3 passed, 0 failed")


if __name__ == "__main__":
    main()
