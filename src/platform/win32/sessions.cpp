// Terminal services on Windows: the WTS calls on the current server and the
// extended OS version record.
#include "platform/sessions.h"

#include <cstring>

#include <windows.h>
#include <wtsapi32.h>

namespace corvel::platform {

namespace {

// The record GetVersionExA fills when its size field says 156 bytes.
static_assert(sizeof(OSVERSIONINFOEXA) == 156);

// Releases a buffer that a WTS call allocated.
class WtsMemory {
public:
    WtsMemory() = default;
    WtsMemory(const WtsMemory&) = delete;
    WtsMemory& operator=(const WtsMemory&) = delete;
    ~WtsMemory()
    {
        if (memory != nullptr) {
            WTSFreeMemory(memory);
        }
    }
    void* memory = nullptr;
};

// WTSQuerySessionInformationA on the current server; true when the answer,
// kept in answer, holds at least minimumBytes.
bool QuerySessionInformation(std::uint32_t sessionId, WTS_INFO_CLASS infoClass, std::size_t minimumBytes,
                             WtsMemory& answer)
{
    LPSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationA(WTS_CURRENT_SERVER_HANDLE, sessionId, infoClass, &buffer, &bytes)) {
        return false;
    }
    answer.memory = buffer;
    return buffer != nullptr && bytes >= minimumBytes;
}

}  // namespace

std::uint32_t ActiveConsoleSessionId()
{
    return WTSGetActiveConsoleSessionId();
}

bool EnumerateSessions(std::vector<SessionEntry>& sessions)
{
    sessions.clear();
    WtsMemory list;
    PWTS_SESSION_INFOA entries = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsA(WTS_CURRENT_SERVER_HANDLE, 0, 1, &entries, &count)) {
        return false;
    }
    list.memory = entries;
    sessions.reserve(count);
    for (DWORD index = 0; index < count; ++index) {
        SessionEntry entry;
        entry.sessionId = entries[index].SessionId;
        entry.windowStationName = entries[index].pWinStationName != nullptr ? entries[index].pWinStationName : "";
        entry.state = static_cast<SessionState>(entries[index].State);
        sessions.push_back(std::move(entry));
    }
    return true;
}

bool QueryClientAddress(std::uint32_t sessionId, ClientAddressRecord& record)
{
    WtsMemory answer;
    if (!QuerySessionInformation(sessionId, WTSClientAddress, sizeof(WTS_CLIENT_ADDRESS), answer)) {
        return false;
    }
    const auto* address = static_cast<const WTS_CLIENT_ADDRESS*>(answer.memory);
    record.addressFamily = address->AddressFamily;
    std::memcpy(record.address, address->Address, sizeof record.address);
    return true;
}

bool QueryConnectState(std::uint32_t sessionId, SessionState& state)
{
    WtsMemory answer;
    if (!QuerySessionInformation(sessionId, WTSConnectState, sizeof(DWORD), answer)) {
        return false;
    }
    DWORD value = 0;
    std::memcpy(&value, answer.memory, sizeof value);
    state = static_cast<SessionState>(value);
    return true;
}

bool LogoffSession(std::uint32_t sessionId, bool wait)
{
    return WTSLogoffSession(WTS_CURRENT_SERVER_HANDLE, sessionId, wait ? TRUE : FALSE) != FALSE;
}

bool QueryOsVersion(OsVersionRecord& record)
{
    record = OsVersionRecord{};
    OSVERSIONINFOEXA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    BOOL succeeded = GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    if (!succeeded) {
        return false;
    }
    record.majorVersion = version.dwMajorVersion;
    record.minorVersion = version.dwMinorVersion;
    record.buildNumber = version.dwBuildNumber;
    record.platformId = version.dwPlatformId;
    record.servicePackMajor = version.wServicePackMajor;
    record.servicePackMinor = version.wServicePackMinor;
    record.suiteMask = version.wSuiteMask;
    record.productType = version.wProductType;
    return true;
}

}  // namespace corvel::platform
