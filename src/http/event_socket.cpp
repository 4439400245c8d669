// The event socket's operations: each one blocks at most timeoutMs and leaves
// the reason for a failure in lastError as Winsock numbers it.
#include "http/event_socket.h"

#include <cstdio>

namespace corvel::http {

namespace {

// The result of the process's last Winsock start; WSAEFAULT means none yet.
std::int32_t winsockStartResult = static_cast<std::int32_t>(platform::wsa::kFault);

// Stops Winsock once at process exit if a start succeeded.
struct WinsockStop {
    ~WinsockStop()
    {
        if (winsockStartResult == 0) {
            platform::StopSocketLibrary();
        }
    }
} winsockStop;

}  // namespace

CSocketAddr::~CSocketAddr()
{
    platform::FreeAddressList(addressList);
}

int CSocketAddr::Resolve(const char* hostName, const char* service, int flags, int family, int socketType,
                         int protocol)
{
    platform::FreeAddressList(addressList);
    addressList = nullptr;
    return platform::ResolveAddress(hostName, service, flags, family, socketType, protocol, &addressList);
}

int CSocketAddr::ResolvePort(const char* hostName, std::uint16_t port, int flags, int family, int socketType,
                             int protocol)
{
    char service[12];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    return Resolve(hostName, service, flags, family, socketType, protocol);
}

std::int32_t ZEvtSyncSocket::WinsockStartResult()
{
    return winsockStartResult;
}

ZEvtSyncSocket::ZEvtSyncSocket()
    : createFlags(platform::kOverlappedSocketFlag),
      readEvent(nullptr),
      writeEvent(nullptr),
      connectEvent(nullptr),
      socketHandle(platform::kInvalidSocket),
      connected(false),
      lastError(0),
      timeoutMs(kDefaultTimeoutMs)
{
    readOperation = platform::CreateSocketOperation();
    writeOperation = platform::CreateSocketOperation();
    if (readOperation == nullptr || writeOperation == nullptr) {
        platform::DestroySocketOperation(readOperation);
        platform::DestroySocketOperation(writeOperation);
        throw TransportFailure{E_OUTOFMEMORY};
    }
    if (winsockStartResult != 0) {
        winsockStartResult = platform::StartSocketLibrary();
    }
}

ZEvtSyncSocket::~ZEvtSyncSocket()
{
    CloseSocket();
    platform::DestroySocketOperation(readOperation);
    platform::DestroySocketOperation(writeOperation);
}

bool ZEvtSyncSocket::CreateSocket(int family, int socketType, int protocol, std::uint32_t extraFlags)
{
    if (socketHandle != platform::kInvalidSocket) {
        lastError = platform::wsa::kAlready;
        return false;
    }
    std::uint32_t error = 0;
    const SocketHandle handle = platform::OpenSocket(family, socketType, protocol, extraFlags | createFlags, &error);
    if (handle == platform::kInvalidSocket) {
        lastError = error;
        return false;
    }
    createdFamily = family;
    createdType = socketType;
    createdProtocol = protocol;
    createdExtraFlags = extraFlags;
    return AttachSocket(handle);
}

bool ZEvtSyncSocket::AttachSocket(SocketHandle handle)
{
    if (handle == platform::kInvalidSocket) {
        lastError = platform::wsa::kNotSocket;
        return false;
    }
    socketHandle = handle;
    std::uint32_t error = 0;
    readEvent = platform::CreateSocketEvent(&error);
    if (readEvent != nullptr) {
        writeEvent = platform::CreateSocketEvent(&error);
    }
    if (writeEvent != nullptr) {
        connectEvent = platform::CreateSocketEvent(&error);
    }
    if (connectEvent == nullptr) {
        lastError = error;
        return false;
    }
    // No operation is outstanding.
    platform::SetSocketEvent(writeEvent);
    platform::SetSocketEvent(readEvent);
    // Each selection replaces the one before: what stays in force is the
    // connect notice on connectEvent; the read and write events are driven by
    // the overlapped operations alone.
    for (auto [event, notices] : {std::pair{readEvent, platform::kReadNotice},
                                  std::pair{writeEvent, platform::kWriteNotice},
                                  std::pair{connectEvent, platform::kConnectNotice}}) {
        error = platform::SelectSocketEvent(socketHandle, event, notices);
        if (error != 0) {
            lastError = error;
            return false;
        }
    }
    return true;
}

bool ZEvtSyncSocket::ConnectAddress(const void* address, std::uint32_t addressLength)
{
    if (connected) {
        return true;
    }
    if (socketHandle == platform::kInvalidSocket) {
        return false;
    }
    if (connectOutstanding && !RenewAfterTimedOutConnect()) {
        return false;
    }
    const std::uint32_t error = platform::StartConnect(socketHandle, address, addressLength, connectEvent);
    if (error == 0) {
        connected = true;
        return true;
    }
    if (error != platform::wsa::kWouldBlock) {
        lastError = error;
    } else if (platform::WaitSocketEvent(connectEvent, timeoutMs)) {
        const std::uint32_t connectError = platform::ConnectNoticeError(socketHandle);
        if (connectError == 0) {
            connected = true;
            return true;
        }
        lastError = connectError;
    } else {
        connectOutstanding = true;  // no answer within the time-out
    }
    connected = false;
    return false;
}

bool ZEvtSyncSocket::RenewAfterTimedOutConnect()
{
    const int family = createdFamily;
    const int type = createdType;
    const int protocol = createdProtocol;
    const std::uint32_t extraFlags = createdExtraFlags;
    CloseSocket();
    if (family == 0) {
        return false;  // an attached socket of unknown kind: there is nothing to renew it as
    }
    return CreateSocket(family, type, protocol, extraFlags);
}

bool ZEvtSyncSocket::ConnectAddrInfo(const platform::AddressInfo* entry)
{
    const platform::AddressEntry address = platform::DescribeAddress(entry);
    if (socketHandle == platform::kInvalidSocket &&
        !CreateSocket(address.family, address.socketType, address.protocol, 0)) {
        return false;
    }
    return ConnectAddress(address.address, address.addressLength);
}

bool ZEvtSyncSocket::ConnectHost(const char* hostName, std::uint16_t port)
{
    if (connected) {
        return true;
    }
    CSocketAddr resolved;
    lastError = static_cast<std::uint32_t>(resolved.ResolvePort(hostName, port, 0, platform::kAddressFamilyUnspecified,
                                                                platform::kStreamSocket, 0));
    if (lastError != 0) {
        return false;
    }
    // Only the first address is tried, even when others follow.
    return ConnectAddrInfo(resolved.AddressList());
}

bool ZEvtSyncSocket::Send(const WSABUF* buffers, std::uint32_t bufferCount, std::uint32_t* bytesSent)
{
    if (!platform::WaitSocketEvent(connectEvent, timeoutMs)) {
        lastError = platform::wsa::kNotConnected;
        return false;
    }
    if (!platform::WaitSocketEvent(writeEvent, 0)) {
        lastError = platform::wsa::kInProgress;  // an earlier send is still outstanding
        return false;
    }
    *bytesSent = 0;
    std::lock_guard<std::mutex> hold(writeLock);
    platform::ResetSocketEvent(writeEvent);
    const std::uint32_t error = platform::StartSend(socketHandle, buffers, bufferCount, writeEvent, writeOperation);
    if (error != 0 && error != platform::wsa::kIoPending) {
        lastError = error;
        platform::SetSocketEvent(writeEvent);
        return false;
    }
    if (!platform::WaitSocketEvent(writeEvent, timeoutMs)) {
        // The buffers belong to the caller: nothing may touch them once we return.
        platform::CancelOperation(socketHandle, writeOperation);
        platform::SetSocketEvent(writeEvent);
        return false;
    }
    const std::uint32_t result = platform::OperationResult(socketHandle, writeOperation, bytesSent);
    if (result != 0) {
        lastError = result;
        return false;
    }
    return true;
}

bool ZEvtSyncSocket::Receive(void* buffer, std::uint32_t* size)
{
    if (!platform::WaitSocketEvent(connectEvent, timeoutMs)) {
        lastError = platform::wsa::kNotConnected;
        return false;
    }
    const std::uint32_t capacity = *size;
    *size = 0;
    std::lock_guard<std::mutex> hold(readLock);
    platform::ResetSocketEvent(readEvent);
    const std::uint32_t error =
        platform::StartReceive(socketHandle, static_cast<char*>(buffer), capacity, readEvent, readOperation);
    if (error != 0 && error != platform::wsa::kIoPending) {
        lastError = error;
        platform::SetSocketEvent(readEvent);
        return false;
    }
    if (!platform::WaitSocketEvent(readEvent, timeoutMs)) {
        platform::CancelOperation(socketHandle, readOperation);
        platform::SetSocketEvent(readEvent);
        return false;
    }
    const std::uint32_t result = platform::OperationResult(socketHandle, readOperation, size);
    if (result != 0) {
        lastError = result;
        return false;
    }
    return true;
}

void ZEvtSyncSocket::CloseSocket()
{
    if (socketHandle != platform::kInvalidSocket) {
        connected = false;
        connectOutstanding = false;
        createdFamily = 0;
        platform::CloseSocketHandle(socketHandle);
        socketHandle = platform::kInvalidSocket;
        ReleaseEvents();
    }
}

void ZEvtSyncSocket::ReleaseEvents()
{
    for (platform::SocketEvent* event : {&readEvent, &writeEvent, &connectEvent}) {
        if (*event != nullptr) {
            platform::CloseSocketEvent(*event);
            *event = nullptr;
        }
    }
    socketHandle = platform::kInvalidSocket;
}

}  // namespace corvel::http
