// Reading SOAP responses: the Test response each probe reads, a 1 MB response
// of 10,000 int array items and one holding a 1 MB string, each next to Expat
// parsing the same bytes with empty handlers in the same run. The ratio
// counters of an engine benchmark are its time over Expat's for the same
// document: x_expat by the wall clock, x_expat_cpu by the thread's own CPU
// time, which other processes on a busy machine do not inflate (on a shared
// machine the wall-clock ratio of a 20-microsecond parse swings with whoever
// else runs). allocs/op counts every operator new during one parse.
#include <benchmark/benchmark.h>
#include <expat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <new>
#include <string>

#include "platform/unique_handle.h"
#include "soap/soap_reader_fixture.h"

#include "allocation_counter.h"

namespace {

using corvel::soap::testing::Envelope;
using corvel::platform::testing::MemoryStream;
using corvel::soap::testing::TableHandler;
namespace ts = corvel::soap::test_service;
namespace term = corvel::soap::terminal_service;

enum class Document { Test, IntArray, LargeString };

std::string MakeDocument(Document document)
{
    switch (document) {
    case Document::Test:
        return Envelope("<m:TestResponse><Result>terminal 10.1.2.3 is alive</Result></m:TestResponse>");
    case Document::IntArray: {
        // 10,000 items of about 100 bytes each: about 1 MB.
        std::string items;
        const std::string padding(72, ' ');
        for (int i = 0; i < 10000; ++i) {
            items += "<value>" + std::to_string(100000 + i) + "</value>" + padding + "\n";
        }
        return Envelope("<m:GrowListResponse><values>" + items + "</values></m:GrowListResponse>");
    }
    case Document::LargeString: {
        std::string text;
        for (int i = 0; text.size() < 1024 * 1024; ++i) {
            text += "line " + std::to_string(i) + " of the terminal's report, nothing to escape here\n";
        }
        return Envelope("<m:TestResponse><Result>" + text + "</Result></m:TestResponse>");
    }
    }
    return std::string();
}

struct Figures {
    double wallNanoseconds = 0;
    double cpuNanoseconds = 0;
};

// Per Expat parse, filled by the Expat benchmarks, read by the engine's.
std::map<Document, Figures>& ExpatFigures()
{
    static std::map<Document, Figures> figures;
    return figures;
}

double ThreadCpuNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

void XMLCALL NoStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL NoEnd(void*, const XML_Char*) {}
void XMLCALL NoText(void*, const XML_Char*, int) {}

using ExpatParser = corvel::platform::UniqueResource<XML_Parser, &XML_ParserFree, nullptr>;

void ExpatParse(benchmark::State& state, Document document)
{
    const std::string bytes = MakeDocument(document);
    auto started = std::chrono::steady_clock::now();
    double cpuStarted = ThreadCpuNanoseconds();
    long long runs = 0;
    for (auto _ : state) {
        const ExpatParser parser(XML_ParserCreateNS(nullptr, '\x01'));
        XML_SetElementHandler(parser.get(), &NoStart, &NoEnd);
        XML_SetCharacterDataHandler(parser.get(), &NoText);
        int status = XML_Parse(parser.get(), bytes.data(), static_cast<int>(bytes.size()), XML_TRUE);
        benchmark::DoNotOptimize(status);
        ++runs;
    }
    double elapsed = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - started).count();
    double cpu = ThreadCpuNanoseconds() - cpuStarted;
    ExpatFigures()[document] = {elapsed / static_cast<double>(runs), cpu / static_cast<double>(runs)};
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void EngineParse(benchmark::State& state, Document document)
{
    const std::string bytes = MakeDocument(document);
    MemoryStream stream(bytes);
    bool grow = document == Document::IntArray;
    ts::GrowListParameters growParameters{};
    term::TestParameters testParameters{};
    TableHandler terminalHandler(term::OperationTable, term::HeaderTable);
    TableHandler testHandler(ts::OperationTable, ts::HeaderTable);
    TableHandler& handler = grow ? testHandler : terminalHandler;
    void* parameters = grow ? static_cast<void*>(&growParameters) : static_cast<void*>(&testParameters);
    std::size_t operation = grow ? static_cast<std::size_t>(ts::kGrowList) : term::kTestOperationIndex;

    long long allocations = 0;
    auto started = std::chrono::steady_clock::now();
    double cpuStarted = ThreadCpuNanoseconds();
    long long runs = 0;
    for (auto _ : state) {
        handler.ResetParseState();
        handler.parameterRecord = parameters;
        handler.PushHeaderLevel(operation);
        handler.ReleaseParameters();
        stream.Rewind();
        long long before = allocationCount.load(std::memory_order_relaxed);
        HRESULT result = handler.ParseResponse(&stream);
        allocations += allocationCount.load(std::memory_order_relaxed) - before;
        if (result != S_OK) {
            state.SkipWithError("the response did not parse");
            break;
        }
        ++runs;
    }
    double elapsed = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - started).count();
    double cpu = ThreadCpuNanoseconds() - cpuStarted;
    handler.ReleaseParameters();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    state.counters["allocs/op"] = runs > 0 ? static_cast<double>(allocations) / static_cast<double>(runs) : 0;
    auto expat = ExpatFigures().find(document);
    if (expat != ExpatFigures().end() && runs > 0) {
        state.counters["x_expat"] = (elapsed / static_cast<double>(runs)) / expat->second.wallNanoseconds;
        state.counters["x_expat_cpu"] = (cpu / static_cast<double>(runs)) / expat->second.cpuNanoseconds;
    }
}

// Expat runs first so that each engine benchmark can print its ratio.
BENCHMARK_CAPTURE(ExpatParse, Test, Document::Test);
BENCHMARK_CAPTURE(EngineParse, Test, Document::Test);
BENCHMARK_CAPTURE(ExpatParse, IntArray1MB, Document::IntArray)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(EngineParse, IntArray1MB, Document::IntArray)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ExpatParse, String1MB, Document::LargeString)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(EngineParse, String1MB, Document::LargeString)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
