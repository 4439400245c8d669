// The running program's own whereabouts: its full path, its directory, the
// state root and the environment.
#pragma once

#include <optional>
#include <string>

namespace corvel::platform {

// The executable's full path (GetModuleFileNameA; /proc/self/exe on Linux).
std::string ModuleFileName();

// The directory of the executable, without a trailing separator.
std::string ModuleDirectory();

// Where the Linux substitutes keep their state: $CORVEL_ROOT, or the
// executable's directory when it is unset or empty.
std::string StateRoot();

std::optional<std::string> GetEnvironment(const char* name);

}  // namespace corvel::platform
