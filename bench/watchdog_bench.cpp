// The watchdog under load, and the cost of one Test call.
//
// BM_ScannerPass: one scanner pass over 1,000 connected sessions whose
// terminals are 1,000 loopback addresses, half of them answering Test and half
// refusing the connection (their sessions are logged off, rewriting the
// session table). Reported: the time from the scanner's start until every
// probe of the pass has finished, the peak resident set of the process during
// the pass, and the peak thread count.
//
// BM_Test_CorvelProxy / BM_Test_CurlExpat: Test round trips per second on
// loopback with a fresh proxy per call, next to libcurl plus Expat doing the
// same exchange (the proxy's own request bytes and headers, Result read into a
// counted UTF-16 string). The ratio of the two rates is printed at the end.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <expat.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/com.h"
#include "platform/compat.h"
#include "platform/threads.h"
#include "platform/unique_handle.h"
#include "soap/terminal_service_proxy.h"
#include "soap/terminal_service_tables.h"
#include "support/loopback_host.h"
#include "support/state_root.h"
#include "support/terminals.h"
#include "watchdog/session_scanner.h"
#include "watchdog/watchdog_settings.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSessions = 1000;
// A pass long enough that a benchmark run never sees the scanner's second pass.
constexpr std::uint32_t kOnePassPeriodMs = 3600u * 1000u;
constexpr std::uint32_t kPassDeadlineMs = 60000;

// Stub terminals: any number of listeners on one loopback host. Each
// connection gets the Test answer once its whole request has arrived, and is
// closed after it.
class StubTerminalFarm {
public:
    // Listens on address:port (port 0: any); returns the port, 0 on failure.
    std::uint16_t Listen(const std::string& address, std::uint16_t port)
    {
        const auto listener = host_.Listen(address, port, answer_);
        return listener ? host_.Port(*listener) : 0;
    }
    void Start() { host_.Start(); }
    std::uint64_t Answered() const { return host_.TotalRequests(); }

private:
    std::shared_ptr<const std::vector<corvel::testing::Script>> answer_ =
        std::make_shared<const std::vector<corvel::testing::Script>>(1, corvel::testing::AnswerScript(
            corvel::testing::HttpAnswer("200 OK", corvel::testing::TestResponseEnvelope("OK"))));
    corvel::testing::LoopbackHost host_;
};

long StatusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::atol(line.c_str() + prefix.size());
        }
    }
    return 0;
}

// Session i's terminal address: 127.1.x.y, distinct for every session.
std::string SessionAddress(int session)
{
    return "127.1." + std::to_string(session / 250) + "." + std::to_string(session % 250 + 1);
}

// Trace lines of a thousand probes would measure the terminal, not the
// watchdog: standard error goes to /dev/null while a pass runs.
class QuietStandardError {
public:
    QuietStandardError()
    {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(sink, 2);
        ::close(sink);
    }
    ~QuietStandardError()
    {
        ::dup2(saved_, 2);
        ::close(saved_);
    }

private:
    int saved_;
};

void BM_ScannerPass(benchmark::State& state)
{
    const corvel::testing::TemporaryStateRoot stateRoot("corvel-watchdog-bench");
    const fs::path& root = stateRoot.path();

    // Even sessions answer, odd ones refuse: nothing listens on their address.
    StubTerminalFarm farm;
    std::uint16_t port = farm.Listen(SessionAddress(0), 0);
    std::string table = "console 1\n";
    for (int session = 0; session < kSessions; ++session) {
        if (session % 2 == 0 && (session == 0 ? port : farm.Listen(SessionAddress(session), port)) == 0) {
            state.SkipWithError("cannot listen on a loopback address");
            return;
        }
        table += std::to_string(2 + session) + " connected " + SessionAddress(session) + "\n";
    }
    farm.Start();
    corvel::watchdog::SetTerminalPort(port);
    corvel::watchdog::SetScanPeriodMs(kOnePassPeriodMs);

    double worstPassMs = 0;
    long peakRssKiB = 0;
    long peakThreads = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::ofstream(root / "sessions.new") << table;
        fs::rename(root / "sessions.new", root / "sessions");
        const std::uint64_t finishedBefore = corvel::watchdog::FinishedProbeCount();
        // Resets the process's peak resident set to what it holds now.
        std::ofstream("/proc/self/clear_refs") << "5";
        state.ResumeTiming();

        long passThreads = 0;
        const auto start = std::chrono::steady_clock::now();
        {
            QuietStandardError quiet;
            scannerRunning.store(1);
            corvel::platform::ThreadHandle scanner = corvel::platform::StartThread(SessionScanner, nullptr);
            while (corvel::watchdog::FinishedProbeCount() - finishedBefore < kSessions &&
                   std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kPassDeadlineMs)) {
                passThreads = std::max(passThreads, StatusKiB("Threads"));
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            // The scanner sleeps through its period; it ends when it wakes.
            scannerRunning.store(0);
            corvel::platform::CloseThreadHandle(scanner);
        }
        const double passMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(passMs / 1000.0);
        if (corvel::watchdog::FinishedProbeCount() - finishedBefore < kSessions) {
            state.SkipWithError("probes still running after the deadline");
            break;
        }
        worstPassMs = std::max(worstPassMs, passMs);
        peakRssKiB = std::max(peakRssKiB, StatusKiB("VmHWM"));
        peakThreads = std::max(peakThreads, passThreads);
    }
    state.counters["worst_pass_ms"] = worstPassMs;
    state.counters["peak_rss_MiB"] = static_cast<double>(peakRssKiB) / 1024.0;
    state.counters["peak_threads"] = static_cast<double>(peakThreads);
    std::printf("scanner pass over %d sessions: worst %.0f ms (target 1500), peak RSS %.1f MiB (target 64), "
                "peak threads %ld, answers %llu\n",
                kSessions, worstPassMs, static_cast<double>(peakRssKiB) / 1024.0, peakThreads,
                static_cast<unsigned long long>(farm.Answered()));

    corvel::watchdog::SetTerminalPort(0);
    corvel::watchdog::SetScanPeriodMs(0);
}
BENCHMARK(BM_ScannerPass)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// The one terminal of the round-trip benchmarks.
struct RoundTripTerminal {
    RoundTripTerminal()
    {
        port = farm.Listen("127.0.0.1", 0);
        farm.Start();
        url = "http://127.0.0.1:" + std::to_string(port) + "/webservice.wsdl";
    }
    StubTerminalFarm farm;
    std::uint16_t port = 0;
    std::string url;
};

RoundTripTerminal& Terminal()
{
    static RoundTripTerminal* terminal = new RoundTripTerminal;
    return *terminal;
}

void BM_Test_CorvelProxy(benchmark::State& state)
{
    using Proxy = WebService::CWebServiceT<corvel::soap::CSoapSocketClientT<corvel::http::ZEvtSyncSocket>>;
    corvel::platform::InitializeComForThread();
    const std::string& url = Terminal().url;
    for (auto _ : state) {
        Proxy proxy;
        proxy.SetUrl(url.c_str());
        proxy.requestTimeoutMs = 1000;
        BSTR result = nullptr;
        if (FAILED(proxy.Test(&result)) || result == nullptr || SysStringLen(result) != 2) {
            state.SkipWithError("Test failed");
            SysFreeString(result);
            break;
        }
        SysFreeString(result);
    }
    state.counters["calls/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
    corvel::platform::UninitializeComForThread();
}
BENCHMARK(BM_Test_CorvelProxy)->UseRealTime()->MinTime(1.0);

// The request bytes the proxy sends for Test, taken from a proxy once.
const std::string& ProxyRequestBody()
{
    static const std::string body = [] {
        using Proxy = WebService::CWebServiceT<corvel::soap::CSoapSocketClientT<corvel::http::ZEvtSyncSocket>>;
        Proxy proxy;
        proxy.SetUrl(Terminal().url.c_str());
        BSTR result = nullptr;
        proxy.Test(&result);
        SysFreeString(result);
        return proxy.RequestText();
    }();
    return body;
}

// Expat's side of the exchange: the text of the first Result element, as a
// counted UTF-16 string.
struct ResultReader {
    bool inResult = false;
    bool done = false;
    std::string text;

    static void Start(void* context, const XML_Char* name, const XML_Char**)
    {
        auto* reader = static_cast<ResultReader*>(context);
        const char* local = std::strrchr(name, '|');
        local = local != nullptr ? local + 1 : name;
        if (!reader->done && std::strcmp(local, "Result") == 0) {
            reader->inResult = true;
        }
    }
    static void End(void* context, const XML_Char*)
    {
        auto* reader = static_cast<ResultReader*>(context);
        if (reader->inResult) {
            reader->inResult = false;
            reader->done = true;
        }
    }
    static void Text(void* context, const XML_Char* text, int length)
    {
        auto* reader = static_cast<ResultReader*>(context);
        if (reader->inResult) {
            reader->text.append(text, static_cast<std::size_t>(length));
        }
    }
};

BSTR Utf8ToBstr(const std::string& text)
{
    std::u16string wide;
    for (std::size_t index = 0; index < text.size();) {
        const auto lead = static_cast<unsigned char>(text[index]);
        char32_t code = lead;
        std::size_t extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (std::size_t i = 1; i <= extra && index + i < text.size(); ++i) {
            code = (code << 6) | (static_cast<unsigned char>(text[index + i]) & 0x3F);
        }
        index += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            wide.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            wide.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            wide.push_back(static_cast<char16_t>(code));
        }
    }
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()), static_cast<UINT>(wide.size()));
}

std::size_t FeedExpat(char* data, std::size_t size, std::size_t count, void* parser)
{
    const std::size_t bytes = size * count;
    return XML_Parse(static_cast<XML_Parser>(parser), data, static_cast<int>(bytes), 0) == XML_STATUS_OK ? bytes
                                                                                                           : 0;
}

using CurlHandle = corvel::platform::UniqueResource<CURL*, &curl_easy_cleanup, nullptr>;
using CurlHeaders = corvel::platform::UniqueResource<curl_slist*, &curl_slist_free_all, nullptr>;
using ExpatParser = corvel::platform::UniqueResource<XML_Parser, &XML_ParserFree, nullptr>;

void BM_Test_CurlExpat(benchmark::State& state)
{
    const std::string& url = Terminal().url;
    const std::string& body = ProxyRequestBody();
    const std::string actionHeader = std::string(corvel::soap::terminal_service::TestActionLine,
                                                 corvel::soap::terminal_service::TestActionLineLength - 2);
    for (auto _ : state) {
        const CurlHandle easyOwner(curl_easy_init());
        CURL* easy = easyOwner.get();
        CurlHeaders headerOwner;
        for (const char* line : {actionHeader.c_str(), "Accept: text/xml", "Content-Type: text/xml; charset=utf-8",
                                 "Expect:"}) {
            headerOwner.reset(curl_slist_append(headerOwner.release(), line));
        }
        curl_slist* headers = headerOwner.get();
        const ExpatParser parserOwner(XML_ParserCreateNS(nullptr, '|'));
        XML_Parser parser = parserOwner.get();
        ResultReader reader;
        XML_SetUserData(parser, &reader);
        XML_SetElementHandler(parser, ResultReader::Start, ResultReader::End);
        XML_SetCharacterDataHandler(parser, ResultReader::Text);
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, FeedExpat);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, parser);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 1000L);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, "Corvel-Service/1.0");
        long status = 0;
        const bool exchanged = curl_easy_perform(easy) == CURLE_OK &&
                               curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                               status == 200 && XML_Parse(parser, nullptr, 0, 1) == XML_STATUS_OK && reader.done;
        BSTR result = exchanged ? Utf8ToBstr(reader.text) : nullptr;
        const bool answered = result != nullptr && SysStringLen(result) == 2;
        SysFreeString(result);
        if (!answered) {
            state.SkipWithError("Test failed");
            break;
        }
    }
    state.counters["calls/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Test_CurlExpat)->UseRealTime()->MinTime(1.0);

class RateReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto found = run.counters.find("calls/s");
            if (found != run.counters.end()) {
                rates[run.run_name.function_name] = found->second.value;
            }
        }
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ours = reporter.rates["BM_Test_CorvelProxy"];
    const double curl = reporter.rates["BM_Test_CurlExpat"];
    if (ours > 0 && curl > 0) {
        std::printf("Test round trips, fresh proxy per call: corvel %.0f/s   libcurl+Expat %.0f/s   ratio %.2f\n",
                    ours, curl, ours / curl);
    }
    curl_global_cleanup();
    benchmark::Shutdown();
    return 0;
}
