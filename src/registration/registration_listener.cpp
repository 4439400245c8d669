// The registration listener's thread: it opens the terminal database, binds
// the UDP registration port, records every sender whose datagram is the pass
// phrase until the monitor service clears listenerRunning, then shuts down.
#include "registration/registration_listener.h"

#include <cstring>
#include <exception>
#include <string>

#include "platform/com.h"
#include "platform/threads.h"
#include "platform/udp_socket.h"
#include "registration/announcement.h"
#include "registration/terminal_database.h"
#include "trace/trace.h"

std::atomic<std::int32_t> listenerRunning{1};
std::atomic<std::uint16_t> registrationPort{kRegistrationPort};

namespace {

constexpr std::int32_t kEndedNormally = 0;
constexpr std::int32_t kSocketLibraryFailed = -1;
constexpr std::int32_t kSocketFailed = -2;
constexpr std::int32_t kBindFailed = -3;
constexpr std::int32_t kDatabaseFailed = -6;
constexpr std::int32_t kListenerFailed = -7;

// A datagram longer than this is skipped: the receive reports it as a failure.
constexpr std::size_t kReceiveBytes = 1024;
// One turn of the loop lasts at least this long.
constexpr std::uint32_t kPauseMs = 500;

std::uint32_t ExitCode(std::int32_t code)
{
    return static_cast<std::uint32_t>(code);
}

// Releases the connection object without closing it when the listener ends
// early; after CloseTerminalDatabase there is nothing left to release.
class TerminalDatabaseRelease {
public:
    TerminalDatabaseRelease() = default;
    ~TerminalDatabaseRelease()
    {
        corvel::platform::ReleaseStoreConnection(TerminalDatabase);
        TerminalDatabase = nullptr;
    }
    TerminalDatabaseRelease(const TerminalDatabaseRelease&) = delete;
    TerminalDatabaseRelease& operator=(const TerminalDatabaseRelease&) = delete;
};

// The text of an exception caught at the listener's loop or procedure.
const char* ExceptionText(const std::exception_ptr& exception)
{
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
    }
    return "an unknown exception";
}

// One datagram: traced, and its sender recorded when it is the pass phrase.
// Nothing that goes wrong with one datagram ends the listener.
void HandleDatagram(char* payload, std::int32_t received, const char* sender)
{
    using namespace corvel;
    try {
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
    } catch (...) {
        WatchdogTrace("Registration listener: the datagram from %s ended by an exception: %s", sender,
                      ExceptionText(std::current_exception()));
    }
}

std::uint32_t Listen()
{
    using namespace corvel;
    // Every way out releases the socket, then the database, then COM. The
    // socket library is stopped only by the ends that follow a bound socket.
    platform::ComForThread com;
    TerminalDatabaseRelease databaseRelease;

    try {
        OpenTerminalDatabase();
    } catch (const CComFailure& failure) {
        WatchdogTrace("%s, %s", ErrorText(failure).c_str(), ErrorDescription(failure).c_str());
        return ExitCode(kDatabaseFailed);
    }

    if (platform::StartDatagramLibrary() != 0) {
        return ExitCode(kSocketLibraryFailed);
    }
    platform::UdpSocketOwner socket(platform::OpenUdpSocket());
    if (!socket) {
        return ExitCode(kSocketFailed);
    }
    if (!platform::BindUdpSocket(socket.get(), nullptr, registrationPort.load())) {
        // The socket is not left open behind the ended thread.
        socket.reset();
        platform::StopDatagramLibrary();
        return ExitCode(kBindFailed);
    }

    // One byte more than the receive may fill, so that a datagram of the full
    // length still has room for the terminator that ends its text.
    char payload[kReceiveBytes + 1] = {};
    char sender[platform::kAddressTextBytes] = {};
    while (listenerRunning.load() != 0) {
        std::int32_t received = platform::ReceiveDatagram(socket.get(), payload, kReceiveBytes, sender);
        if (received >= 0) {
            HandleDatagram(payload, received, sender);
        }
        platform::SleepMs(kPauseMs);
    }

    if (!platform::CloseUdpSocket(socket.release())) {
        return ExitCode(kSocketLibraryFailed);
    }
    if (platform::StopDatagramLibrary() != 0) {
        return ExitCode(kSocketFailed);
    }
    CloseTerminalDatabase();
    return ExitCode(kEndedNormally);
}

}  // namespace

std::uint32_t RegistrationListener(void* /*argument*/)
{
    // No exception leaves the thread procedure: it would end the service.
    try {
        return Listen();
    } catch (...) {
        WatchdogTrace("Registration listener ended by an exception: %s", ExceptionText(std::current_exception()));
        return ExitCode(kListenerFailed);
    }
}
