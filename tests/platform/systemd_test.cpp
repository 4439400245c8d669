// systemctl as a child process: its exit status and output come back, the
// output kept is bounded, and one that hangs is killed at its time-out.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/systemd.h"

namespace {

namespace fs = std::filesystem;
using corvel::platform::systemd::RunSystemctl;

class Systemctl : public ::testing::Test {
protected:
    void SetUp() override
    {
        directory = fs::temp_directory_path() / ("corvel-systemctl-" + std::to_string(::getpid()));
        fs::remove_all(directory);
        fs::create_directories(directory);
        savedPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
        ::setenv("PATH", (directory.string() + ":" + savedPath).c_str(), 1);
    }
    void TearDown() override
    {
        ::setenv("PATH", savedPath.c_str(), 1);
        fs::remove_all(directory);
    }
    // A systemctl whose body is the given shell text.
    void Script(const std::string& body)
    {
        std::ofstream(directory / "systemctl") << "#!/bin/sh\n" << body << "\n";
        ::chmod((directory / "systemctl").c_str(), 0755);
    }
    fs::path directory;
    std::string savedPath;
};

TEST_F(Systemctl, StatusOutputBoundAndTimeOut)
{
    Script("echo \"$*\"; exit 4");
    std::string output;
    EXPECT_EQ(RunSystemctl({"is-system-running", "--quiet"}, 5000, &output), 4);
    EXPECT_EQ(output, "is-system-running --quiet\n");

    // A flood of output is read to its end, and only the first bytes are kept.
    Script("head -c 1000000 /dev/zero | tr '\\0' x; exit 0");
    output.clear();
    EXPECT_EQ(RunSystemctl({"show"}, 10000, &output), 0);
    EXPECT_EQ(output, std::string(corvel::platform::systemd::kMaxSystemctlOutput, 'x'));

    // One that does not end is killed at its time-out, with or without output read.
    Script("exec sleep 30");
    for (std::string* captured : {static_cast<std::string*>(nullptr), &output}) {
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(RunSystemctl({"daemon-reload"}, 300, captured), -1);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }

    // Not found on PATH.
    fs::remove(directory / "systemctl");
    ::setenv("PATH", directory.c_str(), 1);
    EXPECT_EQ(RunSystemctl({"daemon-reload"}, 1000, nullptr), -1);
}

}  // namespace

#endif
