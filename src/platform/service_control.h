// The service control manager: installation records, the control dispatcher
// and status reports. On Linux the installation record is a systemd unit in
// $CORVEL_UNIT_DIR, the dispatcher runs the service in the foreground and
// turns signals into control codes on the main thread, and status reports go
// to systemd over $NOTIFY_SOCKET when it is set.
#pragma once

#include <cstdint>

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

// OpenSCManagerA on the local machine's active database; null on failure.
ScmHandle OpenServiceManager(std::uint32_t access);
// OpenServiceA; null on failure.
ScmHandle OpenInstalledService(ScmHandle manager, const char* name, std::uint32_t access);
// CreateServiceA: own process, automatic start, normal error control, the
// given program path, LocalSystem. Null on failure (last error kept).
ScmHandle CreateOwnProcessService(ScmHandle manager, const char* name, const char* programPath);
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

// Tests observe status reports through this hook (called as well as the report).
using ServiceStatusHook = void (*)(const ServiceStatus& status, void* context);
void SetServiceStatusHook(ServiceStatusHook hook, void* context);

}  // namespace corvel::platform
