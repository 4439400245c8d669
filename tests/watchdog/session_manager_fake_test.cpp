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
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/debug_output.h"
#include "platform/sessions.h"
#include "platform/threads.h"
#include "watchdog/session_probe.h"
#include "watchdog/session_scanner.h"
#include "watchdog/watchdog_settings.h"

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
    sessions = fake->enumerationSucceeds ? fake->sessions : std::vector<SessionEntry>{};
    return fake->enumerationSucceeds;
}

bool FakeAddress(std::uint32_t sessionId, ClientAddressRecord& record)
{
    std::lock_guard<std::mutex> guard(fake->lock);
    auto found = fake->addresses.find(sessionId);
    if (found == fake->addresses.end()) {
        return false;
    }
    record = found->second;
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

const corvel::watchdog::SessionCalls kFakeCalls{FakeConsole, FakeEnumerate, FakeAddress, FakeLogoff, FakeVersion};

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

class FakeManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = &manager;
        manager.consoleAnswers = {1};
        manager.logoffAnswers = {false};
        corvel::watchdog::SetSessionCalls(&kFakeCalls);
    }
    void TearDown() override
    {
        EXPECT_TRUE(WaitUntil(ProbesDone, 15000));
        corvel::watchdog::SetSessionCalls(nullptr);
        corvel::watchdog::SetScanPeriodMs(0);
        fake = nullptr;
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

// The probe of a session without a client address fails at once (the URL
// names no host), so each case reaches the logoff decision quickly.
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
        TraceCapture trace;
        RunProbe(42);
        std::vector<std::string> expected = {"Disconn sIP1==!", "http:///webservice.wsdl", "Logoffing!"};
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
    {
        std::lock_guard<std::mutex> guard(manager.lock);
        manager.consoleAnswers = {5, 6};
        manager.sessions = {entry(0, SessionState::Connected),    entry(5, SessionState::Connected),
                            entry(6, SessionState::Connected),    entry(7, SessionState::Active),
                            entry(8, SessionState::Disconnected), entry(9, SessionState::Idle),
                            entry(10, SessionState::Listen),      entry(11, SessionState::ConnectQuery)};
    }
    corvel::watchdog::SetScanPeriodMs(50);
    scannerRunning.store(1);
    corvel::platform::ThreadHandle scanner = corvel::platform::StartThread(SessionScanner, nullptr);
    ASSERT_NE(scanner, nullptr);
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::lock_guard<std::mutex> guard(manager.lock);
            return manager.enumerations >= 3;
        },
        10000));
    std::size_t successfulPasses = 0;
    {
        std::lock_guard<std::mutex> guard(manager.lock);
        manager.enumerationSucceeds = false;
        successfulPasses = manager.enumerations;
    }
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::lock_guard<std::mutex> guard(manager.lock);
            return manager.enumerations >= successfulPasses + 3;
        },
        10000));
    scannerRunning.store(0);
    EXPECT_TRUE(corvel::platform::WaitForThread(scanner, 5000));
    corvel::platform::CloseThreadHandle(scanner);
    ASSERT_TRUE(WaitUntil(ProbesDone, 15000));

    std::lock_guard<std::mutex> guard(manager.lock);
    EXPECT_EQ(manager.consoleCalls, 1u);
    // Every probe fails (no client address) and tries one logoff: exactly one
    // per successful pass, all for session 6; the failed passes add none.
    EXPECT_EQ(manager.loggedOff, std::vector<std::uint32_t>(successfulPasses, 6u));
}

}  // namespace
