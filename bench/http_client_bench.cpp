// Requests per second of the HTTP client next to libcurl, against the same
// loopback server with the same exchange: a POST with a 500-byte body and a
// 200 answer with a 500-byte body, once on one kept-alive connection and once
// on a fresh connection per request. Prints the ratio of the two rates.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "http/http_client.h"
#include "support/loopback_server.h"

namespace {

using corvel::http::CHttpClientT;
using corvel::http::CParsedUrl;
using corvel::http::RequestOptions;
using corvel::http::ZEvtSyncSocket;

constexpr std::size_t kBodySize = 500;

// A keep-alive loopback server: every request on a connection is answered
// with the same 200 and 500 bytes.
corvel::testing::LoopbackServer& Server()
{
    using namespace corvel::testing;
    static LoopbackServer* server = new LoopbackServer(
        {{ReadRequest(),
          SendBytes("HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
                    std::to_string(kBodySize) + "\r\n\r\n" + std::string(kBodySize, 'a')),
          Repeat()}},
        512);
    return *server;
}

const std::string& RequestBody()
{
    static const std::string body(kBodySize, 'b');
    return body;
}

void CorvelRequests(benchmark::State& state, bool freshConnection)
{
    CHttpClientT<ZEvtSyncSocket> client;
    CParsedUrl url;
    url.Parse(("http://127.0.0.1:" + std::to_string(Server().Port()) + "/webservice.wsdl").c_str());
    RequestOptions options;
    options.requestMethod = "POST";
    options.contentType = "text/xml; charset=utf-8";
    options.extraHeaders = "Accept: text/xml\r\n";
    options.body = RequestBody().data();
    options.bodyLength = static_cast<std::uint32_t>(RequestBody().size());
    options.flags = RequestOptions::followRedirects | RequestOptions::checkStatus | RequestOptions::sendInBlocks;
    options.sendBlockSize = 4096;
    options.readBlockSize = 4096;
    options.timeoutMs = 5000;
    for (auto _ : state) {
        if (!client.SendRequest(url, options) || client.ResponseBodyLength() != kBodySize) {
            state.SkipWithError("request failed");
            break;
        }
        if (freshConnection) {
            client.CloseSocket();
        }
    }
    state.counters["requests/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}

std::size_t CountBytes(char* data, std::size_t size, std::size_t count, void* total)
{
    *static_cast<std::size_t*>(total) += size * count;
    return size * count;
}

void CurlRequests(benchmark::State& state, bool freshConnection)
{
    CURL* easy = curl_easy_init();
    const std::string url = "http://127.0.0.1:" + std::to_string(Server().Port()) + "/webservice.wsdl";
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: text/xml; charset=utf-8");
    headers = curl_slist_append(headers, "Accept: text/xml");
    std::size_t received = 0;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, RequestBody().data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(RequestBody().size()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, CountBytes);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Corvel-Service/1.0");
    if (freshConnection) {
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    }
    for (auto _ : state) {
        received = 0;
        long status = 0;
        if (curl_easy_perform(easy) != CURLE_OK ||
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200 ||
            received != kBodySize) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.counters["requests/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate);
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
}

void BM_Corvel_KeepAlive(benchmark::State& state) { CorvelRequests(state, false); }
void BM_Curl_KeepAlive(benchmark::State& state) { CurlRequests(state, false); }
void BM_Corvel_FreshConnection(benchmark::State& state) { CorvelRequests(state, true); }
void BM_Curl_FreshConnection(benchmark::State& state) { CurlRequests(state, true); }

BENCHMARK(BM_Corvel_KeepAlive)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Curl_KeepAlive)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Corvel_FreshConnection)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Curl_FreshConnection)->UseRealTime()->MinTime(1.0);

// Keeps each benchmark's request rate for the comparison after the run.
class RateReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto found = run.counters.find("requests/s");
            if (found != run.counters.end()) {
                rates[run.benchmark_name()] = found->second.value;
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
    for (const char* mode : {"KeepAlive", "FreshConnection"}) {
        const double ours = reporter.rates[std::string("BM_Corvel_") + mode + "/min_time:1.000/real_time"];
        const double curl = reporter.rates[std::string("BM_Curl_") + mode + "/min_time:1.000/real_time"];
        if (ours > 0 && curl > 0) {
            std::printf("%-16s corvel %10.0f req/s   libcurl %10.0f req/s   ratio %.2f\n", mode, ours, curl,
                        ours / curl);
        }
    }
    curl_global_cleanup();
    benchmark::Shutdown();
    return 0;
}
