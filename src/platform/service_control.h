// The service control manager: installation records, the control dispatcher
// and status reports. On Linux the installation record is a systemd unit in
// $CORVEL_UNIT_DIR, the dispatcher runs the service in the foreground and
// turns signals into control codes on the main thread, and status reports go
// to systemd over $NOTIFY_SOCKET when it is set.
#pragma once

#include <cstdint>
#include <string>

#include "platform/unique_handle.h"

namespace corvel::platform {

struct ServiceStatus {
    std::uint32_t serviceType;
    std::uint32_t currentState;
    std::uint32_t controlsAccepted;
    std::uint32_t win32ExitCode;
    std::uint32_t serviceSpecificExitCode;
    std::uint32_t checkPoint;
    std::uint32_t waitHint;
};

// The numbers below are the SCM's own (the Windows backend checks each
// against the SDK's name); the Linux backend uses the same values.
inline constexpr std::uint32_t kServiceOwnProcess = 0x10;
inline constexpr std::uint32_t kAcceptStop = 1;

inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;

// The control codes the dispatcher hands to the control handler. User
// controls are kFirstUserControl to 255.
inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlPause = 2;
inline constexpr std::uint32_t kControlContinue = 3;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;
inline constexpr std::uint32_t kFirstUserControl = 128;

struct ScmRecord;
using ScmHandle = ScmRecord*;

inline constexpr std::uint32_t kScManagerAllAccess = 0xF003F;
inline constexpr std::uint32_t kServiceQueryConfig = 0x0001;
inline constexpr std::uint32_t kServiceDelete = 0x10000;
inline constexpr std::uint32_t kServiceChangeConfig = 0x0002;
inline constexpr std::uint32_t kServiceStart = 0x0010;
inline constexpr std::uint32_t kScManagerConnect = 0x0001;

// OpenSCManagerA on the local machine's active database; null on failure.
ScmHandle OpenServiceManager(std::uint32_t access);
// OpenServiceA; null on failure.
ScmHandle OpenInstalledService(ScmHandle manager, const char* name, std::uint32_t access);
// CreateServiceA: own process, automatic start, normal error control,
// LocalSystem, started with `commandLine` (the SCM's binary path: the
// program's path, in double quotes when it holds a space, see
// ServiceCommandLine). Null on failure (last error kept).
ScmHandle CreateOwnProcessService(ScmHandle manager, const char* name, const char* commandLine);

// The command line the SCM is to start a program with. A path with a space
// is quoted: unquoted, the SCM tries each space-separated prefix in turn as a
// program (C:\Program.exe before C:\Program Files (x86)\...), which lets
// whoever can write there run code as LocalSystem.
std::string ServiceCommandLine(const std::string& programPath);

// How the service comes back when its process fails (ends without reporting
// stopped): the SCM restarts it after kRestartDelayMs, every time; a day
// without failure resets the count. A stop is no failure and restarts nothing.
inline constexpr std::uint32_t kRestartDelayMs = 60000;
inline constexpr std::uint32_t kFailureResetSeconds = 86400;
// ChangeServiceConfig2A(SERVICE_CONFIG_FAILURE_ACTIONS) with the restarts
// above; the handle needs change-config and start access. On Linux the unit's
// Restart=on-failure does this and the call only succeeds.
bool SetRestartOnFailure(ScmHandle service);
bool DeleteInstalledService(ScmHandle service);
void CloseScmHandle(ScmHandle handle);
using ScmOwner = UniqueResource<ScmHandle, &CloseScmHandle>;

using ServiceMainProcedure = void (*)(std::uint32_t argc, char** argv);
using ControlHandlerProcedure = void (*)(std::uint32_t code);
using StatusHandle = std::uintptr_t;

// StartServiceCtrlDispatcherA with one entry. Blocks until the service has
// stopped; fails at once when the SCM did not start the process (Windows).
bool RunControlDispatcher(const char* name, ServiceMainProcedure serviceMain);
// RegisterServiceCtrlHandlerA; 0 on failure.
StatusHandle RegisterControlHandler(const char* name, ControlHandlerProcedure handler);
// SetServiceStatus.
bool ReportServiceStatus(StatusHandle handle, const ServiceStatus& status);

// The service running under the SCM keeps its own failure actions: when none
// are set (a package installed it, or an administrator's tool), it sets
// SetRestartOnFailure's; actions an administrator chose are left alone.
// Nothing on Linux.
void KeepRestartOnFailure(const char* name);

// Tests observe status reports through this hook (called as well as the report).
using ServiceStatusHook = void (*)(const ServiceStatus& status, void* context);
void SetServiceStatusHook(ServiceStatusHook hook, void* context);

}  // namespace corvel::platform
