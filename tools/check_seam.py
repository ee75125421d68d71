#!/usr/bin/env python3
"""Checks that the programs reach the outside only through the seam.

usage: check_seam.py OBJECT...

Lists the undefined symbols of the given object files (the installer's, the
extractor's and the package core's), demangled, leaves out those another of
the given objects defines, and fails naming every remaining symbol that is
not on the allow-list below. On QOR-OS the programs get nothing else: what
the hosted machine's Linux would give them besides is a call the real system
cannot answer.

The allow-list, and why each entry is there:
  - the seam itself: qor_syscall and the qor:: wrappers;
  - the C library's memory, string and character functions, number parsing
    from a string, formatting into a buffer (snprintf, vsnprintf) and the
    heap (malloc, calloc, realloc, free): the small C library the system
    gives every program; with _FORTIFY_SOURCE the compiler calls their
    checked forms (__memcpy_chk and the like), allowed with them;
  - mbedTLS's functions, in the TLS code only: the channel's set-up and
    release (tls_channel) and the HTTPS exchange over it (http_client);
  - mbedTLS's public-key module (mbedtls_pk_*), in the one file that checks
    an index's signature (index_signature) and nowhere else;
  - what the compiler itself calls, which no source line can avoid: the
    stack protector's failure call, the global offset table of 32-bit
    position-independent code and libgcc's 64-bit division on 32-bit x86.
Not on it, on purpose: operator new and delete (the programs allocate
nothing behind their fixed buffers), __cxa_atexit and the __cxa_guard_*
calls (static objects with run-time construction or destruction: hidden
work, and none is needed), and the exception runtime (the programs throw
nothing).
"""

import os
import re
import subprocess
import sys

SEAM = {"qor_syscall"}
SEAM_PREFIX = "qor::"

C_LIBRARY = {
    # memory
    "memcpy", "memmove", "memset", "memcmp", "memchr", "memrchr",
    # strings
    "strlen", "strnlen", "strcmp", "strncmp", "strchr", "strrchr", "strstr",
    "strspn", "strcspn", "strpbrk", "strcpy", "strncpy", "strcat", "strncat",
    "strtol", "strtoul", "strtoll", "strtoull",
    # characters (glibc's tables behind the <ctype.h> macros too)
    "isalnum", "isalpha", "isdigit", "isxdigit", "isspace", "isupper",
    "islower", "isprint", "ispunct", "iscntrl", "tolower", "toupper",
    "__ctype_b_loc", "__ctype_tolower_loc", "__ctype_toupper_loc",
    # formatting into a buffer
    "snprintf", "vsnprintf",
    # the heap
    "malloc", "calloc", "realloc", "free",
}

TLS_PREFIX = "mbedtls_"
TLS_SOURCES = {"tls_channel", "http_client"}
PK_PREFIX = "mbedtls_pk_"
PK_SOURCES = {"index_signature"}

COMPILER = {
    "__stack_chk_fail", "__stack_chk_fail_local",
    "_GLOBAL_OFFSET_TABLE_",
    "__divdi3", "__udivdi3", "__moddi3", "__umoddi3", "__divmoddi4", "__udivmoddi4",
}

FORTIFIED = re.compile(r"^__(\w+)_chk$")


def bare_name(symbol):
    """A demangled function's name without its parameter list."""
    return symbol.split("(", 1)[0]


def source_name(object_path):
    """"tls_channel" for .../tls_channel.cpp.o (CMake) or .../tls_channel.o."""
    name = os.path.basename(object_path)
    for suffix in (".o", ".obj", ".cpp", ".cc"):
        if name.endswith(suffix):
            name = name[:-len(suffix)]
    return name


def allowed(symbol, object_path):
    """Whether `symbol`, undefined in `object_path`, is on the allow-list."""
    name = bare_name(symbol)
    if name in SEAM or name.startswith(SEAM_PREFIX):
        return True
    if name in C_LIBRARY or name in COMPILER:
        return True
    fortified = FORTIFIED.match(name)
    if fortified and fortified.group(1) in C_LIBRARY:
        return True
    if name.startswith(PK_PREFIX) and source_name(object_path) in PK_SOURCES:
        return True
    if name.startswith(TLS_PREFIX):
        return source_name(object_path) in TLS_SOURCES
    return False


def symbols(object_path, which):
    """The demangled symbols nm lists: which is "-u" or "--defined-only"."""
    out = subprocess.run(["nm", "-C", which, object_path], check=True,
                         capture_output=True, text=True).stdout
    names = []
    for line in out.splitlines():
        # "<value> <type> <name>", the value empty for undefined symbols
        parts = line.split(None, 2) if which != "-u" else line.split(None, 1)
        if len(parts) >= 2:
            names.append(parts[-1])
    return names


def violations(object_paths):
    """(object, symbol) for every undefined symbol off the allow-list."""
    defined = set()
    for path in object_paths:
        defined.update(symbols(path, "--defined-only"))
    found = []
    for path in object_paths:
        for symbol in symbols(path, "-u"):
            if symbol not in defined and not allowed(symbol, path):
                found.append((path, symbol))
    return found


def main(argv):
    objects = argv[1:]
    if not objects:
        raise SystemExit(__doc__.split("\n\n")[1])
    found = violations(objects)
    for path, symbol in found:
        print(f"{path}: {symbol} is reached outside the seam")
    print(f"seam check: {len(objects)} objects, {len(found)} symbols outside the allow-list")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
