// The session probe. Every line it writes is a watchdog trace line; the answer
// of a live terminal is only traced. Only a failure the terminal caused logs
// the session off (probe_verdict.h), and only when the session is still the
// one that was probed.
#include "watchdog/session_probe.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/com.h"
#include "platform/compat.h"
#include "platform/sessions.h"
#include "platform/text_conversion.h"
#include "trace/trace.h"
#include "soap/terminal_service_proxy.h"
#include "watchdog/probe_events.h"
#include "watchdog/probe_verdict.h"
#include "watchdog/session_scanner.h"
#include "watchdog/watchdog_settings.h"

namespace {

using corvel::watchdog::CurrentSessionCalls;

// True when the session manager took the logoff.
bool LogoffDeadSession(std::uint32_t sessionId)
{
    const corvel::watchdog::SessionCalls& calls = CurrentSessionCalls();
    corvel::platform::OsVersionRecord version;
    calls.queryOsVersion(version);
    if (version.majorVersion == 6 && version.minorVersion == 1 &&
        version.productType == corvel::platform::kProductWorkstation) {
        // Windows 7 workstations: repeated until the session manager says the
        // session is gone, which is the normal end; nothing is traced.
        std::uint32_t call = 0;
        while (call < corvel::watchdog::kMaxWorkstationLogoffCalls && calls.logoffSession(sessionId, true)) {
            ++call;
        }
        return call > 0;
    }
    if (!calls.logoffSession(sessionId, true)) {
        return false;
    }
    WatchdogTrace("Disconn WTSLogoffSession xp vista 2003 2008");
    return true;
}

}  // namespace

std::string GetClientAddress(std::uint32_t sessionId)
{
    corvel::platform::ClientAddressRecord record;
    if (!CurrentSessionCalls().queryClientAddress(sessionId, record)) {
        return std::string();
    }
    char text[corvel::watchdog::kClientAddressBytes];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(record.address[2]),
                  static_cast<unsigned>(record.address[3]), static_cast<unsigned>(record.address[4]),
                  static_cast<unsigned>(record.address[5]));
    return text;
}

namespace {

// What one call of Test came to.
struct TestCall {
    bool answered = false;
    std::string answerText;
    corvel::watchdog::FailedProbe failure;
};

TestCall CallTest(const std::string& address)
{
    using TerminalServiceProxy = WebService::TerminalServiceProxy;
    TestCall call;
    // Destroyed through the root handler's virtual destructor, before COM is
    // uninitialised for the thread.
    std::unique_ptr<corvel::soap::CSoapRootHandler> rootHandler(new TerminalServiceProxy());
    auto& proxy = static_cast<TerminalServiceProxy&>(*rootHandler);

    const std::string terminalUrl = corvel::watchdog::TerminalUrl(address);
    WatchdogTraceText(terminalUrl.c_str());
    proxy.SetUrl(terminalUrl.c_str());
    proxy.requestTimeoutMs = corvel::watchdog::kProbeTimeoutMs;

    BSTR answer = nullptr;
    const HRESULT status = proxy.Test(&answer);
    corvel::UniqueBstr answerOwner(answer);
    call.answered = SUCCEEDED(status);
    if (call.answered) {
        // The trace line shows at most kTraceLineBytes, and every UTF-16 unit
        // becomes at least one byte: no more units are converted.
        call.answerText = corvel::platform::WideToNarrow(
            answer, std::min<std::size_t>(answer != nullptr ? SysStringLen(answer) : 0, corvel::kTraceLineBytes));
    } else {
        call.failure.stage = proxy.clientError;
        call.failure.transportFailure = proxy.transportFailure;
        call.failure.answerFailure = proxy.answerFailure;
        call.failure.socketError = proxy.SocketError();
        call.failure.httpStatus = proxy.HttpStatus();
        call.failure.status = status;
    }
    // The answer, the reader's copies of the response and the response itself
    // all go now, the response last: no copy outlives the share of the
    // response budget that bounds them, and a logoff that waits holds none of
    // them.
    return call;
}

// Right before a logoff: the session must still be connected and still have
// the client address that was probed. The session manager may have given the
// id to a new connection from another terminal, or the user may have become
// active, since the pass that listed it.
bool StillTheProbedSession(std::uint32_t sessionId, const std::string& probedAddress)
{
    const auto id = static_cast<unsigned long>(sessionId);
    corvel::platform::SessionState state = corvel::platform::SessionState::Down;
    if (!CurrentSessionCalls().queryConnectState(sessionId, state)) {
        WatchdogTrace("Session %lu not logged off: its state cannot be read (gone?)", id);
        return false;
    }
    if (state != corvel::platform::SessionState::Connected) {
        WatchdogTrace("Session %lu not logged off: no longer connected (state %lu)", id,
                      static_cast<unsigned long>(state));
        return false;
    }
    const std::string address = GetClientAddress(sessionId);
    if (address != probedAddress) {
        WatchdogTrace("Session %lu not logged off: its client address is now \"%s\", not the probed %s", id,
                      address.c_str(), probedAddress.c_str());
        return false;
    }
    return true;
}

void ProbeSession(std::uint32_t sessionId)
{
    const std::string address = GetClientAddress(sessionId);
    WatchdogTrace("Disconn sIP1==%s!", address.c_str());

    const corvel::platform::ComForThread com;
    TestCall call = CallTest(address);
    if (call.answered) {
        WatchdogTrace("%s connect: %s", address.c_str(), call.answerText.c_str());
        return;
    }
    call.failure.addressEmpty = address.empty();
    call.failure.stopping = corvel::watchdog::ServiceStopping();
    const corvel::watchdog::ProbeVerdict verdict = corvel::watchdog::JudgeFailedProbe(call.failure);
    if (verdict.side == corvel::watchdog::FailureSide::server) {
        WatchdogTrace("Session %lu (%s) not logged off, the server's own failure: %s; judged again at the next pass",
                      static_cast<unsigned long>(sessionId), address.c_str(), verdict.reason.c_str());
        corvel::watchdog::ReportServerShortProbe(sessionId, address, verdict.reason);
        return;
    }
    if (StillTheProbedSession(sessionId, address)) {
        WatchdogTrace("Logoffing!");
        if (LogoffDeadSession(sessionId)) {
            corvel::watchdog::ReportLogoff(sessionId, address, verdict.reason);
        }
    }
}

}  // namespace

std::uint32_t SessionProbe(void* argument)
{
    corvel::watchdog::CountProbeStarted();
    const auto sessionId = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(argument));
    // The session is free for the next pass's probe, and the probe counted
    // as ended, on every way out.
    struct ProbeEnd {
        std::uint32_t sessionId;
        ~ProbeEnd()
        {
            corvel::watchdog::ReleaseProbe(sessionId);
            corvel::watchdog::CountProbeFinished();
        }
    } probeEnd{sessionId};
    try {
        ProbeSession(sessionId);
    } catch (...) {
        // Whatever threw, the terminal was not found dead: nothing is logged off.
        char where[48];
        std::snprintf(where, sizeof where, "Probe of session %lu", static_cast<unsigned long>(sessionId));
        corvel::watchdog::TraceException(where, std::current_exception());
    }
    return 0;
}
