// The forced restart on Linux: `systemctl reboot --force`, only when the
// installed unit asked for it with CORVEL_RESTART_ON_STOP=1, and not when the
// stop is part of the machine's own shutdown.
#include "platform/restart.h"

#include "platform/posix/systemd.h"
#include "platform/process.h"

namespace corvel::platform {

bool CallRestartHook(RestartRequest& outcome);
bool CallShutdownCheckHook(bool& shuttingDown);

namespace {

// systemctl answers at once; a manager too busy to answer within this long
// is not taken for one that is shutting down.
constexpr std::uint32_t kStateQueryTimeoutMs = 3000;

// systemd stops every unit when the machine powers off, halts or reboots,
// and while it does its system state is "stopping" (the shutdown target is
// active or queued).
bool MachineShuttingDown()
{
    bool shuttingDown = false;
    if (CallShutdownCheckHook(shuttingDown)) {
        return shuttingDown;
    }
    if (!systemd::Running()) {
        return false;
    }
    std::string state;
    systemd::RunSystemctl({"is-system-running"}, kStateQueryTimeoutMs, &state);
    while (!state.empty() && (state.back() == '\n' || state.back() == '\r' || state.back() == ' ')) {
        state.pop_back();
    }
    return state == "stopping";
}

}  // namespace

RestartRequest RequestForcedRestart()
{
    std::optional<std::string> wanted = GetEnvironment("CORVEL_RESTART_ON_STOP");
    if (!wanted || *wanted != "1") {
        return RestartRequest::NotRequested;
    }
    if (MachineShuttingDown()) {
        return RestartRequest::MachineShuttingDown;
    }
    RestartRequest outcome = RestartRequest::NotRequested;
    if (CallRestartHook(outcome)) {
        return outcome;
    }
    // Not waited for: the stop goes on while the restart is under way.
    return systemd::StartSystemctl({"reboot", "--force"}) ? RestartRequest::Requested : RestartRequest::NotRequested;
}

}  // namespace corvel::platform
