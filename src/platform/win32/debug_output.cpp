// Debugger output on Windows: OutputDebugStringA takes a NUL-terminated text.
#include "platform/debug_output.h"

#include <windows.h>

#include <string>

namespace corvel::platform {

void WriteDebugOutputNative(std::string_view text)
{
    std::string terminated(text);
    OutputDebugStringA(terminated.c_str());
}

}  // namespace corvel::platform
