// The fixture of the logind tests: a logind of the test's own, in a
// temporary state root, that the session calls use (CORVEL_SESSION_SOURCE),
// with loopback terminals allowed. Skips when the tools are missing.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "logind_bus.h"
#include "platform/posix/logind_sessions.h"
#include "support/state_root.h"

namespace corvel::testing {

class LogindFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto missing = LogindBus::MissingTools()) {
            GTEST_SKIP() << *missing;
        }
        ::setenv("CORVEL_SESSION_SOURCE", "logind", 1);
        ::unsetenv("CORVEL_LOGIND_SERVICES");
        root.emplace("corvel-logind");
        bus.emplace(root->path() / "logind");
        platform::logind::SetLoopbackProbed(true);
    }
    void TearDown() override
    {
        platform::logind::SetLoopbackProbed(false);
        ::unsetenv("CORVEL_LOGIND_SERVICES");
        bus.reset();
        root.reset();
    }

    std::optional<TemporaryStateRoot> root;
    std::optional<LogindBus> bus;
};

}  // namespace corvel::testing
