// systemd as the Linux substitutes use it: whether it runs the machine, where
// the installed unit lies, and `systemctl` run as a child process (found on
// PATH) for the installation, the shutdown check and the forced reboot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvel::platform::systemd {

struct Locations {
    // Where -i writes the unit when CORVEL_UNIT_DIR is not set.
    std::string defaultUnitDirectory = "/etc/systemd/system";
    // Exists while systemd runs the machine (what sd_booted tests).
    std::string runtimeDirectory = "/run/systemd/system";
};

Locations CurrentLocations();
// Tests point both at temporary directories.
void SetLocationsForTest(const Locations& locations);

bool Running();

// A systemctl that has not ended after this long is killed and counts as failed.
inline constexpr std::uint32_t kSystemctlTimeoutMs = 10000;
// At most this much of its standard output is kept.
inline constexpr std::size_t kMaxSystemctlOutput = 4096;

// Runs systemctl with the arguments, standard input and error on /dev/null,
// and waits for it: its exit status, or -1 when it could not be started or
// did not end within timeoutMs. Its standard output goes to *output when given.
int RunSystemctl(const std::vector<std::string>& arguments, std::uint32_t timeoutMs = kSystemctlTimeoutMs,
                 std::string* output = nullptr);

// Starts systemctl with the arguments without waiting for it.
bool StartSystemctl(const std::vector<std::string>& arguments);

}  // namespace corvel::platform::systemd
