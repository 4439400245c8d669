// The executable's full path on Windows (GetModuleFileNameA); the state root,
// the service's installed program path and the database directory use it.
#include "platform/process.h"

#include <windows.h>

namespace corvel::platform {

std::string ModuleFileName()
{
    char path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length);
}

}  // namespace corvel::platform
