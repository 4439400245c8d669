// What one response can make the reader hold: the most expensive documents we
// can build (a large string, large binary, an attribute as large as the
// response, gathered markup, and responses made of the cheapest possible items
// and references, which cost the most per byte) are parsed while the heap in
// use is sampled, and neither the peak nor the values that stay after the
// parse may pass the bounds stated next to kReaderBytesPerResponseByte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "soap_reader_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define CORVEL_HEAP_FROM_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVEL_HEAP_FROM_SANITIZER 1
#endif
#endif

#if defined(CORVEL_HEAP_FROM_SANITIZER)
// The sanitizer runtime's own count (its header is not on every include path).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

namespace corvel::soap {
namespace {

using testing::Envelope;
using platform::testing::MemoryStream;
using testing::TableHandler;
namespace ts = test_service;
namespace term = terminal_service;

// Bytes the process's heap holds, or 0 where the platform cannot say.
std::size_t HeapInUse()
{
#if defined(CORVEL_HEAP_FROM_SANITIZER)
    return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#else
    return 0;
#endif
}

struct Peak {
    std::size_t highest = 0;
    void Sample() { highest = std::max(highest, HeapInUse()); }
};

// The heap, sampled at every block the reader asks for.
class SampledMemory final : public IMemoryManager {
public:
    explicit SampledMemory(Peak* peak) : peak_(peak) {}
    void* Allocate(std::size_t byteCount) override
    {
        peak_->Sample();
        return DefaultMemoryManager()->Allocate(byteCount);
    }
    void* Reallocate(void* block, std::size_t byteCount) override
    {
        peak_->Sample();
        return DefaultMemoryManager()->Reallocate(block, byteCount);
    }
    void Free(void* block) override { DefaultMemoryManager()->Free(block); }

private:
    Peak* peak_;
};

constexpr std::size_t kTargetBytes = 1024 * 1024;
// Fixed costs beside the response's: the reader's read chunk and levels.
constexpr std::size_t kFixedBytes = 1024 * 1024;

std::string Repeat(const std::string& piece, std::size_t totalBytes)
{
    std::string text;
    text.reserve(totalBytes + piece.size());
    while (text.size() < totalBytes) {
        text += piece;
    }
    return text;
}

struct Document {
    const char* name;
    bool terminal;  // the terminal service's Test, else the test service
    std::size_t operation;
    std::string response;
};

TEST(ReaderMemory, MostExpensiveDocumentsStayWithinTheBound)
{
    if (HeapInUse() == 0) {
        GTEST_SKIP() << "the heap in use cannot be read here";
    }
    const std::size_t items = kTargetBytes / 4;
    const Document documents[] = {
        {"1 MB string", true, term::kTestOperationIndex,
         Envelope("<m:R><Result>" + Repeat("a terminal's long report line\n", kTargetBytes) + "</Result></m:R>")},
        {"1 MB attribute", true, term::kTestOperationIndex,
         Envelope("<m:R><Result a=\"" + std::string(kTargetBytes, 'v') + "\">x</Result></m:R>")},
        {"gathered markup", true, term::kTestOperationIndex,
         Envelope("<m:R><Result>" + Repeat("<b x=\"1\">c</b>", kTargetBytes) + "</Result></m:R>")},
        {"1 MB base64", false, ts::kCatalog,
         Envelope("<m:C><picture>" + Repeat("QUJD", kTargetBytes) + "</picture><Az>1</Az><BY>2</BY></m:C>")},
        {"empty strings", false, ts::kArrays,
         Envelope("<m:A><outNames soapenc:arrayType=\"xsd:string[" + std::to_string(items) + "]\">" +
                  Repeat("<s/>", kTargetBytes) + "</outNames></m:A>")},
        {"announced structures", false, ts::kArrays,
         Envelope("<m:A><outPoints soapenc:arrayType=\"m:Point[" + std::to_string(items) + "]\">" +
                  Repeat("<q><x>1</x><y>2</y></q>", kTargetBytes) + "</outPoints></m:A>")},
        {"growing empty structures", false, ts::kGrowList,
         Envelope("<m:G><groups>" + Repeat("<g/>", kTargetBytes) + "</groups></m:G>")},
        {"pending references", false, ts::kArrays, [&] {
             std::string refs;
             for (std::size_t i = 0; refs.size() < kTargetBytes; ++i) {
                 refs += "<q href=\"#" + std::to_string(i) + "\"/>";
             }
             return Envelope("<m:A><outPoints soapenc:arrayType=\"m:Point[" + std::to_string(items) + "]\">" + refs +
                             "</outPoints></m:A>");
         }()},
    };
    for (const Document& document : documents) {
        SCOPED_TRACE(document.name);
        alignas(std::max_align_t) unsigned char parameters[1024] = {};
        ts::TestHeaderRecord headers{};
        TableHandler handler(document.terminal ? term::OperationTable : ts::OperationTable,
                             document.terminal ? term::HeaderTable : ts::HeaderTable, &headers);
        Peak peak;
        SampledMemory memory(&peak);
        handler.memory = &memory;
        // The response in small pieces, with the heap sampled at every read.
        MemoryStream stream(document.response, 4096);
        stream.OnRead([&peak] { peak.Sample(); });
        handler.ResetParseState();
        handler.parameterRecord = parameters;
        ASSERT_EQ(handler.PushHeaderLevel(document.operation), S_OK);
        handler.ReleaseParameters();

        const std::size_t before = HeapInUse();
        peak.highest = before;
        HRESULT result = handler.ParseResponse(&stream);
        peak.Sample();
        // What stays for the caller: the values. The SAX reader's buffers,
        // kept for its next parse, go with the reader.
        handler.xmlReader->putContentHandler(nullptr);
        handler.xmlReader.reset();
        const std::size_t held = HeapInUse() - std::min(HeapInUse(), before);
        const std::size_t highest = peak.highest - before;
        handler.ReleaseParameters();

        const std::size_t size = document.response.size();
        EXPECT_TRUE(result == S_OK || result == E_OUTOFMEMORY || result == E_FAIL) << std::hex << result;
        EXPECT_LE(held, kHeldBytesPerResponseByte * size + kHeldBytesAllowance + kFixedBytes)
            << "held " << held << " for " << size << " bytes";
        EXPECT_LE(highest, kReaderBytesPerResponseByte * size + kFixedBytes)
            << "peak " << highest << " for " << size << " bytes";
    }
}

}  // namespace
}  // namespace corvel::soap
