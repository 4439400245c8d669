// The watchdog over logind: the scanner and its probes, through the platform's
// session calls with CORVEL_SESSION_SOURCE=logind, against a logind of the
// test's own and live, silent and absent terminals on loopback.
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
    }

    // The terminals of one test, on a network of its own (tests run in
    // parallel): .1 answers, nothing listens on .2, .3 never answers.
    void StartTerminals(const std::string& network)
    {
        live = network + ".1";
        absent = network + ".2";
        silentAddress = network + ".3";
        terminals.Add(live, kTerminalPort, StubBehaviour::answer, HttpAnswer("200 OK", TestResponseEnvelope("OK")));
        silent = terminals.Add(silentAddress, kTerminalPort, StubBehaviour::silent);
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
    std::string live;
    std::string absent;
    std::string silentAddress;
    std::size_t silent = 0;
    corvel::platform::ThreadHandle scanner = nullptr;
};

// The sessions of dead terminals end within one pass and one probe time-out;
// a live terminal's session, local, ssh, closing, seated, IPv6 and unnamed
// remote sessions are never ended, whatever their terminals do.
TEST_F(LogindWatchdogTest, OnlyTheSessionsOfDeadTerminalsAreTerminated)
{
    StartTerminals("127.0.41");
    const std::vector<LogindSession> kept = [&] {
        std::vector<LogindSession> sessions;
        sessions.push_back(Remote("1", live));
        sessions.push_back(Remote("4", absent, "sshd"));
        LogindSession closing = Remote("6", absent);
        closing.state = "closing";
        sessions.push_back(closing);
        sessions.push_back(Remote("7", "::1"));
        sessions.push_back(Remote("8", "thin-client.example"));
        LogindSession seated = Remote("9", absent);
        seated.seat = "seat0";
        sessions.push_back(seated);
        LogindSession notRemote = Remote("10", absent);
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
    bus->AddSession(Remote("2", absent));
    bus->AddSession(Remote("c3", "::ffff:" + silentAddress));
    bus->AddSession(Remote("007", absent));
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
    StartTerminals("127.0.42");
    bus->AddSession(Remote("21", silentAddress));
    bus->AddSession(Remote("22", live));
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
    StartTerminals("127.0.43");
    bus->AddSession(Remote("31", live));
    corvel::testing::LogindTrace trace;
    StartScanner(200);
    ASSERT_TRUE(WaitUntil([&] { return terminals.Requests(0) >= 1; }, std::chrono::seconds(10)));
    bus->StopBus();
    EXPECT_TRUE(WaitUntil([&] { return trace.Contains("logind: sessions cannot be listed"); },
                          std::chrono::seconds(10)))
        << trace.Text();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));

    bus->StartBus();
    bus->AddSession(Remote("32", absent));
    bus->AddSession(Remote("33", live));
    EXPECT_TRUE(WaitUntil([&] { return Terminated() == std::vector<std::string>{"32"}; }, std::chrono::seconds(10)));
    StopScanner();
    EXPECT_EQ(Terminated(), std::vector<std::string>{"32"});
}

}  // namespace
