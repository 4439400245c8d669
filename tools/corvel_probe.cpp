// corvel-probe: asks a terminal the watchdog's question (Test through the
// terminal service proxy, a new proxy for every call, as each probe thread
// makes one) and says what came back or at which stage the call failed, so
// that an administrator can see why a session was logged off.
//
//   corvel-probe [-c COUNT] <address-or-url> [timeout-ms]
//
// One call: on success the answer alone, in UTF-8, on standard output; every
// diagnostic (the URL, and on failure the stage, the failure's reason, the
// HTTP status, the socket error and the fault) on standard error.
// With -c COUNT: COUNT calls one after the other, one line per call with its
// round-trip time or its failure, then a summary line, on standard output, as
// ping prints them.
//
// Exit codes: 0 every call answered, 1 a call failed, 2 bad arguments.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/compat.h"
#include "soap/terminal_service_proxy.h"
#include "watchdog/watchdog_settings.h"

namespace {

constexpr int kExitAnswered = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Longer than any time-out an administrator would wait for.
constexpr unsigned long kMaxTimeoutMs = 600000;
// More calls than an operator's look at one terminal needs.
constexpr unsigned long kMaxCount = 1000000;

constexpr char kUsage[] =
    "usage: corvel-probe [-c COUNT] <address-or-url> [timeout-ms]\n"
    "  Calls Test on the terminal's web service, as the session watchdog does.\n"
    "  <address-or-url>  an IPv4 address (http://<address>/webservice.wsdl) or a whole URL\n"
    "  timeout-ms        the time-out of each call (default 1000)\n"
    "  -c COUNT          COUNT calls in sequence: one line per call with its round-trip\n"
    "                    time or its failure, then a summary (calls, answered, failed,\n"
    "                    calls/s, min/median/p99/max round-trip time) on standard output\n"
    "  Without -c the answer alone goes to standard output and every diagnostic to\n"
    "  standard error. Exit status: 0 every call answered, 1 a call failed, 2 bad arguments.\n";

int Usage()
{
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

// A decimal number from first to last, or none.
std::optional<unsigned long> Number(const char* text, unsigned long first, unsigned long last)
{
    if (*text < '0' || *text > '9') {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || errno != 0 || value < first || value > last) {
        return std::nullopt;
    }
    return value;
}

void AppendUtf8(std::string& out, std::uint32_t codePoint)
{
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// UTF-16 to UTF-8 on both platforms (the service's own conversion gives the
// ANSI code page on Windows); an unpaired surrogate becomes U+FFFD.
std::string Utf8(const OLECHAR* text, std::size_t length)
{
    std::string out;
    for (std::size_t index = 0; index < length; ++index) {
        std::uint32_t unit = static_cast<std::uint16_t>(text[index]);
        if (unit >= 0xD800 && unit <= 0xDBFF && index + 1 < length) {
            std::uint32_t low = static_cast<std::uint16_t>(text[index + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++index;
                continue;
            }
        }
        AppendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
    }
    return out;
}

std::string Utf8(const corvel::UniqueBstr& text)
{
    return text.get() == nullptr ? std::string() : Utf8(text.get(), text.length());
}

std::string Utf8(const std::basic_string<OLECHAR>& text)
{
    return Utf8(text.c_str(), text.size());
}

struct CallResult {
    HRESULT status = E_FAIL;
    std::string answer;
    corvel::soap::SoapClientError stage = corvel::soap::SoapClientError::NoError;
    std::string reason;  // the named failure: the reader's or the transport's, "none" when neither named one
    std::int32_t httpStatus = 0;
    std::uint32_t socketError = 0;
    std::optional<corvel::soap::SoapFault> fault;
    double roundTripMs = 0;
};

bool CarriesFault(corvel::soap::SoapClientError stage)
{
    return stage == corvel::soap::SoapClientError::FaultReturned ||
           stage == corvel::soap::SoapClientError::FaultUnreadable;
}

// One Test call through a proxy of its own; false when the URL is unusable.
bool Call(const std::string& url, std::uint32_t timeoutMs, CallResult& result)
{
    auto proxy = std::make_unique<WebService::CTerminalServiceProxy>();
    if (FAILED(proxy->SetUrl(url.c_str()))) {
        return false;
    }
    proxy->requestTimeoutMs = timeoutMs;
    corvel::UniqueBstr answer;
    const auto started = std::chrono::steady_clock::now();
    result.status = proxy->Test(answer.out());
    result.roundTripMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    result.answer = Utf8(answer);
    result.stage = proxy->clientError;
    result.reason = proxy->FailureReasonName();
    result.httpStatus = proxy->HttpStatus();
    result.socketError = proxy->SocketError();
    if (CarriesFault(result.stage)) {
        result.fault = proxy->Fault();
    }
    return true;
}

void ReportFailure(const CallResult& result)
{
    std::fprintf(stderr, "result: 0x%08lX\n", static_cast<unsigned long>(static_cast<std::uint32_t>(result.status)));
    std::fprintf(stderr, "stage: %s\n", corvel::soap::SoapClientErrorName(result.stage));
    std::fprintf(stderr, "reason: %s\n", result.reason.c_str());
    std::fprintf(stderr, "http status: %ld\n", static_cast<long>(result.httpStatus));
    std::fprintf(stderr, "socket error: %lu\n", static_cast<unsigned long>(result.socketError));
    if (result.fault) {
        const corvel::soap::SoapFault& fault = *result.fault;
        std::fprintf(stderr, "fault code: %lu %s\n", static_cast<unsigned long>(fault.code),
                     Utf8(fault.faultCode).c_str());
        std::fprintf(stderr, "fault string: %s\n", Utf8(fault.faultString).c_str());
        std::fprintf(stderr, "fault actor: %s\n", Utf8(fault.faultActor).c_str());
        std::fprintf(stderr, "fault detail: %s\n", Utf8(fault.detail).c_str());
    }
}

// A failure in one line of the -c listing.
std::string FailureLine(const CallResult& result)
{
    char line[256];
    std::snprintf(line, sizeof line, "failed 0x%08lX %s (%s) http=%ld socket=%lu",
                  static_cast<unsigned long>(static_cast<std::uint32_t>(result.status)),
                  corvel::soap::SoapClientErrorName(result.stage), result.reason.c_str(),
                  static_cast<long>(result.httpStatus),
                  static_cast<unsigned long>(result.socketError));
    std::string text = line;
    if (result.fault) {
        text += " fault=\"" + Utf8(result.fault->faultString) + "\"";
    }
    return text;
}

// The answer quoted on one line: a control character in it is escaped.
std::string Quoted(const std::string& answer)
{
    std::string text = "\"";
    for (char c : answer) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '"' || c == '\\') {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            text += escape;
        } else {
            text += c;
        }
    }
    return text + "\"";
}

// Nearest rank: the smallest time that at least fraction of the calls did not exceed.
double Percentile(const std::vector<double>& sorted, double fraction)
{
    std::size_t rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

double Median(const std::vector<double>& sorted)
{
    const std::size_t middle = sorted.size() / 2;
    return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

int RunOnce(const std::string& url, std::uint32_t timeoutMs)
{
    CallResult result;
    if (!Call(url, timeoutMs, result)) {
        std::fprintf(stderr, "corvel-probe: not a usable URL: %s\n", url.c_str());
        return Usage();
    }
    if (SUCCEEDED(result.status)) {
        std::fwrite(result.answer.data(), 1, result.answer.size(), stdout);
        std::fputc('\n', stdout);
        return kExitAnswered;
    }
    ReportFailure(result);
    return kExitFailed;
}

int RunCount(const std::string& url, std::uint32_t timeoutMs, unsigned long count)
{
    std::vector<double> answeredMs;
    unsigned long failed = 0;
    const auto started = std::chrono::steady_clock::now();
    for (unsigned long call = 1; call <= count; ++call) {
        CallResult result;
        if (!Call(url, timeoutMs, result)) {
            std::fprintf(stderr, "corvel-probe: not a usable URL: %s\n", url.c_str());
            return Usage();
        }
        std::string outcome;
        if (SUCCEEDED(result.status)) {
            answeredMs.push_back(result.roundTripMs);
            outcome = "answered " + Quoted(result.answer);
        } else {
            ++failed;
            outcome = FailureLine(result);
        }
        std::printf("call %lu: %s time=%.3f ms\n", call, outcome.c_str(), result.roundTripMs);
        std::fflush(stdout);
    }
    const double elapsedS = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double rate = elapsedS > 0 ? static_cast<double>(count) / elapsedS : 0;
    std::printf("%lu calls, %lu answered, %lu failed, %.1f calls/s", count,
                static_cast<unsigned long>(answeredMs.size()), failed, rate);
    if (answeredMs.empty()) {
        std::printf(", no round-trip times\n");
    } else {
        std::sort(answeredMs.begin(), answeredMs.end());
        std::printf(", rtt min/median/p99/max = %.3f/%.3f/%.3f/%.3f ms\n", answeredMs.front(), Median(answeredMs),
                    Percentile(answeredMs, 0.99), answeredMs.back());
    }
    return failed == 0 ? kExitAnswered : kExitFailed;
}

}  // namespace

int main(int argc, char** argv)
{
    std::optional<unsigned long> count;
    std::vector<const char*> positional;
    for (int index = 1; index < argc; ++index) {
        const char* argument = argv[index];
        if (std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return kExitAnswered;
        }
        if (std::strcmp(argument, "-c") == 0) {
            if (count || index + 1 >= argc || !(count = Number(argv[++index], 1, kMaxCount))) {
                return Usage();
            }
            continue;
        }
        if (argument[0] == '-' || argument[0] == '\0') {
            return Usage();
        }
        positional.push_back(argument);
    }
    if (positional.empty() || positional.size() > 2) {
        return Usage();
    }
    std::uint32_t timeoutMs = corvel::watchdog::kProbeTimeoutMs;
    if (positional.size() == 2) {
        std::optional<unsigned long> value = Number(positional[1], 0, kMaxTimeoutMs);
        if (!value) {
            return Usage();
        }
        timeoutMs = static_cast<std::uint32_t>(*value);
    }
    const std::string target = positional[0];
    const std::string url =
        target.find("://") != std::string::npos ? target : corvel::watchdog::TerminalUrl(target);
    std::fprintf(stderr, "url: %s\n", url.c_str());

    corvel::platform::InitializeComForThread();
    const int exitCode = count ? RunCount(url, timeoutMs, *count) : RunOnce(url, timeoutMs);
    corvel::platform::UninitializeComForThread();
    return exitCode;
}
