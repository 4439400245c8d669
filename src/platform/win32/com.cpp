// COM for a thread on Windows: CoInitialize (apartment model) and its
// matching CoUninitialize, for the listener and the probes.
#include "platform/com.h"

#include <objbase.h>

namespace corvel::platform {

void InitializeComForThread()
{
    CoInitialize(nullptr);
}

void UninitializeComForThread()
{
    CoUninitialize();
}

}  // namespace corvel::platform
