// Writing the Test request envelope, as each probe does once per call, and
// the GetMac request with an address to escape. The request text is reused
// between iterations as the proxy reuses its request string, so a steady
// state shows whether the writer allocates anything per element: the
// allocs/op counter counts every operator new during the writes.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "soap/memory_manager.h"
#include "soap/request_writer.h"
#include "soap/terminal_service_tables.h"
#include "soap/write_stream.h"

// The replaced operator new and delete below pair malloc with free; GCC cannot
// see that once both are inlined into the same function and warns.
#include "allocation_counter.h"

namespace {

using namespace corvel::soap;
using namespace corvel::soap::terminal_service;

RequestWriterContext ClientContext()
{
    return {true, DefaultMemoryManager(), ServiceNamespace, ServiceNamespaceLength};
}

template <typename Parameters>
void WriteRequestLoop(benchmark::State& state, std::size_t operationIndex, Parameters* parameters)
{
    CWriteStreamOnCString stream;
    RequestWriterContext context = ClientContext();
    long long allocations = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        stream.Clear();
        long long before = allocationCount.load(std::memory_order_relaxed);
        HRESULT hr = WriteEnvelope(context, HeaderTable[operationIndex], nullptr, OperationTable[operationIndex],
                                   parameters, &stream);
        allocations += allocationCount.load(std::memory_order_relaxed) - before;
        if (FAILED(hr)) {
            state.SkipWithError("request writing failed");
            break;
        }
        bytes += stream.Text().size();
        benchmark::DoNotOptimize(stream.Text().data());
    }
    state.counters["allocs/op"] = benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_WriteTestRequest(benchmark::State& state)
{
    TestParameters parameters{nullptr};
    WriteRequestLoop(state, kTestOperationIndex, &parameters);
}
BENCHMARK(BM_WriteTestRequest);

void BM_WriteGetMacRequestWithEscapedAddress(benchmark::State& state)
{
    AddressParameters parameters{SysAllocString(OLESTR("192.168.100.200 <\xE9>")), nullptr};
    WriteRequestLoop(state, 7, &parameters);
    SysFreeString(parameters.pStrIP);
}
BENCHMARK(BM_WriteGetMacRequestWithEscapedAddress);

}  // namespace

BENCHMARK_MAIN();
