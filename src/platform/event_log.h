// The Application event log with the service's message table (ids 100 to
// 110). On Windows the texts are a message-table resource of the executable;
// on Linux events go to syslog (facility daemon) with %1 filled in.
#pragma once

#include <cstdint>
#include <string>

#include "platform/unique_handle.h"

namespace corvel::platform {

inline constexpr std::uint16_t kEventError = 1;
inline constexpr std::uint16_t kEventWarning = 2;
inline constexpr std::uint16_t kEventInformation = 4;

// The message table's ids. win32/service_messages.mc, compiled into the
// executable, carries the same ids, symbolic names and texts; a platform test
// holds it to kServiceMessages.
inline constexpr std::uint32_t kEventInstalled = 100;
inline constexpr std::uint32_t kEventRemoved = 101;
inline constexpr std::uint32_t kEventNotRemoved = 102;
inline constexpr std::uint32_t kEventControlHandlerNotInstalled = 103;
inline constexpr std::uint32_t kEventInitializationFailed = 104;
inline constexpr std::uint32_t kEventStarted = 105;
inline constexpr std::uint32_t kEventUnsupportedRequest = 106;
inline constexpr std::uint32_t kEventDebug = 107;
inline constexpr std::uint32_t kEventStopped = 108;
// The watchdog's own record: a session it logged off, and the summary of the
// probes it could not judge because this server itself ran short.
inline constexpr std::uint32_t kEventSessionLoggedOff = 109;
inline constexpr std::uint32_t kEventProbesNotJudged = 110;

struct ServiceMessage {
    std::uint32_t id;
    const char* symbolicName;
    const char* text;  // %1 is the first insertion string
};

inline constexpr ServiceMessage kServiceMessages[] = {
    {kEventInstalled, "EVMSG_INSTALLED", "The %1 service was installed."},
    {kEventRemoved, "EVMSG_REMOVED", "The %1 service was removed."},
    {kEventNotRemoved, "EVMSG_NOTREMOVED", "The %1 service could not be removed."},
    {kEventControlHandlerNotInstalled, "EVMSG_CTRLHANDLERNOTINSTALLED", "The control handler could not be installed."},
    {kEventInitializationFailed, "EVMSG_FAILEDINIT", "The initialization process failed."},
    {kEventStarted, "EVMSG_STARTED", "The service was started."},
    {kEventUnsupportedRequest, "EVMSG_BADREQUEST", "The service received an unsupported request."},
    {kEventDebug, "EVMSG_DEBUG", "Debug: %1"},
    {kEventStopped, "EVMSG_STOPPED", "The service was stopped."},
    {kEventSessionLoggedOff, "EVMSG_SESSIONLOGGEDOFF",
     "Session %1 (client address %2) was logged off: its terminal was judged dead (%3)."},
    {kEventProbesNotJudged, "EVMSG_PROBESNOTJUDGED",
     "%1 session probes failed for reasons of this server's own, not of their terminals, and logged nothing "
     "off; most common reason (%2 of them): %3. The sessions are probed again at the next passes."},
};

// The ids run from kEventInstalled without a gap, in the table's order.
constexpr bool ServiceMessageIdsAreConsecutive()
{
    std::uint32_t expected = kEventInstalled;
    for (const ServiceMessage& message : kServiceMessages) {
        if (message.id != expected++) {
            return false;
        }
    }
    return expected == kEventProbesNotJudged + 1;
}
static_assert(ServiceMessageIdsAreConsecutive());

struct EventSourceRecord;
using EventSource = EventSourceRecord*;

// RegisterEventSourceA on the local machine; null on failure.
EventSource OpenEventSource(const char* name);
// ReportEventA: category 0, no user SID, no raw data.
bool ReportServiceEvent(EventSource source, std::uint16_t type, std::uint32_t id, const char* const* strings,
                        std::uint16_t count);
void CloseEventSource(EventSource source);
using EventSourceOwner = UniqueResource<EventSource, &CloseEventSource>;

// The text of a message-table entry with its insertion strings filled in and
// the final CR LF dropped; empty for an unknown id.
std::string FormatServiceMessage(std::uint32_t id, const char* const* strings, std::uint16_t count);

// Tests observe reported events through this hook (called as well as the log).
using EventLogHook = void (*)(std::uint16_t type, std::uint32_t id, const std::string& text, void* context);
void SetEventLogHook(EventLogHook hook, void* context);

}  // namespace corvel::platform
