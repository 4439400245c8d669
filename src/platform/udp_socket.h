// The registration listener's UDP socket: Winsock 1.1 calls (socket, bind,
// recvfrom, inet_ntoa, closesocket) on Windows, BSD sockets on Linux. The
// sending half serves the listener's tests and tools.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/unique_handle.h"

namespace corvel::platform {

using UdpSocket = std::uintptr_t;
inline constexpr UdpSocket kInvalidUdpSocket = ~UdpSocket{0};

// Dotted-decimal IPv4 text with its terminator: "255.255.255.255" and a NUL.
inline constexpr std::size_t kAddressTextBytes = 16;

// WSAStartup asking for version 1.1 (nothing to do on Linux). 0 on success.
std::int32_t StartDatagramLibrary();
// WSACleanup. 0 on success.
std::int32_t StopDatagramLibrary();

// An IPv4 datagram socket (family 2, type 2, protocol 17); kInvalidUdpSocket on failure.
UdpSocket OpenUdpSocket();
// closesocket; true on success.
bool CloseUdpSocket(UdpSocket socket);
// Closes on every path; a caller that reports a failing close closes through release().
using UdpSocketOwner = UniqueResource<UdpSocket, &CloseUdpSocket, kInvalidUdpSocket>;

// Binds to port (host order) on the given dotted address, or on the
// any-address when address is null. True on success.
bool BindUdpSocket(UdpSocket socket, const char* address, std::uint16_t port);
// The local port (host order) the socket is bound to; 0 when unknown.
std::uint16_t BoundUdpPort(UdpSocket socket);

// Receives one datagram into buffer (at most capacity bytes), waiting until one
// arrives. Returns its length, or -1 when the receive failed; a datagram longer
// than capacity is a failure on both platforms (WSAEMSGSIZE), never a cut text.
// The sender's address is written as dotted text into senderText.
std::int32_t ReceiveDatagram(UdpSocket socket, char* buffer, std::size_t capacity,
                             char (&senderText)[kAddressTextBytes]);

// Sends one datagram to address:port. True when the whole datagram was sent.
bool SendDatagram(UdpSocket socket, const char* address, std::uint16_t port, const void* data, std::size_t length);

}  // namespace corvel::platform
