// Window services. Not provided by this machine yet: every call fails.
#include "kernel.h"

namespace hosted {

long window_call(long, long, long, long) { return -1; }

void window_reset() {}

}  // namespace hosted
