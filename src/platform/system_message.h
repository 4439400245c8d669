// The system's message text for a failure code, as FormatMessageA gives it
// (buffer allocated by the system, text from the system's table, neutral
// language, no inserts). On Linux a table of the texts of the codes this
// system produces stands in for the system's table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvel::platform {

// The text exactly as the system has it, line end included; none when the
// system has no text for the code.
std::optional<std::string> SystemMessageText(std::int32_t code);

}  // namespace corvel::platform
