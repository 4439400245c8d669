// CWriteStreamOnCString: appends to its string.
#include "soap/write_stream.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace corvel::soap {

HRESULT CWriteStreamOnCString::Write(const char* data, int length, int* written)
{
    if (data == nullptr) {
        return E_FAIL;
    }
    std::size_t count = length < 0 ? std::strlen(data) : static_cast<std::size_t>(length);
    try {
        text_.append(data, count);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        return E_OUTOFMEMORY;
    }
    if (written != nullptr) {
        *written = static_cast<int>(count);
    }
    return S_OK;
}

HRESULT CWriteStreamOnCString::Flush()
{
    return S_OK;
}

}  // namespace corvel::soap
