// The forced machine restart requested when the service stops. On Windows:
// the shutdown privilege and ExitWindowsEx(reboot | force). On Linux a forced
// reboot is requested only when CORVEL_RESTART_ON_STOP=1 (the installed unit
// sets it); otherwise nothing happens and the caller says so.
#pragma once

namespace corvel::platform {

enum class RestartRequest { Requested, NotRequested };

RestartRequest RequestForcedRestart();

// Tests replace the real request: while a hook is set it is called instead.
using RestartHook = RestartRequest (*)(void* context);
void SetRestartHook(RestartHook hook, void* context);

}  // namespace corvel::platform
