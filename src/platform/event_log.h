// The Application event log with the service's message table (ids 100 to
// 108). On Windows the texts are a message-table resource of the executable;
// on Linux events go to syslog (facility daemon) with %1 filled in.
#pragma once

#include <cstdint>
#include <string>

namespace corvel::platform {

inline constexpr std::uint16_t kEventError = 1;
inline constexpr std::uint16_t kEventInformation = 4;

struct EventSourceRecord;
using EventSource = EventSourceRecord*;

// RegisterEventSourceA on the local machine; null on failure.
EventSource OpenEventSource(const char* name);
// ReportEventA: category 0, no user SID, no raw data.
bool ReportServiceEvent(EventSource source, std::uint16_t type, std::uint32_t id, const char* const* strings,
                        std::uint16_t count);
void CloseEventSource(EventSource source);

// The text of a message-table entry with its insertion strings filled in and
// the final CR LF dropped; empty for an unknown id.
std::string FormatServiceMessage(std::uint32_t id, const char* const* strings, std::uint16_t count);

// Tests observe reported events through this hook (called as well as the log).
using EventLogHook = void (*)(std::uint16_t type, std::uint32_t id, const std::string& text, void* context);
void SetEventLogHook(EventLogHook hook, void* context);

}  // namespace corvel::platform
