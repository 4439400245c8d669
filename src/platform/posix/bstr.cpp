// Counted UTF-16 strings on Linux, laid out as on Windows: a 32-bit byte count,
// the text, and a terminating NUL code unit. The pointer handed out points at the text.
#include "platform/compat.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr std::size_t kPrefixBytes = sizeof(std::uint32_t);

BSTR AllocateBytes(const void* source, UINT byteLength)
{
    // Room for the prefix, the text and two NUL bytes (a whole NUL code unit
    // even when the byte length is odd).
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefixBytes + std::size_t{byteLength} + 2));
    if (block == nullptr) {
        return nullptr;
    }
    std::uint32_t length = byteLength;
    std::memcpy(block, &length, kPrefixBytes);
    unsigned char* text = block + kPrefixBytes;
    if (source != nullptr) {
        std::memcpy(text, source, byteLength);
    } else {
        std::memset(text, 0, byteLength);
    }
    text[byteLength] = 0;
    text[byteLength + 1] = 0;
    return reinterpret_cast<BSTR>(text);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text)
{
    if (text == nullptr) {
        return nullptr;
    }
    return SysAllocStringLen(text, static_cast<UINT>(corvel::OleLength(text)));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length)
{
    if (length > (0xFFFFFFFFu - 16) / sizeof(OLECHAR)) {
        return nullptr;
    }
    return AllocateBytes(text, static_cast<UINT>(length * sizeof(OLECHAR)));
}

BSTR SysAllocStringByteLen(const char* bytes, UINT byteLength)
{
    if (byteLength > 0xFFFFFFFFu - 16) {
        return nullptr;
    }
    return AllocateBytes(bytes, byteLength);
}

void SysFreeString(BSTR text)
{
    if (text != nullptr) {
        std::free(reinterpret_cast<unsigned char*>(text) - kPrefixBytes);
    }
}

UINT SysStringByteLen(BSTR text)
{
    if (text == nullptr) {
        return 0;
    }
    std::uint32_t length = 0;
    std::memcpy(&length, reinterpret_cast<unsigned char*>(text) - kPrefixBytes, kPrefixBytes);
    return length;
}

UINT SysStringLen(BSTR text)
{
    return SysStringByteLen(text) / sizeof(OLECHAR);
}
