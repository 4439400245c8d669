// The debugger output: where trace lines and the database connection text go.
// On Windows it is OutputDebugStringA; on Linux one write(2) to standard error
// per text, so lines of different threads never interleave.
#pragma once

#include <string_view>

namespace corvel::platform {

// Writes the text: on Windows as it stands; on Linux, where the output is
// line-based, with a line end added when the text has none.
void WriteDebugOutput(std::string_view text);

// After a command-line switch the process's remaining trace lines (the end
// of the service object) are not the switch's output. On Linux, where the
// debugger output is standard error and so the switch's terminal, they are
// no longer written (a test hook still sees them); on Windows the debugger
// output is not the terminal and nothing changes.
void EndDebugOutputAfterSwitch();

// Tests observe the debugger output through this hook. While a hook is set,
// every text goes to it as well as to the platform's output.
using DebugOutputHook = void (*)(std::string_view text, void* context);
void SetDebugOutputHook(DebugOutputHook hook, void* context);

}  // namespace corvel::platform
