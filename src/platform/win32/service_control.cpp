// The service control manager on Windows. The dispatcher and the handler are
// called by the SCM with the WINAPI convention, so small trampolines forward
// to the service's own procedures.
#include "platform/service_control.h"

#include <windows.h>

#include <atomic>

namespace corvel::platform {

void NotifyServiceStatusHook(const ServiceStatus& status);

struct ScmRecord {
    SC_HANDLE handle;
};

namespace {

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
    return handle == nullptr ? nullptr : new ScmRecord{handle};
}

}  // namespace

ScmHandle OpenServiceManager(std::uint32_t access)
{
    return Wrap(OpenSCManagerA(nullptr, nullptr, access));
}

ScmHandle OpenInstalledService(ScmHandle manager, const char* name, std::uint32_t access)
{
    return manager == nullptr ? nullptr : Wrap(OpenServiceA(manager->handle, name, access));
}

ScmHandle CreateOwnProcessService(ScmHandle manager, const char* name, const char* programPath)
{
    if (manager == nullptr) {
        return nullptr;
    }
    return Wrap(CreateServiceA(manager->handle, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, programPath, nullptr, nullptr, nullptr,
                               nullptr, nullptr));
}

bool DeleteInstalledService(ScmHandle service)
{
    return service != nullptr && DeleteService(service->handle) != 0;
}

void CloseScmHandle(ScmHandle handle)
{
    if (handle != nullptr) {
        CloseServiceHandle(handle->handle);
        delete handle;
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
