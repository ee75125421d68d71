// The installation media must be complete before any drive is touched.
#pragma once

#include "installer_state.h"

constexpr int RUN_MEDIA_INCOMPLETE = -101;

// 0 when everything the installation reads is on "RAM:/"; otherwise the
// first missing item is reported with error_set and the result is -101.
int check_installation_media(installer_state* s);
