// The session scanner: every pass lists the sessions and starts one probe
// thread per connected session other than session 0 and the console's whose
// probe from an earlier pass has ended. It keeps no handle to a probe and
// never waits for one.
#include "watchdog/session_scanner.h"

#include <exception>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/sessions.h"
#include "platform/threads.h"
#include "trace/trace.h"
#include "watchdog/probe_events.h"
#include "watchdog/probe_verdict.h"
#include "watchdog/session_probe.h"
#include "watchdog/watchdog_settings.h"

std::atomic<std::int32_t> scannerRunning{1};

namespace corvel::watchdog {

namespace {
std::atomic<std::uint32_t> scanPeriodMs{kScanPeriodMs};
std::atomic<bool> serviceStopping{false};

// The sessions whose probe is running: at most one per session, so probes in
// flight never outnumber the connected sessions. Probes release their session
// until the process ends, static destruction included: the set is made once
// and never destroyed.
struct ProbesInFlight {
    std::mutex lock;
    std::set<std::uint32_t> sessions;
};

ProbesInFlight& InFlight()
{
    static ProbesInFlight* const inFlight = new ProbesInFlight;
    return *inFlight;
}
}  // namespace

void SetServiceStopping(bool stopping)
{
    serviceStopping.store(stopping);
}

bool ServiceStopping()
{
    return serviceStopping.load();
}

bool ClaimProbe(std::uint32_t sessionId)
{
    ProbesInFlight& inFlight = InFlight();
    std::lock_guard<std::mutex> hold(inFlight.lock);
    return inFlight.sessions.insert(sessionId).second;
}

void ReleaseProbe(std::uint32_t sessionId)
{
    ProbesInFlight& inFlight = InFlight();
    std::lock_guard<std::mutex> hold(inFlight.lock);
    inFlight.sessions.erase(sessionId);
}

void SetScanPeriodMs(std::uint32_t periodMs)
{
    scanPeriodMs.store(periodMs != 0 ? periodMs : kScanPeriodMs);
}

std::uint32_t ScanPeriodMs()
{
    return scanPeriodMs.load();
}

bool IsProbeEligible(std::uint32_t sessionId, std::uint32_t state, std::uint32_t consoleSessionId)
{
    return sessionId != 0 && sessionId != consoleSessionId &&
           state == static_cast<std::uint32_t>(platform::SessionState::Connected);
}

}  // namespace corvel::watchdog

namespace {

// One pass: list the sessions and start a probe for every eligible session
// whose probe from an earlier pass has ended.
void ScanPass(const corvel::watchdog::SessionCalls& calls, std::uint32_t consoleSessionId,
              std::vector<corvel::platform::SessionEntry>& sessions)
{
    using namespace corvel;
    if (!calls.enumerateSessions(sessions)) {
        return;
    }
    std::string stillProbing;
    for (const platform::SessionEntry& session : sessions) {
        if (!watchdog::IsProbeEligible(session.sessionId, static_cast<std::uint32_t>(session.state),
                                       consoleSessionId)) {
            continue;
        }
        if (!watchdog::ClaimProbe(session.sessionId)) {
            if (!stillProbing.empty()) {
                stillProbing += ' ';
            }
            stillProbing += std::to_string(session.sessionId);
            continue;
        }
        // The session id travels by value in the thread argument. A probe
        // that cannot be started is skipped, its session let go; the next
        // pass tries again.
        void* argument = reinterpret_cast<void*>(static_cast<std::uintptr_t>(session.sessionId));
        platform::ThreadHandle started = nullptr;
        try {
            started = platform::StartThread(SessionProbe, argument, kProbeStackReservation);
        } catch (...) {
            watchdog::ReleaseProbe(session.sessionId);
            throw;
        }
        if (started == nullptr) {
            watchdog::ReleaseProbe(session.sessionId);
        }
        platform::ThreadOwner probe(started);
    }
    if (!stillProbing.empty()) {
        WatchdogTrace("Still probing from an earlier pass, not probed again: sessions %s", stillProbing.c_str());
    }
}

}  // namespace

std::uint32_t SessionScanner(void* /*argument*/)
{
    using namespace corvel;
    const watchdog::SessionCalls& calls = watchdog::CurrentSessionCalls();

    // Taken once: a session that becomes the console's later is still judged
    // by the id of the start. Without it no session is probed: the console's
    // own might be among the connected ones.
    std::optional<std::uint32_t> consoleSessionId;

    std::vector<platform::SessionEntry> sessions;
    while (scannerRunning.load() != 0) {
        // Nothing that goes wrong in one pass ends the scanner: the next pass
        // tries again.
        try {
            if (!consoleSessionId) {
                consoleSessionId = calls.activeConsoleSessionId();
            }
            ScanPass(calls, *consoleSessionId, sessions);
            // The last failures of a shortage reach the event log even when
            // no further probe fails.
            watchdog::FlushServerShortProbes();
        } catch (...) {
            watchdog::TraceException("Session scanner pass", std::current_exception());
        }
        sessions.clear();
        platform::SleepMs(watchdog::ScanPeriodMs());
    }
    return 0;
}
