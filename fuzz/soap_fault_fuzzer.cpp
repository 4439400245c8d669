// The SOAP fault reader over hostile bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/com.h"
#include "platform/memory_stream.h"
#include "soap/soap_fault.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    corvel::platform::testing::MemoryStream stream(std::string(reinterpret_cast<const char*>(data), size));
    corvel::soap::SoapFault fault;
    fault.ParseFault(&stream, nullptr);
    return 0;
}
