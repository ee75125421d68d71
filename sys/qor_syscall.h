// The one door into the kernel: a numbered call with up to three word-sized
// arguments and one signed word result (negative means failure).
//
// On QOR-OS this is a trap instruction; on Linux the hosted machine
// (sys/hosted/) answers it. Programs never call it for something a wrapper
// in qor.h already covers, except the drive services, which the installer
// issues directly by number.
#pragma once

#include <cstdint>

long qor_syscall(long number, long a, long b, long c);

// Pointers travel as words.
inline long qor_word(const void* p) { return static_cast<long>(reinterpret_cast<intptr_t>(p)); }
