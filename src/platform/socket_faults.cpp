// The socket failures that tests make OpenSocket and StartConnect report on
// either backend, to show that a server short of sockets or ports logs no
// session off.
#include <atomic>

#include "platform/event_socket_io.h"

namespace corvel::platform {

namespace {
std::atomic<std::uint32_t> injectedOpenError{0};
std::atomic<std::uint32_t> injectedConnectError{0};
}  // namespace

void SetSocketFaults(std::uint32_t openError, std::uint32_t connectError)
{
    injectedOpenError.store(openError);
    injectedConnectError.store(connectError);
}

std::uint32_t InjectedOpenError()
{
    return injectedOpenError.load();
}

std::uint32_t InjectedConnectError()
{
    return injectedConnectError.load();
}

}  // namespace corvel::platform
