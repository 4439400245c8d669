// The COM-style vocabulary shared by the core on both platforms: HRESULT values,
// counted UTF-16 strings, GUIDs, the IUnknown base and the stream interfaces.
// On Windows these are the platform's own headers; on Linux this file defines
// the same names with the same layout, so the SOAP engine compiles unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

// An HRESULT from its 32-bit pattern, for failure codes written in hex.
#define MAKE_HRESULT_VALUE(value) static_cast<HRESULT>(static_cast<std::uint32_t>(value))

#if defined(_WIN32)

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <oleauto.h>

#else  // Linux

#include <cstring>

// Calling-convention and method macros collapse to nothing on Linux.
#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT method
#define STDMETHOD_(type, method) virtual type method
#define STDMETHODIMP HRESULT
#define STDMETHODIMP_(type) type
#define PURE = 0

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;

// UTF-16 code unit: wchar_t on Windows, char16_t here; OLESTR makes a literal of it.
using OLECHAR = char16_t;
using WCHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;
#define OLESTR(text) u##text

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MAKE_HRESULT_VALUE(0x80004001);
constexpr HRESULT E_NOINTERFACE = MAKE_HRESULT_VALUE(0x80004002);
constexpr HRESULT E_POINTER = MAKE_HRESULT_VALUE(0x80004003);
constexpr HRESULT E_ABORT = MAKE_HRESULT_VALUE(0x80004004);
constexpr HRESULT E_FAIL = MAKE_HRESULT_VALUE(0x80004005);
constexpr HRESULT E_UNEXPECTED = MAKE_HRESULT_VALUE(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = MAKE_HRESULT_VALUE(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = MAKE_HRESULT_VALUE(0x8007000E);
constexpr HRESULT E_INVALIDARG = MAKE_HRESULT_VALUE(0x80070057);
constexpr HRESULT STG_E_INVALIDFUNCTION = MAKE_HRESULT_VALUE(0x80030001);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MAKE_HRESULT_VALUE(0x80020004);

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }
inline bool IsEqualIID(const IID& a, const IID& b) { return a == b; }

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
union ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
};

struct STATSTG;

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

struct ISequentialStream : IUnknown {
    virtual HRESULT Read(void* destination, ULONG byteCount, ULONG* bytesRead) = 0;
    virtual HRESULT Write(const void* source, ULONG byteCount, ULONG* bytesWritten) = 0;

protected:
    ~ISequentialStream() = default;
};

struct IStream : ISequentialStream {
    virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) = 0;
    virtual HRESULT SetSize(ULARGE_INTEGER newSize) = 0;
    virtual HRESULT CopyTo(IStream* target, ULARGE_INTEGER byteCount, ULARGE_INTEGER* bytesRead,
                           ULARGE_INTEGER* bytesWritten) = 0;
    virtual HRESULT Commit(DWORD flags) = 0;
    virtual HRESULT Revert() = 0;
    virtual HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER byteCount, DWORD lockType) = 0;
    virtual HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER byteCount, DWORD lockType) = 0;
    virtual HRESULT Stat(STATSTG* statistics, DWORD flags) = 0;
    virtual HRESULT Clone(IStream** copy) = 0;

protected:
    ~IStream() = default;
};

// Interface identifiers, with the published values.
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IStream = {0x0000000C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_ISequentialStream = {0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};

// Counted UTF-16 strings with the platform layout: a 32-bit byte length stored
// just before the text, and a NUL after it. Defined in posix/bstr.cpp.
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
BSTR SysAllocStringByteLen(const char* bytes, UINT byteLength);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

#endif  // _WIN32

namespace corvel {

// Length of a NUL-terminated UTF-16 text.
inline std::size_t OleLength(const OLECHAR* text)
{
    std::size_t length = 0;
    if (text != nullptr) {
        while (text[length] != 0) {
            ++length;
        }
    }
    return length;
}

// Owner of a counted UTF-16 string, freed with the platform allocator.
class UniqueBstr {
public:
    UniqueBstr() = default;
    explicit UniqueBstr(BSTR text) : text_(text) {}
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    UniqueBstr(UniqueBstr&& other) noexcept : text_(other.release()) {}
    UniqueBstr& operator=(UniqueBstr&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~UniqueBstr() { reset(); }

    BSTR get() const { return text_; }
    BSTR* out()
    {
        reset();
        return &text_;
    }
    BSTR release()
    {
        BSTR text = text_;
        text_ = nullptr;
        return text;
    }
    void reset(BSTR text = nullptr)
    {
        if (text_ != nullptr) {
            SysFreeString(text_);
        }
        text_ = text;
    }
    std::size_t length() const { return text_ == nullptr ? 0 : SysStringLen(text_); }

private:
    BSTR text_ = nullptr;
};

}  // namespace corvel
