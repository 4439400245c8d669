// The event socket's calls on Windows: Winsock 2 overlapped sockets whose
// operations signal event objects.
#include "platform/event_socket_io.h"

#include <new>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace corvel::platform {

static_assert(sizeof(SocketBuffer) == sizeof(WSABUF));
static_assert(offsetof(SocketBuffer, buf) == offsetof(WSABUF, buf));
static_assert(sizeof(SocketHandle) == sizeof(SOCKET));
static_assert(kNumericHostFlag == AI_NUMERICHOST);
static_assert(kAddressFamilyUnspecified == AF_UNSPEC && kStreamSocket == SOCK_STREAM);
static_assert(wsa::kNoBufferSpace == WSAENOBUFS && wsa::kTimedOut == WSAETIMEDOUT);

struct SocketOperation {
    WSAOVERLAPPED overlapped;
    DWORD receiveFlags;
    bool outstanding;
};

namespace {

HANDLE EventHandle(SocketEvent event)
{
    return reinterpret_cast<HANDLE>(event);
}

SOCKET Native(SocketHandle socket)
{
    return static_cast<SOCKET>(socket);
}

std::uint32_t Begin(SocketOperation* operation, SocketEvent completion, int result)
{
    if (result == 0) {
        operation->outstanding = false;
        return 0;
    }
    const auto error = static_cast<std::uint32_t>(WSAGetLastError());
    operation->outstanding = error == wsa::kIoPending;
    return error;
}

}  // namespace

std::int32_t StartSocketLibrary()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data);
}

std::int32_t ResolveAddress(const char* hostName, const char* service, int flags, int family, int socketType,
                            int protocol, AddressInfo** list)
{
    ADDRINFOA hints{};
    hints.ai_flags = flags;
    hints.ai_family = family;
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    ADDRINFOA* result = nullptr;
    const int status = getaddrinfo(hostName, service, &hints, &result);
    *list = reinterpret_cast<AddressInfo*>(result);
    return status;
}

void FreeAddressList(AddressInfo* list)
{
    if (list != nullptr) {
        freeaddrinfo(reinterpret_cast<ADDRINFOA*>(list));
    }
}

AddressEntry DescribeAddress(const AddressInfo* entry)
{
    const auto* info = reinterpret_cast<const ADDRINFOA*>(entry);
    return {info->ai_family, info->ai_socktype, info->ai_protocol, info->ai_addr,
            static_cast<std::uint32_t>(info->ai_addrlen)};
}

const AddressInfo* NextAddress(const AddressInfo* entry)
{
    return reinterpret_cast<const AddressInfo*>(reinterpret_cast<const ADDRINFOA*>(entry)->ai_next);
}

SocketHandle OpenSocket(int family, int socketType, int protocol, std::uint32_t flags, std::uint32_t* error)
{
    if (const std::uint32_t injected = InjectedOpenError(); injected != 0) {
        *error = injected;
        return kInvalidSocket;
    }
    const SOCKET socket = WSASocketA(family, socketType, protocol, nullptr, 0, flags);
    if (socket == INVALID_SOCKET) {
        *error = static_cast<std::uint32_t>(WSAGetLastError());
        return kInvalidSocket;
    }
    if (socketType == SOCK_STREAM) {
        // A request goes out as its header text and then its body pieces:
        // without this, Nagle's rule holds each body piece back until the
        // peer's delayed acknowledgement of the text.
        BOOL noDelay = TRUE;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    }
    return static_cast<SocketHandle>(socket);
}

void CloseSocketHandle(SocketHandle socket)
{
    // An abortive close (a reset instead of FIN): the exchange is over when
    // the transport closes, and an orderly close by this side would leave the
    // connection in TIME_WAIT here for 120 to 240 s, one per probe, holding
    // one of the 16,384 ephemeral ports each.
    LINGER resetOnClose{};
    resetOnClose.l_onoff = 1;
    resetOnClose.l_linger = 0;
    setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&resetOnClose),
               sizeof resetOnClose);
    closesocket(Native(socket));
}

SocketEvent CreateSocketEvent(std::uint32_t* error)
{
    const WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
        *error = GetLastError();
        return nullptr;
    }
    return reinterpret_cast<SocketEvent>(event);
}

void CloseSocketEvent(SocketEvent event)
{
    WSACloseEvent(EventHandle(event));
}

bool SetSocketEvent(SocketEvent event)
{
    return event != nullptr && WSASetEvent(EventHandle(event)) != FALSE;
}

bool ResetSocketEvent(SocketEvent event)
{
    return event != nullptr && WSAResetEvent(EventHandle(event)) != FALSE;
}

bool WaitSocketEvent(SocketEvent event, std::uint32_t timeoutMs)
{
    if (event == nullptr) {
        return false;
    }
    WSAEVENT handle = EventHandle(event);
    return WSAWaitForMultipleEvents(1, &handle, FALSE, timeoutMs, FALSE) == WSA_WAIT_EVENT_0;
}

std::uint32_t SelectSocketEvent(SocketHandle socket, SocketEvent event, std::uint32_t notices)
{
    if (WSAEventSelect(Native(socket), EventHandle(event), static_cast<long>(notices)) == SOCKET_ERROR) {
        return GetLastError();
    }
    return 0;
}

std::uint32_t StartConnect(SocketHandle socket, const void* address, std::uint32_t addressLength,
                           SocketEvent connectEvent)
{
    if (const std::uint32_t injected = InjectedConnectError(); injected != 0) {
        return injected;
    }
    // The connect notice selected on the socket signals connectEvent by itself.
    if (WSAConnect(Native(socket), static_cast<const sockaddr*>(address), static_cast<int>(addressLength), nullptr,
                   nullptr, nullptr, nullptr) == 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(WSAGetLastError());
}

std::uint32_t ConnectNoticeError(SocketHandle socket)
{
    WSANETWORKEVENTS notices{};
    if (WSAEnumNetworkEvents(Native(socket), nullptr, &notices) == SOCKET_ERROR) {
        return static_cast<std::uint32_t>(WSAGetLastError());
    }
    return static_cast<std::uint32_t>(notices.iErrorCode[FD_CONNECT_BIT]);
}

SocketOperation* CreateSocketOperation()
{
    auto* operation = new (std::nothrow) SocketOperation;
    if (operation != nullptr) {
        *operation = SocketOperation{};
    }
    return operation;
}

void DestroySocketOperation(SocketOperation* operation)
{
    delete operation;
}

std::uint32_t StartSend(SocketHandle socket, const SocketBuffer* buffers, std::uint32_t bufferCount,
                        SocketEvent completion, SocketOperation* operation)
{
    operation->overlapped = WSAOVERLAPPED{};
    operation->overlapped.hEvent = EventHandle(completion);
    DWORD sent = 0;
    const int result = WSASend(Native(socket), reinterpret_cast<WSABUF*>(const_cast<SocketBuffer*>(buffers)),
                               bufferCount, &sent, 0, &operation->overlapped, nullptr);
    return Begin(operation, completion, result);
}

std::uint32_t StartReceive(SocketHandle socket, char* buffer, std::uint32_t capacity, SocketEvent completion,
                           SocketOperation* operation)
{
    operation->overlapped = WSAOVERLAPPED{};
    operation->overlapped.hEvent = EventHandle(completion);
    operation->receiveFlags = 0;
    WSABUF one{capacity, buffer};
    DWORD received = 0;
    const int result =
        WSARecv(Native(socket), &one, 1, &received, &operation->receiveFlags, &operation->overlapped, nullptr);
    return Begin(operation, completion, result);
}

std::uint32_t OperationResult(SocketHandle socket, SocketOperation* operation, std::uint32_t* bytes)
{
    DWORD transferred = 0;
    DWORD flags = 0;
    if (!WSAGetOverlappedResult(Native(socket), &operation->overlapped, &transferred, FALSE, &flags)) {
        return GetLastError();
    }
    operation->outstanding = false;
    *bytes = transferred;
    return 0;
}

void CancelOperation(SocketHandle socket, SocketOperation* operation)
{
    if (!operation->outstanding) {
        return;
    }
    // Cancel, then wait for the operation's end so that the caller's buffer
    // and this record are no longer in use when the call returns.
    CancelIoEx(reinterpret_cast<HANDLE>(Native(socket)), &operation->overlapped);
    DWORD transferred = 0;
    DWORD flags = 0;
    WSAGetOverlappedResult(Native(socket), &operation->overlapped, &transferred, TRUE, &flags);
    operation->outstanding = false;
}

}  // namespace corvel::platform
