#include "registration/registration_listener.h"

#include <cstddef>
#include <string>

#include "platform/com.h"
#include "platform/threads.h"
#include "platform/udp_socket.h"
#include "registration/announcement.h"
#include "registration/terminal_database.h"
#include "service/trace.h"

std::atomic<std::int32_t> listenerRunning{1};
std::atomic<std::uint16_t> registrationPort{kRegistrationPort};

namespace {

// A datagram is read into this many bytes; a longer one fails the receive.
constexpr std::size_t kReceiveBufferBytes = 1024;
// Every turn of the loop pauses this long, so at most two datagrams a second
// are handled; the rest wait in the socket's queue.
constexpr std::uint32_t kTurnPauseMs = 500;

std::uint32_t ExitCode(std::int32_t code)
{
    return static_cast<std::uint32_t>(code);
}

void HandleDatagram(const char* payload, std::size_t length, const std::string& senderAddress)
{
    Announcement announcement = ReadAnnouncement(payload, length);
    // The payload is NUL-terminated in its buffer (one byte beyond the
    // receive size), so the text is complete even with no NUL of its own.
    WatchdogTrace("[%s]:%s", senderAddress.c_str(), announcement.text.data());
    if (!announcement.accepted) {
        return;
    }
    try {
        RecordTerminal(senderAddress.c_str());
    } catch (const ComFailure& failure) {
        WatchdogTrace("%s", ErrorText(failure).c_str());
    }
}

}  // namespace

std::uint32_t RegistrationListener(void* /*argument*/)
{
    corvel::platform::InitializeComForThread();

    try {
        OpenTerminalDatabase();
    } catch (const ComFailure& failure) {
        WatchdogTrace("%s, %s", ErrorText(failure).c_str(), ErrorDescription(failure).c_str());
        ReleaseTerminalDatabase();
        return ExitCode(kListenerDatabaseFailed);
    }

    if (!corvel::platform::StartDatagramNetworking()) {
        ReleaseTerminalDatabase();
        return ExitCode(kListenerNetworkFailed);
    }
    corvel::platform::DatagramSocket listenerSocket = corvel::platform::OpenDatagramSocket();
    if (listenerSocket == corvel::platform::kInvalidDatagramSocket) {
        ReleaseTerminalDatabase();
        return ExitCode(kListenerSocketFailed);
    }
    if (!corvel::platform::BindDatagramSocket(listenerSocket, registrationPort.load())) {
        // The thread ends here for good, so its socket goes with it.
        corvel::platform::CloseDatagramSocket(listenerSocket);
        ReleaseTerminalDatabase();
        return ExitCode(kListenerBindFailed);
    }

    // One byte beyond the receive size keeps a full datagram without a NUL
    // terminated for its trace line.
    char payload[kReceiveBufferBytes + 1] = {};
    std::string senderAddress;
    while (listenerRunning.load() != 0) {
        std::int64_t received =
            corvel::platform::ReceiveDatagram(listenerSocket, payload, kReceiveBufferBytes, senderAddress);
        if (received >= 0) {
            std::size_t length = static_cast<std::size_t>(received);
            payload[length] = '\0';
            HandleDatagram(payload, length, senderAddress);
        }
        corvel::platform::SleepMs(kTurnPauseMs);
    }

    if (!corvel::platform::CloseDatagramSocket(listenerSocket)) {
        ReleaseTerminalDatabase();
        return ExitCode(kListenerNetworkFailed);
    }
    if (!corvel::platform::StopDatagramNetworking()) {
        ReleaseTerminalDatabase();
        return ExitCode(kListenerSocketFailed);
    }
    CloseTerminalDatabase();
    corvel::platform::UninitializeComForThread();
    return ExitCode(kListenerEnded);
}
