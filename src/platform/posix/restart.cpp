// The forced restart on Linux: `systemctl reboot --force`, and only when the
// installed unit asked for it with CORVEL_RESTART_ON_STOP=1.
#include "platform/restart.h"

#include <spawn.h>
#include <sys/wait.h>

#include "platform/process.h"

extern char** environ;

namespace corvel::platform {

bool CallRestartHook(RestartRequest& outcome);

RestartRequest RequestForcedRestart()
{
    RestartRequest outcome = RestartRequest::NotRequested;
    if (CallRestartHook(outcome)) {
        return outcome;
    }
    std::optional<std::string> wanted = GetEnvironment("CORVEL_RESTART_ON_STOP");
    if (!wanted || *wanted != "1") {
        return RestartRequest::NotRequested;
    }
    // Not waited for: the stop goes on while the restart is under way.
    char program[] = "systemctl";
    char verb[] = "reboot";
    char force[] = "--force";
    char* arguments[] = {program, verb, force, nullptr};
    pid_t child = 0;
    if (::posix_spawnp(&child, program, nullptr, nullptr, arguments, environ) != 0) {
        return RestartRequest::NotRequested;
    }
    return RestartRequest::Requested;
}

}  // namespace corvel::platform
