// Test hooks of the service control manager and the forced restart, shared by
// both backends.
#include <mutex>

#include "platform/restart.h"
#include "platform/service_control.h"

namespace corvel::platform {

namespace {

std::mutex hookLock;
ServiceStatusHook statusHook = nullptr;
void* statusContext = nullptr;
RestartHook restartHook = nullptr;
void* restartContext = nullptr;
ShutdownCheckHook shutdownHook = nullptr;
void* shutdownContext = nullptr;

}  // namespace

void SetServiceStatusHook(ServiceStatusHook hook, void* context)
{
    std::lock_guard<std::mutex> guard(hookLock);
    statusHook = hook;
    statusContext = context;
}

void NotifyServiceStatusHook(const ServiceStatus& status)
{
    std::lock_guard<std::mutex> guard(hookLock);
    if (statusHook != nullptr) {
        statusHook(status, statusContext);
    }
}

void SetRestartHook(RestartHook hook, void* context)
{
    std::lock_guard<std::mutex> guard(hookLock);
    restartHook = hook;
    restartContext = context;
}

// True when a hook took the request; its answer is in outcome.
bool CallRestartHook(RestartRequest& outcome)
{
    std::lock_guard<std::mutex> guard(hookLock);
    if (restartHook == nullptr) {
        return false;
    }
    outcome = restartHook(restartContext);
    return true;
}

void SetShutdownCheckHook(ShutdownCheckHook hook, void* context)
{
    std::lock_guard<std::mutex> guard(hookLock);
    shutdownHook = hook;
    shutdownContext = context;
}

// True when a hook answered; its answer is in shuttingDown.
bool CallShutdownCheckHook(bool& shuttingDown)
{
    std::lock_guard<std::mutex> guard(hookLock);
    if (shutdownHook == nullptr) {
        return false;
    }
    shuttingDown = shutdownHook(shutdownContext);
    return true;
}

}  // namespace corvel::platform
