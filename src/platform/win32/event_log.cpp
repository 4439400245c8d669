// The Application event log on Windows; the texts are the executable's
// message-table resource.
#include "platform/event_log.h"

#include <windows.h>

#include "platform/win32/native_handle.h"

namespace corvel::platform {

void NotifyEventLogHook(std::uint16_t type, std::uint32_t id, const char* const* strings, std::uint16_t count);

static_assert(kEventError == EVENTLOG_ERROR_TYPE && kEventWarning == EVENTLOG_WARNING_TYPE &&
              kEventInformation == EVENTLOG_INFORMATION_TYPE);

struct EventSourceRecord {
    EventSourceHandle handle;
};

EventSource OpenEventSource(const char* name)
{
    EventSourceHandle handle(RegisterEventSourceA(nullptr, name));
    return handle ? new EventSourceRecord{std::move(handle)} : nullptr;
}

bool ReportServiceEvent(EventSource source, std::uint16_t type, std::uint32_t id, const char* const* strings,
                        std::uint16_t count)
{
    if (source == nullptr) {
        return false;
    }
    NotifyEventLogHook(type, id, strings, count);
    return ReportEventA(source->handle.get(), type, 0, id, nullptr, count, 0, const_cast<const char**>(strings),
                        nullptr) != 0;
}

void CloseEventSource(EventSource source)
{
    delete source;
}

}  // namespace corvel::platform
