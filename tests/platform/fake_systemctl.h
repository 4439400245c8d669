// A stand-in systemctl for the Linux tests: a shell script first on PATH that
// records each call's arguments (one line per call), answers
// `is-system-running` with a state of the test's choosing and fails the verbs
// it is told to fail. It also points the platform's systemd locations (the
// default unit directory, the runtime directory whose presence means that
// systemd runs the machine) into the test's directory. Everything is put back
// when it ends.
#pragma once

#if !defined(_WIN32)

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "platform/posix/systemd.h"

namespace corvel::testing {

class FakeSystemctl {
public:
    // systemdRunning: whether the runtime directory exists.
    FakeSystemctl(const std::filesystem::path& directory, bool systemdRunning) : directory_(directory)
    {
        namespace fs = std::filesystem;
        fs::create_directories(directory_ / "bin");
        fs::create_directories(directory_ / "system-units");
        fs::create_directories(directory_ / "fail");
        if (systemdRunning) {
            fs::create_directories(directory_ / "run-systemd");
        }
        fs::path script = directory_ / "bin" / "systemctl";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "printf '%s\\n' \"$*\" >> '" << (directory_ / "calls").string() << "'\n"
                                 "if [ \"$1\" = is-system-running ]; then cat '" << (directory_ / "state").string()
                              << "' 2>/dev/null; exit 1; fi\n"
                                 "if [ -e '" << (directory_ / "fail").string() << "'/\"$1\" ]; then exit 3; fi\n"
                                 "exit 0\n";
        ::chmod(script.c_str(), 0755);
        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? path : "/usr/bin:/bin";
        ::setenv("PATH", ((directory_ / "bin").string() + ":" + savedPath_).c_str(), 1);
        platform::systemd::SetLocationsForTest(
            {(directory_ / "system-units").string(), (directory_ / "run-systemd").string()});
    }
    ~FakeSystemctl()
    {
        ::setenv("PATH", savedPath_.c_str(), 1);
        platform::systemd::SetLocationsForTest(platform::systemd::Locations{});
    }
    FakeSystemctl(const FakeSystemctl&) = delete;
    FakeSystemctl& operator=(const FakeSystemctl&) = delete;

    // What `systemctl is-system-running` prints.
    void SetState(const std::string& state) const { std::ofstream(directory_ / "state") << state << "\n"; }
    // Calls with this verb exit with status 3.
    void Fail(const std::string& verb) const { std::ofstream(directory_ / "fail" / verb) << ""; }

    std::vector<std::string> Calls() const
    {
        std::ifstream file(directory_ / "calls");
        std::vector<std::string> calls;
        for (std::string line; std::getline(file, line);) {
            calls.push_back(line);
        }
        return calls;
    }
    void ClearCalls() const { std::filesystem::remove(directory_ / "calls"); }

    std::filesystem::path UnitDirectory() const { return directory_ / "system-units"; }

private:
    std::filesystem::path directory_;
    std::string savedPath_;
};

}  // namespace corvel::testing

#endif
