#include "service/trace.h"

#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/threads.h"

namespace corvel {

namespace {

// Composes prefix + message into line, cutting the message so that the line
// feed and the terminator always fit.
void WriteLine(const char* name, const char* message, std::size_t messageLength)
{
    char line[kTraceLineBytes];
    int prefix = std::snprintf(line, sizeof line, "[%s](%lu): ", name,
                               static_cast<unsigned long>(platform::CurrentThreadId()));
    std::size_t used = prefix < 0 ? 0 : static_cast<std::size_t>(prefix);
    if (used > sizeof line - 2) {
        used = sizeof line - 2;
    }
    std::size_t room = sizeof line - 2 - used;  // leave the line feed and the NUL
    if (messageLength > room) {
        messageLength = room;
    }
    std::memcpy(line + used, message, messageLength);
    used += messageLength;
    line[used++] = '\n';
    line[used] = '\0';
    platform::WriteDebugOutput(std::string_view(line, used));
}

}  // namespace

void TraceLineV(const char* name, const char* format, std::va_list arguments)
{
    char message[kTraceLineBytes];
    int length = std::vsnprintf(message, sizeof message, format, arguments);
    if (length < 0) {
        length = 0;
    }
    std::size_t kept = static_cast<std::size_t>(length) < sizeof message ? static_cast<std::size_t>(length)
                                                                         : sizeof message - 1;
    WriteLine(name, message, kept);
}

void TraceText(const char* name, const char* text)
{
    WriteLine(name, text == nullptr ? "" : text, text == nullptr ? 0 : std::strlen(text));
}

}  // namespace corvel

void WatchdogTrace(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    corvel::TraceLineV(corvel::kWatchdogTraceName, format, arguments);
    va_end(arguments);
}

void WatchdogTraceText(const char* text)
{
    corvel::TraceText(corvel::kWatchdogTraceName, text);
}
