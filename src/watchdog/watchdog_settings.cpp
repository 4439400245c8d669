// The watchdog's seams: which session calls, terminal URL and port the
// scanner and probes use (the platform's and the constants unless a test or
// benchmark points them elsewhere), and the counts of started and ended probes.
#include "watchdog/watchdog_settings.h"

#include <atomic>

namespace corvel::watchdog {

namespace {

const SessionCalls platformCalls{
    platform::ActiveConsoleSessionId, platform::EnumerateSessions, platform::QueryClientAddress,
    platform::LogoffSession,          platform::QueryOsVersion,         platform::QueryConnectState,
};

std::atomic<const SessionCalls*> sessionCalls{&platformCalls};
std::atomic<const char*> terminalUrlTemplate{kTerminalUrlTemplate};
std::atomic<std::uint16_t> terminalPort{0};
std::atomic<std::uint64_t> startedProbes{0};
std::atomic<std::uint64_t> finishedProbes{0};

}  // namespace

const SessionCalls& PlatformSessionCalls()
{
    return platformCalls;
}

const SessionCalls& CurrentSessionCalls()
{
    return *sessionCalls.load();
}

void SetSessionCalls(const SessionCalls* calls)
{
    sessionCalls.store(calls != nullptr ? calls : &platformCalls);
}

void SetTerminalUrlTemplate(const char* urlTemplate)
{
    terminalUrlTemplate.store(urlTemplate != nullptr ? urlTemplate : kTerminalUrlTemplate);
}

void SetTerminalPort(std::uint16_t port)
{
    terminalPort.store(port);
}

std::string TerminalUrl(const std::string& address)
{
    std::string host = address;
    if (std::uint16_t port = terminalPort.load(); port != 0) {
        host += ':';
        host += std::to_string(port);
    }
    std::string url = terminalUrlTemplate.load();
    if (std::size_t slot = url.find("%s"); slot != std::string::npos) {
        url.replace(slot, 2, host);
    }
    return url;
}

std::uint64_t StartedProbeCount()
{
    return startedProbes.load();
}

std::uint64_t FinishedProbeCount()
{
    return finishedProbes.load();
}

void CountProbeStarted()
{
    startedProbes.fetch_add(1);
}

void CountProbeFinished()
{
    finishedProbes.fetch_add(1);
}

}  // namespace corvel::watchdog
