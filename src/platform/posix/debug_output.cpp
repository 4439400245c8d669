// Debugger output on Linux: standard error, one write per text, so that lines
// of different threads never interleave. Standard error is line-based (a
// terminal, the journal), so a text written without a line end (the
// database's connection text) gets one here.
#include "platform/debug_output.h"

#include <string>
#include <unistd.h>

namespace corvel::platform {

void WriteDebugOutputNative(std::string_view text)
{
    if (text.empty()) {
        return;
    }
    std::string line;
    if (text.back() != '\n') {
        line.reserve(text.size() + 1);
        line.append(text);
        line += '\n';
        text = line;
    }
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written <= 0) {
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace corvel::platform
