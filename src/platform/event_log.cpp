// The message table's texts filled in (for the Linux log and the tests) and
// the test hook. The Windows resource compiled from win32/service_messages.mc
// carries the same texts.
#include "platform/event_log.h"

#include <mutex>

namespace corvel::platform {

namespace {

// Probes report events until the process ends, static destruction included,
// and some builds' mutexes have a destructor: the lock is made once and never
// destroyed.
std::mutex& HookLock()
{
    static std::mutex* const lock = new std::mutex;
    return *lock;
}

EventLogHook currentHook = nullptr;
void* currentContext = nullptr;

}  // namespace

std::string FormatServiceMessage(std::uint32_t id, const char* const* strings, std::uint16_t count)
{
    for (const ServiceMessage& message : kServiceMessages) {
        if (message.id != id) {
            continue;
        }
        std::string text;
        for (const char* at = message.text; *at != '\0'; ++at) {
            if (at[0] == '%' && at[1] >= '1' && at[1] <= '9') {
                unsigned index = static_cast<unsigned>(at[1] - '1');
                if (index < count && strings[index] != nullptr) {
                    text += strings[index];
                }
                ++at;
            } else {
                text += *at;
            }
        }
        return text;
    }
    return std::string();
}

void SetEventLogHook(EventLogHook hook, void* context)
{
    std::lock_guard<std::mutex> guard(HookLock());
    currentHook = hook;
    currentContext = context;
}

// Called by both backends for every reported event.
void NotifyEventLogHook(std::uint16_t type, std::uint32_t id, const char* const* strings, std::uint16_t count)
{
    std::lock_guard<std::mutex> guard(HookLock());
    if (currentHook != nullptr) {
        currentHook(type, id, FormatServiceMessage(id, strings, count), currentContext);
    }
}

}  // namespace corvel::platform
