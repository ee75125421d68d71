#!/usr/bin/env python3
"""The seam check's filter on a planted object: each call off the allow-list
is named, those on it are not, and mbedTLS counts only in the TLS code
(its public-key module also in the signature check).

usage: check_seam_test.py CHECK_SEAM PLANTED_OBJECT
"""

import importlib
import os
import shutil
import sys
import tempfile


def main():
    sys.path.insert(0, os.path.dirname(os.path.abspath(sys.argv[1])))
    seam = importlib.import_module("check_seam")
    planted = sys.argv[2]

    names = {seam.bare_name(s) for (_path, s) in seam.violations([planted])}
    want = {"getenv", "mbedtls_ssl_init", "operator new"}
    assert names == want, f"outside the seam: {sorted(names)}, want {sorted(want)}"

    with tempfile.TemporaryDirectory() as tmp:
        as_tls = os.path.join(tmp, "tls_channel.cpp.o")
        shutil.copy(planted, as_tls)
        names = {seam.bare_name(s) for (_path, s) in seam.violations([as_tls])}
        assert names == {"getenv", "operator new"}, f"in the TLS code: {sorted(names)}"
        assert seam.main(["check_seam.py", as_tls]) == 1, "a violation fails the check"

    cases = [  # (symbol, object, allowed)
        ("qor_syscall(long, long, long, long)", "a.o", True),
        ("qor::read(int, void*, unsigned int)", "a.o", True),
        ("__memcpy_chk", "a.o", True),
        ("__fopen_chk", "a.o", False),
        ("qorx::read(int)", "a.o", False),
        ("mbedtls_ssl_read", "http_client.cpp.o", True),
        ("mbedtls_ssl_read", "http_client_extra.cpp.o", False),
        ("mbedtls_pk_verify", "index_signature.cpp.o", True),
        ("mbedtls_pk_verify", "tls_channel.cpp.o", True),
        ("mbedtls_pk_verify", "index_trust.cpp.o", False),
        ("mbedtls_ssl_read", "index_signature.cpp.o", False),
        ("mbedtls_ecdsa_verify", "index_signature.cpp.o", False),
    ]
    for symbol, path, want_allowed in cases:
        assert seam.allowed(symbol, path) == want_allowed, (symbol, path)
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
