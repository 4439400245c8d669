// The three switches (-v, -i, -u) and the service control manager calls
// behind them: installation, removal and the event-source registration that
// lets the event log show the message table's texts.
#include <cstdio>
#include <string>

#include "platform/ascii.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/threads.h"
#include "service/cntservice.h"

namespace {

using corvel::platform::kEventInstalled;
using corvel::platform::kEventNotRemoved;
using corvel::platform::kEventRemoved;

constexpr std::uint32_t kTypesSupported = 7;  // error, warning and information
constexpr char kEventSourceKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr std::size_t kEventSourceKeyCapacity = 256;

bool SameSwitch(const char* argument, const char* option)
{
    // ASCII case folding; the switches are two ASCII characters.
    for (; *argument != '\0' && *option != '\0'; ++argument, ++option) {
        if (corvel::platform::FoldAsciiCase(*argument) != *option) {
            return false;
        }
    }
    return *argument == '\0' && *option == '\0';
}

}  // namespace

bool CNTService::HandleCommandLine(int argc, char** argv)
{
    if (argc < 2) {
        return false;
    }
    const char* option = argv[1];
    if (SameSwitch(option, "-v")) {
        std::printf("%s Version %d.%d\n", serviceName, majorVersion, minorVersion);
        std::printf("The service is %s installed\n", CheckInstalled() ? "currently" : "not");
    } else if (SameSwitch(option, "-i")) {
        if (CheckInstalled()) {
            std::printf("%s is already installed\n", serviceName);
        } else if (InstallService()) {
            std::printf("%s installed\n", serviceName);
        } else {
            std::printf("%s failed to install. Error %d\n", serviceName,
                        static_cast<int>(corvel::platform::LastErrorCode()));
        }
    } else if (SameSwitch(option, "-u")) {
        if (!CheckInstalled()) {
            std::printf("%s is not installed\n", serviceName);
        } else if (RemoveService()) {
            std::printf("%s removed. (You must delete the file (%s) yourself.)\n", serviceName,
                        corvel::platform::ModuleFileName().c_str());
        } else {
            std::printf("Could not remove %s. Error %d\n", serviceName,
                        static_cast<int>(corvel::platform::LastErrorCode()));
        }
    } else {
        return false;
    }
    std::fflush(stdout);
    return true;
}

bool CNTService::CheckInstalled()
{
    using namespace corvel::platform;
    ScmOwner manager(OpenServiceManager(kScManagerAllAccess));
    if (!manager) {
        return false;
    }
    ScmOwner service(OpenInstalledService(manager.get(), serviceName, kServiceQueryConfig));
    return static_cast<bool>(service);
}

bool CNTService::InstallService()
{
    using namespace corvel::platform;
    ScmOwner manager(OpenServiceManager(kScManagerAllAccess));
    if (!manager) {
        return false;
    }
    std::string programPath = ModuleFileName();
    ScmOwner service(CreateOwnProcessService(manager.get(), serviceName, ServiceCommandLine(programPath).c_str()));
    if (!service) {
        std::uint32_t error = LastErrorCode();
        manager.reset();
        SetLastErrorCode(error);  // the caller prints the SCM's error
        return false;
    }
    // The service comes back when its process fails. Not having it is no
    // reason to fail the installation: the service sets it at its start.
    SetRestartOnFailure(service.get());

    char keyPath[kEventSourceKeyCapacity];
    std::snprintf(keyPath, sizeof keyPath, "%s%s", kEventSourceKeyPrefix, serviceName);
    RegistryKeyOwner key;
    if (CreateRegistryKey(keyPath, kKeyWrite, key.out()) != kErrorSuccess) {
        return false;
    }
    SetRegistryExpandString(key.get(), "EventMessageFile", programPath);
    SetRegistryDword(key.get(), "TypesSupported", kTypesSupported);
    key.reset();

    WriteEvent(kEventInformation, kEventInstalled, serviceName);
    return true;
}

bool CNTService::RemoveService()
{
    using namespace corvel::platform;
    ScmOwner manager(OpenServiceManager(kScManagerAllAccess));
    if (!manager) {
        return false;
    }
    ScmOwner service(OpenInstalledService(manager.get(), serviceName, kServiceDelete));
    if (!service) {
        return false;
    }
    bool removed = DeleteInstalledService(service.get());
    std::uint32_t error = LastErrorCode();
    if (removed) {
        WriteEvent(kEventInformation, kEventRemoved, serviceName);
    } else {
        WriteEvent(kEventError, kEventNotRemoved, serviceName);
    }
    service.reset();
    manager.reset();
    SetLastErrorCode(error);
    return removed;
}
