// The listener's UDP socket on Linux: blocking BSD datagram sockets.
#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace corvel::platform {

namespace {

int Descriptor(UdpSocket socket)
{
    return static_cast<int>(socket);
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
    return ::inet_pton(AF_INET, address, &target.sin_addr) == 1;
}

}  // namespace

std::int32_t StartDatagramLibrary()
{
    return 0;
}

std::int32_t StopDatagramLibrary()
{
    return 0;
}

UdpSocket OpenUdpSocket()
{
    int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    return descriptor < 0 ? kInvalidUdpSocket : static_cast<UdpSocket>(descriptor);
}

bool CloseUdpSocket(UdpSocket socket)
{
    return socket != kInvalidUdpSocket && ::close(Descriptor(socket)) == 0;
}

bool BindUdpSocket(UdpSocket socket, const char* address, std::uint16_t port)
{
    sockaddr_in local;
    if (!FillAddress(local, address, port)) {
        return false;
    }
    return ::bind(Descriptor(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

std::uint16_t BoundUdpPort(UdpSocket socket)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(Descriptor(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

std::int32_t ReceiveDatagram(UdpSocket socket, char* buffer, std::size_t capacity,
                             char (&senderText)[kAddressTextBytes])
{
    sockaddr_in sender{};
    iovec piece{buffer, capacity};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    ssize_t received;
    do {
        received = ::recvmsg(Descriptor(socket), &message, 0);
    } while (received < 0 && errno == EINTR);
    // Linux cuts a long datagram silently; Winsock fails the receive instead,
    // and the listener relies on that.
    if (received < 0 || (message.msg_flags & MSG_TRUNC) != 0) {
        return -1;
    }
    if (::inet_ntop(AF_INET, &sender.sin_addr, senderText, sizeof senderText) == nullptr) {
        senderText[0] = '\0';
    }
    return static_cast<std::int32_t>(received);
}

bool SendDatagram(UdpSocket socket, const char* address, std::uint16_t port, const void* data, std::size_t length)
{
    sockaddr_in target;
    if (!FillAddress(target, address, port)) {
        return false;
    }
    ssize_t sent = ::sendto(Descriptor(socket), data, length, 0, reinterpret_cast<const sockaddr*>(&target),
                            sizeof target);
    return sent >= 0 && static_cast<std::size_t>(sent) == length;
}

}  // namespace corvel::platform
