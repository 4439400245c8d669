// The real corvel-service binary on Linux, run in the foreground with a
// temporary state root: signals become control codes, SIGUSR1 saves the
// counter, SIGTERM stops the process with exit code 0 and no restart request.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/state_root.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Run notices a stop after its current 5-second counter step; the process
// then ends. Sanitizers slow the start and the exit down.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kStopBound = 15s;
#else
constexpr auto kStopBound = 6s;
#endif

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

TEST(Foreground, SignalsSaveTheCounterAndStopCleanly)
{
    corvel::testing::TemporaryStateRoot stateRoot("corvel-foreground");
    const fs::path& root = stateRoot.path();
    pid_t child = ::fork();
    if (child == 0) {
        int trace = ::open((root / "trace.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(trace, STDERR_FILENO);
        ::setenv("CORVEL_ROOT", root.c_str(), 1);
        ::unsetenv("CORVEL_RESTART_ON_STOP");
        ::unsetenv("NOTIFY_SOCKET");
        ::execl(CORVEL_SERVICE_BINARY, CORVEL_SERVICE_BINARY, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(child, 0);

    fs::path current = root / "registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/Corvel Service/Status/Current";
    // The handler is installed once the service reports running.
    for (int wait = 0; wait < 100 && ReadFile(root / "trace.log").find("SetStatus(1, 4)") == std::string::npos; ++wait) {
        std::this_thread::sleep_for(50ms);
    }
    ::kill(child, SIGUSR1);
    for (int wait = 0; wait < 100 && !fs::exists(current); ++wait) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(fs::exists(current));
    EXPECT_EQ(ReadFile(current), "0\n");

    auto stopAt = std::chrono::steady_clock::now();
    ::kill(child, SIGTERM);
    int status = 0;
    pid_t ended = 0;
    while ((ended = ::waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() - stopAt < 20s) {
        std::this_thread::sleep_for(20ms);
    }
    if (ended == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    auto stopTook = std::chrono::steady_clock::now() - stopAt;
    EXPECT_EQ(ended, child) << "the service did not end after SIGTERM";
    EXPECT_LT(stopTook, kStopBound);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

    std::string trace = ReadFile(root / "trace.log");
    EXPECT_NE(trace.find("CNTService::Handler(128)"), std::string::npos);
    EXPECT_NE(trace.find("No machine restart requested"), std::string::npos);
    EXPECT_NE(trace.find("Leaving CNTService::ServiceMain()"), std::string::npos);
    if (HasFailure()) {
        stateRoot.Keep();
    }
}

// Each switch prints its own lines on standard output and nothing else on the
// terminal: no trace line of the service object's end follows them.
TEST(Foreground, SwitchesPrintOnlyTheirOwnLines)
{
    fs::path root = fs::temp_directory_path() / ("corvel-switches-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "units");
    auto runSwitch = [&](const char* option) {
        pid_t child = ::fork();
        if (child == 0) {
            int out = ::open((root / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open((root / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            ::setenv("CORVEL_ROOT", root.c_str(), 1);
            ::setenv("CORVEL_UNIT_DIR", (root / "units").c_str(), 1);
            ::execl(CORVEL_SERVICE_BINARY, CORVEL_SERVICE_BINARY, option, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << option << " status " << status;
        EXPECT_EQ(ReadFile(root / "stderr"), "") << option;
        return ReadFile(root / "stdout");
    };
    EXPECT_EQ(runSwitch("-v"), "Corvel Service Version 1.0\nThe service is not installed\n");
    EXPECT_EQ(runSwitch("-i"), "Corvel Service installed\n");
    EXPECT_EQ(runSwitch("-u").rfind("Corvel Service removed.", 0), 0u);
    fs::remove_all(root);
}

// Installed from a folder whose name has spaces, the service is registered
// to run exactly that program, and the printed texts name the path as it is.
TEST(Foreground, AProgramUnderAFolderWithSpacesIsRegisteredByItsWholePath)
{
    corvel::testing::TemporaryStateRoot stateRoot("corvel-spaced");
    const fs::path& root = stateRoot.path();
    const fs::path program = root / "Program Files (x86)" / "Corvel" / "corvel-service";
    fs::create_directories(program.parent_path());
    fs::create_directories(root / "units");
    fs::copy_file(CORVEL_SERVICE_BINARY, program);
    auto runSwitch = [&](const char* option) {
        pid_t child = ::fork();
        if (child == 0) {
            int out = ::open((root / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, STDOUT_FILENO);
            ::unsetenv("CORVEL_ROOT");
            ::setenv("CORVEL_UNIT_DIR", (root / "units").c_str(), 1);
            ::execl(program.c_str(), program.c_str(), option, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << option << " status " << status;
        return ReadFile(root / "stdout");
    };
    EXPECT_EQ(runSwitch("-i"), "Corvel Service installed\n");
    const std::string unit = ReadFile(root / "units" / "corvel-service.service");
    EXPECT_NE(unit.find("\nExecStart=\"" + program.string() + "\"\n"), std::string::npos) << unit;
    EXPECT_EQ(runSwitch("-v"), "Corvel Service Version 1.0\nThe service is currently installed\n");
    EXPECT_EQ(runSwitch("-u"), "Corvel Service removed. (You must delete the file (" + program.string() +
                                   ") yourself.)\n");
}

}  // namespace

#endif
