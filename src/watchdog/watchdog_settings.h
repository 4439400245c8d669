// The probe's constants and the seams through which tests and the benchmark
// point the watchdog at their own terminals and session managers: the
// terminal URL and port, and the terminal-services calls (the scan period is
// the scanner's own, session_scanner.h). Each
// seam defaults to the constant or to the platform, which is all the service
// ever uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sessions.h"

namespace corvel::watchdog {

// How long a terminal has to answer Test.
inline constexpr std::uint32_t kProbeTimeoutMs = 1000;
// The terminal's web service; %s is the session's client address.
inline constexpr char kTerminalUrlTemplate[] = "http://%s/webservice.wsdl";
// The client address text: dotted IPv4 needs at most 15 characters.
inline constexpr std::size_t kClientAddressBytes = 50;
// On Windows 7 workstations a logoff is repeated until the session is gone;
// this many calls end the repetition even if the session manager keeps
// answering success.
inline constexpr std::uint32_t kMaxWorkstationLogoffCalls = 100;

// The terminal-services calls of the scanner and the probe.
struct SessionCalls {
    std::uint32_t (*activeConsoleSessionId)();
    bool (*enumerateSessions)(std::vector<platform::SessionEntry>& sessions);
    bool (*queryClientAddress)(std::uint32_t sessionId, platform::ClientAddressRecord& record);
    bool (*logoffSession)(std::uint32_t sessionId, bool wait);
    bool (*queryOsVersion)(platform::OsVersionRecord& record);
    // Asked again right before a logoff: is the session still connected?
    bool (*queryConnectState)(std::uint32_t sessionId, platform::SessionState& state);
};

// The platform's own calls.
const SessionCalls& PlatformSessionCalls();

// The calls in use. A replacement must outlive every scanner and probe that
// may still use it; null restores the platform's.
const SessionCalls& CurrentSessionCalls();
void SetSessionCalls(const SessionCalls* calls);

// The URL template must hold one %s and outlive the probes that use it; null
// restores kTerminalUrlTemplate. A port other than 0 is added to the address
// ("address:port"); 0, the default, leaves the URL's own port (80).
void SetTerminalUrlTemplate(const char* urlTemplate);
void SetTerminalPort(std::uint16_t port);

// The terminal URL for a client address text.
std::string TerminalUrl(const std::string& address);

// Probes started and finished since the process began: the benchmark and the
// tests wait on these for the probes that nobody joins.
std::uint64_t StartedProbeCount();
std::uint64_t FinishedProbeCount();
void CountProbeStarted();
void CountProbeFinished();

}  // namespace corvel::watchdog
