// A temporary hosted machine (on tmpfs where there is one) shared by every
// run of a fuzz target: inputs are written to its media (RAM:) and read back
// through the system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace extract_fuzz {

// The machine's directory; made and selected on the first call.
const std::string& machine_dir();

// Writes `data` to RAM:/<name> on the machine.
void write_media_file(const std::string& name, const uint8_t* data, size_t size);

}  // namespace extract_fuzz
