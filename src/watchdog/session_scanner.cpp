// The session scanner: every pass lists the sessions and starts one probe
// thread per connected session other than session 0 and the console's. It
// keeps no handle to a probe and never waits for one.
#include "watchdog/session_scanner.h"

#include <vector>

#include "platform/sessions.h"
#include "platform/threads.h"
#include "watchdog/session_probe.h"
#include "watchdog/watchdog_settings.h"

std::atomic<std::int32_t> scannerRunning{1};

namespace corvel::watchdog {

namespace {
std::atomic<std::uint32_t> scanPeriodMs{kScanPeriodMs};
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

std::uint32_t SessionScanner(void* /*argument*/)
{
    using namespace corvel;
    const watchdog::SessionCalls& calls = watchdog::CurrentSessionCalls();

    // Taken once: a session that becomes the console's later is still judged
    // by the id of the start.
    const std::uint32_t consoleSessionId = calls.activeConsoleSessionId();

    std::vector<platform::SessionEntry> sessions;
    while (scannerRunning.load() != 0) {
        if (calls.enumerateSessions(sessions)) {
            for (const platform::SessionEntry& session : sessions) {
                if (!watchdog::IsProbeEligible(session.sessionId, static_cast<std::uint32_t>(session.state),
                                               consoleSessionId)) {
                    continue;
                }
                // The session id travels by value in the thread argument. A
                // probe that cannot be started is skipped; the next pass
                // tries again.
                void* argument = reinterpret_cast<void*>(static_cast<std::uintptr_t>(session.sessionId));
                platform::ThreadOwner probe(platform::StartThread(SessionProbe, argument, kProbeStackReservation));
            }
        }
        sessions.clear();
        platform::SleepMs(watchdog::ScanPeriodMs());
    }
    return 0;
}
