// Event 109 for every logoff, and event 110 summing the probes that failed
// for this server's own reasons: the first such failure after a quiet
// period is written at once, the ones that follow within the period are
// held and written as one event by the first report or flush after it.
#include "watchdog/probe_events.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/event_log.h"

namespace corvel::watchdog {

namespace {

std::atomic<ProbeEventClock> currentClock{nullptr};

std::chrono::steady_clock::time_point Now()
{
    ProbeEventClock clock = currentClock.load();
    return clock != nullptr ? clock() : std::chrono::steady_clock::now();
}

// An insertion string as the log shows it: control characters as \xNN, so
// that an event stays one line, and cut at kMaxEventTextBytes.
std::string EventText(const std::string& text)
{
    std::string shown;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
        if (shown.size() >= kMaxEventTextBytes) {
            shown.resize(kMaxEventTextBytes);
            break;
        }
    }
    return shown;
}

// Probes still running at exit may report, static destruction included: the
// event source and the held failures are made once and never destroyed, and
// the source, opened on the first event, is never closed.
struct EventSourceState {
    std::mutex lock;
    platform::EventSource source = nullptr;
};

EventSourceState& Source()
{
    static EventSourceState* const state = new EventSourceState;
    return *state;
}

void WriteEvent(std::uint16_t type, std::uint32_t id, const char* const* strings, std::uint16_t count)
{
    EventSourceState& state = Source();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.source == nullptr) {
        state.source = platform::OpenEventSource(kProbeEventSource);  // retried at the next event when it fails
    }
    if (state.source != nullptr) {
        platform::ReportServiceEvent(state.source, type, id, strings, count);
    }
}

// The failures held since the last summary.
struct ServerShortProbes {
    std::uint64_t total = 0;
    std::vector<std::pair<std::string, std::uint64_t>> reasons;  // at most kMaxCountedReasons
    std::optional<std::chrono::steady_clock::time_point> lastSummary;
};

struct SummaryState {
    std::mutex lock;
    ServerShortProbes held;
};

SummaryState& Summary()
{
    static SummaryState* const state = new SummaryState;
    return *state;
}

void Hold(const std::string& reason)
{
    ServerShortProbes& held = Summary().held;
    ++held.total;
    for (auto& [text, count] : held.reasons) {
        if (text == reason) {
            ++count;
            return;
        }
    }
    if (held.reasons.size() < kMaxCountedReasons) {
        held.reasons.emplace_back(reason, 1);
    }
}

// Writes the summary when failures are held and the period since the last
// one has passed. Called with the summary's lock held.
void SummariseWhenDue()
{
    ServerShortProbes& held = Summary().held;
    const auto now = Now();
    if (held.total == 0 || (held.lastSummary && now - *held.lastSummary < kServerShortSummaryPeriod)) {
        return;
    }
    // The most common reason; the first seen wins a tie.
    const std::pair<std::string, std::uint64_t>* common = &held.reasons.front();
    for (const auto& reason : held.reasons) {
        if (reason.second > common->second) {
            common = &reason;
        }
    }
    const std::string total = std::to_string(held.total);
    const std::string times = std::to_string(common->second);
    const char* strings[] = {total.c_str(), times.c_str(), common->first.c_str()};
    WriteEvent(platform::kEventWarning, platform::kEventProbesNotJudged, strings, 3);
    held.total = 0;
    held.reasons.clear();
    held.lastSummary = now;
}

}  // namespace

void ReportLogoff(std::uint32_t sessionId, const std::string& address, const std::string& reason)
{
    const std::string session = std::to_string(sessionId);
    const std::string shownAddress = EventText(address);
    const std::string shownReason = EventText(reason);
    const char* strings[] = {session.c_str(), shownAddress.c_str(), shownReason.c_str()};
    WriteEvent(platform::kEventInformation, platform::kEventSessionLoggedOff, strings, 3);
}

void ReportServerShortProbe(std::uint32_t /*sessionId*/, const std::string& /*address*/, const std::string& reason)
{
    // The session and the address are in the probe's trace line; the summary
    // counts reasons, which is what an administrator acts on.
    std::lock_guard<std::mutex> guard(Summary().lock);
    Hold(EventText(reason));
    SummariseWhenDue();
}

void FlushServerShortProbes()
{
    std::lock_guard<std::mutex> guard(Summary().lock);
    SummariseWhenDue();
}

void SetProbeEventClock(ProbeEventClock clock)
{
    currentClock.store(clock);
}

void ResetServerShortProbes()
{
    std::lock_guard<std::mutex> guard(Summary().lock);
    Summary().held = ServerShortProbes{};
}

}  // namespace corvel::watchdog
