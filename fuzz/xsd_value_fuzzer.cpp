// ReadXsdValue over every type code: the first input byte picks the code, the
// rest is the UTF-16 text (two bytes a unit, little-endian). A value that reads
// is written back and, for numbers and booleans, must read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "soap/memory_manager.h"
#include "soap/soap_tables.h"
#include "soap/write_stream.h"
#include "soap/xsd_value.h"

using namespace corvel::soap;

namespace {

std::int32_t PickTypeCode(std::uint8_t selector)
{
    switch (selector % 48) {
    case 44:
        return UserType;
    case 45:
        return XsdUnknownType;
    case 46:
        return XsdErrorType;
    case 47:
        return 44;
    default:
        return selector % 48;
    }
}

bool RoundTrips(std::int32_t typeCode)
{
    return IsIntegerTypeCode(typeCode) || typeCode == XsdBoolean || typeCode == XsdDouble ||
           typeCode == XsdDecimal || typeCode == XsdFloat;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    std::int32_t typeCode = PickTypeCode(data[0]);
    std::vector<OLECHAR> text((size - 1) / 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<OLECHAR>(data[1 + 2 * i] | (data[2 + 2 * i] << 8));
    }
    IMemoryManager* memory = DefaultMemoryManager();

    alignas(16) unsigned char value[16] = {};
    HRESULT hr = ReadXsdValue(text.data(), static_cast<int>(text.size()), value, typeCode, memory);
    bool flag = false;
    ReadXsdBoolean(text.data(), static_cast<int>(text.size()), &flag);
    if (FAILED(hr)) {
        ReleaseSimpleValue(value, typeCode, memory);
        return 0;
    }

    CWriteStreamOnCString stream;
    HRESULT written = WriteXsdValue(value, &stream, typeCode, memory);
    if (FAILED(written)) {
        std::abort();  // a value that was read can always be written
    }
    if (RoundTrips(typeCode)) {
        const std::string& back = stream.Text();
        std::vector<OLECHAR> wide(back.begin(), back.end());
        alignas(16) unsigned char again[16] = {};
        if (FAILED(ReadXsdValue(wide.data(), static_cast<int>(wide.size()), again, typeCode, memory))) {
            std::abort();
        }
        std::size_t width = XsdElementSize(typeCode);
        bool nan = false;
        if (typeCode == XsdFloat) {
            float f;
            std::memcpy(&f, value, sizeof(f));
            nan = f != f;
        } else if (typeCode == XsdDouble || typeCode == XsdDecimal) {
            double d;
            std::memcpy(&d, value, sizeof(d));
            nan = d != d;
        }
        if (!nan && std::memcmp(value, again, width) != 0) {
            std::abort();
        }
    }
    ReleaseSimpleValue(value, typeCode, memory);
    return 0;
}
