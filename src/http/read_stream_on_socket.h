// The body of the response that the HTTP client has received, presented as a
// read-only COM stream so that the SAX reader can parse it. It never touches
// the socket: it copies out of the client's response buffer, and is pointed
// at the client again after every request.
#pragma once

#include <cstdint>

#include "http/event_socket.h"
#include "http/http_client.h"
#include "platform/compat.h"

namespace corvel::http {

// IStream with every operation but the reading ones answering E_NOTIMPL.
class IStreamImpl : public IStream {
public:
    STDMETHOD(Write)(const void* source, ULONG byteCount, ULONG* bytesWritten) override;
    STDMETHOD(Seek)(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
    STDMETHOD(SetSize)(ULARGE_INTEGER newSize) override;
    STDMETHOD(CopyTo)(IStream* target, ULARGE_INTEGER byteCount, ULARGE_INTEGER* bytesRead,
                      ULARGE_INTEGER* bytesWritten) override;
    STDMETHOD(Commit)(DWORD flags) override;
    STDMETHOD(Revert)() override;
    STDMETHOD(LockRegion)(ULARGE_INTEGER offset, ULARGE_INTEGER byteCount, DWORD lockType) override;
    STDMETHOD(UnlockRegion)(ULARGE_INTEGER offset, ULARGE_INTEGER byteCount, DWORD lockType) override;
    STDMETHOD(Stat)(STATSTG* statistics, DWORD flags) override;
    STDMETHOD(Clone)(IStream** copy) override;

protected:
    ~IStreamImpl() = default;
};

// Not reference-counted: AddRef and Release answer 1 and its owner ends its life.
class CReadStreamOnSocket final : public IStreamImpl {
public:
    using Client = CHttpClientT<ZEvtSyncSocket>;

    CReadStreamOnSocket() = default;
    CReadStreamOnSocket(const CReadStreamOnSocket&) = delete;
    CReadStreamOnSocket& operator=(const CReadStreamOnSocket&) = delete;
    ~CReadStreamOnSocket() = default;

    // Points the stream at the client's current body. A null client raises
    // TransportFailure{E_FAIL}. False when there is no body (0 bytes).
    bool Attach(const Client* httpClient);
    // The same for any body already in memory (the client of another socket type).
    bool AttachBody(const char* bodyStart, std::int32_t bodyLength);

    STDMETHOD(QueryInterface)(REFIID iid, void** object) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    STDMETHOD(Read)(void* destination, ULONG byteCount, ULONG* bytesRead) override;

private:
    const Client* client = nullptr;
    const char* bodyStart = nullptr;
    const char* readPosition = nullptr;
    std::int32_t bodyLength = 0;
};

}  // namespace corvel::http
