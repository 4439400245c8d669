// The session probe. Every line it writes is a watchdog trace line; the answer
// of a live terminal is only traced.
#include "watchdog/session_probe.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/com.h"
#include "platform/compat.h"
#include "platform/sessions.h"
#include "platform/text_conversion.h"
#include "trace/trace.h"
#include "soap/terminal_service_proxy.h"
#include "watchdog/watchdog_settings.h"

namespace {

using corvel::watchdog::CurrentSessionCalls;

void LogoffDeadSession(std::uint32_t sessionId)
{
    const corvel::watchdog::SessionCalls& calls = CurrentSessionCalls();
    corvel::platform::OsVersionRecord version;
    calls.queryOsVersion(version);
    if (version.majorVersion == 6 && version.minorVersion == 1 &&
        version.productType == corvel::platform::kProductWorkstation) {
        // Windows 7 workstations: repeated until the session manager says the
        // session is gone, which is the normal end; nothing is traced.
        for (std::uint32_t call = 0; call < corvel::watchdog::kMaxWorkstationLogoffCalls; ++call) {
            if (!calls.logoffSession(sessionId, true)) {
                break;
            }
        }
        return;
    }
    if (calls.logoffSession(sessionId, true)) {
        WatchdogTrace("Disconn WTSLogoffSession xp vista 2003 2008");
    }
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

std::uint32_t SessionProbe(void* argument)
{
    using TerminalServiceProxy = WebService::TerminalServiceProxy;
    corvel::watchdog::CountProbeStarted();
    const auto sessionId = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(argument));

    const std::string address = GetClientAddress(sessionId);
    WatchdogTrace("Disconn sIP1==%s!", address.c_str());

    corvel::platform::InitializeComForThread();
    {
        // Destroyed through the root handler's virtual destructor, before COM
        // is uninitialised for the thread.
        std::unique_ptr<corvel::soap::CSoapRootHandler> rootHandler(new TerminalServiceProxy());
        auto& proxy = static_cast<TerminalServiceProxy&>(*rootHandler);

        const std::string terminalUrl = corvel::watchdog::TerminalUrl(address);
        WatchdogTraceText(terminalUrl.c_str());
        proxy.SetUrl(terminalUrl.c_str());
        proxy.requestTimeoutMs = corvel::watchdog::kProbeTimeoutMs;

        BSTR answer = nullptr;
        const HRESULT status = proxy.Test(&answer);
        corvel::UniqueBstr answerOwner(answer);
        // The trace line shows at most kTraceLineBytes, and every UTF-16 unit
        // becomes at least one byte: no more units are converted.
        std::string answerText;
        if (SUCCEEDED(status)) {
            answerText = corvel::platform::WideToNarrow(
                answer, std::min<std::size_t>(answer != nullptr ? SysStringLen(answer) : 0, corvel::kTraceLineBytes));
        }
        // The answer, the reader's copies of the response and the response
        // itself all go now, the response last: no copy outlives the share of
        // the response budget that bounds them, and a logoff that waits holds
        // none of them.
        answerOwner.reset();
        rootHandler.reset();
        if (FAILED(status)) {
            WatchdogTrace("Logoffing!");
            LogoffDeadSession(sessionId);
        } else {
            WatchdogTrace("%s connect: %s", address.c_str(), answerText.c_str());
        }
    }
    corvel::platform::UninitializeComForThread();
    corvel::watchdog::CountProbeFinished();
    return 0;
}
