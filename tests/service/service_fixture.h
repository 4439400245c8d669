// What the service tests observe: trace lines, events, status reports and
// restart requests, captured through the platform's test hooks (the restart
// is asked for, as the installed unit asks, and the machine is not shutting
// down unless a test says so); and a temporary state root and unit
// directory, so that nothing outside a temporary directory is written.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/event_log.h"
#include "platform/restart.h"
#include "platform/service_control.h"
#include "service/cntservice.h"
#include "support/state_root.h"

namespace corvel::testing {

struct RecordedEvent {
    std::uint16_t type;
    std::uint32_t id;
    std::string text;
};

inline void SetEnvironment(const char* name, const std::string& value)
{
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

class ServiceObservation : public ::testing::Test {
protected:
    void SetUp() override
    {
        stateRoot.emplace("corvel-service-test");
        root = stateRoot->path();
        std::filesystem::create_directories(root / "units");
        SetEnvironment("CORVEL_UNIT_DIR", (root / "units").string());
        platform::SetDebugOutputHook(&ServiceObservation::OnTrace, this);
        platform::SetEventLogHook(&ServiceObservation::OnEvent, this);
        platform::SetServiceStatusHook(&ServiceObservation::OnStatus, this);
        platform::SetRestartHook(&ServiceObservation::OnRestart, this);
        platform::SetShutdownCheckHook(&ServiceObservation::OnShutdownCheck, this);
        // As the installed unit asks: the restart hook stands in for the request.
        SetEnvironment("CORVEL_RESTART_ON_STOP", "1");
    }

    void TearDown() override
    {
        platform::SetDebugOutputHook(nullptr, nullptr);
        platform::SetEventLogHook(nullptr, nullptr);
        platform::SetServiceStatusHook(nullptr, nullptr);
        platform::SetRestartHook(nullptr, nullptr);
        platform::SetShutdownCheckHook(nullptr, nullptr);
        SetEnvironment("CORVEL_RESTART_ON_STOP", "");
        stateRoot.reset();
    }

    std::vector<std::string> Traces()
    {
        std::lock_guard<std::mutex> guard(lock);
        return traces;
    }
    std::vector<RecordedEvent> Events()
    {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }
    std::vector<std::uint32_t> States()
    {
        std::lock_guard<std::mutex> guard(lock);
        return states;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(lock);
        traces.clear();
        events.clear();
        states.clear();
        restarts = 0;
    }
    bool Traced(const std::string& part)
    {
        for (const std::string& line : Traces()) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::optional<TemporaryStateRoot> stateRoot;
    std::filesystem::path root;
    std::mutex lock;
    std::vector<std::string> traces;
    std::vector<RecordedEvent> events;
    std::vector<std::uint32_t> states;
    int restarts = 0;
    std::int32_t runningAtRestart = -1;
    std::atomic<bool> machineShuttingDown{false};  // what the shutdown check answers

private:
    static void OnTrace(std::string_view text, void* context)
    {
        auto* self = static_cast<ServiceObservation*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->traces.emplace_back(text);
    }
    static void OnEvent(std::uint16_t type, std::uint32_t id, const std::string& text, void* context)
    {
        auto* self = static_cast<ServiceObservation*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->events.push_back({type, id, text});
    }
    static void OnStatus(const platform::ServiceStatus& status, void* context)
    {
        auto* self = static_cast<ServiceObservation*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->states.push_back(status.currentState);
    }
    static bool OnShutdownCheck(void* context)
    {
        return static_cast<ServiceObservation*>(context)->machineShuttingDown.load();
    }
    static platform::RestartRequest OnRestart(void* context)
    {
        auto* self = static_cast<ServiceObservation*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        ++self->restarts;
        self->runningAtRestart = serviceInstance != nullptr ? serviceInstance->running.load() : -1;
        // What the service did before the request is what a stop must do first.
        self->traces.emplace_back("<restart requested>");
        return platform::RestartRequest::Requested;
    }
};

}  // namespace corvel::testing
