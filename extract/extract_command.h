#pragma once

// The extract command: extract <archive.tar|archive.tar.gz> [destination].
// Unpacks a plain or gzip-compressed tar archive into the destination ("."
// when none is given) and prints one summary line. Returns 0 after a complete
// extraction or after printing help, 1 on a usage error or any failure.
// Package installation calls it in process with the arguments "extract",
// archive path, destination.
int install_embedded_extract_main(int argc, char** argv);
