// The SOAP response reader over hostile bytes: the first byte picks an
// operation of the terminal service or of the test service (every descriptor
// kind: structures holding arrays, strings and binary values, pointer, inline
// and growing arrays of simple values, structures and enumerations, references
// forward to items and into items, ChainedOut, headers, IgnoreText, names
// sharing a hash); the rest is the response body, delivered in pieces whose
// size the second byte picks, and whose text the SAX reader hands over in
// pieces of 1 to 6 code units or whole (the second byte again, modulo 7), as
// a reader that splits text would. After any parse, success or failure,
// ReleaseParameters must leave nothing allocated (LeakSanitizer checks that).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "soap/soap_reader_fixture.h"

namespace {

using corvel::soap::testing::TableHandler;
namespace ts = corvel::soap::test_service;
namespace term = corvel::soap::terminal_service;

// Room for the largest parameter record of either service.
constexpr std::size_t kRecordBytes = 1024;
static_assert(sizeof(ts::ArraysParameters) <= kRecordBytes && sizeof(ts::CatalogParameters) <= kRecordBytes &&
              sizeof(ts::StructuresParameters) <= kRecordBytes && sizeof(ts::GrowListParameters) <= kRecordBytes &&
              sizeof(ts::ScalarsParameters) <= kRecordBytes && sizeof(ts::ChainedLateParameters) <= kRecordBytes);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    std::size_t selector = data[0];
    // 0 reads the whole body at once; otherwise pieces of 1 to 255 bytes.
    ULONG chunkBytes = data[1] == 0 ? 0xFFFFFFFFu : data[1];
    std::size_t textPieceUnits = data[1] % 7;
    std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
    alignas(std::max_align_t) unsigned char parameters[kRecordBytes] = {};
    if (selector < 0x40) {
        TableHandler handler(term::OperationTable, term::HeaderTable, nullptr, textPieceUnits);
        handler.Parse(selector % term::kOperationCount, parameters, body, chunkBytes);
        handler.ReleaseParameters();
    } else {
        ts::TestHeaderRecord headers{};
        TableHandler handler(ts::OperationTable, ts::HeaderTable, &headers, textPieceUnits);
        handler.Parse(selector % ts::kOperationCount, parameters, body, chunkBytes);
        handler.ReleaseParameters();
        if (headers.ServerNote != nullptr) {
            std::abort();  // an out header survived ReleaseParameters
        }
    }
    return 0;
}
