// corvel-probe: asks one terminal the watchdog's question (Test through the
// terminal service proxy) and says what came back or at which stage the call
// failed, so that an administrator can see why a session was logged off.
//
//   corvel-probe <address-or-url> [timeout-ms]
//
// Exit codes: 0 answered, 1 failed, 2 bad arguments.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/com.h"
#include "platform/compat.h"
#include "platform/text_conversion.h"
#include "soap/terminal_service_proxy.h"
#include "watchdog/watchdog_settings.h"

namespace {

constexpr int kExitAnswered = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Longer than any time-out an administrator would wait for.
constexpr unsigned long kMaxTimeoutMs = 600000;

int Usage()
{
    std::fprintf(stderr, "usage: corvel-probe <address-or-url> [timeout-ms]\n");
    return kExitUsage;
}

std::string Narrow(const corvel::UniqueBstr& text)
{
    return corvel::platform::WideToNarrow(text.get(), text.length());
}

std::string Narrow(const std::basic_string<OLECHAR>& text)
{
    return corvel::platform::WideToNarrow(text.c_str(), text.size());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || argv[1][0] == '\0') {
        return Usage();
    }
    std::uint32_t timeoutMs = corvel::watchdog::kProbeTimeoutMs;
    if (argc == 3) {
        const char* digits = argv[2];
        if (*digits < '0' || *digits > '9') {
            return Usage();
        }
        char* end = nullptr;
        errno = 0;
        const unsigned long value = std::strtoul(digits, &end, 10);
        if (*end != '\0' || errno != 0 || value > kMaxTimeoutMs) {
            return Usage();
        }
        timeoutMs = static_cast<std::uint32_t>(value);
    }
    const std::string target = argv[1];
    const std::string url =
        target.find("://") != std::string::npos ? target : corvel::watchdog::TerminalUrl(target);

    corvel::platform::InitializeComForThread();
    int exitCode = kExitFailed;
    {
        auto proxy = std::make_unique<WebService::CTerminalServiceProxy>();
        if (FAILED(proxy->SetUrl(url.c_str()))) {
            std::fprintf(stderr, "corvel-probe: not a usable URL: %s\n", url.c_str());
            corvel::platform::UninitializeComForThread();
            return Usage();
        }
        proxy->requestTimeoutMs = timeoutMs;
        std::printf("url: %s\n", url.c_str());
        corvel::UniqueBstr result;
        const HRESULT status = proxy->Test(result.out());
        if (SUCCEEDED(status)) {
            std::printf("answer: %s\n", Narrow(result).c_str());
            exitCode = kExitAnswered;
        } else {
            std::printf("result: 0x%08lX\n", static_cast<unsigned long>(static_cast<std::uint32_t>(status)));
            std::printf("stage: %s\n", corvel::soap::SoapClientErrorName(proxy->clientError));
            std::printf("http status: %ld\n", static_cast<long>(proxy->HttpStatus()));
            std::printf("socket error: %lu\n", static_cast<unsigned long>(proxy->SocketError()));
            std::printf("transport failure: %s\n", proxy->TransportFailureName());
            if (proxy->clientError == corvel::soap::SoapClientError::FaultReturned ||
                proxy->clientError == corvel::soap::SoapClientError::FaultUnreadable) {
                const corvel::soap::SoapFault& fault = proxy->Fault();
                std::printf("fault code: %lu %s\n", static_cast<unsigned long>(fault.code), Narrow(fault.faultCode).c_str());
                std::printf("fault string: %s\n", Narrow(fault.faultString).c_str());
                std::printf("fault actor: %s\n", Narrow(fault.faultActor).c_str());
                std::printf("fault detail: %s\n", Narrow(fault.detail).c_str());
            }
        }
    }
    corvel::platform::UninitializeComForThread();
    return exitCode;
}
