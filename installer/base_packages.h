// The package phase of the installation: the base packages chosen on the
// options screen, each with its dependencies, through the package core.
#pragma once

#include "installer_state.h"

// Loads the package index and installs every selected package of the
// manifest with its install plan, in list order, answering every package
// question with yes: 0, or -1 at the first failure (reported, except for a
// selected package with an empty name). `selected` is the number of selected
// packages, the phase's step count.
int install_base_packages(installer_state* s, int32_t selected);
