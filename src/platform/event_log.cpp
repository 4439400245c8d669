// The message table's texts (shared by the Linux log and the tests) and the
// test hook. The Windows resource compiled from win32/service_messages.mc
// carries the same texts.
#include "platform/event_log.h"

#include <mutex>

namespace corvel::platform {

namespace {

struct MessageText {
    std::uint32_t id;
    const char* text;
};

constexpr MessageText kMessages[] = {
    {100, "The %1 service was installed."},
    {101, "The %1 service was removed."},
    {102, "The %1 service could not be removed."},
    {103, "The control handler could not be installed."},
    {104, "The initialization process failed."},
    {105, "The service was started."},
    {106, "The service received an unsupported request."},
    {107, "Debug: %1"},
    {108, "The service was stopped."},
};

std::mutex hookLock;
EventLogHook currentHook = nullptr;
void* currentContext = nullptr;

}  // namespace

std::string FormatServiceMessage(std::uint32_t id, const char* const* strings, std::uint16_t count)
{
    for (const MessageText& message : kMessages) {
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
    std::lock_guard<std::mutex> guard(hookLock);
    currentHook = hook;
    currentContext = context;
}

// Called by both backends for every reported event.
void NotifyEventLogHook(std::uint16_t type, std::uint32_t id, const char* const* strings, std::uint16_t count)
{
    std::lock_guard<std::mutex> guard(hookLock);
    if (currentHook != nullptr) {
        currentHook(type, id, FormatServiceMessage(id, strings, count), currentContext);
    }
}

}  // namespace corvel::platform
