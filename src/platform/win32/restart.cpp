// The forced restart on Windows: enable the shutdown privilege, then
// ExitWindowsEx with reboot and force. No result is tested: the stop goes on
// while the restart is under way.
#include "platform/restart.h"

#include <windows.h>

#include "platform/win32/native_handle.h"

namespace corvel::platform {

bool CallRestartHook(RestartRequest& outcome);

RestartRequest RequestForcedRestart()
{
    RestartRequest outcome = RestartRequest::NotRequested;
    if (CallRestartHook(outcome)) {
        return outcome;
    }
    KernelHandle token;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.out())) {
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
        token.reset();
    }
    ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0);
    return RestartRequest::Requested;
}

}  // namespace corvel::platform
