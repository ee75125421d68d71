// The drives the installer may install to, and the target made ready:
// partitioned and formatted by the host, made current, proved writable.
#pragma once

#include "installer_state.h"

constexpr int RUN_PREPARE_FAILED = -102;
constexpr int RUN_SELECT_FAILED = -103;
constexpr int RUN_PROBE_FAILED = -104;

// Host drive services, issued by number.
long disk_count();
long disk_present(long slot);
long disk_prepare(long drive);
long drive_select(long drive);

// Fills drives and drive_count with the first eight usable slots.
void detect_drives(installer_state* s);

// Writes "/.__install_probe" (one byte) on the current drive and removes it:
// 0, or -1 when the write failed.
int write_probe();

// Prepares target_drive for the files: 0, or the run code of the step that
// failed (already reported with error_set).
int prepare_target(installer_state* s);
