// The SOAP response reader over hostile bytes: the first byte picks an
// operation of the terminal service or of the test service (structures,
// arrays, references, headers); the rest is the response body. Every value
// the reader stores is released again, so leaks and overruns show up.
#include <cstddef>
#include <cstdint>
#include <string>

#include "soap/soap_reader_fixture.h"

namespace {

using corvel::soap::testing::TableHandler;
namespace ts = corvel::soap::test_service;
namespace term = corvel::soap::terminal_service;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    std::size_t selector = data[0];
    alignas(std::max_align_t) unsigned char parameters[1024] = {};
    static_assert(sizeof(ts::ArraysParameters) <= sizeof(parameters));
    static_assert(sizeof(ts::StructuresParameters) <= sizeof(parameters));
    if (selector < 0x80) {
        TableHandler handler(term::OperationTable, term::HeaderTable);
        handler.Parse(selector % term::kOperationCount, parameters, body);
        handler.ReleaseParameters();
    } else {
        ts::TestHeaderRecord headers{};
        TableHandler handler(ts::OperationTable, ts::HeaderTable, &headers);
        handler.Parse(selector % ts::kOperationCount, parameters, body);
        handler.ReleaseParameters();
    }
    return 0;
}
