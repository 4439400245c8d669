// The socket calls under the HTTP transport's event socket: Winsock 2 overlapped
// sockets with event objects on Windows, non-blocking BSD sockets driven by
// poll(2) on Linux. Every error is reported as its Winsock number on both.
#pragma once

#include <cstdint>

namespace corvel::platform {

// Winsock error numbers that the transport sets or tests by value.
namespace wsa {
inline constexpr std::uint32_t kNotEnoughMemory = 8;      // WSA_NOT_ENOUGH_MEMORY
inline constexpr std::uint32_t kIoPending = 997;          // WSA_IO_PENDING
inline constexpr std::uint32_t kFault = 10014;            // WSAEFAULT
inline constexpr std::uint32_t kInvalidArgument = 10022;  // WSAEINVAL
inline constexpr std::uint32_t kWouldBlock = 10035;       // WSAEWOULDBLOCK
inline constexpr std::uint32_t kInProgress = 10036;       // WSAEINPROGRESS
inline constexpr std::uint32_t kAlready = 10037;          // WSAEALREADY
inline constexpr std::uint32_t kNotSocket = 10038;        // WSAENOTSOCK
inline constexpr std::uint32_t kConnectionAborted = 10053;
inline constexpr std::uint32_t kConnectionReset = 10054;
inline constexpr std::uint32_t kNoBufferSpace = 10055;    // WSAENOBUFS
inline constexpr std::uint32_t kNotConnected = 10057;     // WSAENOTCONN
inline constexpr std::uint32_t kTimedOut = 10060;
inline constexpr std::uint32_t kConnectionRefused = 10061;
inline constexpr std::uint32_t kHostNotFound = 11001;
}  // namespace wsa

// Flags and numbers with their Winsock values.
inline constexpr std::uint32_t kOverlappedSocketFlag = 1;  // WSA_FLAG_OVERLAPPED
inline constexpr std::uint32_t kReadNotice = 0x01;         // FD_READ
inline constexpr std::uint32_t kWriteNotice = 0x02;        // FD_WRITE
inline constexpr std::uint32_t kConnectNotice = 0x10;      // FD_CONNECT
inline constexpr int kAddressFamilyUnspecified = 0;        // AF_UNSPEC
inline constexpr int kStreamSocket = 1;                    // SOCK_STREAM
inline constexpr int kNumericHostFlag = 0x04;              // AI_NUMERICHOST

using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

// A length/pointer pair with the layout of WSABUF.
struct SocketBuffer {
    std::uint32_t len;
    char* buf;
};

// An event object (WSAEVENT). Null means none.
struct SocketEventRecord;
using SocketEvent = SocketEventRecord*;

// The record of one overlapped send or receive. It must outlive the operation,
// so the socket keeps one per direction for as long as it has a socket.
struct SocketOperation;

// A resolver result list (ADDRINFOA) and a view of one of its entries.
struct AddressInfo;
struct AddressEntry {
    int family;
    int socketType;
    int protocol;
    const void* address;
    std::uint32_t addressLength;
};

// WSAStartup asking for version 2.0; returns its result (0 on success).
// There is no matching stop: the process's end releases Winsock.
std::int32_t StartSocketLibrary();

// getaddrinfo with the hints; the result is 0 or the resolver's code as Winsock
// numbers it (kHostNotFound for a name under kNumericHostFlag). It blocks for
// as long as the name servers take. FreeAddressList accepts null.
std::int32_t ResolveAddress(const char* hostName, const char* service, int flags, int family, int socketType,
                            int protocol, AddressInfo** list);
void FreeAddressList(AddressInfo* list);
AddressEntry DescribeAddress(const AddressInfo* entry);
const AddressInfo* NextAddress(const AddressInfo* entry);

// WSASocketA without protocol information, group 0. On failure returns
// kInvalidSocket and stores the error.
SocketHandle OpenSocket(int family, int socketType, int protocol, std::uint32_t flags, std::uint32_t* error);
// closesocket with SO_LINGER on and a linger time of 0: an abortive close,
// which leaves no TIME_WAIT behind on this side.
void CloseSocketHandle(SocketHandle socket);

// Tests only: while set, every OpenSocket fails with openError (descriptors
// 10024, buffers 10055) and every StartConnect with connectError (ports 10048,
// buffers 10055); 0 leaves the call alone. Shows that a server short of
// sockets or ports logs no session off.
void SetSocketFaults(std::uint32_t openError, std::uint32_t connectError);
// The errors set, for the backends' OpenSocket and StartConnect; 0: none.
std::uint32_t InjectedOpenError();
std::uint32_t InjectedConnectError();

// WSACreateEvent (manual reset, not signalled); null on failure with the error.
SocketEvent CreateSocketEvent(std::uint32_t* error);
void CloseSocketEvent(SocketEvent event);
bool SetSocketEvent(SocketEvent event);
bool ResetSocketEvent(SocketEvent event);
// True when the event is signalled within timeoutMs (0 polls). A null event
// is never signalled and fails at once.
bool WaitSocketEvent(SocketEvent event, std::uint32_t timeoutMs);

// WSAEventSelect: the event is signalled by the given network notices; puts
// the socket in non-blocking mode. Returns 0 or the error.
std::uint32_t SelectSocketEvent(SocketHandle socket, SocketEvent event, std::uint32_t notices);

// WSAConnect without caller or callee data and quality-of-service records.
// Returns 0 when connected at once, else the error (kWouldBlock while the
// connect goes on; its end signals connectEvent, the event selected for the
// connect notice).
std::uint32_t StartConnect(SocketHandle socket, const void* address, std::uint32_t addressLength,
                           SocketEvent connectEvent);
// WSAEnumNetworkEvents without an event to reset: the connect notice's error
// code (0 when the connect succeeded or no notice is recorded).
std::uint32_t ConnectNoticeError(SocketHandle socket);

SocketOperation* CreateSocketOperation();
void DestroySocketOperation(SocketOperation* operation);

// Overlapped WSASend / WSARecv whose completion signals the event. Returns 0
// when the operation completed at once, kIoPending while it goes on, or the
// error. The buffers (not the buffer array) must stay valid until the
// operation has completed or CancelOperation has returned.
std::uint32_t StartSend(SocketHandle socket, const SocketBuffer* buffers, std::uint32_t bufferCount,
                        SocketEvent completion, SocketOperation* operation);
std::uint32_t StartReceive(SocketHandle socket, char* buffer, std::uint32_t capacity, SocketEvent completion,
                           SocketOperation* operation);
// WSAGetOverlappedResult without waiting: 0 with the bytes transferred, or the error.
std::uint32_t OperationResult(SocketHandle socket, SocketOperation* operation, std::uint32_t* bytes);
// Cancels an outstanding operation and returns once the platform no longer
// touches its buffers. Nothing happens when none is outstanding.
void CancelOperation(SocketHandle socket, SocketOperation* operation);

}  // namespace corvel::platform
