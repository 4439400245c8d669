#include "support/state_root.h"

#include <atomic>
#include <cstdlib>
#include <system_error>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace corvel::testing {

namespace {

constexpr char kRootVariable[] = "CORVEL_ROOT";

long ProcessId()
{
#if defined(_WIN32)
    return static_cast<long>(::_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

std::string SafeLabel(std::string label)
{
    for (char& c : label) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!plain) {
            c = '_';
        }
    }
    return label;
}

// Names the state root, or with none removes the name.
void SetRootVariable(const std::optional<std::string>& value)
{
    const char* name = kRootVariable;
#if defined(_WIN32)
    ::_putenv_s(name, value ? value->c_str() : "");
#else
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
#endif
}

}  // namespace

TemporaryStateRoot::TemporaryStateRoot(const std::string& label)
{
    static std::atomic<unsigned> made{0};
    path_ = std::filesystem::temp_directory_path() /
            (SafeLabel(label) + "-" + std::to_string(ProcessId()) + "-" + std::to_string(made.fetch_add(1)));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
    if (const char* previous = std::getenv(kRootVariable)) {
        previousRoot_ = previous;
    }
    SetRootVariable(path_.string());
}

TemporaryStateRoot::~TemporaryStateRoot()
{
    SetRootVariable(previousRoot_);
    if (!keep_) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

}  // namespace corvel::testing
