// Composing and writing trace lines: the "[name](thread id): " prefix, the
// message with its control characters escaped, cut to kTraceLineBytes.
#include "trace/trace.h"

#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/threads.h"

namespace corvel {

namespace {

// A control character (below 0x20, the line feed included, and 0x7F) in a
// message is written as \xNN: a message from the network cannot end its
// line early and make what follows look like further trace lines.
bool IsControl(char c)
{
    unsigned char byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

constexpr std::size_t kEscapeBytes = 4;  // "\x0a"

// Composes prefix + message into line, escaping control characters and
// cutting the message (never inside an escape) so that the line feed and the
// terminator always fit.
void WriteLine(const char* name, const char* message, std::size_t messageLength)
{
    char line[kTraceLineBytes];
    int prefix = std::snprintf(line, sizeof line, "[%s](%lu): ", name,
                               static_cast<unsigned long>(platform::CurrentThreadId()));
    std::size_t used = prefix < 0 ? 0 : static_cast<std::size_t>(prefix);
    if (used > sizeof line - 2) {
        used = sizeof line - 2;
    }
    const std::size_t end = sizeof line - 2;  // leave the line feed and the NUL
    for (std::size_t index = 0; index < messageLength; ++index) {
        char c = message[index];
        if (!IsControl(c)) {
            if (used + 1 > end) {
                break;
            }
            line[used++] = c;
            continue;
        }
        if (used + kEscapeBytes > end) {
            break;
        }
        static constexpr char kHex[] = "0123456789abcdef";
        unsigned char byte = static_cast<unsigned char>(c);
        line[used++] = '\\';
        line[used++] = 'x';
        line[used++] = kHex[byte >> 4];
        line[used++] = kHex[byte & 0xF];
    }
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
