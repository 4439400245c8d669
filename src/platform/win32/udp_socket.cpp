// The listener's datagram socket on Windows: Winsock 1.1, blocking.
#include "platform/udp_socket.h"

#include <winsock2.h>

namespace corvel::platform {

bool StartDatagramNetworking()
{
    WSADATA data{};
    return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

bool StopDatagramNetworking()
{
    return WSACleanup() == 0;
}

DatagramSocket OpenDatagramSocket()
{
    SOCKET created = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    return created == INVALID_SOCKET ? kInvalidDatagramSocket : static_cast<DatagramSocket>(created);
}

bool BindDatagramSocket(DatagramSocket socket, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(static_cast<SOCKET>(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

std::int64_t ReceiveDatagram(DatagramSocket socket, char* buffer, std::size_t capacity, std::string& senderAddress)
{
    sockaddr_in sender{};
    int senderLength = sizeof sender;
    // A datagram longer than the buffer fails with WSAEMSGSIZE.
    int received = ::recvfrom(static_cast<SOCKET>(socket), buffer, static_cast<int>(capacity), 0,
                              reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (received == SOCKET_ERROR) {
        return -1;
    }
    const char* text = ::inet_ntoa(sender.sin_addr);
    senderAddress = text == nullptr ? "" : text;
    return received;
}

bool CloseDatagramSocket(DatagramSocket socket)
{
    return ::closesocket(static_cast<SOCKET>(socket)) == 0;
}

}  // namespace corvel::platform
