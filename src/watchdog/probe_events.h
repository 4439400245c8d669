// The watchdog's record in the event log: every session a probe logs off
// (event 109, information, with the reason its terminal was judged dead), and
// the probes that failed for this server's own reasons (event 110, warning),
// summed so that a server that runs short writes at most one such event a
// minute however many probes fail. The session probe reports; trace lines
// stay the probe's own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace corvel::watchdog {

// The event source the events are written under: the service's own, which
// installation registers with the message table.
inline constexpr char kProbeEventSource[] = "Corvel Service";
// At most one summary of server-side probe failures in this period.
inline constexpr std::chrono::seconds kServerShortSummaryPeriod{60};
// Distinct reasons counted towards the most common one; further reasons
// count only in the total, so a summary holds bounded memory.
inline constexpr std::size_t kMaxCountedReasons = 16;
// An insertion string (address, reason) longer than this is cut.
inline constexpr std::size_t kMaxEventTextBytes = 256;

// The probe logged the session off: an information event with the reason.
void ReportLogoff(std::uint32_t sessionId, const std::string& address, const std::string& reason);
// A probe failed for the server's own reason: summed, at most one warning event a minute.
void ReportServerShortProbe(std::uint32_t sessionId, const std::string& address, const std::string& reason);

// Writes the failures summed since the last summary once its period has
// passed; nothing otherwise. ReportServerShortProbe does the same on every
// call; the scanner calls this on every pass, so that the last failures of a
// shortage are written even when no further probe fails.
void FlushServerShortProbes();

// The clock the summary period is measured on (steady); null restores it.
using ProbeEventClock = std::chrono::steady_clock::time_point (*)();
void SetProbeEventClock(ProbeEventClock clock);
// Forgets the failures held and the time of the last summary (tests).
void ResetServerShortProbes();

}  // namespace corvel::watchdog
