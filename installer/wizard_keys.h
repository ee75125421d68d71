// Key codes of the window's key events and the wizard's answer to them.
#pragma once

#include <cstdint>

#include "installer_state.h"

// Q or q in the low byte, however the upper bits are set.
bool key_is_quit(int32_t code);
// Carriage return or line feed in the low byte.
bool key_is_enter(int32_t code);
// The letter `upper` in either case in the low byte.
bool key_is_letter(int32_t code, char upper);
bool key_is_space(int32_t code);

// One key (other than Q) on the current step.
void wizard_handle_key(installer_state* s, int32_t code);
