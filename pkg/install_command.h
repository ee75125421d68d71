// The install command: install [-y] [-n] NAME... and install -l.
#pragma once

// Loads the package index (the copy on the current drive, then the
// network), resolves each named package and installs its plan, dependencies
// first. -y accepts every question, -n prints each plan and installs
// nothing, -l lists the index, -h and --help print the usage. Returns 0 when
// every name was installed (or planned, or listed, or after the help), 1 on
// a usage error or when any name failed; the others are still tried.
int install_command_main(int argc, char** argv);
