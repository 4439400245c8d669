// Terminal services as the session watchdog sees them: the console session,
// the list of the server's sessions, a session's client address, logging a
// session off, and the OS version record that decides how a logoff is done.
// On Windows these are the WTS calls on the current server; on Linux the
// session table <state root>/sessions stands in for the session manager.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvel::platform {

// The connection states of a session (WTS_CONNECTSTATE_CLASS).
enum class SessionState : std::uint32_t {
    Active = 0,
    Connected = 1,
    ConnectQuery = 2,
    Shadow = 3,
    Disconnected = 4,
    Idle = 5,
    Listen = 6,
    Reset = 7,
    Down = 8,
    Init = 9,
};

// What WTSGetActiveConsoleSessionId answers when no session is attached to
// the console: a value that matches no session.
inline constexpr std::uint32_t kNoConsoleSession = 0xFFFFFFFFu;

struct SessionEntry {
    std::uint32_t sessionId = 0;
    std::string windowStationName;
    SessionState state = SessionState::Down;
};

// The client address record of a session (WTS_CLIENT_ADDRESS): an address
// family and 20 address bytes; an IPv4 address is in bytes 2 to 5.
struct ClientAddressRecord {
    std::uint32_t addressFamily = 0;
    std::uint8_t address[20] = {};
};

// The fields of the extended OS version record that the probe reads.
struct OsVersionRecord {
    std::uint32_t majorVersion = 0;
    std::uint32_t minorVersion = 0;
    std::uint32_t buildNumber = 0;
    std::uint32_t platformId = 0;
    std::uint16_t servicePackMajor = 0;
    std::uint16_t servicePackMinor = 0;
    std::uint16_t suiteMask = 0;
    std::uint8_t productType = 0;
};

inline constexpr std::uint8_t kProductWorkstation = 1;

// WTSGetActiveConsoleSessionId; kNoConsoleSession when there is none.
std::uint32_t ActiveConsoleSessionId();

// WTSEnumerateSessionsA on the current server (reserved 0, version 1); the
// platform's list is copied and released before the call returns. False when
// the enumeration fails; the list is then empty.
bool EnumerateSessions(std::vector<SessionEntry>& sessions);

// WTSQuerySessionInformationA with WTSClientAddress (class 14); the answer is
// released with WTSFreeMemory. False when the query fails.
bool QueryClientAddress(std::uint32_t sessionId, ClientAddressRecord& record);

// WTSQuerySessionInformationA with WTSConnectState (class 8): the session's
// connection state now. False when the query fails (the session is gone).
bool QueryConnectState(std::uint32_t sessionId, SessionState& state);

// WTSLogoffSession on the current server; wait makes it return only when the
// session is gone. False when the session cannot be logged off.
bool LogoffSession(std::uint32_t sessionId, bool wait);

// GetVersionExA with the extended record (156 bytes, zero-filled, its size
// field set). False when the query fails; the record is then all zero.
bool QueryOsVersion(OsVersionRecord& record);

}  // namespace corvel::platform
