// Self-describing records in the executable, read by QOR-OS's tools without
// running the program.
//
// A record: magic (4 bytes), version (32-bit little-endian, 1), then
// NUL-terminated strings, closed by one more NUL. A command record holds a
// one-line description and a usage example; a package record the package
// name and its version text.
//
// Command records live in .qoros.cmdmeta, each on a 32-byte boundary with
// zero bytes between; package records in .qoros.pkgmeta, aligned to 4. Both
// are constant data, so the linker puts them in the read-only load segment.
#pragma once

#define QOR_RECORD_VERSION_1 "\x01\x00\x00\x00"

// The literal's own closing NUL is the record's final empty string.
#define QOR_COMMAND_RECORD(symbol, description, usage)                                        \
    extern const char symbol[];                                                               \
    __attribute__((section(".qoros.cmdmeta"), aligned(32), used)) const char symbol[] = "QCMD" QOR_RECORD_VERSION_1 description "\0" usage "\0"

#define QOR_PACKAGE_RECORD(symbol, name, version)                                            \
    extern const char symbol[];                                                              \
    __attribute__((section(".qoros.pkgmeta"), aligned(4), used)) const char symbol[] = "QPKG" QOR_RECORD_VERSION_1 name "\0" version "\0"
