// The session scanner: the worker thread that lists the terminal server's
// sessions every 3000 ms and starts a probe for every connected one.
#pragma once

#include <atomic>
#include <cstdint>

// Keeps the scanner looping; set and cleared by the monitor service's Run.
extern std::atomic<std::int32_t> scannerRunning;

// Thread procedure; the argument is not used. Exit code 0.
std::uint32_t SessionScanner(void* argument);

namespace corvel::watchdog {

inline constexpr std::uint32_t kScanPeriodMs = 3000;

// The pause between two passes. Tests shorten it; 0 restores kScanPeriodMs.
// Set it before the scanner starts.
void SetScanPeriodMs(std::uint32_t periodMs);
std::uint32_t ScanPeriodMs();

// Whether a session of the list gets a probe: not session 0, not the console
// session, and connected.
bool IsProbeEligible(std::uint32_t sessionId, std::uint32_t state, std::uint32_t consoleSessionId);

// Set by the service while it stops (and cleared when it starts): a probe
// that fails then logs nothing off, for the failure may be the stop's own
// (sockets and the socket library going away with the process).
void SetServiceStopping(bool stopping);
bool ServiceStopping();

// At most one probe per session is in flight. The scanner claims the session
// before it starts the probe (false: a probe of it still runs); the probe
// releases it when it ends, and so does the scanner when the probe thread
// cannot be started.
bool ClaimProbe(std::uint32_t sessionId);
void ReleaseProbe(std::uint32_t sessionId);

}  // namespace corvel::watchdog
