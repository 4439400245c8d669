// The watchdog over logind: the scanner and its probes, through the platform's
// session calls with CORVEL_SESSION_SOURCE=logind, against a logind of the
// test's own and live, silent and absent terminals on 127.0.41.x.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "logind_fixture.h"
#include "logind_trace.h"
#include "platform/threads.h"
#include "support/terminals.h"
#include "watchdog/session_scanner.h"
#include "watchdog/watchdog_settings.h"

namespace {

using corvel::testing::HttpAnswer;
using corvel::testing::LogindSession;
using corvel::testing::StubBehaviour;
using corvel::testing::StubTerminals;
using corvel::testing::TestResponseEnvelope;
using std::chrono::steady_clock;

constexpr std::uint16_t kTerminalPort = 18751;
constexpr char kLive[] = "127.0.41.1";
constexpr char kAbsent[] = "127.0.41.2";  // nothing listens: refused
constexpr char kSilent[] = "127.0.41.3";  // never answers: the probe times out

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

LogindSession Remote(std::string id, std::string host, std::string service = "xrdp-sesman")
{
    LogindSession session;
    session.id = std::move(id);
    session.remoteHost = std::move(host);
    session.service = std::move(service);
    return session;
}

// The scanner runs while the fixture lives, its probes against the stub port.
class LogindWatchdogTest : public corvel::testing::LogindFixture {
protected:
    void SetUp() override
    {
        LogindFixture::SetUp();
        if (IsSkipped()) {
            return;
        }
        corvel::watchdog::SetTerminalPort(kTerminalPort);
        terminals.Add(kLive, kTerminalPort, StubBehaviour::answer, HttpAnswer("200 OK", TestResponseEnvelope("OK")));
        silent = terminals.Add(kSilent, kTerminalPort, StubBehaviour::silent);
        terminals.Start();
    }

    void StartScanner(std::uint32_t periodMs)
    {
        corvel::watchdog::SetScanPeriodMs(periodMs);
        scannerRunning.store(1);
        scanner = corvel::platform::StartThread(SessionScanner, nullptr);
        ASSERT_NE(scanner, nullptr);
    }

    void StopScanner()
    {
        if (scanner == nullptr) {
            return;
        }
        scannerRunning.store(0);
        EXPECT_TRUE(corvel::platform::WaitForThread(scanner, 15000));
        corvel::platform::CloseThreadHandle(scanner);
        scanner = nullptr;
        EXPECT_TRUE(WaitUntil(
            [] { return corvel::watchdog::StartedProbeCount() == corvel::watchdog::FinishedProbeCount(); },
            std::chrono::seconds(15)));
    }

    void TearDown() override
    {
        StopScanner();
        scannerRunning.store(1);
        corvel::watchdog::SetScanPeriodMs(0);
        corvel::watchdog::SetTerminalPort(0);
        terminals.Stop();
        LogindFixture::TearDown();
    }

    std::vector<std::string> Terminated()
    {
        std::vector<std::string> ids = bus->Terminated();
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    StubTerminals terminals;
    std::size_t silent = 0;
    corvel::platform::ThreadHandle scanner = nullptr;
};

// The sessions of dead terminals end within one pass and one probe time-out;
// a live terminal's session, local, ssh, closing, seated, IPv6 and unnamed
// remote sessions are never ended, whatever their terminals do.
TEST_F(LogindWatchdogTest, OnlyTheSessionsOfDeadTerminalsAreTerminated)
{
    const std::vector<LogindSession> kept = [] {
        std::vector<LogindSession> sessions;
        sessions.push_back(Remote("1", kLive));
        sessions.push_back(Remote("4", kAbsent, "sshd"));
        LogindSession closing = Remote("6", kAbsent);
        closing.state = "closing";
        sessions.push_back(closing);
        sessions.push_back(Remote("7", "::1"));
        sessions.push_back(Remote("8", "thin-client.example"));
        LogindSession seated = Remote("9", kAbsent);
        seated.seat = "seat0";
        sessions.push_back(seated);
        LogindSession notRemote = Remote("10", kAbsent);
        notRemote.remote = false;
        sessions.push_back(notRemote);
        LogindSession console = Remote("c5", "");
        console.remote = false;
        console.service = "gdm-password";
        console.seat = "seat0";
        sessions.push_back(console);
        return sessions;
    }();
    for (const LogindSession& session : kept) {
        bus->AddSession(session);
    }
    bus->AddSession(Remote("2", kAbsent));
    bus->AddSession(Remote("c3", std::string("::ffff:") + kSilent));
    bus->AddSession(Remote("007", kAbsent));
    bus->SetConsole("c5");

    const std::vector<std::string> dead = {"007", "2", "c3"};
    const auto start = steady_clock::now();
    StartScanner(corvel::watchdog::kScanPeriodMs);
    EXPECT_TRUE(WaitUntil([&] { return Terminated() == dead; }, std::chrono::seconds(20)));
    // One pass and one time-out, with room for a slow machine.
    EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(corvel::watchdog::kScanPeriodMs + 3000));
    // A further pass probes the live terminal again and ends nothing more.
    EXPECT_TRUE(WaitUntil([&] { return terminals.Requests(0) >= 2; }, std::chrono::seconds(10)));
    StopScanner();
    EXPECT_EQ(Terminated(), dead);
}

// A session that ends while its probe waits for a dead terminal is not ended
// again, and nothing else is.
TEST_F(LogindWatchdogTest, ASessionGoneWhileItsProbeRunsIsLeftAlone)
{
    bus->AddSession(Remote("21", kSilent));
    bus->AddSession(Remote("22", kLive));
    StartScanner(5000);
    ASSERT_TRUE(WaitUntil([&] { return terminals.Requests(silent) >= 1; }, std::chrono::seconds(10)));
    bus->RemoveSession("21");
    StopScanner();
    EXPECT_TRUE(Terminated().empty());
}

// The bus goes away under a running scanner: its passes do nothing but trace
// the failure, and once logind is back the watchdog works again.
TEST_F(LogindWatchdogTest, TheBusGoingAwayStopsNothingAndEndsNothing)
{
    bus->AddSession(Remote("31", kLive));
    corvel::testing::LogindTrace trace;
    StartScanner(200);
    ASSERT_TRUE(WaitUntil([&] { return terminals.Requests(0) >= 1; }, std::chrono::seconds(10)));
    bus->StopBus();
    EXPECT_TRUE(WaitUntil([&] { return trace.Contains("logind: sessions cannot be listed"); },
                          std::chrono::seconds(10)))
        << trace.Text();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));

    bus->StartBus();
    bus->AddSession(Remote("32", kAbsent));
    bus->AddSession(Remote("33", kLive));
    EXPECT_TRUE(WaitUntil([&] { return Terminated() == std::vector<std::string>{"32"}; }, std::chrono::seconds(10)));
    StopScanner();
    EXPECT_EQ(Terminated(), std::vector<std::string>{"32"});
}

}  // namespace
