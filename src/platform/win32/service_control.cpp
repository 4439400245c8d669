// The service control manager on Windows. The dispatcher and the handler are
// called by the SCM with the WINAPI convention, so small trampolines forward
// to the service's own procedures.
#include "platform/service_control.h"

#include <windows.h>

#include <atomic>
#include <vector>

#include "platform/win32/native_handle.h"

namespace corvel::platform {

void NotifyServiceStatusHook(const ServiceStatus& status);

struct ScmRecord {
    ServiceManagerHandle handle;
};

namespace {

// The platform's own names for the numbers the SCM defines.
static_assert(kServiceStopped == SERVICE_STOPPED && kServiceStartPending == SERVICE_START_PENDING &&
              kServiceStopPending == SERVICE_STOP_PENDING && kServiceRunning == SERVICE_RUNNING);
static_assert(kServiceOwnProcess == SERVICE_WIN32_OWN_PROCESS && kAcceptStop == SERVICE_ACCEPT_STOP);
static_assert(kControlStop == SERVICE_CONTROL_STOP && kControlPause == SERVICE_CONTROL_PAUSE &&
              kControlContinue == SERVICE_CONTROL_CONTINUE && kControlInterrogate == SERVICE_CONTROL_INTERROGATE &&
              kControlShutdown == SERVICE_CONTROL_SHUTDOWN);
static_assert(kScManagerAllAccess == SC_MANAGER_ALL_ACCESS && kServiceQueryConfig == SERVICE_QUERY_CONFIG &&
              kServiceDelete == DELETE && kServiceChangeConfig == SERVICE_CHANGE_CONFIG &&
              kServiceStart == SERVICE_START && kScManagerConnect == SC_MANAGER_CONNECT);

std::atomic<ServiceMainProcedure> serviceMainProcedure{nullptr};
std::atomic<ControlHandlerProcedure> controlHandler{nullptr};

void WINAPI ServiceMainTrampoline(DWORD argc, LPSTR* argv)
{
    serviceMainProcedure.load()(argc, argv);
}

void WINAPI ControlHandlerTrampoline(DWORD code)
{
    controlHandler.load()(code);
}

ScmHandle Wrap(SC_HANDLE handle)
{
    ServiceManagerHandle owner(handle);
    return owner ? new ScmRecord{std::move(owner)} : nullptr;
}

// The failure actions as the SCM keeps them: the delay of each action, with
// 0 for an action that is no restart. False when the SCM cannot say.
bool QueryRestartOnFailure(ScmHandle service, std::vector<std::uint32_t>& restartDelaysMs)
{
    restartDelaysMs.clear();
    if (service == nullptr) {
        return false;
    }
    DWORD needed = 0;
    QueryServiceConfig2A(service->handle.get(), SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    if (needed < sizeof(SERVICE_FAILURE_ACTIONSA)) {
        return false;
    }
    // Aligned for the record at its start; the SCM puts its actions after it.
    std::vector<SERVICE_FAILURE_ACTIONSA> buffer(needed / sizeof(SERVICE_FAILURE_ACTIONSA) + 1);
    auto* actions = buffer.data();
    if (!QueryServiceConfig2A(service->handle.get(), SERVICE_CONFIG_FAILURE_ACTIONS, reinterpret_cast<BYTE*>(actions),
                              static_cast<DWORD>(buffer.size() * sizeof(SERVICE_FAILURE_ACTIONSA)), &needed)) {
        return false;
    }
    for (DWORD index = 0; index < actions->cActions && actions->lpsaActions != nullptr; ++index) {
        const SC_ACTION& action = actions->lpsaActions[index];
        restartDelaysMs.push_back(action.Type == SC_ACTION_RESTART ? action.Delay : 0);
    }
    return true;
}

}  // namespace

ScmHandle OpenServiceManager(std::uint32_t access)
{
    return Wrap(OpenSCManagerA(nullptr, nullptr, access));
}

ScmHandle OpenInstalledService(ScmHandle manager, const char* name, std::uint32_t access)
{
    return manager == nullptr ? nullptr : Wrap(OpenServiceA(manager->handle.get(), name, access));
}

ScmHandle CreateOwnProcessService(ScmHandle manager, const char* name, const char* commandLine)
{
    if (manager == nullptr) {
        return nullptr;
    }
    return Wrap(CreateServiceA(manager->handle.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine, nullptr, nullptr, nullptr,
                               nullptr, nullptr));
}

bool DeleteInstalledService(ScmHandle service)
{
    return service != nullptr && DeleteService(service->handle.get()) != 0;
}

void CloseScmHandle(ScmHandle handle)
{
    delete handle;
}

bool SetRestartOnFailure(ScmHandle service)
{
    if (service == nullptr) {
        return false;
    }
    // Three actions: the SCM repeats the last one for every further failure.
    SC_ACTION restarts[3];
    for (SC_ACTION& action : restarts) {
        action.Type = SC_ACTION_RESTART;
        action.Delay = kRestartDelayMs;
    }
    SERVICE_FAILURE_ACTIONSA actions{};
    actions.dwResetPeriod = kFailureResetSeconds;
    actions.cActions = 3;
    actions.lpsaActions = restarts;
    return ChangeServiceConfig2A(service->handle.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &actions) != 0;
}

void KeepRestartOnFailure(const char* name)
{
    ScmOwner manager(OpenServiceManager(SC_MANAGER_CONNECT));
    ScmOwner service(OpenInstalledService(manager.get(), name,
                                          SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_START));
    std::vector<std::uint32_t> delays;
    if (service && (!QueryRestartOnFailure(service.get(), delays) || delays.empty())) {
        SetRestartOnFailure(service.get());
    }
}

bool RunControlDispatcher(const char* name, ServiceMainProcedure serviceMain)
{
    serviceMainProcedure.store(serviceMain);
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(name), ServiceMainTrampoline}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != 0;
}

StatusHandle RegisterControlHandler(const char* name, ControlHandlerProcedure handler)
{
    controlHandler.store(handler);
    return reinterpret_cast<StatusHandle>(RegisterServiceCtrlHandlerA(name, ControlHandlerTrampoline));
}

bool ReportServiceStatus(StatusHandle handle, const ServiceStatus& status)
{
    NotifyServiceStatusHook(status);
    SERVICE_STATUS record{status.serviceType,     status.currentState, status.controlsAccepted,
                          status.win32ExitCode,   status.serviceSpecificExitCode,
                          status.checkPoint,      status.waitHint};
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &record) != 0;
}

}  // namespace corvel::platform
