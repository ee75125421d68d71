// The installation started by Enter on the confirmation step, run to its end
// inside that key's handling.
#pragma once

#include "installer_state.h"

constexpr int RUN_GRUB_CONFIG_FAILED = -106;
constexpr int RUN_BOOTLOADER_FAILED = -107;
constexpr int RUN_SEQUENCE_FAILED = -109;

// Media checks, target preparation, installation sequence, boot loader:
// 0 with step = STEP_DONE, or the run code of the first failure with step =
// STEP_FAILED.
int run_installation(installer_state* s);

// The common end of a failed run: makes sure error_text says something,
// prints the failure line, shows the failure screen; returns `code`.
int end_failed_run(installer_state* s, int code);
