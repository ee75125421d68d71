// The phases that fill and boot-enable the prepared target.
#pragma once

#include "installer_state.h"

// Fills the target from the media and the package cache: 0, or non-zero on
// failure (error_text normally already set).
int install_from_package_manifest(installer_state* s);

// Makes the target bootable: 0, RUN_GRUB_CONFIG_FAILED or
// RUN_BOOTLOADER_FAILED (already reported).
int install_bootloader(installer_state* s);
