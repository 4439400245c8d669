// The TCP connection under the HTTP client: overlapped, event-signalled socket
// operations turned into blocking calls that each wait at most timeoutMs, and
// the owner of a resolver result list. Every failure leaves a Winsock number
// (or resolver / system code) in LastError().
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/compat.h"
#include "platform/event_socket_io.h"
#include "platform/unique_handle.h"

namespace corvel::http {

using platform::SocketHandle;

// Owners of the platform's socket objects: each closes its object when it goes.
using SocketOwner = platform::UniqueResource<SocketHandle, &platform::CloseSocketHandle, platform::kInvalidSocket>;
using SocketEventOwner = platform::UniqueResource<platform::SocketEvent, &platform::CloseSocketEvent, nullptr>;
using SocketOperationOwner =
    platform::UniqueResource<platform::SocketOperation*, &platform::DestroySocketOperation, nullptr>;
using AddressListOwner = platform::UniqueResource<platform::AddressInfo*, &platform::FreeAddressList, nullptr>;
// A length/pointer pair with the layout of Winsock's own.
using WSABUF = platform::SocketBuffer;

// Raised for calls made in a state the caller must not create (a null URL
// text, a missing client) and for a socket that cannot be made.
struct TransportFailure {
    HRESULT code;
};

// Name resolution under a time limit. A numeric address is converted at once
// on the caller's thread. A host name goes to a resolver thread of its own,
// which the caller waits for at most its limit; past it the caller fails
// with WSAETIMEDOUT and abandons the thread, which ends when the name
// servers answer or the platform's resolver gives up (tens of seconds with
// default settings) and frees what they gave. So that a flood of names that
// never resolve cannot pile up threads, at most kMaxResolverThreads are
// alive in the process: beyond them a resolution fails at once with
// WSAENOBUFS, the server's own shortage, and one whose thread cannot be
// started fails with WSA_NOT_ENOUGH_MEMORY.
inline constexpr std::uint32_t kMaxResolverThreads = 32;
inline constexpr std::uint32_t kResolverStackReservation = 256u * 1024u;
// A limit that means none: the name is resolved on the caller's thread.
inline constexpr std::uint32_t kNoResolveLimit = 0xFFFFFFFFu;

// What resolves host names: getaddrinfo's arguments and result as
// platform::ResolveAddress has them.
using NameResolver = std::int32_t (*)(const char* hostName, const char* service, int flags, int family,
                                      int socketType, int protocol, platform::AddressInfo** list);
// Tests resolve names through one of their own (null restores the
// platform's). It must stay callable while resolver threads may run. Numeric
// addresses never reach it.
void SetNameResolver(NameResolver resolver);
// Resolver threads alive now, abandoned ones included.
std::uint32_t ResolverThreadsInFlight();

// Owner of one resolver result list.
class CSocketAddr {
public:
    CSocketAddr() = default;
    CSocketAddr(const CSocketAddr&) = delete;
    CSocketAddr& operator=(const CSocketAddr&) = delete;
    virtual ~CSocketAddr() = default;

    // getaddrinfo with zeroed hints holding the four numbers; returns its result.
    int Resolve(const char* hostName, const char* service, int flags, int family, int socketType, int protocol);
    int ResolvePort(const char* hostName, std::uint16_t port, int flags, int family, int socketType, int protocol);
    // ResolvePort within limitMs (kNoResolveLimit: without a limit).
    int ResolvePortWithin(const char* hostName, std::uint16_t port, int flags, int family, int socketType,
                          int protocol, std::uint32_t limitMs);

    const platform::AddressInfo* AddressList() const { return addressList.get(); }

private:
    AddressListOwner addressList;
};

class ZEvtSyncSocket {
public:
    static constexpr std::uint32_t kDefaultTimeoutMs = 10000;

    ZEvtSyncSocket();
    ZEvtSyncSocket(const ZEvtSyncSocket&) = delete;
    ZEvtSyncSocket& operator=(const ZEvtSyncSocket&) = delete;
    ~ZEvtSyncSocket();

    bool CreateSocket(int family, int socketType, int protocol, std::uint32_t extraFlags);
    bool AttachSocket(SocketHandle handle);
    bool ConnectAddress(const void* address, std::uint32_t addressLength);
    bool ConnectAddrInfo(const platform::AddressInfo* entry);
    bool ConnectHost(const char* hostName, std::uint16_t port);
    // The buffers go out as one gathered operation.
    bool Send(const WSABUF* buffers, std::uint32_t bufferCount, std::uint32_t* bytesSent);
    // size: the capacity on entry, the bytes received on return (0: the peer closed).
    bool Receive(void* buffer, std::uint32_t* size);
    // Closes abortively (a reset, not FIN): whoever closes has finished with
    // the connection, and an orderly close would leave it in TIME_WAIT here.
    void CloseSocket();
    void ReleaseEvents();

    void SetTimeout(std::uint32_t milliseconds) { timeoutMs = milliseconds; }
    std::uint32_t Timeout() const { return timeoutMs; }
    // The longest ConnectHost may take to resolve a host name; no limit at
    // first. The HTTP client sets what is left of its request's deadline.
    void SetResolveTimeout(std::uint32_t milliseconds) { resolveTimeoutMs = milliseconds; }
    std::uint32_t LastError() const { return lastError; }
    bool IsConnected() const { return connected; }
    bool HasSocket() const { return static_cast<bool>(socketHandle); }

    // Result of the process's last Winsock start; 10014 before any.
    static std::int32_t WinsockStartResult();

protected:
    std::uint32_t createFlags;
    SocketEventOwner readEvent;
    SocketEventOwner writeEvent;
    SocketEventOwner connectEvent;
    std::mutex readLock;
    std::mutex writeLock;
    SocketOwner socketHandle;
    bool connected;
    std::uint32_t lastError;
    std::uint32_t timeoutMs;

private:
    // A connect whose wait timed out is still under way in the platform, and
    // the socket refuses another (WSAEALREADY, EALREADY) or would join the old
    // attempt: the next connect starts over on a new socket of the same kind.
    bool RenewAfterTimedOutConnect();

    std::uint32_t resolveTimeoutMs = kNoResolveLimit;
    bool connectOutstanding = false;
    int createdFamily = 0;
    int createdType = 0;
    int createdProtocol = 0;
    std::uint32_t createdExtraFlags = 0;

    // The overlapped records of the two directions; they live as long as the
    // object so that a cancelled operation never points at freed memory.
    SocketOperationOwner readOperation;
    SocketOperationOwner writeOperation;
};

}  // namespace corvel::http
