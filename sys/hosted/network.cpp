// Network services (resolve, TCP connect/send/receive/close). Not provided
// by this machine yet: every call fails.
#include "kernel.h"

namespace hosted {

long network_call(long, long, long, long) { return -1; }

void network_reset() {}

}  // namespace hosted
