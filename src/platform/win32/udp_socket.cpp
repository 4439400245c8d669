// The listener's UDP socket on Windows: the Winsock 1.1 calls.
#include "platform/udp_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace corvel::platform {

namespace {

SOCKET Native(UdpSocket socket)
{
    return static_cast<SOCKET>(socket);
}

bool FillAddress(sockaddr_in& target, const char* address, std::uint16_t port)
{
    std::memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    if (address == nullptr) {
        target.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    target.sin_addr.s_addr = inet_addr(address);
    return target.sin_addr.s_addr != INADDR_NONE || std::strcmp(address, "255.255.255.255") == 0;
}

}  // namespace

std::int32_t StartDatagramLibrary()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data);
}

std::int32_t StopDatagramLibrary()
{
    return WSACleanup();
}

UdpSocket OpenUdpSocket()
{
    SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    return socket == INVALID_SOCKET ? kInvalidUdpSocket : static_cast<UdpSocket>(socket);
}

bool CloseUdpSocket(UdpSocket socket)
{
    return socket != kInvalidUdpSocket && ::closesocket(Native(socket)) == 0;
}

bool BindUdpSocket(UdpSocket socket, const char* address, std::uint16_t port)
{
    sockaddr_in local;
    if (!FillAddress(local, address, port)) {
        return false;
    }
    return ::bind(Native(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

std::uint16_t BoundUdpPort(UdpSocket socket)
{
    sockaddr_in local{};
    int length = sizeof local;
    if (::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

std::int32_t ReceiveDatagram(UdpSocket socket, char* buffer, std::size_t capacity,
                             char (&senderText)[kAddressTextBytes])
{
    sockaddr_in sender{};
    int senderLength = 16;
    int received = ::recvfrom(Native(socket), buffer, static_cast<int>(capacity), 0,
                              reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (received == SOCKET_ERROR) {
        return -1;  // WSAEMSGSIZE for a datagram longer than capacity
    }
    const char* text = inet_ntoa(sender.sin_addr);
    std::strncpy(senderText, text == nullptr ? "" : text, sizeof senderText - 1);
    senderText[sizeof senderText - 1] = '\0';
    return received;
}

bool SendDatagram(UdpSocket socket, const char* address, std::uint16_t port, const void* data, std::size_t length)
{
    sockaddr_in target;
    if (!FillAddress(target, address, port)) {
        return false;
    }
    int sent = ::sendto(Native(socket), static_cast<const char*>(data), static_cast<int>(length), 0,
                        reinterpret_cast<const sockaddr*>(&target), sizeof target);
    return sent != SOCKET_ERROR && static_cast<std::size_t>(sent) == length;
}

}  // namespace corvel::platform
