// CNTService's status record, dispatcher connection, control handling and
// event reports; the command line and installation are in command_line.cpp.
#include "service/cntservice.h"

#include <cstdarg>
#include <cstring>
#include <exception>

#include "platform/restart.h"
#include "platform/threads.h"

CNTService* serviceInstance = nullptr;

namespace {

// ERROR_EXCEPTION_IN_SERVICE: the exit code of a service thread that an
// exception ended.
constexpr std::uint32_t kExceptionInServiceExitCode = 1064;

using corvel::platform::kControlContinue;
using corvel::platform::kControlInterrogate;
using corvel::platform::kControlPause;
using corvel::platform::kControlShutdown;
using corvel::platform::kControlStop;
using corvel::platform::kEventControlHandlerNotInstalled;
using corvel::platform::kEventInitializationFailed;
using corvel::platform::kEventStarted;
using corvel::platform::kEventStopped;
using corvel::platform::kEventUnsupportedRequest;
using corvel::platform::kFirstUserControl;

}  // namespace

CNTService::CNTService(const char* name)
    : status{corvel::platform::kServiceOwnProcess, corvel::platform::kServiceStopped, corvel::platform::kAcceptStop,
             0, 0, 0, 0}
{
    std::memset(serviceName, 0, sizeof serviceName);
    if (name != nullptr) {
        std::strncpy(serviceName, name, sizeof serviceName - 1);
    }
    serviceInstance = this;
}

CNTService::~CNTService()
{
    Trace("CNTService::~CNTService()");
    eventSource.reset();
    if (serviceInstance == this) {
        serviceInstance = nullptr;
    }
}

void CNTService::Trace(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    corvel::TraceLineV(serviceName, format, arguments);
    va_end(arguments);
}

void CNTService::WriteEvent(std::uint16_t type, std::uint32_t id, const char* s1, const char* s2, const char* s3)
{
    const char* strings[3];
    std::uint16_t count = 0;
    for (const char* text : {s1, s2, s3}) {
        if (text != nullptr) {
            strings[count++] = text;
        }
    }
    // Both the service thread and the dispatcher thread report events; the
    // first report registers the source, exactly once.
    std::lock_guard<std::mutex> guard(eventLock_);
    if (!eventSource) {
        eventSource.reset(corvel::platform::OpenEventSource(serviceName));
    }
    if (eventSource) {
        corvel::platform::ReportServiceEvent(eventSource.get(), type, id, strings, count);
    }
}

void CNTService::SetStatus(std::uint32_t state)
{
    std::lock_guard<std::recursive_mutex> guard(statusLock_);
    Trace("CNTService::SetStatus(%lu, %lu)", static_cast<unsigned long>(statusHandle),
          static_cast<unsigned long>(state));
    status.currentState = state;
    corvel::platform::ReportServiceStatus(statusHandle, status);
}

bool CNTService::Initialize()
{
    Trace("Entering CNTService::Initialize()");
    {
        std::lock_guard<std::recursive_mutex> guard(statusLock_);
        if (stopRequested_) {
            return StoppedWhileStarting();
        }
        SetStatus(corvel::platform::kServiceStartPending);
    }
    bool initialized = OnInit();
    {
        // Held from the test of the state to the running report, so that a
        // stop is either seen here or comes after the running report.
        std::lock_guard<std::recursive_mutex> guard(statusLock_);
        status.win32ExitCode = corvel::platform::LastErrorCode();
        status.checkPoint = 0;
        status.waitHint = 0;
        if (!initialized) {
            WriteEvent(corvel::platform::kEventError, kEventInitializationFailed);
            SetStatus(corvel::platform::kServiceStopped);
            return false;
        }
        if (stopRequested_) {
            return StoppedWhileStarting();
        }
        WriteEvent(corvel::platform::kEventInformation, kEventStarted);
        SetStatus(corvel::platform::kServiceRunning);
    }
    Trace("Leaving CNTService::Initialize()");
    return true;
}

bool CNTService::StoppedWhileStarting()
{
    // Handler has reported stop pending, called OnStop, cleared `running` and
    // reported event 108. The service never reports running and Run is not
    // called; ServiceMain reports stopped, as after any stop.
    std::lock_guard<std::recursive_mutex> guard(statusLock_);
    status.win32ExitCode = 0;
    Trace("CNTService::Initialize(): stopped while starting");
    return false;
}

void CNTService::ServiceMain(std::uint32_t /*argc*/, char** /*argv*/)
{
    CNTService* service = serviceInstance;
    service->Trace("Entering CNTService::ServiceMain()");
    {
        std::lock_guard<std::recursive_mutex> guard(service->statusLock_);
        service->status.currentState = corvel::platform::kServiceStartPending;
        service->stopRequested_ = false;
    }
    // Set before the handler can run: a stop at any moment of the start
    // clears it for good, and Run, if it is reached, returns at once.
    service->running.store(1);
    corvel::platform::StatusHandle handle = 0;
    {
        // Once registered, Handler may run on the dispatcher thread at once;
        // its first report waits here until the handle is stored.
        std::lock_guard<std::recursive_mutex> guard(service->statusLock_);
        handle = corvel::platform::RegisterControlHandler(service->serviceName, Handler);
        service->statusHandle = handle;
    }
    if (handle == 0) {
        service->running.store(0);
        service->WriteEvent(corvel::platform::kEventError, kEventControlHandlerNotInstalled);
        return;
    }
    // However the service was installed (-i, a package, an administrator's
    // tool), it comes back when its process fails.
    corvel::platform::KeepRestartOnFailure(service->serviceName);
    // No exception leaves the service thread: the service reports stopped,
    // with an exit code that says it failed, instead of ending the process.
    try {
        if (service->Initialize()) {
            {
                std::lock_guard<std::recursive_mutex> guard(service->statusLock_);
                service->status.win32ExitCode = 0;
                service->status.checkPoint = 0;
                service->status.waitHint = 0;
            }
            service->Run();
        }
    } catch (...) {
        service->running.store(0);
        {
            std::lock_guard<std::recursive_mutex> guard(service->statusLock_);
            service->status.win32ExitCode = kExceptionInServiceExitCode;
        }
        try {
            std::rethrow_exception(std::current_exception());
        } catch (const std::exception& failure) {
            service->Trace("CNTService::ServiceMain(): ended by an exception: %s", failure.what());
        } catch (...) {
            service->Trace("CNTService::ServiceMain(): ended by an exception");
        }
    }
    service->SetStatus(corvel::platform::kServiceStopped);
    service->Trace("Leaving CNTService::ServiceMain()");
}

void CNTService::Handler(std::uint32_t code)
{
    CNTService* service = serviceInstance;
    // A control, from its first status report to its last, is one step for
    // the service thread: a stop during the start is seen by Initialize
    // either before its test of the state or after its running report, and
    // the stopped report never comes between a stop's reports.
    std::lock_guard<std::recursive_mutex> guard(service->statusLock_);
    service->Trace("CNTService::Handler(%lu)", static_cast<unsigned long>(code));
    switch (code) {
    case kControlStop:
        service->stopRequested_ = true;
        service->SetStatus(corvel::platform::kServiceStopPending);
        service->OnStop();
        service->running.store(0);
        service->WriteEvent(corvel::platform::kEventInformation, kEventStopped);
        break;
    case kControlPause: service->OnPause(); break;
    case kControlContinue: service->OnContinue(); break;
    case kControlInterrogate: service->OnInterrogate(); break;
    case kControlShutdown: service->OnShutdown(); break;
    default:
        if (code < kFirstUserControl || !service->OnUserControl(code)) {
            service->WriteEvent(corvel::platform::kEventError, kEventUnsupportedRequest);
        }
        break;
    }
    service->Trace("Updating status (%lu, %lu)", static_cast<unsigned long>(service->statusHandle),
                   static_cast<unsigned long>(service->status.currentState));
    corvel::platform::ReportServiceStatus(service->statusHandle, service->status);
}

bool CNTService::RunDispatcher()
{
    Trace("Calling StartServiceCtrlDispatcher()");
    bool result = corvel::platform::RunControlDispatcher(serviceName, ServiceMain);
    Trace("Returned from StartServiceCtrlDispatcher()");
    return result;
}

bool CNTService::OnInit()
{
    Trace("CNTService::OnInit()");
    return true;
}

void CNTService::OnStop()
{
    Trace("CNTService::OnStop()");
    switch (corvel::platform::RequestForcedRestart()) {
    case corvel::platform::RestartRequest::Requested: break;
    case corvel::platform::RestartRequest::NotRequested:
        Trace("No machine restart requested (set CORVEL_RESTART_ON_STOP=1 to request one)");
        break;
    case corvel::platform::RestartRequest::MachineShuttingDown:
        Trace("No machine restart requested: the machine is already shutting down");
        break;
    }
}

void CNTService::OnInterrogate()
{
    Trace("CNTService::OnInterrogate()");
}

void CNTService::OnPause()
{
    Trace("CNTService::OnPause()");
}

void CNTService::OnContinue()
{
    Trace("CNTService::OnContinue()");
}

void CNTService::OnShutdown()
{
    Trace("CNTService::OnShutdown()");
}

bool CNTService::OnUserControl(std::uint32_t code)
{
    Trace("CNTService::OnUserControl(%8.8lXH)", static_cast<unsigned long>(code));
    return false;
}
