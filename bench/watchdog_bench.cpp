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

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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
#include <unordered_map>
#include <vector>

#include "platform/com.h"
#include "platform/compat.h"
#include "platform/threads.h"
#include "soap/terminal_service_proxy.h"
#include "soap/terminal_service_tables.h"
#include "watchdog/session_scanner.h"
#include "watchdog/watchdog_settings.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSessions = 1000;
// A pass long enough that a benchmark run never sees the scanner's second pass.
constexpr std::uint32_t kOnePassPeriodMs = 3600u * 1000u;
constexpr std::uint32_t kPassDeadlineMs = 60000;

const char kTestResponseBody[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
    " soap:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
    "<soap:Body><tns:TestResponse xmlns:tns=\"http://corvel.example/message/\">"
    "<Result xsi:type=\"xsd:string\">OK</Result></tns:TestResponse></soap:Body></soap:Envelope>";

std::string TestAnswer()
{
    return std::string("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/xml; charset=utf-8\r\n"
                       "Content-Length: ") +
           std::to_string(sizeof kTestResponseBody - 1) + "\r\n\r\n" + kTestResponseBody;
}

// Stub terminals: any number of listeners served by one epoll thread. Each
// connection gets the Test answer once its request (headers and the body of
// Content-Length) has arrived, and is closed after it.
class StubTerminalFarm {
public:
    StubTerminalFarm() : answer_(TestAnswer())
    {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        OpenWakePipe();
    }
    ~StubTerminalFarm()
    {
        stopping_.store(true);
        if (thread_.joinable()) {
            const char wake = 1;
            (void)!::write(wakeWrite_, &wake, 1);
            thread_.join();
        }
        for (auto& [descriptor, connection] : connections_) {
            ::close(descriptor);
        }
        for (int listener : listeners_) {
            ::close(listener);
        }
        ::close(wakeRead_);
        ::close(wakeWrite_);
        ::close(epoll_);
    }

    // Listens on address:port (port 0: any); returns the port, 0 on failure.
    std::uint16_t Listen(const std::string& address, std::uint16_t port)
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int yes = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(listener, 256) != 0) {
            ::close(listener);
            return 0;
        }
        socklen_t length = sizeof local;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
        listeners_.push_back(listener);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = Tag(listener, true);
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener, &event);
        return ntohs(local.sin_port);
    }

    void Start() { thread_ = std::thread([this] { Serve(); }); }
    std::uint64_t Answered() const { return answered_.load(); }

private:
    struct Connection {
        std::string pending;
        bool answered = false;
    };

    static std::uint64_t Tag(int descriptor, bool listener)
    {
        return (static_cast<std::uint64_t>(listener) << 32) | static_cast<std::uint32_t>(descriptor);
    }

    // A byte on this pipe wakes the loop to stop.
    void OpenWakePipe()
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
            std::abort();
        }
        wakeRead_ = ends[0];
        wakeWrite_ = ends[1];
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = Tag(wakeRead_, false);
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeRead_, &event);
    }

    static bool RequestComplete(const std::string& pending)
    {
        const std::size_t headerEnd = pending.find("\r\n\r\n");
        if (headerEnd == std::string::npos) {
            return false;
        }
        std::size_t bodyLength = 0;
        const char* field = ::strcasestr(pending.c_str(), "content-length:");
        if (field != nullptr && static_cast<std::size_t>(field - pending.c_str()) < headerEnd) {
            bodyLength = std::strtoul(field + 15, nullptr, 10);
        }
        return pending.size() >= headerEnd + 4 + bodyLength;
    }

    void Drop(int descriptor)
    {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, descriptor, nullptr);
        ::close(descriptor);
        connections_.erase(descriptor);
    }

    void Serve()
    {
        epoll_event events[256];
        char block[8192];
        while (!stopping_.load()) {
            const int ready = ::epoll_wait(epoll_, events, 256, 100);
            for (int index = 0; index < ready; ++index) {
                const int descriptor = static_cast<int>(events[index].data.u64 & 0xFFFFFFFFu);
                if (descriptor == wakeRead_) {
                    continue;
                }
                if (events[index].data.u64 >> 32) {
                    for (;;) {
                        const int connection = ::accept4(descriptor, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                        if (connection < 0) {
                            break;
                        }
                        int yes = 1;
                        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
                        connections_[connection];
                        epoll_event event{};
                        event.events = EPOLLIN | EPOLLRDHUP;
                        event.data.u64 = Tag(connection, false);
                        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, connection, &event);
                    }
                    continue;
                }
                auto found = connections_.find(descriptor);
                if (found == connections_.end()) {
                    continue;
                }
                bool closed = false;
                for (;;) {
                    const ssize_t received = ::recv(descriptor, block, sizeof block, 0);
                    if (received > 0) {
                        found->second.pending.append(block, static_cast<std::size_t>(received));
                        continue;
                    }
                    closed = received == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
                    break;
                }
                if (!found->second.answered && RequestComplete(found->second.pending)) {
                    found->second.answered = true;
                    // The answer is small: one send fits the socket buffer.
                    (void)!::send(descriptor, answer_.data(), answer_.size(), MSG_NOSIGNAL);
                    answered_.fetch_add(1);
                    closed = true;
                }
                if (closed) {
                    Drop(descriptor);
                }
            }
        }
    }

    std::string answer_;
    int epoll_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::vector<int> listeners_;
    std::unordered_map<int, Connection> connections_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> answered_{0};
    std::thread thread_;
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
    const fs::path root = fs::temp_directory_path() / ("corvel-watchdog-bench-" + std::to_string(::getpid()));
    fs::create_directories(root);
    ::setenv("CORVEL_ROOT", root.c_str(), 1);

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
    fs::remove_all(root);
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

void BM_Test_CurlExpat(benchmark::State& state)
{
    const std::string& url = Terminal().url;
    const std::string& body = ProxyRequestBody();
    const std::string actionHeader = std::string(corvel::soap::terminal_service::TestActionLine,
                                                 corvel::soap::terminal_service::TestActionLineLength - 2);
    for (auto _ : state) {
        CURL* easy = curl_easy_init();
        curl_slist* headers = nullptr;
        headers = curl_slist_append(headers, actionHeader.c_str());
        headers = curl_slist_append(headers, "Accept: text/xml");
        headers = curl_slist_append(headers, "Content-Type: text/xml; charset=utf-8");
        headers = curl_slist_append(headers, "Expect:");
        XML_Parser parser = XML_ParserCreateNS(nullptr, '|');
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
        XML_ParserFree(parser);
        curl_slist_free_all(headers);
        curl_easy_cleanup(easy);
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
