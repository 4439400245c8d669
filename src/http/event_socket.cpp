// The event socket's operations: each one blocks at most timeoutMs and leaves
// the reason for a failure in lastError as Winsock numbers it.
#include "http/event_socket.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform/threads.h"

namespace corvel::http {

namespace {

// The result of the process's last Winsock start; WSAEFAULT means none yet.
// Sockets of many probes are made at once: the value is read and written
// atomically, and concurrent first starts each call the platform, which
// counts them.
//
// Winsock is never stopped. Probe threads are not joined and may still use
// their sockets while the process ends; a WSACleanup at static destruction
// would fail them (and their verdicts) under way. The process's end releases
// Winsock with everything else.
std::atomic<std::int32_t> winsockStartResult{static_cast<std::int32_t>(platform::wsa::kFault)};

std::atomic<NameResolver> nameResolver{nullptr};
std::atomic<std::uint32_t> resolverThreadsInFlight{0};

NameResolver CurrentNameResolver()
{
    const NameResolver resolver = nameResolver.load();
    return resolver != nullptr ? resolver : &platform::ResolveAddress;
}

// One name handed to a resolver thread, shared by the thread and the caller
// waiting for it: whichever lets go last frees it. A caller that stops
// waiting marks it abandoned, and the thread then frees the list itself.
struct ResolveJob {
    std::mutex lock;
    std::condition_variable finishedSignal;
    bool finished = false;
    bool abandoned = false;
    std::int32_t result = 0;
    platform::AddressInfo* list = nullptr;

    NameResolver resolver = nullptr;
    std::string hostName;
    std::string service;
    int flags = 0;
    int family = 0;
    int socketType = 0;
    int protocol = 0;
};

std::uint32_t ResolverThread(void* argument)
{
    std::unique_ptr<std::shared_ptr<ResolveJob>> share(static_cast<std::shared_ptr<ResolveJob>*>(argument));
    ResolveJob& job = **share;
    platform::AddressInfo* list = nullptr;
    const std::int32_t result = job.resolver(job.hostName.c_str(), job.service.c_str(), job.flags, job.family,
                                             job.socketType, job.protocol, &list);
    {
        std::lock_guard<std::mutex> hold(job.lock);
        if (job.abandoned) {
            platform::FreeAddressList(list);
        } else {
            job.result = result;
            job.list = list;
        }
        job.finished = true;
    }
    job.finishedSignal.notify_all();
    share.reset();
    resolverThreadsInFlight.fetch_sub(1);
    return 0;
}

// Resolves the name on a resolver thread and waits for it at most limitMs.
std::int32_t ResolveOnThread(const char* hostName, const char* service, int flags, int family, int socketType,
                             int protocol, std::uint32_t limitMs, platform::AddressInfo** list)
{
    if (limitMs == 0) {
        return static_cast<std::int32_t>(platform::wsa::kTimedOut);
    }
    if (resolverThreadsInFlight.fetch_add(1) >= kMaxResolverThreads) {
        resolverThreadsInFlight.fetch_sub(1);
        return static_cast<std::int32_t>(platform::wsa::kNoBufferSpace);
    }
    std::shared_ptr<ResolveJob> job;
    std::unique_ptr<std::shared_ptr<ResolveJob>> threadShare;
    try {
        job = std::make_shared<ResolveJob>();
        job->resolver = CurrentNameResolver();
        job->hostName = hostName;
        job->service = service;
        threadShare = std::make_unique<std::shared_ptr<ResolveJob>>(job);
    } catch (const std::bad_alloc&) {
        resolverThreadsInFlight.fetch_sub(1);
        return static_cast<std::int32_t>(platform::wsa::kNotEnoughMemory);
    }
    job->flags = flags;
    job->family = family;
    job->socketType = socketType;
    job->protocol = protocol;
    const platform::ThreadHandle thread =
        platform::StartThread(&ResolverThread, threadShare.get(), kResolverStackReservation);
    if (thread == nullptr) {
        resolverThreadsInFlight.fetch_sub(1);
        return static_cast<std::int32_t>(platform::wsa::kNotEnoughMemory);
    }
    static_cast<void>(threadShare.release());  // the thread's, dropped by ResolverThread
    platform::CloseThreadHandle(thread);

    // Measured on the clock the HTTP client's deadline is kept on, so that a
    // wait that ends at the limit finds that deadline passed.
    const std::uint64_t end = platform::MonotonicMs() + limitMs;
    std::unique_lock<std::mutex> hold(job->lock);
    while (!job->finished) {
        const std::uint64_t now = platform::MonotonicMs();
        if (now >= end) {
            job->abandoned = true;
            return static_cast<std::int32_t>(platform::wsa::kTimedOut);
        }
        job->finishedSignal.wait_for(hold, std::chrono::milliseconds(end - now));
    }
    *list = std::exchange(job->list, nullptr);
    return job->result;
}

}  // namespace

void SetNameResolver(NameResolver resolver)
{
    nameResolver.store(resolver);
}

std::uint32_t ResolverThreadsInFlight()
{
    return resolverThreadsInFlight.load();
}

int CSocketAddr::Resolve(const char* hostName, const char* service, int flags, int family, int socketType,
                         int protocol)
{
    return CurrentNameResolver()(hostName, service, flags, family, socketType, protocol, addressList.out());
}

int CSocketAddr::ResolvePort(const char* hostName, std::uint16_t port, int flags, int family, int socketType,
                             int protocol)
{
    return ResolvePortWithin(hostName, port, flags, family, socketType, protocol, kNoResolveLimit);
}

int CSocketAddr::ResolvePortWithin(const char* hostName, std::uint16_t port, int flags, int family, int socketType,
                                   int protocol, std::uint32_t limitMs)
{
    char service[12];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    if (limitMs == kNoResolveLimit) {
        return Resolve(hostName, service, flags, family, socketType, protocol);
    }
    // A numeric address asks no name server.
    const std::int32_t numeric = platform::ResolveAddress(hostName, service, flags | platform::kNumericHostFlag,
                                                          family, socketType, protocol, addressList.out());
    if (numeric != static_cast<std::int32_t>(platform::wsa::kHostNotFound)) {
        return numeric;
    }
    return ResolveOnThread(hostName, service, flags, family, socketType, protocol, limitMs, addressList.out());
}

std::int32_t ZEvtSyncSocket::WinsockStartResult()
{
    return winsockStartResult.load();
}

ZEvtSyncSocket::ZEvtSyncSocket()
    : createFlags(platform::kOverlappedSocketFlag),
      connected(false),
      lastError(0),
      timeoutMs(kDefaultTimeoutMs)
{
    readOperation.reset(platform::CreateSocketOperation());
    writeOperation.reset(platform::CreateSocketOperation());
    if (!readOperation || !writeOperation) {
        throw TransportFailure{E_OUTOFMEMORY};
    }
    if (winsockStartResult.load() != 0) {
        winsockStartResult.store(platform::StartSocketLibrary());
    }
}

ZEvtSyncSocket::~ZEvtSyncSocket()
{
    CloseSocket();
}

bool ZEvtSyncSocket::CreateSocket(int family, int socketType, int protocol, std::uint32_t extraFlags)
{
    if (socketHandle) {
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
    if (handle != socketHandle.get()) {
        socketHandle.reset(handle);  // a socket held before is closed
    }
    std::uint32_t error = 0;
    readEvent.reset(platform::CreateSocketEvent(&error));
    if (readEvent) {
        writeEvent.reset(platform::CreateSocketEvent(&error));
    }
    if (writeEvent) {
        connectEvent.reset(platform::CreateSocketEvent(&error));
    }
    if (!connectEvent) {
        lastError = error;
        return false;
    }
    // No operation is outstanding.
    platform::SetSocketEvent(writeEvent.get());
    platform::SetSocketEvent(readEvent.get());
    // Each selection replaces the one before: what stays in force is the
    // connect notice on connectEvent; the read and write events are driven by
    // the overlapped operations alone.
    for (auto [event, notices] : {std::pair{readEvent.get(), platform::kReadNotice},
                                  std::pair{writeEvent.get(), platform::kWriteNotice},
                                  std::pair{connectEvent.get(), platform::kConnectNotice}}) {
        error = platform::SelectSocketEvent(socketHandle.get(), event, notices);
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
    if (!socketHandle) {
        return false;
    }
    if (connectOutstanding && !RenewAfterTimedOutConnect()) {
        return false;
    }
    const std::uint32_t error = platform::StartConnect(socketHandle.get(), address, addressLength, connectEvent.get());
    if (error == 0) {
        connected = true;
        return true;
    }
    if (error != platform::wsa::kWouldBlock) {
        lastError = error;
    } else if (platform::WaitSocketEvent(connectEvent.get(), timeoutMs)) {
        const std::uint32_t connectError = platform::ConnectNoticeError(socketHandle.get());
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
    if (!socketHandle &&
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
    lastError = static_cast<std::uint32_t>(resolved.ResolvePortWithin(
        hostName, port, 0, platform::kAddressFamilyUnspecified, platform::kStreamSocket, 0, resolveTimeoutMs));
    if (lastError != 0) {
        return false;
    }
    // Only the first address is tried, even when others follow.
    return ConnectAddrInfo(resolved.AddressList());
}

bool ZEvtSyncSocket::Send(const WSABUF* buffers, std::uint32_t bufferCount, std::uint32_t* bytesSent)
{
    if (!platform::WaitSocketEvent(connectEvent.get(), timeoutMs)) {
        lastError = platform::wsa::kNotConnected;
        return false;
    }
    if (!platform::WaitSocketEvent(writeEvent.get(), 0)) {
        lastError = platform::wsa::kInProgress;  // an earlier send is still outstanding
        return false;
    }
    *bytesSent = 0;
    std::lock_guard<std::mutex> hold(writeLock);
    platform::ResetSocketEvent(writeEvent.get());
    const std::uint32_t error =
        platform::StartSend(socketHandle.get(), buffers, bufferCount, writeEvent.get(), writeOperation.get());
    if (error != 0 && error != platform::wsa::kIoPending) {
        lastError = error;
        platform::SetSocketEvent(writeEvent.get());
        return false;
    }
    if (!platform::WaitSocketEvent(writeEvent.get(), timeoutMs)) {
        // The buffers belong to the caller: nothing may touch them once we return.
        platform::CancelOperation(socketHandle.get(), writeOperation.get());
        platform::SetSocketEvent(writeEvent.get());
        return false;
    }
    const std::uint32_t result = platform::OperationResult(socketHandle.get(), writeOperation.get(), bytesSent);
    if (result != 0) {
        lastError = result;
        return false;
    }
    return true;
}

bool ZEvtSyncSocket::Receive(void* buffer, std::uint32_t* size)
{
    if (!platform::WaitSocketEvent(connectEvent.get(), timeoutMs)) {
        lastError = platform::wsa::kNotConnected;
        return false;
    }
    const std::uint32_t capacity = *size;
    *size = 0;
    std::lock_guard<std::mutex> hold(readLock);
    platform::ResetSocketEvent(readEvent.get());
    const std::uint32_t error =
        platform::StartReceive(socketHandle.get(), static_cast<char*>(buffer), capacity, readEvent.get(),
                               readOperation.get());
    if (error != 0 && error != platform::wsa::kIoPending) {
        lastError = error;
        platform::SetSocketEvent(readEvent.get());
        return false;
    }
    if (!platform::WaitSocketEvent(readEvent.get(), timeoutMs)) {
        platform::CancelOperation(socketHandle.get(), readOperation.get());
        platform::SetSocketEvent(readEvent.get());
        return false;
    }
    const std::uint32_t result = platform::OperationResult(socketHandle.get(), readOperation.get(), size);
    if (result != 0) {
        lastError = result;
        return false;
    }
    return true;
}

void ZEvtSyncSocket::CloseSocket()
{
    if (socketHandle) {
        connected = false;
        connectOutstanding = false;
        createdFamily = 0;
        socketHandle.reset();
        ReleaseEvents();
    }
}

void ZEvtSyncSocket::ReleaseEvents()
{
    for (SocketEventOwner* event : {&readEvent, &writeEvent, &connectEvent}) {
        event->reset();
    }
    // The socket is let go without closing it (CloseSocket closes it first).
    static_cast<void>(socketHandle.release());
}

}  // namespace corvel::http
