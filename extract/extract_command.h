#pragma once

// The extract command: extract <archive> <destination>. Returns the
// process's exit status (0 on success).
int install_embedded_extract_main(int argc, char** argv);
