// The listener's datagram socket on Linux: a blocking BSD UDP socket.
#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvel::platform {

bool StartDatagramNetworking()
{
    return true;
}

bool StopDatagramNetworking()
{
    return true;
}

DatagramSocket OpenDatagramSocket()
{
    int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    return descriptor < 0 ? kInvalidDatagramSocket : static_cast<DatagramSocket>(descriptor);
}

bool BindDatagramSocket(DatagramSocket socket, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

std::int64_t ReceiveDatagram(DatagramSocket socket, char* buffer, std::size_t capacity, std::string& senderAddress)
{
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    ssize_t received;
    do {
        // MSG_TRUNC reports the datagram's real length, so that a datagram
        // longer than the buffer fails as it does under Winsock.
        received = ::recvfrom(static_cast<int>(socket), buffer, capacity, MSG_TRUNC,
                              reinterpret_cast<sockaddr*>(&sender), &senderLength);
    } while (received < 0 && errno == EINTR);
    if (received < 0 || static_cast<std::size_t>(received) > capacity) {
        return -1;
    }
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text) == nullptr) {
        return -1;
    }
    senderAddress = text;
    return received;
}

bool CloseDatagramSocket(DatagramSocket socket)
{
    return ::close(static_cast<int>(socket)) == 0;
}

}  // namespace corvel::platform
