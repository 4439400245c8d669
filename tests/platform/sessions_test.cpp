// The Linux session table that stands in for terminal services: its line
// format, what makes it malformed, client addresses, and logoffs that rewrite
// it atomically while other probes do the same.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sessions.h"
#include "support/state_root.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdlib>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using corvel::platform::ClientAddressRecord;
using corvel::platform::SessionEntry;
using corvel::platform::SessionState;

// Under Wine the table is read by the wtsapi32.dll stand-in that the test
// stage loads in place of Wine's (tests/windows), from the same root. The
// console session comes from the table on Linux only: on Windows kernel32
// answers it.
#if defined(_WIN32)
constexpr bool kConsoleFromTable = false;

TEST(SessionPlatform, VersionRecordComesFromTheSystem)
{
    corvel::platform::OsVersionRecord version;
    ASSERT_TRUE(corvel::platform::QueryOsVersion(version));
    EXPECT_GE(version.majorVersion, 5u);
    EXPECT_NE(version.productType, 0);
}
#else
constexpr bool kConsoleFromTable = true;
#endif

class SessionTableFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        stateRoot.emplace(std::string("corvel-session-table-") +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
        root = stateRoot->path();
    }
    void TearDown() override
    {
        stateRoot.reset();
    }

    void Write(const std::string& text) { std::ofstream(root / "sessions", std::ios::binary) << text; }
    std::string Read() const
    {
        std::ifstream file(root / "sessions", std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    std::optional<corvel::testing::TemporaryStateRoot> stateRoot;
    fs::path root;
};

TEST_F(SessionTableFile, MissingFileListsNoSessionsAndNoConsole)
{
    std::vector<SessionEntry> sessions{SessionEntry{}};
    EXPECT_TRUE(corvel::platform::EnumerateSessions(sessions));
    EXPECT_TRUE(sessions.empty());
    if (kConsoleFromTable) {
        EXPECT_EQ(corvel::platform::ActiveConsoleSessionId(), corvel::platform::kNoConsoleSession);
    }
    EXPECT_FALSE(corvel::platform::LogoffSession(3, true));
}

TEST_F(SessionTableFile, LinesCommentsStatesAndStations)
{
    Write("# id state address [station]\n"
          "\n"
          "console 7\n"
          "0 listen -\n"
          "3 connected 192.168.1.20 RDP-Tcp#3   # a comment after the content\n"
          "   4\tDisconnected 10.0.0.7\r\n"
          "5 9 - \n"
          "6 active 127.0.0.1");
    std::vector<SessionEntry> sessions;
    ASSERT_TRUE(corvel::platform::EnumerateSessions(sessions));
    ASSERT_EQ(sessions.size(), 5u);
    struct Expected {
        std::uint32_t id;
        SessionState state;
        const char* station;
    };
    const Expected expected[] = {
        {0, SessionState::Listen, ""},
        {3, SessionState::Connected, "RDP-Tcp"},
        {4, SessionState::Disconnected, ""},
        {5, SessionState::Init, ""},
        {6, SessionState::Active, ""},
    };
    for (std::size_t index = 0; index < sessions.size(); ++index) {
        EXPECT_EQ(sessions[index].sessionId, expected[index].id) << index;
        EXPECT_EQ(sessions[index].state, expected[index].state) << index;
        EXPECT_EQ(sessions[index].windowStationName, expected[index].station) << index;
    }
    if (kConsoleFromTable) {
        EXPECT_EQ(corvel::platform::ActiveConsoleSessionId(), 7u);
    }
}

TEST_F(SessionTableFile, MalformedTableFailsTheEnumeration)
{
    const char* const malformed[] = {
        "x connected 1.2.3.4\n",          // id not a number
        "-1 connected 1.2.3.4\n",         // nor a negative one
        "4294967296 connected 1.2.3.4\n", // beyond 32 bits
        "5 bogus 1.2.3.4\n",              // unknown state
        "5 10 1.2.3.4\n",                 // state number out of range
        "5 connected 1.2.3\n",            // address not dotted IPv4
        "5 connected 256.1.1.1\n",
        "5 connected\n",                  // address missing
        "5 connected 1.2.3.4 station extra\n",
        "console\n",
        "console x\n",
        "console 1 2\n",
        "3 connected 1.2.3.4\nconsole\n",  // one bad line spoils the table
    };
    for (const char* text : malformed) {
        Write(text);
        std::vector<SessionEntry> sessions;
        EXPECT_FALSE(corvel::platform::EnumerateSessions(sessions)) << text;
        EXPECT_TRUE(sessions.empty()) << text;
        if (kConsoleFromTable) {
            EXPECT_EQ(corvel::platform::ActiveConsoleSessionId(), corvel::platform::kNoConsoleSession) << text;
        }
    }
}

TEST_F(SessionTableFile, UnreadableTableFailsTheEnumeration)
{
    fs::create_directories(root / "sessions");  // a directory cannot be read as a table
    std::vector<SessionEntry> sessions;
    EXPECT_FALSE(corvel::platform::EnumerateSessions(sessions));
}

TEST_F(SessionTableFile, ClientAddressIsIpv4InBytesTwoToFive)
{
    Write("3 connected 192.168.1.20\n4 connected -\n");
    ClientAddressRecord record;
    ASSERT_TRUE(corvel::platform::QueryClientAddress(3, record));
    EXPECT_EQ(record.addressFamily, 2u);
    const std::uint8_t expected[20] = {0, 0, 192, 168, 1, 20};
    for (std::size_t index = 0; index < 20; ++index) {
        EXPECT_EQ(record.address[index], expected[index]) << index;
    }
    EXPECT_FALSE(corvel::platform::QueryClientAddress(4, record)) << "no client address";
    EXPECT_FALSE(corvel::platform::QueryClientAddress(9, record)) << "no such session";
}

TEST_F(SessionTableFile, LogoffRemovesOnlyThatSessionsLines)
{
    const std::string table = "# terminals\nconsole 1\n1 active 10.0.0.1\n"
                              "12 connected 10.0.0.12 # twelve\n2 connected 10.0.0.2\n12 idle -\n"
                              "120 connected 10.0.0.120";
    Write(table);
    ASSERT_TRUE(corvel::platform::LogoffSession(12, true));
    EXPECT_EQ(Read(), "# terminals\nconsole 1\n1 active 10.0.0.1\n2 connected 10.0.0.2\n120 connected 10.0.0.120");
    EXPECT_FALSE(corvel::platform::LogoffSession(12, true)) << "a session that is gone cannot be logged off";
    EXPECT_TRUE(corvel::platform::LogoffSession(1, false));
    EXPECT_EQ(Read(), "# terminals\nconsole 1\n2 connected 10.0.0.2\n120 connected 10.0.0.120");

    // Nothing but the table is left behind in the state root.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root)) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"sessions"});
}

TEST_F(SessionTableFile, MalformedTableIsNotRewritten)
{
    const std::string table = "3 connected 10.0.0.3\n4 nonsense 10.0.0.4\n";
    Write(table);
    EXPECT_FALSE(corvel::platform::LogoffSession(3, true));
    EXPECT_EQ(Read(), table);
}

TEST_F(SessionTableFile, ConcurrentLogoffsLoseNoUpdate)
{
    constexpr std::uint32_t kSessions = 64;
    std::string table = "console 1\n";
    for (std::uint32_t id = 2; id < 2 + kSessions; ++id) {
        table += std::to_string(id) + " connected 127.0.0." + std::to_string(id) + "\n";
    }
    Write(table);

    // Every other session is logged off, each from its own thread; the rest
    // must survive every rewrite.
    std::vector<std::thread> probes;
    std::vector<int> results(kSessions, -1);
    for (std::uint32_t index = 0; index < kSessions; index += 2) {
        probes.emplace_back([&results, index] { results[index] = corvel::platform::LogoffSession(2 + index, true); });
    }
    for (std::thread& probe : probes) {
        probe.join();
    }
    std::vector<SessionEntry> sessions;
    ASSERT_TRUE(corvel::platform::EnumerateSessions(sessions));
    ASSERT_EQ(sessions.size(), kSessions / 2);
    for (std::uint32_t index = 0; index < kSessions; index += 2) {
        EXPECT_EQ(results[index], 1) << index;
        EXPECT_EQ(sessions[index / 2].sessionId, 3 + index);
    }
}

#if defined(_WIN32)
// The stand-in fails a call on demand (sessions.fail beside the table): the
// platform's calls report the failure and leave nothing half-filled.
TEST_F(SessionTableFile, FailingTerminalServicesCalls)
{
    const std::string table = "3 connected 10.0.0.3\n";
    Write(table);
    std::ofstream(root / "sessions.fail") << "enumerate query logoff\n";
    std::vector<SessionEntry> sessions{SessionEntry{}};
    EXPECT_FALSE(corvel::platform::EnumerateSessions(sessions));
    EXPECT_TRUE(sessions.empty());
    ClientAddressRecord record;
    EXPECT_FALSE(corvel::platform::QueryClientAddress(3, record));
    EXPECT_FALSE(corvel::platform::LogoffSession(3, true));
    EXPECT_EQ(Read(), table);
    fs::remove(root / "sessions.fail");
    EXPECT_TRUE(corvel::platform::EnumerateSessions(sessions));
    EXPECT_EQ(sessions.size(), 1u);
}
#endif

#if !defined(_WIN32)
TEST(SessionPlatform, LinuxVersionRecordReadsAllZero)
{
    corvel::platform::OsVersionRecord version;
    version.majorVersion = 6;
    version.productType = 1;
    EXPECT_TRUE(corvel::platform::QueryOsVersion(version));
    EXPECT_EQ(version.majorVersion, 0u);
    EXPECT_EQ(version.minorVersion, 0u);
    EXPECT_EQ(version.productType, 0);
}

#endif

}  // namespace
