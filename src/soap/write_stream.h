// The append-only text stream into which the request writer puts a request
// envelope. CWriteStreamOnCString appends to one narrow string: the proxy's
// request text.
#pragma once

#include <string>

#include "platform/compat.h"

namespace corvel::soap {

class IWriteStream {
public:
    // Appends length bytes (a negative length: data is NUL-terminated).
    // written, when not null, receives the byte count.
    virtual HRESULT Write(const char* data, int length, int* written) = 0;
    virtual HRESULT Flush() = 0;

protected:
    ~IWriteStream() = default;
};

class CWriteStreamOnCString : public IWriteStream {
public:
    CWriteStreamOnCString() = default;
    virtual ~CWriteStreamOnCString() = default;

    // E_FAIL for null data, E_OUTOFMEMORY when the string cannot grow.
    HRESULT Write(const char* data, int length, int* written) override;
    HRESULT Flush() override;

    const std::string& Text() const { return text_; }
    std::string& Text() { return text_; }
    void Clear() { text_.clear(); }

private:
    std::string text_;
};

}  // namespace corvel::soap
