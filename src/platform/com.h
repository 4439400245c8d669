// COM for the calling thread (apartment model). On Linux there is no COM
// runtime: the engine's COM-style objects need none, so these do nothing.
#pragma once

namespace corvel::platform {

// CoInitialize; the result is not tested by the callers.
void InitializeComForThread();
void UninitializeComForThread();

}  // namespace corvel::platform
