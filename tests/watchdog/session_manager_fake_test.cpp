// The scanner and the probe against a scripted session manager: the choice
// between the Windows 7 workstation logoff loop and the single traced logoff,
// the client address text, and which sessions a pass probes when the console
// moves. These run on every platform: under Wine terminal services list no
// sessions, and no test machine is a Windows 7 workstation.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "http/response_memory.h"
#include "platform/debug_output.h"
#include "platform/event_log.h"
#include "platform/event_socket_io.h"
#include "platform/sessions.h"
#include "platform/threads.h"
#include "watchdog/probe_events.h"
#include "watchdog/session_probe.h"
#include "watchdog/session_scanner.h"
#include "watchdog/watchdog_settings.h"
#include "support/terminals.h"

namespace {

using corvel::platform::ClientAddressRecord;
using corvel::platform::OsVersionRecord;
using corvel::platform::SessionEntry;
using corvel::platform::SessionState;

// The scripted session manager. Probes call it from their own threads.
struct FakeSessionManager {
    std::mutex lock;
    std::vector<std::uint32_t> consoleAnswers;  // one per call; the last repeats
    std::size_t consoleCalls = 0;
    bool enumerationSucceeds = true;
    std::vector<SessionEntry> sessions;
    std::size_t enumerations = 0;
    std::map<std::uint32_t, ClientAddressRecord> addresses;
    OsVersionRecord version;
    std::vector<bool> logoffAnswers;  // one per call; the last repeats
    std::vector<std::uint32_t> loggedOff;
    bool logoffWaited = true;
    std::map<std::uint32_t, SessionState> states;  // a session not here: the state query fails
    // The session manager's answers for a session from its first address
    // query on, as when the session table changes during the probe (no
    // value: the query fails from then on).
    struct Rewrite {
        std::optional<ClientAddressRecord> address;
        std::optional<SessionState> state;
    };
    std::map<std::uint32_t, Rewrite> rewrites;
    bool addressQueryThrows = false;
    int throwingEnumerations = 0;  // the next this many enumerations throw
};

FakeSessionManager* fake = nullptr;

std::uint32_t FakeConsole()
{
    std::lock_guard<std::mutex> guard(fake->lock);
    const std::size_t index = std::min(fake->consoleCalls++, fake->consoleAnswers.size() - 1);
    return fake->consoleAnswers[index];
}

bool FakeEnumerate(std::vector<SessionEntry>& sessions)
{
    std::lock_guard<std::mutex> guard(fake->lock);
    ++fake->enumerations;
    if (fake->throwingEnumerations > 0) {
        --fake->throwingEnumerations;
        throw std::runtime_error("session manager fault");
    }
    sessions = fake->enumerationSucceeds ? fake->sessions : std::vector<SessionEntry>{};
    return fake->enumerationSucceeds;
}

bool FakeAddress(std::uint32_t sessionId, ClientAddressRecord& record)
{
    std::lock_guard<std::mutex> guard(fake->lock);
    if (fake->addressQueryThrows) {
        throw std::runtime_error("session manager fault");
    }
    auto found = fake->addresses.find(sessionId);
    const bool answered = found != fake->addresses.end();
    if (answered) {
        record = found->second;
    }
    if (auto rewrite = fake->rewrites.find(sessionId); rewrite != fake->rewrites.end()) {
        if (rewrite->second.address) {
            fake->addresses[sessionId] = *rewrite->second.address;
        } else {
            fake->addresses.erase(sessionId);
        }
        if (rewrite->second.state) {
            fake->states[sessionId] = *rewrite->second.state;
        } else {
            fake->states.erase(sessionId);
        }
        fake->rewrites.erase(rewrite);
    }
    return answered;
}

bool FakeConnectState(std::uint32_t sessionId, SessionState& state)
{
    std::lock_guard<std::mutex> guard(fake->lock);
    auto found = fake->states.find(sessionId);
    if (found == fake->states.end()) {
        return false;
    }
    state = found->second;
    return true;
}

bool FakeLogoff(std::uint32_t sessionId, bool wait)
{
    std::lock_guard<std::mutex> guard(fake->lock);
    const std::size_t index = std::min(fake->loggedOff.size(), fake->logoffAnswers.size() - 1);
    fake->loggedOff.push_back(sessionId);
    fake->logoffWaited = fake->logoffWaited && wait;
    return fake->logoffAnswers[index];
}

bool FakeVersion(OsVersionRecord& record)
{
    std::lock_guard<std::mutex> guard(fake->lock);
    record = fake->version;
    return true;
}

const corvel::watchdog::SessionCalls kFakeCalls{FakeConsole, FakeEnumerate, FakeAddress,
                                                FakeLogoff,  FakeVersion,   FakeConnectState};

class TraceCapture {
public:
    TraceCapture() { corvel::platform::SetDebugOutputHook(&TraceCapture::Hook, this); }
    ~TraceCapture() { corvel::platform::SetDebugOutputHook(nullptr, nullptr); }
    std::vector<std::string> Messages() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return messages;
    }

private:
    static void Hook(std::string_view text, void* context)
    {
        auto* self = static_cast<TraceCapture*>(context);
        const std::size_t start = text.find("): ");
        if (text.rfind("[Corvel-DisconnService](", 0) != 0 || start == std::string_view::npos) {
            return;
        }
        std::string message(text.substr(start + 3));
        if (!message.empty() && message.back() == '\n') {
            message.pop_back();
        }
        std::lock_guard<std::mutex> guard(self->lock);
        self->messages.push_back(std::move(message));
    }
    mutable std::mutex lock;
    std::vector<std::string> messages;
};

// The events the probes write, as "<id>: <text>".
class EventCapture {
public:
    EventCapture()
    {
        corvel::watchdog::ResetServerShortProbes();
        corvel::platform::SetEventLogHook(&EventCapture::Hook, this);
    }
    ~EventCapture()
    {
        corvel::platform::SetEventLogHook(nullptr, nullptr);
        corvel::watchdog::ResetServerShortProbes();
    }
    std::vector<std::string> Events() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }

private:
    static void Hook(std::uint16_t, std::uint32_t id, const std::string& text, void* context)
    {
        auto* self = static_cast<EventCapture*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->events.push_back(std::to_string(id) + ": " + text);
    }
    mutable std::mutex lock;
    std::vector<std::string> events;
};

bool WaitUntil(const std::function<bool()>& condition, std::uint32_t timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool ProbesDone()
{
    return corvel::watchdog::StartedProbeCount() == corvel::watchdog::FinishedProbeCount();
}

ClientAddressRecord Address(std::uint32_t family, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    ClientAddressRecord record;
    record.addressFamily = family;
    record.address[0] = 0x1F;  // the port bytes of a real record
    record.address[1] = 0x40;
    record.address[2] = a;
    record.address[3] = b;
    record.address[4] = c;
    record.address[5] = d;
    record.address[6] = 99;
    return record;
}

// The terminals of this suite listen on 127.0.3.x at this port; nothing
// listens on 127.0.0.1 at it, so a terminal there refuses at once.
constexpr std::uint16_t kTerminalPort = 18741;
const ClientAddressRecord kRefusingTerminal = Address(2, 127, 0, 0, 1);

class FakeManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = &manager;
        manager.consoleAnswers = {1};
        manager.logoffAnswers = {false};
        corvel::watchdog::SetSessionCalls(&kFakeCalls);
        corvel::watchdog::SetTerminalPort(kTerminalPort);
    }
    void TearDown() override
    {
        EXPECT_TRUE(WaitUntil(ProbesDone, 15000));
        corvel::platform::SetSocketFaults(0, 0);
        corvel::watchdog::SetServiceStopping(false);
        corvel::watchdog::SetSessionCalls(nullptr);
        corvel::watchdog::SetScanPeriodMs(0);
        corvel::watchdog::SetTerminalPort(0);
        fake = nullptr;
    }

    // A connected session whose terminal is at the address.
    void Connect(std::uint32_t sessionId, const ClientAddressRecord& address)
    {
        std::lock_guard<std::mutex> guard(manager.lock);
        manager.addresses[sessionId] = address;
        manager.states[sessionId] = SessionState::Connected;
    }

    // The scanner on a thread of its own, a pass every 50 ms.
    static corvel::platform::ThreadHandle StartScanner()
    {
        corvel::watchdog::SetScanPeriodMs(50);
        scannerRunning.store(1);
        return corvel::platform::StartThread(SessionScanner, nullptr);
    }
    bool WaitForEnumerations(std::size_t enumerations)
    {
        return WaitUntil(
            [&] {
                std::lock_guard<std::mutex> guard(manager.lock);
                return manager.enumerations >= enumerations;
            },
            10000);
    }
    // Stops the scanner and waits for it and for its probes.
    static void StopScanner(corvel::platform::ThreadHandle scanner)
    {
        scannerRunning.store(0);
        EXPECT_TRUE(corvel::platform::WaitForThread(scanner, 5000));
        corvel::platform::CloseThreadHandle(scanner);
        scannerRunning.store(1);
        EXPECT_TRUE(WaitUntil(ProbesDone, 15000));
    }

    // Runs the scanner until the session manager has seen the enumerations.
    void RunScannerFor(std::size_t enumerations)
    {
        corvel::platform::ThreadHandle scanner = StartScanner();
        ASSERT_NE(scanner, nullptr);
        EXPECT_TRUE(WaitForEnumerations(enumerations));
        StopScanner(scanner);
    }

    static void RunProbe(std::uint32_t sessionId)
    {
        corvel::platform::ThreadHandle probe =
            corvel::platform::StartThread(SessionProbe, reinterpret_cast<void*>(static_cast<std::uintptr_t>(sessionId)));
        ASSERT_NE(probe, nullptr);
        EXPECT_TRUE(corvel::platform::WaitForThread(probe, 15000));
        corvel::platform::CloseThreadHandle(probe);
    }

    FakeSessionManager manager;
};

TEST_F(FakeManagerTest, ClientAddressTakesBytesTwoToFiveWhateverTheFamily)
{
    manager.addresses[3] = Address(2, 192, 168, 1, 20);
    manager.addresses[4] = Address(23, 10, 0, 0, 7);  // not IPv4
    manager.addresses[5] = Address(2, 255, 255, 255, 255);
    EXPECT_EQ(GetClientAddress(3), "192.168.1.20");
    EXPECT_EQ(GetClientAddress(4), "10.0.0.7");
    EXPECT_EQ(GetClientAddress(5), "255.255.255.255");
    EXPECT_EQ(GetClientAddress(6), "") << "a failed query leaves an empty text";
}

// The probe of a session whose terminal refuses fails at once, so each case
// reaches the logoff quickly.
TEST_F(FakeManagerTest, LogoffDependsOnTheVersionRecord)
{
    constexpr std::uint32_t kMax = corvel::watchdog::kMaxWorkstationLogoffCalls;
    struct Case {
        const char* name;
        std::uint32_t major;
        std::uint32_t minor;
        std::uint8_t productType;
        std::vector<bool> logoffAnswers;
        std::size_t expectedCalls;
        bool successTraced;
    };
    const Case cases[] = {
        {"7 workstation: until the logoff fails", 6, 1, 1, {true, true, false}, 3, false},
        {"7 workstation: first logoff fails", 6, 1, 1, {false}, 1, false},
        {"7 workstation: a manager that never fails", 6, 1, 1, {true}, kMax, false},
        {"2008 R2 server: once, traced", 6, 1, 3, {true}, 1, true},
        {"Vista: once, traced", 6, 0, 1, {true}, 1, true},
        {"10: once, traced", 10, 0, 1, {true}, 1, true},
        {"XP: a failed logoff is not traced", 5, 1, 1, {false}, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> guard(manager.lock);
            manager.version = OsVersionRecord{};
            manager.version.majorVersion = c.major;
            manager.version.minorVersion = c.minor;
            manager.version.productType = c.productType;
            manager.logoffAnswers = c.logoffAnswers;
            manager.loggedOff.clear();
            manager.logoffWaited = true;
        }
        Connect(42, kRefusingTerminal);
        TraceCapture trace;
        RunProbe(42);
        std::vector<std::string> expected = {"Disconn sIP1==127.0.0.1!", corvel::watchdog::TerminalUrl("127.0.0.1"),
                                             "Logoffing!"};
        if (c.successTraced) {
            expected.push_back("Disconn WTSLogoffSession xp vista 2003 2008");
        }
        EXPECT_EQ(trace.Messages(), expected);
        std::lock_guard<std::mutex> guard(manager.lock);
        EXPECT_EQ(manager.loggedOff, std::vector<std::uint32_t>(c.expectedCalls, 42u));
        EXPECT_TRUE(manager.logoffWaited) << "every logoff waits for the session to end";
    }
}

// The console id is taken once at the start: a session that becomes the
// console's later is still probed, and the first console session never is.
// A failed enumeration starts nothing in its pass.
TEST_F(FakeManagerTest, ScannerProbesConnectedSessionsByTheConsoleIdOfItsStart)
{
    auto entry = [](std::uint32_t id, SessionState state) { return SessionEntry{id, "RDP-Tcp", state}; };
    for (std::uint32_t id : {0u, 5u, 6u}) {
        Connect(id, kRefusingTerminal);
    }
    {
        std::lock_guard<std::mutex> guard(manager.lock);
        manager.consoleAnswers = {5, 6};
        manager.sessions = {entry(0, SessionState::Connected),    entry(5, SessionState::Connected),
                            entry(6, SessionState::Connected),    entry(7, SessionState::Active),
                            entry(8, SessionState::Disconnected), entry(9, SessionState::Idle),
                            entry(10, SessionState::Listen),      entry(11, SessionState::ConnectQuery)};
    }
    corvel::platform::ThreadHandle scanner = StartScanner();
    ASSERT_NE(scanner, nullptr);
    ASSERT_TRUE(WaitForEnumerations(3));
    std::size_t successfulPasses = 0;
    {
        std::lock_guard<std::mutex> guard(manager.lock);
        manager.enumerationSucceeds = false;
        successfulPasses = manager.enumerations;
    }
    EXPECT_TRUE(WaitForEnumerations(successfulPasses + 3));
    StopScanner(scanner);

    std::lock_guard<std::mutex> guard(manager.lock);
    EXPECT_EQ(manager.consoleCalls, 1u);
    // Every probe finds its terminal refusing and logs its session off: at
    // most one per successful pass (a pass starts none while the probe of an
    // earlier one runs), all for session 6; the failed passes add none.
    EXPECT_FALSE(manager.loggedOff.empty());
    EXPECT_LE(manager.loggedOff.size(), successfulPasses);
    EXPECT_EQ(manager.loggedOff, std::vector<std::uint32_t>(manager.loggedOff.size(), 6u));
}

// Right before a logoff the probe looks again: the session must still be
// connected with the probed address. A failure of the server's own (no
// address, no socket or port, the service stopping) logs nothing off either;
// one line names the session, the address and the reason.
TEST_F(FakeManagerTest, OnlyTheTerminalsFailureOfAnUnchangedSessionLogsOff)
{
    using Rewrite = FakeSessionManager::Rewrite;
    constexpr std::uint32_t kSocketErrors[][2] = {{0, 0}, {10024, 0}, {10055, 0}, {0, 10048}, {0, 10055}};
    struct Case {
        const char* name;
        std::optional<ClientAddressRecord> address;
        std::optional<Rewrite> rewrite;
        std::size_t socketFaults;  // index into kSocketErrors
        bool stopping;
        std::string lookAgain;     // the look-again's line when it keeps the session
        std::string serverReason;  // the reason of a failure of the server's own
    };
    const Case cases[] = {
        {"unchanged", kRefusingTerminal, std::nullopt, 0, false, "", ""},
        {"id given to another terminal", kRefusingTerminal, Rewrite{Address(2, 10, 9, 9, 9), SessionState::Connected},
         0, false, "Session 42 not logged off: its client address is now \"10.9.9.9\", not the probed 127.0.0.1", ""},
        {"now active", kRefusingTerminal, Rewrite{kRefusingTerminal, SessionState::Active}, 0, false,
         "Session 42 not logged off: no longer connected (state 0)", ""},
        {"now disconnected", kRefusingTerminal, Rewrite{kRefusingTerminal, SessionState::Disconnected}, 0, false,
         "Session 42 not logged off: no longer connected (state 4)", ""},
        {"gone", kRefusingTerminal, Rewrite{std::nullopt, std::nullopt}, 0, false,
         "Session 42 not logged off: its state cannot be read (gone?)", ""},
        {"address no longer readable", kRefusingTerminal, Rewrite{std::nullopt, SessionState::Connected}, 0, false,
         "Session 42 not logged off: its client address is now \"\", not the probed 127.0.0.1", ""},
        {"address query fails", std::nullopt, std::nullopt, 0, false,
         "", "no client address; TransferFailed: bad target"},
        {"no descriptors", kRefusingTerminal, std::nullopt, 1, false,
         "", "TransferFailed: connect failed (10024)"},
        {"no buffers for a socket", kRefusingTerminal, std::nullopt, 2, false,
         "", "TransferFailed: connect failed (10055)"},
        {"no local port", kRefusingTerminal, std::nullopt, 3, false,
         "", "TransferFailed: connect failed (10048)"},
        {"no buffers on connect", kRefusingTerminal, std::nullopt, 4, false,
         "", "TransferFailed: connect failed (10055)"},
        {"service stopping", kRefusingTerminal, std::nullopt, 0, true,
         "", "the service is stopping; TransferFailed: connect failed (10061)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string address;
        {
            std::lock_guard<std::mutex> guard(manager.lock);
            manager.addresses.clear();
            manager.states = {{42, SessionState::Connected}};
            manager.rewrites.clear();
            if (c.address) {
                manager.addresses[42] = *c.address;
                address = "127.0.0.1";
            }
            if (c.rewrite) {
                manager.rewrites[42] = *c.rewrite;
            }
            manager.logoffAnswers = {true};
            manager.loggedOff.clear();
        }
        corvel::platform::SetSocketFaults(kSocketErrors[c.socketFaults][0], kSocketErrors[c.socketFaults][1]);
        corvel::watchdog::SetServiceStopping(c.stopping);
        TraceCapture trace;
        EventCapture events;
        RunProbe(42);
        corvel::watchdog::SetServiceStopping(false);
        corvel::platform::SetSocketFaults(0, 0);

        // The trace's last line and the event log say what became of the session.
        std::vector<std::string> expected = {"Disconn sIP1==" + address + "!", corvel::watchdog::TerminalUrl(address)};
        std::vector<std::string> expectedEvents;
        const bool loggedOff = c.lookAgain.empty() && c.serverReason.empty();
        if (!c.serverReason.empty()) {
            expected.push_back("Session 42 (" + address + ") not logged off, the server's own failure: " +
                               c.serverReason + "; judged again at the next pass");
            // The first failure of a quiet minute is summed up at once.
            expectedEvents.push_back("110: 1 session probes failed for reasons of this server's own, not of their "
                                     "terminals, and logged nothing off; most common reason (1 of them): " +
                                     c.serverReason + ". The sessions are probed again at the next passes.");
        } else if (!c.lookAgain.empty()) {
            expected.push_back(c.lookAgain);
        } else {
            expected.push_back("Logoffing!");
            expected.push_back("Disconn WTSLogoffSession xp vista 2003 2008");
            expectedEvents.push_back("109: Session 42 (client address 127.0.0.1) was logged off: its terminal was "
                                     "judged dead (TransferFailed: connect failed (10061)).");
        }
        EXPECT_EQ(trace.Messages(), expected);
        EXPECT_EQ(events.Events(), expectedEvents);
        std::lock_guard<std::mutex> guard(manager.lock);
        EXPECT_EQ(manager.loggedOff, std::vector<std::uint32_t>(loggedOff ? 1 : 0, 42u));
    }
}

// The response budget held by other probes: a terminal whose answer needs
// more than its own allowance is not judged dead for it; a small answer
// needs no budget at all and is read as always.
TEST_F(FakeManagerTest, BudgetHeldByOthersLogsNothingOff)
{
    using corvel::testing::HttpAnswer;
    using corvel::testing::TestResponseEnvelope;
    corvel::testing::StubTerminals terminals;
    terminals.Add("127.0.3.61", kTerminalPort, corvel::testing::StubBehaviour::answer,
                  HttpAnswer("200 OK", TestResponseEnvelope("OK")));
    terminals.Add("127.0.3.62", kTerminalPort, corvel::testing::StubBehaviour::answer,
                  HttpAnswer("200 OK", TestResponseEnvelope(std::string(64 * 1024, 'x'))));
    terminals.Start();
    Connect(61, Address(2, 127, 0, 3, 61));
    Connect(62, Address(2, 127, 0, 3, 62));
    corvel::http::ResponseBudget& budget = corvel::http::ProcessResponseBudget();
    const std::size_t limit = budget.Limit();
    budget.SetLimit(0);
    TraceCapture trace;
    RunProbe(61);
    RunProbe(62);
    budget.SetLimit(limit);
    const std::vector<std::string> expected = {
        "Disconn sIP1==127.0.3.61!", corvel::watchdog::TerminalUrl("127.0.3.61"), "127.0.3.61 connect: OK",
        "Disconn sIP1==127.0.3.62!", corvel::watchdog::TerminalUrl("127.0.3.62"),
        "Session 62 (127.0.3.62) not logged off, the server's own failure: TransferFailed: budget exhausted; judged "
        "again at the next pass"};
    EXPECT_EQ(trace.Messages(), expected);
    std::lock_guard<std::mutex> guard(manager.lock);
    EXPECT_TRUE(manager.loggedOff.empty());
}

// An exception ends neither the probe's thread nor the scanner: the probe
// traces it and logs nothing off, the scanner traces it and goes on with its
// next pass.
TEST_F(FakeManagerTest, ExceptionsEndNoWorker)
{
    Connect(6, kRefusingTerminal);
    {
        std::lock_guard<std::mutex> guard(manager.lock);
        manager.addressQueryThrows = true;
    }
    {
        TraceCapture trace;
        RunProbe(6);
        const std::vector<std::string> expected = {"Probe of session 6 ended by an exception: session manager fault"};
        EXPECT_EQ(trace.Messages(), expected);
    }
    {
        std::lock_guard<std::mutex> guard(manager.lock);
        EXPECT_TRUE(manager.loggedOff.empty());
        manager.addressQueryThrows = false;
        manager.throwingEnumerations = 2;
        manager.sessions = {SessionEntry{6, "RDP-Tcp", SessionState::Connected}};
    }
    TraceCapture trace;
    RunScannerFor(4);
    const std::vector<std::string> messages = trace.Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Session scanner pass ended by an exception: session manager fault");
    EXPECT_EQ(messages[1], "Session scanner pass ended by an exception: session manager fault");
    // The passes after them probe again.
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Logoffing!"), messages.end());
}

// At most one probe per session is in flight: while the probes of two
// sessions wait for their silent terminals, the passes start none for them,
// and each pass says so in one line.
TEST_F(FakeManagerTest, OneProbePerSessionInFlight)
{
    corvel::testing::StubTerminals terminals;
    const std::size_t first = terminals.Add("127.0.3.57", kTerminalPort, corvel::testing::StubBehaviour::silent);
    const std::size_t second = terminals.Add("127.0.3.58", kTerminalPort, corvel::testing::StubBehaviour::silent);
    terminals.Start();
    Connect(7, Address(2, 127, 0, 3, 57));
    Connect(8, Address(2, 127, 0, 3, 58));
    {
        std::lock_guard<std::mutex> guard(manager.lock);
        manager.sessions = {SessionEntry{7, "RDP-Tcp", SessionState::Connected},
                            SessionEntry{8, "RDP-Tcp", SessionState::Connected}};
    }
    TraceCapture trace;
    // Five passes of 50 ms, well within the probes' time-out of 1000 ms.
    RunScannerFor(5);
    EXPECT_EQ(terminals.Requests(first), 1u);
    EXPECT_EQ(terminals.Requests(second), 1u);
    std::size_t skippedPasses = 0;
    for (const std::string& message : trace.Messages()) {
        if (message.rfind("Still probing", 0) == 0) {
            EXPECT_EQ(message, "Still probing from an earlier pass, not probed again: sessions 7 8");
            ++skippedPasses;
        }
    }
    EXPECT_GE(skippedPasses, 4u);
}

}  // namespace
