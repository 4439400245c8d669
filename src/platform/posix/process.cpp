// The executable's full path on Linux, read from /proc/self/exe; the state
// root and the trace's module name are derived from it.
#include "platform/process.h"

#include <climits>
#include <unistd.h>

namespace corvel::platform {

std::string ModuleFileName()
{
    char path[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return std::string();
    }
    return std::string(path, static_cast<std::size_t>(length));
}

}  // namespace corvel::platform
