// The watchdog end to end: the scanner over a session table, probes through
// the real proxy against stub terminals on 127.0.3.x, and the trace lines
// they write.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#endif

#include "platform/debug_output.h"
#include "platform/threads.h"
#include "watchdog/session_probe.h"
#include "watchdog/session_scanner.h"
#include "watchdog/watchdog_settings.h"
#include "support/state_root.h"
#include "support/terminals.h"

namespace {

using corvel::testing::FaultEnvelope;
using corvel::testing::HttpAnswer;
using corvel::testing::StubBehaviour;
using corvel::testing::StubTerminals;
using corvel::testing::TestResponseEnvelope;

// Ports of this suite; other suites use 80 and 8000.
constexpr std::uint16_t kTerminalPort = 18731;
constexpr std::uint32_t kTestScanPeriodMs = 100;

// Trace lines written while the capture lives, without their prefix.
class TraceCapture {
public:
    TraceCapture() { corvel::platform::SetDebugOutputHook(&TraceCapture::Hook, this); }
    ~TraceCapture() { corvel::platform::SetDebugOutputHook(nullptr, nullptr); }

    // Messages in the order written.
    std::vector<std::string> Messages() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return messages;
    }
    // Each thread's messages in order, keyed by the thread id text.
    std::vector<std::vector<std::string>> ByThread() const
    {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> order;
        std::vector<std::vector<std::string>> lines;
        for (std::size_t index = 0; index < messages.size(); ++index) {
            auto found = std::find(order.begin(), order.end(), threads[index]);
            if (found == order.end()) {
                order.push_back(threads[index]);
                lines.emplace_back();
                found = order.end() - 1;
            }
            lines[static_cast<std::size_t>(found - order.begin())].push_back(messages[index]);
        }
        return lines;
    }
    std::size_t Count(const std::string& message) const
    {
        std::lock_guard<std::mutex> guard(lock);
        return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), message));
    }

private:
    static void Hook(std::string_view text, void* context)
    {
        auto* self = static_cast<TraceCapture*>(context);
        // "[Corvel-DisconnService](1234): message\n"
        const std::string prefix = "[Corvel-DisconnService](";
        if (text.substr(0, prefix.size()) != prefix) {
            return;
        }
        const std::size_t close = text.find("): ");
        if (close == std::string_view::npos) {
            return;
        }
        std::string message(text.substr(close + 3));
        if (!message.empty() && message.back() == '\n') {
            message.pop_back();
        }
        std::lock_guard<std::mutex> guard(self->lock);
        self->threads.emplace_back(text.substr(prefix.size(), close - prefix.size()));
        self->messages.push_back(std::move(message));
    }

    mutable std::mutex lock;
    std::vector<std::string> threads;
    std::vector<std::string> messages;
};

std::string TerminalUrl(const std::string& address)
{
    return "http://" + address + ":" + std::to_string(kTerminalPort) + "/webservice.wsdl";
}

// Runs one probe to its end on a thread of its own, as the scanner would.
void RunProbe(std::uint32_t sessionId)
{
    corvel::platform::ThreadHandle thread =
        corvel::platform::StartThread(SessionProbe, reinterpret_cast<void*>(static_cast<std::uintptr_t>(sessionId)));
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(corvel::platform::WaitForThread(thread, 15000));
    corvel::platform::CloseThreadHandle(thread);
}

bool WaitUntil(const std::function<bool()>& condition, std::uint32_t timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

bool ProbesDone()
{
    return corvel::watchdog::StartedProbeCount() == corvel::watchdog::FinishedProbeCount();
}

// Every test points the probes at its stub port and restores the defaults.
class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        corvel::watchdog::SetTerminalUrlTemplate(nullptr);
        corvel::watchdog::SetTerminalPort(kTerminalPort);
    }
    void TearDown() override
    {
        ASSERT_TRUE(WaitUntil(ProbesDone, 15000));
        corvel::watchdog::SetTerminalUrlTemplate(nullptr);
        corvel::watchdog::SetTerminalPort(0);
        corvel::watchdog::SetScanPeriodMs(0);
    }
};

TEST(TerminalUrl, DefaultTemplateAndSeam)
{
    EXPECT_EQ(corvel::watchdog::TerminalUrl("192.168.1.20"), "http://192.168.1.20/webservice.wsdl");
    corvel::watchdog::SetTerminalUrlTemplate("https://%s/x%d.wsdl");
    EXPECT_EQ(corvel::watchdog::TerminalUrl("10.0.0.7"), "https://10.0.0.7/x%d.wsdl");
    corvel::watchdog::SetTerminalPort(9);
    EXPECT_EQ(corvel::watchdog::TerminalUrl("10.0.0.7"), "https://10.0.0.7:9/x%d.wsdl");
    corvel::watchdog::SetTerminalPort(0);
    corvel::watchdog::SetTerminalUrlTemplate(nullptr);
    EXPECT_EQ(corvel::watchdog::TerminalUrl("10.0.0.7"), "http://10.0.0.7/webservice.wsdl");
}

TEST(Eligibility, OnlyConnectedSessionsOtherThanZeroAndTheConsole)
{
    struct Case {
        std::uint32_t sessionId;
        std::uint32_t state;
        bool eligible;
    };
    const std::uint32_t console = 3;
    const Case cases[] = {
        {0, 1, false}, {3, 1, false}, {2, 0, false}, {2, 4, false}, {2, 5, false},
        {2, 6, false}, {2, 2, false}, {2, 1, true},  {65536, 1, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(corvel::watchdog::IsProbeEligible(c.sessionId, c.state, console), c.eligible)
            << "session " << c.sessionId << " state " << c.state;
    }
}

// A session the session manager does not know has no client address: the URL
// names no host and the call fails, but as the server's own failure.
// The template seam lets the same path reach a live stub, so the answer line
// is checked on every platform (under Wine, terminal services list nothing).
TEST_F(ProbeTest, CallPathWithoutClientAddress)
{
    StubTerminals terminals;
    terminals.Add("127.0.3.1", kTerminalPort, StubBehaviour::answer,
                  HttpAnswer("200 OK", TestResponseEnvelope("OK")));
    terminals.Start();
    const std::uint32_t unknownSession = 4000000;
    {
        TraceCapture trace;
        static const std::string liveTemplate =
            "http://127.0.3.1:" + std::to_string(kTerminalPort) + "/webservice.wsdl%s";
        corvel::watchdog::SetTerminalPort(0);
        corvel::watchdog::SetTerminalUrlTemplate(liveTemplate.c_str());
        RunProbe(unknownSession);
        const std::vector<std::string> expected = {
            "Disconn sIP1==!", TerminalUrl("127.0.3.1"), " connect: OK"};
        EXPECT_EQ(trace.Messages(), expected);
        EXPECT_EQ(terminals.Requests(0), 1u);
        const std::string request = terminals.LastRequest(0);
        EXPECT_EQ(request.rfind("POST /webservice.wsdl HTTP/1.1\r\n", 0), 0u) << request;
        EXPECT_NE(request.find("SOAPAction: \"http://corvel.example/action/Tamsvald.Test\"\r\n"), std::string::npos);
    }
    {
        TraceCapture trace;
        corvel::watchdog::SetTerminalUrlTemplate(nullptr);
        RunProbe(unknownSession);
        // No address is the server's own failure: nothing is logged off.
        const std::vector<std::string> expected = {
            "Disconn sIP1==!", "http:///webservice.wsdl",
            "Session 4000000 () not logged off, the server's own failure: no client address; TransferFailed: bad "
            "target; judged again at the next pass"};
        EXPECT_EQ(trace.Messages(), expected);
    }
}

// The session table: read by the platform's substitute on Linux, and under
// Wine by the wtsapi32.dll stand-in (tests/windows) that the test stage loads
// in place of Wine's own. On Windows the console session is kernel32's.
#if defined(_WIN32)
std::uint32_t ConsoleSession() { return corvel::platform::ActiveConsoleSessionId(); }
#else
std::uint32_t ConsoleSession() { return 31; }
#endif

// A Windows 7 workstation (Wine's default) logs a session off by calling
// again until the call fails, and traces no success line.
bool LogoffSuccessIsTraced()
{
    corvel::platform::OsVersionRecord version;
    corvel::platform::QueryOsVersion(version);
    return !(version.majorVersion == 6 && version.minorVersion == 1 &&
             version.productType == corvel::platform::kProductWorkstation);
}

// A temporary state root holding the session table.
class SessionTableTest : public ProbeTest {
protected:
    void SetUp() override
    {
        ProbeTest::SetUp();
        stateRoot.emplace(std::string("corvel-watchdog-") +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
        root = stateRoot->path();
    }
    void TearDown() override
    {
        ProbeTest::TearDown();
        stateRoot.reset();
    }

    void WriteTable(const std::string& text)
    {
        std::ofstream(root / "sessions") << text;
    }
    std::string ReadTable() const
    {
        std::ifstream file(root / "sessions");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    bool TableHasSession(std::uint32_t sessionId) const
    {
        std::istringstream lines(ReadTable());
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::string first;
            words >> first;
            if (first == std::to_string(sessionId)) {
                return true;
            }
        }
        return false;
    }

    // Runs the scanner for the given number of passes and stops it.
    void RunScanner(std::uint32_t passes)
    {
        corvel::watchdog::SetScanPeriodMs(kTestScanPeriodMs);
        scannerRunning.store(1);
        corvel::platform::ThreadHandle scanner = corvel::platform::StartThread(SessionScanner, nullptr);
        ASSERT_NE(scanner, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(passes * kTestScanPeriodMs - kTestScanPeriodMs / 2));
        scannerRunning.store(0);
        ASSERT_TRUE(corvel::platform::WaitForThread(scanner, 5000));
        corvel::platform::CloseThreadHandle(scanner);
        scannerRunning.store(1);
        ASSERT_TRUE(WaitUntil(ProbesDone, 15000));
    }

    std::optional<corvel::testing::TemporaryStateRoot> stateRoot;
    std::filesystem::path root;
};

TEST_F(SessionTableTest, LiveTerminalKeepsItsSession)
{
    StubTerminals terminals;
    terminals.Add("127.0.3.2", kTerminalPort, StubBehaviour::answer,
                  HttpAnswer("200 OK", TestResponseEnvelope("OK")));
    terminals.Start();
    WriteTable("console 1\n7 connected 127.0.3.2 RDP-Tcp#7\n");
    TraceCapture trace;
    RunProbe(7);
    const std::vector<std::string> expected = {"Disconn sIP1==127.0.3.2!", TerminalUrl("127.0.3.2"),
                                               "127.0.3.2 connect: OK"};
    EXPECT_EQ(trace.Messages(), expected);
    EXPECT_TRUE(TableHasSession(7));
}

// Every way a terminal can fail ends with a logoff that removes the session's
// line. The scanner starts all probes in one pass, so they run at once.
TEST_F(SessionTableTest, DeadTerminalsAreLoggedOff)
{
    struct Case {
        const char* name;
        std::uint32_t sessionId;
        const char* address;
        StubBehaviour behaviour;  // refused: no stub listens
        std::string answer;
        bool listening;
    };
    const Case cases[] = {
        {"refused", 11, "127.0.3.11", StubBehaviour::answer, "", false},
        {"silent", 12, "127.0.3.12", StubBehaviour::silent, "", true},
        {"404", 13, "127.0.3.13", StubBehaviour::answer, HttpAnswer("404 Not Found", "no such page", "text/plain"),
         true},
        {"500 with a fault", 14, "127.0.3.14", StubBehaviour::answer,
         HttpAnswer("500 Internal Server Error", FaultEnvelope("Server", "broken", "terminal", "disk")), true},
        {"garbage", 15, "127.0.3.15", StubBehaviour::answer, "this is not HTTP at all\r\n\r\n", true},
        {"202", 16, "127.0.3.16", StubBehaviour::answer, HttpAnswer("202 Accepted", ""), true},
    };
    StubTerminals terminals;
    std::string table = "# every terminal here is dead\nconsole 1\n";
    for (const Case& c : cases) {
        if (c.listening) {
            terminals.Add(c.address, kTerminalPort, c.behaviour, c.answer);
        }
        table += std::to_string(c.sessionId) + " connected " + c.address + "  # " + c.name + "\n";
    }
    table += "20 active 127.0.3.20\n";
    terminals.Start();
    WriteTable(table);
    TraceCapture trace;
    const auto started = std::chrono::steady_clock::now();
    RunScanner(1);
    const auto elapsed = std::chrono::steady_clock::now() - started;

    const auto threads = trace.ByThread();
    for (const Case& c : cases) {
        EXPECT_FALSE(TableHasSession(c.sessionId)) << c.name;
        const std::string first = std::string("Disconn sIP1==") + c.address + "!";
        auto probe = std::find_if(threads.begin(), threads.end(),
                                  [&](const std::vector<std::string>& lines) { return lines.front() == first; });
        ASSERT_NE(probe, threads.end()) << c.name;
        std::vector<std::string> expected = {first, TerminalUrl(c.address), "Logoffing!"};
        if (LogoffSuccessIsTraced()) {
            expected.push_back("Disconn WTSLogoffSession xp vista 2003 2008");
        }
        EXPECT_EQ(*probe, expected) << c.name;
    }
    EXPECT_TRUE(TableHasSession(20));
    EXPECT_NE(ReadTable().find("console 1"), std::string::npos);
    // The silent terminal costs the probe's time-out, not the HTTP default.
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

// The session table rewritten while the probes wait for silent terminals:
// right before a logoff the probe looks again, and a session that is no
// longer the one it probed (its id given to another terminal, now active,
// gone, without an address) stays; only the unchanged one is logged off.
TEST_F(SessionTableTest, TableRewrittenDuringTheProbeLogsNothingOff)
{
    struct Case {
        std::uint32_t sessionId;
        const char* address;
        const char* rewritten;  // the session's line after the rewrite; empty: removed
        const char* lookAgain;  // the probe's last line; empty: logged off
    };
    const Case cases[] = {
        {41, "127.0.3.41", "41 connected 127.0.3.141",
         "Session 41 not logged off: its client address is now \"127.0.3.141\", not the probed 127.0.3.41"},
        {42, "127.0.3.42", "42 active 127.0.3.42", "Session 42 not logged off: no longer connected (state 0)"},
        {43, "127.0.3.43", "", "Session 43 not logged off: its state cannot be read (gone?)"},
        {44, "127.0.3.44", "44 connected 127.0.3.44", ""},
        {45, "127.0.3.45", "45 connected -",
         "Session 45 not logged off: its client address is now \"\", not the probed 127.0.3.45"},
    };
    StubTerminals terminals;
    std::string before = "console 1\n";
    std::string after = "console 1\n";
    for (const Case& c : cases) {
        terminals.Add(c.address, kTerminalPort, StubBehaviour::silent);
        before += std::to_string(c.sessionId) + " connected " + c.address + "\n";
        after += c.rewritten[0] != 0 ? std::string(c.rewritten) + "\n" : "";
    }
    terminals.Start();
    WriteTable(before);
    TraceCapture trace;
    std::vector<corvel::platform::ThreadHandle> probes;
    for (const Case& c : cases) {
        probes.push_back(corvel::platform::StartThread(
            SessionProbe, reinterpret_cast<void*>(static_cast<std::uintptr_t>(c.sessionId))));
        ASSERT_NE(probes.back(), nullptr);
    }
    // Once every terminal has the request, every probe has read its address;
    // the terminals answer nothing for the probe's time-out of 1000 ms.
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (std::size_t terminal = 0; terminal < std::size(cases); ++terminal) {
                if (terminals.Requests(terminal) == 0) {
                    return false;
                }
            }
            return true;
        },
        5000));
    WriteTable(after);
    for (corvel::platform::ThreadHandle probe : probes) {
        EXPECT_TRUE(corvel::platform::WaitForThread(probe, 15000));
        corvel::platform::CloseThreadHandle(probe);
    }
    const auto threads = trace.ByThread();
    for (const Case& c : cases) {
        const std::string first = std::string("Disconn sIP1==") + c.address + "!";
        auto probe = std::find_if(threads.begin(), threads.end(),
                                  [&](const std::vector<std::string>& lines) { return lines.front() == first; });
        ASSERT_NE(probe, threads.end()) << c.address;
        std::vector<std::string> expected = {first, TerminalUrl(c.address)};
        if (c.lookAgain[0] != 0) {
            expected.push_back(c.lookAgain);
        } else {
            expected.push_back("Logoffing!");
            if (LogoffSuccessIsTraced()) {
                expected.push_back("Disconn WTSLogoffSession xp vista 2003 2008");
            }
        }
        EXPECT_EQ(*probe, expected) << c.address;
        EXPECT_EQ(TableHasSession(c.sessionId), c.rewritten[0] != 0 && c.lookAgain[0] != 0) << c.address;
    }
}

// Only connected sessions other than 0 and the console are probed, and a
// connected session is probed again on every pass.
TEST_F(SessionTableTest, WhichSessionsAreProbedAndHowOften)
{
    StubTerminals terminals;
    const std::string answer = HttpAnswer("200 OK", TestResponseEnvelope("OK"));
    const std::size_t zero = terminals.Add("127.0.3.30", kTerminalPort, StubBehaviour::answer, answer);
    const std::size_t console = terminals.Add("127.0.3.31", kTerminalPort, StubBehaviour::answer, answer);
    const std::size_t active = terminals.Add("127.0.3.32", kTerminalPort, StubBehaviour::answer, answer);
    const std::size_t disconnected = terminals.Add("127.0.3.33", kTerminalPort, StubBehaviour::answer, answer);
    const std::size_t idle = terminals.Add("127.0.3.34", kTerminalPort, StubBehaviour::answer, answer);
    const std::size_t connected = terminals.Add("127.0.3.35", kTerminalPort, StubBehaviour::answer, answer);
    terminals.Start();
    const std::string consoleId = std::to_string(ConsoleSession());
    ASSERT_NE(consoleId, "0");
    WriteTable("console " + consoleId + "\n"
               "0 connected 127.0.3.30 Services\n" +
               consoleId + " connected 127.0.3.31 Console\n"
               "32 active 127.0.3.32\n"
               "33 4 127.0.3.33\n"
               "34 idle 127.0.3.34\n"
               "35 1 127.0.3.35 RDP-Tcp#35\n");
    TraceCapture trace;
    RunScanner(4);
    for (std::size_t never : {zero, console, active, disconnected, idle}) {
        EXPECT_EQ(terminals.Requests(never), 0u) << "terminal " << never;
    }
    EXPECT_GE(terminals.Requests(connected), 3u);
    EXPECT_LE(terminals.Requests(connected), 5u);
    EXPECT_EQ(trace.Count("127.0.3.35 connect: OK"), terminals.Requests(connected));
    EXPECT_EQ(trace.Count("Logoffing!"), 0u);
    EXPECT_TRUE(TableHasSession(35));
}

TEST_F(SessionTableTest, ScannerStoppedBeforeItStartsProbesNothing)
{
    StubTerminals terminals;
    const std::size_t connected = terminals.Add("127.0.3.36", kTerminalPort, StubBehaviour::answer,
                                                HttpAnswer("200 OK", TestResponseEnvelope("OK")));
    terminals.Start();
    WriteTable("36 connected 127.0.3.36\n");
    scannerRunning.store(0);
    EXPECT_EQ(SessionScanner(nullptr), 0u);
    scannerRunning.store(1);
    EXPECT_EQ(terminals.Requests(connected), 0u);
}

#if defined(_WIN32)
std::size_t OpenDescriptors()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

std::size_t ThreadCount()
{
    std::size_t count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

// Windows keeps a few handles of its own after the first use of Winsock and
// COM on new threads; a leak per probe is far above this.
constexpr std::size_t kHandleSlack = 8;
#else
std::size_t OpenDescriptors()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

std::size_t ThreadCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

constexpr std::size_t kHandleSlack = 0;
#endif

// Many probes at once: afterwards no probe thread and no socket is left, the
// refusing terminals' sessions are gone and the answering ones stay.
TEST_F(SessionTableTest, ManySessionsLeaveNothingBehind)
{
    constexpr std::uint32_t kSessions = 60;
    StubTerminals terminals;
    std::string table = "console 1\n";
    for (std::uint32_t index = 0; index < kSessions; ++index) {
        const std::string address = "127.0.3." + std::to_string(100 + index);
        if (index % 2 == 0) {
            terminals.Add(address, kTerminalPort, StubBehaviour::answer,
                          HttpAnswer("200 OK", TestResponseEnvelope("OK")));
        }
        table += std::to_string(1000 + index) + " connected " + address + "\n";
    }
    terminals.Start();
    WriteTable(table);
    const std::size_t descriptorsBefore = OpenDescriptors();
    const std::size_t threadsBefore = ThreadCount();
    TraceCapture trace;
    RunScanner(1);
    for (std::uint32_t index = 0; index < kSessions; ++index) {
        EXPECT_EQ(TableHasSession(1000 + index), index % 2 == 0) << "session " << 1000 + index;
    }
    EXPECT_EQ(trace.Count("Logoffing!"), kSessions / 2);
    EXPECT_EQ(trace.Count("Disconn WTSLogoffSession xp vista 2003 2008"),
              LogoffSuccessIsTraced() ? kSessions / 2 : 0u);
    // Probe threads end right after their counter drops; give them a moment.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 5000));
    EXPECT_LE(OpenDescriptors(), descriptorsBefore + kHandleSlack);
}

}  // namespace
