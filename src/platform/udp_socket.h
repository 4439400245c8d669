// The registration listener's datagram socket: Winsock 1.1 on Windows, a BSD
// socket on Linux. One IPv4 UDP socket bound to a port on the any-address,
// read with blocking receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvel::platform {

using DatagramSocket = std::uintptr_t;
inline constexpr DatagramSocket kInvalidDatagramSocket = ~DatagramSocket{0};

// WSAStartup asking for version 1.1 / WSACleanup; on Linux there is nothing to start.
bool StartDatagramNetworking();
bool StopDatagramNetworking();

// socket(AF_INET = 2, SOCK_DGRAM = 2, IPPROTO_UDP = 17); kInvalidDatagramSocket on failure.
DatagramSocket OpenDatagramSocket();

// Binds to the port (host byte order here) on 0.0.0.0.
bool BindDatagramSocket(DatagramSocket socket, std::uint16_t port);

// Blocks until one datagram arrives and copies it into buffer. Returns its
// length, or -1 when the receive failed; a datagram longer than capacity is
// a failure (as Winsock reports it), never a cut copy. senderAddress receives
// the source IPv4 address in dotted decimal (inet_ntoa).
std::int64_t ReceiveDatagram(DatagramSocket socket, char* buffer, std::size_t capacity, std::string& senderAddress);

bool CloseDatagramSocket(DatagramSocket socket);

}  // namespace corvel::platform
