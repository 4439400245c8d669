// The program's whereabouts on both platforms: its directory, the state root
// ($CORVEL_ROOT or that directory) and environment lookups, over each
// backend's ModuleFileName.
#include "platform/process.h"

#include <cstdlib>

namespace corvel::platform {

std::string ModuleDirectory()
{
    std::string path = ModuleFileName();
    std::size_t separator = path.find_last_of("/\\");
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

std::string StateRoot()
{
    std::optional<std::string> root = GetEnvironment("CORVEL_ROOT");
    return root && !root->empty() ? *root : ModuleDirectory();
}

std::optional<std::string> GetEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace corvel::platform
