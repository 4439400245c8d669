// The event log on Linux: syslog, facility daemon, with the service name as ident.
#include "platform/event_log.h"

#include <string>
#include <syslog.h>

namespace corvel::platform {

void NotifyEventLogHook(std::uint16_t type, std::uint32_t id, const char* const* strings, std::uint16_t count);

struct EventSourceRecord {
    std::string name;  // syslog keeps the ident pointer: it must outlive the log
};

EventSource OpenEventSource(const char* name)
{
    auto* source = new EventSourceRecord{name == nullptr ? "" : name};
    ::openlog(source->name.c_str(), LOG_PID, LOG_DAEMON);
    return source;
}

bool ReportServiceEvent(EventSource source, std::uint16_t type, std::uint32_t id, const char* const* strings,
                        std::uint16_t count)
{
    if (source == nullptr) {
        return false;
    }
    NotifyEventLogHook(type, id, strings, count);
    std::string text = FormatServiceMessage(id, strings, count);
    int priority = type == kEventError ? LOG_ERR : type == kEventWarning ? LOG_WARNING : LOG_INFO;
    ::syslog(priority, "%s", text.c_str());
    return true;
}

void CloseEventSource(EventSource source)
{
    if (source != nullptr) {
        ::closelog();
        delete source;
    }
}

}  // namespace corvel::platform
