#include "registration/registration_listener.h"

#include <cstring>
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

constexpr std::int32_t kEndedNormally = 0;
constexpr std::int32_t kSocketLibraryFailed = -1;
constexpr std::int32_t kSocketFailed = -2;
constexpr std::int32_t kBindFailed = -3;
constexpr std::int32_t kDatabaseFailed = -6;

// A datagram longer than this is skipped: the receive reports it as a failure.
constexpr std::size_t kReceiveBytes = 1024;
// One turn of the loop lasts at least this long.
constexpr std::uint32_t kPauseMs = 500;

std::uint32_t ExitCode(std::int32_t code)
{
    return static_cast<std::uint32_t>(code);
}

// Releases the connection object without closing it (the paths that end the
// listener early).
void ReleaseTerminalDatabase()
{
    corvel::platform::ReleaseStoreConnection(TerminalDatabase);
    TerminalDatabase = nullptr;
}

}  // namespace

std::uint32_t RegistrationListener(void* /*argument*/)
{
    using namespace corvel;
    platform::InitializeComForThread();

    try {
        OpenTerminalDatabase();
    } catch (const CComFailure& failure) {
        WatchdogTrace("%s, %s", ErrorText(failure).c_str(), ErrorDescription(failure).c_str());
        ReleaseTerminalDatabase();
        platform::UninitializeComForThread();
        return ExitCode(kDatabaseFailed);
    }

    if (platform::StartDatagramLibrary() != 0) {
        ReleaseTerminalDatabase();
        platform::UninitializeComForThread();
        return ExitCode(kSocketLibraryFailed);
    }
    platform::UdpSocket socket = platform::OpenUdpSocket();
    if (socket == platform::kInvalidUdpSocket) {
        ReleaseTerminalDatabase();
        platform::UninitializeComForThread();
        return ExitCode(kSocketFailed);
    }
    if (!platform::BindUdpSocket(socket, nullptr, registrationPort.load())) {
        // The socket is not left open behind the ended thread.
        platform::CloseUdpSocket(socket);
        platform::StopDatagramLibrary();
        ReleaseTerminalDatabase();
        platform::UninitializeComForThread();
        return ExitCode(kBindFailed);
    }

    // One byte more than the receive may fill, so that a datagram of the full
    // length still has room for the terminator that ends its text.
    char payload[kReceiveBytes + 1] = {};
    char sender[platform::kAddressTextBytes] = {};
    while (listenerRunning.load() != 0) {
        std::int32_t received = platform::ReceiveDatagram(socket, payload, kReceiveBytes, sender);
        if (received >= 0) {
            payload[received] = '\0';
            registration::Announcement announcement =
                registration::ReadAnnouncement(payload, static_cast<std::size_t>(received));
            // The text ends at the payload's first NUL, which the buffer holds.
            WatchdogTrace("[%s]:%s", sender, payload);
            if (announcement.accepted) {
                try {
                    RecordTerminal(sender);
                } catch (const CComFailure& failure) {
                    WatchdogTrace("%s", ErrorText(failure).c_str());
                }
            }
        }
        platform::SleepMs(kPauseMs);
    }

    if (!platform::CloseUdpSocket(socket)) {
        ReleaseTerminalDatabase();
        platform::UninitializeComForThread();
        return ExitCode(kSocketLibraryFailed);
    }
    if (platform::StopDatagramLibrary() != 0) {
        ReleaseTerminalDatabase();
        platform::UninitializeComForThread();
        return ExitCode(kSocketFailed);
    }
    CloseTerminalDatabase();
    platform::UninitializeComForThread();
    return ExitCode(kEndedNormally);
}
