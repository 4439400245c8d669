// COM for the calling thread (apartment model). On Linux there is no COM
// runtime: the engine's COM-style objects need none, so these do nothing.
#pragma once

namespace corvel::platform {

// CoInitialize; the result is not tested by the callers.
void InitializeComForThread();
void UninitializeComForThread();

// COM for the calling thread from the owner's construction to its end, on
// every way out of the thread procedure.
class ComForThread {
public:
    ComForThread() { InitializeComForThread(); }
    ~ComForThread() { UninitializeComForThread(); }
    ComForThread(const ComForThread&) = delete;
    ComForThread& operator=(const ComForThread&) = delete;
};

}  // namespace corvel::platform
