// The forced machine restart requested when the service stops. On Windows:
// the shutdown privilege and ExitWindowsEx(reboot | force). On Linux a forced
// reboot is requested only when CORVEL_RESTART_ON_STOP=1 (the installed unit
// sets it), and not while systemd is already taking the machine down (power
// off, halt or reboot: systemd stops every unit then, and a forced reboot
// would turn a power-off into a restart); otherwise nothing happens and the
// caller says why.
#pragma once

namespace corvel::platform {

enum class RestartRequest {
    Requested,
    NotRequested,         // not asked for (CORVEL_RESTART_ON_STOP is not 1)
    MachineShuttingDown,  // the machine is going down already
};

RestartRequest RequestForcedRestart();

// Tests replace the request itself (ExitWindowsEx, `systemctl reboot
// --force`): while a hook is set it is called instead, after the decision
// whether to request at all.
using RestartHook = RestartRequest (*)(void* context);
void SetRestartHook(RestartHook hook, void* context);

// Whether the machine is shutting down, as Linux decides it before a request
// (systemd's system state is "stopping"). Tests answer through this hook.
using ShutdownCheckHook = bool (*)(void* context);
void SetShutdownCheckHook(ShutdownCheckHook hook, void* context);

}  // namespace corvel::platform
