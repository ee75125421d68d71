// The installer program: start-up and the event loop.
#pragma once

#include "installer_state.h"

// Runs the installer with `s` as its state: 1 when no window could be
// attached, else 0 (after a failed installation too).
int installer_run(installer_state* s);
