// The logind session source: the mapping of logind's sessions to the
// watchdog's, against a logind of the test's own on a private bus, and how
// its calls fail when logind is slow or the bus is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "logind_fixture.h"
#include "logind_trace.h"
#include "platform/posix/logind_sessions.h"
#include "platform/sessions.h"

namespace {

namespace logind = corvel::platform::logind;
using corvel::platform::SessionEntry;
using corvel::platform::SessionState;
using corvel::testing::LogindBus;
using corvel::testing::LogindSession;
using std::chrono::steady_clock;

using Address = std::array<std::uint8_t, 4>;

TEST(LogindMapping, RemoteHostsThatAreProbed)
{
    struct Case {
        const char* host;
        std::optional<Address> address;
    };
    const Case cases[] = {
        {"192.168.1.20", Address{192, 168, 1, 20}},
        {"::ffff:10.0.0.7", Address{10, 0, 0, 7}},
        {"::FFFF:10.0.0.7", Address{10, 0, 0, 7}},
        {"::ffff:a00:7", Address{10, 0, 0, 7}},
        {"223.255.255.254", Address{223, 255, 255, 254}},
        // Not an IPv4 client: an IPv6 address, a name, nothing.
        {"2001:db8::7", std::nullopt},
        {"::1", std::nullopt},
        {"::10.0.0.7", std::nullopt},
        {"fe80::1%eth0", std::nullopt},
        {"thin-client.example", std::nullopt},
        {"", std::nullopt},
        // No client has these.
        {"0.0.0.0", std::nullopt},
        {"0.1.2.3", std::nullopt},
        {"255.255.255.255", std::nullopt},
        {"224.0.0.1", std::nullopt},
        {"127.0.0.1", std::nullopt},
        {"::ffff:127.0.0.1", std::nullopt},
        // Not quite an address.
        {"192.168.001.020", std::nullopt},
        {"10.0.7", std::nullopt},
        {" 10.0.0.7", std::nullopt},
        {"10.0.0.7 ", std::nullopt},
        {"10.0.0.7\n", std::nullopt},
        {"10.0.0.256", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(logind::ClientIpv4(c.host), c.address) << '"' << c.host << '"';
    }
    logind::SetLoopbackProbed(true);
    EXPECT_EQ(logind::ClientIpv4("127.0.41.1"), (Address{127, 0, 41, 1}));
    EXPECT_EQ(logind::ClientIpv4("::ffff:127.0.41.1"), (Address{127, 0, 41, 1}));
    logind::SetLoopbackProbed(false);
}

// Plain numbers are themselves; every other id gets a number of its own from
// 2^31 up, which names it and nothing else.
TEST(LogindMapping, SessionNumbersNameOneSessionEach)
{
    struct Case {
        const char* id;
        std::optional<std::uint32_t> plain;  // none: a number is assigned
    };
    const Case cases[] = {
        {"1", 1u},      {"7", 7u},  {"2147483647", 2147483647u}, {"2147483648", std::nullopt},
        {"4294967295", std::nullopt}, {"99999999999", std::nullopt}, {"007", std::nullopt},
        {"0", std::nullopt}, {"c1", std::nullopt}, {"c2", std::nullopt}, {"-1", std::nullopt},
        {"+1", std::nullopt}, {"1 ", std::nullopt},
    };
    std::set<std::uint32_t> numbers;
    for (const Case& c : cases) {
        std::optional<std::uint32_t> number = logind::SessionNumber(c.id);
        ASSERT_TRUE(number.has_value()) << c.id;
        if (c.plain) {
            EXPECT_EQ(*number, *c.plain) << c.id;
        } else {
            EXPECT_GE(*number, logind::kFirstAssignedNumber) << c.id;
            EXPECT_NE(*number, corvel::platform::kNoConsoleSession) << c.id;
        }
        EXPECT_TRUE(numbers.insert(*number).second) << c.id << " shares its number";
        EXPECT_EQ(logind::SessionNumber(c.id), number) << c.id << " is numbered again";
        EXPECT_EQ(logind::SessionIdOf(*number), std::string(c.id));
    }
    EXPECT_EQ(logind::SessionIdOf(0), std::nullopt);
    EXPECT_EQ(logind::SessionIdOf(*numbers.rbegin() + 1000), std::nullopt);
}

using LogindTest = corvel::testing::LogindFixture;

std::uint32_t NumberOf(const std::string& id)
{
    return logind::SessionNumber(id).value();
}

std::optional<SessionEntry> Listed(const std::vector<SessionEntry>& sessions, const std::string& id)
{
    for (const SessionEntry& entry : sessions) {
        if (entry.sessionId == NumberOf(id)) {
            return entry;
        }
    }
    return std::nullopt;
}

struct MappingCase {
    LogindSession session;
    SessionState state;  // Connected: probed
};

// Every way a session can fall short of being probed, one at a time.
std::vector<MappingCase> MappingCases()
{
    struct Variation {
        const char* id;
        const char* remoteHost;
        void (*change)(LogindSession& session);
        SessionState state;
    };
    const Variation variations[] = {
        {"1", "10.1.2.3", nullptr, SessionState::Connected},
        {"c2", "::ffff:10.1.2.4", nullptr, SessionState::Connected},
        {"007", "10.1.2.5", nullptr, SessionState::Connected},
        {"8", "10.1.2.8", [](LogindSession& s) { s.state = "online"; }, SessionState::Connected},
        {"7", "2001:db8::7", nullptr, SessionState::Active},
        {"9", "thin-client.example", nullptr, SessionState::Active},
        {"10", "", nullptr, SessionState::Active},
        {"11", "10.1.2.11", [](LogindSession& s) { s.service = "sshd"; }, SessionState::Active},
        {"12", "10.1.2.12", [](LogindSession& s) { s.state = "closing"; }, SessionState::Down},
        {"13", "10.1.2.13", [](LogindSession& s) { s.sessionClass = "greeter"; }, SessionState::Active},
        {"14", "10.1.2.14", [](LogindSession& s) { s.remote = false; }, SessionState::Active},
        {"17", "10.1.2.17", [](LogindSession& s) { s.remoteAsText = true; }, SessionState::Active},
        {"15", "10.1.2.15", [](LogindSession& s) { s.seat = "seat0"; }, SessionState::Active},
        {"16", "",
         [](LogindSession& s) {
             s.remote = false;
             s.service = "login";
             s.seat = "seat0";
         },
         SessionState::Active},
    };
    std::vector<MappingCase> cases;
    for (const Variation& v : variations) {
        LogindSession session;
        session.id = v.id;
        session.remoteHost = v.remoteHost;
        if (v.change != nullptr) {
            v.change(session);
        }
        cases.push_back({session, v.state});
    }
    return cases;
}

TEST_F(LogindTest, SessionsAreListedWithTheStateTheirPropertiesGive)
{
    const std::vector<MappingCase> cases = MappingCases();
    for (const MappingCase& c : cases) {
        bus->AddSession(c.session);
    }
    bus->SetConsole("16");
    EXPECT_EQ(corvel::platform::ActiveConsoleSessionId(), 16u);

    std::vector<SessionEntry> sessions;
    ASSERT_TRUE(corvel::platform::EnumerateSessions(sessions));
    EXPECT_EQ(sessions.size(), cases.size());
    for (const MappingCase& c : cases) {
        std::optional<SessionEntry> entry = Listed(sessions, c.session.id);
        ASSERT_TRUE(entry.has_value()) << c.session.id;
        EXPECT_EQ(entry->state, c.state) << c.session.id;
        EXPECT_EQ(entry->windowStationName, c.session.service + ":" + c.session.id);
        SessionState now = SessionState::Init;
        EXPECT_TRUE(corvel::platform::QueryConnectState(entry->sessionId, now)) << c.session.id;
        EXPECT_EQ(now, c.state) << c.session.id;

        // The address record as on Windows: family 2, the address in bytes 2 to 5.
        corvel::platform::ClientAddressRecord record;
        std::optional<Address> address = logind::ClientIpv4(c.session.remoteHost);
        EXPECT_EQ(corvel::platform::QueryClientAddress(entry->sessionId, record), address.has_value())
            << c.session.id;
        if (address) {
            corvel::platform::ClientAddressRecord expected;
            expected.addressFamily = 2;
            std::copy(address->begin(), address->end(), expected.address + 2);
            EXPECT_EQ(record.addressFamily, expected.addressFamily);
            EXPECT_TRUE(std::equal(record.address, record.address + 20, expected.address)) << c.session.id;
        }
    }

    // The services are configured: ssh sessions too, and no longer xrdp's.
    ::setenv("CORVEL_LOGIND_SERVICES", "login, sshd", 1);
    ASSERT_TRUE(corvel::platform::EnumerateSessions(sessions));
    EXPECT_EQ(Listed(sessions, "11")->state, SessionState::Connected);
    EXPECT_EQ(Listed(sessions, "1")->state, SessionState::Active);
    EXPECT_EQ(Listed(sessions, "16")->state, SessionState::Active);  // not remote
    corvel::platform::OsVersionRecord version;
    version.majorVersion = 6;
    EXPECT_TRUE(corvel::platform::QueryOsVersion(version));
    EXPECT_EQ(version.majorVersion, 0u);
    EXPECT_EQ(version.productType, 0u);
}

// A logoff ends the session its number names, and only while that session is
// one that is probed; "7" and "007" are two sessions.
TEST_F(LogindTest, LogoffEndsOnlyAConnectedSessionAndExactlyIt)
{
    const std::vector<MappingCase> cases = MappingCases();
    for (const MappingCase& c : cases) {
        bus->AddSession(c.session);
    }
    std::vector<SessionEntry> sessions;
    ASSERT_TRUE(corvel::platform::EnumerateSessions(sessions));
    std::vector<std::string> expected;
    for (const MappingCase& c : cases) {
        const bool connected = c.state == SessionState::Connected;
        EXPECT_EQ(corvel::platform::LogoffSession(NumberOf(c.session.id), true), connected) << c.session.id;
        if (connected) {
            expected.push_back(c.session.id);
        }
    }
    EXPECT_EQ(bus->Terminated(), expected);

    // Gone now, and never numbered: nothing to end.
    EXPECT_FALSE(corvel::platform::LogoffSession(NumberOf("1"), true));
    EXPECT_FALSE(corvel::platform::LogoffSession(logind::kFirstAssignedNumber + 5000, true));
    EXPECT_FALSE(corvel::platform::LogoffSession(0, true));
    EXPECT_EQ(bus->Terminated(), expected);
    SessionState state;
    EXPECT_FALSE(corvel::platform::QueryConnectState(NumberOf("1"), state));

    // A refused TerminateSession is a failed logoff, and traced.
    bus->RefuseTermination();
    bus->AddSession(cases[0].session);
    corvel::testing::LogindTrace trace;
    EXPECT_FALSE(corvel::platform::LogoffSession(NumberOf("1"), true));
    EXPECT_TRUE(trace.Contains("logind: session 1 cannot be terminated: Permission denied")) << trace.Text();
    EXPECT_EQ(bus->Terminated(), expected);
}

// A session listed and gone before its properties are read is left out; the
// listing goes on with the others.
TEST_F(LogindTest, ASessionGoneBeforeItsPropertiesAreReadIsSkipped)
{
    LogindSession session;
    session.id = "3";
    session.remoteHost = "10.1.2.3";
    bus->AddVanishedSession("2");
    bus->AddSession(session);
    bus->AddVanishedSession("c9");
    std::vector<SessionEntry> sessions;
    ASSERT_TRUE(corvel::platform::EnumerateSessions(sessions));
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].sessionId, 3u);
    EXPECT_EQ(sessions[0].state, SessionState::Connected);
}

// A logind that does not answer, or a bus that does not (connecting and
// authenticating then hang), fails every call by its deadline, well inside the
// scan period, ends no session and traces the failed listing; once they
// answer again so do the calls.
TEST_F(LogindTest, ALogindOrBusThatDoesNotAnswerFailsTheCallsInTime)
{
    LogindSession session;
    session.id = "4";
    session.remoteHost = "10.1.2.4";
    bus->AddSession(session);

    struct Call {
        const char* name;
        bool (*call)();
    };
    const Call calls[] = {
        {"EnumerateSessions", [] {
             std::vector<SessionEntry> sessions;
             return corvel::platform::EnumerateSessions(sessions) || !sessions.empty();
         }},
        {"QueryClientAddress", [] {
             corvel::platform::ClientAddressRecord record;
             return corvel::platform::QueryClientAddress(4, record);
         }},
        {"QueryConnectState", [] {
             SessionState state;
             return corvel::platform::QueryConnectState(4, state);
         }},
        {"LogoffSession", [] { return corvel::platform::LogoffSession(4, true); }},
        {"ActiveConsoleSessionId",
         [] { return corvel::platform::ActiveConsoleSessionId() != corvel::platform::kNoConsoleSession; }},
    };
    struct Silence {
        const char* what;
        void (LogindBus::*pause)();
        void (LogindBus::*resume)();
    };
    for (const Silence silence : {Silence{"logind", &LogindBus::PauseLogind, &LogindBus::ResumeLogind},
                                  Silence{"the bus", &LogindBus::PauseBus, &LogindBus::ResumeBus}}) {
        corvel::testing::LogindTrace trace;
        ((*bus).*silence.pause)();
        for (const Call& c : calls) {
            const auto start = steady_clock::now();
            EXPECT_FALSE(c.call()) << c.name << " while " << silence.what << " is silent";
            EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(2900)) << c.name;
        }
        EXPECT_TRUE(trace.Contains("logind: sessions cannot be listed: Connection timed out")) << trace.Text();

        ((*bus).*silence.resume)();
        std::vector<SessionEntry> sessions;
        ASSERT_TRUE(corvel::platform::EnumerateSessions(sessions)) << silence.what;
        ASSERT_EQ(sessions.size(), 1u);
        EXPECT_EQ(sessions[0].state, SessionState::Connected);
        EXPECT_TRUE(bus->Terminated().empty());
    }
}

// Without a bus every call fails at once; a bus that comes back is used again.
TEST_F(LogindTest, WithoutABusTheCallsFailAndRecoverWhenItReturns)
{
    bus->StopBus();
    corvel::testing::LogindTrace trace;
    const auto start = steady_clock::now();
    std::vector<SessionEntry> sessions;
    EXPECT_FALSE(corvel::platform::EnumerateSessions(sessions));
    EXPECT_EQ(corvel::platform::ActiveConsoleSessionId(), corvel::platform::kNoConsoleSession);
    EXPECT_FALSE(corvel::platform::LogoffSession(4, true));
    EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(2900));
    EXPECT_TRUE(trace.Contains("logind: sessions cannot be listed: ")) << trace.Text();

    bus->StartBus();
    LogindSession session;
    session.id = "5";
    session.remoteHost = "10.1.2.5";
    bus->AddSession(session);
    ASSERT_TRUE(corvel::platform::EnumerateSessions(sessions));
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_TRUE(corvel::platform::LogoffSession(5, true));
    EXPECT_EQ(bus->Terminated(), std::vector<std::string>{"5"});
}

}  // namespace
