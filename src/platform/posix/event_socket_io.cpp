// The event socket's calls on Linux: non-blocking sockets whose "overlapped"
// operations are carried out by whoever waits on their completion event, with
// poll(2) bounding every wait. Errors are translated to their Winsock numbers.
#include "platform/event_socket_io.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace corvel::platform {

static_assert(kNumericHostFlag == AI_NUMERICHOST);
static_assert(kAddressFamilyUnspecified == AF_UNSPEC && kStreamSocket == SOCK_STREAM);

namespace {

std::uint32_t WinsockErrorFromErrno(int error)
{
    switch (error) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EWOULDBLOCK: return wsa::kWouldBlock;
    case EINPROGRESS: return wsa::kInProgress;
    case EALREADY: return wsa::kAlready;
    case ENOTSOCK: return wsa::kNotSocket;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return wsa::kConnectionAborted;
    case EPIPE: return wsa::kConnectionAborted;
    case ECONNRESET: return wsa::kConnectionReset;
    case ENOBUFS: return wsa::kNoBufferSpace;
    case EISCONN: return 10056;
    case ENOTCONN: return wsa::kNotConnected;
    case ESHUTDOWN: return 10058;
    case ETIMEDOUT: return wsa::kTimedOut;
    case ECONNREFUSED: return wsa::kConnectionRefused;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOMEM: return wsa::kNotEnoughMemory;
    default: return static_cast<std::uint32_t>(error);
    }
}

std::int32_t WinsockResolverError(int result)
{
    switch (result) {
    case 0: return 0;
    case EAI_NONAME: return static_cast<std::int32_t>(wsa::kHostNotFound);
#ifdef EAI_NODATA
    case EAI_NODATA: return 11004;  // WSANO_DATA
#endif
    case EAI_AGAIN: return 11002;   // WSATRY_AGAIN
    case EAI_FAIL: return 11003;    // WSANO_RECOVERY
    case EAI_FAMILY: return 10047;  // WSAEAFNOSUPPORT
    case EAI_SOCKTYPE: return 10044;
    case EAI_SERVICE: return 10109;  // WSATYPE_NOT_FOUND
    case EAI_MEMORY: return static_cast<std::int32_t>(wsa::kNotEnoughMemory);
    case EAI_BADFLAGS: return static_cast<std::int32_t>(wsa::kInvalidArgument);
    case EAI_SYSTEM: return static_cast<std::int32_t>(WinsockErrorFromErrno(errno));
    default: return static_cast<std::int32_t>(wsa::kHostNotFound);
    }
}

// The connect notices recorded per socket, read by ConnectNoticeError. Probe
// threads are never joined and may still connect while the process ends, so
// the table is made once and never destroyed: static destruction cannot pull
// it from under them, and the process's end frees it.
struct ConnectNotices {
    std::mutex lock;
    std::unordered_map<int, std::uint32_t> bySocket;
};

ConnectNotices& ProcessConnectNotices()
{
    static ConnectNotices* const notices = new ConnectNotices;
    return *notices;
}

std::mutex& connectNoticeLock = ProcessConnectNotices().lock;
std::unordered_map<int, std::uint32_t>& connectNotices = ProcessConnectNotices().bySocket;

void RecordConnectNotice(int socket, std::uint32_t error)
{
    std::lock_guard<std::mutex> hold(connectNoticeLock);
    connectNotices[socket] = error;
}

void ForgetConnectNotice(int socket)
{
    std::lock_guard<std::mutex> hold(connectNoticeLock);
    connectNotices.erase(socket);
}

}  // namespace

struct SocketOperation {
    enum class Kind { none, send, receive };
    Kind kind = Kind::none;
    int socket = -1;
    std::vector<iovec> remaining;  // what is left to send
    std::size_t nextBuffer = 0;
    char* receiveBuffer = nullptr;
    std::uint32_t capacity = 0;
    std::uint32_t transferred = 0;
    std::uint32_t error = 0;
    SocketEventRecord* completion = nullptr;
};

struct SocketEventRecord {
    std::mutex lock;
    std::condition_variable changed;
    bool signalled = false;
    bool driving = false;              // a waiting thread is carrying out the work
    SocketOperation* pending = nullptr; // the send or receive whose end sets the event
    int connectingSocket = -1;          // a connect whose end sets the event
};

namespace {

// One non-blocking step of the operation. True when it has ended (successfully
// or with op.error set).
bool Advance(SocketOperation& op)
{
    if (op.kind == SocketOperation::Kind::receive) {
        const ssize_t received = ::recv(op.socket, op.receiveBuffer, op.capacity, 0);
        if (received >= 0) {
            op.transferred = static_cast<std::uint32_t>(received);
            return true;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return false;
        }
        op.error = WinsockErrorFromErrno(errno);
        return true;
    }
    while (op.nextBuffer < op.remaining.size()) {
        msghdr message{};
        message.msg_iov = op.remaining.data() + op.nextBuffer;
        message.msg_iovlen = op.remaining.size() - op.nextBuffer;
        const ssize_t sent = ::sendmsg(op.socket, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return false;
            }
            op.error = WinsockErrorFromErrno(errno);
            return true;
        }
        op.transferred += static_cast<std::uint32_t>(sent);
        auto left = static_cast<std::size_t>(sent);
        while (op.nextBuffer < op.remaining.size() && left >= op.remaining[op.nextBuffer].iov_len) {
            left -= op.remaining[op.nextBuffer].iov_len;
            ++op.nextBuffer;
        }
        if (left != 0) {
            iovec& partial = op.remaining[op.nextBuffer];
            partial.iov_base = static_cast<char*>(partial.iov_base) + left;
            partial.iov_len -= left;
        }
    }
    return true;
}

}  // namespace

std::int32_t StartSocketLibrary()
{
    return 0;
}

std::int32_t ResolveAddress(const char* hostName, const char* service, int flags, int family, int socketType,
                            int protocol, AddressInfo** list)
{
    addrinfo hints{};
    hints.ai_flags = flags;
    hints.ai_family = family;
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    addrinfo* result = nullptr;
    const int status = ::getaddrinfo(hostName, service, &hints, &result);
    *list = reinterpret_cast<AddressInfo*>(result);
    return WinsockResolverError(status);
}

void FreeAddressList(AddressInfo* list)
{
    if (list != nullptr) {
        ::freeaddrinfo(reinterpret_cast<addrinfo*>(list));
    }
}

AddressEntry DescribeAddress(const AddressInfo* entry)
{
    const auto* info = reinterpret_cast<const addrinfo*>(entry);
    return {info->ai_family, info->ai_socktype, info->ai_protocol, info->ai_addr,
            static_cast<std::uint32_t>(info->ai_addrlen)};
}

const AddressInfo* NextAddress(const AddressInfo* entry)
{
    return reinterpret_cast<const AddressInfo*>(reinterpret_cast<const addrinfo*>(entry)->ai_next);
}

SocketHandle OpenSocket(int family, int socketType, int protocol, std::uint32_t flags, std::uint32_t* error)
{
    if (const std::uint32_t injected = InjectedOpenError(); injected != 0) {
        *error = injected;
        return kInvalidSocket;
    }
    // Every socket here is "overlapped": its operations never block.
    const int socket = ::socket(family, socketType | SOCK_CLOEXEC, protocol);
    if (socket < 0) {
        *error = WinsockErrorFromErrno(errno);
        return kInvalidSocket;
    }
    if (socketType == SOCK_STREAM) {
        // A request goes out as its header text and then its body pieces:
        // without this, Nagle's rule holds each body piece back until the
        // peer's delayed acknowledgement of the text, 40 ms per request.
        int noDelay = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    }
    return static_cast<SocketHandle>(socket);
}

void CloseSocketHandle(SocketHandle socket)
{
    const int descriptor = static_cast<int>(socket);
    ForgetConnectNotice(descriptor);
    // An abortive close (a reset instead of FIN): the exchange is over when
    // the transport closes, and an orderly close by this side would leave the
    // connection in TIME_WAIT here for a minute, one per probe, holding an
    // ephemeral port each.
    linger resetOnClose{};
    resetOnClose.l_onoff = 1;
    resetOnClose.l_linger = 0;
    ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
    ::close(descriptor);
}

SocketEvent CreateSocketEvent(std::uint32_t* error)
{
    auto* event = new (std::nothrow) SocketEventRecord;
    if (event == nullptr) {
        *error = wsa::kNotEnoughMemory;
    }
    return event;
}

void CloseSocketEvent(SocketEvent event)
{
    delete event;
}

bool SetSocketEvent(SocketEvent event)
{
    if (event == nullptr) {
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(event->lock);
        event->signalled = true;
    }
    event->changed.notify_all();
    return true;
}

bool ResetSocketEvent(SocketEvent event)
{
    if (event == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> hold(event->lock);
    event->signalled = false;
    return true;
}

bool WaitSocketEvent(SocketEvent event, std::uint32_t timeoutMs)
{
    if (event == nullptr) {
        return false;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> hold(event->lock);
    for (;;) {
        if (event->signalled) {
            return true;
        }
        const Clock::time_point now = Clock::now();
        const bool workToDo = event->pending != nullptr || event->connectingSocket >= 0;
        if (event->driving || !workToDo) {
            // Another thread carries the work out, or nothing will set the event
            // but a SetSocketEvent: wait for a change.
            if (now >= deadline || event->changed.wait_until(hold, deadline) == std::cv_status::timeout) {
                return event->signalled;
            }
            continue;
        }
        // This thread carries the work out until it ends or the time is up.
        event->driving = true;
        SocketOperation* op = event->pending;
        const int connecting = event->connectingSocket;
        hold.unlock();

        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        pollfd watch{};
        watch.fd = op != nullptr ? op->socket : connecting;
        watch.events = op != nullptr && op->kind == SocketOperation::Kind::receive ? POLLIN : POLLOUT;
        const int pollMs = static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
        const int ready = ::poll(&watch, 1, pollMs);
        bool ended = false;
        if (ready > 0) {
            if (op != nullptr) {
                ended = Advance(*op);
            } else {
                int error = 0;
                socklen_t length = sizeof error;
                if (::getsockopt(connecting, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                    error = errno;
                }
                RecordConnectNotice(connecting, error == 0 ? 0 : WinsockErrorFromErrno(error));
                ended = true;
            }
        }

        hold.lock();
        event->driving = false;
        if (ended) {
            event->pending = nullptr;
            event->connectingSocket = -1;
            event->signalled = true;
        }
        event->changed.notify_all();
        if (!ended && Clock::now() >= deadline) {
            return false;
        }
    }
}

std::uint32_t SelectSocketEvent(SocketHandle socket, SocketEvent event, std::uint32_t notices)
{
    const int descriptor = static_cast<int>(socket);
    const int flags = ::fcntl(descriptor, F_GETFL, 0);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) != 0) {
        return WinsockErrorFromErrno(errno);
    }
    return 0;
}

std::uint32_t StartConnect(SocketHandle socket, const void* address, std::uint32_t addressLength,
                           SocketEvent connectEvent)
{
    if (const std::uint32_t injected = InjectedConnectError(); injected != 0) {
        return injected;
    }
    const int descriptor = static_cast<int>(socket);
    {
        std::lock_guard<std::mutex> hold(connectNoticeLock);
        connectNotices.erase(descriptor);
    }
    if (::connect(descriptor, static_cast<const sockaddr*>(address), addressLength) == 0) {
        RecordConnectNotice(descriptor, 0);
        SetSocketEvent(connectEvent);
        return 0;
    }
    if (errno != EINPROGRESS) {
        return WinsockErrorFromErrno(errno);
    }
    // A non-blocking connect goes on; Winsock reports this as "would block".
    if (connectEvent != nullptr) {
        std::lock_guard<std::mutex> hold(connectEvent->lock);
        connectEvent->signalled = false;
        connectEvent->connectingSocket = descriptor;
    }
    return wsa::kWouldBlock;
}

std::uint32_t ConnectNoticeError(SocketHandle socket)
{
    std::lock_guard<std::mutex> hold(connectNoticeLock);
    auto found = connectNotices.find(static_cast<int>(socket));
    return found == connectNotices.end() ? 0 : found->second;
}

SocketOperation* CreateSocketOperation()
{
    return new (std::nothrow) SocketOperation;
}

void DestroySocketOperation(SocketOperation* operation)
{
    delete operation;
}

namespace {

std::uint32_t StartOperation(SocketEvent completion, SocketOperation* operation)
{
    operation->completion = completion;
    if (Advance(*operation)) {
        if (operation->error != 0) {
            return operation->error;
        }
        SetSocketEvent(completion);
        return 0;
    }
    std::lock_guard<std::mutex> hold(completion->lock);
    completion->pending = operation;
    return wsa::kIoPending;
}

}  // namespace

std::uint32_t StartSend(SocketHandle socket, const SocketBuffer* buffers, std::uint32_t bufferCount,
                        SocketEvent completion, SocketOperation* operation)
{
    if (completion == nullptr) {
        return wsa::kNotSocket;
    }
    operation->kind = SocketOperation::Kind::send;
    operation->socket = static_cast<int>(socket);
    operation->transferred = 0;
    operation->error = 0;
    operation->nextBuffer = 0;
    operation->remaining.clear();
    for (std::uint32_t i = 0; i < bufferCount; ++i) {
        if (buffers[i].len != 0) {
            operation->remaining.push_back({buffers[i].buf, buffers[i].len});
        }
    }
    return StartOperation(completion, operation);
}

std::uint32_t StartReceive(SocketHandle socket, char* buffer, std::uint32_t capacity, SocketEvent completion,
                           SocketOperation* operation)
{
    if (completion == nullptr) {
        return wsa::kNotSocket;
    }
    operation->kind = SocketOperation::Kind::receive;
    operation->socket = static_cast<int>(socket);
    operation->receiveBuffer = buffer;
    operation->capacity = capacity;
    operation->transferred = 0;
    operation->error = 0;
    return StartOperation(completion, operation);
}

std::uint32_t OperationResult(SocketHandle socket, SocketOperation* operation, std::uint32_t* bytes)
{
    if (operation->error != 0) {
        return operation->error;
    }
    *bytes = operation->transferred;
    return 0;
}

void CancelOperation(SocketHandle socket, SocketOperation* operation)
{
    // Nothing runs in the background here: an operation is advanced only by
    // a waiting thread, so forgetting it is enough.
    if (operation->completion != nullptr) {
        std::lock_guard<std::mutex> hold(operation->completion->lock);
        if (operation->completion->pending == operation) {
            operation->completion->pending = nullptr;
        }
    }
    operation->completion = nullptr;
    operation->kind = SocketOperation::Kind::none;
    operation->receiveBuffer = nullptr;
    operation->remaining.clear();
}

}  // namespace corvel::platform
