// The watchdog's events: a logoff is written with its session, address and
// reason; probes that failed for the server's own reasons are summed into at
// most one warning a minute, with the count and the most common reason, also
// when many probe threads report at once.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_log.h"
#include "watchdog/probe_events.h"

namespace {

using namespace std::chrono_literals;
using corvel::platform::kEventInformation;
using corvel::platform::kEventProbesNotJudged;
using corvel::platform::kEventSessionLoggedOff;
using corvel::platform::kEventWarning;
namespace watchdog = corvel::watchdog;

struct Event {
    std::uint16_t type;
    std::uint32_t id;
    std::string text;
};

std::mutex eventsLock;
std::vector<Event> events;

void OnEvent(std::uint16_t type, std::uint32_t id, const std::string& text, void*)
{
    std::lock_guard<std::mutex> guard(eventsLock);
    events.push_back({type, id, text});
}

std::chrono::steady_clock::time_point clockNow{};

std::chrono::steady_clock::time_point FakeNow()
{
    return clockNow;
}

class ProbeEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        events.clear();
        clockNow = std::chrono::steady_clock::time_point{} + 1000h;
        watchdog::SetProbeEventClock(FakeNow);
        watchdog::ResetServerShortProbes();
        corvel::platform::SetEventLogHook(OnEvent, nullptr);
    }
    void TearDown() override
    {
        corvel::platform::SetEventLogHook(nullptr, nullptr);
        watchdog::SetProbeEventClock(nullptr);
        watchdog::ResetServerShortProbes();
    }
    static std::vector<Event> Taken()
    {
        std::lock_guard<std::mutex> guard(eventsLock);
        std::vector<Event> taken;
        taken.swap(events);
        return taken;
    }
    static std::string Summary(const std::string& total, const std::string& times, const std::string& reason)
    {
        return total + " session probes failed for reasons of this server's own, not of their terminals, and "
                       "logged nothing off; most common reason (" +
               times + " of them): " + reason + ". The sessions are probed again at the next passes.";
    }
};

TEST_F(ProbeEvents, LogoffIsWrittenWithSessionAddressAndReason)
{
    struct Case {
        std::uint32_t session;
        std::string address;
        std::string reason;
        std::string shownReason;
    };
    const std::string longReason(400, 'r');
    const Case cases[] = {
        {7, "10.0.0.7", "connection refused (10061)", "connection refused (10061)"},
        {4294967295u, "192.168.100.200", "SOAP fault: Server", "SOAP fault: Server"},
        // Text that came from the terminal stays on one line and bounded.
        {12, "10.0.0.12", "malformed answer: <a>\r\n</a>", "malformed answer: <a>\\x0d\\x0a</a>"},
        {13, "10.0.0.13", longReason, longReason.substr(0, watchdog::kMaxEventTextBytes)},
    };
    for (const Case& test : cases) {
        watchdog::ReportLogoff(test.session, test.address, test.reason);
        const std::vector<Event> written = Taken();
        ASSERT_EQ(written.size(), 1u) << test.session;
        EXPECT_EQ(written[0].type, kEventInformation);
        EXPECT_EQ(written[0].id, kEventSessionLoggedOff);
        EXPECT_EQ(written[0].text, "Session " + std::to_string(test.session) + " (client address " + test.address +
                                       ") was logged off: its terminal was judged dead (" + test.shownReason + ").");
    }
}

TEST_F(ProbeEvents, ServerShortProbesAreSummedAtMostOnceAMinute)
{
    const std::string budget = "response budget held by other probes";
    const std::string descriptor = "no descriptor (10024)";
    struct Step {
        std::chrono::seconds at;
        std::string reason;    // empty: a flush, as the scanner's pass makes
        std::string summary;   // the one event written, empty: none
    };
    const Step steps[] = {
        // The first failure after a quiet period is written at once.
        {0s, descriptor, Summary("1", "1", descriptor)},
        // Within the minute they are held, flushes or not.
        {10s, budget, ""},
        {20s, descriptor, ""},
        {30s, budget, ""},
        {40s, "", ""},
        {59s, budget, ""},
        {59s, "", ""},
        // A minute after the last summary: the sum, with the most common reason.
        {60s, "", Summary("4", "3", budget)},
        // A failure soon after a summary waits for the next minute.
        {61s, "network down (10050)", ""},
        {200s, "", Summary("1", "1", "network down (10050)")},
        // Nothing held: nothing written.
        {400s, "", ""},
    };
    const auto start = clockNow;
    for (const Step& step : steps) {
        clockNow = start + step.at;
        if (!step.reason.empty()) {
            watchdog::ReportServerShortProbe(4, "10.0.0.4", step.reason);
        } else {
            watchdog::FlushServerShortProbes();
        }
        const std::vector<Event> written = Taken();
        SCOPED_TRACE(std::to_string(step.at.count()) + " s " + (step.reason.empty() ? "flush" : step.reason));
        ASSERT_EQ(written.size(), step.summary.empty() ? 0u : 1u);
        if (!step.summary.empty()) {
            EXPECT_EQ(written[0].type, kEventWarning);
            EXPECT_EQ(written[0].id, kEventProbesNotJudged);
            EXPECT_EQ(written[0].text, step.summary);
        }
    }
}

TEST_F(ProbeEvents, AFloodFromManyProbesIsOneEventAMinuteAndLosesNoCount)
{
    // Many probe threads of a server out of descriptors, each failure with a
    // reason of its own (more reasons than are counted one by one).
    constexpr int kThreads = 8;
    constexpr int kEach = 2000;
    std::vector<std::thread> probes;
    for (int thread = 0; thread < kThreads; ++thread) {
        probes.emplace_back([thread] {
            for (int probe = 0; probe < kEach; ++probe) {
                const std::string reason = probe % 2 == 0 ? "no descriptor (10024)"
                                                          : "no port (" + std::to_string(thread * kEach + probe) + ")";
                watchdog::ReportServerShortProbe(static_cast<std::uint32_t>(probe), "10.0.0.9", reason);
            }
        });
    }
    for (std::thread& probe : probes) {
        probe.join();
    }
    std::vector<Event> written = Taken();
    ASSERT_EQ(written.size(), 1u) << "the first failure only";
    clockNow += watchdog::kServerShortSummaryPeriod;
    watchdog::FlushServerShortProbes();
    written = Taken();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].text, Summary(std::to_string(kThreads * kEach - 1),
                                       std::to_string(kThreads * kEach / 2 - 1),
                                       "no descriptor (10024)"))
        << "every thread's first failure is a descriptor shortage, and the first of all was written at once";
}

}  // namespace
