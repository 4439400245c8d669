// COM for a thread on Linux: there is no COM runtime, and the engine's
// COM-style objects need none, so both calls do nothing.
#include "platform/com.h"

namespace corvel::platform {

void InitializeComForThread() {}
void UninitializeComForThread() {}

}  // namespace corvel::platform
