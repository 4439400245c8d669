// CMyService's start (Parameters, the Winlogon flag, the two workers), its
// counter loop, and user control 128 that saves the counter as Status\Current.
#include "service/my_service.h"

#include <cstdio>

#include "platform/registry.h"
#include "registration/registration_listener.h"
#include "watchdog/session_scanner.h"

namespace {

// The service's one user control: save the counter as Status\Current.
constexpr std::uint32_t kSaveStatusControl = corvel::platform::kFirstUserControl;
constexpr std::size_t kKeyPathCapacity = 1024;

// "<service key>\<subkey>", composed in a buffer of kKeyPathCapacity bytes.
void ComposeSubkeyPath(char (&path)[kKeyPathCapacity], const char* serviceName, const char* subkey)
{
    std::snprintf(path, sizeof path, "%s%s\\%s", kServiceKeyPrefix, serviceName, subkey);
}

}  // namespace

CMyService::CMyService()
    : CNTService(kServiceDisplayName), scannerProcedure(SessionScanner), listenerProcedure(RegistrationListener)
{
}

bool CMyService::OnInit()
{
    using namespace corvel::platform;
    char path[kKeyPathCapacity];
    ComposeSubkeyPath(path, serviceName, "Parameters");
    RegistryKeyOwner key;
    if (OpenRegistryKey(path, kKeyQueryValue, key.out()) == kErrorSuccess) {
        // An absent value keeps the field's initial value.
        QueryRegistryDword(key.get(), "Start", &startValue);
        QueryRegistryDword(key.get(), "Inc", &increment);
        key.reset();
    }
    state.store(startValue);
    return true;
}

void CMyService::Run()
{
    using namespace corvel::platform;
    corvel::watchdog::SetServiceStopping(false);
    scannerRunning.store(1);
    listenerRunning.store(1);

    {
        RegistryKeyOwner winlogon;
        long result = OpenRegistryKey(kWinlogonKey, kKeyAllAccess, winlogon.out());
        if (result != kErrorSuccess) {
            WatchdogTrace("RegOpenKeyEx error code:%d", static_cast<int>(result));
        } else {
            result = SetRegistryDword(winlogon.get(), "AllowMultipleTSSessions", 1);
            if (result != kErrorSuccess) {
                WatchdogTrace("RegSetValueEx error code:%d", static_cast<int>(result));
            }
            FlushRegistryKey(winlogon.get());
        }
    }

    ThreadOwner scannerThread(StartThread(scannerProcedure, nullptr));
    ThreadOwner listenerThread(StartThread(listenerProcedure, nullptr));

    // `running` is tested before each sleep, so the counter is raised once
    // more after the sleep during which the stop came.
    while (running.load() != 0) {
        SleepMs(counterPeriodMs);
        state.fetch_add(increment);
    }

    // Probes still running judge no failure from here on.
    corvel::watchdog::SetServiceStopping(true);
    scannerRunning.store(0);
    listenerRunning.store(0);
    // The workers are not waited for: they end at their next test of their
    // flag, or with the process.
    scannerThread.reset();
    listenerThread.reset();
}

bool CMyService::OnUserControl(std::uint32_t code)
{
    if (code != kSaveStatusControl) {
        return false;
    }
    SaveStatus();
    return true;
}

void CMyService::SaveStatus()
{
    using namespace corvel::platform;
    Trace("Saving current status");
    char path[kKeyPathCapacity];
    ComposeSubkeyPath(path, serviceName, "Status");
    Trace("Creating key: %s", path);
    RegistryKeyOwner key;
    long result = CreateRegistryKey(path, kKeyWrite, key.out());
    if (result != kErrorSuccess) {
        Trace("Failed to create Status key (%lu)", static_cast<unsigned long>(result));
        return;
    }
    std::int32_t current = state.load();
    Trace("Saving 'Current' as %ld", static_cast<long>(current));
    SetRegistryDword(key.get(), "Current", static_cast<std::uint32_t>(current));
}
