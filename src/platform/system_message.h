// The system's message text for a failure code (FormatMessageA from the
// system's table, language neutral/default). On Linux a table of the texts of
// the codes this system produces, worded and ended (CR LF) as Windows does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvel::platform {

// The text as the system gives it, line end included; nothing when the system
// has no text for the code.
std::optional<std::string> SystemMessageText(std::uint32_t code);

}  // namespace corvel::platform
