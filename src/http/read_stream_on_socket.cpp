// The read-only stream over a received response body.
#include "http/read_stream_on_socket.h"

#include <algorithm>
#include <cstring>

namespace corvel::http {

STDMETHODIMP IStreamImpl::Write(const void* source, ULONG byteCount, ULONG* bytesWritten)
{
    return E_NOTIMPL;
}

STDMETHODIMP IStreamImpl::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition)
{
    return E_NOTIMPL;
}

STDMETHODIMP IStreamImpl::SetSize(ULARGE_INTEGER newSize)
{
    return E_NOTIMPL;
}

STDMETHODIMP IStreamImpl::CopyTo(IStream* target, ULARGE_INTEGER byteCount, ULARGE_INTEGER* bytesRead,
                                 ULARGE_INTEGER* bytesWritten)
{
    return E_NOTIMPL;
}

STDMETHODIMP IStreamImpl::Commit(DWORD flags)
{
    return E_NOTIMPL;
}

STDMETHODIMP IStreamImpl::Revert()
{
    return E_NOTIMPL;
}

STDMETHODIMP IStreamImpl::LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER byteCount, DWORD lockType)
{
    return E_NOTIMPL;
}

STDMETHODIMP IStreamImpl::UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER byteCount, DWORD lockType)
{
    return E_NOTIMPL;
}

STDMETHODIMP IStreamImpl::Stat(STATSTG* statistics, DWORD flags)
{
    return E_NOTIMPL;
}

STDMETHODIMP IStreamImpl::Clone(IStream** copy)
{
    return E_NOTIMPL;
}

bool CReadStreamOnSocket::Attach(const Client* httpClient)
{
    if (httpClient == nullptr) {
        throw TransportFailure{E_FAIL};
    }
    client = httpClient;
    return AttachBody(httpClient->ResponseData() + httpClient->HeaderOffset() + httpClient->HeaderLength(),
                      static_cast<std::int32_t>(httpClient->ResponseBodyLength()));
}

bool CReadStreamOnSocket::AttachBody(const char* start, std::int32_t length)
{
    bodyStart = start;
    readPosition = start;
    bodyLength = length;
    return bodyStart != nullptr && bodyLength != 0;
}

STDMETHODIMP CReadStreamOnSocket::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IStream) || IsEqualGUID(iid, IID_ISequentialStream)) {
        *object = static_cast<IStream*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CReadStreamOnSocket::AddRef()
{
    return 1;
}

STDMETHODIMP_(ULONG) CReadStreamOnSocket::Release()
{
    return 1;
}

STDMETHODIMP CReadStreamOnSocket::Read(void* destination, ULONG byteCount, ULONG* bytesRead)
{
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (bodyStart == nullptr || bodyLength <= 0) {
        return S_OK;
    }
    const std::int64_t remaining = std::int64_t{bodyLength} - (readPosition - bodyStart);
    if (remaining <= 0) {
        return S_OK;
    }
    const auto count = static_cast<ULONG>(std::min<std::int64_t>(remaining, byteCount));
    std::memcpy(destination, readPosition, count);
    readPosition += count;
    if (bytesRead != nullptr) {
        *bytesRead = count;
    }
    return S_OK;
}

}  // namespace corvel::http
