// Owners of the Windows backend's native handles: kernel objects, service
// control manager handles, registry keys, event sources and LocalAlloc
// buffers. Every win32 file that holds one closes it through these.
#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

namespace corvel::platform {

using KernelHandle = UniqueResource<HANDLE, &CloseHandle>;
using ServiceManagerHandle = UniqueResource<SC_HANDLE, &CloseServiceHandle>;
using RegistryHandle = UniqueResource<HKEY, &RegCloseKey>;
using EventSourceHandle = UniqueResource<HANDLE, &DeregisterEventSource>;
using LocalMemory = UniqueResource<HLOCAL, &LocalFree>;

}  // namespace corvel::platform
