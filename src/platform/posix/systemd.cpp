// systemctl as a child process: spawned from PATH, bounded in time and in
// the output kept, reaped before returning (or, for the reboot, left to run).
#include "platform/posix/systemd.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/descriptor.h"
#include "platform/threads.h"

extern char** environ;

namespace corvel::platform::systemd {

namespace {

std::mutex locationsLock;
Locations locations;

std::vector<char*> ArgumentVector(const std::vector<std::string>& arguments, std::string& program)
{
    std::vector<char*> argv;
    argv.push_back(program.data());
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

// Spawns systemctl; its standard output goes to outputFd (or /dev/null when -1).
pid_t Spawn(const std::vector<std::string>& arguments, int outputFd)
{
    std::string program = "systemctl";
    std::vector<char*> argv = ArgumentVector(arguments, program);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // The dispatcher thread blocks the control signals; the child starts
    // with none blocked and their default actions.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t controls;
    sigemptyset(&controls);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE}) {
        sigaddset(&controls, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &controls);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    int result = ::posix_spawnp(&child, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return result == 0 ? child : -1;
}

}  // namespace

Locations CurrentLocations()
{
    std::lock_guard<std::mutex> guard(locationsLock);
    return locations;
}

void SetLocationsForTest(const Locations& replacement)
{
    std::lock_guard<std::mutex> guard(locationsLock);
    locations = replacement;
}

bool Running()
{
    struct stat info{};
    return ::lstat(CurrentLocations().runtimeDirectory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int RunSystemctl(const std::vector<std::string>& arguments, std::uint32_t timeoutMs, std::string* output)
{
    int pipeFds[2] = {-1, -1};
    if (output != nullptr && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    Descriptor readEnd(pipeFds[0]);
    Descriptor writeEnd(pipeFds[1]);
    pid_t child = Spawn(arguments, writeEnd.get());
    writeEnd.reset();  // so that the child's exit ends the read
    if (child < 0) {
        return -1;
    }
    const std::uint64_t deadline = MonotonicMs() + timeoutMs;
    bool timedOut = false;
    if (readEnd) {
        // Read until the child closes its end, keeping the first bytes only.
        for (;;) {
            std::uint64_t now = MonotonicMs();
            if (now >= deadline) {
                timedOut = true;
                break;
            }
            pollfd ready{readEnd.get(), POLLIN, 0};
            int polled = ::poll(&ready, 1, static_cast<int>(deadline - now));
            if (polled < 0 && errno == EINTR) {
                continue;
            }
            if (polled <= 0) {
                timedOut = polled == 0;
                break;
            }
            char chunk[512];
            ssize_t got = ::read(readEnd.get(), chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            std::size_t keep = std::min(static_cast<std::size_t>(got), kMaxSystemctlOutput - output->size());
            output->append(chunk, keep);
        }
        readEnd.reset();
    }
    int status = 0;
    for (;;) {
        pid_t ended = timedOut ? 0 : ::waitpid(child, &status, WNOHANG);
        if (ended == child) {
            break;
        }
        if (ended < 0 && errno != EINTR) {
            return -1;
        }
        if (timedOut || MonotonicMs() >= deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        timespec pause{0, 10 * 1000000L};
        ::nanosleep(&pause, nullptr);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool StartSystemctl(const std::vector<std::string>& arguments)
{
    return Spawn(arguments, -1) > 0;
}

}  // namespace corvel::platform::systemd
