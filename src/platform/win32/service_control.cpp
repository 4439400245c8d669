// The service control manager on Windows. The dispatcher and the handler are
// called by the SCM with the WINAPI convention, so small trampolines forward
// to the service's own procedures.
#include "platform/service_control.h"

#include <windows.h>

#include <atomic>

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
              kServiceDelete == DELETE);

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

}  // namespace

ScmHandle OpenServiceManager(std::uint32_t access)
{
    return Wrap(OpenSCManagerA(nullptr, nullptr, access));
}

ScmHandle OpenInstalledService(ScmHandle manager, const char* name, std::uint32_t access)
{
    return manager == nullptr ? nullptr : Wrap(OpenServiceA(manager->handle.get(), name, access));
}

ScmHandle CreateOwnProcessService(ScmHandle manager, const char* name, const char* programPath)
{
    if (manager == nullptr) {
        return nullptr;
    }
    return Wrap(CreateServiceA(manager->handle.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, programPath, nullptr, nullptr, nullptr,
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
