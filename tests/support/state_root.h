// A temporary state root for the tests: a fresh directory under the system's
// temporary directory, named by CORVEL_ROOT while it lives (the previous
// value comes back after), removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvel::testing {

class TemporaryStateRoot {
public:
    // label names the directory (with the process id and a count), so that a
    // directory left behind tells which test made it.
    explicit TemporaryStateRoot(const std::string& label);
    ~TemporaryStateRoot();
    TemporaryStateRoot(const TemporaryStateRoot&) = delete;
    TemporaryStateRoot& operator=(const TemporaryStateRoot&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Leaves the directory in place for a look after a failure.
    void Keep() { keep_ = true; }

private:
    std::filesystem::path path_;
    std::optional<std::string> previousRoot_;
    bool keep_ = false;
};

}  // namespace corvel::testing
