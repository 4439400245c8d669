// The process ends under running probes: the service's stop returns from main
// while probe threads, which nobody joins, still connect, send and wait for
// their terminals. Nothing they use may be destroyed by the static
// destruction that follows (the transport's connect notices, the Winsock
// start, the trace), and none of them may fail for it: such a failure would
// log a live session off. Each case runs in a child process that starts 100
// probes against a live terminal and calls exit() while they are in flight;
// the sanitizer builds turn a use after free or a race into a failed exit.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/threads.h"
#include "support/loopback_host.h"
#include "support/terminals.h"
#include "watchdog/session_probe.h"
#include "watchdog/watchdog_settings.h"

namespace {

using corvel::platform::ClientAddressRecord;
using corvel::platform::OsVersionRecord;
using corvel::platform::SessionEntry;

constexpr std::uint32_t kProbesInFlight = 100;
// A logoff while the process ends is the fault itself: it ends the child
// with this code at once.
constexpr int kLoggedOffExitCode = 3;
// An end that hangs (a lock left held by an object destroyed under a probe)
// ends the child with this code after kHungExitMs.
constexpr int kHungExitCode = 4;
constexpr std::uint32_t kHungExitMs = 60000;

std::uint32_t NoConsole()
{
    return 0xFFFFFFFFu;
}

bool NoSessions(std::vector<SessionEntry>& sessions)
{
    sessions.clear();
    return true;
}

// Every session's terminal is the stub on 127.0.0.1.
bool LoopbackAddress(std::uint32_t, ClientAddressRecord& record)
{
    record = ClientAddressRecord{};
    record.addressFamily = 2;
    record.address[2] = 127;
    record.address[5] = 1;
    return true;
}

bool LogoffEndsTheProcess(std::uint32_t, bool)
{
    std::_Exit(kLoggedOffExitCode);
}

std::uint32_t EndHungProcess(void*)
{
    corvel::platform::SleepMs(kHungExitMs);
    std::_Exit(kHungExitCode);
}

bool ZeroVersion(OsVersionRecord& record)
{
    record = OsVersionRecord{};
    return true;
}

bool StillConnected(std::uint32_t, corvel::platform::SessionState& state)
{
    state = corvel::platform::SessionState::Connected;
    return true;
}

const corvel::watchdog::SessionCalls kLiveSessions{NoConsole,    NoSessions,    LoopbackAddress, LogoffEndsTheProcess,
                                                   ZeroVersion, StillConnected};

// Runs in the child: a live terminal that answers each probe answerDelayMs
// after its request (well inside the probe's time-out), 100 probes started at
// once, and exit() settleMs after the last of them has started.
[[noreturn]] void ExitWithProbesInFlight(std::uint32_t answerDelayMs, std::uint32_t settleMs)
{
    using namespace corvel::testing;
    corvel::platform::CloseThreadHandle(corvel::platform::StartThread(EndHungProcess, nullptr));
    // Neither the terminal nor its thread is ever destroyed: the process ends
    // under them as it ends under the probes.
    auto* terminal = new LoopbackHost;
    const auto listener = terminal->Listen(
        "127.0.0.1", 0,
        std::make_shared<const std::vector<Script>>(std::vector<Script>{
            DelayedAnswerScript(HttpAnswer("200 OK", TestResponseEnvelope("OK")), answerDelayMs)}),
        256);
    if (!listener) {
        std::_Exit(2);
    }
    terminal->Start();
    corvel::watchdog::SetSessionCalls(&kLiveSessions);
    corvel::watchdog::SetTerminalPort(terminal->Port(*listener));

    const std::uint64_t startedBefore = corvel::watchdog::StartedProbeCount();
    for (std::uint32_t session = 1; session <= kProbesInFlight; ++session) {
        const corvel::platform::ThreadHandle probe = corvel::platform::StartThread(
            SessionProbe, reinterpret_cast<void*>(static_cast<std::uintptr_t>(session)), kProbeStackReservation);
        if (probe == nullptr) {
            std::_Exit(2);
        }
        corvel::platform::CloseThreadHandle(probe);
    }
    for (int wait = 0; corvel::watchdog::StartedProbeCount() - startedBefore < kProbesInFlight; ++wait) {
        if (wait == 10000) {
            std::_Exit(2);
        }
        corvel::platform::SleepMs(1);
    }
    corvel::platform::SleepMs(settleMs);
    std::exit(0);
}

TEST(StopWithProbesInFlight, NothingTheProbesUseIsDestroyedUnderThem)
{
    // The child runs this test again up to the statement (a fork would not
    // carry the sanitizers' threads along).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* moment;
        std::uint32_t answerDelayMs;
        std::uint32_t settleMs;
    };
    const Case cases[] = {
        {"while the probes start and connect", 300, 0},
        {"while the probes wait for their answers", 600, 100},
        {"while some probes are answered and end", 0, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.moment);
        EXPECT_EXIT(ExitWithProbesInFlight(c.answerDelayMs, c.settleMs), ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
