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
