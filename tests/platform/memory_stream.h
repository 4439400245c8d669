// An IStream over bytes held in memory, for feeding the SAX reader in tests,
// fuzz targets and benchmarks. Reads hand out at most chunkBytes at a time so
// that a document can arrive in pieces, as it does from the network.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "platform/compat.h"

namespace corvel::platform::testing {

class MemoryStream final : public IStream {
public:
    explicit MemoryStream(std::string bytes, ULONG chunkBytes = 0xFFFFFFFFu)
        : bytes_(std::move(bytes)), chunkBytes_(chunkBytes)
    {
    }

    // Starts the next read over from the first byte.
    void Rewind() { position_ = 0; }
    // Called before every read (a test samples something there).
    void OnRead(std::function<void()> observer) { observer_ = std::move(observer); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IStream) || IsEqualIID(iid, IID_ISequentialStream)) {
            *object = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the test's stack: counts nothing.
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE Read(void* destination, ULONG byteCount, ULONG* bytesRead) override
    {
        if (observer_) {
            observer_();
        }
        std::size_t count = std::min<std::size_t>({byteCount, chunkBytes_, bytes_.size() - position_});
        if (count > 0) {
            std::memcpy(destination, bytes_.data() + position_, count);
        }
        position_ += count;
        if (bytesRead != nullptr) {
            *bytesRead = static_cast<ULONG>(count);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return STG_E_INVALIDFUNCTION; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override
    {
        if (origin == 0 && move.QuadPart >= 0 && static_cast<std::size_t>(move.QuadPart) <= bytes_.size()) {
            position_ = static_cast<std::size_t>(move.QuadPart);
        } else if (!(origin == 1 && move.QuadPart == 0)) {
            return STG_E_INVALIDFUNCTION;
        }
        if (newPosition != nullptr) {
            newPosition->QuadPart = position_;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_INVALIDFUNCTION; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override
    {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return STG_E_INVALIDFUNCTION; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return STG_E_INVALIDFUNCTION; }

private:
    std::string bytes_;
    std::size_t position_ = 0;
    std::size_t chunkBytes_;
    std::function<void()> observer_;
};

}  // namespace corvel::platform::testing
