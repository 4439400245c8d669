// Debugger output on Linux: standard error, one write per text.
#include "platform/debug_output.h"

#include <unistd.h>

namespace corvel::platform {

void WriteDebugOutputNative(std::string_view text)
{
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
