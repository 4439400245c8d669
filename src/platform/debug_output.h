// The debugger output: where trace lines and the database connection text go.
// On Windows it is OutputDebugStringA; on Linux one write(2) to standard error
// per text, so lines of different threads never interleave.
#pragma once

#include <string_view>

namespace corvel::platform {

// Writes the text as it stands (no prefix, no line end added).
void WriteDebugOutput(std::string_view text);

// Tests observe the debugger output through this hook. While a hook is set,
// every text goes to it as well as to the platform's output.
using DebugOutputHook = void (*)(std::string_view text, void* context);
void SetDebugOutputHook(DebugOutputHook hook, void* context);

}  // namespace corvel::platform
