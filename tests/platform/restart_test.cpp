// The forced restart's decision on Linux: asked for only with
// CORVEL_RESTART_ON_STOP=1, and skipped while systemd is taking the machine
// down, as systemctl reports it. The request itself is replaced by a hook, so
// no test reaches a real reboot.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "platform/fake_systemctl.h"
#include "platform/restart.h"

namespace {

using corvel::platform::RestartRequest;

int requests = 0;

RestartRequest RecordRequest(void*)
{
    ++requests;
    return RestartRequest::Requested;
}

class ForcedRestart : public ::testing::Test {
protected:
    void SetUp() override
    {
        directory = std::filesystem::temp_directory_path() / ("corvel-restart-" + std::to_string(::getpid()));
        std::filesystem::remove_all(directory);
        requests = 0;
        corvel::platform::SetRestartHook(RecordRequest, nullptr);
        ::setenv("CORVEL_RESTART_ON_STOP", "1", 1);
    }
    void TearDown() override
    {
        ::unsetenv("CORVEL_RESTART_ON_STOP");
        corvel::platform::SetRestartHook(nullptr, nullptr);
        std::filesystem::remove_all(directory);
    }
    std::filesystem::path directory;
};

TEST_F(ForcedRestart, SkippedOnlyWhileSystemdIsStoppingTheMachine)
{
    struct Case {
        bool systemdRunning;
        const char* state;  // what is-system-running prints
        RestartRequest expected;
        bool asked;         // whether systemctl was asked for the state
    };
    const Case cases[] = {
        {true, "stopping", RestartRequest::MachineShuttingDown, true},
        {true, "running", RestartRequest::Requested, true},
        {true, "degraded", RestartRequest::Requested, true},
        {true, "", RestartRequest::Requested, true},
        {false, "stopping", RestartRequest::Requested, false},  // no systemd: nobody to ask
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.state) + (c.systemdRunning ? " (systemd)" : " (no systemd)"));
        std::filesystem::remove_all(directory);
        corvel::testing::FakeSystemctl systemctl(directory, c.systemdRunning);
        systemctl.SetState(c.state);
        requests = 0;
        EXPECT_EQ(corvel::platform::RequestForcedRestart(), c.expected);
        EXPECT_EQ(requests, c.expected == RestartRequest::Requested ? 1 : 0);
        EXPECT_EQ(systemctl.Calls(),
                  c.asked ? std::vector<std::string>{"is-system-running"} : std::vector<std::string>{});
    }

    // Not asked for: neither the state nor the request.
    corvel::testing::FakeSystemctl systemctl(directory, true);
    ::setenv("CORVEL_RESTART_ON_STOP", "0", 1);
    requests = 0;
    EXPECT_EQ(corvel::platform::RequestForcedRestart(), RestartRequest::NotRequested);
    EXPECT_EQ(requests, 0);
    EXPECT_TRUE(systemctl.Calls().empty());
}

}  // namespace

#endif
