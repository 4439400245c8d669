// CNTService: the base class that turns the process into one service in its
// own process. It keeps the status record, connects to the service control
// manager through the dispatcher, runs the service's main function, turns
// control codes into virtual calls, reports events and writes trace lines.
// The program's CMyService derives from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/event_log.h"
#include "platform/service_control.h"
#include "service/version.h"
#include "trace/trace.h"

class CNTService;

// The one service object of the process; ServiceMain and Handler act on it.
extern CNTService* serviceInstance;

class CNTService {
public:
    static constexpr std::size_t kServiceNameCapacity = 64;

    explicit CNTService(const char* name);
    virtual ~CNTService();
    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    virtual void Run() = 0;
    virtual bool OnInit();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    virtual bool OnUserControl(std::uint32_t code);

    void Trace(const char* format, ...) CORVEL_PRINTF(2, 3);
    void WriteEvent(std::uint16_t type, std::uint32_t id, const char* s1 = nullptr, const char* s2 = nullptr,
                    const char* s3 = nullptr);
    void SetStatus(std::uint32_t state);
    bool Initialize();

    static void ServiceMain(std::uint32_t argc, char** argv);
    static void Handler(std::uint32_t code);
    bool RunDispatcher();

    // Installation and the command line.
    bool HandleCommandLine(int argc, char** argv);
    bool CheckInstalled();
    bool InstallService();
    bool RemoveService();

    char serviceName[kServiceNameCapacity];
    std::int32_t majorVersion = kProductMajorVersion;
    std::int32_t minorVersion = kProductMinorVersion;
    corvel::platform::StatusHandle statusHandle = 0;
    corvel::platform::ServiceStatus status;
    std::atomic<std::int32_t> running{0};
    corvel::platform::EventSourceOwner eventSource;

private:
    // The dispatcher thread and the service thread both change and report
    // `status`; each store-and-report step is serialised, a whole control
    // in Handler is one step, and so is each of Initialize's tests for a
    // stop that came during the start together with the report after it.
    std::recursive_mutex statusLock_;
    std::mutex eventLock_;  // the lazy registration of eventSource
    // A stop has come since ServiceMain began (guarded by statusLock_):
    // Initialize then neither reports start pending nor running.
    bool stopRequested_ = false;

    bool StoppedWhileStarting();
};
